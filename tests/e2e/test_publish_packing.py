"""ferro-publish keeps packages within a maximum size and a new build's changes in few of
them: folders split by the digest of each file's path, a file too large for any package on
its own, `diff` against what the launcher really downloads, and a build of 1 GiB in 2,000
files at the default maximum."""
import hashlib
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from e2elib import (ContentService, DEV_ED25519_PRIVATE_KEY, PLATFORM_TAG, UpdaterInstall, exit_status,
                    write_file)
from test_ferro_publish import DEV_PRIVATE_DER, PUBLISH, parse_kv, publish

SMALL_MAX = 262144
DEFAULT_MAX = 64 * 1024 * 1024
GIB = 1 << 30
EXIT_FERRO = "ferro://ExitFerro"


def path_bits(path):
    """The bits of the SHA-256 of the path (lower case) that choose its part of a folder."""
    digest = hashlib.sha256(path.lower().encode()).digest()
    return "".join(format(byte, "08b") for byte in digest)


def manifest_packages(manifest):
    """name -> (file, size) of the packages of a manifest file, in its order."""
    with open(manifest) as f:
        body = parse_kv(f.read())[0][1]
    return {name: (dict(fields)["file"], int(dict(fields)["size"])) for name, fields in body
            if isinstance(fields, list)}


def diff_lines(old, new, *extra):
    result = publish("diff", *extra, old, new)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return result.stdout.splitlines()


class PackingTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ferro-packing-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.staging = os.path.join(self.root, "staging")
        self.content = os.path.join(self.root, "content")
        self.manifest = os.path.join(self.content, "client", "arvo_launcher_" + PLATFORM_TAG)
        self.kept = 0

    def stage(self, rel, data):
        write_file(os.path.join(self.staging, rel), data)

    def build(self, *extra, max_size=SMALL_MAX):
        """Publishes the staging tree; returns (a copy of the previous manifest or None,
        ferro-publish's result)."""
        previous = None
        if os.path.exists(self.manifest):
            self.kept += 1
            previous = os.path.join(self.root, "manifest.%d" % self.kept)
            shutil.copy(self.manifest, previous)
        result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", self.staging, "--output",
                         self.content, "--max-package-size", max_size, *extra)
        self.assertEqual(0, result.returncode, result.stderr)
        return previous, result

    def archive_items(self, file_name):
        with zipfile.ZipFile(os.path.join(self.content, "client", file_name)) as z:
            return {info.filename: z.read(info) for info in z.infolist()}

    def assert_diff_is_the_manifests_difference(self, old, new_manifest=None):
        """diff's lines are the new manifest's packages whose archive (file and size) the old
        one lacks, and the totals; returns the names to download."""
        new_manifest = new_manifest or self.manifest
        before, after = manifest_packages(old), manifest_packages(new_manifest)
        old_archives = set(before.values())
        expected = [(name, fs) for name, fs in after.items() if fs not in old_archives]
        lines = diff_lines(old, new_manifest)
        self.assertEqual(["download %s %s %d" % (name, f, size) for name, (f, size) in expected], lines[:-1])
        dropped = sum(1 for fs in before.values() if fs not in set(after.values()))
        self.assertEqual("total: %d of %d packages, %d of %d bytes to download; %d kept, %d no longer used" % (
            len(expected), len(after), sum(s for _, (_, s) in expected), sum(s for _, s in after.values()),
            len(after) - len(expected), dropped), lines[-1])
        return [name for name, _ in expected]

    def test_folders_split_by_path_digest_and_changes_stay_small(self):
        rng = random.Random(19)
        staged = {}
        for folder, count in (("Art", 110), ("maps", 50), ("tiny", 3)):
            for i in range(count):
                rel = "%s/%s/f%03d.bin" % (folder, "ab"[i % 2], i)
                staged[rel] = rng.randbytes(rng.randint(1000, 40000))  # incompressible: the worst case
        staged["readme.txt"] = b"top level\n"
        for rel, data in staged.items():
            self.stage(rel, data)
        self.build()

        packages = manifest_packages(self.manifest)
        seen = {}
        for name, (file_name, size) in packages.items():
            self.assertLessEqual(size, SMALL_MAX, name)
            self.assertEqual(size, os.path.getsize(os.path.join(self.content, "client", file_name)))
            match = re.fullmatch(r"(art|maps)-([01]+)|tiny|root", name)
            self.assertTrue(match, name)
            for item, data in self.archive_items(file_name).items():
                self.assertNotIn(item, seen)
                seen[item] = name
                self.assertEqual(staged[item], data)
                # A part holds exactly the files whose digest begins with its bits.
                if match.group(2):
                    self.assertTrue(path_bits(item).startswith(match.group(2)), (item, name))
        self.assertEqual(set(staged), set(seen))
        self.assertGreater(sum(1 for n in packages if n.startswith("art-")), 6)

        # New content of the same size: one package.
        rel = "Art/b/f041.bin"
        self.stage(rel, rng.randbytes(len(staged[rel])))
        old, _ = self.build()
        self.assertEqual([seen[rel]], self.assert_diff_is_the_manifests_difference(old))

        # Files added one by one: the part each falls into, or its two halves when it splits.
        splits = 0
        for i in range(16):
            self.stage("Art/c/new%02d.bin" % i, rng.randbytes(rng.randint(20000, 40000)))
            count_before = len(manifest_packages(self.manifest))
            old, _ = self.build()
            downloads = self.assert_diff_is_the_manifests_difference(old)
            self.assertIn(len(downloads), (1, 2))
            splits += len(manifest_packages(self.manifest)) > count_before
        self.assertGreater(splits, 0)

        # A file removed: its part alone changes, or merges with its neighbours into one.
        for rel in ("Art/c/new03.bin", "Art/a/f000.bin", "maps/b/f001.bin"):
            os.remove(os.path.join(self.staging, rel))
            old, _ = self.build()
            self.assertLessEqual(len(self.assert_diff_is_the_manifests_difference(old)), 1)

    def test_a_file_too_large_for_any_package_gets_its_own(self):
        big = os.urandom(SMALL_MAX + 1)
        self.stage("Data/Movies/Intro.bik", big)
        self.stage("Data/small.txt", "small\n")
        _, result = self.build()
        name = "data-f" + hashlib.sha256(b"data/movies/intro.bik").hexdigest()[:16]
        self.assertIn("warning: Data/Movies/Intro.bik (%d bytes) does not fit in a package of the maximum size "
                      "(%d bytes); it gets the package %s of its own" % (len(big), SMALL_MAX, name), result.stderr)
        packages = manifest_packages(self.manifest)
        self.assertEqual(["data", name], sorted(packages))
        self.assertEqual({"Data/Movies/Intro.bik": big}, self.archive_items(packages[name][0]))
        self.assertGreater(packages[name][1], SMALL_MAX)

        # What a launcher could not install as one file, and package names wanted twice.
        self.stage("Data/Small.txt", "other\n")
        result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", self.staging, "--output",
                         os.path.join(self.root, "refused"), "--max-package-size", SMALL_MAX)
        self.assertEqual(1, result.returncode)
        self.assertRegex(result.stderr, r'"Data/[Ss]mall.txt" and "Data/[Ss]mall.txt" differ only in letter case')
        os.remove(os.path.join(self.staging, "Data", "Small.txt"))
        self.stage("data-f" + hashlib.sha256(b"data/movies/intro.bik").hexdigest()[:16] + "/x.txt", "x\n")
        result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", self.staging, "--output",
                         os.path.join(self.root, "refused"), "--max-package-size", SMALL_MAX)
        self.assertEqual(1, result.returncode)
        self.assertIn('the package name "%s" is wanted by two folders, "data" and "%s"' % (name, name),
                      result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.root, "refused", "client", "arvo_launcher_" + PLATFORM_TAG)))

        for bad in (["--max-package-size", "65535"], ["--max-package-size", "9007199254740993"],
                    ["--max-package-size", "64M"], ["--expires", "0"], ["--expires", "36501"],
                    ["--timestamp", "-5"], ["--timestamp", "9007199254740993"]):
            result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", self.staging,
                             "--output", os.path.join(self.root, "refused"), *bad)
            self.assertEqual(2, result.returncode, bad)
            self.assertIn(bad[0] + " takes ", result.stderr)

    def test_diff_takes_content_folders_or_manifests_and_says_what_is_missing(self):
        self.stage("bin/a.dat", os.urandom(5000))
        self.stage("data/b.txt", "b\n")
        self.build("--beta", "xyz")
        old_content = os.path.join(self.root, "old-content")
        shutil.copytree(self.content, old_content)
        self.stage("data/b.txt", "b, revised\n")
        self.build("--beta", "xyz")
        beta_manifest = os.path.join(self.content, "client", "arvo_launcher_xyz_" + PLATFORM_TAG)
        old_manifest = os.path.join(old_content, "client", "arvo_launcher_xyz_" + PLATFORM_TAG)
        data_file, data_size = manifest_packages(beta_manifest)["data"]
        expected = ["download data %s %d" % (data_file, data_size)]
        for old, new in ((old_content, self.content), (old_manifest, beta_manifest),
                         (os.path.join(old_content, "client"), beta_manifest)):
            lines = diff_lines(old, new, "--beta", "xyz")
            self.assertEqual(expected, lines[:-1], (old, new))
            self.assertRegex(lines[-1], r"^total: 1 of 2 packages, %d of \d+ bytes to download; 1 kept, "
                                        r"1 no longer used$" % data_size)
        self.assertEqual(["total: 0 of 2 packages, 0 of %d bytes to download; 2 kept, 0 no longer used"
                          % sum(s for _, s in manifest_packages(beta_manifest).values())],
                         diff_lines(beta_manifest, beta_manifest))

        for args, message in ((["diff", old_content, self.content], "no manifest arvo_launcher_" + PLATFORM_TAG),
                              (["diff", os.path.join(self.root, "nothing"), beta_manifest], "cannot read"),
                              (["diff", DEV_PRIVATE_DER, beta_manifest], "does not load as KeyValues text")):
            result = publish(*args)
            self.assertEqual((1, ""), (result.returncode, result.stdout), args)
            self.assertIn(message, result.stderr)
        self.assertEqual(2, publish("diff", beta_manifest).returncode)

    def test_a_gigabyte_in_2000_files_at_the_default_maximum(self):
        # Sparse files, 1 GiB together: the size of a real build, read and deflated quickly.
        def staged(i):
            return os.path.join(self.staging, ("art", "audio", "maps", "bin")[i % 4], "d%d" % (i % 9),
                                "f%04d.dat" % i)
        for i in range(2000):
            path = staged(i)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.truncate(GIB // 2000 + (i < GIB % 2000))
        self.build(max_size=DEFAULT_MAX)
        packages = manifest_packages(self.manifest)
        for name, (_, size) in packages.items():
            self.assertLessEqual(size, DEFAULT_MAX, name)
        for folder in ("art", "audio", "maps", "bin"):
            # 256 MiB each: at least four parts, though deflate shrinks them to little.
            self.assertGreaterEqual(sum(1 for n in packages if n.startswith(folder + "-")), 4, folder)

        with open(staged(1234), "r+b") as f:
            f.seek(4096)
            f.write(b"changed")
        old, _ = self.build(max_size=DEFAULT_MAX)
        self.assertEqual(1, len(self.assert_diff_is_the_manifests_difference(old)))
        self.stage("audio/d1/added.dat", os.urandom(100000))
        old, _ = self.build(max_size=DEFAULT_MAX)
        self.assertIn(len(self.assert_diff_is_the_manifests_difference(old)), (1, 2))


class SplitBuildInstallTest(unittest.TestCase):
    """The launcher installs a folder published as several packages, with every value the
    publisher adds to a manifest, and then downloads exactly what diff says."""

    def test_launcher_installs_a_split_folder_and_downloads_what_diff_says(self):
        service = ContentService()
        self.addCleanup(service.cleanup)
        rng = random.Random(21)
        files = {"levels/l%02d.dat" % i: rng.randbytes(rng.randint(4000, 20000)) for i in range(40)}
        files["readme.txt"] = b"build one\n"
        staging = os.path.join(service.root, "staging")
        for rel, data in files.items():
            write_file(os.path.join(staging, rel), data)
        extra = ["--max-package-size", "65536", "--expires", "30", "--ed25519-key", DEV_ED25519_PRIVATE_KEY]
        service.publish_directory(staging, 1, extra=extra)
        self.assertGreater(len([n for n in service.packages() if n.startswith("levels-")]), 4)
        service.start()
        install = UpdaterInstall(service.host)
        self.addCleanup(install.cleanup)
        result = install.run(["-textclient", EXIT_FERRO], timeout=120)
        self.assertEqual(7, exit_status(result.returncode), result.stdout + result.stderr)
        self.assertEqual(files, install.game_files())

        old_manifest = os.path.join(service.root, "manifest.1")
        shutil.copy(service.manifest_path(), old_manifest)
        files["levels/l07.dat"] = rng.randbytes(len(files["levels/l07.dat"]))
        files["levels/new.dat"] = rng.randbytes(9000)
        for rel in ("levels/l07.dat", "levels/new.dat"):
            write_file(os.path.join(staging, rel), files[rel])
        service.publish_directory(staging, 2, extra=extra)
        said = [line.split()[2] for line in diff_lines(old_manifest, service.manifest_path())[:-1]]
        self.assertTrue(1 <= len(said) <= 3, said)
        service.clear_requests()
        result = install.run(["-textclient", "-download", EXIT_FERRO], timeout=120)
        self.assertEqual(7, exit_status(result.returncode), result.stdout + result.stderr)
        self.assertEqual(sorted("/client/" + f for f in said),
                         sorted(p for p in service.requests() if ".zip." in p))
        self.assertEqual(files, install.game_files())


if __name__ == "__main__":
    unittest.main()
