"""What the launcher does around the client: the arguments it hands over, the crash marker
while the client runs, the beta password in its environment, and the restart when the
client returns 7. The client side is the launcher's test hook (FERRO_TEST_CLIENT_*), which
records each launch and returns the result the test asks for."""
import os
import unittest

from e2elib import InstallDir, exit_status, read_launch_records, wait_for


class ClientLaunchTest(unittest.TestCase):
    def make_install(self):
        install = InstallDir()
        self.addCleanup(install.cleanup)
        return install

    def test_client_gets_full_path_and_arguments_and_marker_lives_while_it_runs(self):
        install = self.make_install()
        record = install.outside("record.txt")
        release = install.outside("release")
        proc = install.start(["-textclient", "a b", "-beta", "s3cret"], FERRO_TEST_CLIENT_RECORD=record,
                             FERRO_TEST_CLIENT_HOLD=release, FERRO_TEST_CLIENT_RESULT=0)
        try:
            self.assertTrue(wait_for(lambda: read_launch_records(record)), "the client was not launched")
            self.assertTrue(os.path.exists(install.file(".crash")), "no crash marker while running")
        finally:
            with open(release, "w"):
                pass
            out, err = proc.communicate(timeout=60)
        self.assertEqual(0, proc.returncode, out + err)
        self.assertFalse(os.path.exists(install.file(".crash")), "crash marker left after a clean end")

        [launch] = read_launch_records(record)
        self.assertEqual([install.exe, "-textclient", "a b", "-beta", "s3cret"], launch["args"])
        self.assertEqual("s3cret", launch["beta"])
        self.assertEqual("1", launch["console"])
        self.assertEqual("0", launch["offline"])

    def test_beta_password_needs_a_value_and_window_is_the_default(self):
        install = self.make_install()
        record = install.outside("record.txt")
        result = install.run(["-beta", "-other"], FERRO_TEST_CLIENT_RECORD=record, FERRO_TEST_CLIENT_RESULT=3)
        self.assertEqual(3, result.returncode, result.stdout + result.stderr)
        [launch] = read_launch_records(record)
        self.assertEqual("", launch["beta"])
        self.assertEqual("0", launch["console"])

    def test_missing_client_library_ends_with_minus_1(self):
        install = self.make_install()
        result = install.run(["-textclient"])
        self.assertEqual(exit_status(-1), result.returncode)
        self.assertIn("!!! Fatal Error: Failed to load ferro", result.stdout)

    def test_client_result_7_starts_the_launcher_again_once(self):
        install = self.make_install()
        record = install.outside("record.txt")
        # Started by a relative path: argument 0 of what follows is still the full path.
        # The run waits for the relaunched launcher too, since it keeps the output open.
        result = install.run(["-textclient", "a b", "plain"], relative=True, FERRO_TEST_CLIENT_RECORD=record,
                             FERRO_TEST_CLIENT_RESULT=7)
        self.assertEqual(7, result.returncode, result.stdout + result.stderr)
        self.assertTrue(wait_for(lambda: len(read_launch_records(record)) >= 2), "no relaunch seen")
        records = read_launch_records(record)
        expected = [install.exe, "-textclient", "a b", "plain"]
        self.assertEqual(expected, records[0]["args"])
        self.assertEqual(expected, records[1]["args"])
        # The relaunched launcher finds no client and ends with -1, without relaunching.
        self.assertTrue(wait_for(lambda: not os.path.exists(install.file(".crash"))))
        self.assertIn("!!! Fatal Error: Failed to load ferro", result.stdout)
        self.assertEqual(2, len(read_launch_records(record)))


if __name__ == "__main__":
    unittest.main()
