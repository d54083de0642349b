"""Start-up checks of the launcher: install path, elevated runs, the exit option, and the
crash marker."""
import os
import unittest

from e2elib import InstallDir, NOT_ASCII_FATAL_LINE, SAMPLE_LIBRARIES, UNCLEAN_SHUTDOWN_MESSAGE, exit_status


class StartupTest(unittest.TestCase):
    def make_install(self, dir_name="install", libraries=()):
        install = InstallDir(dir_name, libraries=libraries)
        self.addCleanup(install.cleanup)
        return install

    def test_non_ascii_install_path_stops_unless_nodircheck(self):
        install = self.make_install("spiel-\u00fcber")
        result = install.run(["-textclient"])
        self.assertEqual(exit_status(-2), result.returncode, result.stdout + result.stderr)
        self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines())
        self.assertIn("Assertion Failed: Unable to access Ferro files due to incompatible path",
                      result.stderr)
        # Stopped before the run really began: no marker was left.
        self.assertFalse(os.path.exists(install.file(".crash")))

        # "-nodircheck" must be a whole argument; as one it reports and goes on.
        result = install.run(["-textclient", "-nodircheckx", "ferro://ExitFerro"])
        self.assertEqual(exit_status(-2), result.returncode)
        result = install.run(["-textclient", "-NoDirCheck", "ferro://ExitFerro"])
        self.assertEqual(7, result.returncode, result.stdout + result.stderr)
        self.assertNotIn(NOT_ASCII_FATAL_LINE, result.stdout)
        self.assertIn("Assertion Failed: Unable to access Ferro files due to incompatible path",
                      result.stderr)

    def test_exit_option_ends_with_7_without_launching(self):
        install = self.make_install(libraries=SAMPLE_LIBRARIES)
        result = install.run(["-textclient", "ferro://ExitFerro"])
        self.assertEqual(7, result.returncode, result.stdout + result.stderr)
        self.assertNotIn("client startup", result.stdout)
        self.assertNotIn("Fatal Error", result.stdout)
        # Found anywhere in the text, in any letter case, even inside a longer argument.
        result = install.run(["-textclient", "x=FERRO://exitferro/now"])
        self.assertEqual(7, result.returncode)
        self.assertNotIn("client startup", result.stdout)
        # Without it, the same install launches the client.
        result = install.run(["-textclient"])
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertIn("client startup", result.stdout)

    def test_elevated_install_update_needs_a_directory(self):
        install = self.make_install()
        for args in (["-textclient", "-installupdate"], ["-installupdate", "-textclient"]):
            result = install.run(args, FERRO_ASSUME_ADMIN=1)
            self.assertEqual(exit_status(-6), result.returncode, args)
            self.assertIn("Assertion Failed: launched with install update flag, no download directory "
                          "given", result.stderr)
        # With a directory the elevated run goes on (nothing prepared there to install).
        result = install.run(["-textclient", "-installupdate", install.outside("prepared"),
                              "ferro://ExitFerro"], FERRO_ASSUME_ADMIN=1)
        self.assertEqual(7, result.returncode, result.stdout + result.stderr)
        # Not elevated, the option is not looked at.
        result = install.run(["-textclient", "-installupdate", "ferro://ExitFerro"])
        self.assertEqual(7, result.returncode)

    def test_crash_marker_left_behind_is_reported_and_removed(self):
        install = self.make_install()
        result = install.run(["-textclient", "ferro://ExitFerro"])
        self.assertEqual(7, result.returncode)
        self.assertNotIn(UNCLEAN_SHUTDOWN_MESSAGE, result.stderr)
        self.assertFalse(os.path.exists(install.file(".crash")))

        with open(install.file(".crash"), "w"):
            pass
        result = install.run(["-textclient", "ferro://ExitFerro"])
        self.assertEqual(7, result.returncode)
        self.assertIn(UNCLEAN_SHUTDOWN_MESSAGE, result.stderr)
        self.assertFalse(os.path.exists(install.file(".crash")))


if __name__ == "__main__":
    unittest.main()
