#!/usr/bin/python3
"""A whole update, timed: the real updater against curl + bsdtar.

Two packages, made once and kept in the data folder, are served by `python3 -m http.server` on the
loopback interface:
  small.zip  3,000 small files in nested folders
  mixed.zip  1,000 small files (the same names as the first 1,000 of small.zip, so they are
             replaced), 20 files of 1-4 MB and two of 24 MB, the larger files half random, half text

updater    a fresh program folder (vorn-updater, vbuzip10.dll, the stand-in client as Vorn.exe) and
           `vorn-updater <prefix> small.zip mixed.zip <pid>`, where <pid> is a process that has
           already ended, so that the wait for the client ends at its first check. Timed from the
           start of the process to the status line "Client update complete." on its standard error;
           it then presses its own Close (VORN_UPDATER_AUTOCLOSE_MS=0).
down time  the same, but with a client (a copy of `sleep` named Vorn.exe) that still runs while the
           updater downloads and prepares; it is ended once the updater waits for it ("Checking
           client conditions..."), and the time from its exit to "Client update complete." is the
           time the client is down for the update.
1 GiB      the down time of an update of one package of four 256 MiB files (large.zip), against
           the time the engine takes to extract it in one call, as the update run did after the
           client's exit before updates were prepared while the client runs (bench_extract
           --archive, beside this benchmark's launcher).
reference  `curl -s -o` of both packages, then `bsdtar -xf` of both into a fresh folder.
           "+ sync" adds a sync of the file system afterwards: the durability the updater provides
           (it flushes each download before moving it into updates/ and the extracted files before
           it reports success).

The two take turns, several repetitions after one untimed warm-up of each, each run in a folder of
its own (all removed at the end); medians are reported.
The updater's phases come from the arrival times of its status lines.

Usage: whole_run.py --updater PATH --engine PATH --client PATH --data DIR [--runs N (7)] [--table]
                   [--verbose] [--scratch DIR] [--extract PATH]
  --scratch  where the runs' folders are made (default: the data folder). File creation on a file
             system that has just seen many files removed is slowed for a while, and for long on
             ext4 without a journal: a freshly made file system gives the steadiest figures.
  --extract  bench_extract (default: bench/bench_extract of the build that holds the data folder)
  --table  print only rows "ROW<TAB>case<TAB>variant<TAB>value<TAB>unit<TAB>note" for bench/run
"""

import argparse
import os
import random
import resource
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

from bench_report import (Wine, cpu_used, follow_status, machine_row, median, peak_memory_mb,
                          raise_priority, report, thread_cpu)

CASE = "small + mixed"
GOAL = 1.15
DOWN_TIME_GOAL_MS = 100
PATIENCE_S = 300.0
PACKAGES = ("small.zip", "mixed.zip")
LARGE = "large.zip"
LARGE_CASE = "1 GiB (4 files of 256 MiB)"
LARGE_RUNS = 3
LARGE_GOAL = 0.10  # of the one-call extraction
# Bump when the contents of the packages change, so that cached ones are made again.
PACKAGE_VERSION = "v1"

WORDS = ("update client version file folder the of engine archive return value const struct "
         "while for int char data size status window message error result = { } ;").split()
SEPARATORS = [" "] * 8 + ["\n"]


# --- packages -------------------------------------------------------------------------------------

def text_bytes(rng, size):
    """Text that compresses about as well as source code or documentation does."""
    words = rng.choices(WORDS, k=size // 4 + 16)
    seps = rng.choices(SEPARATORS, k=len(words))
    out = "".join(w + s for w, s in zip(words, seps)).encode()
    while len(out) < size:
        out += text_bytes(rng, size - len(out))
    return out[:size]


def half_compressible(rng, size):
    """Half random, half text, alternating in 1 MB pieces."""
    pieces = []
    done = 0
    piece = 0
    while done < size:
        n = min(1 << 20, size - done)
        pieces.append(rng.randbytes(n) if piece % 2 else text_bytes(rng, n))
        done += n
        piece += 1
    return b"".join(pieces)


def small_files(rng, count):
    for i in range(count):
        folder = f"app/m{i % 10}/s{i // 10 % 5}/t{i // 50 % 3}"
        size = 200 + rng.randrange(6000)
        data = rng.randbytes(size) if rng.randrange(5) == 0 else text_bytes(rng, size)
        yield f"{folder}/file{i}{'.txt' if i % 7 else '.bin'}", data, 0o755 if i % 13 == 0 else 0o644


def small_entries():
    rng = random.Random(1)
    yield from small_files(rng, 3000)


def mixed_entries():
    rng = random.Random(3)
    yield from small_files(rng, 1000)
    for i in range(20):
        yield f"lib/module{i}.so", half_compressible(rng, (1 + rng.randrange(4)) << 20), 0o755
    for i in range(2):
        yield f"data/asset{i}.pak", half_compressible(rng, 24 << 20), 0o644


def large_entries():
    rng = random.Random(4)
    text = text_bytes(rng, 1 << 20)
    for i in range(4):
        data = b"".join(rng.randbytes(1 << 20) if piece % 2 else text for piece in range(256))
        yield f"data/large{i}.pak", data, 0o644


def write_zip(path, entries):
    part = path + ".part"
    with zipfile.ZipFile(part, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=6)
    os.replace(part, path)


def make_packages(folder, say):
    """The served folder with both packages, made when missing."""
    served = os.path.join(folder, "packages-" + PACKAGE_VERSION)
    os.makedirs(served, exist_ok=True)
    for name, entries in (("small.zip", small_entries), ("mixed.zip", mixed_entries),
                          (LARGE, large_entries)):
        path = os.path.join(served, name)
        if not os.path.exists(path):
            say(f"generating {path} ...")
            write_zip(path, entries())
    return served


# --- helpers --------------------------------------------------------------------------------------

def count_files(folder, leave_out=()):
    n = 0
    for root, dirs, files in os.walk(folder):
        if root == folder:
            dirs[:] = [d for d in dirs if d not in leave_out]
            files = [f for f in files if f not in leave_out]
        n += len(files)
    return n


def settle():
    """No dirty data of earlier runs left for the disk to write during the next one."""
    os.sync()


def start_server(served):
    server = subprocess.Popen(
        [sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
         "--directory", served],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = server.stdout.readline()
    match = re.search(r"port (\d+)", line)
    if not match:
        server.kill()
        raise RuntimeError(f"the HTTP server did not start: {line!r}")
    return server, f"http://127.0.0.1:{match.group(1)}/"


def children_cpu():
    """CPU seconds (user + system) used by the ended and reaped child processes so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def ended_pid():
    """The id of a process that has already ended."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


# --- the two contenders ---------------------------------------------------------------------------

INSTALLED = ("vorn-updater", "vorn-updater.exe", "vbuzip10.dll", "Vorn.exe")
NOT_EXTRACTED = INSTALLED + ("updates", ".vorn-updater.lock", "tmp", "client-starts.log")


class Updater:
    """The real updater in a fresh program folder; HOME (with the system directory's engine copy,
    installed by the first run) is shared by all runs."""

    def __init__(self, args, scratch, prefix):
        self.args = args
        self.prefix = prefix
        self.home = os.path.join(scratch, "home")
        runtime = os.path.join(scratch, "runtime")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update(HOME=self.home, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen",
                        VORN_UPDATER_AUTOCLOSE_MS="0")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_MESSAGE_PATTERN"):
            self.env.pop(name, None)

    def prepare(self, program, client=None):
        os.makedirs(program)
        for source, name in ((self.args.updater, "vorn-updater"),
                             (self.args.engine, "vbuzip10.dll"),
                             (client or self.args.client, "Vorn.exe")):
            shutil.copy2(source, os.path.join(program, name))
        # Downloads are received here and moved into updates/ (same file system, as with /tmp).
        os.makedirs(os.path.join(program, "tmp"))

    def command(self, program, packages, client_id):
        return [os.path.join(program, "vorn-updater"), self.prefix, *packages, str(client_id)]

    def environment(self, program):
        return dict(self.env, TMPDIR=os.path.join(program, "tmp"))

    def run(self, program, client=None, packages=PACKAGES, client_id=None, hold_s=0.2,
            measured=None):
        """Seconds from the start to "Client update complete.", the status lines with their arrival
        times, and the CPU seconds the updater used (its whole life, the close included). With a
        client (a running process, whose id for the updater is client_id when given), it is killed
        hold_s after the updater began to wait for it, and the times are counted from its exit
        instead. With measured (a dict), the CPU seconds the processes of measured["cpu of"] (ids;
        "updater" for the updater's) used in the last hold_s - 0.2 s of the wait go to
        measured["wait"] (with the seconds measured), the updater's peak memory at "Client update
        complete." (MiB) to measured["peak"] and the status lines to measured["lines"]."""
        command = self.command(program, packages,
                               client_id if client_id is not None
                               else client.pid if client else ended_pid())
        lines = []
        complete = None
        cpu = children_cpu()
        start = time.perf_counter()
        process = subprocess.Popen(command, cwd=program, env=self.environment(program),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        try:
            for raw in process.stderr:
                now = time.perf_counter() - start
                line = raw.decode(errors="replace").rstrip("\n")
                lines.append((now, line))
                if line == "Checking client conditions..." and client:
                    time.sleep(0.2)  # the updater settles into its wait
                    if measured is not None:
                        pids = [process.pid if pid == "updater" else pid
                                for pid in measured.get("cpu of", ["updater"])]
                        before = [thread_cpu(pid) for pid in pids]
                        began = time.perf_counter()
                        time.sleep(max(0.0, hold_s - 0.2))
                        after = [thread_cpu(pid) for pid in pids]
                        if None in before or None in after:
                            raise RuntimeError(f"no CPU time of the processes {pids}")
                        measured["wait"] = ([cpu_used(b, a) for b, a in zip(before, after)],
                                            time.perf_counter() - began)
                    client.kill()
                    client.wait()
                    start = time.perf_counter()
                if line == "Client update complete.":
                    complete = now
                    if measured is not None:
                        measured["peak"] = peak_memory_mb(process.pid)
                    break
                if line.startswith("ERROR: "):
                    break
            process.stderr.close()
            process.wait(timeout=PATIENCE_S)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            if client and client.poll() is None:
                client.kill()
                client.wait()
        if complete is None:
            log = "\n".join(f"  {t * 1000:8.1f} ms  {l}" for t, l in lines)
            raise RuntimeError(f"the updater did not complete the update:\n{log}")
        if measured is not None:
            measured["lines"] = lines
        return complete, lines, children_cpu() - cpu

    def run_down_time(self, program, packages=PACKAGES, hold_s=0.2, measured=None):
        """Seconds from the client's exit to "Client update complete."."""
        client = subprocess.Popen([os.path.join(program, "Vorn.exe"), "3600"], cwd=program,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return self.run(program, client, packages, hold_s=hold_s, measured=measured)[0]


class WindowsUpdater(Updater):
    """The Windows build's updater under wine (bench_report.Wine), in a fresh program folder
    (vorn-updater.exe, vbuzip10.dll, the Windows stand-in client as Vorn.exe, which the close
    button starts again). Its client is the Windows sleeper, a copy named Vorn.exe in a folder of
    its own. The engine's copy in the system directory goes to the prefix's C:\\windows\\system32 at
    the first run."""

    def __init__(self, args, scratch, prefix, wine):
        super().__init__(args, scratch, prefix)
        self.wine = wine
        self.sleeper_folder = os.path.join(scratch, "windows-client")

    def prepare(self, program, client=None):
        os.makedirs(os.path.join(program, "tmp"))
        for source, name in ((self.wine.updater, "vorn-updater.exe"),
                             (self.wine.engine, "vbuzip10.dll"), (self.wine.client, "Vorn.exe")):
            shutil.copy2(source, os.path.join(program, name))

    def command(self, program, packages, client_id):
        return self.wine.command(os.path.join(program, "vorn-updater.exe"), self.prefix,
                                 *packages, str(client_id))

    def environment(self, program):
        return dict(self.wine.env, VORN_UPDATER_AUTOCLOSE_MS="0")

    def run_down_time(self, program, packages=PACKAGES, hold_s=0.2, measured=None):
        client, client_id = self.wine.start_sleeper(self.sleeper_folder)
        if measured is not None:
            measured["sleeper peak"] = peak_memory_mb(client.pid)
        return self.run(program, client, packages, client_id, hold_s, measured)[0]


def one_call_extraction(args, package, scratch):
    """Median seconds of the engine's one-call extraction of the package (bench_extract)."""
    tool = args.extract or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(args.data))), "bench", "bench_extract")
    out = subprocess.run([tool, "--archive", package, "--runs", str(LARGE_RUNS), "--table",
                          "--data", scratch],
                         check=True, capture_output=True, text=True).stdout
    row = next(line for line in out.splitlines() if line.startswith("ROW\t"))
    return float(row.split("\t")[3]) / 1000


def phases(lines):
    """Durations of the updater's stages, from the arrival times of its status lines."""
    def first(text, after=0.0):
        for t, line in lines:
            if line == text and t >= after:
                return t
        raise RuntimeError(f"no status line {text!r}")

    preparing = first("Preparing to update...")
    download_start = first(f"Downloading file {PACKAGES[0]}...")
    second = first(f"Downloading file {PACKAGES[1]}...")
    first_done = first("Download completed.")
    second_done = first("Download completed.", second)
    checking = first("Checking client conditions...")
    processing = first("Processing update data...", checking)
    last_updating = [t for t, line in lines if line == "Updating files..."][-1]
    complete = first("Client update complete.")
    return [
        ("start-up (process start to first status line)", preparing),
        ("engine check (to first download)", download_start - preparing),
        (f"download {PACKAGES[0]}", first_done - download_start),
        (f"download {PACKAGES[1]}", second_done - second),
        ("prepare both (while the client runs)", checking - second_done),
        ("client check", processing - checking),
        ("status lines of both packages", last_updating - processing),
        ("commit (after the last \"Updating files...\")", complete - last_updating),
    ]


class Reference:
    def __init__(self, prefix):
        self.prefix = prefix

    def run(self, folder):
        """Seconds for the downloads, for the extractions and for a sync afterwards, and the CPU
        seconds curl and bsdtar used."""
        downloads = os.path.join(folder, "downloads")
        out = os.path.join(folder, "out")
        os.makedirs(downloads)
        os.makedirs(out)
        cpu = children_cpu()
        start = time.perf_counter()
        for name in PACKAGES:
            subprocess.run(["curl", "-s", "-o", os.path.join(downloads, name),
                            self.prefix + name], check=True)
        fetched = time.perf_counter()
        for name in PACKAGES:
            subprocess.run(["bsdtar", "-xf", os.path.join(downloads, name), "-C", out],
                           check=True)
        extracted = time.perf_counter()
        cpu = children_cpu() - cpu
        subprocess.run(["sync", "-f", out], check=True)
        synced = time.perf_counter()
        return fetched - start, extracted - fetched, synced - extracted, cpu


# --- main -----------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--engine", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--table", action="store_true")
    parser.add_argument("--verbose", action="store_true", help="print every run's status lines")
    parser.add_argument("--scratch", help="folder for the runs (default: the data folder)")
    parser.add_argument("--extract", help="path of bench_extract")
    parser.add_argument("--windows", metavar="BUILD",
                        help="the down time of the Windows build in BUILD under wine instead")
    args = parser.parse_args()
    runs = max(1, args.runs)

    def say(text):
        print(text, file=sys.stderr if args.table else sys.stdout, flush=True)

    served = make_packages(args.data, say)
    if args.windows:
        return windows_main(args, runs, served, say)
    priority = raise_priority()
    load_before = os.getloadavg()[0]
    expected = None
    os.makedirs(args.data, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=args.scratch or args.data)
    server, prefix = start_server(served)
    try:
        updater = Updater(args, scratch, prefix)
        reference = Reference(prefix)
        totals = {"updater": [], "reference": [], "reference+sync": []}
        down_times = []
        stage_times = {}
        cpu_times = {"updater": [], "reference": []}
        ref_stages = {"curl -s -o, both": [], "bsdtar -xf, both": [], "sync": []}

        # Run 0 is the warm-up (caches, the engine's copy in the system directory); not counted.
        for run in range(runs + 1):
            order = ("updater", "reference") if run % 2 == 0 else ("reference", "updater")
            for who in order:
                # Folders are removed only at the end: this file system skips recently freed
                # inodes when it allocates new ones, so that removing files between runs would
                # slow the file creation of the runs that follow.
                folder = os.path.join(scratch, f"{run}-{who}")
                if who == "updater":
                    updater.prepare(folder)
                    settle()
                    seconds, lines, cpu = updater.run(folder)
                    files = count_files(folder, NOT_EXTRACTED)
                    if args.verbose:
                        for t, line in lines:
                            say(f"  {t * 1000:8.1f} ms  {line}")
                    if run > 0:
                        totals["updater"].append(seconds)
                        cpu_times["updater"].append(cpu)
                        for name, value in phases(lines):
                            stage_times.setdefault(name, []).append(value)
                else:
                    settle()
                    fetch, extract, sync, cpu = reference.run(folder)
                    files = count_files(os.path.join(folder, "out"))
                    if run > 0:
                        totals["reference"].append(fetch + extract)
                        totals["reference+sync"].append(fetch + extract + sync)
                        cpu_times["reference"].append(cpu)
                        ref_stages["curl -s -o, both"].append(fetch)
                        ref_stages["bsdtar -xf, both"].append(extract)
                        ref_stages["sync"].append(sync)
                if expected is None:
                    expected = files
                elif files != expected:
                    raise RuntimeError(f"{who} left {files} files, expected {expected}")
            # The down time, with a client that is still running while the update is prepared.
            folder = os.path.join(scratch, f"{run}-down")
            updater.prepare(folder, client=shutil.which("sleep"))
            settle()
            down = updater.run_down_time(folder)
            if count_files(folder, NOT_EXTRACTED) != expected:
                raise RuntimeError("the down-time run left another number of files")
            if run > 0:
                down_times.append(down)
            if run > 0 and not args.table:
                say(f"run {run}: updater {totals['updater'][-1] * 1000:.0f} ms, "
                    f"curl + bsdtar {totals['reference'][-1] * 1000:.0f} ms, "
                    f"down time {down * 1000:.0f} ms")
        # The large update's down time, and the one-call extraction it is compared with.
        large_down = []
        for run in range(LARGE_RUNS):
            folder = os.path.join(scratch, f"large-{run}")
            updater.prepare(folder, client=shutil.which("sleep"))
            settle()
            large_down.append(updater.run_down_time(folder, (LARGE,)))
            shutil.rmtree(folder)
        settle()
        one_call = one_call_extraction(args, os.path.join(served, LARGE), scratch)
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    ms = {k: median(v) * 1000 for k, v in totals.items()}
    ratio = ms["updater"] / ms["reference"]
    verdict = "met" if ratio <= GOAL else "MISSED"
    # Each run's updater and reference ran back to back, so their ratio is less disturbed by load
    # that comes and goes.
    paired = median([u / r for u, r in zip(totals["updater"], totals["reference"])])
    fastest = {k: min(v) * 1000 for k, v in totals.items()}
    rows = [
        (CASE, "vorn-updater, start to complete", f"{ms['updater']:.1f}", "ms",
         f"{ratio:.2f}x curl + bsdtar; fastest run {fastest['updater']:.0f}"),
        (CASE, "curl + bsdtar", f"{ms['reference']:.1f}", "ms",
         f"1.00x; fastest run {fastest['reference']:.0f}"),
        (CASE, "curl + bsdtar + sync", f"{ms['reference+sync']:.1f}", "ms",
         f"{ms['reference+sync'] / ms['reference']:.2f}x curl + bsdtar; fastest run "
         f"{fastest['reference+sync']:.0f}"),
        (CASE, "ratio updater / (curl + bsdtar)", f"{ratio:.2f}", "x",
         f"goal <= {GOAL:.2f}: {verdict}"),
        (CASE, "ratio updater / (curl + bsdtar), paired", f"{paired:.2f}", "x",
         "median of the runs' own ratios: steadier on a busy machine"),
        (CASE, "ratio updater / (curl + bsdtar), fastest runs",
         f"{fastest['updater'] / fastest['reference']:.2f}", "x",
         "least disturbed by other load"),
        (CASE, "ratio updater / (curl + bsdtar + sync)",
         f"{ms['updater'] / ms['reference+sync']:.2f}", "x", "same durability"),
    ]
    down_ms = median(down_times) * 1000
    rows.append((CASE, "down time, client exit to complete", f"{down_ms:.1f}", "ms",
                 f"goal < {DOWN_TIME_GOAL_MS} ms: "
                 f"{'met' if down_ms < DOWN_TIME_GOAL_MS else 'MISSED'}; fastest run "
                 f"{min(down_times) * 1000:.0f}"))
    large_ms = median(large_down) * 1000
    large_ratio = large_ms / (one_call * 1000)
    rows += [
        (LARGE_CASE, "down time, client exit to complete", f"{large_ms:.1f}", "ms",
         f"fastest run {min(large_down) * 1000:.0f}; {LARGE_RUNS} runs"),
        (LARGE_CASE, "engine, one call (all of it after the exit, before)",
         f"{one_call * 1000:.1f}", "ms", "bench_extract --archive"),
        (LARGE_CASE, "ratio down time / one call", f"{large_ratio:.3f}", "x",
         f"goal < {LARGE_GOAL:.2f}: {'met' if large_ratio < LARGE_GOAL else 'MISSED'}"),
    ]
    cpu_ms = {k: median(v) * 1000 for k, v in cpu_times.items()}
    rows += [
        (CASE + ", CPU time", "vorn-updater (user + system)", f"{cpu_ms['updater']:.1f}", "ms",
         f"{cpu_ms['updater'] / cpu_ms['reference']:.2f}x curl + bsdtar"),
        (CASE + ", CPU time", "curl + bsdtar (user + system)", f"{cpu_ms['reference']:.1f}", "ms",
         "1.00x"),
    ]
    rows.append(machine_row(load_before, priority))
    for name, values in stage_times.items():
        rows.append((CASE + ", updater stages", name, f"{median(values) * 1000:.1f}", "ms", ""))
    for name, values in ref_stages.items():
        rows.append((CASE + ", reference stages", name, f"{median(values) * 1000:.1f}", "ms", ""))

    report(rows, args.table, say,
           f"\n{runs} runs, medians; {expected} files extracted per run", (34, 48))
    return 0


def down_time_stages(lines):
    """Where the down time goes, from the arrival times of the status lines after the client's
    exit (counted from it)."""
    after = [(t, line) for t, line in lines[[l for _, l in lines].index(
        "Checking client conditions...") + 1:]]
    processing = next(t for t, line in after if line == "Processing update data...")
    last_updating = [t for t, line in after if line == "Updating files..."][-1]
    complete = next(t for t, line in after if line == "Client update complete.")
    return [("exit noticed (to \"Processing update data...\")", processing),
            ("status lines of both packages", last_updating - processing),
            ("commit (after the last \"Updating files...\")", complete - last_updating)]


# --- the Windows build under wine ----------------------------------------------------------------

WAIT_S = 3.0  # how long the client keeps running while the updater waits, for its CPU time
MEMORY_GOAL_MB = 64
WINDOWS_CASE = CASE + ", Windows build under wine"


def windows_main(args, runs, served, say):
    """The down time of the Windows build's updater under wine against the Linux build's, run by
    run in turns (after one untimed warm-up of each); then one run of each in which the client
    keeps running WAIT_S while the updater waits, for the CPU time of the wait (of wine's server
    too); and the peak memory of both updaters."""
    priority = raise_priority()
    load_before = os.getloadavg()[0]
    wine = Wine(args.windows)
    wine.start()
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=args.scratch or args.data)
    server, prefix = start_server(served)
    try:
        updaters = {"windows": WindowsUpdater(args, scratch, prefix, wine),
                    "linux": Updater(args, scratch, prefix)}
        down = {who: [] for who in updaters}
        stages = {who: {} for who in updaters}
        peaks = {who: [] for who in updaters}
        sleeper_peaks = []
        expected = None
        for run in range(runs + 1):
            for who in (("windows", "linux") if run % 2 == 0 else ("linux", "windows")):
                folder = os.path.join(scratch, f"{run}-{who}")
                updaters[who].prepare(folder, client=shutil.which("sleep"))
                settle()
                measured = {}
                seconds = updaters[who].run_down_time(folder, measured=measured)
                files = count_files(folder, NOT_EXTRACTED)
                if expected is None:
                    expected = files
                elif files != expected:
                    raise RuntimeError(f"the {who} build left {files} files, expected {expected}")
                if run > 0:
                    down[who].append(seconds)
                    peaks[who].append(measured["peak"])
                    for name, value in down_time_stages(measured["lines"]):
                        stages[who].setdefault(name, []).append(value)
                    if measured.get("sleeper peak"):
                        sleeper_peaks.append(measured["sleeper peak"])
            if run > 0 and not args.table:
                say(f"run {run}: down time Windows build {down['windows'][-1] * 1000:.0f} ms, "
                    f"Linux build {down['linux'][-1] * 1000:.0f} ms")
        # The CPU time of a longer wait for the client.
        wait = {}
        for who, updater in updaters.items():
            folder = os.path.join(scratch, f"wait-{who}")
            updater.prepare(folder, client=shutil.which("sleep"))
            settle()
            # The updater's own process, and for wine its server's.
            measured = {"cpu of": ["updater", wine.server_pid()] if who == "windows"
                        else ["updater"]}
            updater.run_down_time(folder, hold_s=WAIT_S, measured=measured)
            used, seconds = measured["wait"]
            wait[who] = [100 * u / seconds for u in used]
    finally:
        server.kill()
        server.wait()
        wine.stop()
        shutil.rmtree(scratch, ignore_errors=True)

    ms = {who: median(values) * 1000 for who, values in down.items()}
    ratio = ms["windows"] / ms["linux"]
    met = "met" if ms["windows"] < DOWN_TIME_GOAL_MS else "MISSED"
    peak = max(p for p in peaks["windows"] if p is not None)
    linux_peak = max(p for p in peaks["linux"] if p is not None)
    rows = [
        (WINDOWS_CASE, "down time, client exit to complete", f"{ms['windows']:.1f}", "ms",
         f"goal < {DOWN_TIME_GOAL_MS} ms: {met}; fastest run {min(down['windows']) * 1000:.0f}; "
         f"{ratio:.2f}x the Linux build's"),
        (WINDOWS_CASE, "down time of the Linux build, same run", f"{ms['linux']:.1f}", "ms",
         f"fastest run {min(down['linux']) * 1000:.0f}"),
        (WINDOWS_CASE, f"cpu while waiting ({WAIT_S:.0f} s), vorn-updater.exe",
         f"{wait['windows'][0]:.2f}", "%",
         f"of one core; goal < 1: {'met' if wait['windows'][0] < 1 else 'MISSED'}"),
        (WINDOWS_CASE, "cpu while waiting, wine's server meanwhile", f"{wait['windows'][1]:.2f}",
         "%", f"together {sum(wait['windows']):.2f}; the server serves every program of the "
         "prefix"),
        (WINDOWS_CASE, "cpu while waiting, the Linux build", f"{wait['linux'][0]:.2f}", "%",
         "the same wait on Linux"),
        (WINDOWS_CASE, "peak memory of vorn-updater.exe's process", f"{peak:.1f}", "MB",
         f"VmHWM of its wine process at \"Client update complete.\" (worst run); goal < "
         f"{MEMORY_GOAL_MB}: {'met' if peak < MEMORY_GOAL_MB else 'MISSED'}"),
        (WINDOWS_CASE, "peak memory of a program that only sleeps",
         f"{max(sleeper_peaks):.1f}" if sleeper_peaks else "-", "MB",
         "VmHWM of the Windows sleeper's wine process: a lower bound of wine's own part"),
        (WINDOWS_CASE, "peak memory of the Linux build", f"{linux_peak:.1f}", "MB",
         "VmHWM, the same way"),
        machine_row(load_before, priority),
    ]
    for name in stages["windows"]:
        rows.append((WINDOWS_CASE + ", down time stages", name,
                     f"{median(stages['windows'][name]) * 1000:.1f}", "ms",
                     f"Linux build {median(stages['linux'][name]) * 1000:.1f}"))
    report(rows, args.table, say,
           f"\n{runs} runs, medians; {expected} files extracted per run", (34, 48))
    return 0


if __name__ == "__main__":
    sys.exit(main())
