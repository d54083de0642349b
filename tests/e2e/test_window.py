"""The progress window. Under a virtual X server (xvfb-run): the GTK window's own tests and
the real launcher showing its fatal error in a dialog box; without any display: the
launcher falls back to the console.

Set FERRO_SCREENSHOT_DIR to keep a screenshot of the dialog (needs ImageMagick's import)."""
import os
import shutil
import subprocess
import unittest

from e2elib import BIN_DIR, InstallDir, NOT_ASCII_FATAL_LINE, exit_status

XVFB_RUN = shutil.which("xvfb-run")
XDOTOOL = shutil.which("xdotool")
SCREEN = "-screen 0 1024x768x24"
NO_DISPLAY_MESSAGE = "No display for the progress window: showing progress on the console"
NOT_ASCII_ASSERTION = "Assertion Failed: Unable to access Ferro files due to incompatible path"

# Runs inside the virtual X server: starts the launcher, waits (at most 30 s) for its fatal
# error box, takes a screenshot when asked, presses Enter in the box, and waits (at most
# 10 s) for the launcher to end. Prints "dialog:<id>" and "exit:<status>".
DIALOG_SCRIPT = r"""
"$LAUNCHER" >"$OUT" 2>"$ERR" &
pid=$!
id=$(timeout 30 xdotool search --sync --name '^Arvo Launcher - Fatal Error$' | head -n 1)
echo "dialog:$id"
if [ -n "$id" ]; then
    if [ -n "$SCREENSHOT" ] && command -v import >/dev/null; then
        sleep 0.3
        import -window root "$SCREENSHOT" || true
    fi
    xdotool windowfocus --sync "$id" key Return
fi
for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill "$pid" 2>/dev/null
wait "$pid"
echo "exit:$?"
"""


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

    @unittest.skipUnless(XVFB_RUN, "xvfb-run is not installed (package xvfb)")
    def test_gtk_window_tests_under_xvfb(self):
        tests = os.path.join(BIN_DIR, "ferroexe_tests")
        if not os.path.exists(tests):
            self.skipTest("ferroexe_tests is not built")
        env = dict(os.environ, NO_AT_BRIDGE="1")
        result = subprocess.run([XVFB_RUN, "-a", "-s", SCREEN, tests, "--gtest_filter=GtkWindowTest.*"],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180,
                                errors="replace")
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertIn("[  PASSED  ]", result.stdout)
        self.assertNotIn("[  PASSED  ] 0 tests.", result.stdout)
        self.assertNotIn("SKIPPED", result.stdout)

    @unittest.skipUnless(XVFB_RUN and XDOTOOL, "xvfb-run or xdotool is not installed (packages xvfb, xdotool)")
    def test_launcher_shows_its_fatal_error_in_a_dialog_box(self):
        install = self.make_install()
        screenshot_dir = os.environ.get("FERRO_SCREENSHOT_DIR", "")
        env = install.env(LAUNCHER=install.exe, OUT=install.outside("out.txt"), ERR=install.outside("err.txt"),
                          NO_AT_BRIDGE="1",
                          SCREENSHOT=os.path.join(screenshot_dir, "fatal_error.png") if screenshot_dir else "")
        result = subprocess.run([XVFB_RUN, "-a", "-s", SCREEN, "bash", "-c", DIALOG_SCRIPT], cwd=install.path,
                                env=without_display(env), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=120, errors="replace")
        with open(install.outside("out.txt"), encoding="utf-8", errors="replace") as f:
            out = f.read()
        with open(install.outside("err.txt"), encoding="utf-8", errors="replace") as f:
            err = f.read()
        lines = result.stdout.splitlines()
        details = result.stdout + out + err
        dialogs = [line[len("dialog:"):] for line in lines if line.startswith("dialog:")]
        self.assertTrue(dialogs and dialogs[0], details)
        # Closed with Enter, the box let the launcher end as it does on the console: -2.
        self.assertIn("exit:%d" % exit_status(-2), lines, details)
        self.assertIn(NOT_ASCII_ASSERTION, err)
        # The window UI was used, not the console.
        self.assertNotIn("Fatal Error", out)
        self.assertNotIn(NO_DISPLAY_MESSAGE, err)


if __name__ == "__main__":
    unittest.main()
