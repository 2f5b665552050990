"""Pieces the Python benchmarks share: medians, priority, the machine's load, the report."""

import os
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
