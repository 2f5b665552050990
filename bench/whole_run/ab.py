#!/usr/bin/python3
"""Two builds of the updater against each other on the whole-run packages: their runs alternate on
the same server, so that load and file-system state that come and go touch both alike. For
before/after figures of a change.

Usage: PYTHONPATH=bench bench/whole_run/ab.py BEFORE_BUILD AFTER_BUILD [--runs N (10)]
                                              [--scratch DIR] [--data DIR]
  a build is a build folder (bin/vorn-updater, bin/vbuzip10.dll, tests/vorn-standin-client), for
  instance build-bench of a worktree of the commit before the change
  --data     where the packages are kept (default build-bench/bench-data/whole_run)
  --scratch  where the runs' folders are made (default: the data folder; see README.md)
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile

import whole_run

PREPARE = "prepare both (while the client runs)"


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--data", default=os.path.join(root, "build-bench", "bench-data",
                                                        "whole_run"))
    parser.add_argument("--scratch")
    args = parser.parse_args()
    served = whole_run.make_packages(args.data, print)
    scratch = tempfile.mkdtemp(prefix="ab-", dir=args.scratch or args.data)
    server, prefix = whole_run.start_server(served)
    builds = {"before": args.before, "after": args.after}
    seconds = {k: [] for k in builds}
    cpu = {k: [] for k in builds}
    prepare = {k: [] for k in builds}
    try:
        updaters = {}
        for name, build in builds.items():
            paths = argparse.Namespace(updater=os.path.join(build, "bin", "vorn-updater"),
                                       engine=os.path.join(build, "bin", "vbuzip10.dll"),
                                       client=os.path.join(build, "tests", "vorn-standin-client"))
            updaters[name] = whole_run.Updater(paths, scratch, prefix)
        for run in range(args.runs + 1):  # run 0 warms up
            for name in (("before", "after") if run % 2 else ("after", "before")):
                folder = os.path.join(scratch, f"{run}-{name}")
                updaters[name].prepare(folder)
                whole_run.settle()
                took, lines, used = updaters[name].run(folder)
                if run:
                    seconds[name].append(took)
                    cpu[name].append(used)
                    prepare[name].append(dict(whole_run.phases(lines))[PREPARE])
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)
    for name in builds:
        print(f"{name:<7} start to complete {statistics.median(seconds[name]) * 1000:7.0f} ms, "
              f"cpu {statistics.median(cpu[name]) * 1000:6.0f} ms, preparing after the last "
              f"download {statistics.median(prepare[name]) * 1000:5.0f} ms")
    paired = statistics.median([a / b for a, b in zip(seconds["after"], seconds["before"])])
    print(f"after / before, paired: {paired:.3f} ({args.runs} runs each, medians)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
