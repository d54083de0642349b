"""A launcher killed (SIGKILL) at many moments inside the commit of a large update: the
directory it leaves is a mix of the two builds with backups between their two renames, and
the next start must end with exactly the new build, byte for byte, and no "*.old" backup,
temporary folder or journal anywhere."""
import os
import random
import shutil
import signal
import time
import unittest

from e2elib import ContentService, PLATFORM_TAG, UpdaterInstall, exit_status, read_file, tries

EXIT_FERRO = "ferro://ExitFerro"
FILES = 800
# Full counts with FERRO_E2E_FULL=1.
KILLS_INSIDE = tries(6, 30)
MAX_TRIES = 2 * KILLS_INSIDE
# The commit's status comes after the unpacking's (the installation as a whole shows the
# same text before).
COMMIT_STARTS = ("Extracting package...", "Installing update...")


def build(version):
    files = {}
    for i in range(FILES):
        files["d%02d/f%04d.txt" % (i % 12, i)] = ("file %d of build %d\n" % (i, version)) * (1 + i % 5)
    if version == 2:
        files["new/only2.txt"] = "only in build two\n"
    else:
        files["old/only1.txt"] = "only in build one\n"
    return {rel: data.encode() for rel, data in files.items()}


class CommitKillTest(unittest.TestCase):
    def setUp(self):
        self.service = ContentService()
        self.addCleanup(self.service.cleanup)
        self.one, self.two = build(1), build(2)
        self.service.publish(self.one, version=1)
        self.service.start()
        # Build one installed, build two downloaded and pending: what a start installs.
        self.template = UpdaterInstall(self.service.host)
        self.addCleanup(self.template.cleanup)
        result = self.template.run(["-textclient", EXIT_FERRO], timeout=180)
        self.assertEqual(7, exit_status(result.returncode), result.stdout)
        self.assertEqual(self.one, self.template.game_files())
        self.service.publish(self.two, version=2)
        package_dir = self.template.file("package")
        for name in os.listdir(self.service.client_dir):
            shutil.copy2(os.path.join(self.service.client_dir, name), package_dir)
        os.remove(self.template.file("logs/bootstrap_log.txt"))

    def fresh_copy(self):
        install = UpdaterInstall(self.service.host)
        shutil.rmtree(install.path)
        shutil.copytree(self.template.path, install.path, symlinks=True)
        return install

    def wait_for_log(self, install, proc, texts, timeout=60):
        """Polls the bootstrap log closely until the texts have appeared in this order; the
        time the last one was seen, or None."""
        end = time.monotonic() + timeout
        path = install.file("logs/bootstrap_log.txt")
        while time.monotonic() < end and proc.poll() is None:
            try:
                log, pos = read_file(path, "r"), 0
                for text in texts:
                    pos = log.find(text, pos)
                    if pos < 0:
                        break
                if pos >= 0:
                    return time.monotonic()
            except FileNotFoundError:
                pass
            time.sleep(0.002)
        return None

    def test_kills_inside_the_commit(self):
        # How long the commit takes here: from its status to the next one.
        install = self.fresh_copy()
        self.addCleanup(install.cleanup)
        proc = install.start(["-textclient", EXIT_FERRO])
        start = self.wait_for_log(install, proc, COMMIT_STARTS)
        end = self.wait_for_log(install, proc, COMMIT_STARTS + ("Cleaning up...",))
        proc.communicate(timeout=120)
        self.assertIsNotNone(start)
        self.assertIsNotNone(end)
        window = max(end - start, 0.01)
        self.assertEqual(self.two, install.game_files())

        rng = random.Random(1515)
        inside = before = after = tries = 0
        with_backup = 0
        while inside < KILLS_INSIDE and tries < MAX_TRIES:
            tries += 1
            install = self.fresh_copy()
            self.addCleanup(install.cleanup)
            proc = install.start(["-textclient", EXIT_FERRO])
            self.addCleanup(lambda p=proc: p.poll() is None and p.kill())
            seen = self.wait_for_log(install, proc, COMMIT_STARTS)
            if seen is None:
                proc.communicate(timeout=60)
                continue
            time.sleep(rng.uniform(0, window))
            proc.send_signal(signal.SIGKILL)
            proc.communicate(timeout=30)

            files, leftovers = install.game_files(), install.leftovers()
            clean = not [name for name in leftovers if name.endswith(".old")]
            if files == self.one and clean:
                before += 1
            elif files == self.two and clean:
                after += 1
                window *= 0.8
            else:
                inside += 1
                with_backup += not clean

            # The next start: exactly build two, nothing left behind.
            result = install.run(["-textclient", EXIT_FERRO], timeout=180)
            self.assertEqual(7, exit_status(result.returncode), result.stdout)
            self.assertEqual(self.two, install.game_files(), "try %d" % tries)
            self.assertEqual([], install.leftovers(), "try %d" % tries)
            self.assertFalse(os.path.exists(install.package_file("arvo_launcher_" + PLATFORM_TAG)))
            install.cleanup()
        print("\n[ kills    ] %d tries (commit window %.0f ms): %d inside the commit (%d with a backup "
              "between its renames), %d before it, %d after it" % (
                  tries, window * 1000, inside, with_backup, before, after))
        self.assertEqual(KILLS_INSIDE, inside)


if __name__ == "__main__":
    unittest.main()
