"""Reads the resources of the built arvolauncher.exe back from the file, as Windows would
find them, and checks what Windows expects of the launcher: the application manifest
(common controls 6, asInvoker, DPI awareness, the supported systems), the version resource
(product "Arvo Launcher", the build's file version) and the icon the window class loads
(resource 101). Prints one line per check and "N passed, N failed".

    python3 tests/win32/check_resources.py EXE VERSION_FILE
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


class PEResources:
    """The resource tree of a PE file: {type: {name: bytes}} (the first language of each)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        data = self.data
        if data[:2] != b"MZ":
            raise ValueError("not an executable (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.rsrc_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw))
        self.base = self.offset(self.rsrc_rva) if self.rsrc_rva else None
        self.tree = self.directory(0, 0) if self.base is not None else {}

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x outside every section" % rva)

    def directory(self, at, depth):
        data, base = self.data, self.base
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        entries = {}
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", data, base + (name & 0x7FFFFFFF))[0]
                start = base + (name & 0x7FFFFFFF) + 2
                name = data[start:start + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                entries[name] = self.directory(target & 0x7FFFFFFF, depth + 1)
            else:
                rva, size = struct.unpack_from("<II", data, base + target)
                entries[name] = data[self.offset(rva):self.offset(rva) + size]
        if depth == 2:  # languages: the first one
            return next(iter(entries.values())) if entries else b""
        return entries


def version_strings(blob):
    """VS_VERSIONINFO: the fixed file version (a, b, c, d) and the StringFileInfo values."""
    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", blob, at)
        end_key = at + 6
        while blob[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        key = blob[at + 6:end_key].decode("utf-16-le")
        value_at = (end_key + 2 + 3) & ~3
        return length, value_length, kind, key, value_at

    length, value_length, _, key, value_at = node(0)
    if key != "VS_VERSION_INFO":
        raise ValueError("not a version resource: " + key)
    signature, _, ms, ls = struct.unpack_from("<IIII", blob, value_at)
    if signature != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}

    def walk(at, end):
        while at < end:
            length, value_length, kind, key, value_at = node(at)
            if length == 0:
                break
            if value_length and kind == 1 and key not in ("StringFileInfo",):
                text = blob[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
                strings[key] = text
            else:
                child = (value_at + (2 * value_length if kind == 1 else value_length) + 3) & ~3
                walk(child, at + length)
            at = (at + length + 3) & ~3

    walk((value_at + value_length + 3) & ~3, length)
    return fixed, strings


def main():
    exe, version_file = sys.argv[1], sys.argv[2]
    with open(version_file, encoding="ascii") as f:
        version = f.read().strip()
    results = []

    def check(ok, what):
        results.append(ok)
        print("%s: %s" % ("ok" if ok else "FAILED", what))

    resources = PEResources(exe)
    print("resources of %s (%s): %s" % (exe, {0x14C: "i686", 0x8664: "x86_64"}.get(resources.machine, "?"),
                                         sorted(resources.tree)))

    manifest = resources.tree.get(RT_MANIFEST, {}).get(1, b"")
    check(bool(manifest), "an application manifest (RT_MANIFEST 1)")
    if manifest:
        root = ElementTree.fromstring(manifest)
        identities = [e.attrib for e in root.iter() if e.tag.endswith("assemblyIdentity")]
        check(any(i.get("name") == "Microsoft.Windows.Common-Controls" and i.get("version") == "6.0.0.0"
                  for i in identities), "manifest: common controls version 6")
        levels = [e.attrib.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
        check(levels == ["asInvoker"], "manifest: requestedExecutionLevel asInvoker")
        dpi = [e.text for e in root.iter() if e.tag.endswith("}dpiAware") or e.tag.endswith("}dpiAwareness")]
        check(bool(dpi) and all(t and t.strip() for t in dpi), "manifest: DPI awareness (%s)" % dpi)
        supported = [e.attrib.get("Id") for e in root.iter() if e.tag.endswith("supportedOS")]
        check("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in supported and
              "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}" in supported,
              "manifest: supportedOS from Windows 7 to Windows 10 and 11 (%d entries)" % len(supported))

    version_blob = resources.tree.get(RT_VERSION, {}).get(1, b"")
    check(bool(version_blob), "a version resource (RT_VERSION 1)")
    if version_blob:
        fixed, strings = version_strings(version_blob)
        check(".".join(map(str, fixed)) == version, "file version %s is the build's %s" % (
            ".".join(map(str, fixed)), version))
        check(strings.get("ProductName") == "Arvo Launcher", "ProductName \"%s\"" % strings.get("ProductName"))
        check(strings.get("FileVersion") == version, "FileVersion \"%s\"" % strings.get("FileVersion"))

    group = resources.tree.get(RT_GROUP_ICON, {}).get(101, b"")
    check(bool(group), "the icon group 101 that the window class loads")
    if group:
        count = struct.unpack_from("<H", group, 4)[0]
        icons = resources.tree.get(RT_ICON, {})
        sizes = []
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            image = icons.get(icon_id, b"")
            sizes.append("%dx%d" % (width or 256, height or 256))
            check(len(image) == size and struct.unpack_from("<I", image, 0)[0] in (40, 0x474E5089),
                  "icon image %d (%dx%d, %d bits) is in the file" % (icon_id, width or 256, height or 256, bits))
        check("16x16" in sizes and "32x32" in sizes, "small and large icon sizes (%s)" % ", ".join(sizes))

    passed = sum(1 for ok in results if ok)
    print("resources: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
