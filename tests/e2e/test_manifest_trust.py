"""Nothing unsigned is installed: the launcher against manifests that were genuinely signed
and then rearranged, pending manifests and imports that nobody signed, archives that would
write the launcher's own state, names and sizes that could be read two ways, and manifest
text too large to parse. Each run ends with its log line, and the installation stays as it
was."""
import hashlib
import os
import shutil
import subprocess
import time
import unittest
import zipfile

from e2elib import PLATFORM_TAG, PUBLISH, SOURCE_DIR, ServedInstallTest, exit_status, read_file, write_file

EXIT_FERRO = "ferro://ExitFerro"
MANIFEST = "arvo_launcher_" + PLATFORM_TAG
with open(os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_public.hex")) as _f:
    DEV_PUBLIC_HEX = _f.read().strip()


def build(version):
    return {
        "bin/a.dat": "a of build %d\n" % version,
        "bin/b.dat": "b of build %d\n" % version,
        "data/big.dat": os.urandom(100000),
        "data/more/c.dat": "c of build %d\n" % version,
        "readme.txt": "build %d\n" % version,
    }


def as_bytes(files):
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


def move_first_block_end_to_the_end(text):
    """The closing brace of the first package block moved to the end of the manifest key, so
    that the blocks after it sit inside it. The RSA message stays the same."""
    first_close = text.index("\t}\n")
    moved = text[:first_close] + text[first_close + 3:]
    end = moved.index('}\n"kvsignatures"')
    return moved[:end] + "\t}\n" + moved[end:]


def zip_bytes(root, items):
    scratch = os.path.join(root, "hand.zip")
    with zipfile.ZipFile(scratch, "w") as z:
        for name, content in items:
            z.writestr(name, content)
    return read_file(scratch)


class ManifestTrustTest(ServedInstallTest):
    def first_build(self):
        return build(1)


    def run_launcher(self, *args, **env):
        result = self.install.run(["-textclient"] + list(args), timeout=120, **env)
        self.output = result.stdout + result.stderr
        return exit_status(result.returncode)

    def install_build_one(self):
        self.assertEqual(7, self.run_launcher(EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        self.service.clear_requests()
        with open(self.install.file("logs/bootstrap_log.txt"), "w"):
            pass

    def package_requests(self):
        return [p for p in self.service.requests() if ".zip." in p]

    def add_signed_package(self, name, data, file_name=None, size=None):
        """Adds a package made by hand to the current build and signs the manifest again."""
        file_name = file_name or "%s.zip.%s" % (name, hashlib.sha1(data).hexdigest())
        if "\r" not in file_name:
            write_file(os.path.join(self.service.client_dir, file_name), data)
        text = read_file(self.service.manifest_path(), "r")
        text = text[:text.index('"kvsignatures"')].rstrip()
        text = text[:-1] + '\t"%s"\n\t{\n\t\t"file"\t\t"%s"\n\t\t"size"\t\t"%s"\n\t}\n}\n' % (
            name, file_name, len(data) if size is None else size)
        self.service.sign_manifest(text)
        return file_name

    def test_rearranged_genuine_manifest_is_refused_and_the_installation_stays(self):
        self.install_build_one()
        self.service.publish(build(2), version=2)
        manifest = self.service.manifest_path()
        write_file(manifest, move_first_block_end_to_the_end(read_file(manifest, "r")))
        result = subprocess.run([PUBLISH, "verify", "--pubkey", DEV_PUBLIC_HEX, manifest],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, errors="replace", timeout=60)
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        self.assertIn("package 'bin' holds a block 'data'", result.stderr)

        self.assertEqual(0, self.run_launcher("-download"), self.output)
        log = self.install.log_messages()
        self.assertIn("Manifest download refused: package 'bin' holds a block 'data'", log)
        self.assertIn("Error: Failed to verify manifest", log)
        self.assertEqual([], self.package_requests())
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        self.assertIn("client ui: console", self.output)
        # And the next start still finds build one intact.
        self.assertEqual(0, self.run_launcher(), self.output)
        self.assertNotIn("BVerifyInstalledFiles", self.install.bootstrap_log())
        self.assertEqual(as_bytes(self.one), self.install.game_files())

    def test_rearranged_manifest_installs_nothing_on_a_fresh_directory(self):
        manifest = self.service.manifest_path()
        write_file(manifest, move_first_block_end_to_the_end(read_file(manifest, "r")))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Error: Failed to verify manifest", self.install.bootstrap_log())
        self.assertEqual({}, self.install.game_files())
        self.assertEqual([], self.package_requests())

    def test_unsigned_pending_manifest_is_deleted_and_the_update_fetched_again(self):
        self.install_build_one()
        # What was planted: build one's manifest without "data" and "root", unsigned.
        installed = read_file(self.install.package_file(MANIFEST + ".manifest"), "r")
        unsigned = installed[:installed.index("\t\"data\"")] + "}\n"
        pending = self.install.package_file(MANIFEST)
        write_file(pending, unsigned)
        self.assertEqual(7, self.run_launcher(EXIT_FERRO), self.output)
        log = self.install.log_messages()
        self.assertTrue(any(m.startswith("Manifest ") and m.endswith(" refused: the RSA signature does not verify")
                            for m in log), log)
        self.assertTrue(any(m.startswith("Deleted the refused pending manifest") for m in log), log)
        self.assertIn("Fetching the update again", log)
        self.assertIn("/client/" + MANIFEST, self.service.requests())
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        self.assertFalse(os.path.exists(pending))
        # A pending manifest cut in the middle goes the same way.
        genuine = read_file(self.service.manifest_path(), "r")
        write_file(pending, genuine[:len(genuine) // 2])
        self.assertEqual(7, self.run_launcher(EXIT_FERRO), self.output)
        self.assertIn("refused: it is empty or does not parse",
                      "".join(m for m in self.install.log_messages() if "refused" in m))
        self.assertEqual(as_bytes(self.one), self.install.game_files())

    def test_planted_elevated_import_is_refused_and_a_genuine_one_installs(self):
        self.install_build_one()
        planted = self.install.outside("download")
        os.makedirs(planted)
        os.chmod(planted, 0o777)
        data = zip_bytes(self.install.root, [("bin/a.dat", "replaced by an unsigned import"),
                                             ("evil/dropped.txt", "dropped")])
        file_name = "bin.zip." + hashlib.sha1(data).hexdigest()
        write_file(os.path.join(planted, file_name), data)
        write_file(os.path.join(planted, MANIFEST), '"manifest"\n{\n\t"version"\t\t"99"\n\t"bin"\n\t{\n'
                   '\t\t"file"\t\t"%s"\n\t\t"size"\t\t"%d"\n\t}\n}\n' % (file_name, len(data)))
        # Newer than the installed manifest, as a real download would be.
        later = time.time() + 10
        os.utime(os.path.join(planted, MANIFEST), (later, later))
        packages_before = sorted(os.listdir(self.install.file("package")))
        self.run_launcher("-installupdate", planted, FERRO_ASSUME_ADMIN=1)
        log = self.install.log_messages()
        self.assertIn("update in %s is not signed by the content service, not installing update" % planted, log)
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        self.assertFalse(os.path.exists(self.install.file("evil")))
        self.assertEqual(packages_before, sorted(n for n in os.listdir(self.install.file("package"))
                                                 if n != "arvo_launcher_%s.lock" % PLATFORM_TAG))
        self.assertIn("bootstrapper version: 1", self.output)
        self.assertTrue(os.path.exists(os.path.join(planted, MANIFEST)))

        # A genuine update in the same kind of directory is imported and installed.
        shutil.rmtree(planted)
        os.makedirs(planted)
        two = build(2)
        self.service.publish(two, version=2)
        for name in os.listdir(self.service.client_dir):
            shutil.copy(os.path.join(self.service.client_dir, name), planted)
        later = time.time() + 20
        os.utime(os.path.join(planted, MANIFEST), (later, later))
        self.assertEqual(7, self.run_launcher("-installupdate", planted, EXIT_FERRO, FERRO_ASSUME_ADMIN=1),
                         self.output)
        self.assertTrue(any(m.startswith("copying ") for m in self.install.log_messages()))
        self.assertEqual(as_bytes(two), self.install.game_files())

    def assert_unzip_refused(self, file_name):
        self.assertIn("Error: Failed to unzip package (", self.install.bootstrap_log())
        self.assertFalse(os.path.exists(self.install.package_file(file_name)))

    def test_items_in_the_launchers_own_folders_are_refused(self):
        self.install_build_one()
        before = self.install.game_files()
        beta_file = self.install.package_file("beta")
        for items in ([("package/beta", "evilbeta")], [("package/tmp/zz.txt", "x")],
                      [("package/arvo_launcher_%s.installed" % PLATFORM_TAG, "x,1\n")],
                      [("logs/bootstrap_log.txt", "x")], [("./Logs/x.txt", "x")]):
            self.service.publish(build(2), version=2)
            file_name = self.add_signed_package("evil", zip_bytes(self.service.root, items))
            self.assertEqual(0, self.run_launcher("-download"), self.output)
            self.assert_unzip_refused(file_name)
            self.assertEqual(before, self.install.game_files(), items)
            self.assertFalse(os.path.exists(beta_file), items)
            self.assertNotIn("evil", "".join(self.install.installed_list()), items)
        # The next start neither restarts without end nor asks for another beta: it starts the
        # client at once.
        self.service.clear_requests()
        self.assertEqual(0, self.run_launcher(), self.output)
        self.assertIn("client ui: console", self.output)
        self.assertEqual([], self.service.requests())

    def test_file_with_cr_lf_and_sizes_read_two_ways_are_refused(self):
        self.install_build_one()
        data = zip_bytes(self.service.root, [("evil.txt", "x")])
        digest = hashlib.sha1(data).hexdigest()
        # CR LF in "file" would reach the request line and a path.
        self.add_signed_package("evil", data, file_name="evil.zip.%s\r\nX-Injected yes" % digest)
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        self.assertIn("Manifest download refused: package 'evil': file 'evil.zip.%s??X-Injected yes' is not "
                      "the package name, \".zip.\" and 40 hex digits" % digest, self.install.log_messages())
        self.assertEqual([], self.package_requests())
        # A size in hex is not a size.
        self.service.publish(self.one, version=1)
        self.add_signed_package("evil", data, size="0x%x" % len(data))
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        self.assertIn("Manifest download refused: package 'evil': size '0x%x' is not a plain decimal number up "
                      "to 2^53" % len(data), self.install.log_messages())
        self.assertEqual([], self.package_requests())
        # 2^32 + n is read as that everywhere: the n-byte archive is not it, and is not kept.
        self.service.publish(self.one, version=1)
        file_name = self.add_signed_package("evil", data, size=str(2 ** 32 + len(data)))
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        self.assertIn("Error: Download of package (evil) failed after %d bytes (200)." % len(data),
                      self.install.log_messages())
        self.assertFalse(os.path.exists(self.install.package_file(file_name)))
        self.assertEqual(as_bytes(self.one), self.install.game_files())

    def test_manifest_of_millions_of_keys_is_refused_before_parsing(self):
        self.install_build_one()
        lines = ['\t"key_number_%d_xyz"\t"value"\n' % i for i in range(1000000, 2600000)]
        write_file(self.service.manifest_path(), '"manifest"\n{\n' + "".join(lines) + "}\n")
        self.assertGreater(os.path.getsize(self.service.manifest_path()), 47000000)
        start = time.monotonic()
        self.assertEqual(0, self.run_launcher("-download"), self.output)
        seconds = time.monotonic() - start
        log = self.install.log_messages()
        self.assertIn("Manifest refused unparsed: the manifest is longer than 4,194,304 bytes", log)
        self.assertIn("Error: The update manifest from the content service could not be read.", log)
        self.assertLess(len(self.output), 10000)
        self.assertEqual(as_bytes(self.one), self.install.game_files())
        # The whole run (download of 47 MB included); parsing it took 104 s of CPU.
        self.assertLess(seconds, 60)
        print("run with a 47 MB manifest of 1.6 million keys: %.2f s" % seconds)

    def test_ed25519_signature_is_checked_where_present(self):
        two = build(2)
        self.service.publish(two, version=2, ed25519=True)
        manifest = self.service.manifest_path()
        genuine = read_file(manifest, "r")
        signature = genuine.split('"ed25519"')[1].split('"')[1]
        wrong = signature[:20] + ("0" if signature[20] != "0" else "1") + signature[21:]
        write_file(manifest, genuine.replace(signature, wrong))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertIn("Manifest download refused: the Ed25519 signature does not verify",
                      self.install.log_messages())
        self.assertEqual({}, self.install.game_files())
        write_file(manifest, genuine)
        self.assertEqual(7, self.run_launcher(EXIT_FERRO), self.output)
        self.assertEqual(as_bytes(two), self.install.game_files())
        # The pending manifest was saved with both signatures and checked again.
        self.assertIn('"ed25519"', read_file(self.install.package_file(MANIFEST + ".manifest"), "r"))


if __name__ == "__main__":
    unittest.main()
