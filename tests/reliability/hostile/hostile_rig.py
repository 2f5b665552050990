"""Shared pieces of the hostile-server and hostile-archive runs.

A rig is one program folder with the real updater, engine library and stand-in client, a loopback
HTTP server and a HOME of its own: the end-to-end tests' set-up (tests/support/vorn_rig.py), used here
through an instance of its UpdaterRig. Every rig lives in a sandbox folder of its own, so that a
snapshot of that folder shows anything the updater wrote where it should not.
"""

import concurrent.futures
import os
import random
import re
import shutil
import socket
import ssl
import stat
import struct
import subprocess
import threading
import time

import vorn_rig as e2e

PATIENCE_S = e2e.PATIENCE_S

# What every rig has installed before its run: a successful run would change shared.txt, and the
# version notes would make the close button start the client again.
INSTALLED = {"shared.txt": "installed\n", "bin/tool": ("installed tool\n", 0o755),
             "versions.txt": "1.0\n- installed\n"}


def open_rig(test):
    """A fresh program folder with the installation above; cleaned up with the test."""
    rig = e2e.UpdaterRig()
    rig.setUp()
    test.addCleanup(rig.doCleanups)
    # The download's temporary file lands inside the sandbox, where its removal can be seen.
    rig.tmp = os.path.join(rig.root, "tmp")
    os.makedirs(rig.tmp)
    rig.env["TMPDIR"] = rig.tmp
    # The engine library is in the system directory already, so the run changes nothing in HOME.
    system_dir = os.path.join(rig.home, ".local", "lib")
    os.makedirs(system_dir)
    shutil.copy2(e2e.ENGINE, os.path.join(system_dir, "vbuzip10.dll"))
    rig.install(INSTALLED)
    return rig


def diagnostics(log):
    """The updater's diagnostics (the reasons behind a failure), for the report."""
    try:
        with open(log, encoding="utf-8") as handle:
            text = handle.read()
    except FileNotFoundError:
        return []
    return [line[len(e2e.QT_MARK):] for line in text.splitlines() if line.startswith(e2e.QT_MARK)]


def run_to_end(rig, *packages):
    """Starts the client with --update, waits until the updater (and any client it restarted) has
    ended, and returns the log path. Gives up after PATIENCE_S per wait."""
    client, log = rig.start_client(*packages)
    client.wait(timeout=PATIENCE_S)
    rig.settle(log)
    return log


def snapshot(folder, leave_out):
    """Relative path -> (kind, mode, contents or link target) of everything below folder, links
    not followed (os.walk lists a link to a folder without entering it); leave_out holds relative
    paths whose whole subtree is not looked at."""
    found = {}
    for root, dirs, files in os.walk(folder):
        rel_root = os.path.relpath(root, folder)
        for name in sorted(dirs + files):
            full = os.path.join(root, name)
            rel = os.path.normpath(os.path.join(rel_root, name))
            if rel in leave_out:
                if name in dirs:
                    dirs.remove(name)
                continue
            info = os.lstat(full)
            if stat.S_ISLNK(info.st_mode):
                found[rel] = ("link", 0, os.readlink(full))
            elif stat.S_ISDIR(info.st_mode):
                found[rel] = ("dir", stat.S_IMODE(info.st_mode), None)
            else:
                with open(full, "rb") as handle:
                    found[rel] = ("file", stat.S_IMODE(info.st_mode), handle.read())
    return found


def differences(before, after):
    changes = []
    for rel in sorted(set(before) | set(after)):
        if rel not in after:
            changes.append(f"removed {rel}")
        elif rel not in before:
            changes.append(f"added {rel}")
        elif before[rel] != after[rel]:
            changes.append(f"changed {rel}")
    return changes


def run_parallel(cases, work, workers=4):
    """Runs work(case) for every case on a few threads; returns case -> (result, error)."""
    outcome = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(work, case): case for case in cases}
        for future in concurrent.futures.as_completed(futures):
            case = futures[future]
            try:
                outcome[case] = (future.result(), None)
            except BaseException as error:  # an assertion in the case's own checks, or a crash
                outcome[case] = (None, error)
    return outcome


# --- TLS -------------------------------------------------------------------------------------

FIXTURE_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "download",
                            "data")


class Certificate:
    """A self-signed certificate for 127.0.0.1: made with openssl when it is installed, else the
    download tests' fixture pair."""

    def __init__(self, folder):
        self.openssl = shutil.which("openssl")
        self.cert = os.path.join(folder, "cert.pem")
        self.key = os.path.join(folder, "key.pem")
        if self.openssl:
            subprocess.run(
                [self.openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                 "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                 "-keyout", self.key, "-out", self.cert],
                check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        else:
            shutil.copy(os.path.join(FIXTURE_DATA, "fixture-cert.pem"), self.cert)
            shutil.copy(os.path.join(FIXTURE_DATA, "fixture-key.pem"), self.key)

    def server_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, self.key)
        return context

    def trust_folder(self, folder):
        """A certificate folder in OpenSSL's hashed layout that trusts this certificate only;
        None when openssl is missing (the hash needs it)."""
        if not self.openssl:
            return None
        digest = subprocess.run([self.openssl, "x509", "-hash", "-noout", "-in", self.cert],
                                check=True, capture_output=True, text=True,
                                timeout=60).stdout.strip()
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.cert, os.path.join(folder, digest + ".0"))
        return folder


def trusting_launcher(rig, trust_folder):
    """A start_client replacement that runs the client, and so the updater it starts, in a mount
    namespace of its own where the system's certificate folder holds only trust_folder's
    certificates. None when this machine cannot make such a namespace."""
    unshare = shutil.which("unshare")
    if not unshare or not trust_folder:
        return None
    probe = subprocess.run([unshare, "--mount", "--propagation", "private", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    if probe.returncode != 0:
        return None

    def start(*packages):
        log = os.path.join(rig.root, "updater.log")
        script = 'mount --bind "$0" /etc/ssl/certs && exec "$@"'
        client = subprocess.Popen(
            [unshare, "--mount", "--propagation", "private", "sh", "-c", script, trust_folder,
             os.path.join(rig.program, "Vorn.exe"), "--update", rig.prefix, *packages,
             "--exit-after-ms", "300", "--updater-log", log],
            cwd=rig.root, env=rig.env)
        rig.addCleanup(rig.stop, client)
        return client, log

    return start


# --- a loopback server that misbehaves on purpose ----------------------------------------------

class RawServer:
    """A loopback TCP server that reads each request's head and hands the connection to
    behave(server, connection, path) (with the head as a fourth argument when with_head is set). Every connection has its own thread; all of them stop when
    the server is closed, and every loop is bounded in bytes as well."""

    def __init__(self, behave, with_head=False):
        self.behave = behave
        self.with_head = with_head  # behave(server, connection, path, head) then
        self.closing = threading.Event()
        self.release = threading.Event()  # ends the behaviours that wait or stream on purpose
        self.lock = threading.Lock()
        self.sent = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    @property
    def prefix(self):
        return f"http://127.0.0.1:{self.port}/"

    def close(self):
        self.closing.set()
        self.release.set()
        self.thread.join(timeout=PATIENCE_S)
        self.listener.close()

    def _accept(self):
        while not self.closing.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        with connection:
            connection.settimeout(10)
            head = b""
            try:
                while b"\r\n\r\n" not in head and len(head) < 65536:
                    data = connection.recv(4096)
                    if not data:
                        return
                    head += data
                path = head.split(b" ", 2)[1].decode("latin-1")
                if self.with_head:
                    self.behave(self, connection, path, head)
                else:
                    self.behave(self, connection, path)
            except OSError:
                pass  # the updater went away: that is its right

    def send(self, connection, data):
        """Sends all of data unless the server is closing; counts what went out."""
        view = memoryview(data)
        connection.settimeout(0.5)
        while view and not self.release.is_set():
            try:
                done = connection.send(view)
            except socket.timeout:
                continue
            view = view[done:]
            with self.lock:
                self.sent += done

    def sent_bytes(self):
        with self.lock:
            return self.sent

    @staticmethod
    def reset(connection):
        """Closes with a reset instead of an orderly end."""
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        connection.close()


def head(status="200 OK", **fields):
    lines = [f"HTTP/1.1 {status}"] + [f"{k.replace('_', '-')}: {v}" for k, v in fields.items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def wait_until(condition, what, patience=PATIENCE_S):
    deadline = time.monotonic() + patience
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.05)


def closed_port():
    """A loopback port that refuses connections: bound, never listening. Keep the socket open."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    return holder


def noise(size, seed=7):
    return random.Random(seed).randbytes(size)


class Tries:
    """A behaviour for a RawServer(with_head=True) that answers the n-th request of the package
    with answers[n] (the last one answers all that follow) and keeps each request's head. A request
    that repeats the one before within a moment of that one's cut is Qt's network layer sending it
    again on its own: it gets the same answer and is not counted."""

    RESEND_WINDOW_S = 0.1

    def __init__(self, answers):
        self.answers = answers
        self.heads = []       # of the counted requests, as {name: value} with lower-case names
        self.times = []       # their arrival, time.monotonic()
        self.cut_at = None
        self.lock = threading.Lock()

    def __call__(self, server, connection, path, head):
        lines = head.decode("latin-1").split("\r\n")
        fields = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if l)}
        with self.lock:
            resent = (self.heads and fields == self.heads[-1] and self.cut_at is not None
                      and time.monotonic() - self.cut_at < self.RESEND_WINDOW_S)
            if not resent:
                self.heads.append(fields)
                self.times.append(time.monotonic())
            answer = self.answers[min(len(self.heads) - 1, len(self.answers) - 1)]
        if answer(server, connection, fields):
            with self.lock:
                self.cut_at = time.monotonic()


def ranged(body, etag=None, cut_after=None, piece=None, pause_s=0.0):
    """An answer with body: the rest of it for "Range: bytes=N-" when If-Range holds etag (206),
    else all of it; cut off (reset) after cut_after bytes. Returns whether it cut."""
    def answer(server, connection, fields):
        start, status, extra = 0, "200 OK", {}
        match = re.fullmatch(r"bytes=(\d+)-", fields.get("range", ""))
        if match and etag and fields.get("if-range") == etag and int(match.group(1)) < len(body):
            start, status = int(match.group(1)), "206 Partial Content"
            extra["Content_Range"] = f"bytes {start}-{len(body) - 1}/{len(body)}"
        if etag:
            extra["ETag"] = etag
        server.send(connection, head(status, Content_Length=len(body) - start, **extra))
        rest = body[start:] if cut_after is None else body[start:start + cut_after]
        step = piece or len(rest) or 1
        for at in range(0, len(rest), step):
            server.send(connection, rest[at:at + step])
            time.sleep(pause_s)
        if cut_after is None:
            connection.shutdown(socket.SHUT_RDWR)
            return False
        RawServer.reset(connection)
        return True
    return answer


def status_answer(status, **fields):
    def answer(server, connection, request):
        page = b"<html><body>" + status.encode() + b"</body></html>"
        server.send(connection, head(status, Content_Length=len(page), Content_Type="text/html",
                                     **fields) + page)
        connection.shutdown(socket.SHUT_RDWR)
        return False
    return answer
