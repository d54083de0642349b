"""The content check of an installation end to end: the start-up check compares sizes only,
so a file changed without changing its size passes it; "-verify" (and a start after an
unclean shutdown) reads every file against the SHA-256 of the installed list, names each
damaged file in the log and installs again only the packages that hold them."""
import os
import unittest

from e2elib import ServedInstallTest, UNCLEAN_SHUTDOWN_MESSAGE, exit_status, write_file

EXIT_FERRO = "ferro://ExitFerro"


def build(version):
    files = {
        "bin/engine.dat": os.urandom(300000),
        "bin/tools/helper.dat": "helper of build %d\n" % version,
        "data/level1.txt": "level one of build %d\n" % version,
        "data/level2.txt": "level two of build %d\n" % version,
        "media/intro.dat": os.urandom(50000),
        "readme.txt": "build %d\n" % version,
    }
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


def same_size_change(path):
    with open(path, "r+b") as f:
        data = f.read()
        f.seek(0)
        f.write(bytes(b ^ 0x5A for b in data[:8]) + data[8:])


class VerifyContentsTest(ServedInstallTest):
    def first_build(self):
        return build(1)

    def setUp(self):
        ServedInstallTest.setUp(self)
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertEqual(self.one, self.install.game_files())

    def run_launcher(self, *args):
        self.service.clear_requests()
        self.log_start = len(self.install.bootstrap_log())
        result = self.install.run(["-textclient"] + list(args), timeout=120)
        self.output, self.errors = result.stdout, result.stderr
        return exit_status(result.returncode)

    def run_log(self):
        return self.install.bootstrap_log()[self.log_start:]

    def archives_fetched(self):
        return sorted(p.rsplit("/", 1)[1] for p in self.service.requests() if ".zip." in p)

    def archive(self, package):
        return self.service.packages()[package][0]

    def assert_listed_with_digests(self):
        lines = self.install.installed_list()
        self.assertEqual(sorted(self.one), sorted(line.split(",")[0] for line in lines))
        for line in lines:
            self.assertEqual(64, len(line.split(",")[2]), line)

    def test_damage_of_the_same_size_and_a_directory_are_found_and_repaired(self):
        # The quick start-up check does not read contents.
        same_size_change(self.install.file("data/level1.txt"))
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertNotEqual(self.one["data/level1.txt"], self.install.game_files()["data/level1.txt"])

        # A file replaced by a directory as well; no archive here, so that the repair shows
        # what it downloads.
        os.remove(self.install.file("media/intro.dat"))
        write_file(self.install.file("media/intro.dat/inside.txt"), "not ours")
        for name in os.listdir(self.install.file("package")):
            if ".zip." in name:
                os.remove(self.install.package_file(name))
        self.assertEqual(7, self.run_launcher("-verify", EXIT_FERRO))
        log = self.run_log()
        self.assertIn("BVerifyInstalledContents: data/level1.txt has other content than the list says", log)
        self.assertIn("BVerifyInstalledContents: media/intro.dat is a directory where the list has a file", log)
        self.assertIn("BVerifyInstalledContents: 6 files checked, 2 damaged", log)
        self.assertIn("Repairing 2 files from the packages data, media", log)
        self.assertEqual(sorted([self.archive("data"), self.archive("media")]), self.archives_fetched())
        self.assertEqual(self.one, self.install.game_files())
        self.assertEqual([], self.install.leftovers())
        self.assert_listed_with_digests()

        # Now intact: "-verify" reads everything and fetches nothing.
        self.assertEqual(7, self.run_launcher("-verify", EXIT_FERRO))
        self.assertIn("BVerifyInstalledContents: 6 files checked, 0 damaged", self.run_log())
        self.assertEqual([], self.archives_fetched())

    def test_a_start_after_an_unclean_shutdown_checks_contents(self):
        same_size_change(self.install.file("bin/engine.dat"))
        write_file(self.install.file(".crash"), "")
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        log = self.run_log()
        self.assertIn(UNCLEAN_SHUTDOWN_MESSAGE, self.errors)
        self.assertIn("BVerifyInstalledContents: bin/engine.dat has other content than the list says", log)
        self.assertIn("Repairing 1 files from the packages bin", log)
        # The archive is here already: nothing to download.
        self.assertEqual([], self.archives_fetched())
        self.assertEqual(self.one, self.install.game_files())
        self.assert_listed_with_digests()


if __name__ == "__main__":
    unittest.main()
