#!/usr/bin/env python3
"""Peak memory of a whole installer run under Wine, for a large package.

  measure_memory.py --build build/windows [--megabytes 200]

Makes a package of about the given size (mostly incompressible, stored), serves it with
the end-to-end fixture server, runs QuorvexInstall-e2e.exe, presses Install and reports the
peak resident size of the installer's process (GNU time's maximum RSS of the Wine process
that runs it) for the run and, as a baseline, for a run where Cancel is pressed at once.
Not a test: it prints figures. Needs the end-to-end setup (ctest -R e2e_setup) done once.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_e2e  # noqa: E402


def peak_kib(args, machine, press):
    """Runs the installer under GNU time, presses press, returns the peak RSS in KiB."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        env = dict(os.environ, QUORVEX_DEMO_MARKER=run_e2e.MARKER)
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name, args.wine_env, "exec", "wine",
                                    args.installer], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL, env=env)
        machine.probe("wait-window", 30000)
        start = time.time()
        machine.probe("click", press)
        if not machine.wait_installer_end(600000):
            raise run_e2e.Failure("the installer did not end")
        elapsed = time.time() - start
        process.wait(timeout=60)
        return int(open(report.name).read().split()[-1]), elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Windows build tree")
    parser.add_argument("--megabytes", type=int, default=200)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    cache = {}
    for line in open(os.path.join(build, "CMakeCache.txt")):
        if "=" in line and not line.startswith(("#", "//")):
            key, _, value = line.partition("=")
            cache[key.split(":")[0]] = value.strip()
    source = cache["CMAKE_HOME_DIRECTORY"]
    args = argparse.Namespace(
        wine_env=os.path.join(build, "wine-env"), wine_root=os.path.join(build, "wine"),
        installer=os.path.join(build, "tests/e2e/QuorvexInstall-e2e.exe"),
        probe=os.path.join(build, "tests/e2e/qv-probe.exe"), app=os.path.join(build, "tests/e2e/Quorvex.exe"),
        service=os.path.join(source, "build/native/service/qv-service"),
        port=int(cache["QUORVEX_E2E_SERVICE_PORT"]), version="Quorvex_e2e",
        work=os.path.join(build, "tests/e2e/work-memory"))
    os.makedirs(args.work, exist_ok=True)
    shutil.copytree(os.path.join(build, "tests/e2e/work/certs"), os.path.join(args.work, "certs"), dirs_exist_ok=True)

    machine = run_e2e.Machine(args)
    with open(args.app, "rb") as app:
        application = app.read()

    def publish(megabytes):
        path = run_e2e.package_path(args)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        generator = random.Random(5)
        with zipfile.ZipFile(path, "w") as package:
            package.writestr("Quorvex.exe", application)
            for index in range(max(1, megabytes // 10)):
                info = zipfile.ZipInfo(f"dados/parte{index:03}.bin", (2024, 1, 1, 0, 0, 0))
                package.writestr(info, generator.randbytes(min(megabytes, 10) * 1024 * 1024))
        return os.path.getsize(path)

    service = run_e2e.Service(args)
    try:
        machine.reset()
        idle, _ = peak_kib(args, machine, "Cancelar")
        small_size = publish(1)
        machine.reset()
        small, _ = peak_kib(args, machine, "Instalar")
        size = publish(options.megabytes)
        machine.reset()
        peak, seconds = peak_kib(args, machine, "Instalar")
    finally:
        service.stop()
    mib = 2**20
    print(f"package: {size / mib:.1f} MiB (small one: {small_size / mib:.1f} MiB)")
    print(f"peak RSS, Cancel at once:          {idle / 1024:.1f} MiB")
    print(f"peak RSS, run with the small one:  {small / 1024:.1f} MiB")
    print(f"peak RSS, run with the package:    {peak / 1024:.1f} MiB  ({seconds:.1f} s)")
    print(f"run peak - package size:           {(peak * 1024 - size) / mib:.1f} MiB")
    print(f"growth with the package's size:    {(peak - small) * 1024 / (size - small_size):.3f} bytes per byte")
    return 0


if __name__ == "__main__":
    sys.exit(main())
