#!/usr/bin/env python3
"""A static file server over HTTP/1.1 that misbehaves on purpose on the paths
that contain --match, for the first --times requests of each:
  cut      sends half the body (or --bytes), then closes the connection
  stall    sends half the body, then sends nothing more for a long while
  mute     takes the request and never answers
  wrong    sends the right length of wrong bytes
  retry    answers --status (503) with Retry-After: --after (1)
  norange  ignores Range and If-Range
  redirect answers 302 to --to
  garbage  answers with a line that is no HTTP at all
  unasked  answers 304 whether or not anything was asked
  trickle  sends the body a byte every 0.2 s
  login    wants Basic credentials --login (user:password) on every path
  tamper   changes a byte in the middle of what it sends
  normal   behaves
Asked as a proxy (an absolute URL), it serves the URL's path from ROOT.
Modes combine: "cut,norange" cuts the first answer and ignores Range after.
usage: fault_server.py PORT ROOT MODE LOG [--match= --times= --bytes= --status= --after= --to= --login=]
Each request goes to LOG as tab-separated fields: method, path, status, body
bytes sent, Range and If-Range ("-" when absent)."""
import base64
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port, root, modes, log = int(sys.argv[1]), os.path.realpath(sys.argv[2]), sys.argv[3].split(","), sys.argv[4]
options = dict(arg[2:].split("=", 1) for arg in sys.argv[5:])
match, times = options.get("match", ""), int(options.get("times", 1))
lock, seen = threading.Lock(), {}


def misbehaviour(path):
    """The modes that apply to this request of path."""
    if match not in path:
        return set()
    with lock:
        seen[path] = seen.get(path, 0) + 1
        early = seen[path] <= times
    return {mode for mode in modes if mode in ("norange", "login") or early}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def record(self, status, sent):
        fields = [self.command, self.path, str(status), str(sent)] + \
            [self.headers.get(name, "-") for name in ("Range", "If-Range")]
        with lock, open(log, "a") as out:
            out.write("\t".join(fields) + "\n")

    def answer(self, status, headers, data=b""):
        self.send_response(status)
        for name, value in headers + [("Content-Length", str(len(data)))]:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        if self.path.startswith("http://"):
            self.path = "/" + self.path.split("/", 3)[3]
        file = os.path.realpath(os.path.join(root, self.path.lstrip("/")))
        if not file.startswith(root + os.sep) or not os.path.isfile(file):
            self.answer(404, [])
            return self.record(404, 0)
        bad = misbehaviour(self.path)
        login = "Basic " + base64.b64encode(options.get("login", "").encode()).decode()
        if "login" in modes and self.headers.get("Authorization") != login:
            self.answer(401, [("WWW-Authenticate", 'Basic realm="up"')])
            return self.record(401, 0)
        if "mute" in bad:
            time.sleep(3600)
            return
        if "garbage" in bad:
            self.wfile.write(b"NOT HTTP AT ALL\r\n\r\n")
            self.close_connection = True
            return self.record(0, 0)
        for mode, status, headers in (("redirect", 302, [("Location", options.get("to", ""))]),
                                      ("unasked", 304, [])):
            if mode in bad:
                self.answer(status, headers)
                return self.record(status, 0)
        if "retry" in bad:
            self.answer(int(options.get("status", 503)), [("Retry-After", options.get("after", "1"))])
            return self.record(int(options.get("status", 503)), 0)
        data = open(file, "rb").read()
        stat = os.stat(file)
        etag = '"%x-%x"' % (stat.st_mtime_ns, len(data))
        headers, status = [("ETag", etag)], 200
        wanted = self.headers.get("Range", "")
        if wanted.startswith("bytes=") and self.headers.get("If-Range", etag) == etag and "norange" not in bad:
            first, _, last = wanted[6:].partition("-")
            first, last = int(first), min(int(last or len(data) - 1), len(data) - 1)
            headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, len(data))))
            data, status = data[first:last + 1], 206
        if "wrong" in bad:
            data = bytes(byte ^ 0xFF for byte in data)
        if "tamper" in bad and data:
            middle = len(data) // 2
            data = data[:middle] + bytes([data[middle] ^ 1]) + data[middle + 1:]
        self.answer(status, headers, data)
        if "trickle" in bad:
            for byte in data:
                self.wfile.write(bytes([byte]))
                self.wfile.flush()
                time.sleep(0.2)
            return self.record(status, len(data))
        if bad & {"cut", "stall"}:
            part = int(options.get("bytes", len(data) // 2))
            self.wfile.write(data[:part])
            self.wfile.flush()
            self.record(status, part)
            if "stall" in bad:
                time.sleep(3600)
            self.close_connection = True
            return
        self.wfile.write(data)
        self.record(status, len(data))


class Server(ThreadingHTTPServer):
    daemon_threads = True


Server(("127.0.0.1", port), Handler).serve_forever()
