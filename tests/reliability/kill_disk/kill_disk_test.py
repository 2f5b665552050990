#!/usr/bin/python3
"""The real updater killed at random moments, and starved of disk space.

KillTrialTest: a handful of kill trials (trials.py describes them): after every kill each file is
whole, old or new; the next run's recovery leaves all of them old or all new, and that run completes
the update and leaves no file of the engine's. The seed of
the random moments is printed; VORN_KILL_SEED repeats a sequence.

FullDiskTest: a small tmpfs, mounted by the test (root only; skipped where mounting is refused),
as the temporary folder or as the program folder, with a package that does not fit. The run must
end with an "ERROR: " line, leave the installation as it was and leave no temporary file behind.

The paths of the programs under test come from the environment, as for the end-to-end tests:
VORN_E2E_UPDATER, VORN_E2E_ENGINE and VORN_E2E_CLIENT.
"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import trials
from trials import e2e

PATIENCE_S = e2e.PATIENCE_S


class KillTrialTest(unittest.TestCase):
    PHASES = ("download", "prepare", "wait", "commit", "commit", "recover")

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="vorn-kill-model-")
        # Fewer large bytes than bench/kill_trials uses: the same paths through the code, less
        # time spent writing and syncing.
        cls.model = trials.Model(cls.folder, large_files=3, large_size=2 << 20)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_killed_runs_leave_whole_files_and_the_next_run_completes(self):
        model = self.model
        timings = trials.measure(model)
        seed = int(os.environ.get("VORN_KILL_SEED", random.randrange(1 << 32)))
        rng = random.Random(seed)
        print(f"\nseed {seed}; download {timings.download_s * 1000:.0f} ms, preparing "
              f"{timings.prepare_s * 1000:.0f} ms, commit {timings.commit_s * 1000:.0f} ms",
              file=sys.stderr)
        violations = []
        for phase in self.PHASES:
            trial = trials.run_trial(model, timings, phase, rng)
            print(trial.summary(), file=sys.stderr)
            violations += [f"{phase}: {v}" for v in trial.violations]
        self.assertEqual(violations, [], f"seed {seed}")

    def test_a_failing_call_after_a_killed_commit_completes_it_first(self):
        # The journal records the commit under way: the next run finishes it before anything
        # else, and its own package that cannot be prepared changes nothing.
        after_kill, after_failure, lines = trials.next_call_after_a_killed_commit(self.model)
        print(f"\nafter the kill: {after_kill.package_state} ({after_kill.new} new), "
              f"engine files {after_kill.temp_kinds}; after a failing call: "
              f"{after_failure.package_state} ({after_failure.new} new), "
              f"{len(after_failure.engine_temps)} engine files", file=sys.stderr)
        self.assertEqual(after_kill.violations, [])
        self.assertEqual(after_failure.violations, [])
        self.assertEqual(lines[:2], ["Preparing to update...", "Completed an interrupted update."])
        self.assertEqual(lines[-1],
                         f"ERROR: Update file '{trials.SECOND_PACKAGE}' could not be extracted.")
        self.assertEqual(after_failure.engine_temps, [])
        self.assertEqual(after_failure.package_state, "all new")


# --- full disks ----------------------------------------------------------------------------------

def mount_tmpfs(test, folder, options):
    """Mounts a tmpfs on folder for the rest of the test; skips the test where that is refused."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("mounting a tmpfs needs root")
    mount = shutil.which("mount") or "/bin/mount"
    result = subprocess.run([mount, "-t", "tmpfs", "-o", options, "tmpfs", folder],
                            capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise unittest.SkipTest(f"cannot mount a tmpfs here: {result.stderr.strip()}")
    test.addCleanup(unmount, folder)


def remount(folder, options):
    subprocess.run([shutil.which("mount") or "/bin/mount", "-o", "remount," + options, folder],
                   check=True, capture_output=True, timeout=60)


def unmount(folder):
    umount = shutil.which("umount") or "/bin/umount"
    if subprocess.run([umount, folder], capture_output=True, timeout=60).returncode != 0:
        subprocess.run([umount, "-l", folder], capture_output=True, timeout=60)


def usage(folder):
    """(bytes used, inodes used) of the file system of folder."""
    info = os.statvfs(folder)
    return (info.f_blocks - info.f_bfree) * info.f_frsize, info.f_files - info.f_ffree


def leftovers(folder):
    """Temporary files of the engine, the download or a replacing copy anywhere below folder."""
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            if (trials.ENGINE_TEMP.match(name) or trials.ENGINE_RECORD.match(name)
                    or trials.DOWNLOAD_TEMP.match(name)
                    or name.endswith((".tmp", ".part")) or ".zip." in name):
                found.append(os.path.relpath(os.path.join(root, name), folder))
    return found


INSTALLED = {"shared.txt": "installed\n", "bin/core.txt": "core 1.0\n",
             "data/maps/level1.map": "level one, 1.0\n", "versions.txt": "1.0\n- installed\n"}


class FullDiskTest(unittest.TestCase):
    def setUp(self):
        self.rig = e2e.UpdaterRig()
        self.rig.setUp()
        self.addCleanup(self.rig.doCleanups)
        self.tmp = os.path.join(self.rig.root, "tmp")
        os.makedirs(self.tmp)
        self.rig.env["TMPDIR"] = self.tmp

    def put_program_on_tmpfs(self, size="256m"):
        """Mounts a tmpfs over the program folder and installs the programs into it again."""
        mount_tmpfs(self, self.rig.program, f"size={size},mode=0755")
        for source, name in ((e2e.UPDATER, "vorn-updater"), (e2e.ENGINE, "vbuzip10.dll"),
                             (e2e.CLIENT, "Vorn.exe")):
            shutil.copy2(source, os.path.join(self.rig.program, name))

    def run_update(self, *packages):
        client, log = self.rig.start_client(*packages)
        client.wait(timeout=PATIENCE_S)
        self.rig.settle(log)
        return self.rig.lines(log)

    def assert_untouched(self, before):
        self.assertEqual(e2e.tree(self.rig.program), before, "the installation changed")
        self.assertEqual(leftovers(self.rig.program), [])
        self.assertEqual(os.listdir(self.tmp), [], "files left in TMPDIR")
        self.assertEqual(len(self.rig.client_starts()), 1, "no restart after a failed run")

    def test_download_into_a_full_temp_folder(self):
        mount_tmpfs(self, self.tmp, "size=1m")
        self.rig.install(INSTALLED)
        before = e2e.tree(self.rig.program)
        with open(os.path.join(self.rig.served, "big.zip"), "wb") as handle:
            # A zip archive's first bytes, so that the download takes the body in.
            handle.write(b"PK\x03\x04" + random.Random(1).randbytes(3 << 20))

        lines = self.run_update("big.zip")
        self.assertEqual(lines, ["Preparing to update...", "Downloading file big.zip...",
                                 "Connection lost",
                                 "ERROR: Not enough disk space to download 'big.zip'."])
        self.assert_untouched(before)
        self.assertEqual(os.listdir(os.path.join(self.rig.program, "updates")), ["update.log"])
        self.assertEqual(usage(self.tmp)[0], 0, "the temporary file's space is free again")

    def test_package_that_does_not_fit_into_updates_leaves_the_older_one_unused(self):
        # The download lands in TMPDIR (another file system); the program folder has no room for
        # the package, and updates/ holds an older package of the same name that must not be
        # extracted in its place.
        self.put_program_on_tmpfs()
        self.rig.install(INSTALLED)
        os.makedirs(os.path.join(self.rig.program, "updates"))
        stale = os.path.join(self.rig.program, "updates", "big.zip")
        e2e.make_zip(stale, {"shared.txt": "from the older package\n"})
        with open(stale, "rb") as handle:
            stale_bytes = handle.read()
        before = e2e.tree(self.rig.program)
        e2e.make_zip(os.path.join(self.rig.served, "big.zip"), {
            "shared.txt": "from the new package\n",
            "data/random.bin": random.Random(2).randbytes(2 << 20).hex()})
        used, _ = usage(self.rig.program)
        remount(self.rig.program, f"size={used + (1 << 20)}")

        lines = self.run_update("big.zip")
        self.assertEqual(lines, ["Preparing to update...", "Downloading file big.zip...",
                                 "Download completed.",
                                 "ERROR: Not enough disk space to download 'big.zip'."])
        self.assert_untouched(before)
        self.assertEqual(sorted(os.listdir(os.path.join(self.rig.program, "updates"))),
                         ["big.zip", "update.log"])
        with open(stale, "rb") as handle:
            self.assertEqual(handle.read(), stale_bytes)

    def test_extraction_into_a_nearly_full_program_folder(self):
        # The package is small (its files compress well) and fits into updates/; its files do
        # not fit beside the installation. The engine finds that out before it writes anything.
        self.put_program_on_tmpfs()
        self.rig.install(INSTALLED)
        before = e2e.tree(self.rig.program)
        entries = {f"data/big{i}.txt": ("line of text %d\n" % i) * 70000 for i in range(4)}
        entries["shared.txt"] = "from the package\n"
        e2e.make_zip(os.path.join(self.rig.served, "big.zip"), entries)
        package = os.path.getsize(os.path.join(self.rig.served, "big.zip"))
        used, _ = usage(self.rig.program)
        remount(self.rig.program, f"size={used + package + (512 << 10)}")

        lines = self.run_update("big.zip")
        # Refused while the update is prepared, before the wait for the client.
        self.assertEqual(lines, ["Preparing to update...", "Downloading file big.zip...",
                                 "Download completed.",
                                 "ERROR: Update file 'big.zip' could not be extracted."])
        self.assert_untouched(before)
        self.assertEqual(sorted(os.listdir(os.path.join(self.rig.program, "updates"))),
                         ["big.zip", "update.log"])

    def test_extraction_that_runs_out_of_room_midway_is_undone(self):
        # Room enough for the bytes, but too few inodes for every staged file: the engine's
        # check of the free space passes, the writing fails part of the way, and every staged
        # file and every folder the call created must go again.
        self.put_program_on_tmpfs()
        self.rig.install(INSTALLED)
        self.rig.install({f"app/m{i % 5}/f{i:03d}.txt": f"old {i}\n" for i in range(200)})
        before = e2e.tree(self.rig.program)
        entries = {f"app/m{i % 5}/f{i:03d}.txt": f"new {i}\n" for i in range(200)}
        entries.update({f"app/fresh/deep/n{i}.txt": f"added {i}\n" for i in range(20)})
        e2e.make_zip(os.path.join(self.rig.served, "big.zip"), entries)
        _, inodes = usage(self.rig.program)
        # The lock file, the updates folder and the package, and half of the staged files.
        remount(self.rig.program, f"nr_inodes={inodes + 3 + 100}")

        lines = self.run_update("big.zip")
        self.assertEqual(lines[-2:], ["Download completed.",
                                      "ERROR: Update file 'big.zip' could not be extracted."])
        self.assert_untouched(before)
        self.assertFalse(os.path.exists(os.path.join(self.rig.program, "app", "fresh")),
                         "a folder the failed call created is still there")

    def test_run_after_a_killed_extraction_on_a_nearly_full_disk_completes(self):
        # Room for the package's files once, not twice. A run killed while the engine stages the
        # files leaves their temporary copies, which take room; the next run's recovery removes
        # them, before the engine judges whether the files fit.
        self.put_program_on_tmpfs()
        self.rig.install(INSTALLED)
        entries = {f"data/part{i:02d}.txt": ("text of part %02d\n" % i) * 60000
                   for i in range(40)}  # 40 files of 1 MB, a small package
        e2e.make_zip(os.path.join(self.rig.served, "big.zip"), entries)
        package = os.path.getsize(os.path.join(self.rig.served, "big.zip"))
        extracted = sum(len(text) for text in entries.values())
        used, _ = usage(self.rig.program)
        remount(self.rig.program, f"size={used + 2 * package + extracted + (3 << 20)}")

        client, log = self.rig.start_client("big.zip", exit_after_ms=0)
        self.rig.wait_for(lambda: "Download completed." in self.rig.lines(log), "the preparing")
        staged_enough = used + package + extracted // 4
        pids = self.rig.updater_pids()
        deadline = time.monotonic() + PATIENCE_S
        while usage(self.rig.program)[0] < staged_enough and time.monotonic() < deadline:
            time.sleep(0.0002)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass  # this poll woke too late: the run has ended
        self.rig.wait_for(lambda: not self.rig.updater_pids(), "the killed updater to end")
        client.wait(timeout=PATIENCE_S)
        # A kill after the last staged file was put in place leaves nothing to clean up.
        if "Client update complete." in self.rig.lines(log) or not leftovers(self.rig.program):
            self.skipTest("the extraction ended before the kill")

        client, log = self.rig.start_client("big.zip", exit_after_ms=0, log_name="second.log")
        client.wait(timeout=PATIENCE_S)
        self.rig.settle(log)
        with open(log, encoding="utf-8") as handle:
            self.assertEqual(self.rig.lines(log)[-1], "Client update complete.", handle.read())
        self.assertEqual(leftovers(self.rig.program), [])
        self.assertEqual(self.rig.read("data/part07.txt"), entries["data/part07.txt"])


if __name__ == "__main__":
    unittest.main()
