#!/usr/bin/env python3
"""Runs the shipped edge configuration (service/deploy/nginx-edge.conf) with Debian's stock nginx
on a free loopback port, for the tests: the site file is taken as it is, with only its machine
paths, its port and its log replaced.

  edge_server.py start STATE --cert PEM --key KEY --storage DIR --secret-file FILE [--limit-rate RATE]
                             [--workers N|auto]
      writes STATE/nginx.conf, starts nginx (daemonised, pid in STATE/nginx.pid), and writes the
      port to STATE/port once it listens. The edge base is https://localhost:PORT/files.
  edge_server.py stop STATE

STATE/access.log has one line per request: status, request line, Authorization ("-" if none).
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SITE = os.path.join(ROOT, "service", "deploy", "nginx-edge.conf")


def site_config(state, port, cert, key, storage, secret_conf, limit_rate):
    text = open(SITE).read()
    replacements = [
        ("    listen 443 ssl;\n", f"    listen 127.0.0.1:{port} ssl;\n"),
        ("    listen [::]:443 ssl;\n", ""),
        ("/etc/ssl/quorvex/edge.pem", cert),
        ("/etc/ssl/quorvex/edge.key", key),
        ("/etc/nginx/qv-edge-secret.conf", secret_conf),
        ("alias /srv/quorvex/;", f"alias {storage.rstrip('/')}/;"),
        ("access_log /var/log/nginx/qv-edge.access.log;", f"access_log {state}/access.log qv_edge_test;"),
        ("ssl_session_cache shared:qv_edge:10m;", f"ssl_session_cache shared:qv_edge_{port}:1m;"),
    ]
    for old, new in replacements:
        if old not in text:
            raise SystemExit(f"edge_server.py: {SITE} no longer holds {old.strip()!r}")
        text = text.replace(old, new)
    if limit_rate:
        text = text.replace("        sendfile on;\n", f"        sendfile on;\n        limit_rate {limit_rate};\n")
    return text


def main_config(state, site, workers):
    user = "user root;\n" if os.geteuid() == 0 else ""
    temp = os.path.join(state, "temp")
    return f"""{user}worker_processes {workers};
worker_rlimit_nofile 16384;
pid {state}/nginx.pid;
error_log {state}/error.log notice;
events {{ worker_connections 8192; }}
http {{
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    log_format qv_edge_test '$status "$request" authorization="$http_authorization"';
    include {site};
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(args):
    state = os.path.abspath(args.state)
    os.makedirs(os.path.join(state, "temp"), exist_ok=True)
    stop(args)
    for name in ("port", "access.log"):
        if os.path.exists(os.path.join(state, name)):
            os.remove(os.path.join(state, name))
    secret = open(args.secret_file).read().rstrip("\r\n")
    secret_conf = os.path.join(state, "secret.conf")
    with open(secret_conf, "w") as out:
        out.write(f'set $qv_edge_secret "{secret}";\n')
    os.chmod(secret_conf, 0o600)
    for attempt in range(5):
        port = free_port()
        site = os.path.join(state, "edge-site.conf")
        with open(site, "w") as out:
            out.write(site_config(state, port, os.path.abspath(args.cert), os.path.abspath(args.key),
                                  os.path.abspath(args.storage), secret_conf, args.limit_rate))
        conf = os.path.join(state, "nginx.conf")
        with open(conf, "w") as out:
            out.write(main_config(state, site, args.workers))
        result = subprocess.run(["nginx", "-p", state, "-c", conf, "-e", os.path.join(state, "error.log")],
                                capture_output=True, text=True)
        if result.returncode == 0:
            deadline = time.time() + 10
            while time.time() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                    with open(os.path.join(state, "port.tmp"), "w") as out:
                        out.write(f"{port}\n")
                    os.rename(os.path.join(state, "port.tmp"), os.path.join(state, "port"))
                    return port
                except OSError:
                    time.sleep(0.05)
        if "Address already in use" not in result.stderr:
            raise SystemExit(f"edge_server.py: nginx did not start: {result.stderr.strip()}")
    raise SystemExit("edge_server.py: no free port for nginx")


def stop(args):
    pid_file = os.path.join(os.path.abspath(args.state), "nginx.pid")
    try:
        pid = int(open(pid_file).read())
    except (OSError, ValueError):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.time() + 10
    while time.time() < deadline and os.path.exists(pid_file):
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("state")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--storage")
    parser.add_argument("--secret-file")
    parser.add_argument("--limit-rate")
    parser.add_argument("--workers", default="1")
    args = parser.parse_args()
    if args.action == "start":
        start(args)
    else:
        stop(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
