#!/usr/bin/env python3
"""Signed packages against qv-unpack --key, which checks them as the installer does (OpenSSL
natively, CNG under Wine with --wine-run):
- packages made by real tools (Info-ZIP zip, zip -fz for ZIP64, 7-Zip, Python's zipfile), signed
  with openssl's command line, unpack; the same packages changed after signing are refused with
  the reason and write nothing;
- qv-sign's signatures verify with openssl dgst -verify, and qv-sign refuses what it must,
  leaving the package as it was;
- two keys (a rotation) each verify, and --check names the one that signed;
- with --cmake, the build option refuses files that are not P-256 public keys.
"""
import argparse
import base64
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import signing  # noqa: E402
from harness import Checks  # noqa: E402

check = Checks()


def run(command, cwd=None):
    return subprocess.run(command, cwd=cwd, capture_output=True, check=True).stdout


class QvUnpack:
    def __init__(self, args):
        self.args = args

    def __call__(self, *arguments):
        def path(a):
            return "Z:" + a.replace("/", "\\") if self.args.wine_run and a.startswith("/") else a
        command = [self.args.qv_unpack, *map(path, arguments)]
        if self.args.wine_run:
            command = [self.args.wine_run] + command
        result = subprocess.run(command, capture_output=True)
        return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def tree(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as content:
                found[os.path.relpath(path, root)] = content.read()
    return found


def make_source(root):
    os.makedirs(os.path.join(root, "docs"), exist_ok=True)
    with open(os.path.join(root, "Quorvex.exe"), "wb") as f:
        f.write(b"MZ" + bytes(range(256)) * 40)
    with open(os.path.join(root, "docs", "leia-me.txt"), "wb") as f:
        f.write("Instala\u00e7\u00e3o conclu\u00edda.\r\n".encode() * 200)
    return ["Quorvex.exe", "docs"]


def tool_packages(work, source, top):
    """(title, unsigned package path) made by each tool."""
    made = []

    def add(title, name, command):
        package = os.path.join(work, name)
        if os.path.exists(package):
            os.remove(package)
        run(command(package), cwd=source)
        made.append((title, package))
    add("Info-ZIP zip", "infozip.zip", lambda p: ["zip", "-q", "-r", "-X", p, *top])
    add("Info-ZIP zip -fz (ZIP64)", "infozip-fz.zip", lambda p: ["zip", "-q", "-r", "-X", "-fz", p, *top])
    add("7-Zip", "7z.zip", lambda p: ["7z", "a", "-tzip", "-bd", "-bso0", p, *top])
    package = os.path.join(work, "python.zip")
    with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
        for folder, _, files in os.walk(source):
            for name in files:
                path = os.path.join(folder, name)
                z.write(path, os.path.relpath(path, source))
    made.append(("Python zipfile", package))
    return made


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def check_tools(args, unpack, keys, source, top):
    for title, package in tool_packages(args.work, source, top):
        with open(package, "rb") as f:
            signed = signing.sign(f.read(), *keys)
        write(package, signed)
        out = os.path.join(args.work, "out-" + os.path.basename(package))
        code, _, err = unpack("--key", keys[1], package, out)
        check(code == 0 and tree(out) == tree(source), f"{title}, signed with openssl dgst: unpacks whole ({err.strip()})")


def check_table(args, unpack, keys, other):
    plain = os.path.join(args.work, "plain.zip")
    with zipfile.ZipFile(plain, "w") as z:
        z.writestr("Quorvex.exe", b"MZ" + bytes(300))
        z.writestr("docs/leia-me.txt", b"ola " * 500, zipfile.ZIP_DEFLATED)
    with open(plain, "rb") as f:
        cases = signing.tamper_cases(f.read(), keys, other)
    for number, (title, data, verdict) in enumerate(cases):
        package = os.path.join(args.work, f"case-{number}.zip")
        write(package, data)
        out = os.path.join(args.work, f"case-{number}-out")
        code, listing, err = unpack("--check", "--key", keys[1], package)
        if verdict is None:
            check(code == 0 and f"signed by key {signing.key_id(keys[1])}" in listing,
                  f"{title}: accepted, and --check names the key ({err.strip()})")
            code, _, err = unpack("--key", keys[1], package, out)
            check(code == 0 and sorted(tree(out)) == ["Quorvex.exe", os.path.join("docs", "leia-me.txt")],
                  f"{title}: unpacks ({err.strip()})")
        else:
            check(code == 1 and signing.MESSAGES[verdict] in err, f"{title}: refused as {verdict} ({err.strip()})")
            code, _, err = unpack("--key", keys[1], package, out)
            check(code == 1 and not os.path.exists(out), f"{title}: unpacking writes nothing ({err.strip()})")

    # The vendor's own package may hold an end record's bytes, signature text included, inside
    # a file within the comment's reach: the record nearest the end is the one both read.
    planted = os.path.join(args.work, "planted.zip")
    with open(os.path.join(args.work, "case-0.zip"), "rb") as f:
        decoy = f.read()[-200:]
    with zipfile.ZipFile(planted, "w") as z:
        z.writestr("Quorvex.exe", b"MZ" + bytes(100))
        z.writestr("dados/registro.bin", b"\0" * 64 + signing.END + decoy)
    with open(planted, "rb") as f:
        write(planted, signing.sign(f.read(), *keys))
    out = os.path.join(args.work, "planted-out")
    code, _, err = unpack("--key", keys[1], planted, out)
    check(code == 0 and os.path.getsize(os.path.join(out, "dados", "registro.bin")) == 68 + len(decoy),
          f"an end record planted inside a signed file's data: the real one counts ({err.strip()})")


def check_signer(args, unpack, keys, other):
    qv_sign = args.qv_sign
    result = subprocess.run([qv_sign, "--public", keys[0]], capture_output=True, text=True)
    check(result.returncode == 0 and f"key id: {signing.key_id(keys[1])}" in result.stdout and
          "-----BEGIN PUBLIC KEY-----" in result.stdout, "qv-sign --public prints the PEM key and openssl's key id")
    printed = os.path.join(args.work, "printed.pub")
    write(printed, result.stdout.encode())

    package = os.path.join(args.work, "by-qv-sign.zip")
    with zipfile.ZipFile(package, "w") as z:
        z.comment = b"made by a tool that leaves a comment"
        z.writestr("Quorvex.exe", b"MZ" + bytes(64))
    with open(package, "rb") as f:
        before = f.read()
    result = subprocess.run([qv_sign, "--key", keys[0], package], capture_output=True, text=True)
    with open(package, "rb") as f:
        check(result.returncode == 1 and "already has a comment" in result.stderr and f.read() == before,
              f"a package with a comment is refused without --replace and left as it was ({result.stderr.strip()})")
    result = subprocess.run([qv_sign, "--key", keys[0], "--replace", package], capture_output=True, text=True)
    check(result.returncode == 0, f"--replace signs it ({result.stderr.strip()})")
    leftovers = [name for name in os.listdir(args.work) if ".qv-sign-" in name]
    check(leftovers == [], f"no temporary file stays beside it ({leftovers})")

    # The other way round: openssl verifies what qv-sign wrote.
    with open(package, "rb") as f:
        data = f.read()
    end = signing.end_record(data)
    comment = data[end + 22:].decode()
    tag, kid, text = comment.split(" ")
    der = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    write(os.path.join(args.work, "signature.der"), der)
    write(os.path.join(args.work, "covered.bin"), data[:end + 20])
    verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", keys[1], "-signature",
                               os.path.join(args.work, "signature.der"), os.path.join(args.work, "covered.bin")],
                              capture_output=True, text=True)
    check(tag == "QVSIG1" and kid == signing.key_id(keys[1]) and verified.stdout.strip() == "Verified OK",
          f"openssl dgst -verify accepts qv-sign's signature ({verified.stdout.strip()} {verified.stderr.strip()})")
    code, listing, err = unpack("--check", "--key", other[1], "--key", printed, package)
    check(code == 0 and f"signed by key {kid} (" in listing and "printed.pub" in listing,
          f"with two keys, the one that signed is named ({err.strip()})")
    code, _, err = unpack("--check", "--key", other[1], package)
    check(code == 1 and signing.MESSAGES["unknown-key"] in err, f"a key that did not sign is refused ({err.strip()})")

    for name, make in (("p384", ["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out"]),
                       ("rsa", ["openssl", "genrsa", "-out"])):
        key = os.path.join(args.work, name + ".pem")
        run(make + [key] + (["2048"] if name == "rsa" else []))
        result = subprocess.run([qv_sign, "--key", key, "--replace", package], capture_output=True, text=True)
        with open(package, "rb") as f:
            check(result.returncode == 1 and "is not a P-256 (prime256v1) key" in result.stderr and f.read() == data,
                  f"a {name} key is refused and the package left as it was ({result.stderr.strip()})")
    not_zip = os.path.join(args.work, "not-a-package.bin")
    write(not_zip, b"nothing like a package" * 10)
    result = subprocess.run([qv_sign, "--key", keys[0], not_zip], capture_output=True, text=True)
    check(result.returncode == 1 and "is not a ZIP package" in result.stderr, f"a file that is no package is refused ({result.stderr.strip()})")
    code, _, err = unpack("--check", "--key", keys[0], package)
    check(code == 1 and "holds a private key" in err, f"qv-unpack refuses a private key given as the key ({err.strip()})")

    # Files that cannot be read whole: each tool says which and why, and changes nothing.
    missing = os.path.join(args.work, "missing.pub")
    folder = os.path.join(args.work, "a-folder.pub")
    os.makedirs(folder, exist_ok=True)
    for title, arguments, said in (("a missing key", ["--key", missing, package], ["Cannot open", "missing.pub"]),
                                   ("a folder as the key", ["--key", folder, package], ["a-folder.pub"]),
                                   ("a missing package", [missing], ["Cannot open", "missing.pub"])):
        code, _, err = unpack("--check", *arguments)
        check(code == 1 and all(text in err for text in said) and ("Cannot open" in err or "Cannot read" in err),
              f"qv-unpack refuses {title}, naming it ({err.strip()})")
    with open(package, "rb") as f:
        before = f.read()
    for title, target, said in (("a missing package", missing, "Cannot open"), ("a folder", folder, "Cannot read")):
        result = subprocess.run([qv_sign, "--key", keys[0], "--replace", target], capture_output=True, text=True)
        check(result.returncode == 1 and said in result.stderr and os.path.basename(target) in result.stderr,
              f"qv-sign refuses {title}, naming it ({result.stderr.strip()})")
    with open(package, "rb") as f:
        check(f.read() == before, "the signed package is left as it was")


def check_cmake_option(args, keys):
    project = os.path.join(args.work, "key-option")
    os.makedirs(project, exist_ok=True)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
        f.write("cmake_minimum_required(VERSION 3.25)\nproject(KeyOption NONE)\n"
                f"include({args.source}/cmake/QuorvexPackageKeys.cmake)\n"
                "quorvex_package_keys_source(${CMAKE_BINARY_DIR}/keys.cpp ${QUORVEX_PACKAGE_KEYS})\n")
    p384 = os.path.join(args.work, "p384.pem")
    p384_public = os.path.join(args.work, "p384.pub")
    run(["openssl", "ec", "-in", p384, "-pubout", "-out", p384_public])
    second = signing.make_key(os.path.join(args.work, "keys"), "second")
    cases = [
        ("a P-384 public key", [p384_public], "is not a P-256 (prime256v1) public key"),
        ("a private key", [keys[0]], "is not a PEM public key"),
        ("a missing file", [os.path.join(args.work, "missing.pub")], "no such file"),
        ("two P-256 keys", [keys[1], second[1]], None),
    ]
    for number, (title, files, message) in enumerate(cases):
        build = os.path.join(args.work, f"key-option-{number}")
        shutil.rmtree(build, ignore_errors=True)
        result = subprocess.run(["cmake", "-S", project, "-B", build, "-DQUORVEX_PACKAGE_KEYS=" + ";".join(files)],
                                capture_output=True, text=True)
        said = " ".join(result.stderr.split())  # cmake wraps its messages
        if message:
            check(result.returncode != 0 and message in said, f"cmake refuses {title} ({said[:200]})")
        else:
            with open(os.path.join(build, "keys.cpp")) as f:
                text = f.read()
            check(result.returncode == 0 and all(f"// {signing.key_id(pub)}: " in text for pub in files),
                  f"cmake embeds {title} under their key ids ({result.stderr.strip()})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--qv-unpack", required=True)
    parser.add_argument("--qv-sign", required=True)
    parser.add_argument("--wine-run")
    parser.add_argument("--source", help="the source tree: also check the build option")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    if not os.access(args.qv_sign, os.X_OK):
        print(f"FAIL: qv-sign is not built: {args.qv_sign} (cmake --build --preset native)")
        return 1
    keys = signing.make_key(os.path.join(args.work, "keys"), "vendor")
    other = signing.make_key(os.path.join(args.work, "keys"), "other")
    unpack = QvUnpack(args)
    source = os.path.join(args.work, "source")
    top = make_source(source)
    check_tools(args, unpack, keys, source, top)
    check_table(args, unpack, keys, other)
    check_signer(args, unpack, keys, other)
    if args.source:
        check_cmake_option(args, keys)
    if check.failures:
        print(f"{len(check.failures)} failed")
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
