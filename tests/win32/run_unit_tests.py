"""Runs the Windows build's unit test programs under Wine, one after the other, each in
bounded time, with the single tests that only make sense on POSIX left out (the list that
tests/CMakeLists.txt writes beside the programs). Prints each program's failures and the
closing line "N passed, N failed". Started by scripts/test-windows through scripts/wine-run,
which sets FERRO_WINE and the prefix.

    python3 tests/win32/run_unit_tests.py BUILD_DIR [PROGRAM...]
"""
import os
import re
import signal
import subprocess
import sys
import time

PROGRAMS = ("foundation_tests", "jobs_tests", "net_tests", "http_tests", "crypto_tests", "localize_tests",
            "ferroexe_tests")
TIMEOUT = int(os.environ.get("FERRO_WINE_TEST_TIMEOUT", "600"))


OWN_PROCESS = "(own process)"


def test_lists(bin_dir):
    """(name, reason) of each test left out of the Windows build, and the tests that run in
    a process of their own."""
    left_out, own_process = [], []
    with open(os.path.join(bin_dir, "..", "testbin", "posix-only-tests.txt"), encoding="utf-8") as f:
        for line in f:
            name, _, reason = line.rstrip("\n").partition("\t")
            if name and reason == OWN_PROCESS:
                own_process.append(name)
            elif name:
                left_out.append((name, reason))
    return left_out, own_process


def windows_path(path):
    """The path as the Windows programs see it: Wine's drive Z: is the root."""
    return "Z:" + os.path.abspath(path)


def run_program(path, cwd, gtest_filter):
    """Runs one program; returns (passed, failed, skipped, output, note, seconds)."""
    args = [os.environ["FERRO_WINE"], path]
    if gtest_filter:
        args.append("--gtest_filter=" + gtest_filter)
    start = time.monotonic()
    process = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=TIMEOUT)
        note = ""
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        note = "did not finish in %d s: it hangs under Wine (stopped)" % TIMEOUT
    text = output.decode("utf-8", "replace")
    started = re.findall(r"^\[ RUN      \] (\S+)", text, re.M)
    passed = set(re.findall(r"^\[       OK \] (\S+)", text, re.M))
    skipped = set(re.findall(r"^\[  SKIPPED \] (\S+)", text, re.M))
    failed = [name for name in started if name not in passed and name not in skipped]
    if not note and process.returncode != 0 and not failed:
        note = "exited with %d without a failed test" % process.returncode
    if not note and not started:
        note = "ran no test"
    if note and not failed:
        failed = ["(the program itself)"]
    return len(passed), failed, len(skipped), text, note, time.monotonic() - start


def main():
    build_dir = os.path.abspath(sys.argv[1])
    bin_dir = os.path.join(build_dir, "bin")
    programs = sys.argv[2:] or PROGRAMS
    left_out, own_process = test_lists(bin_dir)
    # The tests find the sources and the built programs through these, as under ctest.
    os.environ["FERRO_BIN_DIR"] = windows_path(bin_dir)
    os.environ["FERRO_SOURCE_DIR"] = windows_path(os.environ.get("FERRO_SOURCE_DIR", "."))
    print("Left out of the Windows build (POSIX only):")
    for name, reason in left_out:
        print("  %s: %s" % (name, reason))
    single = [name for name, _ in left_out if not name.endswith(".cpp")]
    together = "-" + ":".join(single + own_process)
    total_passed = total_failed = total_skipped = 0
    for program in programs:
        path = os.path.join(build_dir, "testbin", program + ".exe")
        if not os.path.exists(path):
            print("%s: not built" % program)
            total_failed += 1
            continue
        cwd = os.path.join(build_dir, "tests")
        os.makedirs(cwd, exist_ok=True)
        passed, failed, skipped, text, note, seconds = run_program(path, cwd, together)
        # The tests that need a process of their own, each alone (when the program has it).
        for name in own_process:
            if re.search(r"^\[ RUN      \] %s$" % re.escape(name), text, re.M):
                continue
            alone = run_program(path, cwd, name)
            if alone[0] + len(alone[1]) + alone[2] == 0 or alone[4] == "ran no test":
                continue
            passed += alone[0]
            failed += alone[1]
            skipped += alone[2]
            text += alone[3]
            seconds += alone[5]
        total_passed += passed
        total_failed += len(failed)
        total_skipped += skipped
        print("%s.exe: %d passed, %d failed, %d skipped (%.0f s)%s" % (
            program, passed, len(failed), skipped, seconds, ": " + note if note else ""))
        if failed:
            log = os.path.join(build_dir, program + ".wine.log")
            with open(log, "w", encoding="utf-8") as f:
                f.write(text)
            for name in failed:
                print("  FAILED %s" % name)
            print("  (output in %s)" % log)
    # The closing line of a test run.
    print("windows-unit: %d passed, %d failed, %d skipped" % (total_passed, total_failed, total_skipped))
    return 0 if total_failed == 0 and total_passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
