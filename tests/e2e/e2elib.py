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
import uuid

BIN_DIR = os.environ.get("FERRO_BIN_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin")
LAUNCHER = "arvolauncher"
CLIENT_LIBRARY = "ferro.so"
WINDOW_UI_LIBRARY = "ferroui.so"
CONSOLE_UI_LIBRARY = "ferroconsole.so"
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
    with libraries=SAMPLE_LIBRARIES); everything goes when cleanup() is called.

    Each has its own registry directory and named-event namespace (FERRO_IPC_NAMESPACE), so
    that runs do not hand off to each other, unless share_with names another InstallDir
    whose registry and namespace it then uses (a second launcher beside a running client)."""

    def __init__(self, dir_name="install", libraries=(), share_with=None):
        self.root = tempfile.mkdtemp(prefix="ferro-e2e-")
        self.path = os.path.join(self.root, dir_name)
        os.makedirs(self.path)
        shutil.copy2(os.path.join(BIN_DIR, LAUNCHER), self.path)
        for name in libraries:
            shutil.copy2(os.path.join(BIN_DIR, name), self.path)
        if share_with:
            self.registry = share_with.registry
            self.namespace = share_with.namespace
        else:
            self.registry = os.path.join(self.root, "registry")
            os.makedirs(self.registry)
            self.namespace = "ferro-e2e-" + uuid.uuid4().hex[:12]
        self.owns_namespace = share_with is None

    @property
    def hklm(self):
        """The registry file of HKEY_LOCAL_MACHINE."""
        return os.path.join(self.registry, "HKLM.txt")

    def read_hklm(self):
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
        return os.path.join(self.path, LAUNCHER)

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
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def command(self, args, relative=False):
        return [("./" + LAUNCHER) if relative else self.exe] + list(args)

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
