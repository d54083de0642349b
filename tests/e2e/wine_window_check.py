"""The progress window of the Windows launcher under Wine, as a player sees it: a virtual X
server (Xvfb on a free display), a content service that sends slowly (nginx limit_rate), the
launcher started without "-textclient". It finds the window by its title, takes a
screenshot while the build downloads (kept under the build folder, its path printed),
checks that the status text and the progress bar are drawn, presses Cancel, and checks the
exit code (7: ended without launching) and that the install directory holds nothing half
made. Prints "N passed, N failed".

    scripts/wine-run -- python3 tests/e2e/wine_window_check.py
"""
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import ContentService, UpdaterInstall, exit_status, wait_for  # noqa: E402

TITLE = "Arvo Launcher"
# Client coordinates of the window's controls.
PROGRESS_BAR = (15, 40, 365, 14)
STATUS_LABEL = (15, 64, 270, 25)
CANCEL_BUTTON = (305, 64, 75, 25)


def start_xvfb():
    read_end, write_end = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
                                "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    display = b""
    end = time.monotonic() + 30
    while not display.endswith(b"\n") and time.monotonic() < end:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        display += chunk
    os.close(read_end)
    if not display.strip():
        process.kill()
        raise RuntimeError("Xvfb did not start")
    return process, ":" + display.decode().strip()


def xwd_image(window, env):
    """The window's pixels as (width, height, rows of (r, g, b)) from xwd's dump."""
    data = subprocess.run(["xwd", "-silent", "-id", window], env=env, stdout=subprocess.PIPE, timeout=30,
                          check=True).stdout
    (header_size, _, _, depth, width, height, _, byte_order, _, _, _, bits_per_pixel, bytes_per_line, _,
     red_mask, green_mask, blue_mask, _, _, ncolors) = struct.unpack_from(">20I", data, 0)
    if bits_per_pixel != 32:
        raise RuntimeError("xwd gave %d bits per pixel" % bits_per_pixel)
    offset = header_size + ncolors * 12
    fmt = "<I" if byte_order == 0 else ">I"
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            value = struct.unpack_from(fmt, data, offset + y * bytes_per_line + 4 * x)[0]
            row.append(((value & red_mask) >> 16, (value & green_mask) >> 8, value & blue_mask))
        rows.append(row)
    return width, height, rows


def write_png(path, width, height, rows):
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def region(rows, box, dx=0, dy=0):
    x, y, w, h = box
    return [rows[j][i] for j in range(y + dy, y + dy + h) for i in range(x + dx, x + dx + w)
            if 0 <= j < len(rows) and 0 <= i < len(rows[0])]


def main():
    screenshot_dir = os.path.join(os.path.dirname(e2elib.BIN_DIR.rstrip("/")), "screenshots")
    os.makedirs(screenshot_dir, exist_ok=True)
    results = []

    def check(ok, what):
        results.append(bool(ok))
        print("%s: %s" % ("ok" if ok else "FAILED", what))
        sys.stdout.flush()
        return ok

    service = ContentService()
    install = None
    xvfb = None
    launcher = None
    try:
        service.publish({"data/big.dat": os.urandom(6 * 1024 * 1024), "readme.txt": "slow build\n"}, version=1)
        service.start(limit_rate="256k")
        install = UpdaterInstall(service.host)
        xvfb, display = start_xvfb()
        env = install.env(DISPLAY=display)
        env.pop("WAYLAND_DISPLAY", None)
        launcher = subprocess.Popen(install.command([]), cwd=install.path, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
        found = subprocess.run(["timeout", "90", "xdotool", "search", "--sync", "--onlyvisible", "--name",
                                "^%s$" % TITLE], env=env, stdout=subprocess.PIPE, errors="replace")
        windows = found.stdout.split()
        if not check(windows, "the window \"%s\" is found by its title" % TITLE):
            return 1
        window = windows[0]
        # The download is under way and has moved the bar.
        check(wait_for(lambda: "Downloading update (" in install.bootstrap_log() or launcher.poll() is not None,
                       timeout=60), "the download started (bootstrap log)")
        # Each status change erases the window before the labels draw again, so a single
        # picture may fall between the two: up to five pictures, half a second apart, and
        # the first that shows both the bar's progress and the status text is kept.
        time.sleep(3)
        background = None
        for attempt in range(5):
            width, height, rows = xwd_image(window, env)
            # Without a window manager the X window of a Wine top-level window is its client
            # area (the frame would be the manager's): client coordinates are the image's.
            background = rows[-1][2]
            bar = region(rows, PROGRESS_BAR, 0, 0)
            colours = {}
            for pixel in bar:
                colours[pixel] = colours.get(pixel, 0) + 1
            # A bar with some progress: a filled part in a colour of its own, beside the rest.
            filled = [c for c, n in colours.items() if c != background and n > len(bar) // 50 and
                      sum(c) < 3 * 200 and max(c) - min(c) > 30]
            dark = sum(1 for p in region(rows, STATUS_LABEL, 0, 0) if sum(p) < 3 * 96)
            if filled and dark > 40:
                break
            time.sleep(0.5)
        path = os.path.join(screenshot_dir, "window_downloading_%s.png" % e2elib.PLATFORM_TAG)
        write_png(path, width, height, rows)
        print("screenshot: %s (%dx%d, picture %d)" % (path, width, height, attempt + 1))
        check(filled, "the progress bar is drawn with a filled part (colours %s)" % sorted(
            colours, key=colours.get, reverse=True)[:4])
        check(dark > 40, "the status text is drawn (%d dark pixels)" % dark)

        # Cancel, pressed as a player would.
        x, y, w, h = CANCEL_BUTTON
        subprocess.run(["xdotool", "mousemove", "--window", window, str(x + w // 2), str(y + h // 2),
                        "click", "1"], env=env, timeout=30)
        try:
            launcher.wait(timeout=60)
        except subprocess.TimeoutExpired:
            pass
        code = launcher.poll()
        check(code is not None and exit_status(code) == 7, "Cancel ends the launcher with 7 (got %s)" % code)
        leftovers = [n for n in install.game_files()]
        check(not leftovers, "nothing installed after the cancel (%s)" % leftovers)
        package = install.file("package")
        half = [n for n in (os.listdir(package) if os.path.isdir(package) else []) if n.endswith((".old", ".tmp"))]
        check(not half and not os.path.exists(os.path.join(package, "tmp")), "no half-made files (%s)" % half)
    finally:
        if launcher and launcher.poll() is None:
            launcher.kill()
            launcher.wait(timeout=30)
        if xvfb:
            xvfb.kill()
            xvfb.wait(timeout=30)
        if install:
            install.cleanup()
        service.cleanup()
    passed = sum(results)
    print("windows-window: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
