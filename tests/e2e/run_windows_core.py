"""The end-to-end core against the Windows executables under Wine: the Python end-to-end
tests named below, run with the Windows build that scripts/wine-run chose (FERRO_WINE,
FERRO_WIN_BIN_DIR, FERRO_PLATFORM_TAG), builds published with that platform tag and served
by nginx on loopback. Prints each case's result and "N passed, N failed".

    scripts/wine-run -- python3 tests/e2e/run_windows_core.py [TEST_ID...]
"""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.chdir(os.path.dirname(os.path.abspath(__file__)))

# What each case shows, and the test that shows it.
CORE = (
    ("fresh install, current, one changed package, removed file",
     "test_update_install.UpdateInstallTest.test_fresh_install_then_current_then_new_build"),
    ("restart with exit 7", "test_update_install.UpdateInstallTest.test_restart_after_update_relaunches_and_starts_the_client"),
    ("repair of a deleted file", "test_update_install.UpdateInstallTest.test_damage_by_hand_is_repaired"),
    ("bad signature", "test_update_faults.UpdateFaultTest.test_forged_manifest_is_refused"),
    ("digest mismatch", "test_update_faults.UpdateFaultTest.test_package_that_does_not_match_its_digest_is_not_kept"),
    ("body cut short", "test_update_faults.UpdateFaultTest.test_server_closing_in_the_middle_of_a_package"),
    ("body one byte short", "test_update_faults.UpdateFaultTest.test_body_one_byte_short"),
    ("a failed commit rolled back", "test_update_faults.UpdateFaultTest.test_commit_that_fails_is_rolled_back"),
    ("client launch with the exports",
     "test_client_launch.ClientLaunchTest.test_client_reports_the_exports_and_its_exit_code_and_the_marker_lives_while_it_runs"),
    ("client result 7 restarts once", "test_client_launch.ClientLaunchTest.test_client_result_7_starts_the_launcher_again_once"),
    ("hand-off between two launchers",
     "test_client_handoff.ClientHandOffTest.test_second_launcher_hands_its_command_line_to_the_running_client"),
    ("German texts", "test_localization.LocalizationTest.test_german_with_the_registry_language_and_english_without"),
)


def main():
    import e2elib
    if not e2elib.WINDOWS:
        print("run_windows_core: FERRO_WINE and FERRO_WIN_BIN_DIR are not set: start it through scripts/wine-run")
        return 2
    wanted = sys.argv[1:]
    cases = [(what, test) for what, test in CORE if not wanted or test in wanted or what in wanted]
    print("End-to-end core under Wine: %s in %s" % (e2elib.PLATFORM_TAG, e2elib.BIN_DIR))
    passed = failed = 0
    for what, test_id in cases:
        start = time.monotonic()
        suite = unittest.defaultTestLoader.loadTestsFromName(test_id)
        stream = open(os.devnull, "w") if not os.environ.get("FERRO_E2E_VERBOSE") else sys.stderr
        result = unittest.TextTestRunner(stream=stream, verbosity=0).run(suite)
        ok = result.wasSuccessful() and result.testsRun > 0 and not result.skipped
        seconds = time.monotonic() - start
        print("%s: %s (%s, %.0f s)" % ("ok" if ok else "FAILED", what, test_id.split(".")[-1], seconds))
        for _, trace in result.failures + result.errors:
            print("    " + trace.replace("\n", "\n    ")[-3000:])
        for _, reason in result.skipped:
            print("    skipped: " + reason)
        passed += ok
        failed += not ok
        sys.stdout.flush()
    print("windows-e2e: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
