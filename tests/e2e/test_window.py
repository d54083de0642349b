"""The progress window. On a virtual X server of its own: the GTK window's own tests and the
real launcher showing its fatal error in a dialog box in front of everything; without any
display: the launcher falls back to the console. (test_window_screenshots.py looks at the
window while it downloads.)

Set FERRO_SCREENSHOT_DIR to keep a screenshot of the dialog."""
import os
import shutil
import subprocess
import time
import unittest

from e2elib import BIN_DIR, ContentService, InstallDir, NOT_ASCII_FATAL_LINE, UpdaterInstall, exit_status
from screenshot import VirtualDisplay, missing_tools

NO_DISPLAY_MESSAGE = "No display for the progress window: showing progress on the console"
NOT_ASCII_ASSERTION = "Assertion Failed: Unable to access Ferro files due to incompatible path"
MISSING = ", ".join(missing_tools())


def without_display(env):
    env = dict(env)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class WindowTest(unittest.TestCase):
    def make_install(self):
        # A path outside ASCII: the launcher shows its fatal error and stops with -2.
        install = InstallDir("spiel-\u00fcber")
        self.addCleanup(install.cleanup)
        shutil.copytree(os.path.join(BIN_DIR, "public"), install.file("public"))
        return install

    def test_without_a_display_progress_goes_to_the_console(self):
        install = self.make_install()
        for display in (None, ":4711"):  # none at all, or one that cannot be opened
            env = without_display(install.env())
            if display:
                env["DISPLAY"] = display
            result = subprocess.run(install.command([]), cwd=install.path, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=60, encoding="utf-8", errors="replace")
            self.assertEqual(exit_status(-2), result.returncode, result.stdout + result.stderr)
            self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines(), result.stderr)
            self.assertIn(NO_DISPLAY_MESSAGE, result.stderr)

    @unittest.skipIf(MISSING, "not installed: %s (scripts/setup installs them)" % MISSING)
    def test_gtk_window_tests_under_xvfb(self):
        tests = os.path.join(BIN_DIR, "ferroexe_tests")
        if not os.path.exists(tests):
            self.skipTest("ferroexe_tests is not built")
        with VirtualDisplay() as display:
            result = subprocess.run([tests, "--gtest_filter=GtkWindowTest.*"], env=display.env(os.environ),
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180,
                                    errors="replace")
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn("[  PASSED  ]", result.stdout)
        self.assertNotIn("[  PASSED  ] 0 tests.", result.stdout)
        self.assertNotIn("SKIPPED", result.stdout)

    @unittest.skipIf(MISSING, "not installed: %s (scripts/setup installs them)" % MISSING)
    def test_launcher_shows_its_fatal_error_in_a_dialog_box(self):
        install = self.make_install()
        screenshot_dir = os.environ.get("FERRO_SCREENSHOT_DIR", "")
        with VirtualDisplay() as display:
            process = subprocess.Popen(install.command([]), cwd=install.path,
                                       env=display.env(without_display(install.env())),
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, errors="replace")
            try:
                dialog = display.find_window("^Arvo Launcher - Fatal Error$", timeout=30)
                self.assertIsNotNone(dialog, "no fatal error box")
                # In front: nothing covers the middle of the box.
                on_top = display.xdotool("search", "--onlyvisible", "--name", ".")
                self.assertEqual(str(dialog), on_top[-1] if on_top else None)
                if screenshot_dir:
                    time.sleep(0.3)
                    display.screenshot().save_png(os.path.join(screenshot_dir, "fatal_error.png"))
                display.xdotool("windowfocus", "--sync", dialog, "key", "Return")
                out, err = process.communicate(timeout=10)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.communicate()
        # Closed with Enter, the box let the launcher end as it does on the console: -2.
        self.assertEqual(exit_status(-2), process.returncode, out + err)
        self.assertIn(NOT_ASCII_ASSERTION, err)
        # The window UI was used, not the console.
        self.assertNotIn("Fatal Error", out)
        self.assertNotIn(NO_DISPLAY_MESSAGE, err)

    @unittest.skipIf(MISSING, "not installed: %s (scripts/setup installs them)" % MISSING)
    def test_a_display_that_goes_away_leaves_the_update_to_the_console(self):
        service = ContentService(limit_rate="300k")
        self.addCleanup(service.cleanup)
        service.publish({"bin/big.dat": os.urandom(1500000)}, version=1)
        service.start()
        install = UpdaterInstall(service.host)
        self.addCleanup(install.cleanup)
        display = VirtualDisplay().__enter__()
        self.addCleanup(display.__exit__, None, None, None)
        process = subprocess.Popen(install.command(["ferro://ExitFerro"]), cwd=install.path,
                                   env=display.env(install.env()), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   errors="replace")
        try:
            self.assertIsNotNone(display.find_window("^Arvo Launcher$", timeout=30))
            time.sleep(1.0)
            display.__exit__(None, None, None)
            out, err = process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        # No crash, no hang: the update goes on, its lines on the console.
        self.assertEqual(exit_status(7), process.returncode, out + err)
        self.assertIn("showing progress on the console", err)
        self.assertIn("Update complete, launching...", out)
        self.assertEqual([["bin/big.dat", "1500000"]], [line.split(",")[:2] for line in install.installed_list()])


if __name__ == "__main__":
    unittest.main()
