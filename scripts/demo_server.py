#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A stand-in for the ROM catalogue site and the net-disk service, on loopback.

Serves the sample pages of tests/fixtures/demo in code page 936:
  GET  /list-169-1-A-B-1-E   a list page (E 1: developer, 2: stable) for any model
  GET  /config               the configuration page, version equal to the build's
  GET  /listing              the net-disk folder listing
  POST /listing              the folder's file list
  GET  /<folder>/<file>      a small package: .tgz and .zip are real archives
  GET  /                     a plain page, so the site counts as reachable
"""

import argparse
import io
import re
import sys
import tarfile
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

PAGES = Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "demo"
LIST_PATH = re.compile(r"^/list-169-1-(\d+)-(\d+)-1-([12])$")


def package(name):
    """A few hundred bytes that unpack into a README naming the package."""
    note = ("Kestrune demo package %s: not a real ROM.\n" % name).encode()
    buffer = io.BytesIO()
    if name.lower().endswith(".zip"):
        with zipfile.ZipFile(buffer, "w") as archive:
            archive.writestr("README.txt", note)
    else:
        with tarfile.open(fileobj=buffer, mode="w:gz") as archive:
            info = tarfile.TarInfo("README.txt")
            info.size = len(note)
            archive.addfile(info, io.BytesIO(note))
    return buffer.getvalue()


class Handler(BaseHTTPRequestHandler):
    server_version = "KestruneDemo/1"

    def page(self, name, **fields):
        text = (PAGES / name).read_text(encoding="utf-8")
        text = text.replace("@HOST@", self.server.base).replace("@NETDISK@", self.server.base + "/netdisk/")
        for key, value in fields.items():
            text = text.replace("@%s@" % key.upper(), value)
        return text.replace("\n", "\r\n").encode("cp936")

    def answer(self, body, content_type="text/html", status=200):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        model = LIST_PATH.match(path)
        if model:
            edition = "list_developer.html" if model.group(3) == "1" else "list_stable.html"
            self.answer(self.page(edition, model="%s-%s" % (model.group(1), model.group(2))))
        elif path == "/config":
            self.answer(self.page("config.html"))
        elif path == "/listing":
            self.answer(self.page("listing.html"))
        elif path == "/promo":
            self.answer(self.page("promo.html"))
        elif path == "/":
            self.answer(b"<html><body>Kestrune demo site</body></html>")
        elif path.lower().endswith((".tgz", ".zip")):
            self.answer(package(path.rsplit("/", 1)[-1]), "application/octet-stream")
        else:
            self.answer(b"<html><body>404</body></html>", status=404)

    do_HEAD = do_GET

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        if self.path.split("?", 1)[0] == "/listing":
            self.answer(self.page("files.html"))
        else:
            self.answer(b"", status=404)

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("demo site: %s\n" % (fmt % args))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8936)
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.base = "http://127.0.0.1:%d" % server.server_address[1]
    server.quiet = args.quiet
    print("demo site on %s" % server.base, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
