"""The Windows progress window as a player sees it: the Windows launcher under Wine on a
virtual X server, downloading from nginx at a limited rate. Screenshots at different
moments differ where the bar and the status text are, none shows a blank heading, status or
bar, the controls are where the layout puts them, Cancel and the close box end the run
within a second with nothing installed, and a German player sees German texts.

The Wine runner provides the Windows build and Wine through the environment:
    FERRO_WINE          the Wine command ("wine", "wine64", or a command with arguments)
    WINEPREFIX          the Wine prefix to run in
    FERRO_WIN_BIN_DIR   the folder of arvolauncher.exe, ferro.dll, ferroui.dll, ferroconsole.dll
                        and public/
    FERRO_PLATFORM_TAG  the build's platform tag (win32 or win64)
Without them the tests are skipped. What the window painted is read back through the
window's own trace (FERRO_TEST_WINDOW_TRACE); what is on the screen with xwd. One
screenshot per run is kept under build/screenshots."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

from e2elib import DEV_PRIVATE_KEY, PUBLISH, ContentService, exit_status, read_file, tree_files, write_file
from screenshot import VirtualDisplay, missing_tools

WINE = shlex.split(os.environ.get("FERRO_WINE", ""))
WIN_BIN_DIR = os.environ.get("FERRO_WIN_BIN_DIR", "")
TAG = os.environ.get("FERRO_PLATFORM_TAG", "")
MISSING = [name for name, value in (("FERRO_WINE", WINE), ("WINEPREFIX", os.environ.get("WINEPREFIX")),
                                    ("FERRO_WIN_BIN_DIR", WIN_BIN_DIR), ("FERRO_PLATFORM_TAG", TAG)) if not value]
SKIP_REASON = ("the Wine runner sets FERRO_WINE, WINEPREFIX, FERRO_WIN_BIN_DIR and FERRO_PLATFORM_TAG; unset: "
               + ", ".join(MISSING)) if MISSING else "not installed: " + ", ".join(missing_tools())

EXIT_FERRO = "ferro://ExitFerro"
LAUNCHER = "arvolauncher.exe"
LIBRARIES = ("ferro.dll", "ferroui.dll", "ferroconsole.dll")
SCREENSHOT_DIR = os.path.join(WIN_BIN_DIR, "..", "screenshots")
# How soon Cancel must end the run: within a second on an idle machine (printed), with room
# for a machine that other tests share.
END_BOUND = 2.0
# One incompressible package at 200 KB/s a connection: a few seconds of download.
PACKAGE_BYTES = 1500000
RATE = "200k"
# The client area's layout at 96 DPI: (x, y, width, height).
HEADING = (15, 15, 365, 25)
BAR = (15, 40, 365, 14)
STATUS = (15, 64, 270, 25)
CANCEL = (305, 64, 75, 25)
GAP = (15, 56, 365, 6)
REGISTRY_KEY = "HKCU\\Software\\Quill\\Ferro"
X11_DRIVER_KEY = "HKCU\\Software\\Wine\\X11 Driver"


def windows_path(path):
    """The path as the Windows program sees it (Wine's drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(extra=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("FERRO_TEST_", "FERRO_SAMPLE_CLIENT_"))}
    env.setdefault("WINEDEBUG", "-all")
    env.update(extra or {})
    return env


def run_wine(args, timeout=120):
    return subprocess.run(WINE + args, env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, errors="replace")


def assert_window_size(test, shot, scale):
    """The whole window: 400 x 129 at 96 DPI (taller only for a second status line)."""
    test.assertEqual(int(400 * scale + 0.5), shot.width)
    test.assertGreaterEqual(shot.height, int(129 * scale + 0.5))


@unittest.skipIf(MISSING or missing_tools(), SKIP_REASON)
class WineWindowScreenshotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # There is no window manager on the virtual display: Wine draws the frame and the
        # caption itself, as Windows does, instead of waiting for a manager that never
        # answers (two seconds for every window that goes).
        run_wine(["reg", "add", X11_DRIVER_KEY, "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f"])
        cls.service = ContentService(limit_rate=RATE)
        staging = tempfile.mkdtemp(prefix="staging-", dir=cls.service.root)
        write_file(os.path.join(staging, "bin", "big.dat"), os.urandom(PACKAGE_BYTES))
        subprocess.run([PUBLISH, "build", "--key", DEV_PRIVATE_KEY, "--version", "1", "--input", staging,
                        "--output", cls.service.content, "--platform", TAG], check=True, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=600)
        cls.service.start()

    @classmethod
    def tearDownClass(cls):
        cls.service.cleanup()
        run_wine(["reg", "delete", X11_DRIVER_KEY, "/v", "Managed", "/f"])

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ferro-wine-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.install = os.path.join(self.root, "install")
        os.makedirs(self.install)
        for name in (LAUNCHER,) + LIBRARIES:
            shutil.copy2(os.path.join(WIN_BIN_DIR, name), self.install)
        shutil.copytree(os.path.join(WIN_BIN_DIR, "public"), os.path.join(self.install, "public"))
        write_file(os.path.join(self.install, "ferro.cfg"), "ClientDownloadHost=%s\n" % self.service.host)
        self.trace_path = os.path.join(self.root, "trace.txt")

    def set_language(self, language):
        if language:
            run_wine(["reg", "add", REGISTRY_KEY, "/v", "Language", "/t", "REG_SZ", "/d", language, "/f"])
            self.addCleanup(run_wine, ["reg", "delete", REGISTRY_KEY, "/v", "Language", "/f"])
        else:
            run_wine(["reg", "delete", REGISTRY_KEY, "/v", "Language", "/f"])

    def log_messages(self):
        try:
            lines = read_file(os.path.join(self.install, "logs", "bootstrap_log.txt"), "r").splitlines()
        except FileNotFoundError:
            return []
        return [line.split("] ", 1)[1] for line in lines if line.startswith("[") and "] " in line]

    def downloading(self):
        messages = self.log_messages()
        return bool(messages) and messages[-1].startswith(("Downloading update", "Update wird heruntergeladen"))

    def trace(self):
        try:
            lines = read_file(self.trace_path, "rb").decode("utf-8", "replace").splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            _, _, rest = line.partition(" ")
            control, _, text = rest.partition(" ")
            entries.append((control, text))
        return entries

    def start(self, display, dpi=96):
        if dpi != 96:
            # The prefix's display resolution, as a player sets it in the display settings.
            run_wine(["reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                      "/d", str(dpi), "/f"])
            self.addCleanup(run_wine, ["reg", "delete", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/f"])
        env = display.env(wine_env({"FERRO_TEST_WINDOW_TRACE": windows_path(self.trace_path)}))
        # Output to files: Wine's helper processes (the desktop of a new display) inherit the
        # launcher's handles and would hold pipes open after the launcher ended.
        self.out_path = os.path.join(self.root, "out.txt")
        self.err_path = os.path.join(self.root, "err.txt")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            process = subprocess.Popen(WINE + [os.path.join(self.install, LAUNCHER), EXIT_FERRO],
                                       cwd=self.install, env=env, stdout=out, stderr=err)

        def stop():
            if process.poll() is None:
                process.kill()
            process.wait(timeout=30)
        self.addCleanup(stop)
        window = display.find_window("^Arvo Launcher$", timeout=120)
        self.assertIsNotNone(window, "the progress window did not appear")
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not self.downloading() and process.poll() is None:
            time.sleep(0.05)
        self.assertTrue(self.downloading(), self.log_messages())
        return process, window

    def finish(self, process, timeout=60):
        process.wait(timeout=timeout)
        return (process.returncode, read_file(self.out_path).decode("utf-8", "replace"),
                read_file(self.err_path).decode("utf-8", "replace"))

    def client_origin(self):
        """Where the client area lies in the window (Wine draws the frame and the caption
        itself), as the window wrote it to its trace when it was shown."""
        for control, text in self.trace():
            if control == "client":
                x, y = text.split()
                return int(x), int(y)
        self.fail("the window did not say where its client area lies")

    def click_close_box(self, display, window):
        """The close box is the rightmost button of the caption that Wine draws."""
        x, y, width, height = display.geometry(window)
        left, top = self.client_origin()
        display.xdotool("mousemove", "--window", window, width - left - 8, top // 2, "click", "1")

    def keep(self, shot, name):
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        path = os.path.abspath(os.path.join(SCREENSHOT_DIR, name))
        shot.save_png(path)
        print("screenshot: %s" % path)
        return path

    def region(self, shot, origin, rect, scale=1.0):
        x, y, w, h = (int(v * scale + 0.5) for v in rect)
        return shot.crop(origin[0] + x, origin[1] + y, w, h)

    def assert_nothing_installed(self):
        files = tree_files(self.install, skip=("package", "logs", "public"))
        own = {LAUNCHER, "ferro.cfg", ".crash"} | set(LIBRARIES)
        self.assertEqual([], sorted(rel for rel in files if rel not in own))
        package = os.path.join(self.install, "package")
        self.assertFalse(os.path.exists(os.path.join(package, "arvo_launcher_%s.installed" % TAG)))
        self.assertFalse(os.path.exists(os.path.join(package, "arvo_launcher_%s" % TAG)))

    def test_progress_series_then_cancel_ends_the_run_within_a_second(self):
        self.set_language(None)
        with VirtualDisplay() as display:
            process, window = self.start(display)
            shots = []
            deadline = time.monotonic() + 60
            while self.downloading() and len(shots) < 12 and time.monotonic() < deadline:
                shots.append(display.screenshot(window))
                time.sleep(0.35)
            origin = self.client_origin()
            x, y, w, h = CANCEL
            clicked = time.monotonic()
            display.xdotool("mousemove", "--window", window, origin[0] + x + w // 2, origin[1] + y + h // 2,
                            "click", "1")
            status, out, err = self.finish(process)
            ended = time.monotonic()
        self.assertGreaterEqual(len(shots), 4, "the download was over too soon for a series")
        self.keep(shots[0], "win32_window_early.png")
        self.keep(shots[-1], "win32_window_late.png")
        for i, shot in enumerate(shots):
            where = " in screenshot %d of %d" % (i + 1, len(shots))
            self.assertFalse(self.region(shot, origin, HEADING).is_blank(), "blank heading" + where)
            self.assertFalse(self.region(shot, origin, STATUS).is_blank(), "blank status" + where)
            self.assertFalse(self.region(shot, origin, BAR).is_blank(), "no bar" + where)
        early, late = shots[0], shots[-1]
        self.assertTrue(self.region(early, origin, BAR).differs_from(self.region(late, origin, BAR)))
        self.assertTrue(self.region(early, origin, STATUS).differs_from(self.region(late, origin, STATUS)))
        self.assertFalse(self.region(late, origin, CANCEL).is_blank())
        self.assertTrue(self.region(late, origin, GAP).is_blank(), "something drawn between the bar and the status")
        assert_window_size(self, late, 1.0)

        self.assertEqual(exit_status(7), status, out + err)
        self.assertLess(ended - clicked, END_BOUND, "the launcher took %.2f s to end after Cancel" % (ended - clicked))
        print("the launcher ended %.3f s after Cancel" % (ended - clicked))
        self.assertIn(("status", "Cancelling..."), self.trace())
        self.assert_nothing_installed()
        self.assertNotIn("Updater thread still busy at shutdown", "\n".join(self.log_messages()))

    def test_the_close_box_ends_the_run_within_a_second(self):
        self.set_language(None)
        with VirtualDisplay() as display:
            process, window = self.start(display)
            time.sleep(0.5)
            closed = time.monotonic()
            self.click_close_box(display, window)
            status, out, err = self.finish(process)
            ended = time.monotonic()
        self.assertEqual(exit_status(7), status, out + err)
        self.assertLess(ended - closed, END_BOUND, "the launcher took %.2f s to end after the close box" % (ended - closed))
        print("the launcher ended %.3f s after the close box" % (ended - closed))
        self.assert_nothing_installed()

    def test_german_texts_at_150_percent(self):
        self.set_language("german")
        with VirtualDisplay() as display:
            process, window = self.start(display, dpi=144)
            time.sleep(0.8)
            shot = display.screenshot(window)
            self.keep(shot, "win32_window_german_150.png")
            self.click_close_box(display, window)
            status, out, err = self.finish(process)
        self.assertEqual(exit_status(7), status, out + err)
        assert_window_size(self, shot, 1.5)
        origin = self.client_origin()
        self.assertFalse(self.region(shot, origin, STATUS, 1.5).is_blank())
        self.assertFalse(self.region(shot, origin, HEADING, 1.5).is_blank())
        trace = self.trace()
        self.assertIn(("heading", "Arvo Launcher wird aktualisiert..."), trace)
        self.assertIn(("cancel", "Abbrechen"), trace)
        progress = [text for control, text in trace
                    if control == "status" and text.startswith("Update wird heruntergeladen (")]
        self.assertTrue(progress, trace[-5:])
        for text in progress:
            self.assertRegex(text, r"^Update wird heruntergeladen \(\d{1,3}(\.\d{3})* von \d{1,3}(\.\d{3})* KB\)\.\.\.$")
        self.assertIn(("status", "Wird abgebrochen..."), trace)


if __name__ == "__main__":
    unittest.main()
