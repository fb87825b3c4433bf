#!/usr/bin/env python3
"""The installer that ships, checked as a file: what Windows reads from its headers and
resources before a line of it runs.

- PE32 for i386, GUI subsystem, large-address-aware (large packages beside the rest of a 32-bit
  process), relocatable with data execution prevention;
- imports only libraries that Windows maps from System32 whatever folder the program is in
  (KnownDLLs): anything else would be looked for beside it first, in a downloads folder;
- the manifest embedded is the repository's (per-monitor DPI v2 with "true/pm" for older
  systems, common controls 6, asInvoker);
- the version resource carries the configured numbers and the repository's texts.

  check-executable.py PROGRAM.exe --manifest resources/QuorvexInstall.manifest --version 2.4.0.0
  check-executable.py --self-test PROGRAM.exe --manifest ... --version ...
      (each check must fail on a copy of PROGRAM spoiled for it)
"""
import argparse
import os
import struct
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
LARGE_ADDRESS_AWARE = 0x20
SUBSYSTEM_GUI = 2
DYNAMIC_BASE = 0x40
NX_COMPAT = 0x100
RT_VERSION = 16
RT_MANIFEST = 24
# KnownDLLs on every Windows from 7 on.
KNOWN_DLLS = {"advapi32", "clbcatq", "comdlg32", "gdi32", "imagehlp", "imm32", "kernel32", "msctf", "msvcrt",
              "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost", "setupapi", "shell32",
              "shlwapi", "user32", "wldap32", "ws2_32"}
VERSION_TEXTS = {"CompanyName": "Quorvex", "FileDescription": "Quorvex installer", "InternalName": "QuorvexInstall",
                 "OriginalFilename": "QuorvexInstall.exe", "ProductName": "Quorvex"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        self.optional = self.pe + 24
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        if self.magic != PE32_MAGIC:
            raise ValueError(f"optional header magic {self.magic:#x}, not PE32")
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, self.optional + 68)
        self.directories = [struct.unpack_from("<II", data, self.optional + 96 + 8 * i) for i in range(16)]
        self.sections = []
        table = self.optional + optional_size
        for i in range(sections):
            _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(self, rva):
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError(f"address {rva:#x} is in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, size = self.directories[1]
        names, at = [], self.offset(rva) if size else None
        while at is not None:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunks):
                break
            names.append(self.text(name))
            at += 20
        return names

    def resource(self, kind, ident=None):
        """The first resource of a type (and id): its bytes, or None."""
        rva, size = self.directories[2]
        if not size:
            return None
        base = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield name, target

        def first_leaf(target):
            while target & 0x80000000:
                target = next(entries(target & 0x7FFFFFFF))[1]
            data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
            start = self.offset(data_rva)
            return self.data[start:start + data_size]

        for name, target in entries(0):
            if name == kind and target & 0x80000000:
                for item, leaf in entries(target & 0x7FFFFFFF):
                    if ident is None or item == ident:
                        return first_leaf(leaf)
        return None


def version_info(block):
    """(fixed file version numbers, {string name: value}) of a VS_VERSIONINFO block."""
    strings, fixed = {}, None

    def walk(at, end):
        nonlocal fixed
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            if key == "VS_VERSION_INFO" and value_length >= 52:
                signature, _, ms, ls = struct.unpack_from("<IIII", block, value_at)
                if signature == 0xFEEF04BD:
                    fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            if kind == 1 and value_length and key not in ("VS_VERSION_INFO",):
                raw = block[value_at:value_at + 2 * value_length].decode("utf-16-le")
                strings[key] = raw.rstrip("\0")
                children = (value_at + 2 * value_length + 3) & ~3
            else:
                children = (value_at + value_length + 3) & ~3
            walk(children, at + length)
            at = (at + length + 3) & ~3

    walk(0, len(block))
    return fixed, strings


def canonical(xml_bytes):
    root = ElementTree.fromstring(xml_bytes)
    for element in root.iter():
        element.text = (element.text or "").strip() or None
        element.tail = None
    return ElementTree.tostring(root)


def check(data, manifest_path, version):
    """The list of what is wrong with the executable's bytes; empty when nothing is."""
    problems = []
    try:
        image = Image(data)
    except (ValueError, struct.error) as error:
        return [f"not a PE32 executable: {error}"]
    if image.machine != MACHINE_I386:
        problems.append(f"machine {image.machine:#x}, not i386")
    if not image.characteristics & LARGE_ADDRESS_AWARE:
        problems.append("not large-address-aware")
    if image.subsystem != SUBSYSTEM_GUI:
        problems.append(f"subsystem {image.subsystem}, not the GUI")
    for flag, name in ((DYNAMIC_BASE, "relocatable (dynamic base)"), (NX_COMPAT, "NX compatible")):
        if not image.dll_characteristics & flag:
            problems.append(f"not {name}")
    imports = image.imports()
    if not imports:
        problems.append("no imports read")
    unknown = [name for name in imports if name.lower().removesuffix(".dll") not in KNOWN_DLLS]
    if unknown:
        problems.append(f"imports libraries that are looked for beside it first: {', '.join(unknown)}")

    manifest = image.resource(RT_MANIFEST, 1)
    if manifest is None:
        problems.append("no manifest (RT_MANIFEST 1)")
    else:
        with open(manifest_path, "rb") as source:
            if canonical(manifest) != canonical(source.read()):
                problems.append("the embedded manifest is not the repository's")
        text = manifest.decode("utf-8", "replace")
        for needed in ("PerMonitorV2", "true/pm", 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                       'level="asInvoker"'):
            if needed not in " ".join(text.split()):
                problems.append(f"the manifest lacks {needed}")

    block = image.resource(RT_VERSION)
    if block is None:
        problems.append("no version resource")
    else:
        fixed, strings = version_info(block)
        wanted = tuple(int(part) for part in (version.split(".") + ["0"])[:4])
        if fixed != wanted:
            problems.append(f"file version {fixed}, configured {wanted}")
        text = ".".join(map(str, wanted))
        for name, value in dict(VERSION_TEXTS, FileVersion=text, ProductVersion=text).items():
            if strings.get(name) != value:
                problems.append(f"version text {name} is {strings.get(name)!r}, not {value!r}")
    return problems


def spoiled_copies(data):
    """(what is spoiled, bytes) for the self-test: each must fail the check."""
    image = Image(data)

    def patched(offset, fmt, value):
        copy = bytearray(data)
        struct.pack_into(fmt, copy, offset, value)
        return bytes(copy)

    manifest_rva = image.resource(RT_MANIFEST, 1)
    yield "not large-address-aware", patched(image.pe + 22, "<H", image.characteristics & ~LARGE_ADDRESS_AWARE)
    yield "for another machine", patched(image.pe + 4, "<H", 0x8664)
    yield "a console program", patched(image.optional + 68, "<H", 3)
    yield "without NX", patched(image.optional + 70, "<H", image.dll_characteristics & ~NX_COMPAT)
    yield "PE32+", patched(image.optional, "<H", 0x20B)
    if manifest_rva is not None:
        at = data.find(b"asInvoker")
        yield "asking for elevation", data[:at] + b"requireAdministrator"[:len(b"asInvoker")] + data[at + 9:]
    first_import = image.offset(struct.unpack_from("<I", data, image.offset(image.directories[1][0]) + 12)[0])
    length = data.index(b"\0", first_import) - first_import
    yield "importing a library from beside it", (data[:first_import] + b"version.dll".ljust(length, b"\0")[:length] +
                                                 data[first_import + length:])
    at = data.find("Quorvex installer".encode("utf-16-le"))
    yield "another file description", data[:at] + "Qvorvex installer".encode("utf-16-le") + data[at + 34:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    with open(args.program, "rb") as program:
        data = program.read()
    problems = check(data, args.manifest, args.version)
    for problem in problems:
        print("FAIL:", problem)
    if problems:
        return 1
    print(f"{os.path.basename(args.program)}: PE32 i386 GUI, large-address-aware, NX, dynamic base; "
          f"imports {', '.join(sorted(set(n.lower() for n in Image(data).imports())))}; "
          f"the repository's manifest; version {args.version}")
    if args.self_test:
        missed = []
        for what, copy in spoiled_copies(data):
            found = check(copy, args.manifest, args.version)
            print(("caught: " if found else "MISSED: ") + what + (f" ({found[0]})" if found else ""))
            if not found:
                missed.append(what)
        if missed:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
