"""The launcher with the sample client libraries: what the client receives (arguments,
exported paths and values, the beta password, the offline flag, the console or window UI
library), its exit code, the crash marker while it runs, the launch failures, and the
restart when the client returns 7."""
import os
import unittest

from e2elib import (CLIENT_LIBRARY, CONSOLE_UI_LIBRARY, PLATFORM_TAG, SAMPLE_LIBRARIES, WINDOW_UI_LIBRARY, InstallDir,
                    client_report, client_runs, exit_status, wait_for)


class ClientLaunchTest(unittest.TestCase):
    def make_install(self, libraries=SAMPLE_LIBRARIES, **kwargs):
        install = InstallDir(libraries=libraries, **kwargs)
        self.addCleanup(install.cleanup)
        return install

    def test_client_reports_the_exports_and_its_exit_code_and_the_marker_lives_while_it_runs(self):
        install = self.make_install()
        # The installed manifest's version is the bootstrapper version (64 bits wide).
        with open(install.file("package/arvo_launcher_%s.manifest" % PLATFORM_TAG), "w") as f:
            f.write('"manifest"\n{\n\t"version"\t"4294967301"\n}\n')
        proc = install.start(["-textclient", "a b", "-beta", "s3cret", "-client-exit", "5",
                              "-client-wait-handoff", "60"])
        try:
            self.assertTrue(wait_for(lambda: "FerroPID" in install.read_hklm() or proc.poll() is not None),
                            "the client did not start")
            self.assertIsNone(proc.poll(), "the client ended early")
            self.assertTrue(os.path.exists(install.file(".crash")), "no crash marker while running")
            # Release it with a hand-off from a second launcher beside it.
            second = self.make_install(libraries=(), share_with=install)
            self.assertEqual(0, second.run([]).returncode)
        finally:
            out, err = proc.communicate(timeout=60)
        self.assertEqual(5, proc.returncode, out + err)
        self.assertFalse(os.path.exists(install.file(".crash")), "crash marker left after a clean end")

        report = client_report(out)
        self.assertEqual("console", report["client ui"])
        self.assertEqual("offline=0 online=1", report["client startup"])
        self.assertEqual([install.exe, "-textclient", "a b", "-beta", "s3cret", "-client-exit", "5",
                          "-client-wait-handoff", "60"], report["argv"])
        self.assertEqual("s3cret", report["beta password"])
        self.assertEqual(install.exe, report["exe path"])
        self.assertEqual("%s (%d)" % (install.exe, len(install.exe) + 1), report["exe path ansi"])
        for name in ("install dir", "base user dir", "base user content dir"):
            self.assertEqual(install.shown_path, report[name], name)
            self.assertEqual("%s (%d)" % (install.shown_path, len(install.shown_path) + 1), report[name + " ansi"])
        self.assertEqual("4294967301", report["bootstrapper version"])
        self.assertEqual("1", report["universe"])
        self.assertEqual("0", report["checking for updates"])
        self.assertEqual("0", report["update available"])
        self.assertEqual("0", report["bytes to download"])
        self.assertEqual("0", report["bytes downloaded"])
        self.assertEqual("", report["current beta"])
        self.assertEqual("1", report["can set beta"])
        self.assertNotIn("missing export", out)
        self.assertEqual("1 (0)", report["validate interface"])
        self.assertEqual("0", report["dll entry thread id"])
        self.assertEqual([second.exe + " -foreground"], report["handoffs"])
        self.assertEqual("5", report["client exit"])
        # Shut-down comes after the entry point returned.
        self.assertLess(out.index("client exit: 5"), out.index("client shutdown"))

    def test_client_sets_a_beta_and_checks_for_updates_through_the_exports(self):
        install = self.make_install()
        # Both betas' installations are intact (empty installed file lists).
        for beta in ("cmd_beta", "mybeta_1"):
            open(install.file("package/arvo_launcher_%s_linux.installed" % beta), "w").close()
        result = install.run(["-textclient", "-clientbeta", "cmd_beta", "-client-set-beta", "my-beta_1",
                              "-client-check-updates"])
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        report = client_report(result.stdout)
        self.assertEqual("cmd_beta", report["current beta"])
        # The name is filtered and stored in the beta file for the next start.
        self.assertEqual("mybeta_1", report["beta after set"])
        with open(install.file("package/beta")) as f:
            self.assertEqual("mybeta_1", f.read())
        self.assertEqual("1", report["update check started"])
        self.assertEqual("1", report["update check finished"])
        self.assertEqual("0", report["update available after check"])

        # The next start takes the beta from the file; clearing it removes the file.
        result = install.run(["-textclient", "-client-clear-beta"])
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        report = client_report(result.stdout)
        self.assertEqual("mybeta_1", report["current beta"])
        self.assertEqual("", report["beta after set"])
        self.assertFalse(os.path.exists(install.file("package/beta")))

    def test_window_library_is_the_default_and_the_beta_password_needs_a_value(self):
        install = self.make_install()
        result = install.run(["-beta", "-other", "-client-exit", "3"])
        self.assertEqual(3, result.returncode, result.stdout + result.stderr)
        report = client_report(result.stdout)
        self.assertEqual("window", report["client ui"])
        self.assertEqual("", report["beta password"])

    def test_missing_libraries_end_with_minus_1_and_name_the_missing_one(self):
        install = self.make_install(libraries=(CLIENT_LIBRARY, WINDOW_UI_LIBRARY))
        result = install.run(["-textclient"])
        self.assertEqual(exit_status(-1), result.returncode, result.stdout + result.stderr)
        self.assertIn("!!! Fatal Error: Failed to load %s" % CONSOLE_UI_LIBRARY, result.stdout)
        self.assertNotIn("client ui:", result.stdout)

        install = self.make_install(libraries=(WINDOW_UI_LIBRARY, CONSOLE_UI_LIBRARY))
        result = install.run(["-textclient"])
        self.assertEqual(exit_status(-1), result.returncode)
        self.assertIn("!!! Fatal Error: Failed to load %s" % CLIENT_LIBRARY, result.stdout)

    def test_status_record_error_is_shown_with_its_description(self):
        install = self.make_install()
        result = install.run(["-textclient"], FERRO_SAMPLE_CLIENT_FAIL="status:3:x")
        self.assertEqual(exit_status(-1), result.returncode, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"(?m)^\[.{4}\] !!! Fatal Error: Ferro failed to load: x$")
        self.assertNotIn("client ui:", result.stdout)
        self.assertFalse(os.path.exists(install.file(".crash")))

    def test_client_result_7_starts_the_launcher_again_once(self):
        install = self.make_install()
        # Started by a relative path: argument 0 of what follows is still the full path.
        # The run waits for the relaunched launcher too, since it keeps the output open.
        args = ["-textclient", "a b", "plain", "-client-exit", "7"]
        result = install.run(args, relative=True)
        self.assertEqual(7, result.returncode, result.stdout + result.stderr)
        runs = client_runs(result.stdout)
        self.assertEqual(2, len(runs), result.stdout)
        self.assertEqual(["1", "2"], [run["client run"] for run in runs])
        for run in runs:
            self.assertEqual([install.exe] + args, run["argv"])
        self.assertEqual(["7", "0"], [run["client exit"] for run in runs])
        self.assertTrue(wait_for(lambda: not os.path.exists(install.file(".crash"))))


if __name__ == "__main__":
    unittest.main()
