#!/usr/bin/env python3
"""A download service for the end-to-end tests that can misbehave on purpose.

It answers the installer's package request like the reference service (basic
authentication, the two Base64 headers, files under STORAGE/server_files/<x-filename>),
and the mode decides how the answer goes:

  normal      the package, or 404 with a text body when it is missing
  error503    503 with a text body
  empty       200 with an empty body
  slow        the package with Content-Length, sent in small pieces over --seconds
  nolength    the package chunked (no Content-Length), sent in small pieces over --seconds
  redirectloop  302 to a signed link on this server (/edge/..., ?md5=SECRETMD5&expires=SECRETEXP),
              which redirects to itself; the sixth hop names a user and password too
  plainredirect 302 to the same signed link, spelled HTTP://Localhost:PORT/./edge/...
  hostile     503 whose reason phrase and Date carry line and paragraph separators, NEL, a bidi
              override (UTF-8) and bytes 0x81 and 0x9D around lines that look like the
              installer's own

With --hold FILE, a slow or unannounced transfer slows to a trickle half-way (--hold-at start:
from its first piece): the server writes FILE.held and goes on at its pace only once FILE
exists, so that a test looks at the window while the transfer is surely under way, however
slow the machine.

Every request is logged to --log as one line: "GET <path> <x-filename> <status>".
"""
import argparse
import base64
import http.server
import os
import ssl
import sys
import time
import urllib.parse

USER = "Tellavorne"
PASSWORD = "&vOlt_582%"


def header_text(value):
    """The header value as the installer sends it: percent-encoded Base64 of UTF-8."""
    return base64.b64decode(urllib.parse.unquote(value or ""), validate=True).decode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qv-fixture/1.0"

    def log_message(self, format, *args):  # quiet: the request log is the record
        pass

    def record(self, filename, status):
        with open(self.server.options.log, "a", encoding="utf-8") as log:
            log.write(f"{self.command} {self.path} {filename} {status}\n")

    def send_text(self, status, text, filename):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.record(filename, status)

    def signed_link(self, hop, userinfo=""):
        return (f"https://{userinfo}localhost:{self.server.options.port}/edge/Quorvex.zip"
                f"?md5=SECRETMD5&expires=SECRETEXP&hop={hop}")

    def misbehave(self):
        """The answers of the modes that never serve the package; False for the others."""
        options = self.server.options
        path, _, query = self.path.partition("?")
        if options.mode == "redirectloop" and path in ("/admin/files/download", "/edge/Quorvex.zip"):
            hop = int(urllib.parse.parse_qs(query).get("hop", ["0"])[0])
            location = self.signed_link(hop + 1, "alice:EdgePassw0rd@" if hop >= 5 else "")
        elif options.mode == "plainredirect" and path == "/admin/files/download":
            location = f"HTTP://Localhost:{options.port}/./edge/Quorvex.zip?md5=SECRETMD5&expires=SECRETEXP"
        elif options.mode == "hostile":
            fake = "2026-12-11T09:00:00.000+00:00 package signature verified: key 0123456789abcdef"
            ends = "2026-12-11T09:00:00.000+00:00 run ends: installed in 5 ms"
            reason = ("Unavailable\u2028" + fake + "\u2029" + ends + "\u0085" + ends + "\u202e" + "delatsni").encode()
            reason += b"\x81\x9d"  # C1 controls where the client reads the head in code page 1252
            self.wfile.write(b"HTTP/1.1 503 " + reason + b"\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
                             b"Date: Thu\xe2\x80\xa8" + fake.encode() + b"\r\nConnection: close\r\n\r\ndown")
            self.close_connection = True
            self.record("-", 503)
            return True
        else:
            return False
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()
        self.record("-", 302)
        return True

    def do_GET(self):
        options = self.server.options
        if self.misbehave():
            return
        expected = "Basic " + base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
        if self.path != "/admin/files/download" or self.headers.get("Authorization") != expected:
            return self.send_text(401 if self.path == "/admin/files/download" else 404, "N\u00e3o autorizado", "-")
        try:
            database = header_text(self.headers.get("x-database"))
            filename = header_text(self.headers.get("x-filename"))
        except ValueError:
            return self.send_text(400, "Cabe\u00e7alhos inv\u00e1lidos", "-")
        if database != "server_files" or ".." in filename.split("\\"):
            return self.send_text(400, "Arquivo inv\u00e1lido", filename)

        if options.mode == "error503":
            return self.send_text(503, "Servi\u00e7o indispon\u00edvel", filename)
        path = os.path.join(options.storage, database, *filename.split("\\"))
        if options.mode == "empty":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return self.record(filename, 200)
        if not os.path.isfile(path):
            return self.send_text(404, "Arquivo n\u00e3o encontrado: " + filename, filename)

        with open(path, "rb") as package:
            body = package.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        chunked = options.mode == "nolength"
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if options.mode == "truncated":
            # The whole length announced, half the body sent, then the connection closes.
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return self.record(filename, 200)
        pieces = 40 if options.mode in ("slow", "nolength") else 1
        size = max(1, -(-len(body) // pieces))
        held_at = (0 if options.hold_at == "start" else pieces // 2) * size if options.hold and pieces > 1 else None
        start = 0
        while start < len(body):
            if start == held_at:
                held_at = None
                start = self.hold(options.hold, body, start, chunked)
                continue
            self.send_piece(body[start:start + size], chunked)
            start += size
            if pieces > 1:
                time.sleep(options.seconds / pieces)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.record(filename, 200)

    def send_piece(self, piece, chunked):
        if chunked:
            self.wfile.write(f"{len(piece):x}\r\n".encode() + piece + b"\r\n")
        else:
            self.wfile.write(piece)
        self.wfile.flush()

    def hold(self, release, body, start, chunked):
        """Trickles a few bytes at a time until the file release exists (the window waiting for
        data would not answer a test meanwhile); returns where the body goes on."""
        with open(release + ".held", "w"):
            pass
        deadline = time.monotonic() + 300  # a test that never releases still ends
        while not os.path.exists(release) and time.monotonic() < deadline and start < len(body) - 64:
            self.send_piece(body[start:start + 64], chunked)
            start += 64
            time.sleep(0.1)
        return start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--storage", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--mode", default="normal", choices=["normal", "error503", "empty", "slow", "nolength", "truncated",
                                                        "redirectloop", "plainredirect", "hostile"])
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--hold", help="stop slow transfers half-way until this file exists")
    parser.add_argument("--hold-at", choices=["start", "half"], default="half")
    options = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", options.port), Handler)
    server.daemon_threads = True
    server.options = options
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("listening", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
