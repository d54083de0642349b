"""Shared helpers of the end-to-end tests: a fresh install directory holding a copy of the
real launcher, an environment that keeps the run away from the user's own settings, and
bounded runs of the launcher."""
import os
import shutil
import subprocess
import tempfile
import time

BIN_DIR = os.environ.get("FERRO_BIN_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin")
LAUNCHER = "arvolauncher"

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
    a copy of build/bin/arvolauncher; everything goes when cleanup() is called."""

    def __init__(self, dir_name="install"):
        self.root = tempfile.mkdtemp(prefix="ferro-e2e-")
        self.path = os.path.join(self.root, dir_name)
        os.makedirs(self.path)
        shutil.copy2(os.path.join(BIN_DIR, LAUNCHER), self.path)
        self.registry = os.path.join(self.root, "registry")
        os.makedirs(self.registry)

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
               if not k.startswith("FERRO_TEST_") and k not in ("FerroBetaPassword",
                                                                 "SLEEP_BEFORE_ELEVATED_UPDATE")}
        env["FERRO_ASSUME_ADMIN"] = "0"
        env["FERRO_REGISTRY_DIR"] = self.registry
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


def wait_for(predicate, timeout=30.0, step=0.02):
    """Polls until predicate() is true; False when the time is up."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def read_launch_records(path):
    """The records that the launcher's client launch appends when FERRO_TEST_CLIENT_RECORD
    names a file: a list of dicts with 'args', 'beta', 'offline' and 'console'."""
    if not os.path.exists(path):
        return []
    records, current = [], None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f.read().split("\n"):
            if line == "launch":
                current = {"args": []}
            elif current is None:
                continue
            elif line.startswith("arg "):
                current["args"].append(line[4:])
            elif line == "end":
                records.append(current)
                current = None
            elif " " in line:
                key, value = line.split(" ", 1)
                current[key] = value
    return records
