#!/usr/bin/python3
"""A local filekey server for the tests and the demo.

Serves POST /verify.php, /upload.php and /encoding.php (under any path prefix) over
HTTPS, or plain HTTP with --plain. It checks the request documents itself, knows its
users, stores uploaded files under their transfer names and answers as the filekey
server does. Once listening it prints "PORT <n>" on standard output.

What it received goes to --record-dir:
  requests.log          one line per request: "<seq> <method> <path> -> <http status>"
  problems.log          one line per fault found in a request (absent when none)
  files.log             one line per uploaded file: "<seq> <name> <status> <description>"
  <seq>-<script>.head   the request line and headers as received
  <seq>-<script>.body   the request body as received
  files/                the stored files, unless --store-dir names another folder

Misbehaviour is scripted through --control FILE, a JSON object read again for every
request (replace it atomically: write a temporary file, then rename). Its top level
applies to every script; the objects under "verify", "upload" and "encoding" apply on
top of it for that script. Keys:
  refuse_login    true: answer as for a wrong user name or password
  status          overall "Status" text of verify and upload answers (default "0")
  description     overall "Description" text
  html_error      true: answer HTTP 500 with an HTML page that is not XML
  http_status     HTTP status of an otherwise normal answer
  root            name of the answer's root element
  drop            names of root children to leave out of the answer
  user_name       "UserName" text to answer instead of the echo
  password        "Password" text to answer instead of the echo (taken as is)
  filekeys        answer only this many "FileKey" elements
  refuse_files    glob patterns of transfer names to refuse (status 1, not stored)
  file_status     status texts by file position, replacing the real ones
  drop_file_elements  names of "FileKey" children to leave out
  encodings       [[code, encoding], ...] entries of the encoding dictionary
  response_encoding   encoding of the answer document (default "iso-8859-1")
  body            answer this text instead of a document
  big_body        answer this many filler bytes instead of a document
  no_length       with big_body: no Content-Length, the body ends when the connection closes
  delay           seconds to wait before answering
  close           true: close the connection without an answer
  cut_body        true: read only the first half of the request body, then close the
                  connection without an answer (the client is still sending)
  limit           apply this object only to the first n requests it matches since
                  the control file last changed
"""

import argparse
import base64
import binascii
import fnmatch
import hashlib
import http.server
import json
import os
import ssl
import sys
import threading
import time
import xml.etree.ElementTree as ET
import zlib

from peerserve import serve_announcing_port

SCRIPTS = {
    "/verify.php": ("verify", "ZelkoVerify"),
    "/upload.php": ("upload", "ZelkoUpload"),
    "/encoding.php": ("encoding", "ZelkoRequestEncoding"),
}
ENVELOPE = ["Creator", "UserName", "Password", "SupportInfo"]
SUPPORT_INFO = ["Version", "Licence", "LocalIP"]
FILEKEY = ["Name", "KmrCode", "KmrEncoding", "ContentType", "Content", "SHA1"]
GZIP_HEADER = bytes([0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0])
CRS_CODES = ["ama", "sir", "atlantis", "aurora", "kd", "btn", "buma", "elvia", "zkf", "gali",
             "galirail", "irisplus", "kuschick", "onesto", "ratiosoft", "sabre", "toma",
             "traffics", "wsp", "xbeds"]
HTML_ERROR_PAGE = (
    "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n"
    "<html><head>\n"
    "<title>500 Internal Server Error</title>\n"
    "</head><body>\n"
    "<h1>Internal Server Error</h1>\n"
    "<p>The server encountered an internal error and was unable to complete your request.<br>\n"
    "<hr>\n"
    "</body></html>\n")


class Control:
    """The scripted misbehaviour, read from the control file for every request."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.content = None
        self.used = {}

    def settings_for(self, script):
        data = self._load()
        settings = {}
        for key, section in (("*", data), (script, data.get(script))):
            if not isinstance(section, dict) or not self._take(key, section):
                continue
            settings.update({k: v for k, v in section.items() if k not in SECTIONS})
        return settings

    def _load(self):
        if not self.path:
            return {}
        try:
            with open(self.path, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            raw = b""
        with self.lock:
            if raw != self.content:
                self.content = raw
                self.used = {}
        if not raw.strip():
            return {}
        return json.loads(raw)

    def _take(self, key, section):
        with self.lock:
            count = self.used.get(key, 0)
            if "limit" in section and count >= int(section["limit"]):
                return False
            self.used[key] = count + 1
            return True


SECTIONS = {"verify", "upload", "encoding", "limit"}


class Recorder:
    """Writes what the server received into the record directory."""

    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.sequence = 0
        if directory:
            os.makedirs(directory, exist_ok=True)

    def next_sequence(self):
        with self.lock:
            self.sequence += 1
            return self.sequence

    def write(self, name, data):
        if self.directory:
            with open(os.path.join(self.directory, name), "wb") as f:
                f.write(data)

    def append(self, name, line):
        if self.directory:
            with self.lock, open(os.path.join(self.directory, name), "a", encoding="utf-8") as f:
                f.write(line + "\n")


class RequestFault(Exception):
    """The request breaks the wire format."""


def child_texts(element, names, where):
    tags = [child.tag for child in element]
    if tags != names:
        raise RequestFault(f"{where}: children {tags}, expected {names}")
    return {child.tag: (child.text or "") for child in element}


def strict_base64(text, what):
    try:
        return base64.b64decode(text.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError, ValueError):
        raise RequestFault(f"{what}: not valid base64")


def parse_envelope(body, script, root_name):
    """Checks the request document; returns (root, user name, password text)."""
    head = body[:100].lower()
    if not head.startswith(b"<?xml") or b"iso-8859-1" not in head.split(b"?>")[0]:
        raise RequestFault("the document does not declare encoding iso-8859-1")
    try:
        root = ET.fromstring(body)
    except ET.ParseError as error:
        raise RequestFault(f"the document is not well-formed: {error}")
    if root.tag != root_name:
        raise RequestFault(f"root {root.tag}, expected {root_name}")
    if root.attrib != {"version": "1.0"}:
        raise RequestFault(f"root attributes {root.attrib}, expected version 1.0")
    children = list(root)
    extra = ["FileKey"] * (len(children) - len(ENVELOPE)) if script == "upload" else []
    if [c.tag for c in children] != ENVELOPE + extra:
        raise RequestFault(f"children {[c.tag for c in children]}, expected {ENVELOPE} "
                           f"{'and FileKey elements' if script == 'upload' else ''}")
    if (children[0].text or "") != "ZELKOTRANSFER":
        raise RequestFault(f"Creator {children[0].text!r}")
    password_text = children[2].text or ""
    password = strict_base64(password_text, "Password").decode("utf-8", "replace")
    support = child_texts(children[3], SUPPORT_INFO, "SupportInfo")
    if not all(support.values()):
        raise RequestFault(f"SupportInfo has an empty value: {support}")
    return root, children[1].text or "", password_text, password


def decode_file(filekey):
    """(name, content) of one "FileKey"; RequestFault when it is malformed."""
    values = child_texts(filekey, FILEKEY, "FileKey")
    name = values["Name"]
    if values["KmrCode"] != name.split("_")[0]:
        raise RequestFault(f"KmrCode {values['KmrCode']!r} does not start the name {name!r}")
    if values["ContentType"] != "gzip/base64":
        raise RequestFault(f"ContentType {values['ContentType']!r}")
    packed = strict_base64(values["Content"], "Content")
    if packed[:10] != GZIP_HEADER:
        raise RequestFault(f"gzip header {packed[:10].hex()}")
    inflater = zlib.decompressobj(wbits=31)
    try:
        content = inflater.decompress(packed) + inflater.flush()
    except zlib.error as error:
        raise RequestFault(f"gzip data: {error}")
    if not inflater.eof or inflater.unused_data:
        raise RequestFault("gzip data: not exactly one complete member")
    if values["SHA1"] != hashlib.sha1(content).hexdigest():
        raise RequestFault(f"SHA1 {values['SHA1']!r} does not match the content")
    return name, content


def safe_file_name(name):
    return name not in ("", ".", "..") and "/" not in name and "\0" not in name


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "filekey/1.0"

    def setup(self):
        # The handshake runs on this connection's own thread, so a slow client cannot
        # hold up the others.
        if self.server.ssl_context is not None:
            self.request = self.server.ssl_context.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)

    def do_GET(self):
        self.answer(405, b"only POST is served\n", "text/plain")

    def do_POST(self):
        sequence = self.server.recorder.next_sequence()
        script, root_name = self.script_of(self.path)
        tag = f"{sequence:04d}-{script or 'unknown'}"
        self.server.recorder.write(tag + ".head", (self.requestline + "\r\n" + str(self.headers)).encode("latin-1"))
        length = self.headers.get("Content-Length")
        if length is None:
            return self.finish_request(sequence, 411, b"length required\n", "text/plain")
        settings = self.server.control.settings_for(script) if script is not None else {}
        if settings.get("cut_body"):
            self.rfile.read(int(length) // 2)
            self.server.recorder.append("requests.log", f"{sequence:04d} POST {self.path} -> cut mid-body")
            self.close_connection = True
            return
        body = self.rfile.read(int(length))
        self.server.recorder.write(tag + ".body", body)
        if script is None:
            return self.finish_request(sequence, 404, b"no such script\n", "text/plain")
        try:
            root, user, password_text, password = parse_envelope(body, script, root_name)
        except RequestFault as fault:
            self.server.recorder.append("problems.log", f"{sequence:04d} {script}: {fault}")
            return self.finish_request(sequence, 400, f"bad request: {fault}\n".encode(), "text/plain")
        if self.misbehave(sequence, settings):
            return
        known = self.server.users.get(user)
        login_ok = known is not None and known == password and not settings.get("refuse_login")
        document = getattr(self, "answer_" + script)(sequence, settings, root, user, password_text, login_ok)
        if document is None:
            message = b"access denied: invalid user name or password\n"
            return self.finish_request(sequence, 403, message, "text/plain")
        self.send_document(sequence, settings, document)

    @staticmethod
    def script_of(path):
        path = path.split("?")[0]
        for suffix, (script, root_name) in SCRIPTS.items():
            if path.endswith(suffix):
                return script, root_name
        return None, None

    def misbehave(self, sequence, settings):
        """Carries out the scripted faults that replace an answer; True when one did."""
        if settings.get("delay"):
            time.sleep(float(settings["delay"]))
        if settings.get("close"):
            self.server.recorder.append("requests.log", f"{sequence:04d} POST {self.path} -> closed")
            self.close_connection = True
            return True
        if settings.get("html_error"):
            self.finish_request(sequence, 500, HTML_ERROR_PAGE.encode("latin-1"), "text/html")
            return True
        if "body" in settings:
            self.finish_request(sequence, int(settings.get("http_status", 200)),
                                settings["body"].encode("utf-8"), "text/html")
            return True
        if settings.get("big_body"):
            self.send_big_body(sequence, int(settings["big_body"]), bool(settings.get("no_length")))
            return True
        return False

    def answer_verify(self, sequence, settings, root, user, password_text, login_ok):
        status, description = ("0", "user verified") if login_ok else ("1", "invalid user name or password")
        return self.result_root("ZelkoVerifyResult", settings, user, password_text, status, description)

    def answer_upload(self, sequence, settings, root, user, password_text, login_ok):
        status, description = ("0", "package accepted") if login_ok else ("1", "invalid user name or password")
        result = self.result_root("ZelkoUploadResult", settings, user, password_text, status, description)
        if not login_ok:
            return result
        answers = [self.store_file(sequence, settings, filekey) for filekey in root.findall("FileKey")]
        for position, answer in enumerate(answers):
            if position < len(settings.get("file_status", [])):
                answer[1] = str(settings["file_status"][position])
        for name, file_status, file_description in answers[:settings.get("filekeys", len(answers))]:
            element = ET.SubElement(result, "FileKey")
            for tag, text in (("Name", name), ("Status", file_status), ("Description", file_description)):
                if tag not in settings.get("drop_file_elements", []):
                    ET.SubElement(element, tag).text = text
        return result

    def answer_encoding(self, sequence, settings, root, user, password_text, login_ok):
        if not login_ok:
            return None
        result = ET.Element("ZelkoResponseEncoding")
        ET.SubElement(result, "UserName").text = settings.get("user_name", user)
        ET.SubElement(result, "Password").text = settings.get("password", password_text)
        for code, encoding in settings.get("encodings", [[c, "iso-8859-1"] for c in CRS_CODES]):
            entry = ET.SubElement(result, "EncodingDefinition")
            ET.SubElement(entry, "KmrCode").text = code
            ET.SubElement(entry, "KmrEncoding").text = encoding
        return result

    @staticmethod
    def result_root(name, settings, user, password_text, status, description):
        result = ET.Element(name)
        ET.SubElement(result, "UserName").text = settings.get("user_name", user)
        ET.SubElement(result, "Password").text = settings.get("password", password_text)
        ET.SubElement(result, "Status").text = str(settings.get("status", status))
        ET.SubElement(result, "Description").text = settings.get("description", description)
        return result

    def store_file(self, sequence, settings, filekey):
        """[name, status, description] for one uploaded file, stored when accepted."""
        try:
            name, content = decode_file(filekey)
        except RequestFault as fault:
            self.server.recorder.append("problems.log", f"{sequence:04d} upload: {fault}")
            name = filekey.findtext("Name", "")
            status = [name, "1", f"file refused: {fault}"]
        else:
            if not safe_file_name(name):
                status = [name, "1", "file refused: unusable name"]
            elif any(fnmatch.fnmatchcase(name, p) for p in settings.get("refuse_files", [])):
                status = [name, "1", "file refused by the server"]
            else:
                with open(os.path.join(self.server.store_dir, name), "wb") as f:
                    f.write(content)
                status = [name, "0", "file stored"]
        self.server.recorder.append("files.log", f"{sequence:04d} {status[0]} {status[1]} {status[2]}")
        return status

    def send_document(self, sequence, settings, result):
        if settings.get("root"):
            result.tag = settings["root"]
        for name in settings.get("drop", []):
            for child in result.findall(name):
                result.remove(child)
        encoding = settings.get("response_encoding", "iso-8859-1")
        body = ET.tostring(result, encoding=encoding, xml_declaration=True)
        self.finish_request(sequence, int(settings.get("http_status", 200)), body, "text/xml; charset=" + encoding)

    def send_big_body(self, sequence, size, no_length):
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        if no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(size))
        self.end_headers()
        self.server.recorder.append("requests.log", f"{sequence:04d} POST {self.path} -> 200 big body")
        chunk = b"x" * (1 << 20)
        try:
            while size > 0:
                self.wfile.write(chunk[:min(size, len(chunk))])
                size -= len(chunk)
        except OSError:
            self.close_connection = True  # the client gave up on it, as it should

    def finish_request(self, sequence, status, body, content_type):
        self.server.recorder.append("requests.log", f"{sequence:04d} POST {self.path} -> {status}")
        self.answer(status, body, content_type)

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class FilekeyServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def read_users(arguments):
    users = {}
    if arguments.users:
        with open(arguments.users, encoding="utf-8") as f:
            users.update(json.load(f))
    for pair in arguments.user:
        login, _, password = pair.partition(":")
        users[login] = password
    return users


def main():
    parser = argparse.ArgumentParser(description="local filekey server")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--plain", action="store_true", help="plain HTTP instead of HTTPS")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--users", help="JSON file: {\"login\": \"password\", ...}")
    parser.add_argument("--user", action="append", default=[], help="login:password, repeatable")
    parser.add_argument("--record-dir")
    parser.add_argument("--store-dir")
    parser.add_argument("--control", help="JSON file of scripted misbehaviour")
    parser.add_argument("--verbose", action="store_true")
    arguments = parser.parse_args()

    server = FilekeyServer((arguments.host, arguments.port), Handler)
    server.verbose = arguments.verbose
    server.users = read_users(arguments)
    server.control = Control(arguments.control)
    server.recorder = Recorder(arguments.record_dir)
    server.store_dir = arguments.store_dir or os.path.join(arguments.record_dir or ".", "files")
    os.makedirs(server.store_dir, exist_ok=True)
    server.ssl_context = None
    if not arguments.plain:
        if not arguments.cert:
            parser.error("--cert (and --key) are needed unless --plain is given")
        server.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.ssl_context.load_cert_chain(arguments.cert, arguments.key)
    serve_announcing_port(server)


if __name__ == "__main__":
    sys.exit(main())
