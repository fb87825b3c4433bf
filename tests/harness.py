"""What the Python test runners under Wine share: the build tree's Wine environment (its
prefix, its display, running Windows programs with their output through files), the
download services they start on loopback with the test certificates, waiting for a port,
and the test packages with MS-DOS times and attributes.

The environment itself (prefix, HOME, Xvfb, wineserver) is made by the build tree's
wine-env script; this module only uses it.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


class Failure(Exception):
    pass


def check(condition, what):
    """Stops the scenario at the first failed check."""
    if not condition:
        raise Failure(what)
    print("ok:", what)


class Checks:
    """Goes on after a failed check and counts the failures, for runs that report them all."""

    def __init__(self):
        self.failures = []

    def __call__(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL:", what)


class WineSession:
    """The build tree's private Wine environment, through its wine-env script."""

    def __init__(self, wine_env, wine_root=None):
        self.wine_env = wine_env
        self.wine_root = wine_root
        self.prefix = subprocess.run([wine_env, "prefix"], check=True, capture_output=True,
                                     text=True).stdout.strip()
        self.drive_c = os.path.join(self.prefix, "drive_c")

    def host_path(self, windows_path):
        if windows_path[:3].upper() != "C:\\":
            raise Failure(f"{windows_path} is not on drive C")
        return os.path.join(self.drive_c, *windows_path[3:].split("\\"))

    def run(self, *command, timeout=60, show_errors=False):
        """Runs a Windows program to its end: (exit code, output). Wine's own background
        processes inherit the program's output and outlive it, so the output goes through a
        file, never a pipe that would stay open after the program has ended. The program's
        error output is dropped, or passed on to ours with show_errors."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([self.wine_env, "exec", "wine", *command], stdout=out,
                                    stderr=err if show_errors else subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                    timeout=timeout)
            out.seek(0)
            err.seek(0)
            sys.stderr.write(err.read().decode("utf-8", "replace"))
            return result.returncode, out.read().decode("utf-8", "replace")

    def restart(self):
        """A new Wine session on the same prefix and display, as signing out and in is on Windows:
        what a session reads once at its start (the monitors' DPI under Wine 10) is read again."""
        for step in (["-k"], ["-p"]):
            subprocess.run([self.wine_env, "exec", "wineserver", *step], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=60, check=False)

    def start(self, *command, output, env=None, cwd=None):
        """Starts a Windows program without waiting for it; its output goes to the open file output."""
        return subprocess.Popen([self.wine_env, "exec", "wine", *command], stdout=output, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, env=dict(os.environ, **(env or {})), cwd=cwd)

    def display(self):
        """The X display the programs run on: the caller's, or the Xvfb that wine-env started."""
        if os.environ.get("DISPLAY"):
            return os.environ["DISPLAY"]
        with open(os.path.join(self.wine_root, "display")) as display:
            return ":" + display.read().strip()

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display(), "-window", "root", path], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        print("screenshot:", path)


def package_suffix():
    """A 64-bit prefix reports an x64 processor to the installer, a 32-bit one x86."""
    return "_x86.zip" if os.environ.get("QUORVEX_WINE_ARCH") == "win32" else "_x64.zip"


def write_package(path, entries):
    """A ZIP package from (name, content, DOS date/time, MS-DOS attributes, method) entries,
    made on MS-DOS so that the attribute bits apply."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w") as package:
        for name, content, when, attributes, method in entries:
            info = zipfile.ZipInfo(name, when)
            info.create_system = 0
            info.external_attr = attributes
            info.compress_type = method
            package.writestr(info, content)


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def make_certificates(certs):
    """The test authority and the certificates of the TLS tests in the folder certs (see
    windows/fixtures/make-certs.sh; kept when already there), and the authority in DER form
    for programs that add it to a Windows certificate store."""
    subprocess.run([os.path.join(HERE, "windows", "fixtures", "make-certs.sh"), certs], check=True)
    if not os.path.exists(os.path.join(certs, "ca.der")):
        subprocess.run(["openssl", "x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der"], check=True,
                       cwd=certs, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def reference_service_command(service, certs, storage, port, *extra):
    """The reference service over TLS with the test certificate, on 127.0.0.1:port."""
    return [service, "--cert", os.path.join(certs, "server.pem"), "--key", os.path.join(certs, "server.key"),
            "--storage", storage, "--listen", f"127.0.0.1:{port}", *extra]


class LocalServer:
    """A service started on a fixed loopback port for one scenario, its output in a file.
    The port must be free before and answering within 20 s after; settle waits that long
    once it answers, so that a second program on the port would have ended by then."""

    def __init__(self, command, port, output_path, settle=0.0):
        if port_open(port):
            raise Failure(f"port {port} is taken by another program: configure QUORVEX_E2E_SERVICE_PORT")
        self.output_path = output_path
        self.output = open(output_path, "wb")
        self.process = subprocess.Popen(command, stdout=self.output, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        deadline = time.time() + 20
        while time.time() < deadline:
            if self.process.poll() is not None:
                self.output.close()
                with open(output_path, errors="replace") as output:
                    raise Failure(f"the service ended at start-up: {output.read()}")
            if not port_open(port):
                time.sleep(0.1)
                continue
            time.sleep(settle)
            if self.process.poll() is None:
                return
        self.stop()
        raise Failure("the service did not start listening")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.output.close()
