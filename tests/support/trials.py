"""Kill trials: the real updater killed (SIGKILL) at a random moment of its run, then run again.

A trial uses the end-to-end tests' set-up (tests/support/vorn_rig.py: a program folder with the real
updater, engine library and stand-in client as Vorn.exe, a loopback HTTP server, a HOME of its
own), through an instance of its UpdaterRig, with a TMPDIR of its own inside it. The installed
program (the "old" tree) is replaced by one package (the "new" tree): thousands of small files in
nested folders, a few larger ones, some files the package adds and some it leaves alone; every file
the package replaces has other contents before.

After the kill every file must hold its whole old or its whole new contents, the file set must be
the old or the new one file by file, and nothing else may lie in the program folder but the
engine's temporary files (".vbuzip-*.tmp") and the complete package in updates/; TMPDIR may hold
only the download's temporary file ("vorn-download-*.part") and its record
("vorn-download-*.resume"). Then the client is started again with
the same package: that run must complete, every file must be new, and no temporary file may be
left, neither in the program folder nor in TMPDIR.

Phases where the kill falls:
  download    a random moment of the download (served slowly, so that it takes a while)
  wait        while the updater waits for the client to exit
  extraction  a random moment after "Updating files..." within the measured extraction time
  commit      the moment the first installed file is seen replaced (the engine putting staged
              files in place)
"""

import hashlib
import http.server
import functools
import os
import random
import re
import shutil
import signal
import stat
import tempfile
import threading
import time
import zipfile

import vorn_rig as e2e

PATIENCE_S = e2e.PATIENCE_S
PACKAGE = "update.zip"
ENGINE_TEMP = re.compile(r"^\.vbuzip-[0-9a-f]+-[0-9]+\.tmp$")
# The download's temporary file, and the record that lets the next run go on with it.
DOWNLOAD_TEMP = re.compile(r"^vorn-download-(\w{6}\.part|[0-9a-f]{16}\.resume(\.\w+)?)$")
# Files of the program folder that are not part of the installation the package changes.
PROGRAM_FILES = {"vorn-updater", "vbuzip10.dll", "Vorn.exe", "client-starts.log",
                 ".vorn-updater.lock"}

COMPLETE_RUN = [
    "Preparing to update...",
    f"Downloading file {PACKAGE}...",
    "Download completed.",
    "Checking client conditions...",
    "Processing update data...",
    "Updating files...",
    "Client update complete.",
]

PHASES = ("download", "wait", "extraction", "commit")

# The slow server of the download phase: bytes per pause, and the pause.
SLOW_CHUNK = 256 << 10
SLOW_PAUSE_S = 0.01


def digest(data):
    return hashlib.blake2b(data, digest_size=16).digest()


def file_digest(path):
    with open(path, "rb") as handle:
        return digest(handle.read())


# --- the installation and the package --------------------------------------------------------

class Model:
    """The old tree (installed), the new tree (the package) and what every path may hold.

    expected[rel] = (old digest or None, new digest or None): None where the path has no file in
    that tree. Made once per process in `folder`: the old tree as a folder to copy, the package as
    a zip file."""

    def __init__(self, folder, small_files=3000, large_files=4, large_size=4 << 20,
                 added_files=60, kept_files=40, seed=20240501):
        rng = random.Random(seed)
        self.old_tree = os.path.join(folder, "old-tree")
        self.package = os.path.join(folder, PACKAGE)
        self.expected = {}
        self.order = []  # the package's files in archive order
        old, new = {}, {}
        for i in range(small_files):
            rel = f"app/m{i % 12}/s{i // 12 % 5}/t{i // 60 % 4}/f{i:04d}.dat"
            old[rel] = rng.randbytes(100 + rng.randrange(3000))
            new[rel] = rng.randbytes(100 + rng.randrange(3000))
        for i in range(large_files):
            rel = f"data/large{i}.bin"
            old[rel] = rng.randbytes(large_size - 4096 * i)
            new[rel] = rng.randbytes(large_size + 4096 * i)
        for i in range(added_files):
            new[f"app/added/a{i % 3}/n{i:03d}.dat"] = rng.randbytes(100 + rng.randrange(2000))
        for i in range(kept_files):
            old[f"keep/k{i:03d}.txt"] = f"kept file {i}\n".encode()
        old["versions.txt"] = b"1.0\n- installed\n"
        new["versions.txt"] = b"1.1\n- the update\n\n1.0\n- installed\n"

        for rel, data in old.items():
            path = os.path.join(self.old_tree, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as handle:
                handle.write(data)
        with zipfile.ZipFile(self.package, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
            for rel, data in new.items():
                info = zipfile.ZipInfo(rel, date_time=(2024, 5, 1, 12, 0, 0))
                info.external_attr = (stat.S_IFREG | 0o644) << 16
                # Random data does not shrink: stored, as a packer would do.
                info.compress_type = zipfile.ZIP_STORED if len(data) > 65536 else \
                    zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
                self.order.append(rel)
        for rel in set(old) | set(new):
            self.expected[rel] = (digest(old[rel]) if rel in old else None,
                                  digest(new[rel]) if rel in new else None)
        self.package_digest = file_digest(self.package)
        self.old_digests = {digest(data) for data in old.values()}
        self.new_digests = {digest(data) for data in new.values()}
        self.changed = [rel for rel, (o, n) in self.expected.items() if n is not None and o != n]
        self.package_bytes = os.path.getsize(self.package)
        self.extracted_bytes = sum(len(data) for data in new.values())


class State:
    """What a look at a program folder (and its TMPDIR) found."""

    def __init__(self):
        self.violations = []
        self.new = 0             # package files with their new contents
        self.old = 0             # package files in their old state (old contents, or absent)
        self.engine_temps = []   # relative paths of ".vbuzip-*.tmp" files
        self.temp_kinds = {"staged": 0, "backup": 0, "partial": 0}
        self.download_temps = []
        self.package_present = False

    @property
    def package_state(self):
        if self.old == 0:
            return "all new"
        if self.new == 0:
            return "all old"
        return "mixed"


def look(model, program, tmpdir):
    """Checks the program folder and TMPDIR against the invariant that holds at every moment."""
    state = State()
    seen = set()
    for root, dirs, files in os.walk(program):
        rel_root = os.path.relpath(root, program)
        for name in files:
            rel = os.path.normpath(os.path.join(rel_root, name))
            full = os.path.join(root, name)
            if rel in PROGRAM_FILES:
                continue
            if rel_root == "updates":
                if name == PACKAGE and file_digest(full) == model.package_digest:
                    state.package_present = True
                else:
                    state.violations.append(f"unexpected file in updates/: {name}")
                continue
            if ENGINE_TEMP.match(name):
                state.engine_temps.append(rel)
                found = file_digest(full)
                kind = ("staged" if found in model.new_digests else
                        "backup" if found in model.old_digests else "partial")
                state.temp_kinds[kind] += 1
                continue
            if rel not in model.expected:
                state.violations.append(f"unexpected file: {rel}")
                continue
            seen.add(rel)
            old, new = model.expected[rel]
            found = file_digest(full)
            if new is None:
                if found != old:
                    state.violations.append(f"{rel}: changed, though the package leaves it alone")
            elif found == new:
                state.new += 1
            elif found == old:
                state.old += 1
            else:
                state.violations.append(f"{rel}: neither its old nor its new contents")
    for rel, (old, new) in model.expected.items():
        if rel in seen:
            continue
        if old is not None:
            state.violations.append(f"{rel}: missing (it was installed)")
        elif new is not None:
            state.old += 1  # added by the package, not there yet
    if os.path.isdir(tmpdir):
        for name in os.listdir(tmpdir):
            if DOWNLOAD_TEMP.match(name):
                state.download_temps.append(name)
            else:
                state.violations.append(f"unexpected file in TMPDIR: {name}")
    return state


# --- one program folder -------------------------------------------------------------------------

class SlowHandler(e2e.QuietHandler):
    """Serves files in pieces with pauses between them; a client that goes away is no error."""

    def copyfile(self, source, outputfile):
        try:
            while True:
                data = source.read(SLOW_CHUNK)
                if not data:
                    return
                outputfile.write(data)
                outputfile.flush()
                time.sleep(SLOW_PAUSE_S)
        except (BrokenPipeError, ConnectionResetError):
            pass


class Rig:
    """A program folder with the old tree installed, the package served twice (at full speed and
    slowly) and a TMPDIR of its own; close() removes everything."""

    def __init__(self, model):
        self.model = model
        self.case = e2e.UpdaterRig()
        self.case.setUp()
        try:
            self.root = self.case.root
            self.program = self.case.program
            self.tmpdir = os.path.join(self.root, "tmp")
            os.makedirs(self.tmpdir)
            self.case.env["TMPDIR"] = self.tmpdir
            # Hard links: quick, and safe as long as nothing writes into an installed file (the
            # engine replaces files by rename; a write in place would show as a violation).
            shutil.copytree(model.old_tree, self.program, dirs_exist_ok=True,
                            copy_function=link_or_copy)
            link_or_copy(model.package, os.path.join(self.case.served, PACKAGE))
            handler = functools.partial(SlowHandler, directory=self.case.served)
            self.slow = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            self.slow.daemon_threads = True
            threading.Thread(target=self.slow.serve_forever, daemon=True).start()
            self.case.addCleanup(self.slow.server_close)
            self.case.addCleanup(self.slow.shutdown)
            self.fast_prefix = self.case.prefix
            self.slow_prefix = f"http://127.0.0.1:{self.slow.server_address[1]}/"
        except BaseException:
            self.case.doCleanups()
            raise

    def close(self):
        self.case.doCleanups()

    def start(self, slow=False, client_stays=False, log_name="updater.log"):
        """Starts the client, which starts the updater; returns (client, log)."""
        self.case.prefix = self.slow_prefix if slow else self.fast_prefix
        try:
            return self.case.start_client(
                PACKAGE, exit_after_ms=int(PATIENCE_S * 1000) if client_stays else 0,
                log_name=log_name)
        finally:
            self.case.prefix = self.fast_prefix

    def lines(self, log):
        return self.case.lines(log)

    def look(self):
        return look(self.model, self.program, self.tmpdir)

    def kill_updater(self):
        """SIGKILL to every live updater of this folder; returns how many were alive."""
        pids = self.case.updater_pids()
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.case.wait_for(lambda: not self.case.updater_pids(), "the killed updater to end")
        return len(pids)


def link_or_copy(source, target):
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)
    return target


class LineClock:
    """Notes when each status line of a log was first seen (polled every 0.5 ms)."""

    def __init__(self, rig, log):
        self.rig, self.log = rig, log
        self.seen = {}

    def poll(self):
        now = time.monotonic()
        for line in self.rig.lines(self.log):
            self.seen.setdefault(line, now)

    def wait_for(self, line, patience=PATIENCE_S):
        deadline = time.monotonic() + patience
        while True:
            self.poll()
            if line in self.seen:
                return self.seen[line]
            if time.monotonic() > deadline:
                raise AssertionError(f"gave up waiting for the line {line!r}; lines: "
                                     f"{self.rig.lines(self.log)}")
            time.sleep(0.0005)


# --- measuring, and the trials ----------------------------------------------------------------

class Timings:
    """How long the download (from the slow server) and the extraction take here."""

    def __init__(self, download_s, extraction_s):
        self.download_s = download_s
        self.extraction_s = extraction_s


def measure(model):
    """One whole run, undisturbed, on the slow server: the reference durations. Also checks that
    such a run ends with every file new."""
    rig = Rig(model)
    try:
        client, log = rig.start(slow=True)
        clock = LineClock(rig, log)
        download_start = clock.wait_for(COMPLETE_RUN[1])
        download_end = clock.wait_for("Download completed.")
        extraction_start = clock.wait_for("Updating files...")
        extraction_end = clock.wait_for("Client update complete.")
        client.wait(timeout=PATIENCE_S)
        rig.case.settle(log)
        state = rig.look()
        problems = list(state.violations)
        if rig.lines(log) != COMPLETE_RUN:
            problems.append(f"undisturbed run: lines {rig.lines(log)}")
        if state.package_state != "all new" or state.engine_temps or state.download_temps:
            problems.append(f"undisturbed run: {state.package_state}, temps "
                            f"{state.engine_temps + state.download_temps}")
        if problems:
            raise AssertionError("; ".join(problems[:10]))
        return Timings(download_end - download_start, extraction_end - extraction_start)
    finally:
        rig.close()


class Trial:
    """The outcome of one trial."""

    def __init__(self, phase):
        self.phase = phase
        self.delay_s = None        # from the phase's start line to the kill
        self.killed = False        # an updater was alive to be killed
        self.late = False          # the run had completed before the kill
        self.after_kill = None     # State after the kill
        self.after_rerun = None    # State after the second run
        self.rerun_lines = None
        self.rerun_extraction_s = None  # "Updating files..." to the end, in the second run
        self.violations = []

    def summary(self):
        s = self.after_kill
        temps = ", ".join(f"{n} {k}" for k, n in s.temp_kinds.items() if n) if s else ""
        text = (f"{self.phase:<10} delay {self.delay_s * 1000:7.1f} ms  "
                if self.delay_s is not None else f"{self.phase:<10} {'':18}")
        if self.late:
            text += "run had ended before the kill"
        elif s:
            text += (f"{s.package_state:<8} ({s.new} new / {s.old} old)  "
                     f"engine temps: {len(s.engine_temps)}{' (' + temps + ')' if temps else ''}"
                     f"  download temps: {len(s.download_temps)}")
        if self.violations:
            text += f"  VIOLATIONS: {len(self.violations)}: {self.violations[:3]}"
        return text


def run_trial(model, timings, phase, rng):
    """One trial in a fresh program folder; never raises for a broken invariant (the trial's
    violations list it), only for a failure of the harness itself."""
    trial = Trial(phase)
    rig = Rig(model)
    try:
        client, log = rig.start(slow=(phase == "download"), client_stays=(phase == "wait"))
        clock = LineClock(rig, log)
        if phase == "download":
            start = clock.wait_for(COMPLETE_RUN[1])
            kill_at = start + rng.uniform(0, timings.download_s * 1.1)
        elif phase == "wait":
            start = clock.wait_for("Checking client conditions...")
            kill_at = start + rng.uniform(0, 0.3)
        elif phase == "extraction":
            start = clock.wait_for("Updating files...")
            kill_at = start + rng.uniform(0, timings.extraction_s * 1.1)
        elif phase == "commit":
            # The first file of the package is the first one the engine puts in place.
            first = os.path.join(rig.program, model.order[0])
            before = os.stat(first).st_ino
            start = clock.wait_for("Updating files...")
            deadline = time.monotonic() + PATIENCE_S
            kill_at = None
            for turn in range(1 << 62):
                try:
                    if os.stat(first).st_ino != before:
                        kill_at = time.monotonic()
                        break
                except FileNotFoundError:
                    kill_at = time.monotonic()
                    break
                if turn % 2000 == 1999 and (not rig.case.updater_pids() or
                                            time.monotonic() > deadline):
                    kill_at = time.monotonic()  # ended unseen: a late kill
                    break
        else:
            raise ValueError(phase)
        while time.monotonic() < kill_at:
            time.sleep(min(0.0005, max(0.0, kill_at - time.monotonic())))
        trial.delay_s = kill_at - start
        trial.killed = rig.kill_updater() > 0
        rig.case.stop(client)
        trial.late = "Client update complete." in rig.lines(log)
        rig.case.wait_for(lambda: not rig.case.live_pids("Vorn.exe"), "the client to end")

        trial.after_kill = rig.look()
        trial.violations += [f"after the kill: {v}" for v in trial.after_kill.violations]
        if "ERROR: " in "".join(rig.lines(log)):
            trial.violations.append(f"after the kill: the run reported {rig.lines(log)}")

        # The client starts the updater again with the same package.
        client, log = rig.start(log_name="second.log")
        clock = LineClock(rig, log)
        try:
            trial.rerun_extraction_s = (clock.wait_for("Client update complete.") -
                                        clock.wait_for("Updating files..."))
        except AssertionError:
            pass  # the lines are judged below
        client.wait(timeout=PATIENCE_S)
        rig.case.settle(log)
        trial.rerun_lines = rig.lines(log)
        trial.after_rerun = again = rig.look()
        trial.violations += [f"after the second run: {v}" for v in again.violations]
        if trial.rerun_lines != COMPLETE_RUN:
            trial.violations.append(f"second run: lines {trial.rerun_lines}")
        if again.package_state != "all new":
            trial.violations.append(f"second run: {again.new} new, {again.old} old files")
        if again.engine_temps:
            trial.violations.append(f"second run: engine temporary files left: "
                                    f"{again.engine_temps[:5]}")
        if again.download_temps:
            trial.violations.append(f"second run: download temporary files left in TMPDIR: "
                                    f"{again.download_temps}")
        if not again.package_present:
            trial.violations.append("second run: the package is not in updates/")
        return trial
    finally:
        rig.close()


def next_call_after_a_killed_commit(model):
    """Kills a run while the engine puts files in place, then runs the updater once more with the
    package broken (its last entry's data corrupted), so that the engine's next call in the folder
    fails. Returns (State after the kill, State after the failed run, the failed run's lines): they
    show whether anything rolls the package back to its old state."""
    rig = Rig(model)
    try:
        client, log = rig.start()
        clock = LineClock(rig, log)
        first = os.path.join(rig.program, model.order[0])
        before = os.stat(first).st_ino
        clock.wait_for("Updating files...")
        deadline = time.monotonic() + PATIENCE_S
        while os.stat(first).st_ino == before:
            if time.monotonic() > deadline:
                raise AssertionError("the first file was never replaced")
        rig.kill_updater()
        rig.case.stop(client)
        after_kill = rig.look()

        served = os.path.join(rig.case.served, PACKAGE)
        os.unlink(served)  # a link to the model's package: broken in a copy of its own
        shutil.copy(model.package, served)
        e2e.corrupt_last_entry(served)
        client, log = rig.start(log_name="broken.log")
        client.wait(timeout=PATIENCE_S)
        rig.case.settle(log)
        os.unlink(os.path.join(rig.program, "updates", PACKAGE))  # the broken one, as served
        return after_kill, rig.look(), rig.lines(log)
    finally:
        rig.close()


def choose_phase(rng, weights):
    """weights: phase -> weight."""
    phases = [p for p in PHASES if weights.get(p)]
    return rng.choices(phases, [weights[p] for p in phases])[0]


def make_model(folder, **sizes):
    return Model(folder, **sizes)


def scratch_folder():
    return tempfile.mkdtemp(prefix="vorn-kill-model-")
