"""What a genuinely signed manifest may still not do: name an archive whose bytes differ from
its SHA-256, take an installation back to an older build (a replay), keep it on a stale
build past its expiry, or serve under another platform's or beta's name. Each is refused
with its log line against the real launcher and nginx, and the installation stays as it was;
manifests without these values install as they always did."""
import hashlib
import os
import time
import unittest

from e2elib import ContentService, PLATFORM_TAG, UpdaterInstall, exit_status, read_file, write_file

EXIT_FERRO = "ferro://ExitFerro"
DAY = 24 * 60 * 60
# What a publisher of today signs into a manifest beside its packages.
BINDING_KEYS = ("timestamp", "expires", "platform", "beta", "sha256")


def build(version):
    return {
        "bin/a.dat": "a of build %d\n" % version,
        "data/b.dat": "b of build %d\n" % version,
        "readme.txt": "build %d\n" % version,
    }


def as_bytes(files):
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


class ManifestBindingTest(unittest.TestCase):
    def setUp(self):
        self.service = ContentService()
        self.addCleanup(self.service.cleanup)
        self.service.start()
        self.install = UpdaterInstall(self.service.host)
        self.addCleanup(self.install.cleanup)

    def run_launcher(self, *args):
        result = self.install.run(["-textclient"] + list(args), timeout=120)
        self.output = result.stdout + result.stderr
        return exit_status(result.returncode)

    def publish(self, version, values=None, sha256=None, beta=""):
        """Publishes a build, then signs its manifest again as an old publisher would have
        written it (without the values below), with the top-level values given (name -> text)
        after "version" and, for the packages in sha256 (name -> digest or True for the
        archive's own), a "sha256" in their blocks."""
        self.service.publish(build(version), version=version, beta=beta)
        text = read_file(self.service.manifest_path(beta), "r")
        text = text[:text.index('"kvsignatures"')]
        lines = text.splitlines(keepends=True)
        out, package = [], None
        for line in lines:
            tokens = line.strip().split('"')[1::2]
            if tokens[:1] and tokens[0] in BINDING_KEYS:
                continue
            if len(tokens) == 1 and line.startswith("\t") and not line.startswith("\t\t"):
                package = tokens[0]
            if line.strip() == "}" and line.startswith("\t") and package in (sha256 or {}):
                digest = sha256[package]
                if digest is True:
                    digest = hashlib.sha256(read_file(self.service.package_path(package, beta))).hexdigest()
                out.append('\t\t"sha256"\t\t"%s"\n' % digest)
            out.append(line)
            if tokens[:1] == ["version"]:
                out.extend('\t"%s"\t\t"%s"\n' % item for item in (values or {}).items())
        self.service.sign_manifest("".join(out), beta)

    def install_build(self, version, **kwargs):
        self.publish(version, **kwargs)
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(build(version)), self.install.game_files())
        self.service.clear_requests()
        write_file(self.install.file("logs/bootstrap_log.txt"), "")

    def assert_refused(self, reason, version_installed):
        """A start with -download refuses the served manifest for the reason given, fetches
        no package, and starts the installed build's client."""
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        log = self.install.log_messages()
        self.assertIn("Manifest download refused: " + reason, log)
        self.assertIn("Error: Failed to verify manifest", log)
        self.assertEqual([], [p for p in self.service.requests() if ".zip." in p])
        self.assertEqual(as_bytes(build(version_installed)), self.install.game_files())
        self.assertIn("client ui: console", self.output)
        write_file(self.install.file("logs/bootstrap_log.txt"), "")

    def test_archive_whose_sha256_differs_is_refused_and_not_kept(self):
        self.install_build(1, sha256={"bin": True, "data": True, "root": True})
        # Bytes that pass for the archive's SHA-1 name but are not the ones the manifest's
        # SHA-256 names (a collision, simulated by a manifest whose SHA-256 does not match).
        self.publish(2, sha256={"bin": True, "data": "ab" * 32})
        data_file = self.service.packages()["data"][0]
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        log = self.install.log_messages()
        actual = hashlib.sha256(read_file(os.path.join(self.service.client_dir, data_file))).hexdigest()
        self.assertIn("Package data refused: the SHA-256 of %s is %s, and its manifest says %s"
                      % (data_file, actual, "ab" * 32), log)
        self.assertIn("Error: Corrupt package file (%s)" % data_file, log)
        self.assertFalse(os.path.exists(self.install.package_file(data_file)))
        self.assertFalse(os.path.exists(self.install.package_file("arvo_launcher_" + PLATFORM_TAG)))
        self.assertEqual(as_bytes(build(1)), self.install.game_files())

    def test_replay_of_an_older_signed_manifest_is_refused_when_manifests_carry_timestamps(self):
        now = int(time.time())
        self.install_build(1, values={"timestamp": now - 100})
        replay = read_file(self.service.manifest_path())
        self.install_build(2, values={"timestamp": now - 50})
        # Build one's manifest, genuinely signed, served again (its archives are still there).
        write_file(self.service.manifest_path(), replay)
        self.assert_refused("its timestamp %d is older than the installed manifest's %d: an older manifest "
                            "replayed" % (now - 100, now - 50), 2)
        # Newly signed, but older than the installed one all the same.
        self.publish(3, values={"timestamp": now - 51})
        self.assert_refused("its timestamp %d is older than the installed manifest's %d: an older manifest "
                            "replayed" % (now - 51, now - 50), 2)

    def test_manifests_without_the_new_values_install_as_before(self):
        # No timestamps: a replay of build one's manifest takes the installation back, as it
        # always did (a publisher may roll back by serving an older build).
        self.install_build(1)
        replay = read_file(self.service.manifest_path())
        self.install_build(2)
        write_file(self.service.manifest_path(), replay)
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(build(1)), self.install.game_files())
        self.assertFalse(any("refused" in m for m in self.install.log_messages()))

    def test_expired_manifest_is_refused_and_one_within_a_day_of_clock_difference_is_not(self):
        now = int(time.time())
        self.install_build(1, values={"timestamp": now - 100})
        self.publish(2, values={"timestamp": now - 10, "expires": now - 2 * DAY})
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        refused = [m for m in self.install.log_messages() if m.startswith("Manifest download refused: ")]
        self.assertEqual(1, len(refused), refused)
        self.assertTrue(refused[0].startswith("Manifest download refused: it expired at %d and the clock says "
                                              % (now - 2 * DAY)), refused)
        self.assertTrue(refused[0].endswith(" (24 hours of clock difference allowed)"), refused)
        self.assertEqual(as_bytes(build(1)), self.install.game_files())
        # Expired an hour ago: a clock an hour fast must not lock the player out.
        self.publish(2, values={"timestamp": now - 10, "expires": now - 3600})
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(build(2)), self.install.game_files())

    def test_manifest_for_another_platform_or_beta_is_refused(self):
        self.install_build(1, values={"platform": PLATFORM_TAG})
        self.publish(2, values={"platform": "elsewhere"})
        self.assert_refused("it is for the platform 'elsewhere', and this launcher's is '%s'" % PLATFORM_TAG, 1)
        self.publish(2, values={"platform": PLATFORM_TAG, "beta": "tester"})
        self.assert_refused("it is for the beta 'tester', and this launcher asked for the public channel "
                            "(no beta)", 1)
        # The public manifest served under a beta's name: it names the platform and no beta.
        write_file(self.install.package_file("beta"), "tester")
        self.publish(2, values={"platform": PLATFORM_TAG})
        os.replace(self.service.manifest_path(), self.service.manifest_path("tester"))
        self.run_launcher("-download", EXIT_FERRO)
        self.assertIn("Manifest download refused: it is for the public channel (no beta), and this launcher "
                      "asked for the beta 'tester'", self.install.log_messages())
        self.assertEqual(as_bytes(build(1)), self.install.game_files())
        # The beta's own manifest installs.
        self.publish(3, values={"platform": PLATFORM_TAG, "beta": "tester"}, beta="tester")
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(build(3)), self.install.game_files())

    def test_malformed_values_are_refused_as_an_invalid_manifest(self):
        self.install_build(1)
        for values, sha256, reason in (
                ({}, {"bin": "abc"}, "package 'bin': sha256 'abc' is not 64 hex digits"),
                ({"timestamp": "17e8"}, None,
                 "the timestamp '17e8' is not a plain decimal number of seconds up to 2^63 - 1"),
                ({"expires": str(2 ** 63)}, None,
                 "the expires '%d' is not a plain decimal number of seconds up to 2^63 - 1" % 2 ** 63),
                ({"platform": "x" * 10000}, None,
                 "the platform '%s...' is longer than 64 characters" % ("x" * 100))):
            self.publish(2, values=values, sha256=sha256)
            self.assert_refused(reason, 1)


if __name__ == "__main__":
    unittest.main()
