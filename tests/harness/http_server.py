#!/usr/bin/python3
"""http_server.py SERVED_DIR REQUEST_LOG: the tests' HTTP server on 127.0.0.1, its port first
on standard output. /silent is never answered, /trickle never ends; /NAME is SERVED_DIR/NAME."""
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SERVED_DIR, REQUEST_LOG = sys.argv[1], sys.argv[2]
FIXED = {
    "/ok": (200, b"hello from the fixture\n"),
    "/empty": (204, b""),
    "/moved": (301, b"moved elsewhere\n"),
    "/missing": (404, b"no such document\n"),
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def answer(self, code, body):
        self.send_response(code)
        if code == 301:
            self.send_header("Location", "/ok")
        if code != 204:
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(REQUEST_LOG, "a") as log:
            log.write(self.path + "\n")
        if self.path == "/silent":
            threading.Event().wait()
        elif self.path == "/trickle":
            # Never stalls long enough for a low-speed limit, never ends.
            self.send_response(200)
            self.end_headers()
            try:
                while True:
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
        elif self.path in FIXED:
            self.answer(*FIXED[self.path])
        else:
            name = self.path.lstrip("/")
            path = os.path.join(SERVED_DIR, name)
            if "/" in name or not os.path.isfile(path):
                return self.answer(*FIXED["/missing"])
            with open(path, "rb") as f:
                self.answer(200, f.read())


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
