"""End-to-end tests of ferro-fetch, the real executable, against HTTP servers on 127.0.0.1:
a small Python server for files, errors and redirects, and raw sockets that refuse, reset,
stall, cut short or send garbage."""
import http.server
import os
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import unittest

from e2elib import BIN_DIR

FETCH = os.path.join(BIN_DIR, "ferro-fetch")
# A host name the resolver refuses at once (a label over 63 bytes), without asking a server.
UNRESOLVABLE = "a" * 70 + ".invalid"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    files = {}

    def do_GET(self):
        path = self.path.split("?")[0]
        if path == "/moved":
            # A relative reference, resolved against this URL.
            self.send_response(302)
            self.send_header("Location", "docs/../hello.txt")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = self.files.get(path)
        if body is None:
            body = b"not here"
            self.send_response(404)
        else:
            self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("X-Test", "yes")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class RawServer:
    """Accepts connections on 127.0.0.1 and does one thing with each: 'reset' (closes at once
    with a reset), 'garbage' (answers with bytes that are not HTTP), 'stall' (reads the
    request and says nothing until stopped), 'short' (announces 100 bytes, sends 10, closes)."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.stopped = threading.Event()
        self.connections = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            self.connections.append(conn)
            conn.settimeout(5)
            try:
                if self.behaviour == "reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    conn.close()
                    continue
                conn.recv(65536)
                if self.behaviour == "garbage":
                    conn.sendall(b"NONSENSE 42 xyz\r\n\r\n")
                    conn.close()
                elif self.behaviour == "short":
                    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
                    conn.close()
            except OSError:
                pass

    def stop(self):
        self.stopped.set()
        self.thread.join(5)
        for conn in self.connections:
            try:
                conn.close()
            except OSError:
                pass
        self.sock.close()


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class FerroFetchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(7)
        Handler.files = {
            "/hello.txt": b"hello",
            "/data/blob.bin": bytes(rng.getrandbits(8) for _ in range(300000)),
            "/empty": b"",
        }
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        cls.server.daemon_threads = True
        cls.port = cls.server.server_address[1]
        cls.thread = threading.Thread(target=cls.server.serve_forever, daemon=True)
        cls.thread.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferro-fetch-e2e-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def fetch(self, *args, timeout=60):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "no_proxy")}
        return subprocess.run([FETCH] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout, errors="replace", env=env)

    def test_one_line_per_url_in_the_order_given(self):
        urls = [self.url("/data/blob.bin"), self.url("/hello.txt"), self.url("/empty"),
                self.url("/hello.txt?x=1"), self.url("/moved")]
        result = self.fetch(*urls)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(["1 200 300000 " + urls[0], "1 200 5 " + urls[1], "1 200 0 " + urls[2],
                          "1 200 5 " + urls[3], "1 200 5 " + urls[4]],
                         result.stdout.splitlines())

        result = self.fetch(self.url("/hello.txt"), self.url("/missing"))
        self.assertEqual(1, result.returncode)
        self.assertEqual(["1 200 5 " + self.url("/hello.txt"), "1 404 8 " + self.url("/missing")],
                         result.stdout.splitlines())

    def test_headers_follow_each_line(self):
        result = self.fetch("--headers", self.url("/hello.txt"), self.url("/empty"))
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual("1 200 5 " + self.url("/hello.txt"), lines[0])
        second = lines.index("1 200 0 " + self.url("/empty"))
        first_headers = lines[1:second]
        self.assertIn("  X-Test: yes", first_headers)
        self.assertIn("  Content-Length: 5", first_headers)
        self.assertTrue(all(line.startswith("  ") and ": " in line for line in first_headers))
        self.assertIn("  Content-Length: 0", lines[second + 1:])

    def test_out_writes_bodies_under_their_last_path_segment(self):
        out = os.path.join(self.tmp, "out")
        os.mkdir(out)
        with open(os.path.join(out, "hello.txt"), "wb") as f:
            f.write(b"old content that is longer")
        result = self.fetch("--out", out, self.url("/hello.txt"), self.url("/data/blob.bin"),
                            self.url("/empty"))
        self.assertEqual(0, result.returncode, result.stderr)
        with open(os.path.join(out, "hello.txt"), "rb") as f:
            self.assertEqual(b"hello", f.read())
        with open(os.path.join(out, "blob.bin"), "rb") as f:
            self.assertEqual(Handler.files["/data/blob.bin"], f.read())
        self.assertEqual(0, os.path.getsize(os.path.join(out, "empty")))
        self.assertEqual(["blob.bin", "empty", "hello.txt"], sorted(os.listdir(out)))

        # Nothing is written for a 404, a path without a file name, a name that leaves the
        # directory, or a name an earlier URL takes; the others still are.
        result = self.fetch("--out", out, self.url("/missing"), self.url("/data/"),
                            "http://127.0.0.1:%d/data/.." % self.port, self.url("/data/blob.bin"),
                            self.url("/other/blob.bin"))
        self.assertEqual(1, result.returncode)
        lines = result.stdout.splitlines()
        self.assertEqual("1 404 8 " + self.url("/missing"), lines[0])
        self.assertTrue(lines[1].startswith("0 0 0 "), lines[1])
        self.assertTrue(lines[2].startswith("0 0 0 "), lines[2])
        self.assertEqual("1 200 300000 " + self.url("/data/blob.bin"), lines[3])
        self.assertEqual("0 0 0 " + self.url("/other/blob.bin"), lines[4])
        self.assertIn("status 404, nothing written", result.stderr)
        self.assertIn("has no file name", result.stderr)
        self.assertIn("could leave the output directory", result.stderr)
        self.assertIn("an earlier URL writes blob.bin already", result.stderr)
        self.assertEqual(["blob.bin", "empty", "hello.txt"], sorted(os.listdir(out)))
        self.assertEqual(["out"], os.listdir(self.tmp))

    def test_bad_urls_fail_alone(self):
        bad = ["127.0.0.1/hello.txt", "http:///hello.txt", "http://127.0.0.1:0/x",
               "http://127.0.0.1:65536/x", "http://127.0.0.1:/x", "https://127.0.0.1/x",
               "ftp://127.0.0.1/x", "http://user@127.0.0.1/x", "http://%s/x" % UNRESOLVABLE]
        result = self.fetch(*(bad + [self.url("/hello.txt")]))
        self.assertEqual(1, result.returncode)
        self.assertEqual(["0 0 0 " + url for url in bad] + ["1 200 5 " + self.url("/hello.txt")],
                         result.stdout.splitlines())
        for reason in ["no scheme", "empty host", 'invalid port "0"', 'invalid port "65536"',
                       'invalid port ""', "https is not supported", 'unsupported scheme "ftp"',
                       "user information", "the host name did not resolve"]:
            self.assertIn(reason, result.stderr)

    def test_failing_servers_fail_alone(self):
        servers = {name: RawServer(name) for name in ("reset", "garbage", "stall", "short")}
        try:
            urls = ["http://127.0.0.1:%d/refused" % closed_port()]
            urls += ["http://127.0.0.1:%d/%s" % (servers[name].port, name)
                     for name in ("reset", "garbage", "stall", "short")]
            urls.append(self.url("/hello.txt"))
            result = self.fetch("--network-timeout", "1", *urls)
        finally:
            for server in servers.values():
                server.stop()
        self.assertEqual(1, result.returncode)
        lines = result.stdout.splitlines()
        self.assertEqual(len(urls), len(lines), result.stdout)
        for url, line in zip(urls[:-1], lines[:-1]):
            self.assertTrue(line.startswith("0 "), line)
            self.assertTrue(line.endswith(" " + url), line)
            self.assertIn("ferro-fetch: %s: no complete response" % url, result.stderr)
        # The cut-short body is not reported as received.
        self.assertEqual("0 200 0 " + urls[4], lines[4])
        self.assertEqual("1 200 5 " + self.url("/hello.txt"), lines[-1])

    def test_usage_errors(self):
        for args, problem in [([], "no URL given"), (["--bogus", self.url("/x")], "unknown option --bogus"),
                              (["--network-timeout", "soon", self.url("/x")], "--network-timeout needs"),
                              (["--network-timeout", "0", self.url("/x")], "--network-timeout needs"),
                              ([self.url("/x"), "--out"], "--out needs a value"),
                              (["--out", os.path.join(self.tmp, "nowhere"), self.url("/x")], "not a directory")]:
            result = self.fetch(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn(problem, result.stderr)
            self.assertIn("usage: ferro-fetch [--out DIR] [--headers] [--network-timeout S] URL...",
                          result.stderr)
            self.assertEqual("", result.stdout)


if __name__ == "__main__":
    unittest.main()
