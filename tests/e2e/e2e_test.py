#!/usr/bin/python3
"""End-to-end runs of the updater.

Each test builds a program folder in a temporary directory (the updater, the engine library and the
stand-in client installed as Vorn.exe), serves update packages from a loopback HTTP server, and
starts the stand-in client with --update, which starts the updater the way the real client does.
The updater runs on the offscreen platform with HOME pointing into the temporary directory, and
presses its own close button once its run has ended (VORN_UPDATER_AUTOCLOSE_MS).

The paths of the programs under test come from the environment:
VORN_E2E_UPDATER, VORN_E2E_ENGINE and VORN_E2E_CLIENT. VORN_E2E_KEEP=1 keeps the temporary
directories (vorn-e2e-*) for a look afterwards.
"""

import functools
import http.server
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest
import zipfile

UPDATER = os.environ.get("VORN_E2E_UPDATER", "")
ENGINE = os.environ.get("VORN_E2E_ENGINE", "")
CLIENT = os.environ.get("VORN_E2E_CLIENT", "")

# Upper bound on any wait for the programs; reaching it fails the test rather than hanging it.
PATIENCE_S = 60.0

QT_MARK = "[qt] "

COMPLETE_RUN = [
    "Preparing to update...",
    "Downloading file a.zip...",
    "Download completed.",
    "Downloading file b.zip...",
    "Download completed.",
    "Checking client conditions...",
    "Processing update data...",
    "Updating files...",
    "Processing update data...",
    "Updating files...",
    "Client update complete.",
]


def make_zip(path, entries):
    """entries: name -> text, or name -> (text, unix mode)."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in entries.items():
            text, mode = content if isinstance(content, tuple) else (content, 0o644)
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, text)


def corrupt_last_entry(path):
    """Flips bytes inside the compressed data of the archive's last entry."""
    with zipfile.ZipFile(path) as archive:
        info = archive.infolist()[-1]
    with open(path, "r+b") as raw:
        raw.seek(info.header_offset + 26)
        name_length = int.from_bytes(raw.read(2), "little")
        extra_length = int.from_bytes(raw.read(2), "little")
        start = info.header_offset + 30 + name_length + extra_length
        raw.seek(start)
        data = bytearray(raw.read(info.compress_size))
        for i in range(len(data)):
            data[i] ^= 0x5A
        raw.seek(start)
        raw.write(data)


def tree(folder, leave_out=("updates", ".vorn-updater.lock", "client-starts.log")):
    """Relative path -> (content, mode) of every file under folder."""
    found = {}
    for root, dirs, files in os.walk(folder):
        rel_root = os.path.relpath(root, folder)
        if rel_root == ".":
            dirs[:] = [d for d in dirs if d not in leave_out]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_root, name))
            if rel in leave_out:
                continue
            full = os.path.join(root, name)
            with open(full, "rb") as handle:
                found[rel] = (handle.read(), stat.S_IMODE(os.stat(full).st_mode))
    return found


def engine_files(found):
    """The paths of a tree() that belong to the engine (staged files, backups, its records)."""
    return sorted(rel for rel in found if os.path.basename(rel).startswith(".vbuzip-"))


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass

    def log_request(self, code="-", size="-"):
        self.server.requested.append(self.path)


class UpdaterRunTest(unittest.TestCase):
    def setUp(self):
        for path in (UPDATER, ENGINE, CLIENT):
            self.assertTrue(os.path.isfile(path), f"missing program under test: {path!r}")
        self.root = tempfile.mkdtemp(prefix="vorn-e2e-")
        if not os.environ.get("VORN_E2E_KEEP"):
            self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.program = os.path.join(self.root, "program")
        self.served = os.path.join(self.root, "served")
        self.home = os.path.join(self.root, "home")
        runtime = os.path.join(self.root, "runtime")
        for folder in (self.program, self.served, self.home, runtime):
            os.makedirs(folder)
        os.chmod(runtime, 0o700)
        shutil.copy2(UPDATER, os.path.join(self.program, "vorn-updater"))
        shutil.copy2(ENGINE, os.path.join(self.program, "vbuzip10.dll"))
        shutil.copy2(CLIENT, os.path.join(self.program, "Vorn.exe"))

        handler = functools.partial(QuietHandler, directory=self.served)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.requested = []
        thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.prefix = f"http://127.0.0.1:{self.server.server_address[1]}/"

        self.env = dict(os.environ)
        self.env.update(
            HOME=self.home,
            XDG_RUNTIME_DIR=runtime,
            QT_QPA_PLATFORM="offscreen",
            VORN_UPDATER_AUTOCLOSE_MS="0",
            # Qt's own diagnostics are marked, so that they can be told from the status lines.
            QT_MESSAGE_PATTERN=QT_MARK + "%{message}",
        )
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.addCleanup(self.kill_leftovers)

    # --- helpers ---------------------------------------------------------------------------

    def install(self, files):
        for rel, content in files.items():
            text, mode = content if isinstance(content, tuple) else (content, 0o644)
            path = os.path.join(self.program, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(text)
            os.chmod(path, mode)

    def start_client(self, *packages, exit_after_ms=300, log_name="updater.log"):
        """Starts Vorn.exe --update; returns the client process and the updater's log path."""
        log = os.path.join(self.root, log_name)
        client = subprocess.Popen(
            [os.path.join(self.program, "Vorn.exe"), "--update", self.prefix, *packages,
             "--exit-after-ms", str(exit_after_ms), "--updater-log", log],
            cwd=self.root, env=self.env)
        self.addCleanup(self.stop, client)
        return client, log

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        process.wait()

    def live_pids(self, program_name):
        """Ids of the live (not ended) processes running this test's program_name."""
        target = os.path.join(self.program, program_name)
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.readlink(f"/proc/{entry}/exe") != target:
                    continue
                with open(f"/proc/{entry}/stat") as handle:
                    state = handle.read().rpartition(")")[2].split()[0]
            except OSError:
                continue
            if state not in ("Z", "X"):
                pids.append(int(entry))
        return pids

    def updater_pids(self):
        return self.live_pids("vorn-updater")

    def kill_leftovers(self):
        for pid in self.updater_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def wait_for(self, condition, what):
        deadline = time.monotonic() + PATIENCE_S
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"gave up waiting for {what}")
            time.sleep(0.05)

    @staticmethod
    def lines(log):
        """The status lines the updater wrote to its standard error (diagnostics left out)."""
        try:
            with open(log, encoding="utf-8") as handle:
                text = handle.read()
        except FileNotFoundError:
            return []
        return [line for line in text.splitlines() if not line.startswith(QT_MARK)]

    def settle(self, log):
        """Waits until the updater has started, ended, and any client it started has ended."""
        self.wait_for(lambda: self.lines(log), "the updater to start")
        self.wait_for(lambda: not self.updater_pids(), "the updater to end")
        # The close action has started the client (if at all) before the updater ended.
        self.wait_for(lambda: not self.live_pids("Vorn.exe"), "the restarted client to end")

    def client_starts(self):
        path = os.path.join(self.program, "client-starts.log")
        with open(path) as handle:
            return [line.split(" ", 2) for line in handle.read().splitlines()]

    def serve(self, name, entries):
        make_zip(os.path.join(self.served, name), entries)

    def read(self, rel):
        with open(os.path.join(self.program, rel)) as handle:
            return handle.read()

    def mode(self, rel):
        return stat.S_IMODE(os.stat(os.path.join(self.program, rel)).st_mode)

    # --- tests -----------------------------------------------------------------------------

    def test_two_packages_are_extracted_and_the_client_restarted(self):
        self.install({"shared.txt": "installed\n", "kept.txt": "untouched\n",
                      "bin/old.txt": "old\n"})
        self.serve("a.zip", {
            "bin/core.txt": "core 1.1\n",
            "data/maps/deep/level1.map": "level one\n",
            "shared.txt": "from a\n",
            "versions.txt": "1.1\n- new maps\n\n1.0\n- first\n",
        })
        self.serve("b.zip", {"shared.txt": "from b\n", "bin/tool": ("#!/bin/sh\necho tool\n", 0o755)})
        client, log = self.start_client("a.zip", "b.zip")
        self.assertEqual(client.wait(timeout=PATIENCE_S), 0)
        self.settle(log)

        self.assertEqual(self.lines(log), COMPLETE_RUN)
        self.assertEqual(self.read("data/maps/deep/level1.map"), "level one\n")
        self.assertEqual(self.read("bin/core.txt"), "core 1.1\n")
        self.assertEqual(self.read("shared.txt"), "from b\n", "the later package wins")
        self.assertEqual(self.read("kept.txt"), "untouched\n")
        self.assertEqual(self.read("bin/old.txt"), "old\n")
        self.assertEqual(self.mode("bin/tool"), 0o755)
        self.assertEqual(self.mode("bin/core.txt"), 0o644)
        self.assertEqual(self.read("versions.txt"), "1.1\n- new maps\n\n1.0\n- first\n")
        # The packages stay in updates; the engine library went to the system directory.
        self.assertEqual(sorted(os.listdir(os.path.join(self.program, "updates"))),
                         ["a.zip", "b.zip"])
        with open(ENGINE, "rb") as built, \
                open(os.path.join(self.home, ".local/lib/vbuzip10.dll"), "rb") as installed:
            self.assertEqual(installed.read(), built.read())

        # With version notes in place the close button started the client again, from the
        # program folder, with no arguments.
        starts = self.client_starts()
        self.assertEqual(len(starts), 2, starts)
        self.assertEqual(starts[0][2], self.root)
        self.assertEqual(starts[1][2], self.program)
        self.assertNotEqual(starts[0][1], starts[1][1])

    def test_close_restarts_the_client_only_when_version_notes_exist(self):
        self.serve("a.zip", {"bin/core.txt": "core\n"})
        self.serve("b.zip", {"data/b.txt": "b\n"})

        # No version notes anywhere: a complete run, then the close button only ends the updater.
        client, log = self.start_client("a.zip", "b.zip", log_name="first.log")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)
        self.assertEqual(self.lines(log), COMPLETE_RUN)
        self.assertEqual(self.read("data/b.txt"), "b\n")
        self.assertEqual(len(self.client_starts()), 1)

        # Notes left by an earlier update count even when the packages hold none.
        self.install({"versions.txt": "1.0\n"})
        client, log = self.start_client("a.zip", "b.zip", log_name="second.log")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)
        self.assertEqual(self.lines(log), COMPLETE_RUN)
        starts = self.client_starts()
        self.assertEqual(len(starts), 3, starts)
        self.assertEqual(starts[2][2], self.program)

    def test_missing_package_stops_the_run_before_anything_is_extracted(self):
        self.install({"shared.txt": "installed\n", "versions.txt": "1.0\n"})
        before = tree(self.program)
        self.serve("a.zip", {"shared.txt": "from a\n", "bin/core.txt": "core\n"})
        client, log = self.start_client("a.zip", "b.zip")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)

        self.assertEqual(self.lines(log), [
            "Preparing to update...",
            "Downloading file a.zip...",
            "Download completed.",
            "Downloading file b.zip...",
            "Couldn't connect",
        ])
        self.assertEqual(tree(self.program), before)
        self.assertEqual(os.listdir(os.path.join(self.program, "updates")), ["a.zip"])
        self.assertEqual(len(self.client_starts()), 1, "no restart after a failed run")

    def test_nothing_changes_while_the_client_runs_and_a_second_update_is_refused(self):
        self.install({"shared.txt": "installed\n", "versions.txt": "1.0\n"})
        before = tree(self.program)
        self.serve("a.zip", {"shared.txt": "from a\n", "bin/core.txt": "core\n"})
        self.serve("b.zip", {"data/b.txt": "b\n"})
        # A client that stays until it is told to go (longer than the whole test may take, so that
        # a slow machine cannot see it end before the checks below).
        client, log = self.start_client("a.zip", "b.zip", exit_after_ms=int(10 * PATIENCE_S * 1000))
        self.wait_for(lambda: "Checking client conditions..." in self.lines(log),
                      "the wait for the client")

        # A second updater on the same folder, started while the first waits.
        second_log = os.path.join(self.root, "second.log")
        with open(second_log, "w") as stderr:
            second = subprocess.run(
                [os.path.join(self.program, "vorn-updater"), self.prefix, "a.zip",
                 str(client.pid)],
                cwd=self.program, env=self.env, stderr=stderr, timeout=PATIENCE_S)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(self.lines(second_log),
                         ["Preparing to update...", "ERROR: Another update is already running."])

        # The first updater is still waiting with the update prepared: staged beside the targets,
        # and no installed file changed.
        self.assertEqual(self.lines(log), COMPLETE_RUN[:6])
        waiting = tree(self.program)
        self.assertNotEqual(engine_files(waiting), [])
        self.assertEqual({rel: found for rel, found in waiting.items()
                          if rel not in engine_files(waiting)}, before)
        self.assertEqual(len(self.updater_pids()), 1)

        client.send_signal(signal.SIGTERM)
        client.wait(timeout=PATIENCE_S)
        self.settle(log)
        self.assertEqual(self.lines(log), COMPLETE_RUN)
        self.assertEqual(self.read("shared.txt"), "from a\n")
        self.assertEqual(self.read("data/b.txt"), "b\n")
        self.assertEqual(engine_files(tree(self.program)), [])
        self.assertEqual(len(self.client_starts()), 2)

    def test_corrupt_second_package_is_reported_at_once_and_nothing_is_installed(self):
        self.install({"shared.txt": "installed\n", "bin/tool": ("old tool\n", 0o755),
                      "versions.txt": "1.0\n"})
        before = tree(self.program)
        self.serve("a.zip", {"bin/core.txt": "core\n", "shared.txt": "from a\n"})
        self.serve("b.zip", {"shared.txt": "from b\n", "bin/tool": ("x" * 4000, 0o755)})
        corrupt_last_entry(os.path.join(self.served, "b.zip"))
        # A client that stays: the failure is reported without waiting for it.
        client, log = self.start_client("a.zip", "b.zip", exit_after_ms=int(10 * PATIENCE_S * 1000))
        self.wait_for(lambda: self.lines(log)[-1:] == [
            "ERROR: Update file 'b.zip' could not be extracted."], "the failure")
        client.send_signal(signal.SIGTERM)
        client.wait(timeout=PATIENCE_S)
        self.settle(log)

        self.assertEqual(self.lines(log), COMPLETE_RUN[:5] + [
            "ERROR: Update file 'b.zip' could not be extracted.",
        ])
        # Nothing of either package reached the installation, and nothing was left beside it.
        self.assertEqual(tree(self.program), before)
        self.assertFalse(os.path.exists(os.path.join(self.program, "bin/core.txt")))
        self.assertEqual(len(self.client_starts()), 1, "no restart after a failed run")

    def test_package_names_are_plain_file_names(self):
        with open(os.path.join(self.root, "outside.txt"), "w") as handle:
            handle.write("outside\n")
        outside_home = ("home", "runtime")
        before = tree(self.root, leave_out=outside_home)
        log = os.path.join(self.home, "refused.log")
        with open(log, "w") as stderr:
            subprocess.run([os.path.join(self.program, "vorn-updater"), self.prefix,
                            "../../outside.txt", "4242"], env=self.env, stderr=stderr,
                           timeout=PATIENCE_S)
        self.assertEqual(self.lines(log), ["Preparing to update...",
                                           "ERROR: Invalid update file name '../../outside.txt'."])
        self.assertEqual(self.server.requested, [])
        self.assertEqual(tree(self.root, leave_out=outside_home), before)

        # A leading dot is part of a plain file name: the package is fetched and installed.
        self.serve(".patch.zip", {"patched.txt": "patched\n"})
        client, log = self.start_client(".patch.zip")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)
        self.assertEqual(self.lines(log)[-1], "Client update complete.")
        self.assertEqual(self.read("patched.txt"), "patched\n")
        self.assertEqual(self.server.requested, ["/.patch.zip"])


if __name__ == "__main__":
    unittest.main()
