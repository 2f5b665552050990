"""Pieces the Python benchmarks share: medians, priority, the machine's load, the report."""

import os
import shutil
import subprocess
import time


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def raise_priority():
    """Ahead of other work on the machine (when allowed): the contenders and the servers inherit
    it, so that foreign load disturbs the comparison less. Returns what was got."""
    try:
        os.nice(-10)
        return "nice -10"
    except OSError:
        return "normal priority"


def machine_row(load_before, priority):
    """The row of the machine's load before and after (now) the benchmark."""
    load_after = os.getloadavg()[0]
    busy = max(load_before, load_after) > (os.cpu_count() or 1)
    return ("machine", "load average (1 min), before / after", f"{load_before:.1f}", "",
            f"after {load_after:.1f}, {os.cpu_count()} CPUs, {priority}" +
            ("; BUSY: the wall-clock figures are unreliable" if busy else ""))


def report(rows, table, say, heading, widths=(34, 48)):
    """Rows "ROW<TAB>..." for bench/run with table, else a readable list under heading."""
    if table:
        for row in rows:
            print("ROW\t" + "\t".join(row))
        return
    say(heading)
    for case, variant, value, unit, note in rows:
        say(f"{case:{widths[0]}} {variant:{widths[1]}} {value:>9} {unit:3} {note}")


def follow_status(process, start, wanted, failing=lambda line: line.startswith("ERROR: ")):
    """Reads the updater's status lines from its standard error until `wanted` or a failing line
    arrives; returns the seconds since `start` at which `wanted` arrived (None when it did not)
    and every line with its arrival time."""
    lines = []
    for raw in process.stderr:
        now = time.perf_counter() - start
        line = raw.decode(errors="replace").rstrip("\n")
        lines.append((now, line))
        if line == wanted:
            return now, lines
        if failing(line):
            break
    return None, lines


# --- the Windows build under wine (--windows BUILD) ----------------------------------------------

WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                        "wine-run")


class Wine:
    """The programs of the Windows build in the folder `build`, run under wine (the loader
    $VORN_BENCH_WINE, default /usr/lib/wine/wine64) in the wine prefix build/bench-wine-prefix, made
    by the first use (scripts/wine-run), with wine's null display driver: the updater's window is
    made and drawn with no X server. Between start() and stop() the prefix's server stays up, so
    that no program's start pays for starting it."""

    def __init__(self, build):
        build = os.path.abspath(build)
        self.updater = os.path.join(build, "bin", "vorn-updater.exe")
        self.engine = os.path.join(build, "bin", "vbuzip10.dll")
        # Restarted by the updater's close button: notes its start and ends.
        self.client = os.path.join(build, "tests", "vorn-standin-client.exe")
        # With --sleep SECONDS: prints its Windows process id and sleeps.
        self.sleeper = os.path.join(build, "bench", "bench_client_wait.exe")
        for path in (self.updater, self.engine, self.client, self.sleeper):
            if not os.path.isfile(path):
                raise RuntimeError(f"the Windows build lacks {path}")
        self.loader = os.environ.get("VORN_BENCH_WINE") or "/usr/lib/wine/wine64"
        self.prefix = os.path.join(build, "bench-wine-prefix")
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("DISPLAY", "WAYLAND_DISPLAY", "VORN_UPDATER_AUTOCLOSE_MS")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=",
                        WINEARCH="win64" if os.path.basename(self.loader) == "wine64" else "win32")
        self.server = os.path.join(os.path.dirname(self.loader), "wineserver")

    def start(self):
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                 "stderr": subprocess.DEVNULL}
        subprocess.run([WINE_RUN, self.loader, self.prefix, "reg", "add",
                             r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"],
                            check=True, **quiet)
        # scripts/wine-run's server ends 30 s after the last program; this one stays until stop().
        subprocess.run([self.server, "-k"], env=self.env, **quiet)
        subprocess.run([self.server, "-w"], env=self.env, **quiet)
        subprocess.run([self.server, "-p"], env=self.env, check=True, **quiet)
        subprocess.run([self.loader, "cmd", "/c", "exit"], env=self.env, check=True,
                            timeout=120, **quiet)

    def stop(self):
        """Ends the prefix's server and every program of the prefix."""
        subprocess.run([self.server, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([self.server, "-w"], env=self.env, stderr=subprocess.DEVNULL,
                            timeout=60)

    def command(self, program, *arguments):
        return [self.loader, program, *arguments]

    @staticmethod
    def native(path):
        """The path as the Windows programs spell it (wine's drive Z: is the root)."""
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def start_sleeper(self, folder, seconds=3600):
        """A Windows process named Vorn.exe (a copy of the sleeper in folder) that sleeps; returns
        it (its id is that of the Linux process that is the program under wine) and its Windows
        process id."""
        program = os.path.join(folder, "Vorn.exe")
        if not os.path.exists(program):
            os.makedirs(folder, exist_ok=True)
            shutil.copy2(self.sleeper, program)
        process = subprocess.Popen(self.command(program, "--sleep", str(seconds)), cwd=folder,
                                        env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
        line = process.stdout.readline().decode(errors="replace").strip()
        process.stdout.close()
        if not line.startswith("pid "):
            process.kill()
            process.wait()
            raise RuntimeError(f"the Windows sleeper did not start: {line!r}")
        return process, int(line[4:])

    def server_pid(self):
        """The Linux process id of the prefix's server: the wineserver working in the prefix's
        server folder (server-<device>-<inode> of the prefix, in a folder of /tmp)."""
        info = os.stat(self.prefix)
        folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                program = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
                if (os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == folder and
                        program.startswith("wineserver")):
                    return int(entry)
            except OSError:
                continue
        return None


def peak_memory_mb(pid):
    """VmHWM of a live process (its largest resident set so far), in MiB; None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def thread_cpu(pid):
    """The CPU time each live thread of a process has used so far, in seconds, by thread id (the
    scheduler's own count, in nanoseconds, so that short waits are measured); None once the
    process is gone."""
    times = {}
    try:
        threads = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return None
    for thread in threads:
        try:
            with open(f"/proc/{pid}/task/{thread}/schedstat") as stat:
                times[thread] = int(stat.read().split()[0]) / 1e9
        except (OSError, ValueError, IndexError):
            continue  # that thread has ended
    return times


def cpu_used(before, after):
    """CPU seconds used between two thread_cpu() of one process: by the threads that lived at the
    second (those that ended in between are not counted)."""
    return sum(seconds - before.get(thread, 0.0) for thread, seconds in after.items())
