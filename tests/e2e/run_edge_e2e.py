#!/usr/bin/env python3
"""End-to-end under Wine through an edge server: the reference service answers the installer's
authenticated request with a 307 to a signed link on Debian's stock nginx running the shipped
edge configuration (tests/edge/edge_server.py), and the installer downloads from there.

  run_edge_e2e.py ARGS edge_redirect      (ARGS as for run_e2e.py; run_e2e.py ARGS setup first)

Checks: the installer installs with the bar moving while the edge sends the package (the test
edge sends at a limited rate so that the bar can be watched); the edge's log has the signed
request and no Authorization header; a tampered or expired link gets 403 from the edge.

  run_edge_e2e.py ARGS edge_signed_package      the installer built with a package key: a
                                                signed package through the edge installs
  run_edge_e2e.py ARGS edge_changed_package     the edge serves the package changed after
                                                signing: nothing is written
"""
import base64
import hashlib
import os
import shutil
import socket
import ssl
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "edge"))
import edge_server  # noqa: E402
import run_e2e  # noqa: E402
import signing  # noqa: E402
from harness import Failure, LocalServer, check  # noqa: E402

SECRET = "e2e-edge-secret-0123456789"


class EdgeArgs:
    def __init__(self, state, certs, storage, secret_file):
        self.state = state
        self.cert = os.path.join(certs, "server.pem")
        self.key = os.path.join(certs, "server.key")
        self.storage = storage
        self.secret_file = secret_file
        self.limit_rate = "300k"
        self.workers = "1"


def start_service(args, edge_port, secret_file):
    command = run_e2e.reference_service(args, "--edge-base", f"https://localhost:{edge_port}/files",
                                        "--edge-secret-file", secret_file, "--edge-ttl", "120")
    return LocalServer(command, args.port, os.path.join(args.work, "service.out"))


def edge_status(certs, port, target):
    context = ssl.create_default_context(cafile=os.path.join(certs, "ca.pem"))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(f"GET {target} HTTP/1.1\r\nHost: localhost:{port}\r\nConnection: close\r\n\r\n".encode())
            status_line = tls.recv(4096).split(b"\r\n", 1)[0].decode()
    return int(status_line.split()[1])


def signature(expires, uri):
    digest = hashlib.md5(f"{expires}{uri} {SECRET}".encode()).digest()
    return base64.urlsafe_b64encode(digest).decode().rstrip("=")


def edge_redirect(args, machine):
    sizes = run_e2e.publish_package(args)
    secret_file = os.path.join(args.work, "edge-secret")
    with open(secret_file, "w") as out:
        out.write(SECRET + "\n")
    certs = os.path.join(args.work, "certs")
    edge_args = EdgeArgs(os.path.join(args.work, "edge"), certs, run_e2e.storage(args), secret_file)
    edge_port = edge_server.start(edge_args)
    service = None
    try:
        service = start_service(args, edge_port, secret_file)
        machine.start_installer()
        machine.probe("click", "Instalar")
        _, lines = machine.probe("sample-progress", 3000, 150)
        machine.screenshot("edge_redirect-progress")
        positions = [int(p) for p in run_e2e.samples(lines) if p.isdigit()]
        moving = [p for p in positions if 0 < p < 100]
        check(len(set(moving)) >= 3, f"the bar moves while the edge sends the package ({positions})")
        check(positions == sorted(positions), "and only forward")
        check(machine.wait_installer_end(), "the installer ended after installing")
        run_e2e.check_installed(machine, sizes)

        package = os.path.basename(run_e2e.package_path(args))
        with open(service.output_path, encoding="utf-8") as service_log:
            requests = [line for line in service_log.read().splitlines() if '"GET ' in line]
        check(len(requests) == 1 and '"GET /admin/files/download" 307 ' in requests[0]
              and 'user="Tellavorne"' in requests[0], f"the service answered once, with the redirect ({requests})")
        edge_log = open(os.path.join(edge_args.state, "access.log"), encoding="utf-8").read().splitlines()
        uri = f"/files/server_files/updates/{package}"
        served = [line for line in edge_log if line.startswith(f'200 "GET {uri}?md5=')]
        check(len(served) == 1, f"the edge served the signed link once ({edge_log})")
        check(all(line.endswith('authorization="-"') for line in edge_log),
              f"the edge never saw an Authorization header ({edge_log})")

        query = urllib.parse.parse_qs(served[0].split("?", 1)[1].split(" ", 1)[0])
        md5, expires = query["md5"][0], query["expires"][0]
        check(signature(expires, uri) == md5, "the link carries the signature over expiry, path and secret")
        # The support log follows the redirect without keeping what opens the link.
        run_e2e.check_run_log(machine, "edge_redirect")
        log = "".join(open(path, encoding="utf-8").read() for path in machine.run_logs())
        check(f"redirect to https://localhost:{edge_port}{uri}?md5=***&expires=***" in log,
              "the support log names the redirect's target with its query values withheld")
        check(md5 not in log and expires not in log, "and holds neither the link's signature nor its expiry")
        # The first character: the last one of 16 bytes in base64 carries four bits that decode to
        # nothing, so changing it there can leave the same digest.
        tampered = ("A" if md5[0] != "A" else "g") + md5[1:]
        past = int(time.time()) - 5
        for label, target, status in (
                ("the signed link", f"{uri}?md5={md5}&expires={expires}", 200),
                ("a tampered link", f"{uri}?md5={tampered}&expires={expires}", 403),
                ("a link with a later expiry", f"{uri}?md5={md5}&expires={int(expires) + 60}", 403),
                ("an expired link", f"{uri}?md5={signature(past, uri)}&expires={past}", 403)):
            got = edge_status(certs, edge_port, target)
            check(got == status, f"{label} gets {status} from the edge ({got})")
    finally:
        if service:
            service.stop()
        edge_server.stop(edge_args)


def edge_signed(args, machine, changed):
    """The service keeps the signed package; the edge has its own copy, changed after signing
    when changed is set (a compromised edge or a cache holding a wrong file)."""
    keys = (args.signing_key, os.path.splitext(args.signing_key)[0] + ".pub")
    sizes = run_e2e.publish_package(args)
    path = run_e2e.package_path(args)
    with open(path, "rb") as package:
        signed = signing.sign(package.read(), *keys, os.path.basename(path))
    with open(path, "wb") as package:
        package.write(signed)
    edge_storage = os.path.join(args.work, "edge-storage")
    shutil.rmtree(edge_storage, ignore_errors=True)
    shutil.copytree(run_e2e.storage(args), edge_storage)
    if changed:
        served = os.path.join(edge_storage, os.path.relpath(path, run_e2e.storage(args)))
        with open(served, "wb") as package:
            package.write(signing.flip(signed, len(signed) // 2))
    secret_file = os.path.join(args.work, "edge-secret")
    with open(secret_file, "w") as out:
        out.write(SECRET + "\n")
    certs = os.path.join(args.work, "certs")
    edge_args = EdgeArgs(os.path.join(args.work, "edge"), certs, edge_storage, secret_file)
    edge_args.limit_rate = ""  # no need to watch the bar here
    edge_port = edge_server.start(edge_args)
    service = None
    try:
        service = start_service(args, edge_port, secret_file)
        machine.start_installer(program=args.installer_signed)
        machine.probe("click", "Instalar")
        if changed:
            run_e2e.check_error_box(machine)
            run_e2e.answer_error_box(machine)
            machine.probe("close", expect_ok=False)
            check(machine.wait_installer_end(20000), "the installer closes")
            check(not os.path.exists(machine.host_path("C:\\Quorvex")), "nothing was written, not even the folder")
        else:
            check(machine.wait_installer_end(), "the installer ended after installing")
            run_e2e.check_installed(machine, sizes)
        edge_log = open(os.path.join(edge_args.state, "access.log"), encoding="utf-8").read().splitlines()
        check(len([line for line in edge_log if line.startswith('200 "GET /files/')]) == 1,
              f"the edge served the package ({edge_log})")
        log = "".join(open(p, encoding="utf-8").read() for p in machine.run_logs())
        said = "signature failure kind=bad-signature" if changed else \
            f"package signature verified for {os.path.basename(path)}: key {signing.key_id(keys[1])}"
        check(said in log, f"the support log says {said!r}")
        run_e2e.check_run_log(machine, "edge")
    finally:
        if service:
            service.stop()
        edge_server.stop(edge_args)


SCENARIOS = {
    "edge_redirect": edge_redirect,
    "edge_signed_package": lambda args, machine: edge_signed(args, machine, changed=False),
    "edge_changed_package": lambda args, machine: edge_signed(args, machine, changed=True),
}


def main():
    parser = run_e2e.argparse.ArgumentParser()
    for name in ("wine-env", "wine-root", "installer", "installer-without-style", "installer-with-faults",
                 "installer-signed", "installer-signed-two", "signing-key", "probe", "app", "service", "version",
                 "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("scenario", choices=list(SCENARIOS))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    machine = run_e2e.Machine(args)
    try:
        machine.reset()
        try:
            SCENARIOS[args.scenario](args, machine)
        except Failure:
            machine.screenshot(args.scenario + "-failure")
            raise
        finally:
            machine.stop_installer()
    except Failure as failure:
        print("FAIL:", failure)
        return 1
    print(f"{args.scenario}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
