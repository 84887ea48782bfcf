#!/usr/bin/env python3
"""A static file server over HTTP/1.1 that misbehaves on purpose, so the
end-to-end tests can watch the relay resume, retry and refuse.

Only paths containing --match (a plain substring) misbehave; the first
--times requests of each such path do (default 1; every one for "wrong").
"norange" ignores Range on every matching request. One JSON object per
request goes to --log; the port it bound goes to --port-file."""
import argparse
import email.utils
import itertools
import json
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

MODES = ("normal", "cut", "stall", "wrong", "retry", "norange")

parser = argparse.ArgumentParser()
parser.add_argument("--root", required=True)
parser.add_argument("--mode", choices=MODES, default="normal")
parser.add_argument("--match", default="")
parser.add_argument("--times", type=int)
parser.add_argument("--bytes", type=int, help="body bytes sent before cutting or stalling; default half")
parser.add_argument("--seconds", type=float, default=3600.0, help="how long a stall lasts")
parser.add_argument("--status", type=int, default=503)
parser.add_argument("--after", default="1", help="Retry-After value")
parser.add_argument("--log", required=True)
parser.add_argument("--port-file", required=True)
args = parser.parse_args()

root = os.path.realpath(args.root)
lock = threading.Lock()
seen = {}
connections = itertools.count(1)
log = open(args.log, "a", encoding="ascii")


def misbehaves(path):
    if args.mode == "normal" or args.match not in path:
        return False
    if args.mode == "norange":
        return True
    with lock:
        seen[path] = seen.get(path, 0) + 1
        count = seen[path]
    limit = args.times if args.times is not None else (None if args.mode == "wrong" else 1)
    return limit is None or count <= limit


def byte_range(header, size):
    """(first, last) of a single bytes range, "unsatisfiable", or None to serve it all."""
    unit, _, spec = header.partition("=")
    if unit.strip() != "bytes" or "," in spec:
        return None
    first, _, last = spec.strip().partition("-")
    try:
        if not first:
            suffix = int(last)
            return (max(size - suffix, 0), size - 1) if suffix > 0 and size else "unsatisfiable"
        first = int(first)
        last = min(int(last), size - 1) if last else size - 1
    except ValueError:
        return None
    if first >= size:
        return "unsatisfiable"
    return (first, last) if first <= last else None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fault"

    def setup(self):
        super().setup()
        self.connection_id = next(connections)

    def log_message(self, *_):
        pass  # our own log says more

    def send_response(self, code, message=None):
        self.status = code
        super().send_response(code, message)

    def do_GET(self):
        self.serve(body=True)

    def do_HEAD(self):
        self.serve(body=False)

    def serve(self, body):
        self.status, self.sent, self.logged = None, 0, False
        try:
            self.respond(unquote(urlsplit(self.path).path), body)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            self.record()

    def record(self):
        if self.logged:
            return
        self.logged = True
        entry = {"method": self.command, "uri": self.path, "status": self.status, "bytes": self.sent,
                 "range": self.headers.get("Range"), "if_range": self.headers.get("If-Range"),
                 "if_none_match": self.headers.get("If-None-Match"),
                 "if_modified_since": self.headers.get("If-Modified-Since"), "connection": self.connection_id}
        with lock:
            log.write(json.dumps(entry) + "\n")
            log.flush()

    def send(self, data):
        for at in range(0, len(data), 65536):
            chunk = data[at:at + 65536]
            self.wfile.write(chunk)
            self.sent += len(chunk)

    def empty(self, status, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def respond(self, path, body):
        file = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if not file.startswith(root + os.sep) or not os.path.isfile(file):
            return self.empty(404)
        bad = misbehaves(path)
        if bad and args.mode == "retry":
            return self.empty(args.status, [("Retry-After", args.after)])
        stat = os.stat(file)
        size = stat.st_size
        validators = [("ETag", '"%x-%x"' % (stat.st_mtime_ns, size)),
                      ("Last-Modified", email.utils.formatdate(stat.st_mtime, usegmt=True))]
        etag, modified = validators[0][1], validators[1][1]

        match = self.headers.get("If-None-Match")
        since = self.headers.get("If-Modified-Since")
        if match is not None:
            if match.strip() == "*" or etag in (tag.strip().removeprefix("W/") for tag in match.split(",")):
                return self.empty(304, validators)
        elif since:
            try:
                if int(stat.st_mtime) <= email.utils.parsedate_to_datetime(since).timestamp():
                    return self.empty(304, validators)
            except (TypeError, ValueError):
                pass

        first, last, status = 0, size - 1, 200
        wanted, condition = self.headers.get("Range"), self.headers.get("If-Range")
        ranges = not (bad and args.mode == "norange")
        if wanted and ranges and (condition is None or condition.strip() in (etag, modified)):
            chosen = byte_range(wanted, size)
            if chosen == "unsatisfiable":
                return self.empty(416, [("Content-Range", "bytes */%d" % size)])
            if chosen:
                (first, last), status = chosen, 206

        with open(file, "rb") as source:
            source.seek(first)
            data = source.read(last - first + 1)
        if bad and args.mode == "wrong":
            data = bytes(byte ^ 0xFF for byte in data)

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        for name, value in validators:
            self.send_header(name, value)
        if ranges:
            self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.end_headers()
        if not body:
            return
        if bad and args.mode in ("cut", "stall"):
            self.send(data[:len(data) // 2 if args.bytes is None else args.bytes])
            self.close_connection = True
            if args.mode == "stall":
                self.record()  # seen before the client gives up
                time.sleep(args.seconds)
            return
        self.send(data)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


server = Server(("127.0.0.1", 0), Handler)
with open(args.port_file + ".new", "w", encoding="ascii") as out:
    out.write("%d\n" % server.server_address[1])
os.replace(args.port_file + ".new", args.port_file)
server.serve_forever()
