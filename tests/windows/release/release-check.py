#!/usr/bin/env python3
"""Release checks of the Windows build: reproducible executables and the signed installer.

  release-check.py COMMON... reproducible     build twice from two source copies, compare SHA-256
  release-check.py COMMON... signed-build     throw-away PKI and time-stamp authority, a signed and
                                              an unsigned installer in WORK/artifacts (fixture)
  release-check.py COMMON... signature        osslsigncode verify: the good file, tampered copies
  release-check.py COMMON... release-config   refused signing and version settings, a wrong password,
                                              the version resource's numbers
  release-check.py COMMON... wintrust --wine-run F --tool F   WinVerifyTrust under Wine

COMMON: --work DIR --source DIR --cmake CMAKE --generator NAME --toolchain PATH-IN-SOURCE
        [--define NAME=VALUE]...  (the configuration the builds share with this build tree)
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The executables a vendor ships or a reviewer runs, and where a build tree puts them.
SHIPPED = {
    "QuorvexInstall.exe": ("QuorvexInstall", "src/QuorvexInstall.exe"),
    "qv-unpack.exe": ("qv-unpack", "tools/cli/qv-unpack.exe"),
    "qv-download.exe": ("qv-download", "tools/cli/qv-download.exe"),
}
PUBLISHER_CN = "Quorvex test publisher"

failures = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def finish():
    if failures:
        print(f"\n{len(failures)} check(s) failed:")
        for what in failures:
            print("  " + what)
        sys.exit(1)
    print("\nall checks passed")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run(cmd, env=None, cwd=None, quiet=False):
    done = subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if not quiet and done.returncode != 0:
        print(f"$ {' '.join(cmd)}\n{done.stdout}")
    return done


def configure(args, source, build, extra=(), env=None):
    cmd = [args.cmake, "-S", source, "-B", build, "-G", args.generator,
           "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, args.toolchain)]
    cmd += ["-D" + d for d in args.define] + list(extra)
    return run(cmd, env=env, quiet=True)


def build(args, tree, targets, env=None):
    return run([args.cmake, "--build", tree, "--target", *targets], env=env, quiet=True)


def must(done, what):
    if done.returncode != 0:
        print(done.stdout[-6000:])
        check(False, what)
        finish()


# --- PE helpers: where a byte lies, so that a difference or a tampered byte can be named.

def pe_sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        raw_size, raw_offset = struct.unpack_from("<II", data, entry + 16)
        sections.append((name, raw_offset, raw_size))
    return pe, sections


def place(data, offset):
    pe, sections = pe_sections(data)
    sections = [s for s in sections if s[2] > 0]
    table_offset, table_size = security_directory(data)
    if table_offset <= offset < table_offset + table_size:
        return "signature"
    for name, start, size in sections:
        if start <= offset < start + size:
            return f"{name}+0x{offset - start:x}"
    if offset < min(start for _, start, _ in sections):
        return "headers"
    return "after the sections"


def describe_difference(a, b):
    if len(a) != len(b):
        return f"sizes differ: {len(a)} and {len(b)} bytes"
    spans, start = [], None
    for i in range(len(a) + 1):
        differs = i < len(a) and a[i] != b[i]
        if differs and start is None:
            start = i
        elif not differs and start is not None:
            spans.append((start, i))
            start = None
    shown = ", ".join(f"0x{s:x}..0x{e:x} ({place(a, s)})" for s, e in spans[:8])
    return f"{len(spans)} differing range(s): {shown}"


def security_directory(data):
    """(offset, size) of the Authenticode certificate table, (0, 0) when there is none."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    return struct.unpack_from("<II", data, directories + 8 * 4)


def version_resource(data):
    """File and product version numbers of VS_FIXEDFILEINFO, and the FileVersion text."""
    # The fixed part follows the block's key; the signature's bytes alone may also occur in code.
    block = data.find("VS_VERSION_INFO\0".encode("utf-16-le"))
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), block) if block >= 0 else -1
    if fixed < 0:
        return None
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", data, fixed + 8)
    numbers = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    key = "FileVersion\0".encode("utf-16-le")
    at = data.find(key, fixed)
    text = ""
    if at >= 0:
        at += len(key)
        at += (4 - at % 4) % 4  # the value is aligned to 32 bits
        end = data.find(b"\0\0", at)
        while end >= 0 and (end - at) % 2:
            end = data.find(b"\0\0", end + 1)
        text = data[at:end].decode("utf-16-le", "replace")
    return numbers(file_ms, file_ls), numbers(product_ms, product_ls), text


# --- Reproducibility

def copy_source(source, destination):
    """The source as a reviewer would have it: everything but build trees and version control."""
    def ignore(folder, names):
        skipped = {".git", "__pycache__"}
        if os.path.abspath(folder) == os.path.abspath(source):
            skipped |= {"build"}
        return [n for n in names if n in skipped]
    shutil.copytree(source, destination, ignore=ignore, symlinks=True)


def reproducible(args):
    root = os.path.join(args.work, "reproducible")
    shutil.rmtree(root, ignore_errors=True)
    # Two checkouts that share nothing but their content: other absolute paths of other lengths,
    # other build folder names, another time zone, locale and SOURCE_DATE_EPOCH.
    trees = [
        (os.path.join(root, "a", "src"), os.path.join(root, "a", "build"),
         {"TZ": "UTC", "LC_ALL": "C"}),
        (os.path.join(root, "second-checkout", "of the same", "quorvex-source"),
         os.path.join(root, "second-checkout", "out", "windows-release-build"),
         {"TZ": "Pacific/Kiritimati", "LC_ALL": "C.UTF-8", "SOURCE_DATE_EPOCH": "86400"}),
    ]
    targets = [target for target, _ in SHIPPED.values()]
    for source, tree, variation in trees:
        copy_source(args.source, source)
        env = dict(os.environ)
        env.pop("SOURCE_DATE_EPOCH", None)
        env.update(variation)
        started = time.monotonic()
        must(configure(args, source, tree, env=env), f"configure {tree}")
        must(build(args, tree, targets, env=env), f"build {' '.join(targets)} in {tree}")
        print(f"built {' '.join(targets)} in {tree} ({time.monotonic() - started:.0f} s)")

    print()
    for name, (_, relative) in SHIPPED.items():
        paths = [os.path.join(tree, relative) for _, tree, _ in trees]
        if not all(check(os.path.isfile(p), f"{os.path.relpath(p, root)} was built") for p in paths):
            continue
        contents = [open(p, "rb").read() for p in paths]
        sums = [hashlib.sha256(c).hexdigest() for c in contents]
        for path, digest in zip(paths, sums):
            print(f"{digest}  {os.path.relpath(path, root)}")
        same = check(sums[0] == sums[1], f"{name}: both builds have the same SHA-256")
        if not same:
            print("        " + describe_difference(*contents))
        check(security_directory(contents[0]) == (0, 0), f"{name}: unsigned")
        # A path that made it into the bytes would differ with the next checkout's location.
        folders = [folder for source, tree, _ in trees for folder in (source, tree, args.source)]
        check(not any(folder.encode(encoding) in content for folder in folders for content in contents
                      for encoding in ("utf-8", "utf-16-le")),
              f"{name}: holds no absolute source or build path")
        pe = struct.unpack_from("<I", contents[0], 0x3C)[0]
        check(struct.unpack_from("<I", contents[0], pe + 8)[0] == 0, f"{name}: no link time in the PE header")
    finish()


# --- Signing

def artifacts(args):
    return os.path.join(args.work, "artifacts")


def pki(args):
    return os.path.join(args.work, "pki")


def signed_tree(args):
    return os.path.join(args.work, "signed-build")


SIGNED_RELEASE, SIGNED_NUMBERS = "Quorvex_3.17.205", "3.17.205.0"
SIGNING_OFF = ["-DQUORVEX_SIGN_PKCS12=", "-DQUORVEX_SIGN_PASSWORD_FILE=", "-DQUORVEX_SIGN_TIMESTAMP_URL="]


def signed_build(args):
    out = artifacts(args)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    must(run(["bash", os.path.join(HERE, "make-signing-pki.sh"), pki(args)]), "make the throw-away PKI")
    tsa_state = os.path.join(args.work, "tsa")
    shutil.rmtree(tsa_state, ignore_errors=True)
    os.makedirs(tsa_state)
    port_file, tsa_log = os.path.join(tsa_state, "port"), os.path.join(tsa_state, "log")
    tsa = subprocess.Popen([sys.executable, os.path.join(HERE, "tsa-server.py"), "--pki", pki(args),
                            "--port-file", port_file, "--log", tsa_log],
                           stdout=subprocess.DEVNULL, stderr=open(os.path.join(tsa_state, "stderr"), "w"))
    try:
        for _ in range(300):
            if os.path.exists(port_file) or tsa.poll() is not None:
                break
            time.sleep(0.1)
        must(run(["test", "-s", port_file]), "the time-stamp authority started")
        url = f"http://127.0.0.1:{open(port_file).read().strip()}/tsa"
        tree = signed_tree(args)
        password_file = os.path.join(pki(args), "password")
        signing = ["-DQUORVEX_SIGN_PKCS12=" + os.path.join(pki(args), "publisher.p12"),
                   "-DQUORVEX_SIGN_PASSWORD_FILE=" + password_file, "-DQUORVEX_SIGN_TIMESTAMP_URL=" + url]
        # Another release than this tree's, so that the version resource shows where its numbers come from.
        signing.append("-DQUORVEX_VERSION_NAME=" + SIGNED_RELEASE)
        must(configure(args, args.source, tree, signing), "configure a build that signs")
        done = build(args, tree, ["QuorvexInstall"])
        must(done, "build and sign QuorvexInstall")
        installer = os.path.join(tree, SHIPPED["QuorvexInstall.exe"][1])
        shutil.copy2(installer, os.path.join(out, "QuorvexInstall-signed.exe"))
        check(os.access(installer, os.X_OK), "the signed installer stays executable")
        versions = version_resource(open(installer, "rb").read())
        check(versions == (SIGNED_NUMBERS, SIGNED_NUMBERS, SIGNED_NUMBERS),
              f"its version resource says {SIGNED_NUMBERS}, the numbers of {SIGNED_RELEASE} (says {versions})")
        asked = open(tsa_log).read().count("time stamp") if os.path.exists(tsa_log) else 0
        check(asked == 1, f"the time-stamp authority was asked once (asked: {asked})")
        # The password is read from its file by osslsigncode: no command line and no cache holds it.
        password = open(password_file).readline().rstrip("\n")
        for kept in ("CMakeCache.txt", "build.ninja"):
            text = open(os.path.join(tree, kept), errors="replace").read()
            check(password not in text, f"{kept} does not hold the password")
        check(password not in done.stdout, "the build's output does not show the password")

        # Signing off again: the same tree links an unsigned installer.
        must(configure(args, args.source, tree, SIGNING_OFF + ["-DQUORVEX_VERSION_NAME=" + SIGNED_RELEASE]),
             "configure the same tree without signing")
        must(build(args, tree, ["QuorvexInstall"]), "build QuorvexInstall unsigned")
        shutil.copy2(installer, os.path.join(out, "QuorvexInstall-unsigned.exe"))
    finally:
        tsa.terminate()
        tsa.wait()
    finish()


def verify(args, path, trusted=True):
    cmd = ["osslsigncode", "verify", "-in", path]
    if trusted:
        cmd[2:2] = ["-CAfile", os.path.join(pki(args), "ca.pem"), "-TSA-CAfile", os.path.join(pki(args), "tsa-ca.pem")]
    return run(cmd, quiet=True)


def tampered(args, source, name, offset, flip=0x01):
    data = bytearray(open(source, "rb").read())
    data[offset] ^= flip
    path = os.path.join(artifacts(args), f"tampered-{name}.exe")
    with open(path, "wb") as f:
        f.write(data)
    return path


def signature(args):
    out = artifacts(args)
    signed = os.path.join(out, "QuorvexInstall-signed.exe")
    unsigned = os.path.join(out, "QuorvexInstall-unsigned.exe")

    done = verify(args, signed)
    print(f"$ osslsigncode verify -CAfile ca.pem -TSA-CAfile tsa-ca.pem -in {signed}\n{done.stdout}")
    check(done.returncode == 0, "the signed installer verifies against the throw-away root")
    for expected in ("Message digest algorithm  : SHA256", "Timestamp Server Signature verification: ok",
                     "Signature verification: ok", "Subject: /CN=" + PUBLISHER_CN, "Text description: Quorvex"):
        check(expected in done.stdout, f"verify says '{expected}'")
    check(verify(args, signed, trusted=False).returncode != 0,
          "it does not verify against the system's roots alone (nobody else trusts the throw-away root)")
    done = verify(args, unsigned)
    check(done.returncode != 0, "the unsigned installer does not verify")

    # Signing only appends: removing the signature gives back the unsigned build byte for byte.
    stripped = os.path.join(out, "signature-removed.exe")
    must(run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped]), "remove the signature")
    check(sha256(stripped) == sha256(unsigned),
          "the signed installer without its signature is the unsigned build, byte for byte")

    # One changed byte anywhere the signature covers breaks it.
    data = open(signed, "rb").read()
    pe, sections = pe_sections(data)
    by_name = {name: (start, size) for name, start, size in sections}
    table_offset, _ = security_directory(data)
    version = data.find("FileVersion".encode("utf-16-le"))
    publisher = data.find(PUBLISHER_CN.encode(), table_offset)
    cases = [
        ("code", by_name[".text"][0] + 0x40, "MISMATCH"),
        ("subsystem", pe + 24 + 68, "MISMATCH"),
        ("version-resource", version, "MISMATCH"),
        ("last-signed-byte", table_offset - 1, "MISMATCH"),
        ("publisher-name-in-signature", publisher + len(PUBLISHER_CN) - 1, None),
    ]
    for name, offset, expected in cases:
        if not check(0 < offset < len(data), f"{name}: found the byte to change"):
            continue
        path = tampered(args, signed, name, offset)
        done = verify(args, path)
        first_failure = next((line.strip() for line in done.stdout.splitlines()
                              if "MISMATCH" in line or "failed" in line.lower()), "")
        check(done.returncode != 0 and (expected is None or expected in done.stdout),
              f"one byte changed in {name} (0x{offset:x}, {place(data, offset)}) fails: {first_failure}")
    finish()


def release_config(args):
    tree = signed_tree(args)
    p12 = os.path.join(pki(args), "publisher.p12")
    password_file = os.path.join(pki(args), "password")
    secret = "not-a-file-password-4711"
    refused = [
        ("password on the command line", ["-DQUORVEX_SIGN_PKCS12=" + p12, "-DQUORVEX_SIGN_PASSWORD=" + secret],
         "QUORVEX_SIGN_PASSWORD is not accepted"),
        ("password as a cache entry", ["-DQUORVEX_SIGN_PKCS12=" + p12, "-DQUORVEX_SIGN_PASSWORD:STRING=" + secret],
         "QUORVEX_SIGN_PASSWORD is not accepted"),
        ("missing PKCS#12 file", ["-DQUORVEX_SIGN_PKCS12=" + p12 + ".missing"], "QUORVEX_SIGN_PKCS12: no such file"),
        ("missing password file", ["-DQUORVEX_SIGN_PKCS12=" + p12, "-DQUORVEX_SIGN_PASSWORD_FILE=/nonexistent/pw"],
         "QUORVEX_SIGN_PASSWORD_FILE: no such file"),
        ("time stamp URL that is not http", ["-DQUORVEX_SIGN_PKCS12=" + p12,
                                             "-DQUORVEX_SIGN_TIMESTAMP_URL=ftp://tsa.example/"],
         "is not an http or https URL"),
        ("password file without a PKCS#12 file", ["-DQUORVEX_SIGN_PASSWORD_FILE=" + password_file],
         "need QUORVEX_SIGN_PKCS12"),
    ]
    refused += [
        ("release name without numbers", ["-DQUORVEX_VERSION_NAME=Quorvex_beta"], "does not end in version numbers"),
        ("two version numbers", ["-DQUORVEX_FILE_VERSION=2.4"], "is not MAJOR.MINOR.PATCH[.BUILD]"),
        ("a number over 16 bits", ["-DQUORVEX_FILE_VERSION=2.70000.1"], "each number must be 0 to 65535"),
        ("a leading zero (octal to the resource compiler)", ["-DQUORVEX_FILE_VERSION=2.08.1"],
         "each number must be 0 to 65535, without leading zeros"),
    ]
    for name, settings, message in refused:
        done = configure(args, args.source, tree, SIGNING_OFF + settings)
        check(done.returncode != 0 and message in " ".join(done.stdout.split()),
              f"{name}: configuring fails with '{message}'")
        cache = open(os.path.join(tree, "CMakeCache.txt"), errors="replace").read()
        check(secret not in cache, f"{name}: CMakeCache.txt does not hold the password")

    # A wrong password fails the build and leaves no installer behind that could pass for signed.
    wrong = os.path.join(args.work, "wrong-password")
    with open(wrong, "w") as f:
        f.write("not the password\n")
    must(configure(args, args.source, tree, SIGNING_OFF + ["-DQUORVEX_SIGN_PKCS12=" + p12,
                                                           "-DQUORVEX_SIGN_PASSWORD_FILE=" + wrong]),
         "configure with a wrong password")
    done = build(args, tree, ["QuorvexInstall"])
    installer = os.path.join(tree, SHIPPED["QuorvexInstall.exe"][1])
    # CMake wraps the failure text at its own width, so words are compared, not lines.
    check(done.returncode != 0 and "Wrong password?" in " ".join(done.stdout.split()),
          "a wrong password fails the build")
    check(not os.path.exists(installer) and not os.path.exists(installer + ".signing"),
          "and leaves no QuorvexInstall.exe")
    # The same build, given the right password, signs.
    must(configure(args, args.source, tree, ["-DQUORVEX_SIGN_PASSWORD_FILE=" + password_file]),
         "configure with the right password")
    must(build(args, tree, ["QuorvexInstall"]), "build with the right password")
    check(verify(args, installer).returncode == 0, "the right password signs again in the same tree")
    # An explicit QUORVEX_FILE_VERSION wins over the release name's numbers.
    must(configure(args, args.source, tree, SIGNING_OFF + ["-DQUORVEX_VERSION_NAME=" + SIGNED_RELEASE,
                                                           "-DQUORVEX_FILE_VERSION=4.0.1.77"]),
         "configure with QUORVEX_FILE_VERSION")
    must(build(args, tree, ["QuorvexInstall"]), "build with QUORVEX_FILE_VERSION")
    versions = version_resource(open(installer, "rb").read())
    check(versions == ("4.0.1.77",) * 3, f"QUORVEX_FILE_VERSION=4.0.1.77 gives the version resource 4.0.1.77 "
                                          f"(says {versions})")
    must(configure(args, args.source, tree, SIGNING_OFF + ["-DQUORVEX_FILE_VERSION="]), "configure without signing")
    finish()


# --- WinVerifyTrust under Wine

TRUST_RESULTS = {
    0x00000000: "trusted",
    0x800B0100: "TRUST_E_NOSIGNATURE",
    0x800B0109: "CERT_E_UNTRUSTEDROOT",
    0x80096010: "TRUST_E_BAD_DIGEST",
    0x800B010A: "CERT_E_CHAINING",
    0x80096004: "TRUST_E_CERT_SIGNATURE",
    0x800B0004: "TRUST_E_SUBJECT_NOT_TRUSTED",
}


def wintrust(args):
    out = artifacts(args)
    signed = os.path.join(out, "QuorvexInstall-signed.exe")
    unsigned = os.path.join(out, "QuorvexInstall-unsigned.exe")
    data = open(signed, "rb").read()
    _, sections = pe_sections(data)
    code = tampered(args, signed, "code-for-wine", {name: start for name, start, _ in sections}[".text"] + 0x40)
    publisher = data.find(PUBLISHER_CN.encode(), security_directory(data)[0])
    certificate = tampered(args, signed, "certificate-for-wine", publisher + len(PUBLISHER_CN) - 1)
    ca = os.path.join(pki(args), "ca.pem")

    def tool(*words):
        done = run([args.wine_run, args.tool, *words], quiet=True)
        return done.returncode, done.stdout.strip()

    def answer(path):
        _, text = tool("verify", "Z:" + path)
        match = re.search(r"0x([0-9A-Fa-f]{8})", text)
        result = int(match.group(1), 16) if match else None
        print(f"WinVerifyTrust({os.path.basename(path)}): {text or 'no answer'}")
        return result, TRUST_RESULTS.get(result, "no answer" if result is None else "other")

    def expect(path, wanted, what):
        result, name = answer(path)
        check(result == wanted, f"{what}: {TRUST_RESULTS[wanted]} (answered {name})")

    def note(path, windows, what):
        # Windows refuses these; Wine 8 builds the chain but does not hold its errors against
        # the file, so its answer is shown, not required.
        _, name = answer(path)
        print(f"note    {what}: Windows answers {windows}, Wine answered {name}")

    tool("untrust", "Z:" + ca)  # a run that stopped half-way may have left it
    expect(unsigned, 0x800B0100, "unsigned installer")
    note(signed, "CERT_E_UNTRUSTEDROOT", "signed, root not in the Root store")
    rc, text = tool("trust", "Z:" + ca)
    if check(rc == 0, f"add the throw-away root to the prefix's Root store: {text}"):
        try:
            expect(signed, 0x00000000, "signed, root trusted")
            expect(code, 0x80096010, "signed, then one byte of code changed")
            expect(unsigned, 0x800B0100, "unsigned installer, root trusted")
            note(certificate, "TRUST_E_CERT_SIGNATURE or CERT_E_CHAINING",
                 "signed, then the publisher's name changed inside the signature")
        finally:
            rc, text = tool("untrust", "Z:" + ca)
            check(rc == 0, f"remove the throw-away root again: {text}")
    finish()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--toolchain", required=True)
    parser.add_argument("--define", action="append", default=[])
    parser.add_argument("--wine-run")
    parser.add_argument("--tool")
    parser.add_argument("command", choices=["reproducible", "signed-build", "signature", "release-config", "wintrust"])
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    {"reproducible": reproducible, "signed-build": signed_build, "signature": signature,
     "release-config": release_config, "wintrust": wintrust}[args.command](args)


if __name__ == "__main__":
    main()
