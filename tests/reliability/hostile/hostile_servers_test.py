#!/usr/bin/python3
"""The real updater against servers that fail, lie or attack.

Every case downloads the package pkg.zip from a server that misbehaves in one way, twice: into a
fresh program folder, and into one where updates/ still holds a valid pkg.zip from an earlier run.
Either way a failed transfer must end the run with its status line ("Couldn't connect" when no
byte of the body arrived, "Connection lost" when some did), before anything is extracted, with
the installation unchanged, no package taken from it (and the earlier run's package neither
replaced nor used), no temporary file left, and no client started by the close button. A body
that is no zip archive (an HTML page, noise, an archive without its end) never replaces the
earlier package. Each wait has an upper bound; a run that does not end within it fails the case.

RetryResumeTest: transfers that are cut, refused or killed are tried again and go on from the
bytes that arrived.

The paths of the programs come from VORN_E2E_UPDATER, VORN_E2E_ENGINE and VORN_E2E_CLIENT.
"""

import gzip
import http.server
import io
import json
import os
import re
import socket
import sys
import tempfile
import threading
import unittest
import zipfile

import hostile_rig as hr
from hostile_rig import e2e

PACKAGE = "pkg.zip"
START = ["Preparing to update...", f"Downloading file {PACKAGE}..."]
NO_CONNECTION = "Couldn't connect"
LOST = "Connection lost"


def package_bytes(entries):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, text in entries.items():
            archive.writestr(zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0)), text)
    return buffer.getvalue()


# What the servers send as the package (with some incompressible bulk, so that half of it is a
# real part of a transfer), and what an earlier run left in updates/.
SERVED = package_bytes({"shared.txt": "from the server\n", "bulk.bin": hr.noise(300000),
                        "versions.txt": "2.0\n"})
EARLIER = package_bytes({"shared.txt": "from an earlier run\n", "earlier.txt": "earlier\n"})
ERROR_PAGE = (b"<!DOCTYPE html><html><head><title>Error</title></head><body><h1>Error</h1>"
              + b"<p>Something went wrong.</p>" * 200 + b"</body></html>")


# --- servers -------------------------------------------------------------------------------------

class ScriptedHandler(http.server.BaseHTTPRequestHandler):
    """Answers each path from the server's routes: path -> (status, headers, body)."""
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        status, headers, body = self.server.routes.get(self.path, (404, {}, ERROR_PAGE))
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/html" if body is ERROR_PAGE else "application/zip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass


class ScriptedServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # the updater hangs up on error pages and refused certificates: as it should


def scripted_server(test, routes, tls=None):
    server = ScriptedServer(("127.0.0.1", 0), ScriptedHandler)
    server.routes = routes
    scheme = "http"
    if tls:
        server.socket = tls.wrap_socket(server.socket, server_side=True)
        scheme = "https"
    threading.Thread(target=server.serve_forever, daemon=True).start()
    test.addCleanup(server.server_close)
    test.addCleanup(server.shutdown)
    return f"{scheme}://127.0.0.1:{server.server_address[1]}/"


def raw_server(test, behave, with_head=False):
    server = hr.RawServer(behave, with_head)
    test.addCleanup(server.close)
    return server


def half_then(ending):
    """Announces the whole package, sends its first half, then ends as ending(connection) does."""
    def behave(server, connection, path):
        server.send(connection, hr.head(Content_Length=len(SERVED)))
        server.send(connection, SERVED[:len(SERVED) // 2])
        ending(server, connection)
    return behave


def orderly_close(server, connection):
    connection.shutdown(socket.SHUT_RDWR)


def reset(server, connection):
    hr.RawServer.reset(connection)


def stall(server, connection):
    # Silent until the test ends; the updater's stall timeout must end the transfer first.
    server.release.wait(timeout=3 * hr.PATIENCE_S)


def endless(opening, frame=lambda block: block, ending=reset, limit=256 << 20):
    """Sends opening (a head, and maybe a body), then noise without end (bounded by limit) until
    released, and ends as ending(connection) does."""
    def behave(server, connection, path):
        server.send(connection, opening)
        block = hr.noise(64 << 10, seed=3)
        while not server.release.is_set() and server.sent_bytes() < limit:
            server.send(connection, frame(block))
        ending(server, connection)
    return behave


def chunk(block):
    return b"%x\r\n" % len(block) + block + b"\r\n"


# --- cases ---------------------------------------------------------------------------------------

NOTHING = "nothing"  # no package may come of the transfer
SOME = "some"  # complete by HTTP's rules: whatever arrived is the package


class Case:
    """One misbehaving server: setup(test, rig) returns the download prefix; ends are the status
    lines after the start of the download; kept is what updates/pkg.zip must hold afterwards
    (NOTHING: no file, or the earlier run's file untouched; SOME: the transfer's bytes; bytes: those
    exact bytes); completes says whether the run may install the package."""

    def __init__(self, name, setup, ends, kept=NOTHING, packages=(PACKAGE,), start=START,
                 while_running=None, completes=False, patience=None):
        self.name = name
        self.setup = setup
        self.ends = ends
        self.kept = kept
        self.packages = packages
        self.start = start
        self.while_running = while_running  # (test, rig, log, server) checks during the transfer
        self.completes = completes
        self.patience = patience  # seconds the run may take, when longer than usual

    def __repr__(self):
        return self.name


def refused(test, rig):
    holder = hr.closed_port()
    test.addCleanup(holder.close)
    return f"http://127.0.0.1:{holder.getsockname()[1]}/"


def raw(behave):
    def setup(test, rig):
        rig.raw = raw_server(test, behave)
        return rig.raw.prefix
    return setup


def status_page(status):
    return lambda test, rig: scripted_server(test, {"/" + PACKAGE: (status, {}, ERROR_PAGE)})


def gzip_encoded(test, rig):
    # A server that compresses what it sends: the bytes on the wire are not the package.
    return scripted_server(test, {"/" + PACKAGE: (200, {"Content-Encoding": "gzip"},
                                                  gzip.compress(SERVED))})


def redirect_loop(test, rig):
    return scripted_server(test, {"/" + PACKAGE: (302, {"Location": "/hop.zip"}, b""),
                                  "/hop.zip": (302, {"Location": "/" + PACKAGE}, b"")})


def redirect_to_local_file(test, rig):
    # A valid package on this computer: a server must not be able to pick local files.
    local = os.path.join(rig.root, "local.zip")
    with open(local, "wb") as handle:
        handle.write(SERVED)
    return scripted_server(test, {"/" + PACKAGE: (302, {"Location": "file://" + local}, b"")})


def untrusted_https(test, rig):
    # The certificate is not trusted: no byte of the answer may be taken.
    return scripted_server(test, {"/" + PACKAGE: (200, {}, SERVED)},
                           tls=test.certificate.server_context())


def https_to_http(test, rig):
    # ok.zip comes over https (so the certificate is trusted here); pkg.zip is sent on to the
    # rig's plain http server, which would serve a valid package.
    with open(os.path.join(rig.served, PACKAGE), "wb") as handle:
        handle.write(SERVED)
    rig.launch = test.trusting(rig)
    return scripted_server(test, {"/ok.zip": (200, {}, EARLIER),
                                  "/" + PACKAGE: (301, {"Location": rig.prefix + PACKAGE}, b"")},
                           tls=test.certificate.server_context())


def no_answer(server, connection, path):
    connection.shutdown(socket.SHUT_RDWR)


def not_http(server, connection, path):
    server.send(connection, b"SSH-2.0-OpenSSH_9.2\r\n" + hr.noise(5000))
    connection.shutdown(socket.SHUT_RDWR)


def more_than_announced(server, connection, path):
    server.send(connection, hr.head(Content_Length=len(SERVED)) + SERVED + hr.noise(100000))
    connection.shutdown(socket.SHUT_RDWR)


# An endless body behind a Content-Length: the announced part is half of the package.
ANNOUNCED = len(SERVED) // 2


def while_streaming(test, rig, log, server):
    """An endless transfer is never a package while it runs: with megabytes received, updates/
    holds no new pkg.zip, and the run has not gone past the download."""
    hr.wait_until(lambda: server.sent_bytes() > 8 << 20, "8 MB of the endless body")
    test.check_updates(rig, NOTHING)
    lines = rig.lines(log)
    if lines != START:
        raise AssertionError(f"the run went on during the endless transfer: {lines}")
    server.release.set()


# Refused while the update is prepared, before the wait for the client.
NOT_EXTRACTED = ["Download completed.", f"ERROR: Update file '{PACKAGE}' could not be extracted."]

QUICK_CASES = [
    Case("connection_refused", refused, [NO_CONNECTION]),
    Case("no_answer", raw(no_answer), [NO_CONNECTION]),
    Case("not_http", raw(not_http), [NO_CONNECTION]),
    Case("reset_mid_body", raw(half_then(reset)), [LOST]),
    Case("body_shorter_than_length", raw(half_then(orderly_close)), [LOST]),
    Case("not_found_html", status_page(404), [NO_CONNECTION]),
    Case("server_error_html", status_page(500), [NO_CONNECTION]),
    Case("gzip_encoded_body", gzip_encoded, [NO_CONNECTION]),
    Case("redirect_loop", redirect_loop, [NO_CONNECTION]),
    Case("redirect_to_local_file", redirect_to_local_file, [NO_CONNECTION]),
    Case("https_to_http_redirect", https_to_http, [NO_CONNECTION], packages=("ok.zip", PACKAGE),
         start=["Preparing to update...", "Downloading file ok.zip...", "Download completed.",
                f"Downloading file {PACKAGE}..."]),
    Case("self_signed_certificate", untrusted_https, [NO_CONNECTION]),
    # By HTTP's rules the body ends at the announced length: what follows is no part of it, and
    # never reaches the package.
    Case("body_longer_than_length", raw(more_than_announced),
         ["Download completed.", "Checking client conditions...", "Processing update data...",
          "Updating files...", "Client update complete."], kept=SERVED, completes=True),
    # The announced part is half an archive: complete for HTTP, but without the archive's end.
    Case("endless_body_with_length",
         raw(endless(hr.head(Content_Length=ANNOUNCED) + SERVED[:ANNOUNCED])), [LOST]),
    # Without a length the end of the connection ends the body, and Qt tells a reset from an
    # orderly close no more than HTTP does: the cut-off transfer counts as complete for HTTP,
    # but it is an archive without its end.
    Case("endless_close_delimited_then_reset",
         raw(endless(hr.head(Connection="close") + SERVED[:ANNOUNCED])), [LOST],
         while_running=while_streaming),
    Case("html_page_as_package", status_page(200), [NO_CONNECTION]),
    Case("endless_chunked_then_cut",
         raw(endless(hr.head(Transfer_Encoding="chunked") + chunk(SERVED[:ANNOUNCED]), frame=chunk,
                     ending=orderly_close)),
         [LOST],
         while_running=while_streaming),
]

# Every try waits out the 30 s stall timeout: four tries and the waits between them.
STALL_CASE = Case("stalled_transfer", raw(half_then(stall)), [LOST], patience=4 * 30 + 7 + 60)


class HostileServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tls_folder = tempfile.mkdtemp(prefix="vorn-hostile-tls-")
        cls.certificate = hr.Certificate(cls.tls_folder)
        cls.trust_folder = cls.certificate.trust_folder(os.path.join(cls.tls_folder, "trusted"))

    @classmethod
    def tearDownClass(cls):
        hr.shutil.rmtree(cls.tls_folder, ignore_errors=True)

    def trusting(self, rig):
        launch = hr.trusting_launcher(rig, self.trust_folder)
        if launch is None:
            raise unittest.SkipTest("no mount namespace or no openssl: cannot trust a test "
                                    "certificate")
        return launch

    # --- one run ---------------------------------------------------------------------------

    def prepare(self, case, earlier):
        rig = hr.open_rig(self)
        rig.earlier = earlier
        if earlier:
            os.makedirs(os.path.join(rig.program, "updates"))
            with open(os.path.join(rig.program, "updates", PACKAGE), "wb") as handle:
                handle.write(EARLIER)
        rig.raw = None
        rig.launch = None
        rig.prefix = case.setup(self, rig)
        rig.before = e2e.tree(rig.program)
        return rig

    def check_updates(self, rig, kept):
        """What updates/pkg.zip holds. NOTHING: a fresh folder has none, and the earlier run's
        file is still the earlier one."""
        path = os.path.join(rig.program, "updates", PACKAGE)
        try:
            with open(path, "rb") as handle:
                found = handle.read()
        except FileNotFoundError:
            found = None
        if kept is NOTHING:
            if found != (EARLIER if rig.earlier else None):
                raise AssertionError("a package was taken from the broken transfer"
                                     if found != EARLIER else "the earlier package went away")
        elif kept is SOME:
            if found is None or found == EARLIER:
                raise AssertionError("the transfer's bytes are not in updates")
        elif found != kept:
            raise AssertionError("updates holds other bytes than the announced body")

    def exercise(self, case, rig):
        """Runs the updater and checks everything; returns the last status line and the last
        diagnostic."""
        client, log = (rig.launch or rig.start_client)(*case.packages)
        if case.while_running:
            case.while_running(self, rig, log, rig.raw)
        client.wait(timeout=hr.PATIENCE_S)
        if case.patience:
            hr.wait_until(lambda: not rig.updater_pids(), "the updater to end", case.patience)
        rig.settle(log)
        lines = rig.lines(log)
        problems = []
        if lines != case.start + case.ends:
            problems.append(f"status lines {lines}")
        try:
            self.check_updates(rig, case.kept)
        except AssertionError as error:
            problems.append(str(error))
        leftovers = os.listdir(rig.tmp)
        if leftovers:
            problems.append(f"temporary files left: {leftovers}")
        if case.completes:
            if rig.read("shared.txt") != "from the server\n" or len(rig.client_starts()) != 2:
                problems.append("the package was not installed, or the client not restarted")
        else:
            if e2e.tree(rig.program) != rig.before:
                problems.append("the installation changed")
            if len(rig.client_starts()) != 1:
                problems.append("the close button started the client")
        if problems:
            raise AssertionError("; ".join(problems) + "\n" + "\n".join(hr.diagnostics(log)))
        reasons = hr.diagnostics(log)
        return lines[-1], reasons[-1] if reasons else ""

    def run_cases(self, cases):
        runs = {}
        for case in cases:
            for earlier in (False, True):
                name = f"{case.name}{' (earlier package)' if earlier else ''}"
                try:
                    runs[name] = (case, self.prepare(case, earlier))
                except unittest.SkipTest as skip:
                    with self.subTest(case=name):
                        self.skipTest(str(skip))
        outcome = hr.run_parallel(runs, lambda name: self.exercise(*runs[name]))
        for name in runs:
            result, error = outcome[name]
            with self.subTest(case=name):
                if error:
                    raise error
                print(f"{name:50} | {result[0]:18} | {result[1]}", file=sys.stderr)

    def test_broken_and_hostile_servers(self):
        self.run_cases(QUICK_CASES)

    def test_stalled_transfer(self):
        self.run_cases([STALL_CASE])


def status_lines(transcript):
    return [line for line in transcript if not line.startswith(e2e.QT_MARK)]


COMPLETE = ["Download completed.", "Checking client conditions...", "Processing update data...",
            "Updating files...", "Client update complete."]
ETAG = '"v1"'


class RetryResumeTest(unittest.TestCase):
    """Transfers that fail in a way that may pass are tried again, three times at most, each try
    asking only for the rest; those that cannot pass are not."""

    def run_against(self, answers, earlier=True):
        """Runs the updater against a server that answers the n-th request with answers[n];
        returns the rig, the whole transcript (status lines and diagnostics) and the requests."""
        rig = hr.open_rig(self)
        if earlier:
            os.makedirs(os.path.join(rig.program, "updates"))
            with open(os.path.join(rig.program, "updates", PACKAGE), "wb") as handle:
                handle.write(EARLIER)
        tries = hr.Tries(answers)
        rig.prefix = raw_server(self, tries, with_head=True).prefix
        log = hr.run_to_end(rig, PACKAGE)
        with open(log, encoding="utf-8") as handle:
            transcript = handle.read().splitlines()
        self.assertEqual(os.listdir(rig.tmp), [], "temporary files left")
        return rig, transcript, tries

    def test_two_cuts_then_the_rest(self):
        cut = hr.ranged(SERVED, ETAG, cut_after=len(SERVED) // 3)
        rig, transcript, tries = self.run_against([cut, cut, hr.ranged(SERVED, ETAG)])
        third = len(SERVED) // 3
        diagnostics = [line for line in transcript
                       if line.startswith(e2e.QT_MARK + "Download of")]
        self.assertEqual(status_lines(transcript), START + COMPLETE)
        self.assertEqual(len(diagnostics), 2, "\n".join(transcript))
        for n, line in enumerate(diagnostics, start=1):
            self.assertRegex(line, rf"^\[qt\] Download of {re.escape(rig.prefix + PACKAGE)} "
                                   rf"failed: .*; trying again in {2 ** (n - 1)} s "
                                   rf"\(try {n + 1} of 4\)$")
        self.assertEqual([h.get("range") for h in tries.heads],
                         [None, f"bytes={third}-", f"bytes={2 * third}-"])
        self.assertEqual([h.get("if-range") for h in tries.heads], [None, ETAG, ETAG])
        self.assertEqual(rig.read("shared.txt"), "from the server\n")
        with open(os.path.join(rig.program, "updates", PACKAGE), "rb") as handle:
            self.assertEqual(handle.read(), SERVED)

    def test_what_is_tried_how_often(self):
        cut = hr.ranged(SERVED, cut_after=len(SERVED) // 2)  # no validator: nothing to go on from
        cases = [
            ("four cuts", [cut], 4, LOST),
            ("not found", [hr.status_answer("404 Not Found")], 1, NO_CONNECTION),
            ("server error", [hr.status_answer("500 Internal Server Error")], 1, NO_CONNECTION),
        ]
        for name, answers, requests, line in cases:
            with self.subTest(case=name):
                rig, transcript, tries = self.run_against(answers)
                self.assertEqual(len(tries.heads), requests)
                self.assertEqual(status_lines(transcript), START + [line])
                retries = [l for l in transcript if "trying again" in l]
                self.assertEqual(len(retries), requests - 1)
                with open(os.path.join(rig.program, "updates", PACKAGE), "rb") as handle:
                    self.assertEqual(handle.read(), EARLIER)

    def test_retry_after_is_honoured(self):
        busy = hr.status_answer("503 Service Unavailable", Retry_After="3")
        rig, transcript, tries = self.run_against([busy, hr.ranged(SERVED, ETAG)])
        self.assertEqual(len(tries.heads), 2)
        self.assertGreaterEqual(tries.times[1] - tries.times[0], 3.0)
        self.assertIn("trying again in 3 s (try 2 of 4)", "\n".join(transcript))
        self.assertEqual(transcript[-1], "Client update complete.")

    def test_killed_download_goes_on_with_the_rest(self):
        big = package_bytes({"shared.txt": "from the server\n", "bulk.bin": hr.noise(24 << 20),
                             "versions.txt": "2.0\n"})
        slow = hr.ranged(big, ETAG, piece=256 << 10, pause_s=0.05)
        tries = hr.Tries([slow, hr.ranged(big, ETAG)])
        rig = hr.open_rig(self)
        rig.prefix = raw_server(self, tries, with_head=True).prefix
        client, log = rig.start_client(PACKAGE)

        def recorded():
            for name in os.listdir(rig.tmp):
                if name.endswith(".resume"):
                    with open(os.path.join(rig.tmp, name)) as handle:
                        return json.load(handle)["length"]
            return 0
        hr.wait_until(lambda: recorded() > 0, "a record of the partial download")
        held = recorded()
        rig.kill_leftovers()
        client.wait(timeout=hr.PATIENCE_S)
        hr.wait_until(lambda: not rig.updater_pids(), "the killed updater to end")

        client, log = rig.start_client(PACKAGE, log_name="second.log")
        client.wait(timeout=hr.PATIENCE_S)
        rig.settle(log)
        self.assertEqual(rig.lines(log), START + COMPLETE)
        self.assertEqual(len(tries.heads), 2)
        self.assertEqual(tries.heads[1].get("range"), f"bytes={held}-")
        self.assertEqual(tries.heads[1].get("if-range"), ETAG)
        self.assertEqual(os.listdir(rig.tmp), [], "temporary files left")
        with open(os.path.join(rig.program, "updates", PACKAGE), "rb") as handle:
            self.assertEqual(handle.read(), big)


if __name__ == "__main__":
    unittest.main()
