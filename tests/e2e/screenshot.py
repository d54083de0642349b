"""Screenshots of a virtual X server for the window tests: a private Xvfb on a display it
picks itself, screenshots taken with xwd and read here (no image library needed), regions
compared and checked for content, PNG files written for people to look at.

    with VirtualDisplay() as display:
        ... start a program with env=display.env(os.environ) ...
        shot = display.screenshot()
        region = shot.crop(x, y, width, height)
        shot.save_png(path)
"""
import os
import shutil
import struct
import subprocess
import time
import zlib

XVFB = shutil.which("Xvfb")
XWD = shutil.which("xwd")
XDOTOOL = shutil.which("xdotool")


def missing_tools():
    """The names of the X tools that are not installed (empty when all are)."""
    return [name for name, path in (("Xvfb", XVFB), ("xwd", XWD), ("xdotool", XDOTOOL)) if not path]


class Image:
    """Pixels as rows of (r, g, b) tuples."""

    def __init__(self, width, height, rows):
        self.width = width
        self.height = height
        self.rows = rows

    def crop(self, x, y, width, height):
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(self.width, x + width), min(self.height, y + height)
        return Image(max(0, x1 - x0), max(0, y1 - y0), [row[x0:x1] for row in self.rows[y0:y1]])

    def pixel(self, x, y):
        return self.rows[y][x]

    def colours(self):
        return {p for row in self.rows for p in row}

    def is_blank(self):
        """True when the region holds one colour only (nothing drawn in it)."""
        return len(self.colours()) <= 1

    def count_not(self, colour):
        return sum(1 for row in self.rows for p in row if p != colour)

    def differs_from(self, other):
        return self.rows != other.rows

    def save_png(self, path):
        raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in self.rows)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
            f.write(chunk(b"IEND", b""))


def _mask_shift(mask):
    shift = 0
    while mask and not mask & 1:
        mask >>= 1
        shift += 1
    return shift, mask


def parse_xwd(data):
    """An Image from xwd's output (a 24- or 32-bit TrueColor ZPixmap, as Xvfb gives)."""
    fields = struct.unpack(">25I", data[:100])
    header_size, version, pixmap_format = fields[0], fields[1], fields[2]
    width, height = fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14], fields[15], fields[16]
    ncolors = fields[19]
    if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise ValueError("unsupported xwd image (version %d, format %d, %d bits per pixel)"
                         % (version, pixmap_format, bits_per_pixel))
    offset = header_size + ncolors * 12
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"
    masks = [_mask_shift(m) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    # The usual case, 8 bits a colour: the bytes of each colour picked straight out of a line.
    lanes = None
    if all(mask == 0xFF and shift % 8 == 0 for shift, mask in masks):
        lanes = [shift // 8 if order == "little" else step - 1 - shift // 8 for shift, _ in masks]
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        if lanes:
            rows.append(list(zip(line[lanes[0]::step], line[lanes[1]::step], line[lanes[2]::step])))
            continue
        row = []
        for x in range(0, width * step, step):
            value = int.from_bytes(line[x:x + step], order)
            row.append(tuple(((value >> shift) & mask) * 255 // mask for shift, mask in masks))
        rows.append(row)
    return Image(width, height, rows)


class VirtualDisplay:
    """An Xvfb server of its own, on a display number it chose (-displayfd), killed by pid
    when the block ends."""

    def __init__(self, width=1024, height=768, dpi=96):
        self.size = (width, height)
        self.dpi = dpi
        self.process = None
        self.display = None

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            [XVFB, "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % self.size, "-dpi", str(self.dpi),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                byte = pipe.read(1)
                if not byte:
                    break
                number += byte
        if not number.strip():
            self.__exit__(None, None, None)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        if self.process:
            self.process.kill()
            self.process.wait(timeout=10)
            self.process = None

    def env(self, base):
        env = dict(base)
        env.pop("WAYLAND_DISPLAY", None)
        env["DISPLAY"] = self.display
        env["NO_AT_BRIDGE"] = "1"
        return env

    def screenshot(self, window="root"):
        args = [XWD, "-silent", "-display", self.display]
        args += ["-root"] if window == "root" else ["-id", str(window)]
        data = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True,
                              timeout=30).stdout
        return parse_xwd(data)

    def xdotool(self, *args, timeout=30):
        """xdotool's output lines on this display ([] when it found nothing)."""
        result = subprocess.run([XDOTOOL] + [str(a) for a in args], env=self.env(os.environ),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout,
                                errors="replace")
        return result.stdout.split()

    def find_window(self, name, timeout=30.0):
        """The id of a visible window whose name matches the regular expression, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ids = self.xdotool("search", "--onlyvisible", "--name", name, timeout=10)
            if ids:
                return int(ids[0])
            time.sleep(0.05)
        return None

    def geometry(self, window):
        """(x, y, width, height) of the window on the screen."""
        values = {}
        for item in self.xdotool("getwindowgeometry", "--shell", window):
            key, _, value = item.partition("=")
            values[key] = int(value) if value.lstrip("-").isdigit() else value
        return values.get("X", 0), values.get("Y", 0), values.get("WIDTH", 0), values.get("HEIGHT", 0)
