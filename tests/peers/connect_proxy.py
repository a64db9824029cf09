#!/usr/bin/python3
"""A small HTTP CONNECT proxy for the tests. Prints "PORT <n>" once listening.

--user login:password makes it demand Basic credentials (407 without them).
--record FILE gets one line per request head it saw:
  "<request line> | auth: <login:password sent, or ->"
"""

import argparse
import base64
import binascii
import select
import socket
import socketserver
import sys
import threading

from peerserve import serve_announcing_port


class ProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        head = self.read_head()
        if head is None:
            return
        lines = head.decode("latin-1").split("\r\n")
        request_line = lines[0]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        sent = self.credentials_sent(headers.get("proxy-authorization", ""))
        self.server.record(f"{request_line} | auth: {sent or '-'}")
        method, _, target = request_line.partition(" ")
        target = target.rsplit(" ", 1)[0]
        if method != "CONNECT":
            return self.reply("405 Method Not Allowed")
        if self.server.credentials and sent != self.server.credentials:
            return self.reply("407 Proxy Authentication Required",
                              "Proxy-Authenticate: Basic realm=\"proxy\"\r\n")
        host, _, port = target.rpartition(":")
        try:
            upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=10)
        except (OSError, ValueError):
            return self.reply("502 Bad Gateway")
        self.reply("200 Connection established")
        self.pump(self.request, upstream)

    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(4096)
            if not chunk or len(data) > 65536:
                return None
            data += chunk
        # A client may not send anything after the head before the tunnel is up.
        return data.split(b"\r\n\r\n", 1)[0]

    @staticmethod
    def credentials_sent(value):
        scheme, _, token = value.partition(" ")
        if scheme.lower() != "basic":
            return None
        try:
            return base64.b64decode(token.strip(), validate=True).decode("utf-8", "replace")
        except (binascii.Error, ValueError):
            return None

    def reply(self, status, extra_headers=""):
        body_length = "Content-Length: 0\r\n" if not status.startswith("200") else ""
        self.request.sendall(f"HTTP/1.1 {status}\r\n{extra_headers}{body_length}\r\n".encode("latin-1"))

    @staticmethod
    def pump(client, upstream):
        sockets = [client, upstream]
        try:
            while True:
                readable, _, _ = select.select(sockets, [], [], 60)
                if not readable:
                    return
                for source in readable:
                    data = source.recv(65536)
                    if not data:
                        return
                    (upstream if source is client else client).sendall(data)
        except OSError:
            pass
        finally:
            upstream.close()


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, credentials, record_path):
        super().__init__(address, ProxyHandler)
        self.credentials = credentials
        self.record_path = record_path
        self.record_lock = threading.Lock()

    def record(self, line):
        if self.record_path:
            with self.record_lock, open(self.record_path, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def handle_error(self, request, client_address):
        pass


def main():
    parser = argparse.ArgumentParser(description="HTTP CONNECT proxy")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", help="login:password the clients must send")
    parser.add_argument("--record", help="file that gets the request lines seen")
    arguments = parser.parse_args()
    server = ProxyServer((arguments.host, arguments.port), arguments.user, arguments.record)
    serve_announcing_port(server)


if __name__ == "__main__":
    sys.exit(main())
