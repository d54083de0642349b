"""ferro-kv against real files: output, error reports and exit codes."""

import os
import subprocess
import tempfile
import unittest

BIN_DIR = os.environ.get("FERRO_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
FERRO_KV = os.path.join(BIN_DIR, "ferro-kv")

MANIFEST = (
    '\ufeff// a manifest as the content service writes it\n'
    '"manifest"\n'
    '{\n'
    '\t"version"\t\t"42"\n'
    '\t"core"\n'
    '\t{\n'
    '\t\t"file"\t\t"core.zip.0123456789abcdef0123456789abcdef01234567"\n'
    '\t\t"size"\t\t"1234"\n'
    '\t}\n'
    '\t"beta_only"\t\t"yes"\t[$E2EBETA]\n'
    '\t"never"\t\t"no"\t[$X360]\n'
    '}\n'
    '"kvsignatures"\n'
    '{\n'
    '\t"manifest"\t\t"00ff"\n'
    '}\n'
)

WRITTEN = (
    '"manifest"\n'
    '{\n'
    '\t"version"\t\t"42"\n'
    '\t"core"\n'
    '\t{\n'
    '\t\t"file"\t\t"core.zip.0123456789abcdef0123456789abcdef01234567"\n'
    '\t\t"size"\t\t"1234"\n'
    '\t}\n'
    '%s'
    '}\n'
    '"kvsignatures"\n'
    '{\n'
    '\t"manifest"\t\t"00ff"\n'
    '}\n'
)


def run(*args):
    # Assertions and load reports go to standard error; keep the environment's spew level.
    return subprocess.run([FERRO_KV, *args], capture_output=True, text=True, timeout=60)


class FerroKvTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def test_print_writes_the_loaded_tree_and_its_peers(self):
        path = self.write("manifest.txt", MANIFEST)
        result = run("print", path)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(WRITTEN % "", result.stdout)
        self.assertEqual("", result.stderr)

        result = run("print", path, "--cond", "E2EBETA=1")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(WRITTEN % '\t"beta_only"\t\t"yes"\n', result.stdout)

        result = run("print", path, "--cond", "$E2EBETA=0", "--cond", "X360=1")
        self.assertEqual(WRITTEN % "", result.stdout)

    def test_print_reports_load_errors_and_keeps_what_was_read(self):
        path = self.write("broken.txt", '"a"\n{\n\t"b"\t"1"\n\t"c" }\n')
        result = run("print", path)
        self.assertEqual(1, result.returncode)
        # The key whose value was missing stays, as an empty section.
        self.assertEqual('"a"\n{\n\t"b"\t\t"1"\n\t"c"\n\t{\n\t}\n}\n', result.stdout)
        self.assertIn("KeyValues Error: RecursiveLoadFromBuffer:  got } in key in file %s [offset: 21]\na, c, \n" % path,
                      result.stderr)
        self.assertIn("Assertion Failed: Error while parsing text KeyValues for resource %s" % path, result.stderr)

    def test_get_prints_the_value_of_a_path(self):
        path = self.write("manifest.txt", MANIFEST)
        result = run("get", path, "CORE/File")
        self.assertEqual(0, result.returncode)
        self.assertEqual("core.zip.0123456789abcdef0123456789abcdef01234567\n", result.stdout)
        result = run("get", path, "core/size")
        self.assertEqual("1234\n", result.stdout)
        result = run("get", path, "core/missing")
        self.assertEqual(1, result.returncode)
        self.assertEqual("", result.stdout)
        # A section has no string value.
        result = run("get", path, "core")
        self.assertEqual((0, "\n"), (result.returncode, result.stdout))

    def test_check_reports_each_file(self):
        good = self.write("good.txt", MANIFEST)
        bad = self.write("bad.txt", '"a" { "k" [$1] [$0] }')
        empty = self.write("empty.txt", "")
        result = run("check", good)
        self.assertEqual((0, "%s: ok\n" % good), (result.returncode, result.stdout))
        result = run("check", good, bad, empty)
        self.assertEqual(1, result.returncode)
        lines = result.stdout.splitlines()
        self.assertEqual("%s: ok" % good, lines[0])
        self.assertEqual(
            "KeyValues Error: RecursiveLoadFromBuffer:  got conditional between key and value in file %s [offset: 19]"
            % bad, lines[1])
        self.assertEqual("a, k, ", lines[2])
        self.assertIn("KeyValues Error: LoadFromBuffer: empty input, no key found in file %s [offset: 0]" % empty,
                      result.stdout)
        missing = os.path.join(self.dir.name, "missing.txt")
        result = run("check", good, missing)
        self.assertEqual(2, result.returncode)
        self.assertIn("%s: cannot read file" % missing, result.stdout)

    def test_usage_and_unreadable_files(self):
        for args in [(), ("print",), ("get", "x"), ("check",), ("frobnicate", "x"),
                     ("print", "x", "--cond"), ("print", "x", "--cond", "NAME"), ("print", "x", "--cond", "N=2"),
                     ("print", "x", "extra")]:
            result = run(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn("usage: ferro-kv print FILE [--cond NAME=0|1]...", result.stderr)
        missing = os.path.join(self.dir.name, "missing.txt")
        for args in [("print", missing), ("get", missing, "a")]:
            result = run(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertEqual("ferro-kv: cannot read %s\n" % missing, result.stderr)


if __name__ == "__main__":
    unittest.main()
