#!/usr/bin/env python3
"""qv-publish against a live storage folder: every package the installer would refuse is refused
with a message naming the fault, and the live release, its kept previous release and the folder
stay byte for byte as they were; a good package goes live with the old one kept as
NAME.previous, and --restore brings that back (and again the other way).

Packages come from real tools (Info-ZIP zip, Python's zipfile), keys from openssl, signatures
from qv-sign.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import signing  # noqa: E402
from harness import Checks  # noqa: E402

check = Checks()
NAME = "Quorvex_2.4.0_x86.zip"
I386, AMD64 = 0x014C, 0x8664


def executable(machine, filler=b""):
    """The head of a Windows program for a processor: an MZ header pointing at a PE header."""
    return b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" + struct.pack("<H", machine) + filler


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def python_zip(path, entries):
    """entries: (name, bytes); deflated, names as given (none is cleaned up)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, (2024, 5, 1, 12, 0, 0)), data)
    return path


def release(work, label, machine=I386, name=NAME):
    """A release made by Info-ZIP zip: Quorvex.exe and a data file that differs per label."""
    source = os.path.join(work, "source-" + label)
    write(os.path.join(source, "Quorvex.exe"), executable(machine, label.encode() * 5000))
    write(os.path.join(source, "data", "table.bin"), os.urandom(300_000))
    path = os.path.join(work, label, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(["zip", "-qr", "-X", path, "."], cwd=source, check=True)
    return path


def damaged(work):
    """A stored entry with one byte changed: its CRC-32 no longer matches."""
    path = os.path.join(work, "damaged", NAME)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("Quorvex.exe", executable(I386))
        z.writestr("data.bin", b"A" * 100_000)
    data = bytearray(read(path))
    data[data.index(b"A" * 100) + 50_000] ^= 0x01
    write(path, bytes(data))
    return path


class Tool:
    def __init__(self, binary):
        self.binary = binary

    def __call__(self, *arguments):
        result = subprocess.run([self.binary, *arguments], capture_output=True)
        return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def snapshot(folder):
    return {name: read(os.path.join(folder, name)) for name in sorted(os.listdir(folder))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--qv-publish", required=True)
    parser.add_argument("--qv-sign", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    publish, sign = Tool(args.qv_publish), Tool(args.qv_sign)
    vendor = signing.make_key(os.path.join(args.work, "keys"), "vendor")
    stranger = signing.make_key(os.path.join(args.work, "keys"), "stranger")
    live_folder = os.path.join(args.work, "storage", "server_files", "updates")
    os.makedirs(live_folder)
    live = os.path.join(live_folder, NAME)

    def signed(path, key):
        code, _, err = sign("--key", key[0], path)
        assert code == 0, err
        return path

    def signed_for(path, key, name):
        code, _, err = sign("--key", key[0], "--name", name, path)
        assert code == 0, err
        return path

    # Two releases, the first live and the second published over it, so both a live file and a
    # kept previous one are there for the refusals to leave alone.
    first = signed(release(args.work, "first"), vendor)
    second = signed(release(args.work, "second"), vendor)
    for package in (first, second):
        code, out, err = publish("--key", vendor[1], package, live_folder)
        check(code == 0 and out.startswith("published "), f"a good signed package is published: {out}{err}")
    check(read(live) == read(second) and read(live + ".previous") == read(first),
          "the live file is the new release, the one it replaced is kept as NAME.previous")

    no_key = ()
    with_key = ("--key", vendor[1])
    refused = [
        # (label, package, options, what the message must name)
        ("a damaged entry (CRC-32)", damaged(args.work), no_key, "CRC"),
        ("a refused entry name", python_zip(os.path.join(args.work, "dotdot", NAME),
                                            [("Quorvex.exe", executable(I386)), ("../outside.txt", b"x")]), no_key,
         "outside.txt"),
        ("not a ZIP", write(os.path.join(args.work, "notzip", NAME), os.urandom(5000)), no_key, "not a ZIP"),
        ("a file name the installer never asks for", release(args.work, "noarch", name="Quorvex_2.4.0.zip"), no_key,
         "_x64.zip or <release>_x86.zip"),
        ("x64 content under the _x86 name", release(args.work, "wrongarch", machine=AMD64), no_key,
         "not a 32-bit x86 program"),
        ("no Quorvex.exe", python_zip(os.path.join(args.work, "noexe", NAME), [("readme.txt", b"hello")]), no_key,
         "no Quorvex.exe"),
        ("unsigned, with a key", release(args.work, "unsigned"), with_key, "signature"),
        ("signed by an unknown key", signed(release(args.work, "stranger"), stranger), with_key,
         "none of which is one of this installer's"),
        ("a threshold that one signature cannot meet", signed(release(args.work, "threshold"), vendor),
         ("--key", vendor[1], "--key", stranger[1], "--threshold", "2"), "too few"),
        ("signed for another release", signed_for(release(args.work, "otherrelease"), vendor, "Quorvex_2.3.0_x86.zip"),
         with_key, "signed for Quorvex_2.3.0_x86.zip, not for " + NAME),
    ]
    for label, package, options, fault in refused:
        before = snapshot(live_folder)
        code, out, err = publish(*options, package, live_folder)
        check(code == 1 and fault in err and ("is left as it was" in err or "nothing was published" in err) and err.count("\n") == 1,
              f"refused, naming the fault: {label}: {err.strip()}")
        check(snapshot(live_folder) == before, f"the live folder is byte for byte as it was: {label}")

    code, out, err = publish("--restore", NAME, live_folder)
    check(code == 0 and read(live) == read(first) and read(live + ".previous") == read(second),
          f"--restore brings the previous release back and keeps the taken-back one: {out}{err}")
    code, out, err = publish("--restore", NAME, live_folder)
    check(code == 0 and read(live) == read(second), "a second --restore undoes the first")
    code, out, err = publish("--restore", "Quorvex_9.9.9_x86.zip", live_folder)
    check(code == 1 and "nothing to restore" in err, f"--restore without a previous release is refused: {err.strip()}")
    check(oct(os.stat(live).st_mode & 0o777) == "0o644", "the published file is readable by the service's user")

    # Two distinct keys meet a threshold of two (qv-sign adds the second signature).
    both = signed(signed(release(args.work, "both"), vendor), stranger)
    code, out, err = publish("--key", vendor[1], "--key", stranger[1], "--threshold", "2", both, live_folder)
    check(code == 0 and read(live) == read(both), f"a package signed by two keys meets a threshold of two: {out}{err}")

    if check.failures:
        print(f"{len(check.failures)} failed")
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
