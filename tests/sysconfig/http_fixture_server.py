#!/usr/bin/python3
"""HTTP server for the download tests: fixed answers on 127.0.0.1.

Prints the port it listens on (chosen by the kernel) on the first line of
standard output. The argument names the folder served under /files/.
"""
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

FILES_DIR = sys.argv[1] if len(sys.argv) > 1 else None

FIXED = {
    "/ok": (200, b"hello from the fixture\n"),
    "/empty": (204, b""),
    "/moved": (301, b"moved elsewhere\n"),
    "/missing": (404, b"no such document\n"),
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, code, body):
        self.send_response(code)
        if code == 301:
            self.send_header("Location", "/ok")
        if code != 204:
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if code != 204:
            self.wfile.write(body)

    def do_GET(self):
        if self.path == "/silent":
            # Accepted and read, never answered.
            threading.Event().wait()
            return
        if self.path == "/trickle":
            # Never stalls long enough for the low-speed limit, never ends.
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            try:
                while True:
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
            return
        if self.path in FIXED:
            self.answer(*FIXED[self.path])
            return
        if self.path.startswith("/files/") and FILES_DIR:
            name = os.path.basename(self.path[len("/files/"):])
            try:
                with open(os.path.join(FILES_DIR, name), "rb") as f:
                    self.answer(200, f.read())
            except OSError:
                self.answer(404, b"no such file\n")
            return
        self.answer(404, b"unknown path\n")


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
