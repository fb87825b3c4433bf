#!/usr/bin/env python3
"""Writes the unpack benchmark's package, the same bytes every time (fixed seed): one
60 MB semi-compressible executable, eight 8 MB libraries, 50 MB of incompressible media
(stored, as a packager would) and about 2,000 text files of 0.2 to 40 KB. With APPLICATION,
the executable begins with that program's bytes (the rest stays behind it, where the program
loader ignores it), so that the installed package can be started.
With --empty-entries N: N empty files in folders of 1,000 instead (memory per entry).
Usage: make-package.py [--empty-entries N] OUTPUT.zip [APPLICATION.exe]"""
import random
import sys
import zipfile

MB = 1 << 20
SEED = 20261210
WHEN = (2026, 1, 2, 3, 4, 6)


def machine_code(rng, size):
    """Bytes that deflate to roughly half: runs of tokens from a small vocabulary,
    random stretches and a few zero runs, as in an executable."""
    vocabulary = [rng.randbytes(rng.randint(2, 8)) for _ in range(512)]
    out = bytearray()
    while len(out) < size:
        kind = rng.random()
        if kind < 0.30:
            out += rng.randbytes(16384)
        elif kind < 0.93:
            out += b"".join(rng.choices(vocabulary, k=3000))
        else:
            out += bytes(rng.randint(256, 8192))
    return bytes(out[:size])


def text(rng, words, size):
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choices(words, k=rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out)[:size].encode()


def empty_entries(path, count):
    with zipfile.ZipFile(path, "w") as z:
        for i in range(count):
            entry = zipfile.ZipInfo(f"d{i // 1000:03d}/{i % 1000:03d}", WHEN)
            entry.create_system = 0
            z.writestr(entry, b"")


def main():
    if sys.argv[1] == "--empty-entries":
        empty_entries(sys.argv[3], int(sys.argv[2]))
        return
    rng = random.Random(SEED)
    words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 10))) for _ in range(3000)]

    def info(name, method=zipfile.ZIP_DEFLATED):
        entry = zipfile.ZipInfo(name, WHEN)
        entry.compress_type = method
        entry.create_system = 0
        entry.external_attr = 0x20
        return entry

    with zipfile.ZipFile(sys.argv[1], "w", compresslevel=6) as z:
        executable = machine_code(rng, 60 * MB)
        if len(sys.argv) > 2:
            with open(sys.argv[2], "rb") as application:
                program = application.read()
            executable = program + executable[len(program):]
        z.writestr(info("Quorvex.exe"), executable)
        for i in range(8):
            z.writestr(info(f"lib/module{i}.dll"), machine_code(rng, 8 * MB))
        for i in range(5):
            z.writestr(info(f"media/clip{i}.bin", zipfile.ZIP_STORED), rng.randbytes(10 * MB))
        for i in range(1986):
            size = int(200 * (200 ** rng.random()))  # 0.2 to 40 KB, log-uniform
            z.writestr(info(f"docs/section{i % 40:02d}/page{i:04d}.txt"), text(rng, words, size))


if __name__ == "__main__":
    main()
