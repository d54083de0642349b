"""The launcher brings an install directory up to date from a real content service: builds
published with ferro-publish and served by nginx on loopback, the real arvolauncher with
-textclient. A fresh directory gets the whole build, a current one downloads nothing, a new
build costs only its changed packages, and files removed, deleted or damaged by hand are
put right."""
import os
import re
import shutil
import tempfile
import unittest

from e2elib import LAUNCHER, PLATFORM_TAG, ServedInstallTest, exit_status, read_file, wait_for, write_file

EXIT_FERRO = "ferro://ExitFerro"


def build_one():
    return {
        "bin/engine.dat": os.urandom(300000),
        "bin/tools/helper.dat": b"helper v1\n",
        "data/level1.txt": "level one\n",
        "data/obsolete.txt": "only in build one\n",
        "readme.txt": "build one\n",
    }


def build_two(one):
    files = dict(one)
    files["data/level1.txt"] = "level one, revised\n"
    del files["data/obsolete.txt"]
    return files


def as_bytes(files):
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


class UpdateInstallTest(ServedInstallTest):
    def first_build(self):
        return build_one()


    def run_launcher(self, *args, **env):
        result = self.install.run(["-textclient"] + list(args), timeout=120, **env)
        self.output = result.stdout
        return result

    def package_requests(self):
        return [p for p in self.service.requests() if ".zip." in p]

    def assert_installed(self, files):
        self.assertEqual(as_bytes(files), self.install.game_files())
        listed = {}
        for line in self.install.installed_list():
            path, size = line.split(",")[:2]
            listed[path] = int(size)
        for rel, data in as_bytes(files).items():
            self.assertEqual(len(data), listed.get(rel), rel)
        self.assertTrue(os.path.exists(self.install.package_file("arvo_launcher_%s.manifest" % PLATFORM_TAG)))
        self.assertFalse(os.path.exists(self.install.package_file("arvo_launcher_" + PLATFORM_TAG)))
        self.assertFalse(os.path.exists(self.install.package_file("tmp")))
        leftovers = [n for n in os.listdir(self.install.file("package")) if n.endswith((".part", ".old"))]
        self.assertEqual([], leftovers)

    def test_fresh_install_then_current_then_new_build(self):
        result = self.run_launcher(EXIT_FERRO)
        self.assertEqual(7, exit_status(result.returncode), result.stderr)
        self.assert_installed(self.one)
        out = self.output
        for line in ("[----] Verifying installation...", "[  0%] Downloading Update...",
                     "Checking for available update...", "Download Complete.",
                     "Extracting package...", "Installing update...", "Update complete, launching..."):
            self.assertIn(line, out)
        self.assertRegex(out, r"\[ *\d{1,3}%\] Downloading update \([\d,]+ of [\d,]+ KB\)\.\.\.")
        self.assertIn("[100%] Download Complete.", out)
        log = self.install.bootstrap_log()
        for text in ("Verifying installation...", "Downloading Update...", "Download Complete.",
                     "Extracting package...", "Update complete, launching...", "Shutdown"):
            self.assertIn(text, log)
        self.assertEqual(len(self.service.packages()), len(self.package_requests()))
        # ExitFerro: no second launcher was started.
        self.assertEqual(1, self.install.log_messages().count("Startup"))

        # A second run (asked to check) fetches the manifest only and launches the client.
        self.service.clear_requests()
        result = self.run_launcher("-download")
        self.assertEqual(0, exit_status(result.returncode), self.output + result.stderr)
        self.assertIn("client ui: ", self.output)
        self.assertNotIn("Downloading update", self.output)
        self.assertIn("Verifying installation...", self.output)
        self.assertEqual(["/client/arvo_launcher_" + PLATFORM_TAG], self.service.requests())

        # A new build changes one package and drops a file: only that package is fetched.
        two = build_two(self.one)
        self.service.publish(two, version=2)
        self.service.clear_requests()
        result = self.run_launcher("-download", EXIT_FERRO)
        self.assertEqual(7, exit_status(result.returncode))
        self.assertEqual(["/client/" + self.service.packages()["data"][0]], self.package_requests())
        self.assert_installed(two)
        self.assertFalse(os.path.exists(self.install.file("data/obsolete.txt")))
        # The old build's archives are gone, the new build's are kept.
        kept = sorted(n for n in os.listdir(self.install.file("package")) if ".zip." in n)
        self.assertEqual(sorted(f for f, _ in self.service.packages().values()), kept)

    def test_restart_after_update_relaunches_and_starts_the_client(self):
        result = self.run_launcher()
        # The first launcher replaced files and asks for a restart; the second one verifies
        # and starts the client (its output shares our pipe, so run() waited for it).
        self.assertEqual(7, exit_status(result.returncode), result.stderr)
        self.assertTrue(wait_for(lambda: self.install.log_messages().count("Shutdown") >= 2, timeout=30))
        self.assertIn("client ui: ", self.output)
        self.assertEqual(2, self.install.log_messages().count("Startup"))
        self.assert_installed(self.one)

    def test_a_build_that_ships_the_launcher_replaces_it_without_a_warning(self):
        # The running launcher is moved aside and its backup deleted (Windows keeps it
        # until the next start): neither says that the clean-up failed.
        staging = tempfile.mkdtemp(prefix="staging-", dir=self.service.root)
        for rel, content in self.one.items():
            write_file(os.path.join(staging, rel), content)
        shutil.copy2(self.install.file(LAUNCHER), staging)
        self.service.publish_directory(staging, version=2)
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        self.assertIn("Update complete, launching...", self.install.log_messages())
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        self.assertNotIn("Failed to clear up temporary update files used for rollback, continuing anyway",
                         self.install.log_messages())
        self.assertEqual([], self.install.leftovers())

    def test_damage_by_hand_is_repaired(self):
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        # A file deleted by hand comes back from the archives already here: no download.
        os.remove(self.install.file("data/level1.txt"))
        self.service.clear_requests()
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        self.assertEqual([], self.package_requests())
        self.assert_installed(self.one)

        # An archive of the wrong size is fetched again (and a changed file restored).
        data_archive = self.install.package_file(self.service.packages()["bin"][0])
        with open(data_archive, "r+b") as f:
            f.truncate(100)
        with open(self.install.file("bin/engine.dat"), "wb") as f:
            f.write(b"damaged")
        self.service.clear_requests()
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        self.assertEqual(["/client/" + self.service.packages()["bin"][0]], self.package_requests())
        self.assert_installed(self.one)

    def test_non_public_universe_checks_on_every_start(self):
        self.install.configure(self.service.host, universe="beta")
        self.assertEqual(7, exit_status(self.run_launcher(EXIT_FERRO).returncode))
        self.assertIn("Checking for update on startup", self.install.bootstrap_log())
        self.assert_installed(self.one)
        self.service.clear_requests()
        result = self.run_launcher()
        self.assertEqual(0, exit_status(result.returncode), self.output)
        self.assertEqual(["/client/arvo_launcher_" + PLATFORM_TAG], self.service.requests())


if __name__ == "__main__":
    unittest.main()
