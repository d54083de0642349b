"""Bad client libraries and bad registry files: each launch ends with one fatal message
and -1, or goes on safely; the launcher never crashes."""
import os
import shutil
import unittest

from e2elib import (CLIENT_LIBRARY, CONSOLE_UI_LIBRARY, SAMPLE_LIBRARIES, InstallDir, client_report,
                    exit_status)


class ClientFailureTest(unittest.TestCase):
    def make_install(self):
        install = InstallDir(libraries=SAMPLE_LIBRARIES)
        self.addCleanup(install.cleanup)
        return install

    def assert_fails_with(self, install, message, **env):
        result = install.run(["-textclient"], **env)
        self.assertEqual(exit_status(-1), result.returncode, result.stdout + result.stderr)
        fatal_lines = [line for line in result.stdout.splitlines() if "!!! Fatal Error: " in line]
        self.assertEqual(1, len(fatal_lines), result.stdout)
        self.assertEqual(message, fatal_lines[0].split("!!! Fatal Error: ", 1)[1])
        self.assertNotIn("client ui:", result.stdout)
        return result

    def test_libraries_that_are_not_what_they_claim(self):
        install = self.make_install()
        # The client library's place taken by: a text file, a library without the factory.
        with open(install.file(CLIENT_LIBRARY), "w") as f:
            f.write("not a library at all\n")
        self.assert_fails_with(install, "Failed to load " + CLIENT_LIBRARY)
        shutil.copy2(install.file(CONSOLE_UI_LIBRARY), install.file(CLIENT_LIBRARY))
        self.assert_fails_with(install, "Failed to load " + CLIENT_LIBRARY)

        # A real client library, and a UI library without the entry point; then an empty one.
        install = self.make_install()
        shutil.copy2(install.file(CLIENT_LIBRARY), install.file(CONSOLE_UI_LIBRARY))
        self.assert_fails_with(install, "Failed to load " + CONSOLE_UI_LIBRARY)
        open(install.file(CONSOLE_UI_LIBRARY), "w").close()
        self.assert_fails_with(install, "Failed to load " + CONSOLE_UI_LIBRARY)

    def test_client_faults_in_the_factory_and_the_status_record(self):
        install = self.make_install()
        self.assert_fails_with(install, "Failed to load " + CLIENT_LIBRARY, FERRO_SAMPLE_CLIENT_FAIL="nullinterface")
        # A description that fills its field without an end: the message is cut at 255 bytes.
        result = self.assert_fails_with(install, "Ferro failed to load: " + "G" * (255 - 22),
                                        FERRO_SAMPLE_CLIENT_FAIL="garbage-status")
        self.assertIn("client startup:", result.stdout)
        # A long description of a well-behaved client is cut the same way.
        self.assert_fails_with(install, "Ferro failed to load: " + "d" * (255 - 22),
                               FERRO_SAMPLE_CLIENT_FAIL="status:12:" + "d" * 300)
        self.assertFalse(os.path.exists(install.file(".crash")))

    def test_damaged_registry_file_does_not_stop_the_client(self):
        install = self.make_install()
        install.write_hklm("\x00\xff{{{ \"HKEY_LOCAL_MACHINE\" \"unterminated")
        result = install.run(["-textclient", "-client-exit", "2"])
        self.assertEqual(2, result.returncode, result.stdout + result.stderr)
        self.assertEqual("1", client_report(result.stdout)["handoff ready"])


if __name__ == "__main__":
    unittest.main()
