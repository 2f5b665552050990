"""The set-up of the runs of the real updater, shared by the end-to-end, hostile and kill suites.

UpdaterRig makes a program folder in a temporary directory (the updater, the engine library and the
stand-in client installed as Vorn.exe), serves update packages from a loopback HTTP server, and
starts the stand-in client with --update, which starts the updater the way the real client does.
The paths of the programs under test come from the environment (tests/e2e/e2e_test.py lists the
variables). CTest puts this folder on PYTHONPATH; elsewhere run with PYTHONPATH=tests/support.

With VORN_E2E_PLATFORM=windows the programs are the Windows build's, run under wine
(VORN_E2E_WINE: its loader) in a wine prefix of each test's own, a copy of one made once in the
folder VORN_E2E_WINEPREFIX (wine's programs and libraries shared by hard links). Its
C:\\windows\\system32 is the system directory the updater installs the engine library into.
Process ids are then Windows ones, as the programs log them and as wine's debugger lists them.
"""

import collections
import fcntl
import functools
import http.server
import os
import re
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
# For the installed program folder and the package: the build folder, cmake and cpack, and the
# project's version.
BUILD = os.environ.get("VORN_E2E_BUILD", "")
CMAKE = os.environ.get("VORN_E2E_CMAKE", "cmake")
CPACK = os.environ.get("VORN_E2E_CPACK", "cpack")
VERSION = os.environ.get("VORN_E2E_VERSION", "")
# Where the window tests save screenshots of each state they pass through, when set.
SHOTS = os.environ.get("VORN_E2E_SHOTS", "")
WINDOWS = os.environ.get("VORN_E2E_PLATFORM", "") == "windows"
WINE = os.environ.get("VORN_E2E_WINE", "")
WINE_PREFIXES = os.environ.get("VORN_E2E_WINEPREFIX", "")
UPDATER_NAME = "vorn-updater.exe" if WINDOWS else "vorn-updater"

# Upper bound on any wait for the programs; reaching it fails the test rather than hanging it.
PATIENCE_S = 60.0

QT_MARK = "[qt] "

def complete_run(*packages):
    """The status lines of a successful run over the packages, in their order."""
    return (["Preparing to update..."] +
            [line for name in packages
             for line in (f"Downloading file {name}...", "Download completed.")] +
            ["Checking client conditions..."] +
            ["Processing update data...", "Updating files..."] * len(packages) +
            ["Client update complete."])


COMPLETE_RUN = complete_run("a.zip", "b.zip")
DOWNLOADED = COMPLETE_RUN[:5]  # both packages (and their signatures) arrived
# On Windows a diagnostic goes to standard error unmarked; the run log names its kind.
UNVERIFIED = ("" if WINDOWS else QT_MARK) + "Update packages are not verified"

# A minisign key pair without a password; id as minisign prints it.
Key = collections.namedtuple("Key", "public secret id")


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


def minisign(*arguments):
    subprocess.run(["minisign", *arguments], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)


def rewrite(path, change):
    """Replaces the bytes of the file at path with change(bytes)."""
    with open(path, "rb") as handle:
        data = handle.read()
    with open(path, "wb") as handle:
        handle.write(change(data))


def tree(folder, leave_out=("updates", ".vorn-updater.lock", "client-starts.log")):
    """Relative path -> (content, mode) of every file under folder; leave_out: relative paths."""
    found = {}
    for root, dirs, files in os.walk(folder):
        rel_root = os.path.relpath(root, folder)
        dirs[:] = [d for d in dirs if os.path.normpath(os.path.join(rel_root, d)) not in leave_out]
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


def wine_environment(prefix):
    """What the wine processes of a prefix run with: no diagnostics of wine's own, and no Mono and
    no Gecko (their installers would ask on a display), as scripts/wine-run runs them."""
    return {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEARCH": "win64" if os.path.basename(WINE) == "wine64" else "win32"}


def wineserver():
    return os.path.join(os.path.dirname(WINE), "wineserver")


def wine_template():
    """The prefix the tests' own are copied from. The first test to ask makes it (that takes a
    while); the others wait for it on a lock beside it, as scripts/wine-run does."""
    template = os.path.join(WINE_PREFIXES, "template")
    ready = os.path.join(template, ".vorn-ready")
    os.makedirs(WINE_PREFIXES, exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(ready):
            shutil.rmtree(template, ignore_errors=True)
            env = {name: value for name, value in os.environ.items()
                   if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
            env.update(wine_environment(template))
            quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                     "stderr": subprocess.DEVNULL}
            subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, **quiet)
            # Until the server has written the new prefix out and stopped.
            subprocess.run([wineserver(), "-w"], env=env, check=True, **quiet)
            open(ready, "w").close()
    return template


# The kinds of file of a prefix that wine only reads (its programs, libraries and tables): a test's
# prefix shares them with the template by hard links. The others, the registry among them, are
# copied: wine writes a file that has several links in place.
SHARED_KINDS = (".acm", ".ax", ".com", ".cpl", ".dll", ".drv", ".ds", ".exe", ".msstyles", ".nls",
                ".ocx", ".sys", ".tlb")


def copy_prefix_file(source, target):
    if source.lower().endswith(SHARED_KINDS):
        os.link(source, target)
    else:
        shutil.copy2(source, target)


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


class RecordingHandler(QuietHandler):
    """Keeps the path of every request in the server's list `requested`."""

    def log_request(self, code="-", size="-"):
        self.server.requested.append(self.path)


class LoggedUpdater:
    """An updater that a client started under wine, which the test holds no handle of: it runs while
    the prefix lists it, and its exit status is the one its run log ends with."""

    def __init__(self, rig):
        self.rig = rig

    def poll(self):
        if self.rig.updater_pids():
            return None
        ended = re.fullmatch(r"\[exit\] status (\d+)", self.rig.run_log()[-1][1][-1])
        self.rig.assertIsNotNone(ended, "the run log ends with the exit status")
        return int(ended[1])

    def wait(self, timeout):
        self.rig.wait_for(lambda: not self.rig.updater_pids(), "the updater to end")
        return self.poll()


class UpdaterRig(unittest.TestCase):
    """A program folder, a loopback server for the packages, and helpers to run and watch."""

    # On Windows: whether the test shows the windows on an X server (it then starts wine itself,
    # with start_wine, once the display is set), or has wine make them on its null display driver.
    SHOWS_WINDOWS = False

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
        self.populate_program()

        handler = functools.partial(RecordingHandler, directory=self.served)
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
        if WINDOWS:
            self.make_wine_prefix()
            if not self.SHOWS_WINDOWS:
                self.start_wine()
        self.addCleanup(self.kill_leftovers)

    def make_wine_prefix(self):
        """A wine prefix of the test's own, so that what the updater leaves in the system directory
        stays with the test, with wine's null display driver unless the test shows its windows."""
        self.assertTrue(os.path.isfile(WINE), f"missing wine loader: {WINE!r}")
        template = wine_template()
        self.wineprefix = tempfile.mkdtemp(prefix="test-", dir=WINE_PREFIXES)
        os.rmdir(self.wineprefix)
        shutil.copytree(template, self.wineprefix, symlinks=True, copy_function=copy_prefix_file)
        self.addCleanup(shutil.rmtree, self.wineprefix, ignore_errors=True)
        if not self.SHOWS_WINDOWS:
            with open(os.path.join(self.wineprefix, "user.reg"), "a") as registry:
                registry.write('\n[Software\\\\Wine\\\\Drivers] 1700000000\n"Graphics"="null"\n')
        self.env.update(wine_environment(self.wineprefix))

    def start_wine(self):
        """Starts the prefix's server, to stay until the test ends, and wine's services (with no
        output: they would hold a pipe of the program that started them open)."""
        subprocess.run([wineserver(), "-p"], env=self.env, check=True)
        self.addCleanup(self.stop_wine)
        subprocess.run([WINE, "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=PATIENCE_S)

    def stop_wine(self):
        """Ends every process of the test's prefix, and its server."""
        subprocess.run([wineserver(), "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([wineserver(), "-w"], env=self.env, stderr=subprocess.DEVNULL,
                       timeout=PATIENCE_S)

    def populate_program(self):
        """Puts the updater, the engine library and the stand-in client into the program folder."""
        shutil.copy2(UPDATER, os.path.join(self.program, UPDATER_NAME))
        shutil.copy2(ENGINE, os.path.join(self.program, "vbuzip10.dll"))
        shutil.copy2(CLIENT, os.path.join(self.program, "Vorn.exe"))

    # --- helpers ---------------------------------------------------------------------------

    @staticmethod
    def command(program, *arguments):
        """The command line that starts a program of this platform."""
        return [WINE, program, *arguments] if WINDOWS else [program, *arguments]

    def updater_command(self, *arguments):
        return self.command(os.path.join(self.program, UPDATER_NAME), *arguments)

    @staticmethod
    def native(path):
        """The path as the programs under test spell it (wine's drive Z: is the root)."""
        return "Z:" + path.replace("/", "\\") if WINDOWS else path

    def system_library(self):
        """Where the updater installs the engine library."""
        if WINDOWS:
            return os.path.join(self.wineprefix, "drive_c/windows/system32/vbuzip10.dll")
        return os.path.join(self.home, ".local/lib/vbuzip10.dll")

    def client_id(self, client):
        """The process id of a client started by start_client, as the updater knows it: on Windows
        the one the client noted at its start (the latest start)."""
        return self.client_starts()[-1][1] if WINDOWS else str(client.pid)

    def install(self, files):
        for rel, content in files.items():
            text, mode = content if isinstance(content, tuple) else (content, 0o644)
            path = os.path.join(self.program, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(text)
            os.chmod(path, mode)

    def start_client(self, *packages, exit_after_ms=300, log_name="updater.log", env=None):
        """Starts Vorn.exe --update; returns the client process and the updater's log path."""
        log = os.path.join(self.root, log_name)
        client = subprocess.Popen(
            self.command(os.path.join(self.program, "Vorn.exe"), "--update", self.prefix,
                         *packages, "--exit-after-ms", str(exit_after_ms), "--updater-log",
                         self.native(log)),
            cwd=self.root, env=env or self.env)
        self.addCleanup(self.stop, client)
        return client, log

    def run_updater(self, *arguments, log_name="direct.log", env=None):
        """Starts the updater itself, not through the client; returns the process and the path of
        its standard error."""
        log = os.path.join(self.root, log_name)
        with open(log, "w") as stderr:
            updater = subprocess.Popen(self.updater_command(*arguments),
                                       cwd=self.program, env=env or self.env, stderr=stderr)
        self.addCleanup(self.stop, updater)
        return updater, log

    def waiting_client(self):
        """A process that passes for the client (it is named Vorn.exe) and stays until stopped."""
        client = subprocess.Popen(["Vorn.exe", str(int(10 * PATIENCE_S))],
                                  executable=shutil.which("sleep"))
        self.addCleanup(self.stop, client)
        return client

    def run_log(self):
        """The runs of the run log, each (header, [its lines without their time stamps]); every
        line must be whole."""
        with open(os.path.join(self.program, "updates", "update.log"), encoding="utf-8") as handle:
            text = handle.read()
        self.assertTrue(text.endswith("\n"), "the last line is whole")
        runs = []
        for line in text.splitlines():
            if line.startswith("=== "):
                runs.append((line, []))
                continue
            stamped = re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)", line)
            self.assertIsNotNone(stamped, f"a torn line: {line!r}")
            runs[-1][1].append(stamped[1])
        return runs

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        process.wait()

    def live_pids(self, program_name):
        """Ids of the live (not ended) processes running this test's program_name.

        On Windows: those of the test's wine prefix that wine's debugger lists with that name.

        A process is live until every one of its threads has ended. A killed multi-threaded
        process whose main thread has ended already (its executable can no longer be read, and
        it shows as a zombie) still holds its open files, the update lock among them, while its
        other threads exit. So each process found running the program is remembered (by id and
        start time, which tell it from a later process with the same id) and counts until then."""
        if WINDOWS:
            return sorted(pid for pid, name in self.wine_processes()
                          if name.lower() == program_name.lower())
        target = os.path.join(self.program, program_name)
        seen = self.__dict__.setdefault("_seen_processes", {})  # (pid, start) -> program_name
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.readlink(f"/proc/{entry}/exe") == target:
                    seen[(int(entry), self._stat(f"/proc/{entry}/stat")[19])] = program_name
            except (OSError, IndexError):
                continue
        pids = []
        for (pid, start), name in list(seen.items()):
            if self._running(pid, start):
                if name == program_name:
                    pids.append(pid)
            else:
                seen.pop((pid, start), None)  # ended for good
        return sorted(pids)

    @staticmethod
    def _stat(path):
        """The fields of a /proc stat file from the state on (so the start time is [19])."""
        with open(path) as handle:
            return handle.read().rpartition(")")[2].split()

    @classmethod
    def _running(cls, pid, start):
        """Whether the process pid that started at start has a thread that has not ended."""
        try:
            if cls._stat(f"/proc/{pid}/stat")[19] != start:
                return False
            threads = os.listdir(f"/proc/{pid}/task")
        except (OSError, IndexError):
            return False
        for thread in threads:
            try:
                if cls._stat(f"/proc/{pid}/task/{thread}/stat")[0] not in ("Z", "X"):
                    return True
            except (OSError, IndexError):
                continue  # that thread is gone
        return False

    def wine_processes(self):
        """(Windows process id, program name) of each process of the test's wine prefix."""
        listed = subprocess.run([WINE, "winedbg", "--command", "info proc"], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=PATIENCE_S)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        # " 00000160 1        'start.exe'", a child "=00000168 1        \_ 'winedbg.exe'"
        return [(int(found[1], 16), found[2]) for found in
                re.finditer(r"^.([0-9a-f]{8}) +\d+ +[ \\_]*'(.*)'\s*$", listed.stdout, re.M)]

    def updater_pids(self):
        return self.live_pids(UPDATER_NAME)

    def kill_leftovers(self):
        if WINDOWS:
            return  # the prefix's end ends them
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

    def lines(self, log):
        """The status lines the updater wrote to its standard error (diagnostics left out)."""
        try:
            with open(log, encoding="utf-8") as handle:
                text = handle.read()
        except FileNotFoundError:
            return []
        noted = self.logged_diagnostics() if WINDOWS else set()
        return [line for line in text.splitlines()
                if not line.startswith(QT_MARK) and line not in noted]

    def logged_diagnostics(self):
        """The texts of the diagnostics in the run log ("[kind] text"); it has each before standard
        error does."""
        try:
            with open(os.path.join(self.program, "updates", "update.log"),
                      encoding="utf-8") as handle:
                text = handle.read()
        except FileNotFoundError:
            return set()
        return set(re.findall(r"^[-\d]+ [:.\d]+ \[[a-z]+\] (.*)$", text, re.M))

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

    def make_key(self, name):
        folder = os.path.join(self.root, "keys")
        os.makedirs(folder, exist_ok=True)
        public, secret = (os.path.join(folder, name + ext) for ext in (".pub", ".key"))
        minisign("-G", "-W", "-f", "-p", public, "-s", secret)
        with open(public) as handle:
            return Key(public, secret, handle.readline().split()[-1])

    def sign(self, key, name, *extra):
        """Signs the served package name (minisign's default trusted comment unless extra -t)."""
        minisign("-S", "-s", key.secret, "-m", os.path.join(self.served, name), *extra)

    def install_key(self, key):
        shutil.copy(key.public, os.path.join(self.program, "vorn-update.pub"))

    def updates(self):
        folder = os.path.join(self.program, "updates")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def read(self, rel):
        with open(os.path.join(self.program, rel)) as handle:
            return handle.read()

    def mode(self, rel):
        return stat.S_IMODE(os.stat(os.path.join(self.program, rel)).st_mode)

    def check_two_package_update(self):
        """A whole update of two packages with version notes, closed at once: every file in
        place and the client started again."""
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
        with open(log) as handle:
            self.assertEqual(sum(line.startswith(UNVERIFIED) for line in handle), 1)
        self.assertEqual(self.server.requested, ["/a.zip", "/b.zip"], "no signature without key")
        self.assertEqual(self.read("data/maps/deep/level1.map"), "level one\n")
        self.assertEqual(self.read("bin/core.txt"), "core 1.1\n")
        self.assertEqual(self.read("shared.txt"), "from b\n", "the later package wins")
        self.assertEqual(self.read("kept.txt"), "untouched\n")
        self.assertEqual(self.read("bin/old.txt"), "old\n")
        if not WINDOWS:  # Windows has no file modes
            self.assertEqual(self.mode("bin/tool"), 0o755)
            self.assertEqual(self.mode("bin/core.txt"), 0o644)
        self.assertEqual(self.read("versions.txt"), "1.1\n- new maps\n\n1.0\n- first\n")
        # The packages stay in updates; the engine library went to the system directory.
        self.assertEqual(sorted(os.listdir(os.path.join(self.program, "updates"))),
                         ["a.zip", "b.zip", "update.log"])
        with open(os.path.join(self.program, "vbuzip10.dll"), "rb") as shipped, \
                open(self.system_library(), "rb") as installed:
            self.assertEqual(installed.read(), shipped.read())

        # With version notes in place the close button started the client again, from the
        # program folder, with no arguments.
        starts = self.client_starts()
        self.assertEqual(len(starts), 2, starts)
        self.assertEqual(starts[0][2], self.native(self.root))
        self.assertEqual(starts[1][2], self.native(self.program))
        self.assertNotEqual(starts[0][1], starts[1][1])
