"""The updater's configuration as the real launcher applies it: offline mode from the
command line and from the registry, the command-line client beta and its filter, and the
bootstrap log of a run."""
import os
import re
import unittest

from e2elib import SAMPLE_LIBRARIES, InstallDir, client_report

LOG_LINE = re.compile(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (.*)")


class UpdaterConfigTest(unittest.TestCase):
    def make_install(self):
        install = InstallDir(libraries=SAMPLE_LIBRARIES)
        self.addCleanup(install.cleanup)
        return install

    def log_messages(self, install):
        with open(install.file(os.path.join("logs", "bootstrap_log.txt")), "rb") as f:
            text = f.read().decode("utf-8", "replace")
        self.assertTrue(text.startswith("\r\n\r\n"), repr(text[:40]))
        messages = []
        for line in text.split("\r\n"):
            if line:
                match = LOG_LINE.fullmatch(line)
                self.assertIsNotNone(match, line)
                messages.append(match.group(1))
        return messages

    def run_launcher(self, install, args):
        """Runs the launcher with the sample client; returns the client's report, whose
        "offline" is the offline flag the client's start-up operation received."""
        result = install.run(["-textclient"] + args)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        report = client_report(result.stdout)
        report["offline"] = report["client startup"].split()[0].split("=")[1]
        return report

    def test_offline_from_the_command_line_and_the_registry(self):
        install = self.make_install()
        launch = self.run_launcher(install, ["-offline"])
        self.assertEqual("1", launch["offline"])
        self.assertEqual(["Startup", "Going into offline mode because of '-offline' command-line option",
                          "Verifying installation...", "Shutdown"], self.log_messages(install))

        with open(os.path.join(install.registry, "HKCU.txt"), "w") as f:
            f.write('"HKEY_CURRENT_USER" { "Software" { "Quill" { "Ferro" { "Offline" "1" } } } }\n')
        launch = self.run_launcher(install, [])
        self.assertEqual("1", launch["offline"])
        self.assertEqual(["Startup", "Going into offline mode because of registry key",
                          "Verifying installation...", "Shutdown"], self.log_messages(install)[4:])

        with open(os.path.join(install.registry, "HKCU.txt"), "w") as f:
            f.write('"HKEY_CURRENT_USER" { "Software" { "Quill" { "Ferro" { "Offline" "0" } } } }\n')
        launch = self.run_launcher(install, [])
        self.assertEqual("0", launch["offline"])
        self.assertEqual(["Startup", "Verifying installation...", "Shutdown"], self.log_messages(install)[8:])

    def test_command_line_beta_is_filtered(self):
        install = self.make_install()
        with open(install.file(os.path.join("package", "beta")), "w") as f:
            f.write("from-file\n")
        # The beta's own installation, intact (an empty list).
        open(install.file(os.path.join("package", "arvo_launcher_x_1_linux.installed")), "w").close()
        self.run_launcher(install, ["-clientbeta", "../../x_1"])
        self.assertEqual(["Startup", "Opted in to client beta 'fromfile' via beta file",
                          "Changing client beta flag from 'fromfile' (beta file) to 'x_1' (command-line "
                          "override)", "Verifying installation...", "Shutdown"], self.log_messages(install))
        # The beta file is not rewritten by the override.
        with open(install.file(os.path.join("package", "beta"))) as f:
            self.assertEqual("from-file\n", f.read())


if __name__ == "__main__":
    unittest.main()
