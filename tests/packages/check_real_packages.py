#!/usr/bin/env python3
"""Packages made by real tools, unpacked by qv-unpack and compared with bsdtar.

Each package is made at test time from one small source tree (names with and without
accents, an empty folder, an empty file, text that deflates, bytes that do not, files dated
in summer and in winter) with a tool that vendors use: Info-ZIP zip (plain, -fz, streamed
from a pipe), 7-Zip, bsdtar --format zip, Python's zipfile with ZIP64 forced and jar; and
small packages in the layouts of Windows tools that no Debian tool writes: folders stored
as "Root\\EmptyDir\\" (.NET ZipFile, PowerShell Compress-Archive), names in the Unicode path
field (WinZip), entries made on an NTFS host. Each must unpack to exactly what bsdtar
extracts (every file's bytes and time, every folder), or fail with its rule's message and
write nothing where a rule says so; and the packages of tests/two_readings.py, which other tools
would read otherwise, fail whole. `qv-unpack --check` must agree with each outcome.

  check_real_packages.py --work DIR --qv-unpack EXE [--wine-run WINE_RUN]

With --wine-run, EXE is the Windows qv-unpack.exe and runs under Wine (paths as Z:...).
Everything runs with TZ=Europe/Berlin, the Wine environment's zone: DOS times are local.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib
import zipfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import two_readings  # noqa: E402

TZ = "Europe/Berlin"
SUMMER = (2024, 7, 15, 12, 0, 0)
WINTER = (2024, 1, 15, 12, 0, 2)
failures = []


def check(condition, what):
    print(("ok:   " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)


def run(command, cwd=None, stdin=None):
    result = subprocess.run(command, cwd=cwd, input=stdin, capture_output=True, env=dict(os.environ, TZ=TZ))
    if result.returncode != 0:
        raise RuntimeError(f"{command} failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
    return result


def epoch(when):
    return int(time.mktime(when + (0, 0, -1)))


def make_tree(root, accents=True):
    """The source tree every tool packs."""
    shutil.rmtree(root, ignore_errors=True)
    text = "".join(f"linha {i}: instala\u00e7\u00e3o do Quorvex\n" for i in range(6000)).encode()
    noise = zlib.compress(bytes(range(256)) * 64) * 3 + os.urandom(20000)
    files = {
        "Quorvex.exe": (b"MZ" + noise, SUMMER),
        "docs/leia-me.txt": (text, WINTER),
        "docs/vazio.txt": (b"", SUMMER),
        "dados/sub/valores.bin": (bytes(range(256)) * 40, WINTER),
        # Past MAX_PATH below any folder: a deep tree and a folder name of 255 characters,
        # the most one name may have (Linux: 255 bytes, so ASCII).
        "node_modules/" * 24 + "index.js": (b"module.exports = 1;\n", SUMMER),
        "w" * 255 + "/leia.txt": (b"longo\n", WINTER),
    }
    if accents:
        files["Instala\u00e7\u00e3o/caf\u00e9.txt"] = ("acentua\u00e7\u00e3o\n".encode(), SUMMER)
    for name, (content, when) in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)
        os.utime(path, (epoch(when), epoch(when)))
    os.makedirs(os.path.join(root, "vazia"))
    return sorted({name.split("/")[0] for name in files} | {"vazia"})


class RawNameInfo(zipfile.ZipInfo):
    """An entry whose name is stored as the given bytes, without the UTF-8 flag."""

    def __init__(self, raw, when):
        super().__init__(raw.decode("cp437"), when)
        self.raw = raw

    def _encodeFilenameFlags(self):
        return self.raw, self.flag_bits


def dos_info(name, when, attributes=0, system=0):
    info = RawNameInfo(name, when) if isinstance(name, bytes) else zipfile.ZipInfo(name, when)
    info.create_system = system
    info.external_attr = attributes
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def unicode_path_field(utf8_name, raw_name):
    return struct.pack("<HHBI", 0x7075, 5 + len(utf8_name), 1, zlib.crc32(raw_name)) + utf8_name


def ntfs_times_field(when):
    ticks = (epoch(when) + 11644473600) * 10_000_000
    return struct.pack("<HHIHHQQQ", 0x000A, 32, 0, 1, 24, ticks, ticks, ticks)


# ---- the packages: name -> function(work, source) returning (package path, expected failure or None)


def infozip(work, source, top):
    package = os.path.join(work, "infozip.zip")
    run(["zip", "-q", "-r", "-X", package, *top], cwd=source)
    return package


def infozip_fz(work, source, top):
    package = os.path.join(work, "infozip-fz.zip")
    run(["zip", "-q", "-r", "-X", "-fz", package, *top], cwd=source)
    return package


def infozip_streamed(work, source, top):
    # Output to a pipe: data descriptors, sizes after the data.
    package = os.path.join(work, "infozip-streamed.zip")
    with open(package, "wb") as out:
        out.write(run(["zip", "-q", "-r", "-X", "-", *top], cwd=source).stdout)
    return package


def infozip_stdin(work, source, top):
    # Input from a pipe: one entry named "-", forced ZIP64 since its size is unknown.
    package = os.path.join(work, "infozip-stdin.zip")
    run(["zip", "-q", "-fz", package, "-"], cwd=source, stdin=b"streamed input\n" * 5000)
    return package


def sevenzip(work, source, top):
    package = os.path.join(work, "7z.zip")
    run(["7z", "a", "-tzip", "-bd", "-y", package, *top], cwd=source)
    return package


def sevenzip_store(work, source, top):
    package = os.path.join(work, "7z-stored.zip")
    run(["7z", "a", "-tzip", "-mx=0", "-bd", "-y", package, *top], cwd=source)
    return package


def bsdtar_zip(work, source, top):
    package = os.path.join(work, "bsdtar.zip")
    run(["bsdtar", "-cf", package, "--format", "zip", *top], cwd=source)
    return package


def python_zip64(work, source, top):
    package = os.path.join(work, "python-zip64.zip")
    with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
        for folder, dirs, files in sorted(os.walk(source)):
            dirs.sort()
            relative = os.path.relpath(folder, source)
            if relative != ".":
                z.write(folder, relative)
            for name in sorted(files):
                path = os.path.join(folder, name)
                info = zipfile.ZipInfo.from_file(path, os.path.normpath(os.path.join(relative, name)))
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as content, z.open(info, "w", force_zip64=True) as entry:
                    shutil.copyfileobj(content, entry)
    return package


def jar(work, source, top):
    package = os.path.join(work, "jar.zip")
    tool = shutil.which("fastjar") or "jar"
    run([tool, "cfM", package, *top], cwd=source)
    return package


def dotnet_layout(work, source, top):
    """.NET ZipFile.CreateFromDirectory (Framework 4.5) and Compress-Archive: backslashes,
    empty folders as "Root\\EmptyDir\\", MS-DOS host, UTF-8 flag on non-ASCII names."""
    package = os.path.join(work, "dotnet-layout.zip")
    with zipfile.ZipFile(package, "w") as z:
        z.writestr(dos_info("Quorvex.exe", SUMMER, 0x20), b"MZ dotnet")
        z.writestr(dos_info("Root\\EmptyDir\\", SUMMER, 0x10), b"")
        z.writestr(dos_info("Root\\sub\\file.txt", WINTER, 0x20), b"in a sub folder\r\n" * 100)
        z.writestr(dos_info("Root\\Instala\u00e7\u00e3o\\", WINTER, 0x10), b"")
    return package


def winzip_layout(work, source, top):
    """WinZip: the raw name in code page 437 where it can, "?" where it cannot, the real
    name in the Unicode path field (a folder ending in "\\"), NTFS times, NTFS host."""
    package = os.path.join(work, "winzip-layout.zip")
    entries = [
        ("Quorvex.exe", "Quorvex.exe", b"MZ winzip", 0x20),
        ("Pasta\u20ac\\", "Pasta?\\", b"", 0x10),
        ("Pasta\u20ac\\pre\u00e7o.txt", "Pasta?\\pre\x87o.txt", b"ten euros\r\n", 0x21),
    ]
    with zipfile.ZipFile(package, "w") as z:
        for real, raw, content, attributes in entries:
            raw_bytes = raw.encode("latin-1")
            info = dos_info(raw_bytes, WINTER, attributes, system=11)  # NTFS host
            info.extra = unicode_path_field(real.encode(), raw_bytes) + ntfs_times_field(WINTER)
            z.writestr(info, content)
    return package


def unmarked_utf8(work, source, top):
    """Info-ZIP 3.0 on Linux stores UTF-8 names unmarked: they are read as code page 437."""
    package = os.path.join(work, "infozip-unmarked-utf8.zip")
    run(["zip", "-q", "-r", "-X", package, "Instala\u00e7\u00e3o"], cwd=source)
    return package


def question_mark(work, source, top):
    folder = os.path.join(work, "question-source")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in ("Quorvex.exe", "what?.txt"):
        with open(os.path.join(folder, name), "w") as out:
            out.write(name)
    package = os.path.join(work, "7z-question-mark.zip")
    run(["7z", "a", "-tzip", "-bd", "-y", package, "Quorvex.exe", "what?.txt"], cwd=folder)
    return package


def as_cp437(path):
    return path.encode().decode("cp437")


# title, maker, the tree it packs ("accents", or "ascii" for tools that do not mark UTF-8
# names), what to expect: "bsdtar", ("cp437",) for bsdtar's tree with names read as code
# page 437, or ("fail", message)
CASES = [
    ("Info-ZIP zip", infozip, "ascii", "bsdtar"),
    ("Info-ZIP zip -fz", infozip_fz, "ascii", "bsdtar"),
    ("Info-ZIP zip to a pipe", infozip_streamed, "ascii", "bsdtar"),
    ("Info-ZIP zip -fz from a pipe", infozip_stdin, "ascii", "bsdtar"),
    ("7-Zip", sevenzip, "accents", "bsdtar"),
    ("7-Zip stored", sevenzip_store, "accents", "bsdtar"),
    ("bsdtar --format zip", bsdtar_zip, "accents", "bsdtar"),
    ("Python zipfile, ZIP64 forced", python_zip64, "accents", "bsdtar"),
    ("jar", jar, "ascii", "bsdtar"),
    (".NET / PowerShell layout", dotnet_layout, "accents", "bsdtar"),
    ("WinZip layout", winzip_layout, "accents", "bsdtar"),
    ("Info-ZIP unmarked UTF-8", unmarked_utf8, "accents", ("cp437",)),
    ("7-Zip, a name with '?'", question_mark, "accents", ("fail", "the name contains the character '?'")),
]


def tree(root):
    """{relative path: None for a folder, (bytes, mtime) for a file}."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            found[os.path.relpath(os.path.join(folder, name), root)] = None
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as content:
                found[os.path.relpath(path, root)] = (content.read(), int(os.stat(path).st_mtime))
    return found


def describe(difference):
    return ", ".join(sorted(difference)[:6])


class Unpacker:
    def __init__(self, args):
        self.args = args

    def path(self, path):
        return "Z:" + path.replace("/", "\\") if self.args.wine_run else path

    def __call__(self, *arguments):
        command = [self.args.qv_unpack, *[self.path(a) if a.startswith("/") else a for a in arguments]]
        if self.args.wine_run:
            command = [self.args.wine_run] + command
        result = subprocess.run(command, capture_output=True, env=dict(os.environ, TZ=TZ))
        return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--qv-unpack", required=True)
    parser.add_argument("--wine-run")
    args = parser.parse_args()
    os.environ["TZ"] = TZ
    time.tzset()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    sources = {kind: os.path.join(args.work, "source-" + kind) for kind in ("accents", "ascii")}
    tops = {kind: make_tree(folder, accents=kind == "accents") for kind, folder in sources.items()}
    unpack = Unpacker(args)

    for number, (title, maker, kind, expected) in enumerate(CASES):
        print(f"== {title}")
        package = maker(args.work, sources[kind], tops[kind])
        ours = os.path.join(args.work, f"{number}-qv")
        os.makedirs(ours)
        code, _, err = unpack(package, ours)
        check_code, listing, check_err = unpack("--check", package)
        if expected == "bsdtar" or expected[0] == "cp437":
            reference = os.path.join(args.work, f"{number}-bsdtar")
            os.makedirs(reference)
            run(["bsdtar", "-xf", package, "-C", reference])
            want = tree(reference)
            if expected != "bsdtar":
                want = {as_cp437(path): value for path, value in want.items()}
            check(code == 0, f"{title}: unpacks ({err.strip()})")
            got = tree(ours)
            check(set(got) == set(want), f"{title}: the same files and folders as bsdtar "
                                         f"(only ours: {describe(set(got) - set(want))}; "
                                         f"only bsdtar's: {describe(set(want) - set(got))})")
            same = [path for path in set(got) & set(want) if got[path] == want[path]]
            check(len(same) == len(set(got) & set(want)),
                  f"{title}: every file's bytes and time as bsdtar's "
                  f"(differ: {describe(path for path in set(got) & set(want) if got[path] != want[path])})")
            with zipfile.ZipFile(package) as z:
                entries = len(z.infolist())
            check(check_code == 0 and listing.count("\n") == entries + 1,
                  f"{title}: --check passes and lists every entry ({check_code}: {check_err.strip()})")
            # Every entry, folders included, whose path below C:\Quorvex\ passes 259 characters
            # warns; the deep file and the 255-character folder are among them where packed.
            with zipfile.ZipFile(package) as z:
                names = [i.filename.rstrip("/\\") for i in z.infolist()]
            warned = [line for line in check_err.splitlines() if ", over 259:" in line]
            packed_long = any(name.endswith("index.js") for name in names)
            check(len(warned) == sum(len("C:\\Quorvex\\" + name) > 259 for name in names)
                  and (not packed_long or "331 characters as C:\\Quorvex\\" + "node_modules\\" * 24 + "index.js" in check_err),
                  f"{title}: --check warns about each path past 259 characters and no other")
            unmarked = "this name will be read as code page 437" in check_err
            check(unmarked == (expected != "bsdtar"), f"{title}: --check warns exactly about unmarked UTF-8 names")
        else:
            check(code == 1 and expected[1] in err and err.count("\n") == 1,
                  f"{title}: fails with one line saying '{expected[1]}' ({code}: {err.strip()})")
            check(os.listdir(ours) == [], f"{title}: nothing written")
            check(check_code == 1 and expected[1] in check_err, f"{title}: --check fails the same way")

    # What other tools would read otherwise is refused whole, by --check too.
    for number, (title, data, message) in enumerate(two_readings.cases()):
        print(f"== {title}")
        package = os.path.join(args.work, f"two-readings-{number}.zip")
        with open(package, "wb") as out:
            out.write(data)
        ours = os.path.join(args.work, f"two-readings-{number}")
        os.makedirs(ours)
        code, _, err = unpack(package, ours)
        check(code == 1 and message in err and err.count("\n") == 1,
              f"{title}: fails with one line saying '{message}' ({code}: {err.strip()})")
        check(os.listdir(ours) == [], f"{title}: nothing written")
        check_code, _, check_err = unpack("--check", package)
        check(check_code == 1 and message in check_err, f"{title}: --check fails the same way")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("real packages: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
