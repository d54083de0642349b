"""Shared helpers of the end-to-end tests: a fresh install directory holding a copy of the
real launcher (and, when asked, the sample client libraries), an environment that keeps the
run away from the user's own settings and from other runs, and bounded runs of the
launcher."""
import glob
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import uuid

# The Windows build under Wine when scripts/wine-run chose one (FERRO_WINE, FERRO_WIN_BIN_DIR,
# FERRO_PLATFORM_TAG and WINEPREFIX come from it); the Linux build otherwise.
WINE = os.environ.get("FERRO_WINE", "")
WINDOWS = bool(WINE and os.environ.get("FERRO_WIN_BIN_DIR"))
if WINDOWS:
    BIN_DIR = os.environ["FERRO_WIN_BIN_DIR"]
    LAUNCHER = "arvolauncher.exe"
    SUFFIX = ".dll"
else:
    BIN_DIR = os.environ.get("FERRO_BIN_DIR") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin")
    LAUNCHER = "arvolauncher"
    SUFFIX = ".so"
# What ships beside the launcher itself: on Linux the module of its progress window.
LAUNCHER_MODULES = () if WINDOWS else ("arvolauncher_gtk.so",)
CLIENT_LIBRARY = "ferro" + SUFFIX
WINDOW_UI_LIBRARY = "ferroui" + SUFFIX
CONSOLE_UI_LIBRARY = "ferroconsole" + SUFFIX
SAMPLE_LIBRARIES = (CLIENT_LIBRARY, WINDOW_UI_LIBRARY, CONSOLE_UI_LIBRARY)
HANDOFF_EVENT = "Global.Quill_FerroIPC_Class"

# Texts of the launcher that the tests look for.
NOT_ASCII_FATAL_LINE = ("[  0%] !!! Fatal Error: Ferro cannot run from a folder path that includes "
                        "non-English characters. Please re-install Ferro to the default folder.")
UNCLEAN_SHUTDOWN_MESSAGE = ("Looks like ferro didn't shutdown cleanly, scheduling immediate update "
                            "check")

# Exit codes as the shell sees them (the launcher returns -1 to -7 and 7).
def exit_status(code):
    return code & 0xFF


class InstallDir:
    """A temporary directory with an install directory (named dir_name) inside it that holds
    a copy of build/bin/arvolauncher and of the named sample client libraries (all of them
    with libraries=SAMPLE_LIBRARIES) and, unless intact=False, an empty installed file list
    (an intact installation); everything goes when cleanup() is called.

    Each has its own registry directory and named-event namespace (FERRO_IPC_NAMESPACE), so
    that runs do not hand off to each other, unless share_with names another InstallDir
    whose registry and namespace it then uses (a second launcher beside a running client)."""

    def __init__(self, dir_name="install", libraries=(), share_with=None, intact=True, parent=None):
        self.root = tempfile.mkdtemp(prefix="ferro-e2e-", dir=parent)
        self.path = os.path.join(self.root, dir_name)
        os.makedirs(self.path)
        if intact:
            # An empty installed file list: the installation verifies as intact, so a run
            # that is not about updating starts the client without asking any service.
            os.makedirs(os.path.join(self.path, "package"))
            open(os.path.join(self.path, "package", "arvo_launcher_%s.installed" % PLATFORM_TAG), "w").close()
        shutil.copy2(os.path.join(BIN_DIR, LAUNCHER), self.path)
        for name in LAUNCHER_MODULES + tuple(libraries):
            shutil.copy2(os.path.join(BIN_DIR, name), self.path)
        if share_with:
            self.registry = share_with.registry
            self.namespace = share_with.namespace
        else:
            self.registry = os.path.join(self.root, "registry")
            os.makedirs(self.registry)
            self.namespace = "ferro-e2e-" + uuid.uuid4().hex[:12]
        self.owns_namespace = share_with is None
        if WINDOWS and self.owns_namespace:
            # The registry of the Wine prefix is the one registry of every run: each test
            # starts without the launcher's values.
            for hive in ("HKCU", "HKLM"):
                wine_reg("delete", hive + "\\Software\\Quill", "/f")

    @property
    def hklm(self):
        """The registry file of HKEY_LOCAL_MACHINE."""
        return os.path.join(self.registry, "HKLM.txt")

    def read_hklm(self):
        if WINDOWS:
            # Each query starts a Windows program: polled at most twice a second, so that the
            # queries do not crowd out the programs under test.
            time.sleep(0.5)
            return wine_reg("query", "HKLM\\Software\\Quill\\Ferro")
        try:
            with open(self.hklm, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def write_hklm(self, text):
        """Replaces the machine hive at once, as the launcher's own writes do."""
        temp = self.hklm + ".test"
        with open(temp, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temp, self.hklm)

    @property
    def exe(self):
        """The launcher's path as the launcher itself sees and reports it."""
        return shown_path(os.path.join(self.path, LAUNCHER))

    @property
    def shown_path(self):
        """The install directory as the launcher sees and reports it."""
        return shown_path(self.path)

    def file(self, name):
        return os.path.join(self.path, name)

    def outside(self, name):
        """A path in the temporary directory, outside the install directory."""
        return os.path.join(self.root, name)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("FERRO_TEST_", "FERRO_SAMPLE_CLIENT_"))
               and k not in ("FerroBetaPassword", "SLEEP_BEFORE_ELEVATED_UPDATE")}
        env["FERRO_ASSUME_ADMIN"] = "0"
        env["FERRO_REGISTRY_DIR"] = self.registry
        env["FERRO_IPC_NAMESPACE"] = self.namespace
        # Package retries follow each other quickly: the tests count them, not their pauses.
        env["FERRO_TEST_RETRY_PAUSE_MS"] = "20"
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def command(self, args, relative=False):
        return ([WINE] if WINDOWS else []) + [("./" + LAUNCHER) if relative else self.exe] + list(args)

    def run(self, args, timeout=60, relative=False, **extra_env):
        """Runs the launcher to its end (and the end of anything it started that keeps its
        output open); returns the CompletedProcess with text output."""
        return subprocess.run(self.command(args, relative), cwd=self.path, env=self.env(**extra_env),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                              errors="replace")

    def start(self, args, **extra_env):
        return subprocess.Popen(self.command(args), cwd=self.path, env=self.env(**extra_env),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, errors="replace")

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)
        if self.owns_namespace:
            # The named event's lock files stay after every run (by design), and a client
            # that was killed leaves its semaphore too.
            for leftover in glob.glob("/dev/shm/*" + self.namespace + ".*"):
                try:
                    os.unlink(leftover)
                except OSError:
                    pass


def shown_path(path):
    """A path as the launcher sees it: the same on Linux; under Wine on its drive Z:, which
    is the root of the file system, with backslashes."""
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def set_user_language(registry_dir, language):
    """The user's language in the registry (HKEY_CURRENT_USER)."""
    if WINDOWS:
        wine_reg("add", "HKCU\\Software\\Quill\\Ferro", "/v", "Language", "/t", "REG_SZ", "/d", language, "/f")
        return
    with open(os.path.join(registry_dir, "HKCU.txt"), "w", encoding="utf-8") as f:
        f.write('"HKEY_CURRENT_USER" { "Software" { "Quill" { "Ferro" { "Language" "%s" } } } }\n'
                % language)


def wine_reg(*args):
    """Runs Wine's reg.exe in the prefix of the run; returns its output."""
    result = subprocess.run([WINE, "reg"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=120, errors="replace")
    return result.stdout
def tries(quick, full):
    """The count of a loop of tries: quick in ordinary runs (ctest, CI), full with
    FERRO_E2E_FULL=1 in the environment (a run by hand that takes its time)."""
    return full if os.environ.get("FERRO_E2E_FULL") == "1" else quick


def flock_holder(path):
    """The pid of the process that holds the flock lock of the file at path (from
    /proc/locks), or None."""
    try:
        st = os.stat(path)
        with open("/proc/locks") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    device = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    for line in lines:
        fields = line.split()
        # "1: FLOCK  ADVISORY  WRITE 1234 00:2f:5678 0 EOF"; waiters are marked "->".
        if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == device:
            return int(fields[4])
    return None


def wait_for(predicate, timeout=30.0, step=0.02):
    """Polls until predicate() is true; False when the time is up."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def client_report(output):
    """The sample client's "name: value" lines of one run, as a dict (the last line of a
    name wins), with the argument vector as the list 'argv' and the hand-offs it received as
    the list 'handoffs'."""
    report = {"argv": [], "handoffs": []}
    for line in output.split("\n"):
        name, sep, value = line.partition(": ")
        if not sep:
            continue
        if name.startswith("argv["):
            report["argv"].append(value)
        elif name == "handoff":
            report["handoffs"].append(value)
        else:
            report[name] = value
    return report


def client_runs(output):
    """The output split into the sample client's runs (each starts with "client ui: ")."""
    runs = output.split("client ui: ")[1:]
    return [client_report("client ui: " + run) for run in runs]


# ---- the content service: builds published with ferro-publish, served over loopback ----

SOURCE_DIR = os.environ.get("FERRO_SOURCE_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")
PUBLISH = os.path.join(BIN_DIR, "ferro-publish")
DEV_PRIVATE_KEY = os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_private.der")
DEV_ED25519_PRIVATE_KEY = os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_ed25519_private.der")
# The Windows builds are published with the Linux build's ferro-publish and their own tag.
PLATFORM_TAG = os.environ.get("FERRO_PLATFORM_TAG", "linux") if WINDOWS else "linux"
if WINDOWS:
    PUBLISH = os.environ.get("FERRO_PUBLISH") or os.path.join(SOURCE_DIR, "build", "bin", "ferro-publish")
PUBLIC_DIR = os.path.join(SOURCE_DIR, "public")


def free_loopback_port():
    """A port on 127.0.0.1 that nothing listens on at the moment."""
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    import socket

    def accepting():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False
    return wait_for(accepting, timeout=timeout, step=0.05)


def write_file(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)


def read_file(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def tree_files(root, skip=()):
    """Every regular file under root (top-level names in skip left out): relative path with
    '/' -> bytes."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        if rel_dir == ".":
            dirnames[:] = [d for d in dirnames if d not in skip]
        for name in filenames:
            rel = os.path.normpath(os.path.join(rel_dir, name)).replace(os.sep, "/")
            if rel_dir == "." and name in skip:
                continue
            files[rel] = read_file(os.path.join(dirpath, name))
    return files


class ContentService:
    """A content service in a temporary directory: `publish` turns a staging tree into a
    signed build under <root>/content/client with the real ferro-publish, and `start` serves
    <root>/content with nginx on 127.0.0.1 (its own configuration, a free port, `daemon off`,
    killed by pid in `stop`). `requests()` lists the paths that nginx was asked for, in
    order, from its access log.

        service = ContentService()
        service.publish({"bin/a.dat": b"..."}, version=1)
        service.start()
        ... ClientDownloadHost=service.host ...
        service.stop(); service.cleanup()
    """

    def __init__(self, limit_rate=None):
        self.root = tempfile.mkdtemp(prefix="ferro-content-")
        # nginx's limit_rate (bytes per second and connection, "200k"), or none.
        self.limit_rate = limit_rate
        self.content = os.path.join(self.root, "content")
        self.client_dir = os.path.join(self.content, "client")
        os.makedirs(self.client_dir)
        self.port = None
        self.process = None
        self.access_log = os.path.join(self.root, "access.log")

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def manifest_path(self, beta=""):
        name = "arvo_launcher_" + (beta + "_" if beta else "") + PLATFORM_TAG
        return os.path.join(self.client_dir, name)

    def publish(self, files, version, beta="", ed25519=False):
        """Publishes a build whose files (relative path -> bytes or str) are staged in a
        fresh directory; returns ferro-publish's output. The build's packages are its
        top-level directories (and "root" for top-level files). ed25519: signed with the
        development Ed25519 key as well."""
        staging = tempfile.mkdtemp(prefix="staging-", dir=self.root)
        for rel, content in files.items():
            write_file(os.path.join(staging, rel), content)
        return self.publish_directory(staging, version, beta, ed25519)

    def publish_directory(self, staging, version, beta="", ed25519=False, extra=()):
        """extra: more options of ferro-publish build ("--max-package-size", "65536")."""
        args = [PUBLISH, "build", "--key", DEV_PRIVATE_KEY, "--version", str(version),
                "--input", staging, "--output", self.content, "--platform", PLATFORM_TAG] + list(extra)
        if beta:
            args += ["--beta", beta]
        if ed25519:
            args += ["--ed25519-key", DEV_ED25519_PRIVATE_KEY]
        result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                errors="replace", timeout=600)
        if result.returncode != 0:
            raise RuntimeError("ferro-publish failed: " + result.stderr)
        return result.stdout

    def sign_manifest(self, text, beta=""):
        """Signs manifest text (a "manifest" key without signatures) and installs it as the
        build's manifest."""
        unsigned = os.path.join(self.root, "unsigned.txt")
        write_file(unsigned, text)
        subprocess.run([PUBLISH, "sign", "--key", DEV_PRIVATE_KEY, unsigned, self.manifest_path(beta)],
                       check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

    def packages(self, beta=""):
        """The packages of the current manifest: name -> (file name, size), in order."""
        packages = {}
        name, block = None, {}
        for line in read_file(self.manifest_path(beta), "r").splitlines():
            tokens = line.strip().split('"')[1::2]
            stripped = line.strip()
            if stripped == "{" or stripped == "}":
                if stripped == "}" and name is not None and "file" in block:
                    packages[name] = (block.get("file"), int(block.get("size", "0")))
                    name, block = None, {}
                continue
            if len(tokens) == 1:
                name, block = tokens[0], {}
            elif len(tokens) == 2 and name is not None:
                block[tokens[0]] = tokens[1]
        return packages

    def package_path(self, name, beta=""):
        return os.path.join(self.client_dir, self.packages(beta)[name][0])

    def start(self, limit_rate=""):
        """limit_rate: nginx's limit_rate for every response ("256k"), a slow service; it
        replaces the one given to the constructor."""
        if limit_rate:
            self.limit_rate = limit_rate
        for _ in range(3):
            self.port = free_loopback_port()
            conf = os.path.join(self.root, "nginx.conf")
            temp = os.path.join(self.root, "nginx-temp")
            os.makedirs(temp, exist_ok=True)
            # One process, no master: killing it by pid leaves no worker behind. (A process
            # started as root would otherwise switch to an unprivileged user that cannot read
            # the temporary directory.)
            user = "user root;\n" if hasattr(os, "geteuid") and os.geteuid() == 0 else ""
            write_file(conf, (
                "%sworker_processes 1;\ndaemon off;\nmaster_process off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                "events { worker_connections 128; }\n"
                "http {\n"
                "  access_log %s;\n"
                "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
                "  fastcgi_temp_path %s/fastcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
                "  default_type application/octet-stream;\n"
                "  sendfile on; keepalive_timeout 65;\n"
                "  server { listen 127.0.0.1:%d; root %s; location / { %s} }\n"
                "}\n") % (user, self.root, self.root, self.access_log, temp, temp, temp, temp, temp,
                          self.port, self.content,
                          "limit_rate %s; " % self.limit_rate if self.limit_rate else ""))
            self.process = subprocess.Popen(
                ["nginx", "-p", self.root, "-e", os.path.join(self.root, "error.log"), "-c", conf],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if wait_for_port(self.port):
                return
            self.stop()
        raise RuntimeError("nginx did not start")

    def stop(self):
        if self.process:
            self.process.kill()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            if self.process.stderr:
                self.process.stderr.close()
            self.process = None

    def requests(self):
        """The request paths of the access log, in order."""
        try:
            lines = read_file(self.access_log, "r").splitlines()
        except FileNotFoundError:
            return []
        paths = []
        for line in lines:
            parts = line.split('"')
            if len(parts) > 1 and len(parts[1].split()) >= 2:
                paths.append(parts[1].split()[1])
        return paths

    def clear_requests(self):
        open(self.access_log, "w").close()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class FaultyContentServer:
    """Serves a content directory like nginx, from a Python server on 127.0.0.1, with a
    fault per path: "cut" (the full Content-Length, half the body, then the connection
    closes), "short" (a consistent response one byte shorter than the file), "404", "slow"
    (the body in 64 KiB pieces 5 ms apart). Every requested path is recorded."""

    def __init__(self, content_dir):
        import http.server
        import threading
        server_self = self
        self.faults = {}
        self.paths = []

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server_self.paths.append(self.path)
                fault = server_self.faults.get(self.path)
                local = os.path.join(content_dir, self.path.lstrip("/"))
                if fault == "404" or not os.path.isfile(local):
                    body = b"not found"
                    self.send_response(404)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                    return
                data = read_file(local)
                if fault == "short":
                    data = data[:-1]
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                if fault == "cut":
                    self.wfile.write(data[:len(data) // 2])
                    self.wfile.flush()
                    self.close_connection = True
                    return
                if fault == "slow":
                    try:
                        for start in range(0, len(data), 65536):
                            self.wfile.write(data[start:start + 65536])
                            time.sleep(0.005)
                    except OSError:
                        self.close_connection = True
                    return
                self.wfile.write(data)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)


class UpdaterInstall(InstallDir):
    """An install directory for update runs: the launcher, the sample client libraries and
    public/, with a ferro.cfg that points ClientDownloadHost at a content service (public
    universe unless another is given)."""

    def __init__(self, host, universe=None, extra_config="", parent=None):
        InstallDir.__init__(self, libraries=SAMPLE_LIBRARIES, intact=False, parent=parent)
        shutil.copytree(PUBLIC_DIR, self.file("public"))
        self.configure(host, universe, extra_config)

    def configure(self, host, universe=None, extra_config=""):
        lines = ["ClientDownloadHost=" + host]
        if universe:
            lines.append("Universe " + universe)
        write_file(self.file("ferro.cfg"), "\n".join(lines) + "\n" + extra_config)

    # The files the launcher brings itself, which no build ships.
    OWN_FILES = {LAUNCHER, "ferro.cfg", ".crash"} | set(LAUNCHER_MODULES) | set(SAMPLE_LIBRARIES)

    def game_files(self):
        """The installed files (package/, logs/, public/ and the launcher's own left out)."""
        return {rel: data for rel, data in tree_files(self.path, skip=("package", "logs", "public")).items()
                if rel not in self.OWN_FILES}

    def package_file(self, name):
        return self.file(os.path.join("package", name))

    def installed_list(self):
        path = self.package_file("arvo_launcher_%s.installed" % PLATFORM_TAG)
        return read_file(path, "r").splitlines()

    def bootstrap_log(self):
        try:
            return read_file(self.file("logs/bootstrap_log.txt"), "r")
        except FileNotFoundError:
            return ""

    def leftovers(self):
        """Backups (*.old), the temporary unzip folder and the backup journal, anywhere in
        the install directory: what an installation must not leave behind."""
        found = []
        for dirpath, dirnames, filenames in os.walk(self.path):
            for name in dirnames + filenames:
                rel = os.path.relpath(os.path.join(dirpath, name), self.path).replace(os.sep, "/")
                if name.endswith(".old") or rel in ("package/tmp", "package/arvo_launcher.backups"):
                    found.append(rel)
        return sorted(found)

    def log_messages(self):
        """The message part of each bootstrap log line."""
        messages = []
        for line in self.bootstrap_log().splitlines():
            if line.startswith("[") and "] " in line:
                messages.append(line.split("] ", 1)[1])
        return messages


class ServedInstallTest(unittest.TestCase):
    """A content service serving first_build() as version 1 (self.one) and an update install
    directory pointed at it (self.install), both removed after the test. run_launcher runs
    the launcher with -textclient, keeps its standard output in self.output and returns the
    exit status."""

    install_parent = None  # the folder the install directory is made in (a temporary one)

    def first_build(self):
        raise NotImplementedError

    def setUp(self):
        self.service = ContentService()
        self.addCleanup(self.service.cleanup)
        self.one = self.first_build()
        self.service.publish(self.one, version=1)
        self.service.start()
        self.install = UpdaterInstall(self.service.host, parent=self.install_parent)
        self.addCleanup(self.install.cleanup)

    def run_launcher(self, *args):
        result = self.install.run(["-textclient"] + list(args), timeout=120)
        self.output = result.stdout
        return exit_status(result.returncode)
