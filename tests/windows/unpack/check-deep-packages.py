#!/usr/bin/env python3
"""Deep packages under Wine: paths far past MAX_PATH and a folder name of 255 characters.

Packages made by Info-ZIP zip and Python's zipfile from one tree shaped like a Node-style
application (node_modules nested in node_modules); qv-unpack.exe must write every file with
its bytes, `qv-unpack --check` must warn about each path over 259 characters, and a link
deep in such a path is still refused with nothing written through it.

  check-deep-packages.py --work DIR --qv-unpack EXE --wine-run WINE_RUN
"""
import argparse
import os
import shutil
import subprocess
import sys
import zipfile

failures = []


def check(condition, what):
    print(("ok:   " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def deep_tree(root):
    """Relative path -> bytes: a chain of packages 300+ characters deep, and a 255-character
    folder name."""
    files = {"Quorvex.exe": b"MZ deep application"}
    chain = "app"
    for depth in range(9):
        chain += f"/node_modules/@quorvex-scope/pacote-com-nome-bem-longo-{depth}"
    files[chain + "/package.json"] = b'{"name": "deepest"}\n'
    files[chain + "/lib/index.js"] = ("module.exports = 'instala\u00e7\u00e3o';\n" * 50).encode()
    files[("p" * 250) + "-long/" + "nome.txt"] = b"a folder name of 255 characters\n"
    shutil.rmtree(root, ignore_errors=True)
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    return files, chain


def make_packages(work, tree):
    packages = {}
    packages["zip"] = os.path.join(work, "deep-zip.zip")
    subprocess.run(["zip", "-q", "-r", "-X", packages["zip"], "."], cwd=tree, check=True)
    packages["python"] = os.path.join(work, "deep-python.zip")
    with zipfile.ZipFile(packages["python"], "w", zipfile.ZIP_DEFLATED) as package:
        for folder, _, names in os.walk(tree):
            for name in sorted(names):
                path = os.path.join(folder, name)
                package.write(path, os.path.relpath(path, tree))
    return packages


def run(wine_run, *command):
    result = subprocess.run([wine_run, *command], capture_output=True)
    return result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--qv-unpack", required=True)
    parser.add_argument("--wine-run", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    files, chain = deep_tree(os.path.join(args.work, "tree"))
    longest = max(len("C:\\Quorvex\\" + name) for name in files)
    check(longest > 300, f"the deepest path is {longest} characters below C:\\Quorvex\\")
    packages = make_packages(args.work, os.path.join(args.work, "tree"))

    for tool, package in packages.items():
        out = os.path.join(args.work, "out-" + tool)
        code, _, err = run(args.wine_run, args.qv_unpack, wine_path(package), wine_path(out))
        check(code == 0, f"{tool}: the deep package unpacks ({code}: {err.strip()})")
        for name, data in files.items():
            path = os.path.join(out, name)
            written = open(path, "rb").read() if os.path.exists(path) else None
            check(written == data, f"{tool}: {len(os.path.abspath(path))}-character host path {name[:40]}... written")

        code, listing, err = run(args.wine_run, args.qv_unpack, "--check", wine_path(package))
        warned = [line for line in err.splitlines() if "over 259" in line]
        over = [name for name in files if len("C:\\Quorvex\\" + name) > 259]
        check(code == 0, f"{tool}: --check passes the package ({code})")
        check(all(any(name.replace("/", "\\") in line for line in warned) for name in over) and
              len([line for line in warned if "Quorvex.exe" in line]) == 0,
              f"{tool}: --check warns about each of the {len(over)} long paths and nothing else ({warned})")

    # A link deep in a long path: the folder at 280 characters leads elsewhere.
    out = os.path.join(args.work, "out-link")
    elsewhere = os.path.join(args.work, "elsewhere")
    os.makedirs(elsewhere)
    parts = chain.split("/")
    depth = next(i for i in range(len(parts)) if len("\\".join(parts[:i + 1])) > 280)
    linked = os.path.join(out, *parts[:depth + 1])
    os.makedirs(os.path.dirname(linked))
    os.symlink(elsewhere, linked)
    code, _, err = run(args.wine_run, args.qv_unpack, wine_path(packages["zip"]), wine_path(out))
    check(code == 1 and "link" in err, f"a link {len(chr(92).join(parts[:depth + 1]))} characters deep is refused "
                                       f"({code}: {err.strip()})")
    check(os.listdir(elsewhere) == [], f"nothing written through it ({os.listdir(elsewhere)})")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("deep packages: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
