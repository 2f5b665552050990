#!/usr/bin/python3
"""The download of one large package, timed: the real updater against curl -s -o.

One package (a zip archive holding one stored entry of random bytes, 1 GiB unless --size-mib says
otherwise), made once and kept in the data folder, is served on the loopback interface by
  python     `python3 -m http.server`
  nginx      nginx (Debian's nginx-light), started here on a free loopback port with a
             configuration of its own (sendfile on, an access log with each request's time)

updater    a fresh program folder (vorn-updater, vbuzip10.dll, and a copy of `sleep` named
           Vorn.exe, running, whose id the updater is given) and `vorn-updater <prefix> big.zip
           <pid>`; TMPDIR is a folder of the program folder's file system. Timed from the start of
           the process to the status line "Download completed." on its standard error: the package
           is then synced and in updates/. The updater is killed right after (it would wait for the
           client), and its peak memory (maximum resident set size) is taken from the kernel.
curl       `curl -s -o <folder>/big.zip <address>`, timed as a process (no sync); then its file is
           flushed to disk (fsync), timed as well: what the updater's durability costs curl.

The two take turns, server by server, several repetitions after one untimed warm-up of each, each
in a fresh folder; before every timed run the file system is synced and the previous run's files
are removed, so that neither pays for the other's writes. Medians are reported. With nginx, its
access log also gives the time the server spent sending each request (the time on the wire).

Usage: download.py --updater PATH --engine PATH --client PATH --data DIR [--runs N (5)]
                   [--size-mib N (1024)] [--servers python,nginx] [--table] [--verbose]
  --table  print only rows "ROW<TAB>case<TAB>variant<TAB>value<TAB>unit<TAB>note" for bench/run
  --client is accepted for the launcher's sake and not used.
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

from bench_report import (Wine, follow_status, machine_row, median, peak_memory_mb, raise_priority,
                          report)

GOAL = 1.10  # the updater's time at most 10 % above curl's
START_DELAY_MS = 50  # the window's start timer: the run begins this long after the window loads
MEMORY_GOAL_MB = 64
PATIENCE_S = 600.0
PACKAGE = "big.zip"


# --- the package ----------------------------------------------------------------------------------

def make_package(folder, size_mib, say):
    """The served folder with the package, made when missing."""
    served = os.path.join(folder, f"packages-{size_mib}m")
    os.makedirs(served, exist_ok=True)
    path = os.path.join(served, PACKAGE)
    if not os.path.exists(path):
        say(f"generating {path} ...")
        part = path + ".part"
        rng = random.Random(5)
        with zipfile.ZipFile(part, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            info = zipfile.ZipInfo("data/blob.bin", date_time=(2024, 5, 1, 12, 0, 0))
            with archive.open(info, "w", force_zip64=True) as entry:
                for _ in range(size_mib):
                    entry.write(rng.randbytes(1 << 20))
        os.replace(part, path)
    return served


# --- helpers --------------------------------------------------------------------------------------

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended at its start (exit status {process.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"{what} does not listen on port {port}")


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)


# --- the servers ----------------------------------------------------------------------------------


def check_download(done, lines, program, size):
    """Fails unless the updater completed the download and the package has its size."""
    if done is None:
        log = "\n".join(f"  {t * 1000:8.1f} ms  {text}" for t, text in lines)
        raise RuntimeError(f"the updater did not complete the download:\n{log}")
    if os.path.getsize(os.path.join(program, "updates", PACKAGE)) != size:
        raise RuntimeError("the package in updates/ has the wrong size")

class PythonServer:
    name = "python http.server"

    def __init__(self, served, scratch):
        self.port = free_port()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(self.port), "--bind", "127.0.0.1",
             "--directory", served], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process, "python3 -m http.server")

    def request_times(self):
        return {}

    def stop(self):
        self.process.kill()
        self.process.wait()


NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
{user}
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    types {{ application/zip zip; }}
    default_type application/octet-stream;
    log_format timing '$request_time $body_bytes_sent "$http_user_agent"';
    access_log {root}/access.log timing;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {root}/client_body;
    proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi;
    uwsgi_temp_path {root}/uwsgi;
    scgi_temp_path {root}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {served};
    }}
}}
"""


class NginxServer:
    name = "nginx"

    def __init__(self, served, scratch):
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        if not os.path.exists(nginx):
            raise RuntimeError("nginx is missing (scripts/install-deps installs nginx-light)")
        self.root = os.path.join(scratch, "nginx")
        os.makedirs(self.root)
        self.port = free_port()
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as handle:
            # As root, nginx would serve as "nobody", who may not read the data folder.
            handle.write(NGINX_CONF.format(root=self.root, port=self.port, served=served,
                                           user="user root;" if os.geteuid() == 0 else ""))
        self.process = subprocess.Popen([nginx, "-e", "stderr", "-p", self.root, "-c", conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process, "nginx")

    def request_times(self):
        """Seconds nginx spent on each whole request of the package, by user agent."""
        times = {}
        with open(os.path.join(self.root, "access.log")) as log:
            for line in log:
                match = re.match(r'([\d.]+) (\d+) "([^"]*)"', line)
                if match:
                    agent = "curl" if match.group(3).startswith("curl/") else "updater"
                    times.setdefault(agent, []).append(float(match.group(1)))
        return times

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# --- the two contenders ---------------------------------------------------------------------------

class Updater:
    """The real updater in a fresh program folder, stopped once the package is in updates/."""

    def __init__(self, args, scratch):
        self.args = args
        self.home = os.path.join(scratch, "home")
        runtime = os.path.join(scratch, "runtime")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update(HOME=self.home, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_MESSAGE_PATTERN",
                     "VORN_UPDATER_AUTOCLOSE_MS"):
            self.env.pop(name, None)

    def prepare(self, program):
        os.makedirs(os.path.join(program, "tmp"))
        for source, name in ((self.args.updater, "vorn-updater"),
                             (self.args.engine, "vbuzip10.dll"),
                             (shutil.which("sleep"), "Vorn.exe")):
            shutil.copy2(source, os.path.join(program, name))

    def run(self, program, address):
        """Seconds to "Download completed.", the status lines with their arrival times, and the
        peak memory in MB."""
        client = subprocess.Popen([os.path.join(program, "Vorn.exe"), "600"])
        env = dict(self.env, TMPDIR=os.path.join(program, "tmp"))
        prefix = address[:-len(PACKAGE)]
        start = time.perf_counter()
        process = subprocess.Popen(
            [os.path.join(program, "vorn-updater"), prefix, PACKAGE, str(client.pid)], cwd=program,
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            done, lines = follow_status(
                process, start, "Download completed.",
                lambda line: line.startswith("ERROR: ") or line in ("Couldn't connect",
                                                                    "Connection lost"))
        finally:
            process.kill()
            _, _, usage = os.wait4(process.pid, 0)
            process.returncode = -signal.SIGKILL
            process.stderr.close()
            client.kill()
            client.wait()
        check_download(done, lines, program, self.args.size)
        return done, lines, usage.ru_maxrss / 1024


class WindowsUpdater:
    """The Windows build's updater under wine (bench_report.Wine) in a fresh program folder
    (vorn-updater.exe, vbuzip10.dll, the Windows stand-in client as Vorn.exe), stopped once the
    package is in updates/. Its client is the Windows sleeper (a copy named Vorn.exe in a folder
    of its own), running, whose Windows process id it is given. Its peak memory is the VmHWM of
    its wine process, read from /proc just before it is killed: everything that process holds
    under wine (the program, wine's own libraries and their data), not what Windows would count."""

    def __init__(self, args, scratch, wine):
        self.args = args
        self.wine = wine
        self.sleeper_folder = os.path.join(scratch, "windows-client")

    def prepare(self, program):
        os.makedirs(os.path.join(program, "tmp"))
        for source, name in ((self.wine.updater, "vorn-updater.exe"),
                             (self.wine.engine, "vbuzip10.dll"), (self.wine.client, "Vorn.exe")):
            shutil.copy2(source, os.path.join(program, name))

    def run(self, program, address):
        """Seconds to "Download completed.", the status lines with their arrival times, and the
        peak memory in MB."""
        client, client_id = self.wine.start_sleeper(self.sleeper_folder, 600)
        prefix = address[:-len(PACKAGE)]
        peak = None
        start = time.perf_counter()
        process = subprocess.Popen(
            self.wine.command(os.path.join(program, "vorn-updater.exe"), prefix, PACKAGE,
                              str(client_id)),
            cwd=program, env=self.wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        try:
            done, lines = follow_status(
                process, start, "Download completed.",
                lambda line: line.startswith("ERROR: ") or line in ("Couldn't connect",
                                                                    "Connection lost"))
            peak = peak_memory_mb(process.pid)
        finally:
            process.kill()
            process.wait()
            process.stderr.close()
            client.kill()
            client.wait()
        check_download(done, lines, program, self.args.size)
        return done, lines, peak


def curl(folder, address, size):
    os.makedirs(folder)
    target = os.path.join(folder, PACKAGE)
    start = time.perf_counter()
    subprocess.run(["curl", "-s", "-o", target, address], check=True)
    seconds = time.perf_counter() - start
    if os.path.getsize(target) != size:
        raise RuntimeError("curl fetched the wrong size")
    # What the updater's durability would cost curl: its file flushed to disk afterwards.
    with open(target, "rb") as handle:
        os.fsync(handle.fileno())
    return seconds, time.perf_counter() - start


def stage(lines, first, last):
    times = {text: t for t, text in reversed(lines)}
    return times[last] - (times[first] if first else 0.0)


# --- main -----------------------------------------------------------------------------------------

def measure(args, server, say):
    """Rows for one server."""
    address = f"http://127.0.0.1:{server.port}/{PACKAGE}"
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=args.data)
    updater = Updater(args, scratch)
    times = {"updater": [], "curl": []}
    synced = []
    memory, startup, transfer = [], [], []
    previous = None
    try:
        for run in range(args.runs + 1):  # run 0 warms up, uncounted
            for who in (("updater", "curl") if run % 2 == 0 else ("curl", "updater")):
                folder = os.path.join(scratch, f"{run}-{who}")
                if previous:
                    remove(previous)
                if who == "updater":
                    updater.prepare(folder)
                os.sync()
                if who == "updater":
                    seconds, lines, peak = updater.run(folder, address)
                    if args.verbose:
                        for t, line in lines:
                            say(f"  {t * 1000:8.1f} ms  {line}")
                else:
                    seconds, with_sync = curl(folder, address, args.size)
                previous = folder
                if run == 0:
                    continue
                times[who].append(seconds)
                if who == "curl":
                    synced.append(with_sync)
                if who == "updater":
                    memory.append(peak)
                    startup.append(stage(lines, None, f"Downloading file {PACKAGE}..."))
                    transfer.append(stage(lines, f"Downloading file {PACKAGE}...",
                                          "Download completed."))
            if run > 0 and not args.table:
                say(f"{server.name} run {run}: updater {times['updater'][-1] * 1000:.0f} ms, "
                    f"curl {times['curl'][-1] * 1000:.0f} ms")
        wire = server.request_times()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    ms = {who: median(values) * 1000 for who, values in times.items()}
    ratio = ms["updater"] / ms["curl"]
    paired = median([u / c for u, c in zip(times["updater"], times["curl"])])
    case = f"{args.size_mib} MiB, {server.name}"
    rows = [
        (case, "vorn-updater, start to package in updates/", f"{ms['updater']:.1f}", "ms",
         f"{ratio:.2f}x curl; fastest run {min(times['updater']) * 1000:.0f}"),
        (case, "curl -s -o", f"{ms['curl']:.1f}", "ms",
         f"fastest run {min(times['curl']) * 1000:.0f}"),
        (case, "curl -s -o, then fsync of its file", f"{median(synced) * 1000:.1f}", "ms",
         f"the updater's durability; updater / this {ms['updater'] / (median(synced) * 1000):.2f}x"),
        (case, "ratio updater / curl", f"{ratio:.2f}", "x",
         f"goal <= {GOAL:.2f}: {'met' if ratio <= GOAL else 'MISSED'}"),
        (case, "ratio updater / curl, paired", f"{paired:.2f}", "x",
         "median of the runs' own ratios"),
        (case, "ratio updater / curl, start timer not counted",
         f"{(ms['updater'] - START_DELAY_MS) / ms['curl']:.2f}", "x",
         f"the window's {START_DELAY_MS} ms start delay taken out of the updater's time"),
        (case, "vorn-updater peak memory", f"{median(memory):.1f}", "MB",
         f"goal < {MEMORY_GOAL_MB}: {'met' if max(memory) < MEMORY_GOAL_MB else 'MISSED'}; "
         f"largest {max(memory):.1f}"),
        (case + ", updater stages", "start-up (to the download line)",
         f"{median(startup) * 1000:.1f}", "ms", ""),
        (case + ", updater stages", "download line to \"Download completed.\"",
         f"{median(transfer) * 1000:.1f}", "ms", "transfer, sync and move into updates/"),
    ]
    for agent in ("updater", "curl"):
        if wire.get(agent):
            rows.append((case + ", on the wire", f"nginx request time, {agent}",
                         f"{median(wire[agent][1:]) * 1000:.1f}", "ms",
                         "the server's own time for the request"))
    return rows


def measure_windows(args, server, say, wine):
    """Rows for one server: the Windows build's updater under wine, the Linux build's and curl,
    run by run in turns."""
    address = f"http://127.0.0.1:{server.port}/{PACKAGE}"
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=args.data)
    updaters = {"windows": WindowsUpdater(args, scratch, wine), "linux": Updater(args, scratch)}
    names = ("windows", "linux", "curl")
    times = {who: [] for who in names}
    memory = {"windows": [], "linux": []}
    startup = {"windows": [], "linux": []}
    transfer = {"windows": [], "linux": []}
    previous = None
    try:
        for run in range(args.runs + 1):  # run 0 warms up, uncounted
            for who in names[run % 3:] + names[:run % 3]:
                folder = os.path.join(scratch, f"{run}-{who}")
                if previous:
                    remove(previous)
                if who != "curl":
                    updaters[who].prepare(folder)
                os.sync()
                if who == "curl":
                    seconds, _ = curl(folder, address, args.size)
                else:
                    seconds, lines, peak = updaters[who].run(folder, address)
                    if args.verbose:
                        for t, line in lines:
                            say(f"  {who} {t * 1000:8.1f} ms  {line}")
                previous = folder
                if run == 0:
                    continue
                times[who].append(seconds)
                if who != "curl":
                    memory[who].append(peak)
                    startup[who].append(stage(lines, None, f"Downloading file {PACKAGE}..."))
                    transfer[who].append(stage(lines, f"Downloading file {PACKAGE}...",
                                               "Download completed."))
            if run > 0 and not args.table:
                say(f"{server.name} run {run}: " + ", ".join(
                    f"{who} {times[who][-1] * 1000:.0f} ms" for who in names))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    ms = {who: median(values) * 1000 for who, values in times.items()}
    case = f"{args.size_mib} MiB, {server.name}, Windows build under wine"
    ratio = ms["windows"] / ms["curl"]
    paired = median([w / c for w, c in zip(times["windows"], times["curl"])])
    peak = max(memory["windows"])
    rows = [
        (case, "vorn-updater.exe under wine, start to package in updates/",
         f"{ms['windows']:.1f}", "ms",
         f"{ratio:.2f}x curl; fastest run {min(times['windows']) * 1000:.0f}"),
        (case, "vorn-updater (Linux build), the same", f"{ms['linux']:.1f}", "ms",
         f"{ms['linux'] / ms['curl']:.2f}x curl"),
        (case, "curl -s -o", f"{ms['curl']:.1f}", "ms",
         f"fastest run {min(times['curl']) * 1000:.0f}"),
        (case, "ratio Windows updater / curl", f"{ratio:.2f}", "x",
         f"goal <= {GOAL:.2f}: {'met' if ratio <= GOAL else 'MISSED'}; paired {paired:.2f}"),
        (case, "ratio Windows updater / Linux updater", f"{ms['windows'] / ms['linux']:.2f}", "x",
         "what wine (and the Windows build) costs"),
        (case, "vorn-updater.exe peak memory", f"{median(memory['windows']):.1f}", "MB",
         f"VmHWM of its wine process; goal < {MEMORY_GOAL_MB}: "
         f"{'met' if peak < MEMORY_GOAL_MB else 'MISSED'}; largest {peak:.1f}"),
        (case, "vorn-updater (Linux build) peak memory", f"{median(memory['linux']):.1f}", "MB",
         "maximum resident set size"),
    ]
    for who, label in (("windows", "Windows build"), ("linux", "Linux build")):
        rows += [
            (case + ", updater stages", f"{label}: start-up (to the download line)",
             f"{median(startup[who]) * 1000:.1f}", "ms", ""),
            (case + ", updater stages", f"{label}: download line to \"Download completed.\"",
             f"{median(transfer[who]) * 1000:.1f}", "ms", "transfer, sync and move into updates/"),
        ]
    return rows


SERVERS = {"python": PythonServer, "nginx": NginxServer}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--engine", required=True)
    parser.add_argument("--client")
    parser.add_argument("--data", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--servers", default="python,nginx")
    parser.add_argument("--table", action="store_true")
    parser.add_argument("--verbose", action="store_true", help="print every run's status lines")
    parser.add_argument("--windows", metavar="BUILD",
                        help="the Windows build in BUILD under wine, against the Linux build's "
                             "updater and curl")
    args = parser.parse_args()
    args.runs = max(1, args.runs)
    args.data = os.path.abspath(args.data)

    def say(text):
        print(text, file=sys.stderr if args.table else sys.stdout, flush=True)

    os.makedirs(args.data, exist_ok=True)
    served = make_package(args.data, args.size_mib, say)
    args.size = os.path.getsize(os.path.join(served, PACKAGE))
    priority = raise_priority()
    load_before = os.getloadavg()[0]
    rows = []
    wine = Wine(args.windows) if args.windows else None
    if wine:
        wine.start()
    try:
        for key in args.servers.split(","):
            scratch = tempfile.mkdtemp(prefix="server-", dir=args.data)
            server = SERVERS[key](served, scratch)
            try:
                rows += measure_windows(args, server, say, wine) if wine else measure(args, server,
                                                                                     say)
            finally:
                server.stop()
                shutil.rmtree(scratch, ignore_errors=True)
    finally:
        if wine:
            wine.stop()
    rows.append(machine_row(load_before, priority))

    report(rows, args.table, say, f"\n{args.runs} runs, medians", (36, 46))
    return 0


if __name__ == "__main__":
    sys.exit(main())
