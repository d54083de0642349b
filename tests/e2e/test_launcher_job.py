"""The launcher's whole job with the sample client: the demo from an empty install directory,
an update the running client finds through the exports, and a beta chosen by the client
that the next start installs."""
import os
import re
import subprocess
import unittest

from e2elib import BIN_DIR, PLATFORM_TAG, SOURCE_DIR, ServedInstallTest, client_report, exit_status, read_file


def build(version, extra=""):
    return {
        "bin/engine.dat": ("engine %d\n" % version) * 1000,
        "data/notes.txt": "notes of build %d%s\n" % (version, extra),
        "readme.txt": "build %d\n" % version,
    }


class DemoTest(unittest.TestCase):
    def test_demo_installs_restarts_once_and_starts_the_client(self):
        env = dict(os.environ, FERRO_DEMO_BIN_DIR=BIN_DIR)
        result = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "demo")], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, errors="replace",
                                timeout=300)
        out = result.stdout
        self.assertEqual(0, result.returncode, out)
        run1, run2 = out.split("== Run 1:")[1].split("== Run 2:")
        run2 = run2.split("== The bootstrap log")[0]

        # Run 1: the update, one restart (the first launcher ends with 7), then the client.
        self.assertIn("Update complete, launching...", run1)
        self.assertEqual(1, run1.count("(arvolauncher exited with 7)"))
        self.assertEqual(1, run1.count("client exit: 0"))
        self.assertIn("bootstrapper version: 1", run1)
        # Run 2: nothing to download, the client at once, exit 0.
        self.assertNotIn("Downloading update", run2)
        self.assertIn("client exit: 0", run2)
        self.assertIn("(arvolauncher exited with 0)", run2)
        # Three launcher runs in all: the first, its restart, the second.
        log = out.split("== The bootstrap log")[1].split("== Requests")[0]
        self.assertEqual(3, log.count("] Startup"))
        # Each archive was fetched once.
        requests = out.split("== Requests the content service answered")[1]
        self.assertEqual(2, len(re.findall(r"GET /client/\S+\.zip\.[0-9a-f]{40} 200", requests)))


class ClientServiceTest(ServedInstallTest):
    def first_build(self):
        return build(1)

    def run_launcher(self, *args):
        result = self.install.run(["-textclient"] + list(args), timeout=120)
        return result, result.stdout

    def install_build_one(self):
        result, out = self.run_launcher("ferro://ExitFerro")
        self.assertEqual(7, exit_status(result.returncode), out + result.stderr)
        self.assertEqual("build 1\n", read_file(self.install.file("readme.txt"), "r"))

    def test_client_finds_a_newer_build_and_the_next_start_installs_it(self):
        self.install_build_one()
        self.service.publish(build(2), version=2)

        # Public universe, no -download: no check at start-up; the client asks for one.
        result, out = self.run_launcher("-client-check-updates")
        self.assertEqual(0, exit_status(result.returncode), out + result.stderr)
        report = client_report(out)
        self.assertEqual("1", report["bootstrapper version"])
        self.assertEqual("1", report["universe"])
        self.assertEqual(self.install.path, report["install dir"])
        self.assertEqual("0", report["update available"])
        self.assertEqual("1", report["update check finished"])
        self.assertEqual("1", report["update available after check"])
        # Found and downloaded in the background, left pending, not installed.
        self.assertEqual("build 1\n", read_file(self.install.file("readme.txt"), "r"))
        self.assertTrue(os.path.exists(self.install.package_file("arvo_launcher_" + PLATFORM_TAG)))

        # The next start installs the pending update and restarts.
        result, out = self.run_launcher("ferro://ExitFerro")
        self.assertEqual(7, exit_status(result.returncode), out)
        self.assertIn("Found pending update", self.install.log_messages())
        self.assertEqual("build 2\n", read_file(self.install.file("readme.txt"), "r"))
        result, out = self.run_launcher()
        self.assertEqual("2", client_report(out)["bootstrapper version"])

    def test_beta_chosen_by_the_client_is_installed_by_the_next_start(self):
        self.install_build_one()
        self.service.publish(build(3, extra=" (beta)"), version=3, beta="xyz")

        result, out = self.run_launcher("-client-set-beta", "xyz")
        self.assertEqual(0, exit_status(result.returncode), out + result.stderr)
        self.assertEqual("xyz", client_report(out)["beta after set"])
        self.assertEqual("xyz", read_file(self.install.package_file("beta"), "r"))

        # The beta's build has no installed file list yet: the next start fetches it.
        result, out = self.run_launcher("ferro://ExitFerro")
        self.assertEqual(7, exit_status(result.returncode), out + result.stderr)
        self.assertIn("Opted in to client beta 'xyz' via beta file", self.install.log_messages())
        self.assertEqual("notes of build 3 (beta)\n", read_file(self.install.file("data/notes.txt"), "r"))
        self.assertTrue(os.path.exists(self.install.package_file("arvo_launcher_xyz_%s.installed" % PLATFORM_TAG)))
        self.assertIn("/client/arvo_launcher_xyz_" + PLATFORM_TAG, self.service.requests())

        result, out = self.run_launcher()
        report = client_report(out)
        self.assertEqual("xyz", report["current beta"])
        self.assertEqual("3", report["bootstrapper version"])


if __name__ == "__main__":
    unittest.main()
