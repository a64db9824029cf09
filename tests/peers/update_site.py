#!/usr/bin/python3
"""A local update site for the tests: serves the files of a folder over HTTP or HTTPS.

Prints "PORT <n>" once listening. GET /a/b answers the file <root>/a/b, or 404.

--tls-cert/--tls-key make it an HTTPS site.
--log FILE gets one line per request: "<method> <path> | ua: <User-Agent>".
--control FILE is a JSON object read again at every request; it maps a request path
to how that path is answered instead of the plain way:
  {"status": 404}                    that status code (reason text: the standard one)
  {"reason": "ok"}                   the file with this reason text instead of "OK"
  {"no_length": true}                the file without Content-Length, connection closed after it
  {"truncate": n}                    Content-Length of the whole file, then only n bytes and close
  {"raw": "text"}                    no status line at all: the text (latin-1) and then the file
"""

import argparse
import http.server
import json
import os
import ssl
import sys
import threading

from peerserve import serve_announcing_port


class SiteHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.server.record(f"GET {self.path} | ua: {self.headers.get('User-Agent', '-')}")
        rule = self.server.rule_for(self.path)
        if "status" in rule:
            return self.answer_status(int(rule["status"]))
        content = self.server.file_content(self.path)
        if content is None:
            return self.answer_status(404)
        if "raw" in rule:
            self.wfile.write(rule["raw"].encode("latin-1") + content)
            self.close_connection = True
            return
        self.send_response(200, rule.get("reason", "OK"))
        self.send_header("Content-Type", "application/octet-stream")
        if rule.get("no_length"):
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(content)))
        self.end_headers()
        if "truncate" in rule:
            content = content[: int(rule["truncate"])]
            self.close_connection = True
        self.wfile.write(content)

    def answer_status(self, status):
        body = f"status {status}\n".encode("ascii")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass


class UpdateSite(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, root, control_path, log_path):
        super().__init__(address, SiteHandler)
        self.root = os.path.realpath(root)
        self.control_path = control_path
        self.log_path = log_path
        self.log_lock = threading.Lock()

    def record(self, line):
        if self.log_path:
            with self.log_lock, open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def rule_for(self, path):
        if not self.control_path or not os.path.exists(self.control_path):
            return {}
        with open(self.control_path, encoding="utf-8") as f:
            return json.load(f).get(path, {})

    def file_content(self, path):
        local = os.path.realpath(os.path.join(self.root, path.split("?", 1)[0].lstrip("/")))
        if not local.startswith(self.root + os.sep) or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return f.read()

    def handle_error(self, request, client_address):
        pass


def main():
    parser = argparse.ArgumentParser(description="local update site")
    parser.add_argument("--root", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--control")
    parser.add_argument("--log")
    arguments = parser.parse_args()
    server = UpdateSite((arguments.host, arguments.port), arguments.root, arguments.control, arguments.log)
    if arguments.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(arguments.tls_cert, arguments.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    serve_announcing_port(server)


if __name__ == "__main__":
    sys.exit(main())
