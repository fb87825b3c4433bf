#!/usr/bin/env python3
"""Whole installation runs under Wine against the reference service over TLS.

A package holding a stand-in application (which writes a marker when started) and a few
files with fixed times and attributes is placed in the service's storage; the harness runs
the installation with the real adapters; the report and the prefix's drive C are checked.
A second run installs the next release over the first, whose read-only and hidden files it
must replace. A last run asks for a package the service does not have: its 404 text must
end in the download error message and stay behind as the package file.

The prefix is the one QUORVEX_WINE_ARCH selects (wine-env): a 64-bit prefix reports an x64
processor and gets the x64 package, a 32-bit one the x86 package.
"""
import argparse
import os
import shutil
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from harness import Checks, WineSession, package_suffix, write_package  # noqa: E402

ERROR_LINE = "ui error Erro|Erro no download!\\rEntre em contato com o Suporte T\u00e9cnico."

check = Checks()


def make_package(path, application):
    entries = [
        # name, content, DOS date/time, MS-DOS attributes, method
        ("Quorvex.exe", application, (2024, 5, 17, 10, 30, 0), 0x20, zipfile.ZIP_DEFLATED),
        ("docs/", b"", (2024, 5, 17, 10, 30, 0), 0x10, zipfile.ZIP_STORED),
        ("docs/leia-me.txt", "Instala\u00e7\u00e3o conclu\u00edda.\r\n".encode() * 200, (2023, 12, 31, 23, 59, 58),
         0x21, zipfile.ZIP_DEFLATED),
        ("dados/oculto.dat", bytes(range(256)) * 4, (2022, 2, 3, 4, 5, 6), 0x02, zipfile.ZIP_STORED),
    ]
    write_package(path, entries)
    return entries


def run_harness(args, api, version, report_path):
    windows_report = "Z:" + report_path
    code, output = args.session.run(args.harness, api, version, windows_report, timeout=240, show_errors=True)
    sys.stdout.write(output)
    check(code == 0, f"harness for {version} exited with {code}")
    with open(report_path, encoding="utf-8") as report:
        return report.read().splitlines()


def listed_files(report):
    """{path: {"size": ..., "attributes": ..., "written": ..., "created": ...}} from the report."""
    files = {}
    for line in report:
        if line.startswith("file "):
            path, _, rest = line[len("file "):].partition(" size=")
            size, _, rest = rest.partition(" attributes=")
            attributes, _, rest = rest.partition(" written=")
            written, _, created = rest.partition(" created=")
            # Wine reports the archive bit on every file, so only read-only, hidden and system count.
            attributes = "".join(letter for letter in attributes if letter in "RHS")
            files[path] = {"size": int(size), "attributes": attributes, "written": written, "created": created}
    return files


def main():
    parser = argparse.ArgumentParser()
    for name in ("wine-env", "harness", "marker-app", "storage", "port-file", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    args.session = WineSession(args.wine_env)
    suffix = package_suffix()

    with open(args.port_file) as port_file:
        api = f"https://127.0.0.1:{port_file.read().strip()}/admin"
    folder = args.session.host_path("C:\\Quorvex")
    updates = os.path.join(args.storage, "server_files", "updates")
    os.makedirs(updates, exist_ok=True)
    os.makedirs(args.work, exist_ok=True)

    version = "Quorvex_9.4.2"
    for stale in ("_x64.zip", "_x86.zip"):
        if os.path.exists(os.path.join(updates, version + stale)):
            os.remove(os.path.join(updates, version + stale))
    with open(args.marker_app, "rb") as application:
        app = application.read()
    entries = make_package(os.path.join(updates, version + suffix), app)
    size = {name: len(content) for name, content, *_ in entries}
    package_size = os.path.getsize(os.path.join(updates, version + suffix))

    # An earlier installation: its executable is replaced, its other files stay.
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "Quorvex.exe"), "wb") as old:
        old.write(b"MZ old application")
    with open(os.path.join(folder, "antigo.txt"), "wb") as old:
        old.write(b"from the earlier installation")

    report = run_harness(args, api, version, os.path.join(args.work, "success.txt"))
    print("\n".join(report))
    directory = next((line[len("directory "):] for line in report if line.startswith("directory ")), None)
    report = [line for line in report if not line.startswith("directory ")]
    check(report[:1] == ["ui progress"], "the run begins by showing the progress display")
    handler = [line.split()[1:] for line in report if line.startswith("handler ")]
    check(handler[:1] == [[str(package_size), "0"]], "the handler is first called with 0 bytes received")
    check(handler[-1:] == [[str(package_size), str(package_size)]], "the last handler call carries the whole package")
    check(ERROR_LINE not in report, "no error message on success")
    check("ui end" in report and report.index("ui end") + 1 == report.index("returned"),
          "the end is requested as the run's last act")

    files = listed_files(report)
    files.pop("C:\\Quorvex\\started.txt", None)  # the started application may already have written it
    expected = {
        "C:\\Quorvex\\Quorvex.exe": (size["Quorvex.exe"], "", "2024-05-17 10:30:00"),
        "C:\\Quorvex\\docs\\leia-me.txt": (size["docs/leia-me.txt"], "R", "2023-12-31 23:59:58"),
        "C:\\Quorvex\\dados\\oculto.dat": (1024, "H", "2022-02-03 04:05:06"),
    }
    for path, (length, attributes, when) in expected.items():
        actual = files.get(path)
        check(actual == {"size": length, "attributes": attributes, "written": when, "created": when},
              f"{path}: expected size {length}, attributes '{attributes}', times {when}; got {actual}")
    check(files.get("C:\\Quorvex\\antigo.txt", {}).get("size") == 29, "files of the earlier installation stay")
    check(set(files) == set(expected) | {"C:\\Quorvex\\antigo.txt"},
          f"exactly the expected files, the package file gone: {sorted(files)}")

    links = [line for line in report if line.startswith("link ")]
    check(links == ["link desktop Quorvex.lnk target=C:\\Quorvex\\Quorvex.exe",
                    "link programs Quorvex.lnk target=C:\\Quorvex\\Quorvex.exe"],
          f"one shortcut in each folder pointing at the application: {links}")

    marker = os.path.join(folder, "started.txt")
    deadline = time.time() + 60
    while not os.path.exists(marker) and time.time() < deadline:
        time.sleep(0.2)
    check(os.path.exists(marker), "the installed application was started")
    if os.path.exists(marker):
        time.sleep(0.5)  # let it finish writing and exit
        with open(marker, encoding="utf-8") as started:
            check(started.readline().strip().lower() == "c:\\quorvex\\quorvex.exe", "started from C:\\Quorvex\\Quorvex.exe")
            check(started.readline().strip() == directory, "the application inherits the installer's current directory")

    # The same release again over the first: its read-only and hidden files are replaced.
    if os.path.exists(marker):
        os.remove(marker)
    report = run_harness(args, api, version, os.path.join(args.work, "again.txt"))
    print("\n".join(report))
    check(ERROR_LINE not in report and "ui end" in report,
          "a second installation over read-only and hidden files succeeds")
    files = listed_files(report)
    files.pop("C:\\Quorvex\\started.txt", None)
    for path, (length, attributes, when) in expected.items():
        actual = files.get(path)
        check(actual == {"size": length, "attributes": attributes, "written": when, "created": when},
              f"again {path}: expected size {length}, attributes '{attributes}', times {when}; got {actual}")
    deadline = time.time() + 60
    while not os.path.exists(marker) and time.time() < deadline:
        time.sleep(0.2)
    check(os.path.exists(marker), "the application was started again")
    time.sleep(0.5)

    # Not on the service: the 404 answer's text becomes the package file and the message shows.
    missing = "Quorvex_ausente"
    report = run_harness(args, api, missing, os.path.join(args.work, "not-found.txt"))
    report = [line for line in report if not line.startswith("directory ")]
    print("\n".join(report))
    check(report[:1] == ["ui progress"], "the failed run shows the progress display too")
    check(ERROR_LINE in report, "a 404 answer ends in the download error message")
    check("ui end" not in report, "a failed run does not end the installer")
    leftover = os.path.join(folder, missing + suffix)
    check(os.path.exists(leftover) and os.path.getsize(leftover) > 0, "the 404 body stays as the package file")
    if os.path.exists(leftover):
        with open(leftover, "rb") as body:
            check(not body.read().startswith(b"PK"), "the leftover is the error text, not a package")
    check(not os.path.exists(os.path.join(folder, "Quorvex.exe")), "the previous executable is gone after a failed run")

    if check.failures:
        print(f"{len(check.failures)} check(s) failed")
        return 1
    print("whole installation runs: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
