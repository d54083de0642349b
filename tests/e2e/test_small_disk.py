"""An installation on a small file system (a tmpfs the test mounts and unmounts itself): an
update whose package inflates beyond the free space is refused, its unpacked bytes go at
once (the space comes back), and the next update of a sane build installs. What a run that
was cut short left unpacked is cleared before the free space is checked, so it cannot keep
every later update from starting."""
import os
import shutil
import subprocess
import tempfile
import unittest

from e2elib import PLATFORM_TAG, ServedInstallTest, write_file

EXIT_FERRO = "ferro://ExitFerro"
MiB = 1024 * 1024
# Room for the launcher, its libraries and a small build, and beyond the 100 MiB the
# launcher wants free before it checks for an update.
DISK_SIZE = 160 * MiB
# Items of zeros that inflate from next to nothing to more than the disk holds.
BOMB_ITEMS = 3
BOMB_ITEM_SIZE = 64 * MiB


def build(version):
    return {
        "bin/a.dat": ("a of build %d\n" % version).encode(),
        "data/level.txt": ("level of build %d\n" % version).encode(),
        "readme.txt": ("build %d\n" % version).encode(),
    }


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


class SmallDiskTest(ServedInstallTest):
    def setUp(self):
        self.mount_point = tempfile.mkdtemp(prefix="ferro-smalldisk-")
        self.addCleanup(os.rmdir, self.mount_point)
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0700" % DISK_SIZE, "tmpfs",
                                 self.mount_point], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                errors="replace", timeout=30)
        if result.returncode != 0:
            self.skipTest("a tmpfs cannot be mounted here (%s)" % result.stdout.strip())
        self.addCleanup(self.unmount)
        self.install_parent = self.mount_point
        ServedInstallTest.setUp(self)

    def first_build(self):
        return build(1)

    def unmount(self):
        if subprocess.run(["umount", self.mount_point], timeout=30).returncode != 0:
            # Something still has a file open there: the mount goes when it closes it.
            subprocess.run(["umount", "-l", self.mount_point], timeout=30)

    def publish_bomb(self, version):
        """A build whose package "bomb" holds items of zeros far larger than the disk:
        sparse files in the staging folder, so that publishing it costs no disk either."""
        staging = tempfile.mkdtemp(prefix="staging-", dir=self.service.root)
        for rel, data in build(version).items():
            write_file(os.path.join(staging, rel), data)
        os.makedirs(os.path.join(staging, "bomb"))
        for i in range(BOMB_ITEMS):
            with open(os.path.join(staging, "bomb", "zeros%d.bin" % i), "wb") as f:
                f.truncate(BOMB_ITEM_SIZE)
        # One package however far its items unpack: the publisher counts them uncompressed
        # and would split the folder at the default maximum.
        self.service.publish_directory(staging, version, extra=["--max-package-size", str(1 << 40)])
        shutil.rmtree(staging)

    def test_a_package_beyond_the_space_is_refused_and_the_space_comes_back(self):
        self.assertEqual(7, self.run_launcher(EXIT_FERRO))
        self.assertEqual(build(1), self.install.game_files())
        free_before = free_bytes(self.mount_point)
        self.assertGreater(free_before, 100 * MiB)
        self.assertLess(free_before, BOMB_ITEMS * BOMB_ITEM_SIZE)

        self.publish_bomb(2)
        bomb_archive = self.service.packages()["bomb"][0]
        # The old build starts.
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO))
        log = self.install.bootstrap_log()
        self.assertIn("Error: Failed to unzip package (", log)
        # Refused: the old build stays, and neither the unpacked bytes, the refused archive
        # nor its manifest are kept.
        self.assertEqual(build(1), self.install.game_files())
        self.assertFalse(os.path.exists(self.install.package_file("tmp")))
        self.assertFalse(os.path.exists(self.install.package_file(bomb_archive)))
        self.assertFalse(os.path.exists(self.install.package_file("arvo_launcher_" + PLATFORM_TAG)))
        self.assertGreaterEqual(free_bytes(self.mount_point), free_before - MiB)

        # A run cut short in the middle of unpacking left a temporary folder that fills the
        # disk below what an update needs: the next start clears it first.
        self.service.publish(build(3), version=3)
        filler_size = free_bytes(self.mount_point) - 50 * MiB
        os.makedirs(self.install.package_file("tmp/bin"))
        with open(self.install.package_file("tmp/bin/filler.bin"), "wb") as f:
            f.write(b"\0" * filler_size)
        self.assertLess(free_bytes(self.mount_point), 100 * MiB)
        self.assertEqual(7, self.run_launcher("-download", EXIT_FERRO))
        self.assertNotIn("free disk space", self.output)
        self.assertIn("tmp left by an earlier run", self.install.bootstrap_log())
        self.assertEqual(build(3), self.install.game_files())
        self.assertEqual([], self.install.leftovers())
        self.assertGreaterEqual(free_bytes(self.mount_point), free_before - MiB)


if __name__ == "__main__":
    unittest.main()
