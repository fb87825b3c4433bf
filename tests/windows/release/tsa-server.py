#!/usr/bin/env python3
"""A minimal RFC 3161 time-stamp authority on a free loopback port, for the signing tests.

  tsa-server.py --pki DIR --port-file FILE [--log FILE]

Answers every POST of an application/timestamp-query with the reply of `openssl ts -reply`,
signed by DIR/tsa.pem. Each answered request adds one line to the log, so a test can tell
that the signer really asked for its time stamp.
"""
import argparse
import http.server
import os
import subprocess
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pki", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log")
    args = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            if self.headers.get("Content-Type") != "application/timestamp-query" or not 0 < length <= 65536:
                self.send_error(400, "expected an application/timestamp-query")
                return
            query = self.rfile.read(length)
            with tempfile.TemporaryDirectory() as work:
                query_file = os.path.join(work, "query.tsq")
                reply_file = os.path.join(work, "reply.tsr")
                with open(query_file, "wb") as f:
                    f.write(query)
                done = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(args.pki, "tsa.cnf"),
                                       "-queryfile", query_file, "-out", reply_file],
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    self.send_error(500, "openssl ts failed: " + done.stderr.strip().replace("\n", " "))
                    return
                with open(reply_file, "rb") as f:
                    reply = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)
            if args.log:
                with open(args.log, "a") as f:
                    f.write(f"time stamp for {self.path} ({length} byte query)\n")

        def log_message(self, format, *values):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
