#!/usr/bin/env python3
"""HTTPS server for the worker's web-operation tests. It plays the decryption service, a
web service with chosen statuses and redirects, and a media host that honours ranges
("/media/"), can break a transfer off once ("/flaky/"), or ignores ranges ("/whole/"). Every request is appended to the log file."""
import argparse
import os
import ssl
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

ARGS = None
LOCK = threading.Lock()
CUT_DONE = set()


def log(line):
    with LOCK, open(ARGS.log, "a") as out:
        out.write(line + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length)

    def route(self):
        url = urlparse(self.path)
        log("%s %s range=%s cookie=%s" % (self.command, url.path,
                                          self.headers.get("Range", "-"),
                                          self.headers.get("Cookie", "-")))
        parts = url.path.strip("/").split("/")
        if parts[0] == "echo":
            data = self.body()
            text = "cookie=%s;body=" % self.headers.get("Cookie", "")
            return self.answer(200, text.encode() + data)
        if parts[0] == "decrypt":
            data = self.body()
            if "CASTGC=" not in self.headers.get("Cookie", ""):
                return self.answer(401, b"no ticket")
            try:
                return self.answer(200, bytes.fromhex(data.decode()))
            except ValueError:
                return self.answer(400, b"not encrypted")
        if parts[0] == "status":
            self.body()
            return self.answer(int(parts[1]), b"status")
        if parts[0] == "redirect":
            self.body()
            target = parse_qs(url.query)["to"][0]
            return self.answer(302, b"", [("Location", target)])
        if parts[0] in ("media", "flaky", "whole"):
            return self.media(parts[0], parts[1])
        return self.answer(404, b"unknown")

    def media(self, kind, name):
        path = os.path.join(ARGS.root, name)
        if not os.path.isfile(path):
            return self.answer(404, b"no such media")
        with open(path, "rb") as f:
            data = f.read()
        start = 0
        status = 200
        headers = []
        rng = self.headers.get("Range")
        if rng and rng.startswith("bytes=") and kind != "whole":
            start = int(rng[6:].split("-")[0])
            if start >= len(data):
                return self.answer(416, b"", [("Content-Range", "bytes */%d" % len(data))])
            status = 206
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))))
        piece = data[start:]
        with LOCK:
            cut = kind == "flaky" and name not in CUT_DONE
            CUT_DONE.add(name)
        if not cut:
            return self.answer(status, piece, headers)
        # Promise everything, send half, and drop the connection.
        self.send_response(status)
        self.send_header("Content-Length", str(len(piece)))
        for header in headers:
            self.send_header(*header)
        self.end_headers()
        self.wfile.write(piece[: len(piece) // 2])
        self.wfile.flush()
        self.close_connection = True
        self.connection.close()

    do_GET = route
    do_POST = route


def watch_parent():
    """Ends the server with the test program that started it, even when that one crashed."""
    parent = os.getppid()
    while os.getppid() == parent:
        threading.Event().wait(0.5)
    os._exit(0)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("cert", "key", "port-file", "root", "log"):
        parser.add_argument("--" + name, required=True)
    ARGS = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(ARGS.cert, ARGS.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(ARGS.port_file + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    os.rename(ARGS.port_file + ".tmp", ARGS.port_file)
    threading.Thread(target=watch_parent, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
