"""Two launchers on one install directory at the same moment (a player's double click,
twice): one updates, the other waits for it ("Waiting for another launcher to finish...")
and then finds the installation current. Every try ends with exactly the new build, compared
byte for byte. Builds one and two have files of the same sizes, so a mix of the two would
pass a check of sizes. A launcher killed at a random moment of the wait or the update lets
the lock go with its process: the other one finishes, and the installation is one build."""
import os
import random
import shutil
import signal
import time
import unittest

from e2elib import ContentService, UpdaterInstall, exit_status, flock_holder, tries, wait_for

EXIT_FERRO = "ferro://ExitFerro"
WAITING = "Waiting for another launcher to finish..."
WAITING_LOG = "Another launcher is updating this installation ("
# Full counts with FERRO_E2E_FULL=1.
UPDATE_TRIES = tries(4, 20)
FRESH_TRIES = tries(2, 10)
KILL_TRIES = tries(4, 16)


def build(version):
    """Files of the same size in every build: only their content tells the builds apart."""
    rng = random.Random(version)
    files = {"big/blob.bin": rng.randbytes(8 * 1024 * 1024), "readme.txt": "build %d\n" % version}
    for i in range(80):
        files["pkg0/f%03d.txt" % i] = "pkg0 file %03d of build %d\n" % (i, version)
    for i in range(40):
        files["pkg2/f2%02d.txt" % i] = "pkg2 file %02d of build %d\n" % (i, version)
    return {rel: data.encode() if isinstance(data, str) else data for rel, data in files.items()}


class TwoLaunchersTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = ContentService()
        cls.one, cls.two = build(1), build(2)
        cls.service.publish(cls.one, version=1)
        cls.service.start()
        # An installation of build one, copied for every try.
        cls.template = UpdaterInstall(cls.service.host)
        result = cls.template.run(["-textclient", EXIT_FERRO], timeout=120)
        assert exit_status(result.returncode) == 7, result.stdout + result.stderr
        assert cls.template.game_files() == cls.one
        os.remove(cls.template.file("logs/bootstrap_log.txt"))
        cls.service.publish(cls.two, version=2)

    @classmethod
    def tearDownClass(cls):
        cls.template.cleanup()
        cls.service.cleanup()

    def copy_of_template(self):
        install = UpdaterInstall(self.service.host)
        self.addCleanup(install.cleanup)
        shutil.rmtree(install.path)
        shutil.copytree(self.template.path, install.path, symlinks=True)
        return install

    def start_two(self, install, args):
        procs = [install.start(["-textclient"] + args) for _ in range(2)]
        for proc in procs:
            self.addCleanup(lambda p=proc: p.poll() is None and p.kill())
        return procs

    def assert_exactly(self, install, files):
        self.assertEqual(files, install.game_files())
        self.assertEqual([], install.leftovers())
        # The list describes the build, with each file's digest.
        listed = {line.split(",")[0]: line.split(",") for line in install.installed_list()}
        self.assertEqual(sorted(files), sorted(listed))
        for fields in listed.values():
            self.assertEqual(4, len(fields), fields)
            self.assertEqual(64, len(fields[2]), fields)

    def run_pair(self, install, args):
        procs = self.start_two(install, args)
        outputs = [p.communicate(timeout=180)[0] for p in procs]
        codes = [exit_status(p.returncode) for p in procs]
        return outputs, codes

    def check_pair(self, install, outputs, codes):
        self.assertEqual([7, 7], codes, outputs)
        self.assert_exactly(install, self.two)
        # One of them waited, and said so on its console and in the log.
        self.assertEqual(1, sum(WAITING in out for out in outputs), outputs)
        log = install.bootstrap_log()
        self.assertEqual(1, log.count(WAITING_LOG), log)
        self.assertIn("The other launcher has finished (waited ", log)
        self.assertNotIn("Failed to remove stale temporary unzip folder", log)
        self.assertNotIn("BCommitUpdatedFiles: failed", log)

    def test_update_started_twice_at_once(self):
        for attempt in range(UPDATE_TRIES):
            with self.subTest(attempt=attempt):
                install = self.copy_of_template()
                outputs, codes = self.run_pair(install, ["-download", EXIT_FERRO])
                self.check_pair(install, outputs, codes)
                # Only one of them downloaded and installed.
                self.assertEqual(1, install.bootstrap_log().count("Update complete, launching..."))

    def test_fresh_install_started_twice_at_once(self):
        for attempt in range(FRESH_TRIES):
            with self.subTest(attempt=attempt):
                install = UpdaterInstall(self.service.host)
                self.addCleanup(install.cleanup)
                outputs, codes = self.run_pair(install, [EXIT_FERRO])
                self.check_pair(install, outputs, codes)
                self.assertEqual(1, install.bootstrap_log().count("Update complete, launching..."))
                # The second one found the first one's installation intact.
                self.assertEqual(1, sum("Update complete, launching..." in out for out in outputs))

    def test_either_launcher_killed_at_a_random_moment(self):
        rng = random.Random(15)
        lock_file = "package/arvo_launcher.lock"
        holder_kills = waiter_kills = 0
        for attempt in range(KILL_TRIES):
            with self.subTest(attempt=attempt):
                install = self.copy_of_template()
                procs = self.start_two(install, ["-download", EXIT_FERRO])
                pids = [p.pid for p in procs]
                # The one that updates holds the lock; the other waits for it.
                self.assertTrue(wait_for(lambda: flock_holder(install.file(lock_file)) in pids, 30, 0.002))
                holder = procs[pids.index(flock_holder(install.file(lock_file)))]
                waiter = procs[1] if holder is procs[0] else procs[0]
                self.assertTrue(wait_for(lambda: WAITING_LOG in install.bootstrap_log(), 30, 0.002))
                kill_holder = attempt % 2 == 0
                victim, survivor = (holder, waiter) if kill_holder else (waiter, holder)
                time.sleep(rng.uniform(0, 0.5))
                # Only a kill of a launcher at work counts: of the holder while it holds the
                # lock, of the waiter while it waits.
                in_time = victim.poll() is None and survivor.poll() is None and (
                    flock_holder(install.file(lock_file)) == holder.pid)
                victim.send_signal(signal.SIGKILL)
                victim.communicate(timeout=30)
                out, _ = survivor.communicate(timeout=180)
                self.assertEqual(7, exit_status(survivor.returncode), out)
                if kill_holder and in_time:
                    # The lock went with the killed holder: the waiter took it and finished.
                    self.assertIn(WAITING, out)
                    self.assertIn("The other launcher has finished (waited ", install.bootstrap_log())
                self.assert_exactly(install, self.two)
                holder_kills += kill_holder and in_time
                waiter_kills += (not kill_holder) and in_time
                result = install.run(["-textclient", EXIT_FERRO], timeout=120)
                self.assertEqual(7, exit_status(result.returncode), result.stdout)
                # Nothing holds the lock any more: the next launcher goes straight on.
                self.assertNotIn(WAITING, result.stdout)
                self.assert_exactly(install, self.two)
        print("\n[ kills    ] %d tries: %d kills of the updating launcher, %d of the waiting one" % (
            KILL_TRIES, holder_kills, waiter_kills))
        # Most kills land while both are at work (a loaded machine may be slower).
        self.assertGreaterEqual(holder_kills + waiter_kills, KILL_TRIES // 2)

if __name__ == "__main__":
    unittest.main()
