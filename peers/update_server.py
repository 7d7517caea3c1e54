#!/usr/bin/python3
"""Local update server for tests: answers the query protocol on /cgi/u over HTTP or HTTPS.

Standard library only. It binds 127.0.0.1 on a free port and writes the port as the first
line of its standard output (and to --port-file when given). With --tls it makes a
self-signed certificate for localhost and 127.0.0.1 with the openssl command in a temporary
directory, serves HTTPS, and writes the certificate's path (the file a client must trust)
as the second line. It ends by itself after --idle seconds without a request, when its
parent process ends, or on SIGTERM.

What it serves comes from a JSON file (--config), read again for every request so that a
test can change answers and faults between requests:

  {
    "devices": {                      # by serial number, eight upper-case hex digits
      "40F5849A": {
        "builds": {"99528558": "2.10.5", "99528000": "2.9.0"},
        "current": "99528558",        # line 2 of "qu"
        "firmware": "2.10.5",         # line 3 of "qu"
        "token": "aaa.bbb.ccc"        # line 2 of "ent_jwt"
      }
    },
    "recovery": {                     # by fingerprint, four words "%08X %08X %08X %08X"
      "00000001 00000002 00000003 00000004": {"serial": "DEADDEAD", "build": "7"}
    },
    "raw": {"qu": "ok\\r\\n123\\r\\n"}, # a body sent as it is for an operation
    "fault": {"kind": "cut", "ops": ["bird"]}
  }

Builds ("bird") are the files STORE/SERIAL/BUILD.bird or STORE/BUILD.bird under --store,
sent base64-encoded on line 2.

Fault kinds (for every operation, or only those listed in "ops"):
  404, 500   answer with that status (and a short body)
  notok      a first line "error" with status 200
  crlf       every line ends with CR LF
  empty      status 200 and an empty body
  cut        announce the whole body, send half of it, close the connection
  hang       read the request and never answer (until the client goes away)
  badb64     the build's base64 text with a character outside the alphabet in it

Every request's raw request line is appended to --log, one line each.
"""

import argparse
import base64
import http.server
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

PATH = "/cgi/u"


class State:
    def __init__(self, args):
        self.args = args
        self.last_request = time.monotonic()
        self.lock = threading.Lock()

    def touch(self):
        with self.lock:
            self.last_request = time.monotonic()

    def idle_for(self):
        with self.lock:
            return time.monotonic() - self.last_request

    def config(self):
        if not self.args.config:
            return {}
        try:
            with open(self.args.config, "r", encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def log(self, line):
        if not self.args.log:
            return
        with self.lock:
            with open(self.args.log, "a", encoding="latin-1") as f:
                f.write(line + "\n")


def find_build(store, serial, build):
    """The bytes of a stored build, or None. Names are checked before they become paths."""
    if not store or not build.isdigit() or not all(c in "0123456789ABCDEF" for c in serial):
        return None
    for path in (os.path.join(store, serial, build + ".bird"), os.path.join(store, build + ".bird")):
        if os.path.isfile(path):
            with open(path, "rb") as f:
                return f.read()
    return None


def answer(config, store, query):
    """The status and body text for one query (before faults)."""
    def one(key):
        values = query.get(key)
        return values[0] if values else ""

    op = one("op")
    raw = config.get("raw", {})
    if op in raw:
        return 200, raw[op]
    devices = config.get("devices", {})
    serial = one("sn")
    device = devices.get(serial)
    if op == "hi":
        return 200, "ok\n"
    if op == "qu":
        if device is None or "current" not in device:
            return 200, "error\nno build for %s\n" % serial
        return 200, "ok\n%s\n%s\n" % (device["current"], device.get("firmware", ""))
    if op == "builds":
        if device is None:
            return 200, "error\nunknown device %s\n" % serial
        lines = ["ok"] + ["%s;%s" % (b, v) for b, v in device.get("builds", {}).items()]
        return 200, "\n".join(lines) + "\n"
    if op == "bird":
        data = find_build(store, serial, one("bld"))
        if data is None:
            return 200, "error\nno build %s for %s\n" % (one("bld"), serial)
        return 200, "ok\n%s\n" % base64.b64encode(data).decode("ascii")
    if op == "fix":
        fix = config.get("recovery", {}).get(one("fp"))
        if fix is None:
            return 200, "error\nunknown fingerprint\n"
        return 200, "ok\n%s\n%s\n" % (fix.get("serial", ""), fix.get("build", ""))
    if op == "ent_jwt":
        if device is None or "token" not in device:
            return 200, "error\nno token for %s\n" % serial
        return 200, "ok\n%s\n" % device["token"]
    return 200, "error\nunknown operation\n"


def make_handler(state):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "LocalUpdateServer/1"

        def log_message(self, format, *args):  # quiet
            pass

        def setup(self):
            # The TLS handshake runs here, on the connection's own thread.
            if isinstance(self.request, ssl.SSLSocket):
                self.request.settimeout(10)
                self.request.do_handshake()
                self.request.settimeout(None)
            super().setup()

        def send_body(self, status, body, cut=False):
            data = body.encode("latin-1")
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            if cut:
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                # Abort the connection rather than end it politely.
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            else:
                self.wfile.write(data)
            self.close_connection = True

        def hang(self):
            # Hold the connection without answering until the client closes it.
            self.connection.settimeout(0.5)
            deadline = time.monotonic() + state.args.idle
            while time.monotonic() < deadline:
                try:
                    if self.connection.recv(1, socket.MSG_PEEK) == b"":
                        break
                except socket.timeout:
                    continue
                except OSError:
                    break
            self.close_connection = True

        def do_GET(self):
            state.touch()
            state.log(self.requestline)
            url = urllib.parse.urlsplit(self.path)
            if url.path != PATH:
                self.send_body(404, "not found\n")
                return
            # The query is split by hand: "+" and "%20" must reach the answer as sent.
            query = {}
            for item in url.query.split("&"):
                if item:
                    key, _, value = item.partition("=")
                    query.setdefault(urllib.parse.unquote(key), []).append(
                        urllib.parse.unquote(value))
            config = state.config()
            op = (query.get("op") or [""])[0]
            fault = config.get("fault") or {}
            kind = str(fault.get("kind", "")) if fault else ""
            ops = fault.get("ops")
            if ops is not None and op not in ops:
                kind = ""
            if kind == "hang":
                self.hang()
                return
            if kind in ("404", "500"):
                self.send_body(int(kind), "fault %s\n" % kind)
                return
            status, body = answer(config, state.args.store, query)
            if kind == "notok":
                body = "error\n" + body.split("\n", 1)[-1] if "\n" in body else "error\n"
            elif kind == "crlf":
                body = body.replace("\r\n", "\n").replace("\n", "\r\n")
            elif kind == "empty":
                body = ""
            elif kind == "badb64":
                lines = body.split("\n")
                if len(lines) > 1 and len(lines[1]) >= 4:
                    lines[1] = lines[1][:2] + "*" + lines[1][3:]
                body = "\n".join(lines)
            self.send_body(status, body, cut=(kind == "cut"))

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that reject the certificate or hang up early are part of the tests.
        pass


def make_certificate(directory):
    key = os.path.join(directory, "key.pem")
    cert = os.path.join(directory, "cert.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=localhost",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return key, cert


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--config", help="JSON file of devices, recovery, raw answers, fault")
    parser.add_argument("--store", help="directory of BIRD files")
    parser.add_argument("--log", help="file that receives each request line")
    parser.add_argument("--tls", action="store_true", help="serve HTTPS")
    parser.add_argument("--port-file", help="also write the port here")
    parser.add_argument("--idle", type=float, default=60.0, help="seconds before ending unused")
    args = parser.parse_args()

    state = State(args)
    parent = os.getppid()
    tmp = tempfile.mkdtemp(prefix="update_server.")
    try:
        server = Server(("127.0.0.1", 0), make_handler(state))
        cert = ""
        if args.tls:
            key, cert = make_certificate(tmp)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            server.socket = context.wrap_socket(server.socket, server_side=True,
                                                do_handshake_on_connect=False)
        port = server.server_address[1]
        if args.port_file:
            partial = args.port_file + ".part"
            with open(partial, "w") as f:
                f.write("%d\n" % port)
            os.replace(partial, args.port_file)
        sys.stdout.write("%d\n%s\n" % (port, cert))
        sys.stdout.flush()

        def stop(*_):
            threading.Thread(target=server.shutdown, daemon=True).start()

        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)

        def watchdog():
            while True:
                time.sleep(0.2)
                if os.getppid() != parent or state.idle_for() > args.idle:
                    stop()
                    return

        threading.Thread(target=watchdog, daemon=True).start()
        server.serve_forever(poll_interval=0.1)
        server.server_close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
