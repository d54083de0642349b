"""The launcher against a content service that misbehaves: a forged manifest, a package whose
bytes do not match its digest, a server that closes in the middle of a package, a missing
package, a body one byte short, a zip that reaches outside the install directory, a commit
that cannot finish, and a launcher killed in the middle of a download. Every run ends with
its message and exit code, and the install directory holds the old build or the new one,
never a mix."""
import os
import signal
import subprocess
import time
import unittest
import zipfile
import hashlib

from e2elib import FaultyContentServer, PLATFORM_TAG, ServedInstallTest, read_file, wait_for, write_file

EXIT_FERRO = "ferro://ExitFerro"
NO_NETWORK = ("Ferro needs to be online to update.  Please confirm your network connection and try "
              "again.")


def build(version):
    return {
        "bin/a.dat": "a of build %d\n" % version,
        "bin/b.dat": "b of build %d\n" % version,
        "bin/c.dat": "c of build %d\n" % version,
        "data/big.dat": os.urandom(200000),
        "readme.txt": "build %d\n" % version,
    }


def as_bytes(files):
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


class UpdateFaultTest(ServedInstallTest):
    def first_build(self):
        return build(1)


    def assert_nothing_installed(self, parts_kept=()):
        self.assertEqual({}, self.install.game_files())
        self.assertFalse(os.path.exists(self.install.package_file("arvo_launcher_%s.installed" % PLATFORM_TAG)))
        # A transfer that broke keeps what it brought, for the next attempt to continue.
        if parts_kept is None:
            return
        self.assertEqual(sorted(name + ".part" for name in parts_kept),
                         sorted(n for n in os.listdir(self.install.file("package")) if n.endswith(".part")))

    def assert_fatal_no_network(self):
        self.assertIn("!!! Fatal Error: " + NO_NETWORK, self.output)
        self.assertIn("Error: " + NO_NETWORK, self.install.bootstrap_log())

    def test_forged_manifest_is_refused(self):
        path = self.service.manifest_path()
        text = read_file(path, "r")
        # One hex digit of the signature changed.
        sig_start = text.rindex('"', 0, text.rindex('"'))
        pos = sig_start + 10
        text = text[:pos] + ("1" if text[pos] == "0" else "0") + text[pos + 1:]
        write_file(path, text)
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Error: Failed to verify manifest", self.install.bootstrap_log())
        self.assert_fatal_no_network()
        self.assert_nothing_installed()
        self.assertEqual([], [p for p in self.service.requests() if ".zip." in p])

    def test_package_that_does_not_match_its_digest_is_not_kept(self):
        name, _ = self.service.packages()["bin"]
        archive = self.service.package_path("bin")
        good = read_file(archive)
        bad = bytearray(good)
        bad[len(bad) // 2] ^= 0xFF
        write_file(archive, bytes(bad))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Error: Corrupt package file (%s)" % name, self.install.bootstrap_log())
        self.assert_fatal_no_network()
        self.assertFalse(os.path.exists(self.install.package_file(name)))
        self.assert_nothing_installed()
        # Fixed on the service: the next run fetches it again and installs.
        write_file(archive, good)
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertEqual(as_bytes(self.one), self.install.game_files())

    def test_missing_package_is_a_404(self):
        name, _ = self.service.packages()["data"]
        os.remove(self.service.package_path("data"))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertRegex(self.install.bootstrap_log(),
                         r"Error: Download of package \(data\) failed after \d+ bytes \(404\)\.")
        self.assertIn("!!! Package data could not be downloaded: the content service does not have it (HTTP 404).",
                      self.output)
        self.assert_fatal_no_network()
        # The other package may have been in flight: its part stays for the next run.
        self.assert_nothing_installed(parts_kept=None)
        self.assertFalse(os.path.exists(self.install.package_file(name + ".part")))

    def serve_with_fault(self, package, fault):
        server = FaultyContentServer(self.service.content)
        self.addCleanup(server.stop)
        self.install.configure(server.host)
        name, size = self.service.packages()[package]
        server.faults["/client/" + name] = fault
        return server, name, size

    def test_server_closing_in_the_middle_of_a_package(self):
        server, name, size = self.serve_with_fault("data", "cut")
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        # Tried five times, each continuing where the last stopped (the server ignores Range).
        self.assertEqual(5, server.paths.count("/client/" + name))
        self.assertIn("Error: Download of package (data) failed after %d bytes (0)." % (size // 2),
                      self.install.bootstrap_log())
        self.assertIn("Package data: attempt 4 of 5 failed (a network failure); trying again", self.install.bootstrap_log())
        self.assertIn("!!! Package data could not be downloaded: the connection failed", self.output)
        self.assert_fatal_no_network()
        self.assertFalse(os.path.exists(self.install.package_file(name)))
        self.assert_nothing_installed(parts_kept=[name])
        # Archives that did arrive are kept; the next run asks only for the missing one.
        del server.faults["/client/" + name]
        server.paths.clear()
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        self.assertIn("/client/" + name, server.paths)

    def test_body_one_byte_short(self):
        _, name, size = self.serve_with_fault("bin", "short")
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Error: Download of package (bin) failed after %d bytes (200)." % (size - 1),
                      self.install.bootstrap_log())
        self.assertFalse(os.path.exists(self.install.package_file(name)))
        self.assert_nothing_installed(parts_kept=[name])

    def add_signed_package(self, package_name, zip_items):
        """Adds a package made by hand to the current build and signs the manifest again."""
        scratch = os.path.join(self.service.root, "hand.zip")
        with zipfile.ZipFile(scratch, "w") as z:
            for item, content in zip_items:
                z.writestr(item, content)
        data = read_file(scratch)
        file_name = "%s.zip.%s" % (package_name, hashlib.sha1(data).hexdigest())
        write_file(os.path.join(self.service.client_dir, file_name), data)
        text = read_file(self.service.manifest_path(), "r")
        text = text[:text.index('"kvsignatures"')].rstrip()
        assert text.endswith("}")
        text = text[:-1] + '\t"%s"\n\t{\n\t\t"file"\t\t"%s"\n\t\t"size"\t\t"%d"\n\t}\n}\n' % (
            package_name, file_name, len(data))
        self.service.sign_manifest(text)
        return file_name

    def test_zip_reaching_outside_is_refused(self):
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        before = self.install.game_files()
        self.service.publish(build(2), version=2)
        file_name = self.add_signed_package("evil", [("../escaped.txt", "outside"), ("zzz.txt", "x")])
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO))
        log = self.install.bootstrap_log()
        self.assertIn("Error: Failed to unzip package (", log)
        self.assertFalse(os.path.exists(os.path.join(self.install.root, "escaped.txt")))
        self.assertFalse(os.path.exists(self.install.file("zzz.txt")))
        # The old build stays whole; the refused archive is deleted.
        self.assertEqual(before, self.install.game_files())
        self.assertFalse(os.path.exists(self.install.package_file(file_name)))

    def test_commit_that_fails_is_rolled_back(self):
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        before = self.install.game_files()
        two = build(2)
        two["bin/zz/new.dat"] = "a new directory's file\n"
        self.service.publish(two, version=2)
        # A plain file stands where build two needs a directory: the commit cannot place
        # bin/zz/new.dat after it already replaced other files of bin/.
        write_file(self.install.file("bin/zz"), "in the way")
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO))
        log = self.install.bootstrap_log()
        self.assertIn("BCommitUpdatedFiles: failed to", log)
        self.assertIn("Failed to apply update, reverting...", self.output)
        after = self.install.game_files()
        del after["bin/zz"]
        self.assertEqual(before, after)
        self.assertEqual([], [r for r in after if r.endswith(".old")])
        # With the obstacle gone, the next start installs the pending build whole.
        os.remove(self.install.file("bin/zz"))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Found pending update", self.install.bootstrap_log())
        self.assertEqual(as_bytes(two), self.install.game_files())

    def test_launcher_killed_during_download_leaves_no_half_archive(self):
        big = {"big/huge.dat": os.urandom(32 * 1024 * 1024)}
        big.update(self.one)
        self.service.publish(big, version=3)
        # A slow server, so that the kill comes while the archive is still arriving.
        server, name, size = self.serve_with_fault("big", "slow")
        proc = self.install.start(["-textclient", EXIT_FERRO])
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.assertTrue(wait_for(lambda: "Downloading update (" in self.install.bootstrap_log()
                                 or proc.poll() is not None, timeout=60))
        time.sleep(0.5)
        proc.kill()
        proc.communicate(timeout=30)
        # Whatever arrived, no archive of the wrong size stands under its own name.
        path = self.install.package_file(name)
        self.assertTrue(not os.path.exists(path) or os.path.getsize(path) == size)
        self.assertEqual({}, self.install.game_files())
        # The next run completes the installation.
        del server.faults["/client/" + name]
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertEqual(as_bytes(big), self.install.game_files())


if __name__ == "__main__":
    unittest.main()
