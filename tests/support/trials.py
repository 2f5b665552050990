"""Kill trials: the real updater killed (SIGKILL) at a random moment of its run, then run again.

A trial uses the end-to-end tests' set-up (tests/support/vorn_rig.py: a program folder with the real
updater, engine library and stand-in client as Vorn.exe, a loopback HTTP server, a HOME of its
own), through an instance of its UpdaterRig, with a TMPDIR of its own inside it. The installed
program (the "old" tree) is replaced by two packages together (the "new" tree): the first carries
thousands of small files in nested folders, a few larger ones, some files it adds, and leaves some
alone; the second replaces some files of the first again (the later package wins) and adds a few.
Every file the update replaces has other contents before.

After the kill every file must hold its whole old or its whole new contents, the file set must be
the old or the new one file by file, and nothing else may lie in the program folder but the
engine's files (staged files and backups ".vbuzip-*.tmp", its records ".vbuzip-update.*") and the
complete packages in updates/; TMPDIR may hold only the download's temporary file
("vorn-download-*.part") and its record
("vorn-download-*.resume"). Before the commit has begun nothing installed may have changed. Then the
client is started again with the same packages and stays: once the run waits for it (recovery done
and the update prepared again) the installation must be all old or all new, never a mix across the
packages, and a recovery line must say what was done when the kill left records. When the client
has gone, the run must complete, every file must be new, and nothing of the engine's and no
download file may be left.

Phases where the kill falls:
  download    a random moment of the downloads (served slowly, so that they take a while)
  prepare     a random moment of the preparing, after the last download, within its measured time
  wait        while the updater waits for the client to exit, the update prepared
  commit      a random moment of the commit after the last "Updating files..." within its
              measured time, or (every other trial) the moment the first installed file is seen
              replaced
  recover     a commit killed as it replaced its first file, then the next run killed at a random
              moment of its start (its recovery)
"""

import hashlib
import http.server
import functools
import json
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
SECOND_PACKAGE = "extra.zip"
PACKAGES = (PACKAGE, SECOND_PACKAGE)
ENGINE_TEMP = re.compile(r"^\.vbuzip-[0-9a-f]+-[0-9]+\.tmp$")
ENGINE_RECORD = re.compile(r"^\.vbuzip-update\.(plan|journal|journal\.new)$")
RECOVERY_LINES = ("Completed an interrupted update.", "Rolled back an interrupted update.",
                  "Removed an unfinished update.")
DOWNLOAD_TEMP = re.compile(r"^vorn-download-(\w{6}\.part|[0-9a-f]{16}\.resume(\.\w+)?)$")
# Files of the program folder that are not part of the installation the package changes.
PROGRAM_FILES = {"vorn-updater", "vbuzip10.dll", "Vorn.exe", "client-starts.log",
                 ".vorn-updater.lock"}

COMPLETE_RUN = e2e.complete_run(PACKAGE, SECOND_PACKAGE)
# Indexes of COMPLETE_RUN where phases begin and end.
LAST_DOWNLOAD_DONE, CLIENT_WAIT, LAST_UPDATING, COMPLETE = 4, 5, 9, 10

PHASES = ("download", "prepare", "wait", "commit", "recover")
# Phases whose kill falls before the commit: nothing installed may have changed.
BEFORE_COMMIT = ("download", "prepare", "wait")

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
    """The old tree (installed), the new tree (both packages) and what every path may hold.

    expected[rel] = (old digest or None, new digest or None): None where the path has no file in
    that tree. Made once per process in `folder`: the old tree as a folder to copy, the packages
    as zip files."""

    def __init__(self, folder, small_files=3000, large_files=4, large_size=4 << 20,
                 added_files=60, kept_files=40, seed=20240501):
        rng = random.Random(seed)
        self.old_tree = os.path.join(folder, "old-tree")
        self.package = os.path.join(folder, PACKAGE)
        self.packages = [self.package, os.path.join(folder, SECOND_PACKAGE)]
        self.expected = {}
        self.order = []  # the files of the update in the order the commit puts them in place
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
        # The second package replaces every 25th small file of the first once more, and adds some.
        second = {rel: rng.randbytes(100 + rng.randrange(3000))
                  for rel in list(new)[:small_files:25]}
        for i in range(added_files // 3):
            second[f"app/extra/e{i:03d}.dat"] = rng.randbytes(100 + rng.randrange(2000))
        self.first_digests = {digest(data) for rel, data in new.items() if rel in second}
        for path, files in ((self.packages[0], new), (self.packages[1], second)):
            write_package(path, files)
        final = dict(new, **second)
        self.order = sorted(final)
        for rel in set(old) | set(final):
            self.expected[rel] = (digest(old[rel]) if rel in old else None,
                                  digest(final[rel]) if rel in final else None)
        self.package_digests = {PACKAGES[i]: file_digest(path)
                                for i, path in enumerate(self.packages)}
        self.old_digests = {digest(data) for data in old.values()}
        self.new_digests = {digest(data) for data in final.values()} | self.first_digests
        self.changed = [rel for rel, (o, n) in self.expected.items() if n is not None and o != n]
        self.package_bytes = sum(os.path.getsize(path) for path in self.packages)
        self.extracted_bytes = sum(len(data) for data in new.values()) + \
            sum(len(data) for data in second.values())


def write_package(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        for rel, data in files.items():
            info = zipfile.ZipInfo(rel, date_time=(2024, 5, 1, 12, 0, 0))
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            # Random data does not shrink: stored, as a packer would do.
            info.compress_type = zipfile.ZIP_STORED if len(data) > 65536 else \
                zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


class State:
    """What a look at a program folder (and its TMPDIR) found."""

    def __init__(self):
        self.violations = []
        self.new = 0             # package files with their new contents
        self.old = 0             # package files in their old state (old contents, or absent)
        self.engine_temps = []   # relative paths of the engine's files (temporary and records)
        self.temp_kinds = {"staged": 0, "backup": 0, "partial": 0, "record": 0}
        self.download_temps = []
        self.packages_present = set()

    @property
    def package_state(self):
        if self.old == 0:
            return "all new"
        if self.new == 0:
            return "all old"
        return "mixed"


def torn_log_lines(path):
    """The run log's lines that are neither a run's header nor a whole stamped line."""
    with open(path, "rb") as handle:
        text = handle.read().decode("utf-8")
    lines = text.split("\n")
    torn = [f"torn run log line: {line!r}" for line in lines[:-1]
            if not re.match(r"=== |\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ", line)]
    return torn + ([f"torn last run log line: {lines[-1]!r}"] if lines[-1] else [])


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
                if name == "update.log":
                    state.violations += torn_log_lines(full)
                elif model.package_digests.get(name) == file_digest(full):
                    state.packages_present.add(name)
                else:
                    state.violations.append(f"unexpected file in updates/: {name}")
                continue
            if ENGINE_RECORD.match(name) and rel_root == ".":
                state.engine_temps.append(rel)
                state.temp_kinds["record"] += 1
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
    """A program folder with the old tree installed, the packages served twice (at full speed and
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
            for name, path in zip(PACKAGES, model.packages):
                link_or_copy(path, os.path.join(self.case.served, name))
            handler = functools.partial(SlowHandler, directory=self.case.served)
            self.slow = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            self.slow.daemon_threads = True
            self.slow.requested = []  # the e2e handler notes every path asked for
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
                *PACKAGES, exit_after_ms=int(PATIENCE_S * 1000) if client_stays else 0,
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
    """Notes when each status line of a log was first seen (polled every 0.5 ms). A line is
    named by its text, or by its index in COMPLETE_RUN (lines repeat); the index counts without
    a recovery line, which may come second."""

    def __init__(self, rig, log):
        self.rig, self.log = rig, log
        self.seen = {}  # (text, its occurrence) -> first seen

    def poll(self):
        now = time.monotonic()
        count = {}
        for line in self.rig.lines(self.log):
            count[line] = count.get(line, 0) + 1
            self.seen.setdefault((line, count[line]), now)

    def wait_for(self, line, patience=PATIENCE_S):
        key = (line, 1)
        if isinstance(line, int):
            key = (COMPLETE_RUN[line], COMPLETE_RUN[:line + 1].count(COMPLETE_RUN[line]))
        deadline = time.monotonic() + patience
        while True:
            self.poll()
            if key in self.seen:
                return self.seen[key]
            if time.monotonic() > deadline:
                raise AssertionError(f"gave up waiting for the line {key}; lines: "
                                     f"{self.rig.lines(self.log)}")
            time.sleep(0.0005)


# --- measuring, and the trials ----------------------------------------------------------------

class Timings:
    """How long the downloads (from the slow server), the preparing and the commit take here."""

    def __init__(self, download_s, prepare_s, commit_s):
        self.download_s = download_s
        self.prepare_s = prepare_s
        self.commit_s = commit_s


def measure(model):
    """One whole run, undisturbed, on the slow server: the reference durations. Also checks that
    such a run ends with every file new."""
    rig = Rig(model)
    try:
        client, log = rig.start(slow=True)
        clock = LineClock(rig, log)
        times = [clock.wait_for(i) for i in (1, LAST_DOWNLOAD_DONE, CLIENT_WAIT, LAST_UPDATING,
                                             COMPLETE)]
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
        return Timings(times[1] - times[0], times[2] - times[1], times[4] - times[3])
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
        self.after_recovery = None  # State once the second run waits for the client
        self.recovery_line = None  # what the second run's recovery said, if anything
        self.after_rerun = None    # State after the second run
        self.rerun_lines = None
        self.rerun_prepare_s = None  # the second run's preparing
        self.rerun_commit_s = None   # the second run's last "Updating files..." to the end
        self.violations = []

    def summary(self):
        s = self.after_kill
        temps = ", ".join(f"{n} {k}" for k, n in s.temp_kinds.items() if n) if s else ""
        text = (f"{self.phase:<8} delay {self.delay_s * 1000:7.1f} ms  "
                if self.delay_s is not None else f"{self.phase:<8} {'':18}")
        if self.late:
            text += "run had ended before the kill"
        elif s:
            text += (f"{s.package_state:<8} ({s.new} new / {s.old} old)  "
                     f"engine files: {len(s.engine_temps)}{' (' + temps + ')' if temps else ''}"
                     f"  download temps: {len(s.download_temps)}")
        if self.after_recovery:
            text += f"  -> {self.after_recovery.package_state}"
            if self.recovery_line:
                text += f" ({self.recovery_line})"
        if self.violations:
            text += f"  VIOLATIONS: {len(self.violations)}: {self.violations[:3]}"
        return text


def watch_first_replacement(rig, model, clock):
    """Waits for the commit to put its first file in place; returns that moment (or the moment
    the run was seen ended without it)."""
    first = os.path.join(rig.program, model.order[0])
    before = os.stat(first).st_ino if os.path.exists(first) else None
    clock.wait_for(LAST_UPDATING)
    deadline = time.monotonic() + PATIENCE_S
    for turn in range(1 << 62):
        try:
            if os.stat(first).st_ino != before:
                return time.monotonic()
        except FileNotFoundError:
            if before is not None:
                return time.monotonic()
        if turn % 2000 == 1999 and (not rig.case.updater_pids() or time.monotonic() > deadline):
            return time.monotonic()  # ended unseen: a late kill


def kill_at(rig, client, moment):
    while time.monotonic() < moment:
        time.sleep(min(0.0005, max(0.0, moment - time.monotonic())))
    killed = rig.kill_updater() > 0
    rig.case.stop(client)
    rig.case.wait_for(lambda: not rig.case.live_pids("Vorn.exe"), "the client to end")
    return killed


def run_trial(model, timings, phase, rng):
    """One trial in a fresh program folder; never raises for a broken invariant (the trial's
    violations list it), only for a failure of the harness itself."""
    trial = Trial(phase)
    rig = Rig(model)
    try:
        client, log = rig.start(slow=(phase == "download"), client_stays=(phase == "wait"))
        clock = LineClock(rig, log)
        if phase == "download":
            start = clock.wait_for(1)
            moment = start + rng.uniform(0, timings.download_s * 1.1)
        elif phase == "prepare":
            start = clock.wait_for(LAST_DOWNLOAD_DONE)
            moment = start + rng.uniform(0, timings.prepare_s * 1.1)
        elif phase == "wait":
            start = clock.wait_for(CLIENT_WAIT)
            moment = start + rng.uniform(0, 0.3)
        elif phase == "commit" and rng.random() < 0.5:
            start = clock.wait_for(LAST_UPDATING)
            moment = start + rng.uniform(0, timings.commit_s * 1.1)
        elif phase in ("commit", "recover"):
            start = clock.wait_for(LAST_UPDATING)
            moment = watch_first_replacement(rig, model, clock)
        else:
            raise ValueError(phase)
        trial.delay_s = moment - start
        trial.killed = kill_at(rig, client, moment)
        trial.late = "Client update complete." in rig.lines(log)
        # The moment follows the phase's measured length; in a slower run it can fall past the
        # phase, into the commit, which begins after the last "Updating files..." line.
        updating = COMPLETE_RUN[LAST_UPDATING]
        commit_begun = (rig.lines(log).count(updating) >=
                        COMPLETE_RUN[:LAST_UPDATING + 1].count(updating))
        if phase == "recover" and not trial.late:
            # The next run, killed while it recovers.
            client, log = rig.start(log_name="recovering.log", client_stays=True)
            start = LineClock(rig, log).wait_for(0)
            moment = start + rng.uniform(0, 0.1)
            trial.delay_s = moment - start
            kill_at(rig, client, moment)

        trial.after_kill = rig.look()
        trial.violations += [f"after the kill: {v}" for v in trial.after_kill.violations]
        if "ERROR: " in "".join(rig.lines(log)):
            trial.violations.append(f"after the kill: the run reported {rig.lines(log)}")
        if (phase in BEFORE_COMMIT and not commit_begun and
                trial.after_kill.package_state != "all old"):
            trial.violations.append(f"after the kill: {trial.after_kill.package_state} before "
                                    f"the commit")
        rerun(rig, trial)
        return trial
    finally:
        rig.close()


def rerun(rig, trial):
    """The client starts the updater again with the same packages and stays until the run waits
    for it: recovery is done and the update prepared again. Then it goes, and the run completes."""
    client, log = rig.start(log_name="second.log", client_stays=True)
    clock = LineClock(rig, log)
    try:
        prepared = clock.wait_for("Checking client conditions...")
        trial.rerun_prepare_s = prepared - clock.wait_for(f"Downloading file {SECOND_PACKAGE}...")
    except AssertionError as error:
        trial.violations.append(f"second run: {error}")
    trial.after_recovery = rig.look()
    if trial.after_recovery.package_state == "mixed":
        trial.violations.append(f"second run, after its recovery: mixed "
                                f"({trial.after_recovery.new} new / "
                                f"{trial.after_recovery.old} old)")
    rig.case.stop(client)
    try:
        trial.rerun_commit_s = (clock.wait_for("Client update complete.") -
                                clock.wait_for(LAST_UPDATING))
    except AssertionError:
        pass  # the lines are judged below
    rig.case.settle(log)
    lines = rig.lines(log)
    trial.rerun_lines = lines
    if len(lines) > 1 and lines[1] in RECOVERY_LINES:
        trial.recovery_line = lines[1]
        lines = lines[:1] + lines[2:]
    if trial.after_kill.temp_kinds["record"] and not trial.recovery_line:
        trial.violations.append("second run: records were left, but no recovery line")
    trial.after_rerun = again = rig.look()
    trial.violations += [f"after the second run: {v}" for v in again.violations]
    if lines != COMPLETE_RUN:
        trial.violations.append(f"second run: lines {trial.rerun_lines}")
    if again.package_state != "all new":
        trial.violations.append(f"second run: {again.new} new, {again.old} old files")
    if again.engine_temps:
        trial.violations.append(f"second run: engine files left: {again.engine_temps[:5]}")
    kept = kept_for_later(rig, again.download_temps)
    left = [name for name in again.download_temps if name not in kept]
    if left:
        trial.violations.append(f"second run: download temporary files left in TMPDIR: {left}")
    if again.packages_present != set(PACKAGES):
        trial.violations.append("second run: the packages are not in updates/")


def kept_for_later(rig, names):
    """Of the download temporaries, those a run killed while it downloaded from the slow server
    left for a later run at that address (a record and the partial file it names). The second run
    asks the fast server, another address, so it must leave them (they are kept for a day)."""
    kept = set()
    for name in names:
        if name.endswith(".resume"):
            with open(os.path.join(rig.tmpdir, name)) as handle:
                record = json.load(handle)
            if record["address"].startswith(rig.slow_prefix):
                kept |= {name, record["partial"]}
    return kept


def next_call_after_a_killed_commit(model):
    """Kills a run while the engine puts files in place, then runs the updater once more with the
    second package broken (its last entry's data corrupted), so that preparing fails. Returns
    (State after the kill, State after the failed run, the failed run's lines): the failed run
    first completes the interrupted commit, and installs nothing of its own."""
    rig = Rig(model)
    try:
        client, log = rig.start()
        clock = LineClock(rig, log)
        kill_at(rig, client, watch_first_replacement(rig, model, clock))
        after_kill = rig.look()

        served = os.path.join(rig.case.served, SECOND_PACKAGE)
        os.unlink(served)  # a link to the model's package: broken in a copy of its own
        shutil.copy(model.packages[1], served)
        e2e.corrupt_last_entry(served)
        client, log = rig.start(log_name="broken.log")
        client.wait(timeout=PATIENCE_S)
        rig.case.settle(log)
        os.unlink(os.path.join(rig.program, "updates", SECOND_PACKAGE))  # the broken one
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
