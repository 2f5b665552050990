"""The loopback HTTP server of the Windows read-service suite, around one run of the suite.

    loopback_server.py COMMAND...

serves the routes below on 127.0.0.1 while COMMAND (the suite, through wine) runs, and exits with
its exit code. COMMAND finds the server in VORN_TEST_HTTP ("http://127.0.0.1:<port>"), a port that
nothing listens on in VORN_TEST_CLOSED_PORT, and the record of every request in the file named by
VORN_TEST_HTTP_LOG (one line a request: path, then the Range, If-Range, User-Agent,
Accept-Encoding and Cache-Control headers, tab-separated; the path is a wine path). Bodies are the
bytes of pattern(), as the Qt suite's fixture makes them.
"""

import http.server
import os
import select
import socket
import subprocess
import sys
import tempfile
import threading

from vorn_rig import QuietHandler

MASK = (1 << 64) - 1


def pattern(offset, size):
    out = bytearray(size)
    for i in range(size):
        v = offset + i
        v ^= v >> 13
        out[i] = ((v * 0x9E3779B97F4A7C15) & MASK) >> 56
    return bytes(out)


WHOLE = pattern(0, 300000)
CUT_SIZE = 400000
CUT = pattern(0, CUT_SIZE)
ZIP_END = b"PK\x05\x06" + bytes(18)
ARCHIVE = b"PK\x03\x04" + pattern(0, 5000) + ZIP_END
STALL_PATIENCE_S = 30


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # a client that went away
            super().handle_error(request, client_address)


class Handler(QuietHandler):
    protocol_version = "HTTP/1.1"

    def answer(self, status, body, headers=(), send=None):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body if send is None else body[:send])
        self.wfile.flush()

    def do_GET(self):
        with self.server.log_lock, open(self.server.log_path, "a") as log:
            log.write("\t".join([self.path] + [self.headers.get(name, "") for name in (
                "Range", "If-Range", "User-Agent", "Accept-Encoding", "Cache-Control")]) + "\n")
        path = self.path
        if path == "/whole.zip":
            self.answer(200, WHOLE)
        elif path == "/chunked.zip":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(WHOLE), 65536):
                piece = WHOLE[at:at + 65536]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        elif path == "/moved.zip":
            self.answer(302, b"", [("Location", "/whole.zip")])
        elif path == "/loop.zip":
            self.answer(302, b"", [("Location", "/loop.zip")])
        elif path == "/gone.zip":
            self.answer(404, b"<html>Not here</html>", [("Content-Type", "text/html")])
        elif path == "/encoded.zip":
            self.answer(200, b"compressed bytes", [("Content-Encoding", "gzip")])
        elif path == "/page.zip":
            self.answer(200, b"<!DOCTYPE html><html>Down for maintenance</html>",
                        [("Content-Type", "text/html")])
        elif path == "/archive.zip":
            self.answer(200, ARCHIVE)
        elif path == "/half.zip":
            self.answer(200, ARCHIVE[:3000])
        elif path == "/cut.zip":
            # The rest, when asked for the rest of this version; else all of it, cut in half.
            wanted = self.headers.get("Range", "")
            if wanted.startswith("bytes=") and self.headers.get("If-Range") == '"v1"':
                first = int(wanted[6:].rstrip("-"))
                self.answer(206, CUT[first:], [
                    ("ETag", '"v1"'), ("Content-Range", f"bytes {first}-{CUT_SIZE - 1}/{CUT_SIZE}")])
            else:
                self.close_connection = True
                self.answer(200, CUT, [("ETag", '"v1"')], send=CUT_SIZE // 2)
        elif path == "/stall.zip":
            # Half the body, then nothing until the client goes away.
            self.close_connection = True
            self.answer(200, pattern(0, 1000), send=500)
            select.select([self.connection], [], [], STALL_PATIENCE_S)
        else:
            self.answer(404, b"", [])


def main(command):
    folder = tempfile.mkdtemp(prefix="vorn-winhttp-")
    server = Server(("127.0.0.1", 0), Handler)
    server.log_lock = threading.Lock()
    server.log_path = os.path.join(folder, "requests.log")
    open(server.log_path, "w").close()
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))  # held bound, never listening
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ,
               VORN_TEST_HTTP=f"http://127.0.0.1:{server.server_address[1]}",
               VORN_TEST_CLOSED_PORT=str(closed.getsockname()[1]),
               VORN_TEST_HTTP_LOG="Z:" + server.log_path.replace("/", "\\"))
    try:
        return subprocess.run(command, env=env).returncode
    finally:
        server.shutdown()
        server.server_close()
        closed.close()
        os.remove(server.log_path)
        os.rmdir(folder)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
