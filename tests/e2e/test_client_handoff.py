"""The hand-off between a launcher and a client that runs already: the second launcher
writes its command line into the registry, wakes the client and ends with 0 without
creating anything of its own; without a running client (or with one that died) it runs
normally; with the client's event but no registry key it still ends with 0 and wakes
nobody."""
import os
import shutil
import signal
import unittest

from e2elib import (BIN_DIR, HANDOFF_EVENT, LAUNCHER, LAUNCHER_MODULES, SAMPLE_LIBRARIES, InstallDir, client_report,
                    wait_for)

HIVE_WITH_KEY = '"HKEY_LOCAL_MACHINE" { "Software" { "Quill" { "Ferro" { "FerroPID" "1" } } } }\n'
HIVE_WITHOUT_KEY = '"HKEY_LOCAL_MACHINE" { "Software" { } }\n'


class ClientHandOffTest(unittest.TestCase):
    def make_install(self, **kwargs):
        install = InstallDir(**kwargs)
        self.addCleanup(install.cleanup)
        return install

    def start_client(self, install, handoffs):
        """The first launcher with the sample client, waiting for hand-offs (at most 60 s)."""
        proc = install.start(["-textclient", "-client-wait-handoff", "60", "-client-handoffs", str(handoffs)])
        self.addCleanup(self.stop, proc)
        self.assertTrue(wait_for(lambda: "FerroPID" in install.read_hklm() or proc.poll() is not None),
                        "the client did not publish its process id")
        self.assertIsNone(proc.poll(), proc.poll() is not None and proc.communicate())
        return proc

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=60)

    def make_second_launcher(self, first):
        """A launcher in an install of its own, with its language files (the window, which is
        built before the hand-off, reads them), beside the first one's running client."""
        second = self.make_install(dir_name="second", share_with=first, intact=False)
        shutil.copytree(os.path.join(BIN_DIR, "public"), second.file("public"))
        return second

    def assert_handed_off_quietly(self, launcher, result, stderr=""):
        """A launcher that handed off ends with 0 and leaves nothing of its own."""
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertEqual("", result.stdout)
        self.assertEqual(stderr, result.stderr)
        self.assertEqual(sorted([LAUNCHER, "public"] + list(LAUNCHER_MODULES)), sorted(os.listdir(launcher.path)),
                         "a UI, log or updater left traces")

    def test_second_launcher_hands_its_command_line_to_the_running_client(self):
        first = self.make_install(libraries=SAMPLE_LIBRARIES)
        proc = self.start_client(first, handoffs=3)
        second = self.make_second_launcher(first)

        result = second.run([])
        self.assert_handed_off_quietly(second, result)
        result = second.run(["C:\\My Games", "plain"])
        self.assert_handed_off_quietly(second, result)
        long_argument = "x" * 10000
        result = second.run([long_argument + " " + long_argument])
        self.assert_handed_off_quietly(second, result)

        out, err = proc.communicate(timeout=60)
        self.assertEqual(0, proc.returncode, out + err)
        self.assertEqual([second.exe + " -foreground",
                          second.exe + ' "C:\\My Games" plain ',
                          second.exe + ' "' + long_argument + " " + long_argument + '" '],
                         client_report(out)["handoffs"])
        # Each command line was taken once; the client withdrew its process id on the way out.
        self.assertNotIn("TempAppCmdLine", first.read_hklm())
        self.assertNotIn("FerroPID", first.read_hklm())

    def test_without_a_running_client_nothing_is_written_and_the_launcher_runs(self):
        install = self.make_install(libraries=SAMPLE_LIBRARIES)
        result = install.run(["-textclient", "-client-exit", "4"])
        self.assertEqual(4, result.returncode, result.stdout + result.stderr)
        report = client_report(result.stdout)
        self.assertEqual("1", report["handoff ready"])
        self.assertEqual([], report["handoffs"])
        self.assertNotIn("TempAppCmdLine", install.read_hklm())

    def test_a_client_that_died_does_not_swallow_later_launches(self):
        first = self.make_install(libraries=SAMPLE_LIBRARIES)
        proc = self.start_client(first, handoffs=1)
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=60)
        # Its semaphore and its process id are still there; its locks are not.
        self.assertTrue(os.path.exists("/dev/shm/sem.%s.%s" % (first.namespace, HANDOFF_EVENT)))
        self.assertIn("FerroPID", first.read_hklm())

        result = first.run(["-textclient", "-client-exit", "6"])
        self.assertEqual(6, result.returncode, result.stdout + result.stderr)
        self.assertEqual("1", client_report(result.stdout)["handoff ready"])
        self.assertNotIn("TempAppCmdLine", first.read_hklm())

    def test_event_without_registry_key_ends_with_0_and_wakes_nobody(self):
        first = self.make_install(libraries=SAMPLE_LIBRARIES)
        proc = self.start_client(first, handoffs=1)
        second = self.make_second_launcher(first)

        # A hive without the key, then one that cannot be read as a hive at all (the
        # registry reports what it could not read, and goes on without the key).
        damaged_report = ("Assertion Failed: Error while parsing text KeyValues for resource %s\n"
                          % first.hklm)
        for hive, stderr in ((HIVE_WITHOUT_KEY, ""),
                             ('"HKEY_LOCAL_MACHINE" { "Soft\x01 {{ "Quill" \x00\xff garbage', damaged_report)):
            first.write_hklm(hive)
            result = second.run(["-lost"])
            self.assert_handed_off_quietly(second, result, stderr)
            self.assertNotIn("TempAppCmdLine", first.read_hklm())
            self.assertIsNone(proc.poll(), "the client was woken")

        # With the key back, the next hand-off is the first one the client sees.
        first.write_hklm(HIVE_WITH_KEY)
        result = second.run(["-found"])
        self.assert_handed_off_quietly(second, result)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(0, proc.returncode, out + err)
        self.assertEqual([second.exe + " -found "], client_report(out)["handoffs"])
        self.assertNotIn("handoff without command line", out)


if __name__ == "__main__":
    unittest.main()
