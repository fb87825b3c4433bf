#!/usr/bin/env python3
"""Signed packages against qv-unpack --key, which checks them as the installer does (OpenSSL
natively, CNG under Wine with --wine-run):
- packages made by real tools (Info-ZIP zip, zip -fz for ZIP64, 7-Zip, bsdtar, Python's zipfile,
  jar), signed with openssl's command line for the package file name, unpack; the same packages
  changed after signing, signed for another release or architecture or in the old unbound form
  are refused with the reason and write nothing; with two keys and a threshold of 2, one
  signature, or one key twice, is not enough;
- qv-sign checks and lists what it signs, its signatures verify with openssl dgst -verify, it adds
  a signature beside another, and refuses what it must, leaving the package as it was;
- two keys (a rotation) each verify, and --check names the one that signed;
- with --source, the build options refuse files that are not P-256 public keys and thresholds
  no package could meet.
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
import two_readings  # noqa: E402
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


NAME = "Quorvex_9.1.0_x64.zip"  # the package file the installer under test asks for


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
    add("bsdtar", "bsdtar.zip", lambda p: ["bsdtar", "-cf", p, "--format", "zip", *top])
    add("jar", "jar.zip", lambda p: [shutil.which("fastjar") or "jar", "cfM", p, *top])
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
            unsigned = f.read()
        out = os.path.join(args.work, "out-unsigned-" + os.path.basename(package))
        code, _, err = unpack(package, out)
        check(code == 0 and tree(out) == tree(source), f"{title}, unsigned, without a key: unpacks whole ({err.strip()})")
        code, _, err = unpack("--key", keys[1], "--name", NAME, package, out + "-keyed")
        check(code == 1 and signing.MESSAGES["unsigned"] in err and not os.path.exists(out + "-keyed"),
              f"{title}, unsigned, with a key: refused, nothing written ({err.strip()})")
        write(package, signing.sign(unsigned, *keys, NAME))
        out = os.path.join(args.work, "out-" + os.path.basename(package))
        code, _, err = unpack("--key", keys[1], "--name", NAME, package, out)
        check(code == 0 and tree(out) == tree(source), f"{title}, signed with openssl dgst: unpacks whole ({err.strip()})")


def check_table(args, unpack, keys, second, other):
    plain = os.path.join(args.work, "plain.zip")
    with zipfile.ZipFile(plain, "w") as z:
        z.writestr("Quorvex.exe", b"MZ" + bytes(300))
        z.writestr("docs/leia-me.txt", b"ola " * 500, zipfile.ZIP_DEFLATED)
    with open(plain, "rb") as f:
        data = f.read()
    one_key = ["--key", keys[1]]
    two_keys = ["--key", keys[1], "--key", second[1], "--threshold", "2"]
    cases = [(title, package, verdict, one_key) for title, package, verdict in signing.tamper_cases(data, keys, other, NAME)]
    cases += [(title, package, verdict, two_keys)
              for title, package, verdict in signing.threshold_cases(data, keys, second, other, NAME)]
    # Signed as they are, packages that read two ways are still refused, before anything is written.
    cases += [("signed, " + title, signing.sign(package, *keys, NAME), message, one_key)
              for title, package, message in two_readings.cases()]
    for number, (title, bytes_, verdict, given) in enumerate(cases):
        package = os.path.join(args.work, f"case-{number}.zip")
        write(package, bytes_)
        out = os.path.join(args.work, f"case-{number}-out")
        code, listing, err = unpack("--check", *given, "--name", NAME, package)
        if verdict is None:
            check(code == 0 and f"signed for {NAME} by key {signing.key_id(keys[1])}" in listing,
                  f"{title}: accepted, and --check names the key ({err.strip()})")
            code, _, err = unpack(*given, "--name", NAME, package, out)
            check(code == 0 and sorted(tree(out)) == ["Quorvex.exe", os.path.join("docs", "leia-me.txt")],
                  f"{title}: unpacks ({err.strip()})")
        else:
            said = signing.MESSAGES.get(verdict, verdict)
            check(code == 1 and said in err, f"{title}: refused as {verdict} ({err.strip()})")
            code, _, err = unpack(*given, "--name", NAME, package, out)
            check(code == 1 and not os.path.exists(out), f"{title}: unpacking writes nothing ({err.strip()})")
            if verdict == "wrong-release":
                check(NAME in err and "The package is signed for Quorvex_" in err, f"{title}: both names said ({err.strip()})")

    # Without --name, the package's own file name is the one asked for.
    own = os.path.join(args.work, NAME)
    write(own, signing.sign(data, *keys, NAME))
    code, _, err = unpack("--check", "--key", keys[1], own)
    check(code == 0, f"the package's own file name is the bound name by default ({err.strip()})")
    renamed = os.path.join(args.work, signing.other_architecture(NAME))
    shutil.copy(own, renamed)
    code, _, err = unpack("--check", "--key", keys[1], renamed)
    check(code == 1 and signing.MESSAGES["wrong-release"] in err, f"the same package renamed is refused ({err.strip()})")

    # The vendor's own package may hold an end record's bytes, signature text included, inside
    # a file within the comment's reach: the record nearest the end is the one both read.
    planted = os.path.join(args.work, "planted.zip")
    with open(os.path.join(args.work, "case-0.zip"), "rb") as f:
        decoy = f.read()[-200:]
    with zipfile.ZipFile(planted, "w") as z:
        z.writestr("Quorvex.exe", b"MZ" + bytes(100))
        z.writestr("dados/registro.bin", b"\0" * 64 + signing.END + decoy)
    with open(planted, "rb") as f:
        write(planted, signing.sign(f.read(), *keys, NAME))
    out = os.path.join(args.work, "planted-out")
    code, _, err = unpack("--key", keys[1], "--name", NAME, planted, out)
    check(code == 0 and os.path.getsize(os.path.join(out, "dados", "registro.bin")) == 68 + len(decoy),
          f"an end record planted inside a signed file's data: the real one counts ({err.strip()})")


def check_signer(args, unpack, keys, other):
    qv_sign = args.qv_sign
    result = subprocess.run([qv_sign, "--public", keys[0]], capture_output=True, text=True)
    check(result.returncode == 0 and f"key id: {signing.key_id(keys[1])}" in result.stdout and
          "-----BEGIN PUBLIC KEY-----" in result.stdout, "qv-sign --public prints the PEM key and openssl's key id")
    printed = os.path.join(args.work, "printed.pub")
    write(printed, result.stdout.encode())

    package = os.path.join(args.work, NAME)
    with zipfile.ZipFile(package, "w") as z:
        z.comment = b"made by a tool that leaves a comment"
        z.writestr("Quorvex.exe", b"MZ" + bytes(64))
        z.writestr("docs/leia-me.txt", b"ola " * 100, zipfile.ZIP_DEFLATED)
    with open(package, "rb") as f:
        before = f.read()
    result = subprocess.run([qv_sign, "--key", keys[0], package], capture_output=True, text=True)
    with open(package, "rb") as f:
        check(result.returncode == 1 and "already has a comment" in result.stderr and f.read() == before,
              f"a package with a comment is refused without --replace and left as it was ({result.stderr.strip()})")
    result = subprocess.run([qv_sign, "--key", keys[0], "--replace", package], capture_output=True, text=True)
    check(result.returncode == 0, f"--replace signs it ({result.stderr.strip()})")
    with zipfile.ZipFile(package) as z:
        listed = [f"{i.file_size:14d}  {i.CRC:08x}  {i.filename.replace('/', chr(92))}" for i in z.infolist()]
    check(f"signing for {NAME}" in result.stdout and all(line in result.stdout for line in listed),
          f"qv-sign lists each entry's name below C:\\Quorvex\\, size and CRC-32, and the bound name ({result.stdout!r})")
    leftovers = [name for name in os.listdir(args.work) if ".qv-sign-" in name]
    check(leftovers == [], f"no temporary file stays beside it ({leftovers})")

    # The other way round: openssl verifies what qv-sign wrote, over the documented message.
    with open(package, "rb") as f:
        data = f.read()
    end = signing.end_record(data)
    head, line = data[end + 22:].decode().split("\n")
    kid, text = line.split(" ")
    der = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    write(os.path.join(args.work, "signature.der"), der)
    write(os.path.join(args.work, "message.bin"), signing.message(data[:end + 20], NAME))
    verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", keys[1], "-signature",
                               os.path.join(args.work, "signature.der"), os.path.join(args.work, "message.bin")],
                              capture_output=True, text=True)
    check(head == "QVSIG2 " + NAME and kid == signing.key_id(keys[1]) and verified.stdout.strip() == "Verified OK",
          f"openssl dgst -verify accepts qv-sign's signature ({verified.stdout.strip()} {verified.stderr.strip()})")
    code, listing, err = unpack("--check", "--key", other[1], "--key", printed, package)
    check(code == 0 and f"signed for {NAME} by key {kid} (" in listing and "printed.pub" in listing,
          f"with two keys, the one that signed is named ({err.strip()})")
    code, _, err = unpack("--check", "--key", other[1], package)
    check(code == 1 and signing.MESSAGES["unknown-key"] in err, f"a key that did not sign is refused ({err.strip()})")

    # A second signature beside the first, for a threshold of 2; signing again with a key that
    # signed changes nothing.
    result = subprocess.run([qv_sign, "--key", other[0], package], capture_output=True, text=True)
    check(result.returncode == 0 and "(2 signatures)" in result.stdout, f"qv-sign adds a second signature ({result.stdout.strip()} {result.stderr.strip()})")
    code, listing, err = unpack("--check", "--key", keys[1], "--key", other[1], "--threshold", "2", package)
    check(code == 0 and listing.count(f"signed for {NAME} by key ") == 2, f"both signatures count for a threshold of 2 ({err.strip()})")
    with open(package, "rb") as f:
        data = f.read()
    result = subprocess.run([qv_sign, "--key", other[0], package], capture_output=True, text=True)
    with open(package, "rb") as f:
        check(result.returncode == 0 and "already signed" in result.stdout and f.read() == data,
              f"signing again with the same key leaves the package as it was ({result.stdout.strip()})")
    result = subprocess.run([qv_sign, "--key", keys[0], "--name", signing.other_architecture(NAME), package],
                            capture_output=True, text=True)
    with open(package, "rb") as f:
        check(result.returncode == 1 and f"is signed for {NAME}, not" in result.stderr and f.read() == data,
              f"a signature for another name beside them is refused ({result.stderr.strip()})")

    # What the installer would refuse is not signed: two entries on one file.
    twice = os.path.join(args.work, "twice.zip")
    with zipfile.ZipFile(twice, "w") as z:
        z.writestr("Quorvex.exe", b"MZ genuine")
        z.writestr("QUORVEX.EXE", b"MZ other")
    with open(twice, "rb") as f:
        unsigned = f.read()
    result = subprocess.run([qv_sign, "--key", keys[0], twice], capture_output=True, text=True)
    with open(twice, "rb") as f:
        check(result.returncode == 1 and "would not install" in result.stderr and "same file" in result.stderr
              and f.read() == unsigned, f"qv-sign refuses a package the installer would refuse ({result.stderr.strip()})")

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
        ("a P-384 public key", [p384_public], None, "is not a P-256 (prime256v1) public key"),
        ("a private key", [keys[0]], None, "is not a PEM public key"),
        ("a missing file", [os.path.join(args.work, "missing.pub")], None, "no such file"),
        ("one key given twice", [keys[1], keys[1]], None, "is a key already given"),
        ("a threshold above the keys", [keys[1], second[1]], "3", "gives only 2 key(s): no package could install"),
        ("a threshold of 0", [keys[1]], "0", "is not a number of keys"),
        ("a threshold without keys", [], "2", "QUORVEX_PACKAGE_KEYS gives no key"),
        ("two P-256 keys", [keys[1], second[1]], None, None),
        ("two P-256 keys, both needed", [keys[1], second[1]], "2", None),
    ]
    for number, (title, files, threshold, message) in enumerate(cases):
        build = os.path.join(args.work, f"key-option-{number}")
        shutil.rmtree(build, ignore_errors=True)
        result = subprocess.run(["cmake", "-S", project, "-B", build, "-DQUORVEX_PACKAGE_KEYS=" + ";".join(files)]
                                + (["-DQUORVEX_PACKAGE_THRESHOLD=" + threshold] if threshold else []),
                                capture_output=True, text=True)
        said = " ".join(result.stderr.split())  # cmake wraps its messages
        if message:
            check(result.returncode != 0 and message in said, f"cmake refuses {title} ({said[:200]})")
        else:
            with open(os.path.join(build, "keys.cpp")) as f:
                text = f.read()
            check(result.returncode == 0 and all(f"// {signing.key_id(pub)}: " in text for pub in files)
                  and f"InstallerPackageThreshold() {{ return {threshold or 1}; }}" in text,
                  f"cmake embeds {title} under their key ids, and the threshold ({result.stderr.strip()})")


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
    second = signing.make_key(os.path.join(args.work, "keys"), "second")
    other = signing.make_key(os.path.join(args.work, "keys"), "other")
    unpack = QvUnpack(args)
    source = os.path.join(args.work, "source")
    top = make_source(source)
    check_tools(args, unpack, keys, source, top)
    check_table(args, unpack, keys, second, other)
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
