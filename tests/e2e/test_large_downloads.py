"""Packages past the 64 MiB response limit, downloads that break and go on where they
stopped, servers that answer Range wrongly or not at all, and a server that trickles.

A 300 MiB incompressible build installs from nginx while the launcher's resident memory
stays under 160 MiB. The other cases use a small Python server on 127.0.0.1 that serves the
same content, honours Range (or not), and counts the body bytes it sent."""
import http.server
import os
import re
import subprocess
import threading
import time
import unittest

from e2elib import ContentService, UpdaterInstall, exit_status, read_file, wait_for

EXIT_FERRO = "ferro://ExitFerro"
MIB = 1024 * 1024


class RangeServer:
    """Serves a content directory. mode per request path (taken in order, the last one
    stays): "range" (honours Range), "cut:F" (as "range", but the connection closes after
    the fraction F of the whole file), "ignore" (200 and the whole file, whatever was asked),
    "wrong" (a 206 whose Content-Range starts at 0), "trickle" (headers, then a byte a
    second). Counts the body bytes sent and records each request's Range header."""

    def __init__(self, content_dir):
        server_self = self
        self.modes = {}
        self.watched = None  # the path whose Range headers are recorded
        self.ranges = []
        self.body_bytes = 0
        self.lock = threading.Lock()

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server_self.serve(self, content_dir)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    @property
    def host(self):
        return "127.0.0.1:%d" % self.server.server_address[1]

    def mode_for(self, path):
        with self.lock:
            modes = self.modes.get(path, ["range"])
            return modes.pop(0) if len(modes) > 1 else modes[0]

    def send(self, handler, data):
        try:
            handler.wfile.write(data)
            handler.wfile.flush()
        except OSError:
            handler.close_connection = True
            return
        with self.lock:
            self.body_bytes += len(data)

    def serve(self, handler, content_dir):
        local = os.path.join(content_dir, handler.path.lstrip("/"))
        if not os.path.isfile(local):
            handler.send_response(404)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        data = read_file(local)
        mode = self.mode_for(handler.path)
        asked = handler.headers.get("Range")
        if handler.path == self.watched:
            self.ranges.append(asked)
        start = 0
        match = re.match(r"bytes=(\d+)-$", asked or "")
        if match and mode in ("range", "wrong") or (match and mode.startswith("cut")):
            start = int(match.group(1))
        if mode == "trickle":
            handler.send_response(200)
            handler.send_header("Content-Length", str(len(data)))
            handler.end_headers()
            for i in range(min(len(data), 120)):
                time.sleep(1)
                self.send(handler, data[i:i + 1])
                if handler.close_connection:
                    return
            handler.close_connection = True
            return
        if start and mode != "ignore":
            handler.send_response(206)
            first = 0 if mode == "wrong" else start
            handler.send_header("Content-Range", "bytes %d-%d/%d" % (first, len(data) - 1, len(data)))
            body = data[start:]
        else:
            handler.send_response(200)
            body = data
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        if mode.startswith("cut:"):
            stop = int(len(data) * float(mode[4:])) - start
            self.send(handler, body[:max(stop, 0)])
            handler.close_connection = True
            return
        self.send(handler, body)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)


def run_measuring_rss(install, args, timeout):
    """Runs the launcher; returns (exit status, output, peak resident KiB from VmHWM)."""
    process = install.start(args)
    peak = 0
    deadline = time.monotonic() + timeout
    status_path = "/proc/%d/status" % process.pid
    while process.poll() is None and time.monotonic() < deadline:
        try:
            for line in read_file(status_path, "r").splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        time.sleep(0.05)
    if process.poll() is None:
        process.kill()
    output, _ = process.communicate(timeout=30)
    return exit_status(process.returncode), output, peak


@unittest.skipIf(os.name == "nt", "reads /proc")
class LargeBuildTest(unittest.TestCase):
    def test_300_mib_package_installs_in_bounded_memory(self):
        service = ContentService()
        self.addCleanup(service.cleanup)
        service.publish({"big/huge.bin": os.urandom(300 * MIB), "readme.txt": "large\n"}, version=1)
        service.start()
        install = UpdaterInstall(service.host)
        self.addCleanup(install.cleanup)
        # A file above the publisher's largest package gets a package of its own.
        [size] = [size for name, (_, size) in service.packages().items() if name.startswith("big")]
        self.assertGreater(size, 300 * MIB)
        status, output, peak_kib = run_measuring_rss(install, ["-textclient", EXIT_FERRO], timeout=240)
        self.assertEqual(7, status, output)
        self.assertEqual(300 * MIB, os.path.getsize(install.file("big/huge.bin")))
        print("peak resident memory of the launcher: %.1f MiB for a %.1f MiB package"
              % (peak_kib / 1024.0, size / float(MIB)))
        self.assertGreater(peak_kib, 0)
        self.assertLess(peak_kib, 160 * 1024)


class ResumeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = ContentService()
        cls.files = {"data/blob.bin": os.urandom(8 * MIB), "readme.txt": "resume\n"}
        cls.service.publish(cls.files, version=1)

    @classmethod
    def tearDownClass(cls):
        cls.service.cleanup()

    def setUp(self):
        self.server = RangeServer(self.service.content)
        self.addCleanup(self.server.stop)
        self.install = UpdaterInstall(self.server.host)
        self.addCleanup(self.install.cleanup)
        self.name, self.size = self.service.packages()["data"]
        self.path = "/client/" + self.name
        self.server.watched = self.path

    def run_launcher(self, *args, **env):
        result = self.install.run(["-textclient", EXIT_FERRO] + list(args), timeout=120, **env)
        self.output = result.stdout
        return exit_status(result.returncode)

    def assert_installed(self):
        self.assertEqual(self.files["data/blob.bin"], read_file(self.install.file("data/blob.bin")))
        self.assertFalse(os.path.exists(self.install.package_file(self.name + ".part")))

    def test_cut_download_resumes_with_range_and_sends_only_the_rest(self):
        # The first attempt breaks at 40%, and every later one in this run too: the run
        # fails and keeps the part; the next start asks only for the rest.
        self.server.modes[self.path] = ["cut:0.4"] * 5 + ["range"]
        self.assertEqual(7, self.run_launcher(FERRO_TEST_RETRY_PAUSE_MS="20"))
        part = self.install.package_file(self.name + ".part")
        self.assertEqual(int(self.size * 0.4), os.path.getsize(part))
        self.assertIn("Package data: continuing the partial download from byte %d" % int(self.size * 0.4),
                      self.install.bootstrap_log())
        sent_before = self.server.body_bytes
        self.server.ranges.clear()
        self.assertEqual(7, self.run_launcher())
        self.assertEqual(["bytes=%d-" % int(self.size * 0.4)], self.server.ranges)
        rest = self.server.body_bytes - sent_before
        # Only the rest of the package (and the small root package), not the whole again.
        self.assertLess(rest, self.size - int(self.size * 0.4) + 64 * 1024)
        self.assert_installed()

    def test_cut_download_resumes_within_the_same_run(self):
        self.server.modes[self.path] = ["cut:0.4", "range"]
        self.assertEqual(7, self.run_launcher())
        self.assertEqual([None, "bytes=%d-" % int(self.size * 0.4)], self.server.ranges[:2])
        self.assertIn("Package data: attempt 1 of 5 failed (a network failure); trying again",
                      self.install.bootstrap_log())
        self.assert_installed()

    def test_server_that_ignores_range_starts_over_and_installs(self):
        self.server.modes[self.path] = ["cut:0.4", "ignore"]
        self.assertEqual(7, self.run_launcher())
        self.assertEqual("bytes=%d-" % int(self.size * 0.4), self.server.ranges[1])
        self.assert_installed()

    def test_wrong_content_range_discards_the_part_and_starts_over(self):
        self.server.modes[self.path] = ["cut:0.4", "wrong", "range"]
        self.assertEqual(7, self.run_launcher())
        self.assertEqual([None, "bytes=%d-" % int(self.size * 0.4), None], self.server.ranges[:3])
        self.assertIn("(the answer did not continue the partial download)", self.install.bootstrap_log())
        self.assert_installed()

    def test_part_longer_than_the_package_is_discarded(self):
        os.makedirs(self.install.file("package"), exist_ok=True)
        with open(self.install.package_file(self.name + ".part"), "wb") as part:
            part.write(os.urandom(self.size + 10))
        self.assertEqual(7, self.run_launcher())
        self.assertIn("Package data: the partial download was longer than the package's %d bytes; discarded"
                      % self.size, self.install.bootstrap_log())
        self.assertEqual([None], self.server.ranges)
        self.assert_installed()

    def test_part_with_garbage_from_a_crash_fails_its_digest_and_is_fetched_again(self):
        os.makedirs(self.install.file("package"), exist_ok=True)
        good = read_file(os.path.join(self.service.client_dir, self.name))
        with open(self.install.package_file(self.name + ".part"), "wb") as part:
            part.write(good[:1000] + b"\0" * 1000)
        self.assertEqual(7, self.run_launcher())
        self.assertEqual(["bytes=2000-", None], self.server.ranges)
        self.assertIn("(its contents did not match their digest)", self.install.bootstrap_log())
        self.assert_installed()

    def test_trickling_server_fails_within_the_window(self):
        self.server.modes[self.path] = ["trickle"]
        started = time.monotonic()
        self.assertEqual(7, self.run_launcher(FERRO_TEST_LOW_SPEED="1024/3", FERRO_TEST_RETRY_PAUSE_MS="20"))
        elapsed = time.monotonic() - started
        # Five attempts of one 3-second window each (and a second of checking at most).
        self.assertLess(elapsed, 5 * 5 + 10)
        self.assertIn("!!! Package data could not be downloaded: the transfer stayed below 1024 bytes per second "
                      "for 3 seconds.", self.output)
        self.assertIn("!!! Fatal Error: ", self.output)

    def test_rate_limit_that_is_not_a_number_is_ignored_with_a_log_line(self):
        for value in ("-5", "abc", str(10 ** 12)):
            self.assertEqual(7, self.run_launcher("-downloadrate", value))
            self.assertIn("Ignoring the download rate limit '%s' ('-downloadrate' command-line option): not a whole "
                          "number of KB/s" % value, self.install.bootstrap_log())
        self.assert_installed()


if __name__ == "__main__":
    unittest.main()
