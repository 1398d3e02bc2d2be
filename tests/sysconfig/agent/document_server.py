#!/usr/bin/python3
"""document_server.py SERVED_DIR REQUEST_LOG

Serves the files of SERVED_DIR over HTTP on 127.0.0.1 as /NAME, answers
404 for anything else, and appends every requested path to REQUEST_LOG.
The port, chosen by the kernel, is printed as the first line of standard
output once the server accepts connections.
"""
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SERVED_DIR = sys.argv[1]
REQUEST_LOG = sys.argv[2]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(REQUEST_LOG, "a") as log:
            log.write(self.path + "\n")
        name = self.path.lstrip("/")
        path = os.path.join(SERVED_DIR, name)
        if "/" in name or not os.path.isfile(path):
            self.answer(404, b"no such document\n")
            return
        with open(path, "rb") as f:
            self.answer(200, f.read())


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
