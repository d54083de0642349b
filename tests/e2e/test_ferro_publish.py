"""ferro-publish end to end: key pairs that other tools read, deterministic content-addressed
packages, signed manifests that verify exactly as the launcher checks them (also when signed
by openssl over an independently computed message), and refusals of bad input."""
import hashlib
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile

from e2elib import BIN_DIR

SOURCE_DIR = os.environ.get("FERRO_SOURCE_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")
PUBLISH = os.path.join(BIN_DIR, "ferro-publish")
DEV_PRIVATE_PEM = os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_private.pem")
DEV_PRIVATE_DER = os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_private.der")
with open(os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_public.hex")) as _f:
    DEV_PUBLIC_HEX = _f.read().strip()
DEV_ED25519_PRIVATE_DER = os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_ed25519_private.der")
with open(os.path.join(SOURCE_DIR, "tests", "keys", "dev_manifest_ed25519_public.hex")) as _f:
    DEV_ED25519_PUBLIC_HEX = _f.read().strip()
# DER SubjectPublicKeyInfo of an Ed25519 key (RFC 8410) before its 32 raw bytes.
ED25519_SPKI_PREFIX = bytes.fromhex("302a300506032b6570032100")
# The platform tag of this build's launcher.
PLATFORM = "win32" if os.name == "nt" else "linux"


def publish(*args):
    return subprocess.run([PUBLISH] + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, errors="replace", timeout=120)


def verdict(result):
    """The last line of verify's output (the lines before it say which checks the manifest
    carries) and the exit code."""
    lines = result.stdout.splitlines()
    return (lines[-1] if lines else "", result.returncode)


def openssl(*args, **kwargs):
    return subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, **kwargs).stdout


def public_hex_of(private_key, inform="PEM"):
    return openssl("pkey", "-inform", inform, "-in", private_key, "-pubout", "-outform", "DER").hex()


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, content, executable=False):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)
    os.chmod(path, 0o755 if executable else 0o644)


def parse_kv(text):
    """A small KeyValues reader for the publisher's own output: quoted tokens and braces
    only. Returns a list of (name, value-or-list) pairs."""
    tokens, i = [], 0
    while i < len(text):
        c = text[i]
        if c in "{}":
            tokens.append(c)
            i += 1
        elif c == '"':
            j = text.index('"', i + 1)
            tokens.append(text[i + 1:j])
            i = j + 1
        else:
            i += 1
    pos = 0

    def block():
        nonlocal pos
        items = []
        while pos < len(tokens) and tokens[pos] != "}":
            name = tokens[pos]
            pos += 1
            if tokens[pos] == "{":
                pos += 1
                items.append((name, block()))
                pos += 1
            else:
                items.append((name, tokens[pos]))
                pos += 1
        return items
    return block()


def serialize(name, value):
    """The signed message of a key, computed here independently of the launcher."""
    out = name.lower().encode() + (b"" if isinstance(value, list) else value.encode()) + b"\0"
    if isinstance(value, list):
        for child_name, child_value in value:
            out += serialize(child_name, child_value)
    return out


def serialize_ed25519(name, value):
    """The Ed25519 message of a key, computed here independently of the launcher: a label,
    then for a block "{", its name, its children and "}", for a value "=", its name and the
    value; every name (lower case) and value with its length as 4 bytes, big-endian."""
    def counted(text):
        data = text.encode()
        return len(data).to_bytes(4, "big") + data

    def node(node_name, node_value):
        if isinstance(node_value, list):
            return (b"{" + counted(node_name.lower()) + b"".join(node(n, v) for n, v in node_value) + b"}")
        return b"=" + counted(node_name.lower()) + counted(node_value)
    return b"arvo manifest ed25519 1\0" + node(name, value)


def write_kv(name, value, indent=0):
    pad = "\t" * indent
    if not isinstance(value, list):
        return '%s"%s"\t\t"%s"\n' % (pad, name, value)
    return ('%s"%s"\n%s{\n' % (pad, name, pad) + "".join(write_kv(n, v, indent + 1) for n, v in value)
            + "%s}\n" % pad)


class PublishTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ferro-publish-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def make_staging(self, name="staging"):
        staging = self.path(name)
        write(os.path.join(staging, "ferro.exe"), b"launcher bytes", executable=True)
        write(os.path.join(staging, "readme.txt"), "hello\n")
        write(os.path.join(staging, "bin", "ferro.so"), os.urandom(3000), executable=True)
        write(os.path.join(staging, "bin", "lib", "helper.so"), b"helper" * 100)
        write(os.path.join(staging, "Data", "Maps", "One.map"), "map one\n" * 50)
        write(os.path.join(staging, "Data", "b.txt"), "b\n")
        return staging

    def build(self, staging, output, *extra, key=DEV_PRIVATE_DER, version=42):
        result = publish("build", "--key", key, "--version", version, "--input", staging, "--output",
                         output, *extra)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        return result

    def tree(self, directory):
        files = {}
        for dirpath, _, filenames in os.walk(directory):
            for name in filenames:
                full = os.path.join(dirpath, name)
                files[os.path.relpath(full, directory)] = read(full)
        return files

    def test_keygen_writes_a_pair_that_openssl_reads(self):
        keys = self.path("keys")
        result = publish("keygen", "--out", keys)
        self.assertEqual(0, result.returncode, result.stderr)
        private = os.path.join(keys, "manifest_private.der")
        public_hex = read(os.path.join(keys, "manifest_public.hex"), "r").strip()
        self.assertEqual(0o600, stat.S_IMODE(os.stat(private).st_mode))
        self.assertEqual(320, len(public_hex))
        self.assertEqual(public_hex, public_hex_of(private, "DER"))
        self.assertIn("1024 bit", openssl("pkey", "-inform", "DER", "-in", private, "-noout", "-text").decode())

        # A second run does not replace the key.
        before = read(private)
        result = publish("keygen", "--out", keys)
        self.assertEqual(1, result.returncode)
        self.assertIn("exists already; not replacing a key", result.stderr)
        self.assertEqual(before, read(private))

        # The new key signs builds that verify with its public half only.
        self.build(self.make_staging(), self.path("content"), key=private)
        manifest = self.path("content", "client", "arvo_launcher_" + PLATFORM)
        result = publish("verify", "--pubkey", public_hex, manifest)
        self.assertEqual(("valid", 0), verdict(result))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, manifest)
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))

    def test_build_writes_content_addressed_packages_and_a_signed_manifest(self):
        staging = self.make_staging()
        content = self.path("content")
        result = self.build(staging, content)
        client = os.path.join(content, "client")
        manifest_path = os.path.join(client, "arvo_launcher_" + PLATFORM)
        self.assertIn("manifest %s: version 42, 3 packages" % manifest_path, result.stdout)

        (name, body), (sig_block, signatures) = parse_kv(read(manifest_path, "r"))
        self.assertEqual("manifest", name)
        self.assertEqual("kvsignatures", sig_block)
        self.assertEqual("manifest", signatures[0][0])
        self.assertEqual(256, len(signatures[0][1]))
        values = dict(v for v in body if not isinstance(v[1], list))
        self.assertEqual(["version", "timestamp", "platform"], list(values))
        self.assertEqual(("42", PLATFORM), (values["version"], values["platform"]))
        self.assertLessEqual(abs(int(values["timestamp"]) - time.time()), 60)
        packages = [v for v in body if isinstance(v[1], list)]
        self.assertEqual(["bin", "data", "root"], [p[0] for p in packages])
        self.assertEqual(sorted(os.listdir(client)),
                         sorted(["arvo_launcher_" + PLATFORM] + [dict(p[1])["file"] for p in packages]))

        expected_items = {
            "bin": ["bin/ferro.so", "bin/lib/helper.so"],
            "data": ["Data/Maps/One.map", "Data/b.txt"],
            "root": ["ferro.exe", "readme.txt"],
        }
        for package, fields in packages:
            fields = dict(fields)
            archive = os.path.join(client, fields["file"])
            data = read(archive)
            self.assertEqual(package + ".zip." + hashlib.sha1(data).hexdigest(), fields["file"])
            self.assertEqual(str(len(data)), fields["size"])
            self.assertEqual(hashlib.sha256(data).hexdigest(), fields["sha256"])
            with zipfile.ZipFile(archive) as z:
                infos = z.infolist()
                self.assertEqual(expected_items[package], [i.filename for i in infos])
                for info in infos:
                    self.assertEqual((1980, 1, 1, 0, 0, 0), info.date_time)
                    self.assertEqual(read(os.path.join(staging, info.filename)), z.read(info))
                    mode = info.external_attr >> 16
                    self.assertTrue(stat.S_ISREG(mode))
                    executable = info.filename in ("ferro.exe", "bin/ferro.so")
                    self.assertEqual(0o755 if executable else 0o644, stat.S_IMODE(mode), info.filename)

        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, manifest_path)
        self.assertEqual(("valid", 0), verdict(result), result.stderr)

    def test_build_twice_is_byte_identical_and_a_change_renames_only_its_package(self):
        staging = self.make_staging()
        self.build(staging, self.path("one"), "--timestamp", "1700000000")
        # Other file times and another working copy of the same files.
        shutil.copytree(staging, self.path("copy"))
        os.utime(os.path.join(self.path("copy"), "readme.txt"), (1e9, 1e9))
        self.build(self.path("copy"), self.path("two"), "--timestamp", "1700000000")
        self.build(staging, self.path("one"), "--timestamp", "1700000000")
        self.assertEqual(self.tree(self.path("one")), self.tree(self.path("two")))

        def names(content):
            body = parse_kv(read(os.path.join(content, "client", "arvo_launcher_" + PLATFORM), "r"))[0][1]
            return {p: dict(f)["file"] for p, f in body if isinstance(f, list)}
        before = names(self.path("one"))
        write(os.path.join(staging, "Data", "b.txt"), "changed\n")
        self.build(staging, self.path("one"), version=43)
        after = names(self.path("one"))
        self.assertNotEqual(before["data"], after["data"])
        self.assertEqual(before["bin"], after["bin"])
        self.assertEqual(before["root"], after["root"])
        # The old archive stays for clients of the old manifest.
        self.assertTrue(os.path.exists(os.path.join(self.path("one"), "client", before["data"])))

    def test_beta_and_platform_name_the_manifest(self):
        staging = self.make_staging()
        self.build(staging, self.path("content"), "--beta", "xyz", "--platform", "win32")
        self.assertTrue(os.path.exists(self.path("content", "client", "arvo_launcher_xyz_win32")))
        self.assertFalse(os.path.exists(self.path("content", "client", "arvo_launcher_" + PLATFORM)))
        for bad in (["--beta", "my-beta"], ["--beta", "../x"], ["--platform", "lin ux"], ["--beta", ""]):
            result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", staging,
                             "--output", self.path("content"), *bad)
            self.assertEqual(2, result.returncode, bad)
            self.assertIn("ASCII letters, digits and '_' only", result.stderr)

    def test_signed_build_values_and_what_verify_reports(self):
        staging = self.make_staging()
        self.build(staging, self.path("content"), "--beta", "xyz", "--platform", "win32", "--timestamp",
                   "1700000000", "--expires", "30", "--ed25519-key", DEV_ED25519_PRIVATE_DER)
        manifest = self.path("content", "client", "arvo_launcher_xyz_win32")
        (name, body), (_, signatures) = parse_kv(read(manifest, "r"))
        values = [v for v in body if not isinstance(v[1], list)]
        self.assertEqual([("version", "42"), ("timestamp", "1700000000"), ("expires", str(1700000000 + 30 * 86400)),
                          ("platform", "win32"), ("beta", "xyz")], values)
        # Inside the signed key: both signatures cover them.
        self.assertTrue(self.openssl_ed25519_verifies(serialize_ed25519(name, body), dict(signatures)["ed25519"],
                                                      DEV_ED25519_PUBLIC_HEX))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, "--ed25519-pubkey", DEV_ED25519_PUBLIC_HEX, manifest)
        self.assertEqual(["RSA signature: verified", "Ed25519 signature: verified", "SHA-256: 3 of 3 packages",
                          "timestamp: 1700000000 (2023-11-14 22:13:20 UTC)",
                          "expires: 1702592000 (2023-12-14 22:13:20 UTC, passed)", "platform: win32", "beta: xyz",
                          "valid"], result.stdout.splitlines())
        text = read(manifest, "r")
        write(self.path("replayed", "arvo_launcher_xyz_win32"), text.replace('"1700000000"', '"1800000000"'))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("replayed", "arvo_launcher_xyz_win32"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))

        # Served under another name: another platform or beta, or none.
        for other in ("arvo_launcher_win32", "arvo_launcher_xyz_linux", "arvo_launcher_abc_win32"):
            write(self.path("moved", other), text)
            result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("moved", other))
            self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode), other)
            self.assertIn("its platform and beta name the manifest arvo_launcher_xyz_win32, not " + other,
                          result.stderr)
        # A copy kept under another kind of name is checked for its values alone.
        write(self.path("moved", "arvo_launcher_win32.old"), text)
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("moved", "arvo_launcher_win32.old"))
        self.assertEqual(("valid", 0), verdict(result), result.stderr)
        # An old manifest carries none of them; one signed by hand may carry some.
        write(self.path("old.txt"), write_kv("manifest", [("version", "1"), ("core", [
            ("file", "core.zip." + "ab" * 20), ("size", "12")])]))
        publish("sign", "--key", DEV_PRIVATE_DER, self.path("old.txt"), self.path("old-signed.txt"))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("old-signed.txt"))
        self.assertEqual(["RSA signature: verified", "Ed25519 signature: absent", "SHA-256: 0 of 1 packages",
                          "timestamp: absent", "expires: absent", "platform: absent", "beta: absent", "valid"],
                         result.stdout.splitlines())

    def test_verify_refuses_build_values_of_a_bad_form(self):
        package = [("file", "core.zip." + "ab" * 20), ("size", "12")]
        cases = [
            ([("core", package + [("sha256", "ab" * 31)])], "package 'core': sha256 '%s' is not 64 hex digits" % ("ab" * 31)),
            ([("core", package + [("sha256", "xy" * 32)])], "package 'core': sha256 '%s' is not 64 hex digits" % ("xy" * 32)),
            ([("timestamp", "12a")], "the timestamp '12a' is not a plain decimal number of seconds"),
            ([("expires", "9223372036854775808")], "the expires '9223372036854775808' is not a plain decimal"),
            ([("timestamp", "0123")], "the timestamp '0123' is not a plain decimal"),
            ([("platform", "x" * 10000 + "-")], "is longer than 64 characters"),
            ([("platform", "lin-ux")], "is not a name of ASCII letters, digits and '_'"),
            ([("beta", "xyz")], 'a "beta" without a "platform"'),
            ([("platform", "linux"), ("beta", "")], 'an empty "beta"'),
        ]
        for values, message in cases:
            write(self.path("m.txt"), write_kv("manifest", [("version", "1")] + values))
            result = publish("sign", "--key", DEV_PRIVATE_DER, self.path("m.txt"), self.path("signed.txt"))
            self.assertEqual(0, result.returncode)
            self.assertIn("warning: a launcher that checks the build's values refuses", result.stderr)
            result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("signed.txt"))
            self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode), values)
            self.assertIn(message, result.stderr)
        write(self.path("m.txt"), write_kv("manifest", [("version", "1"), ("timestamp", "9223372036854775807"),
                                                        ("platform", "linux"), ("core", package)]))
        publish("sign", "--key", DEV_PRIVATE_DER, self.path("m.txt"), self.path("signed.txt"))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("signed.txt"))
        self.assertEqual(("valid", 0), verdict(result), result.stderr)
        self.assertIn("beta: none (public)", result.stdout)

    def test_sign_adds_or_replaces_the_signature(self):
        unsigned = self.path("unsigned.txt")
        write(unsigned, write_kv("Manifest", [("version", "7"), ("pkg", [("file", "pkg.zip." + "ab" * 20),
                                                                          ("size", "9")])]))
        signed = self.path("signed.txt")
        result = publish("sign", "--key", DEV_PRIVATE_PEM, unsigned, signed)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("valid", verdict(publish("verify", "--pubkey", DEV_PUBLIC_HEX, signed))[0])

        # An edited value no longer verifies; signing it again replaces the signature and
        # keeps the signatures of other keys.
        text = read(signed, "r").replace('"9"', '"10"').replace(
            '"kvsignatures"\n{\n', '"kvsignatures"\n{\n\t"other"\t\t"0123456789abcdef"\n')
        write(signed, text)
        self.assertEqual("invalid\n", publish("verify", "--pubkey", DEV_PUBLIC_HEX, signed).stdout)
        result = publish("sign", "--key", DEV_PRIVATE_DER, signed, signed)
        self.assertEqual(0, result.returncode, result.stderr)
        # (Names are compared without case; the writer uses the spelling the process met
        # first.)
        items = parse_kv(read(signed, "r"))
        self.assertEqual(["manifest", "kvsignatures"], [name.lower() for name, _ in items])
        self.assertEqual(["other", "manifest"], [name.lower() for name, _ in items[1][1]])
        self.assertEqual("valid", verdict(publish("verify", "--pubkey", DEV_PUBLIC_HEX, signed))[0])

    def test_signature_over_an_independently_computed_message(self):
        body = [("version", "42"), ("Core", [("file", "core.zip.0123456789abcdef0123456789abcdef01234567"),
                                             ("size", "1234"), ("note", "a b c")])]
        message = self.path("message.bin")
        write(message, serialize("Manifest", body))
        signature = openssl("dgst", "-sha1", "-sign", DEV_PRIVATE_PEM, message).hex()
        manifest = self.path("manifest.txt")
        write(manifest, write_kv("Manifest", body) + write_kv("kvsignatures", [("Manifest", signature)]))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, manifest)
        self.assertEqual(("valid", 0), verdict(result), result.stderr)

        # PKCS #1 v1.5 is deterministic: the publisher's own signature is the same bytes.
        write(self.path("unsigned.txt"), write_kv("Manifest", body))
        publish("sign", "--key", DEV_PRIVATE_PEM, self.path("unsigned.txt"), self.path("signed.txt"))
        signatures = parse_kv(read(self.path("signed.txt"), "r"))[1][1]
        self.assertEqual([("manifest", signature)], [(n.lower(), v) for n, v in signatures])

    def openssl_ed25519_verifies(self, message, signature_hex, public_hex):
        """openssl's own verdict on an Ed25519 signature of the message."""
        write(self.path("ed.msg"), message)
        write(self.path("ed.sig"), bytes.fromhex(signature_hex))
        write(self.path("ed.pub.der"), ED25519_SPKI_PREFIX + bytes.fromhex(public_hex))
        result = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", self.path("ed.pub.der"),
                                 "-keyform", "DER", "-rawin", "-in", self.path("ed.msg"), "-sigfile",
                                 self.path("ed.sig")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                errors="replace", timeout=60)
        return result.returncode == 0 and "Signature Verified Successfully" in result.stdout

    def test_ed25519_signature_of_a_build_is_verified_by_openssl(self):
        staging = self.make_staging()
        self.build(staging, self.path("content"), "--ed25519-key", DEV_ED25519_PRIVATE_DER)
        manifest = self.path("content", "client", "arvo_launcher_" + PLATFORM)
        items = parse_kv(read(manifest, "r"))
        (name, body), (signatures_name, signatures) = items
        self.assertEqual("kvsignatures", signatures_name)
        self.assertEqual(["manifest", "ed25519"], [n for n, _ in signatures])
        signature = dict(signatures)["ed25519"]
        self.assertEqual(128, len(signature))
        message = serialize_ed25519(name, body)
        self.assertTrue(self.openssl_ed25519_verifies(message, signature, DEV_ED25519_PUBLIC_HEX))
        self.assertFalse(self.openssl_ed25519_verifies(message + b"x", signature, DEV_ED25519_PUBLIC_HEX))

        # Verified as a launcher that requires it verifies it, and as one that has no key.
        for args in (["--ed25519-pubkey", DEV_ED25519_PUBLIC_HEX], []):
            result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, *args, manifest)
            self.assertEqual(("valid", 0), verdict(result), result.stderr)
        # An RSA-only build is valid to a launcher that does not require the second signature.
        self.build(staging, self.path("old"))
        old = self.path("old", "client", "arvo_launcher_" + PLATFORM)
        self.assertEqual("valid", verdict(publish("verify", "--pubkey", DEV_PUBLIC_HEX, old))[0])
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, "--ed25519-pubkey", DEV_ED25519_PUBLIC_HEX, old)
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        self.assertIn("no Ed25519 signature, which this launcher requires", result.stderr)
        # A wrong one: another key's, or one digit changed.
        other_keys = self.path("other-keys")
        self.assertEqual(0, publish("keygen", "--out", other_keys).returncode)
        other_public = read(os.path.join(other_keys, "manifest_ed25519_public.hex"), "r").strip()
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, "--ed25519-pubkey", other_public, manifest)
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        self.assertIn("the Ed25519 signature does not verify", result.stderr)
        text = read(manifest, "r")
        flipped = signature[:10] + ("0" if signature[10] != "0" else "1") + signature[11:]
        write(self.path("flipped.txt"), text.replace(signature, flipped))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, "--ed25519-pubkey", DEV_ED25519_PUBLIC_HEX,
                         self.path("flipped.txt"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        # Without the key the signature is only seen to be well formed.
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("flipped.txt"))
        self.assertEqual(("valid", 0), verdict(result))

    def test_keygen_and_openssl_ed25519_keys_sign(self):
        keys = self.path("keys")
        self.assertEqual(0, publish("keygen", "--out", keys).returncode)
        private = os.path.join(keys, "manifest_ed25519_private.der")
        public_hex = read(os.path.join(keys, "manifest_ed25519_public.hex"), "r").strip()
        self.assertEqual(0o600, stat.S_IMODE(os.stat(private).st_mode))
        self.assertEqual(64, len(public_hex))
        spki = openssl("pkey", "-inform", "DER", "-in", private, "-pubout", "-outform", "DER")
        self.assertEqual(ED25519_SPKI_PREFIX.hex() + public_hex, spki.hex())
        openssl_pem = self.path("openssl-ed25519.pem")
        openssl("genpkey", "-algorithm", "ed25519", "-out", openssl_pem)
        openssl_public = openssl("pkey", "-in", openssl_pem, "-pubout", "-outform", "DER")[-32:].hex()
        body = [("version", "3"), ("core", [("file", "core.zip." + "cd" * 20), ("size", "12")])]
        write(self.path("unsigned.txt"), write_kv("manifest", body))
        for key, public in ((private, public_hex), (openssl_pem, openssl_public)):
            signed = self.path("signed.txt")
            result = publish("sign", "--key", DEV_PRIVATE_DER, "--ed25519-key", key, self.path("unsigned.txt"), signed)
            self.assertEqual((0, ""), (result.returncode, result.stderr))
            signature = dict(parse_kv(read(signed, "r"))[1][1])["ed25519"]
            self.assertTrue(self.openssl_ed25519_verifies(serialize_ed25519("manifest", body), signature, public))
            result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, "--ed25519-pubkey", public, signed)
            self.assertEqual("valid", verdict(result)[0], result.stderr)
        # An RSA key is no Ed25519 key.
        result = publish("sign", "--key", DEV_PRIVATE_DER, "--ed25519-key", DEV_PRIVATE_DER, self.path("unsigned.txt"),
                         self.path("x.txt"))
        self.assertEqual(1, result.returncode)
        self.assertIn("is not an Ed25519 private key", result.stderr)

    def test_verify_checks_the_shape_the_launcher_reads(self):
        staging = self.make_staging()
        self.build(staging, self.path("content"))
        manifest = self.path("content", "client", "arvo_launcher_" + PLATFORM)
        self.assertEqual("valid", verdict(publish("verify", "--pubkey", DEV_PUBLIC_HEX, manifest))[0])
        # The closing brace of the first package moved to the end of the manifest key: the
        # RSA signature still holds, the shape does not.
        text = read(manifest, "r")
        first_close = text.index("\t}\n")
        moved = text[:first_close] + text[first_close + 3:]
        end = moved.index("}\n\"kvsignatures\"")
        moved = moved[:end] + "\t}\n" + moved[end:]
        write(self.path("moved.txt"), moved)
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("moved.txt"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        self.assertRegex(result.stderr, r"package '\w+' holds a block '\w+'")
        # Signing such a text by hand works, with a warning that launchers refuse it.
        write(self.path("crlf.txt"), write_kv("manifest", [("evil", [("file", "evil.zip.1\r\nX-Injected yes"),
                                                                     ("size", "7")])]))
        result = publish("sign", "--key", DEV_PRIVATE_DER, self.path("crlf.txt"), self.path("crlf-signed.txt"))
        self.assertEqual(0, result.returncode)
        self.assertIn("warning: a launcher refuses", result.stderr)
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("crlf-signed.txt"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        self.assertIn("is not the package name, \".zip.\" and 40 hex digits", result.stderr)
        # The launcher's own folders cannot be shipped.
        for name in ("package", "Logs"):
            tree = tempfile.mkdtemp(dir=self.root)
            write(os.path.join(tree, name, "beta"), "evilbeta")
            result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", tree, "--output",
                             self.path("refused"))
            self.assertEqual(1, result.returncode)
            self.assertIn("is the launcher's own folder in an install directory", result.stderr)

    def test_keys_made_by_openssl(self):
        unsigned = self.path("unsigned.txt")
        write(unsigned, write_kv("manifest", [("version", "1")]))
        pkcs8 = self.path("rsa.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", pkcs8)
        public_hex = public_hex_of(pkcs8)
        self.assertEqual(324, len(public_hex))  # exponent 65537
        pkcs8_der = self.path("rsa.der")
        openssl("pkcs8", "-topk8", "-nocrypt", "-in", pkcs8, "-outform", "DER", "-out", pkcs8_der)
        pkcs1 = self.path("rsa1.pem")
        openssl("pkey", "-in", pkcs8, "-traditional", "-out", pkcs1)
        self.assertIn(b"BEGIN RSA PRIVATE KEY", read(pkcs1))
        for key in (pkcs8, pkcs8_der, pkcs1):
            signed = self.path("signed.txt")
            result = publish("sign", "--key", key, unsigned, signed)
            self.assertEqual(0, result.returncode, result.stderr)
            result = publish("verify", "--pubkey", public_hex, signed)
            self.assertEqual(("valid", 0), verdict(result), key)
            self.assertEqual("invalid\n", publish("verify", "--pubkey", DEV_PUBLIC_HEX, signed).stdout)

        # Larger keys make signatures the launcher does not take; encrypted keys are refused.
        big = self.path("big.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", big)
        result = publish("sign", "--key", big, unsigned, self.path("x.txt"))
        self.assertEqual(1, result.returncode)
        self.assertIn("the key makes 256-byte signatures; the launcher accepts 8 to 128 bytes", result.stderr)
        encrypted = self.path("enc.pem")
        openssl("pkey", "-in", pkcs8, "-aes128", "-passout", "pass:secret", "-out", encrypted)
        result = publish("sign", "--key", encrypted, unsigned, self.path("x.txt"))
        self.assertEqual(1, result.returncode)
        self.assertIn("the private key is encrypted", result.stderr)
        self.assertFalse(os.path.exists(self.path("x.txt")))

    def test_bad_input_is_refused_with_a_message(self):
        staging = self.make_staging()
        usage_errors = [
            [], ["frobnicate"], ["build", "--version", "1", "--input", staging, "--output", "x"],
            ["build", "--key", DEV_PRIVATE_DER, "--version", "12a", "--input", staging, "--output", "x"],
            ["build", "--key", DEV_PRIVATE_DER, "--version", "18446744073709551616", "--input", staging,
             "--output", "x"],
            ["build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", staging, "--output", "x",
             "--colour", "red"],
            ["build", "--key"], ["sign", "--key", DEV_PRIVATE_DER, "only-one"], ["verify", "m"],
            ["verify", "--pubkey", "00", "--pubkey-file", "f", "m"], ["keygen"],
        ]
        for args in usage_errors:
            result = publish(*args)
            self.assertEqual(2, result.returncode, args)
            self.assertIn("usage: ferro-publish keygen", result.stderr, args)
        self.assertEqual(0, publish("--help").returncode)

        # Keys that are not keys.
        not_a_key = self.path("random.der")
        write(not_a_key, os.urandom(600))
        for key in (not_a_key, self.path("missing.der"), os.path.join(SOURCE_DIR, "tests", "keys",
                                                                        "dev_manifest_public.hex")):
            result = publish("build", "--key", key, "--version", "1", "--input", staging, "--output",
                             self.path("out"))
            self.assertEqual(1, result.returncode, key)
            self.assertTrue("is not an RSA private key" in result.stderr or "cannot read" in result.stderr,
                            result.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

        # Manifests that do not load, and signatures that are not hex.
        for text in ("", '"manifest" { "version" ', '"m" { } }', "\x00\x01\x02binary\xff"):
            write(self.path("bad.txt"), text.encode("latin-1"))
            result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("bad.txt"))
            self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode), text)
        write(self.path("bad.txt"), '"manifest" { "version" "1" }\n"kvsignatures" { "manifest" "%s" }\n'
              % ("xyz-" * 64))
        result = publish("verify", "--pubkey", DEV_PUBLIC_HEX, self.path("bad.txt"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        result = publish("verify", "--pubkey", "not hex", self.path("bad.txt"))
        self.assertEqual(("invalid\n", 1), (result.stdout, result.returncode))
        result = publish("sign", "--key", DEV_PRIVATE_DER, self.path("bad.txt"), self.path("bad.txt"))
        self.assertEqual(0, result.returncode, result.stderr)
        write(self.path("broken.txt"), '"manifest" { "version" ')
        result = publish("sign", "--key", DEV_PRIVATE_DER, self.path("broken.txt"), self.path("out.txt"))
        self.assertEqual(1, result.returncode)
        self.assertIn("does not load as KeyValues text", result.stderr)
        self.assertFalse(os.path.exists(self.path("out.txt")))

        # Staging trees whose names cannot be packages.
        def refused(tree_setup, message):
            tree = tempfile.mkdtemp(dir=self.root)
            tree_setup(tree)
            result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input", tree,
                             "--output", self.path("refused"))
            self.assertEqual(1, result.returncode, message)
            self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(self.path("refused", "client", "arvo_launcher_" + PLATFORM)))
        refused(lambda t: write(os.path.join(t, "my.data", "a"), "a"), "cannot name a package")
        refused(lambda t: (write(os.path.join(t, "Bin", "a"), "a"), write(os.path.join(t, "bin", "b"), "b")),
                "two sources for the package \"bin\"")
        refused(lambda t: (write(os.path.join(t, "root", "a"), "a"), write(os.path.join(t, "top.txt"), "t")),
                "two sources for the package \"root\"")
        refused(lambda t: os.symlink(os.path.join(t, "nowhere"), os.path.join(t, "dangling")),
                "neither a file nor a directory")
        result = publish("build", "--key", DEV_PRIVATE_DER, "--version", "1", "--input",
                         self.path("no-such-dir"), "--output", self.path("refused"))
        self.assertEqual(1, result.returncode)
        self.assertIn("is not a directory", result.stderr)


if __name__ == "__main__":
    unittest.main()
