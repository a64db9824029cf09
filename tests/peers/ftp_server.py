#!/usr/bin/python3
"""A local FTP server, plain or with explicit TLS, for the tests.

Built on pyftpdlib (threaded: one thread per connection). Every user logs in to the
same --root folder. Besides the usual commands it answers "SITE UNIQUETIME" with
"200-" + a 17-digit id, a line break and "200 OK". With --tls it offers AUTH TLS (and
requires it with --require-tls); data connections are secured after PROT P. Once
listening it prints "PORT <n>" on standard output.

With --ident-port the server asks the client's ident responder (RFC 1413, on the
client's address at that port) during PASS, and refuses the login when the answer does
not carry the port pair it asked about, the type USERID and the user id --ident-user.

What it saw goes to --record-dir:
  commands.log   "<conn> <- <command line>" and "<conn> -> <reply line>" (PASS masked)
  transfers.log  "<conn> STOR <path> tls=<yes|no> reused=<yes|no|-> bytes=<n> complete=<yes|no>"
                 (path relative to the root, reused: the data connection resumed the
                 control connection's TLS session)
  ident.log      "<conn> query '<query>' answer '<answer>' -> <ok|wrong|failed>"

Misbehaviour is scripted through --control FILE, a JSON object read again for every
command (replace it atomically: write a temporary file, then rename). Each key below
takes true (always), a number n (the first n times since the control file last
changed), a glob on the command's argument (file or directory name), or
{"match": glob, "times": n}:
  refuse_login       answer PASS with 530
  refuse_uniquetime  answer SITE UNIQUETIME with 550
  refuse_mkd, refuse_cwd, refuse_rmd   answer 550
  refuse_stor        answer STOR with 550
  abort_stor         take part of the upload, then close the data connection and
                     answer 426 (the control connection stays)
  drop_stor          take part of the upload, then drop the data and control
                     connections without an answer
The key "uniquetime" (a text) replaces the generated session id.
"""

import argparse
import fnmatch
import json
import os
import socket
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, DTPHandler, TLS_FTPHandler, TLS_DTPHandler
from pyftpdlib.servers import ThreadedFTPServer
from OpenSSL import SSL

ARGS = None
LOCK = threading.Lock()
STATE = {"conn": 0, "control_text": None, "counts": {}, "last_id": ""}


def record(name, line):
    with LOCK:
        with open(os.path.join(ARGS.record_dir, name), "a", encoding="utf-8") as out:
            out.write(line + "\n")


def read_control():
    if not ARGS.control:
        return {}
    try:
        with open(ARGS.control, encoding="utf-8") as source:
            text = source.read()
    except OSError:
        text = ""
    with LOCK:
        if text != STATE["control_text"]:
            STATE["control_text"] = text
            STATE["counts"] = {}
    try:
        control = json.loads(text) if text.strip() else {}
    except ValueError:
        control = {}
    return control if isinstance(control, dict) else {}


def misbehave(key, argument=""):
    """True when the control file asks for this misbehaviour now (and counts it)."""
    value = read_control().get(key)
    if value is None or value is False:
        return False
    pattern, times = None, None
    if value is True:
        pass
    elif isinstance(value, (int, float)):
        times = int(value)
    elif isinstance(value, str):
        pattern = value
    elif isinstance(value, dict):
        pattern, times = value.get("match"), value.get("times")
    if pattern is not None and not fnmatch.fnmatch(os.path.basename(argument.rstrip("/")), pattern):
        return False
    with LOCK:
        used = STATE["counts"].get(key, 0)
        if times is not None and used >= times:
            return False
        STATE["counts"][key] = used + 1
    return True


def next_unique_id():
    fixed = read_control().get("uniquetime")
    if isinstance(fixed, str) and fixed:
        return fixed
    with LOCK:
        while True:
            now = time.time()
            text = time.strftime("%Y%m%d%H%M%S", time.localtime(now)) + "%03d" % int((now % 1) * 1000)
            if text > STATE["last_id"]:
                STATE["last_id"] = text
                return text
            time.sleep(0.001)


def query_ident(host, port, client_port, server_port):
    """Asks the client's ident responder; returns (query, answer, verdict)."""
    query = "%d , %d" % (client_port, server_port)
    answer = ""
    try:
        with socket.create_connection((host, port), timeout=5) as connection:
            connection.sendall((query + "\r\n").encode("ascii"))
            data = b""
            while not data.endswith(b"\n") and len(data) < 1000:
                chunk = connection.recv(1000)
                if not chunk:
                    break
                data += chunk
            answer = data.decode("latin-1").rstrip("\r\n")
    except OSError as error:
        return query, "%s" % error, "failed"
    fields = [field.strip() for field in answer.split(":", 3)]
    if len(fields) != 4:
        return query, answer, "wrong"
    ports = [part.strip() for part in fields[0].split(",")]
    good = (ports == [str(client_port), str(server_port)] and fields[1] == "USERID"
            and fields[2].split(",")[0].strip() != "" and fields[3] == ARGS.ident_user)
    return query, answer, "ok" if good else "wrong"


class CuttingFile:
    """Stands for the upload's file: keeps half of the first chunk, then cuts the transfer."""

    def __init__(self, target, channel):
        self._target = target
        self._channel = channel
        self._cut = False

    def write(self, chunk):
        if self._cut:
            return 0
        self._cut = True
        self._target.write(chunk[: max(1, len(chunk) // 2)])
        self._channel.zelko_cut_now()
        return len(chunk)

    def __getattr__(self, name):
        return getattr(self._target, name)


def hard_close(channel):
    """Closes a channel at once: no TLS shutdown, no reply."""
    try:
        raw = channel.socket
        if isinstance(raw, SSL.Connection):
            channel._ssl_established = False
            channel._ssl_requested = False
            raw.sock_shutdown(socket.SHUT_RDWR)
        else:
            raw.shutdown(socket.SHUT_RDWR)
    except Exception:
        pass
    try:
        channel.close()
    except Exception:
        pass


class RecordingDTPMixin:
    """Records each upload: whether it ran over TLS and resumed the control session."""

    def _zelko_init(self):
        self._zelko_tls = False
        self._zelko_reused = "-"
        self._zelko_cut = None

    def handle_ssl_established(self):
        self._zelko_tls = True
        reused = SSL._lib.SSL_session_reused(self.socket._ssl) == 1
        self._zelko_reused = "yes" if reused else "no"
        if ARGS.require_reuse and not reused:
            self._resp = ("522 SSL connection failed: session reuse required", lambda *a, **k: None)
            self.close()

    def enable_receiving(self, type, cmd):
        argument = self.file_obj.name if self.file_obj is not None else ""
        if misbehave("drop_stor", argument):
            self._zelko_cut = "drop"
        elif misbehave("abort_stor", argument):
            self._zelko_cut = "abort"
        if self._zelko_cut is not None:
            self.file_obj = CuttingFile(self.file_obj, self)
        return super().enable_receiving(type, cmd)

    def zelko_cut_now(self):
        if self._zelko_cut == "abort":
            self._resp = ("426 Transfer aborted on purpose.", lambda *a, **k: None)
            self.close()
        else:
            self._resp = ()
            channel = self.cmd_channel
            hard_close(self)
            hard_close(channel)

    def close(self):
        if not self._closed and self.file_obj is not None and self.receive:
            path = os.path.relpath(os.path.realpath(self.file_obj.name), ARGS.root)
            complete = self.transfer_finished and self._zelko_cut is None
            record("transfers.log", "%d STOR %s tls=%s reused=%s bytes=%d complete=%s" % (
                self.cmd_channel._zelko_conn, path, "yes" if self._zelko_tls else "no",
                self._zelko_reused, self.get_transmitted_bytes(), "yes" if complete else "no"))
        return super().close()


class PlainRecordingDTP(RecordingDTPMixin, DTPHandler):
    def __init__(self, sock, cmd_channel):
        self._zelko_init()
        super().__init__(sock, cmd_channel)


class TlsRecordingDTP(RecordingDTPMixin, TLS_DTPHandler):
    def __init__(self, sock, cmd_channel):
        self._zelko_init()
        super().__init__(sock, cmd_channel)


class ZelkoHandlerMixin:
    """Site commands, ident check, recording and scripted misbehaviour."""

    def on_connect(self):
        with LOCK:
            STATE["conn"] += 1
            self._zelko_conn = STATE["conn"]
        self._zelko_local_port = self.socket.getsockname()[1]

    def pre_process_command(self, line, cmd, arg):
        shown = line if cmd != "PASS" else "PASS ******"
        record("commands.log", "%d <- %s" % (self._zelko_conn, shown))
        upper = cmd.upper()
        name = arg
        if upper == "SITE":
            upper = "SITE " + arg.split(" ")[0].upper()
        for command, key in (("MKD", "refuse_mkd"), ("XMKD", "refuse_mkd"), ("CWD", "refuse_cwd"),
                             ("XCWD", "refuse_cwd"), ("RMD", "refuse_rmd"), ("XRMD", "refuse_rmd"),
                             ("STOR", "refuse_stor"), ("SITE UNIQUETIME", "refuse_uniquetime")):
            if upper == command and self.authenticated and misbehave(key, name):
                return self.respond("550 Refused on purpose.")
        return super().pre_process_command(line, cmd, arg)

    def respond(self, resp, logfun=None):
        record("commands.log", "%d -> %s" % (self._zelko_conn, resp))
        if logfun is None:
            return super().respond(resp)
        return super().respond(resp, logfun=logfun)

    def push(self, data):
        if isinstance(data, str) and data[:3].isdigit() and data[3:4] == "-":
            record("commands.log", "%d -> %s" % (self._zelko_conn, data.rstrip("\r\n")))
        return super().push(data)

    def ftp_PASS(self, line):
        if self.authenticated or not self.username:
            return super().ftp_PASS(line)
        if misbehave("refuse_login"):
            return self.handle_auth_failed("Login refused on purpose.", line)
        if ARGS.ident_port:
            query, answer, verdict = query_ident(self.remote_ip, ARGS.ident_port, self.remote_port,
                                                 self._zelko_local_port)
            record("ident.log", "%d query '%s' answer '%s' -> %s" % (self._zelko_conn, query, answer, verdict))
            if verdict != "ok":
                return self.handle_auth_failed("Ident check failed.", line)
        return super().ftp_PASS(line)

    def ftp_SITE_UNIQUETIME(self, line):
        self.push("200-%s\r\n" % next_unique_id())
        self.respond("200 OK")


def make_handler(tls):
    base = TLS_FTPHandler if tls else FTPHandler
    commands = dict(base.proto_cmds)
    commands["SITE UNIQUETIME"] = dict(perm=None, auth=True, arg=None,
                                       help="Syntax: SITE UNIQUETIME (unique session id).")

    class Handler(ZelkoHandlerMixin, base):
        proto_cmds = commands
        dtp_handler = TlsRecordingDTP if tls else PlainRecordingDTP
        auth_failed_timeout = 0.05
        max_login_attempts = 3
        permit_foreign_addresses = False
        banner = "Zelko test FTP server ready."

    if tls:
        context = SSL.Context(SSL.TLS_SERVER_METHOD)
        context.use_certificate_chain_file(ARGS.cert)
        context.use_privatekey_file(ARGS.key)
        context.set_options(SSL.OP_NO_SSLv2 | SSL.OP_NO_SSLv3 | getattr(SSL, "OP_NO_COMPRESSION", 0))
        context.set_session_id(b"zelko-ftp")
        Handler.ssl_context = context
        Handler.certfile = ARGS.cert
        Handler.keyfile = ARGS.key
        Handler.tls_control_required = ARGS.require_tls
        Handler.tls_data_required = ARGS.require_tls
    return Handler


def watch_parent():
    """Ends the server with the test that started it, even when that test crashed."""
    parent = os.getppid()

    def watch():
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (\"::1\" for IPv6)")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--root", required=True)
    parser.add_argument("--record-dir", required=True)
    parser.add_argument("--control", default="")
    parser.add_argument("--user", action="append", default=[], help="login:password")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--require-tls", action="store_true")
    parser.add_argument("--require-reuse", action="store_true")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--ident-port", type=int, default=0)
    parser.add_argument("--ident-user", default="")
    ARGS = parser.parse_args()
    if ARGS.tls and not (ARGS.cert and ARGS.key):
        parser.error("--tls needs --cert and --key")
    # The server changes its working folder on CWD: every path must be absolute.
    ARGS.root = os.path.realpath(ARGS.root)
    ARGS.record_dir = os.path.realpath(ARGS.record_dir)
    ARGS.control = os.path.realpath(ARGS.control) if ARGS.control else ""
    os.makedirs(ARGS.root, exist_ok=True)
    os.makedirs(ARGS.record_dir, exist_ok=True)

    authorizer = DummyAuthorizer()
    for entry in ARGS.user or ["agent:secret"]:
        login, _, password = entry.partition(":")
        authorizer.add_user(login, password, ARGS.root, perm="elradfmwMT")
    handler = make_handler(ARGS.tls)
    handler.authorizer = authorizer

    import logging
    logging.basicConfig(level=logging.ERROR)
    server = ThreadedFTPServer((ARGS.host, ARGS.port), handler)
    server.max_cons = 64
    watch_parent()
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
