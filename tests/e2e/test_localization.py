"""The launcher shows its texts in the user's language: German with the registry language
german and both language files beside it, English without the value, and English again when
the translation is broken or missing."""
import os
import shutil
import subprocess
import unittest

from e2elib import BIN_DIR, InstallDir, NOT_ASCII_FATAL_LINE, exit_status, set_user_language

GERMAN_NOT_ASCII_FATAL_LINE = (
    "[  0%] !!! Fatal Error: Ferro kann nicht aus einem Ordner gestartet werden, dessen Pfad "
    "nicht-englische Zeichen enth\u00e4lt. Bitte installieren Sie Ferro erneut im Standardordner.")


class LocalizationTest(unittest.TestCase):
    def make_install(self, with_files=True):
        # A path outside ASCII stops the launcher with its fatal line before anything else.
        install = InstallDir("spiel-\u00fcber")
        self.addCleanup(install.cleanup)
        if with_files:
            shutil.copytree(os.path.join(BIN_DIR, "public"), install.file("public"))
        return install

    def set_language(self, install, language):
        set_user_language(install.registry, language)

    def run_launcher(self, install, cwd=None, **env):
        # Decoded as UTF-8 whatever the locale of the test run.
        result = subprocess.run(install.command(["-textclient"]), cwd=cwd or install.path,
                                env=install.env(**env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=60, encoding="utf-8", errors="replace")
        self.assertEqual(exit_status(-2), result.returncode, result.stdout + result.stderr)
        return result

    def test_german_with_the_registry_language_and_english_without(self):
        install = self.make_install()
        result = self.run_launcher(install)
        self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines())

        self.set_language(install, "german")
        result = self.run_launcher(install)
        self.assertIn(GERMAN_NOT_ASCII_FATAL_LINE, result.stdout.splitlines(), result.stdout)
        self.assertNotIn("ILocalize", result.stdout + result.stderr)

        # Started from another working directory, the files beside it are still found.
        result = self.run_launcher(install, cwd=install.root)
        self.assertIn(GERMAN_NOT_ASCII_FATAL_LINE, result.stdout.splitlines(), result.stdout)

        # A language without a file: English. The missing file is named at the diagnostic
        # level of progress messages, not to a player.
        self.set_language(install, "french")
        result = self.run_launcher(install)
        self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines())
        self.assertNotIn("ILocalize", result.stdout + result.stderr)
        result = self.run_launcher(install, FERRO_SPEW_LEVEL="3")
        self.assertIn('ILocalize::AddFile() failed to load file "public\\ferrobootstrapper_french.txt".',
                      result.stderr)

    def test_broken_or_missing_files_show_the_english_texts(self):
        install = self.make_install()
        self.set_language(install, "german")
        german = install.file("public/ferrobootstrapper_german.txt")
        with open(german, "rb") as f:
            data = f.read()
        # Cut inside the translated key (at an odd byte), garbage, a bare start: English from
        # the English file.
        cut = data.index("InstallDirNotASCII".encode("utf-16-le")) + 7
        for broken in (data[:cut], b"\xff\xfe" + bytes(range(1, 256)) * 40, b"\xff\xfe\"lang\x00"):
            with open(german, "wb") as f:
                f.write(broken)
            result = self.run_launcher(install)
            self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines(), result.stdout + result.stderr)

        # No language files at all: the compiled-in text.
        shutil.rmtree(install.file("public"))
        result = self.run_launcher(install)
        self.assertIn(NOT_ASCII_FATAL_LINE, result.stdout.splitlines())
        self.assertNotIn("ILocalize", result.stdout + result.stderr)
        result = self.run_launcher(install, FERRO_SPEW_LEVEL="3")
        self.assertIn('ILocalize::AddFile() failed to load file "public\\ferrobootstrapper_english.txt".',
                      result.stderr)


if __name__ == "__main__":
    unittest.main()
