#!/usr/bin/python3
"""End-to-end runs of the updater.

Each test builds a program folder in a temporary directory (the updater, the engine library and the
stand-in client installed as Vorn.exe), serves update packages from a loopback HTTP server, and
starts the stand-in client with --update, which starts the updater the way the real client does.
The updater runs on the offscreen platform with HOME pointing into the temporary directory, and
presses its own close button once its run has ended (VORN_UPDATER_AUTOCLOSE_MS).

UpdaterWindowTest runs the window on a virtual X server of its own (Xvfb), and drives it with
real key and pointer events (xdotool); InstalledProgramTest makes the program folder with
`cmake --install` instead of copying files.

Signatures are made by the minisign tool (found on PATH), with keys made for each test.

The paths of the programs under test come from the environment:
VORN_E2E_UPDATER, VORN_E2E_ENGINE and VORN_E2E_CLIENT (and VORN_E2E_BUILD, VORN_E2E_CMAKE,
VORN_E2E_CPACK, VORN_E2E_VERSION for the installed program). VORN_E2E_PLATFORM=windows with
VORN_E2E_WINE and VORN_E2E_WINEPREFIX runs the Windows build under wine (tests/support/vorn_rig.py
tells how); the window tests then show the window at 1x only. VORN_E2E_KEEP=1 keeps the temporary
directories (vorn-e2e-*) for a look afterwards; VORN_E2E_SHOTS=<folder> saves screenshots of the
window tests there.
"""

import os
import re
import shutil
import signal
import select
import subprocess
import tarfile
import tempfile
import time
import unittest

from vorn_rig import (BUILD, CLIENT, CMAKE, COMPLETE_RUN, CPACK, DOWNLOADED, PATIENCE_S, SHOTS,
                      UNVERIFIED, WINDOWS, LoggedUpdater, UpdaterRig, VERSION,
                      corrupt_last_entry, engine_files, rewrite, tree)


class UpdaterRunTest(UpdaterRig):
    def test_two_packages_are_extracted_and_the_client_restarted(self):
        self.check_two_package_update()

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
        self.assertEqual(starts[2][2], self.native(self.program))

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
        self.assertEqual(sorted(os.listdir(os.path.join(self.program, "updates"))),
                         ["a.zip", "update.log"])
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
                self.updater_command(self.prefix, "a.zip", self.client_id(client)),
                cwd=self.program, env=self.env, stderr=stderr, timeout=PATIENCE_S)
        self.assertEqual(second.returncode, 1, "a failed run")
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

    def test_signed_packages_are_verified_and_their_signing_times_recorded(self):
        publisher = self.make_key("publisher")
        self.install_key(publisher)
        self.serve("a.zip", {"bin/core.txt": "core 1.1\n", "versions.txt": "1.1\n"})
        self.serve("b.zip", {"data/b.txt": "b\n"})
        self.sign(publisher, "a.zip")
        self.sign(publisher, "b.zip", "-t", "timestamp:1700000000\tfile:b.zip\thashed")
        client, log = self.start_client("a.zip", "b.zip")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)

        self.assertEqual(self.lines(log), COMPLETE_RUN)
        with open(log) as handle:
            self.assertNotIn(UNVERIFIED, handle.read())
        self.assertEqual(self.server.requested,
                         ["/a.zip", "/a.zip.minisig", "/b.zip", "/b.zip.minisig"])
        self.assertEqual(self.read("bin/core.txt"), "core 1.1\n")
        self.assertEqual(self.read("data/b.txt"), "b\n")
        self.assertEqual(self.updates(),
                         ["a.zip", "a.zip.minisig", "b.zip", "b.zip.minisig", "update.log"])
        with open(os.path.join(self.served, "a.zip.minisig")) as handle:
            signed_a = handle.read().split("timestamp:")[1].split("\t")[0]
        records = [line for line in self.read(".vorn-update.state").splitlines()
                   if not line.startswith("#")]
        self.assertEqual(sorted(records), [f"a.zip\t{signed_a}", "b.zip\t1700000000"])
        self.assertEqual(len(self.client_starts()), 2)

    def test_a_bad_signature_stops_the_run_before_anything_is_extracted(self):
        publisher, other = self.make_key("publisher"), self.make_key("other")
        served_b = os.path.join(self.served, "b.zip")

        def signed_as_c():
            self.serve("c.zip", {"c.txt": "c\n"})
            self.sign(publisher, "c.zip")
            for suffix in ("", ".minisig"):
                os.replace(os.path.join(self.served, "c.zip" + suffix), served_b + suffix)

        def older_than_installed():
            self.sign(publisher, "b.zip", "-t", "timestamp:1700000000\tfile:b.zip\thashed")
            self.install({".vorn-update.state": "b.zip\t1800000000\n"})

        def signature_missing():
            # A valid signature of this very package, left by an earlier run, does not count.
            shutil.copy(served_b + ".minisig", os.path.join(self.program, "updates"))
            os.remove(served_b + ".minisig")

        def malformed_key_file():
            self.install({"vorn-update.pub": "untrusted comment: a key\nnot base64!\n"})

        refused = "ERROR: Update file 'b.zip' "
        cases = [
            ("flipped byte",
             lambda: rewrite(served_b, lambda b: b[:40] + bytes([b[40] ^ 1]) + b[41:]),
             DOWNLOADED + [
                refused + "is not signed by the publisher's key: it differs from the file key "
                f"{publisher.id} signed (changed or damaged after signing)."]),
            ("another key", lambda: self.sign(other, "b.zip"), DOWNLOADED + [
                refused + f"is not signed by the publisher's key: it was signed with key "
                f"{other.id}, which 'vorn-update.pub' does not hold."]),
            ("legacy Ed", lambda: self.sign(publisher, "b.zip", "-l"), DOWNLOADED + [
                refused + "has a legacy signature, which is not accepted: sign it again without "
                "minisign's -l option."]),
            ("edited trusted comment",
             lambda: rewrite(served_b + ".minisig", lambda b: b.replace(b"stamp:", b"stamp:9")),
             DOWNLOADED + [
                refused + "is not signed by the publisher's key: the trusted comment of its "
                "signature was changed after signing."]),
            ("signed under another name", signed_as_c, DOWNLOADED + [
                refused + "is signed for another file name: 'c.zip'."]),
            ("older than installed", older_than_installed, DOWNLOADED + [
                refused + "is older than the installed one: it was signed 2023-11-14 22:13:20 "
                "UTC, the installed one 2027-01-15 08:00:00 UTC."]),
            ("signature missing", signature_missing, DOWNLOADED + [
                "Couldn't connect",
                refused + "is not signed: its signature 'b.zip.minisig' is missing."]),
            ("malformed key file", malformed_key_file, [
                "Preparing to update...",
                "ERROR: The key file 'vorn-update.pub' is malformed: line 2 is not base64."]),
        ]
        self.install({"shared.txt": "installed\n", "versions.txt": "1.0\n"})
        for number, (name, arrange, expected) in enumerate(cases):
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.program, "updates"), ignore_errors=True)
                os.makedirs(os.path.join(self.program, "updates"))
                self.install_key(publisher)
                self.install({".vorn-update.state": "# no package installed yet\n"})
                self.serve("a.zip", {"shared.txt": "from a\n", "bin/core.txt": "core\n"})
                self.serve("b.zip", {"shared.txt": "from b\n", "data/b.txt": "b\n"})
                self.sign(publisher, "a.zip")
                self.sign(publisher, "b.zip")
                arrange()
                before = tree(self.program)
                del self.server.requested[:]
                client, log = self.start_client("a.zip", "b.zip", log_name=f"case{number}.log")
                client.wait(timeout=PATIENCE_S)
                self.settle(log)

                self.assertEqual(self.lines(log), expected)
                self.assertEqual(tree(self.program), before, "nothing extracted or recorded")
                fetched = arrange is not malformed_key_file
                self.assertEqual(self.updates(),
                                 ["a.zip", "a.zip.minisig", "update.log"] if fetched else
                                 ["update.log"])
                self.assertEqual(len(self.server.requested), 4 if fetched else 0)
                self.assertEqual(len(self.client_starts()), number + 1, "no restart")

    def test_package_names_are_plain_file_names(self):
        with open(os.path.join(self.root, "outside.txt"), "w") as handle:
            handle.write("outside\n")
        outside_home = ("home", "runtime", "program/updates")
        before = tree(self.root, leave_out=outside_home)
        log = os.path.join(self.home, "refused.log")
        with open(log, "w") as stderr:
            subprocess.run(self.updater_command(self.prefix, "../../outside.txt", "4242"),
                           env=self.env, stderr=stderr,
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

    def test_exit_status_tells_the_outcome(self):
        self.serve("a.zip", {"bin/core.txt": "core\n"})
        not_a_client = str(os.getpid())  # the run goes straight on to the extraction
        for number, (arguments, status, last) in enumerate([
                ((self.prefix, "a.zip", not_a_client), 0, "Client update complete."),
                ((self.prefix, "missing.zip", not_a_client), 1, "Couldn't connect"),
                ((self.prefix, "a.zip", "0"), 1,
                 "ERROR: Client process problem, unable to continue.")]):
            with self.subTest(arguments=arguments):
                updater, log = self.run_updater(*arguments, log_name=f"run{number}.log")
                self.assertEqual(updater.wait(timeout=PATIENCE_S), status)
                self.assertEqual(self.lines(log)[-1], last)
                self.assertEqual(self.run_log()[-1][1][-1], f"[exit] status {status}")

        # An empty command line: no window, no log, and 0.
        shutil.rmtree(os.path.join(self.program, "updates"))
        updater, log = self.run_updater(log_name="empty.log")
        self.assertEqual(updater.wait(timeout=PATIENCE_S), 0)
        self.assertEqual(os.path.getsize(log), 0)
        self.assertFalse(os.path.exists(os.path.join(self.program, "updates")))

    @unittest.skipIf(WINDOWS, "kills the updater with a Linux signal, found through /proc")
    def test_run_log_keeps_whole_lines_across_a_kill(self):
        self.serve("a.zip", {"bin/core.txt": "core\n"})
        client, killed_log = self.start_client("a.zip", exit_after_ms=int(10 * PATIENCE_S * 1000),
                                               log_name="killed.log")
        self.wait_for(lambda: "Checking client conditions..." in self.lines(killed_log),
                      "the wait for the client")
        for pid in self.updater_pids():
            os.kill(pid, signal.SIGKILL)
        self.wait_for(lambda: not self.updater_pids(), "the killed updater to end")
        self.stop(client)

        client, log = self.start_client("a.zip", log_name="second.log")
        client.wait(timeout=PATIENCE_S)
        self.settle(log)
        runs = self.run_log()
        self.assertEqual(len(runs), 2)
        header = r"=== \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d vorn-updater " + \
            re.escape(VERSION) + ": " + re.escape(self.prefix) + r" a\.zip \d+"
        for (first_line, lines), stderr in zip(runs, (killed_log, log)):
            self.assertRegex(first_line, "^" + header + "$")
            # The status lines as standard error has them; the diagnostics marked with their kind.
            self.assertEqual([line for line in lines if not line.startswith("[")],
                             self.lines(stderr))
        self.assertEqual(runs[1][1][-1], "[exit] status 0")


# --- the window on a real X server ---------------------------------------------------------------

# Places in the window, in its own pixels at 1x: the picture buttons (left, top, width) and grips
# for the pointer.
BUTTONS = {"info": (212, 274, 86), "close": (308, 274, 62)}
GRIPS = {
    "background": (200, 30),
    "caption strip": (60, 118),
    "progress area": (100, 284),
    "log": (100, 200),
    "close button": (330, 288),
    "covered update info": (250, 288),
}
UPDATER_TITLE = "Vorn (Updater)"
NOTES_TITLE = "Vorn (Version Info)"


class XSession:
    """A virtual X server (Xvfb) for one test, with a window manager (openbox) when asked."""

    def __init__(self, test, window_manager=False):
        read_end, write_end = os.pipe()
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        test.addCleanup(UpdaterRig.stop, server)
        with os.fdopen(read_end) as pipe:
            ready, _, _ = select.select([pipe], [], [], PATIENCE_S)
            number = pipe.readline().strip() if ready else ""
        test.assertTrue(number, "Xvfb did not start")
        self.env = {"DISPLAY": ":" + number}
        self.window_manager = window_manager
        if window_manager:
            self.start_window_manager(test)

    def start_window_manager(self, test):
        """Starts openbox and waits until it manages the screen. openbox now and then ends at once,
        with status 1 and no message, when another one starts on another display at the same
        moment (seen with two at a time, a few times in a hundred): it is then started again."""
        env = {**test.env, **self.env}
        state = {"manager": None, "starts": 0}

        def start():
            errors = tempfile.TemporaryFile()
            test.addCleanup(errors.close)
            state["manager"] = subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL,
                                                stderr=errors)
            state["errors"] = errors
            state["starts"] += 1
            test.addCleanup(UpdaterRig.stop, state["manager"])

        def managed():
            if b"window id" in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                              env=env, capture_output=True).stdout:
                return True
            manager = state["manager"]
            if manager.poll() is not None:
                state["errors"].seek(0)
                message = state["errors"].read().decode(errors="replace").strip()
                test.assertLess(state["starts"], 5, f"openbox keeps ending ({manager.returncode})"
                                                    f": {message}")
                start()
            return False

        start()
        test.wait_for(managed, "the window manager")


class UpdaterWindowTest(UpdaterRig):
    """Keys and pointer as a person uses them, on the window of a real updater run.

    On Windows the window shows at 1x (a scale is the system's DPI there), and the client the run
    waits for is always the stand-in, which notes its own start."""

    SHOWS_WINDOWS = True

    def setUp(self):
        super().setUp()
        self.env.pop("VORN_UPDATER_AUTOCLOSE_MS")
        self.env["QT_QPA_PLATFORM"] = "xcb"
        # A desktop as a person has one: the window manager gives the focus to new windows, and
        # back to the updater window when the notes close.
        self.use_display(XSession(self, window_manager=True))
        if WINDOWS:
            self.start_wine()
        self.scale = 1

    def use_display(self, session):
        self.session = session
        self.env.update(session.env)

    # --- helpers ---------------------------------------------------------------------------

    def xdo(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=PATIENCE_S)

    def windows(self, title):
        """Ids of the shown windows with this title."""
        found = self.xdo("search", "--onlyvisible", "--name", "^" + re.escape(title) + "$")
        return [int(line) for line in found.stdout.split()]

    def window(self, title):
        self.wait_for(lambda: self.windows(title), f"the window {title!r}")
        return self.windows(title)[0]

    def position(self, window):
        shell = self.xdo("getwindowgeometry", "--shell", str(window)).stdout
        values = dict(line.split("=", 1) for line in shell.split())
        return int(values["X"]), int(values["Y"])

    def pixels(self, window):
        """(width, height, RGB bytes) of the window as it is shown."""
        data = subprocess.run(["import", "-window", str(window), "-depth", "8", "ppm:-"], env=self.env,
                              capture_output=True, timeout=PATIENCE_S, check=True).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        self.assertIsNotNone(header, data[:20])
        return int(header[1]), int(header[2]), data[header.end():]

    def focus_marks(self, window):
        """The buttons that show the focus mark: the middle of the top rim is lit bronze."""
        width, _, rgb = self.pixels(window)
        marked = set()
        for name, (left, top, button_width) in BUTTONS.items():
            x, y = (left + button_width // 2) * self.scale, top * self.scale
            red, green, blue = rgb[3 * (y * width + x):3 * (y * width + x) + 3]
            if red > 150 and red > blue + 40:
                marked.add(name)
        return marked

    def expect_focus(self, window, button):
        self.wait_for(lambda: self.focus_marks(window) == {button},
                      f"the focus mark on {button} alone")

    def keys(self, *names):
        # XTEST events to the window that has the input focus.
        self.assertEqual(self.xdo("key", "--clearmodifiers", "--delay", "60", *names).returncode, 0)

    def shot(self, window, name):
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            subprocess.run(["import", "-window", str(window),
                            os.path.join(SHOTS, f"{name}-{self.scale}x.png")],
                           env=self.env, check=True, timeout=PATIENCE_S)

    def start_updater(self, *packages, client_stays, log_name="updater.log", direct=False):
        """Starts a run at the scale of the test and returns (client, log, window). With
        client_stays, returns while the run waits for the client; otherwise once it has ended.
        direct: the updater is started by the test (self.updater) for a client that stays (on
        Windows by the stand-in client, which stays)."""
        env = dict(self.env, QT_SCALE_FACTOR=str(self.scale))
        if direct and WINDOWS:
            client, log = self.start_client(*packages, exit_after_ms=int(10 * PATIENCE_S * 1000),
                                            log_name=log_name, env=env)
            self.updater = LoggedUpdater(self)
        elif direct:
            client = self.waiting_client()
            self.updater, log = self.run_updater(self.prefix, *packages, str(client.pid),
                                                 log_name=log_name, env=env)
        else:
            client, log = self.start_client(
                *packages, exit_after_ms=int(10 * PATIENCE_S * 1000) if client_stays else 300,
                log_name=log_name, env=env)
        last = "Checking client conditions..." if client_stays else None
        self.wait_for(lambda: self.lines(log) and (
            last in self.lines(log) if last else self.lines(log)[-1] in (
                "Client update complete.", "Couldn't connect")), "the run to reach its state")
        window = self.window(UPDATER_TITLE)
        # Without a window manager nothing gives the window the input focus; a person's click
        # would.
        self.xdo("windowactivate" if self.session.window_manager else "windowfocus", "--sync",
                 str(window))
        return client, log, window

    def serve_update(self):
        self.serve("a.zip", {"bin/core.txt": "core\n",
                             "versions.txt": "1.1\r\n- new maps\r\n\r\n1.0\r\n"})

    # --- tests -----------------------------------------------------------------------------

    def test_keys_during_the_run_cancel_it(self):
        self.serve_update()
        running = ["Preparing to update...", "Downloading file a.zip...", "Download completed.",
                   "Checking client conditions..."]
        cases = [(("Escape",), 1), (("Tab", "space"), 1), (("Tab", "Return"), 2),
                 (("Tab", "KP_Enter"), 1), (("Tab", "Tab", "Return"), 2), (("Escape",), 2)]
        for number, (keys, scale) in enumerate(cases):
            self.scale = 1 if WINDOWS else scale
            with self.subTest(keys=keys, scale=self.scale):
                client, log, window = self.start_updater("a.zip", client_stays=True,
                                                         log_name=f"run{number}.log", direct=True)
                # The window appears with no button focused: Enter and Space typed on into it
                # press nothing.
                self.keys("Return", "space", "KP_Enter")
                time.sleep(0.5)
                self.assertEqual(self.focus_marks(window), set())
                self.shot(window, "running-no-focus")
                self.assertIsNone(self.updater.poll(), "the run goes on")
                if keys[0] == "Tab":
                    # Cancel is the only button that can be pressed, so Tab keeps the focus on it.
                    self.keys(*keys[:-1])
                    self.expect_focus(window, "close")
                    self.shot(window, "running-focus-cancel")
                self.keys(keys[-1])
                self.assertEqual(self.updater.wait(timeout=PATIENCE_S), 2, "cancelled")
                # A cancelled run removes the update it prepared: the next run finds nothing.
                self.assertEqual(self.lines(log), running)
                self.assertEqual([name for _, _, names in os.walk(self.program) for name in names
                                  if name.startswith(".vbuzip-")], [])
                self.assertIsNone(client.poll(), "the client was left alone")
                if WINDOWS:
                    self.assertEqual(len(self.client_starts()), number + 1,
                                     "no restart: the stand-in's own starts alone")
                else:
                    self.assertFalse(os.path.exists(os.path.join(self.program,
                                                                 "client-starts.log")),
                                     "no restart")
                self.assertFalse(os.path.exists(os.path.join(self.program, "bin/core.txt")))
                logged = [line for line in self.run_log()[-1][1]
                          if not line.startswith("[warning] Update packages are not verified")]
                self.assertEqual(logged, running + ["[exit] status 2"])
                self.stop(client)

    def test_keys_after_a_successful_run(self):
        self.serve_update()
        for self.scale in (1,) if WINDOWS else (1, 2):
            with self.subTest(scale=self.scale):
                starts = len(self.client_starts()) if os.path.exists(
                    os.path.join(self.program, "client-starts.log")) else 0
                client, log, window = self.start_updater(
                    "a.zip", client_stays=False, log_name=f"run{self.scale}.log")
                client.wait(timeout=PATIENCE_S)
                # No button has the focus until Tab gives it to the first one.
                self.assertEqual(self.focus_marks(window), set())
                self.keys("Tab")
                self.expect_focus(window, "info")
                self.shot(window, "finished-focus-update-info")
                self.keys("Tab")
                self.expect_focus(window, "close")
                self.shot(window, "finished-focus-close")
                self.keys("shift+Tab")
                self.expect_focus(window, "info")
                # Enter and Space open the notes as a click does; the notes close with Escape and
                # with Enter, and give the focus back.
                for open_key, close_key in (("Return", "Escape"), ("space", "Return")):
                    self.keys(open_key)
                    notes = self.window(NOTES_TITLE)
                    if open_key == "Return":
                        self.shot(notes, "notes")
                    self.keys(close_key)
                    self.wait_for(lambda: not self.windows(NOTES_TITLE), "the notes to close")
                    self.expect_focus(window, "info")
                self.keys("Tab", "space")
                self.wait_for(lambda: not self.updater_pids(), "the updater to end")
                self.wait_for(lambda: len(self.client_starts()) == starts + 2,
                              "the client's restart after a successful run with notes")

    def test_keys_after_a_failed_run(self):
        client, log, window = self.start_updater("missing.zip", client_stays=False)
        self.assertEqual(self.lines(log)[-1], "Couldn't connect")
        self.assertEqual(self.focus_marks(window), set())
        self.keys("Tab")
        self.expect_focus(window, "close")
        self.keys("Tab")
        self.expect_focus(window, "close")  # Update Info stays covered, out of reach
        self.keys("Escape")
        self.wait_for(lambda: not self.updater_pids(), "the updater to end")
        client.wait(timeout=PATIENCE_S)
        self.assertEqual(len(self.client_starts()), 1, "no restart after a failed run")

    @unittest.skipIf(WINDOWS, "changes the X server mid-test: a wine prefix's desktop stays on the "
                              "display it started on")
    def test_dragging_moves_the_window(self):
        self.serve_update()
        # The window manager moves the window when it offers to; without one the window follows
        # the pointer itself.
        for manager in (True, False):
            with self.subTest(window_manager=manager):
                if not manager:
                    self.use_display(XSession(self))
                client, log, window = self.start_updater(
                    "a.zip", client_stays=True, log_name=f"drag{manager}.log")
                for grip, (x, y) in GRIPS.items():
                    moves = grip in ("background", "caption strip", "progress area")
                    before = self.position(window)
                    self.xdo("mousemove", "--sync", "--window", str(window), str(x), str(y))
                    # At a person's pace: the window manager takes the pointer over a moment after
                    # the press.
                    self.xdo("mousedown", "1")
                    time.sleep(0.3)
                    for _ in range(3):
                        self.xdo("mousemove_relative", "--sync", "--", "20", "15")
                        time.sleep(0.05)
                    time.sleep(0.2)
                    self.xdo("mouseup", "1")
                    expected = (before[0] + 60, before[1] + 45) if moves else before
                    if moves:
                        self.wait_for(lambda: self.position(window) == expected,
                                      f"the window to follow a drag by the {grip}")
                    else:
                        time.sleep(0.3)
                        self.assertEqual(self.position(window), expected, grip)
                # Released away from it, a press on the close button was no click.
                self.assertTrue(self.updater_pids())
                self.assertEqual(self.lines(log)[-1], "Checking client conditions...")
                self.keys("Escape")
                self.wait_for(lambda: not self.updater_pids(), "the updater to end")
                self.stop(client)


# --- the installed program ---------------------------------------------------------------------


@unittest.skipIf(WINDOWS, "installs and packs a Linux build folder")
class InstalledProgramTest(UpdaterRig):
    """The program folder that `cmake --install` makes, and the package that cpack makes."""

    SHIPPED = ["vbuzip10.dll", "vorn-updater"]

    def populate_program(self):
        self.assertTrue(os.path.isdir(BUILD), f"missing build folder: {BUILD!r}")
        installed = subprocess.run([CMAKE, "--install", BUILD, "--prefix", self.program],
                                   capture_output=True, text=True, timeout=PATIENCE_S)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(sorted(os.listdir(self.program)), self.SHIPPED, "nothing else")
        shutil.copy2(CLIENT, os.path.join(self.program, "Vorn.exe"))

    def test_installed_program_folder_updates(self):
        self.check_two_package_update()

    def test_package_is_named_with_the_version_and_holds_the_program_folder(self):
        packages = os.path.join(self.root, "packages")
        made = subprocess.run([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                               "-B", packages], capture_output=True, text=True,
                              timeout=PATIENCE_S)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        name = f"vorn-updater-{VERSION}-Linux"
        self.assertTrue(VERSION)
        with tarfile.open(os.path.join(packages, name + ".tar.gz")) as package:
            files = sorted(member.name for member in package.getmembers() if member.isfile())
        self.assertEqual(files, [f"{name}/{shipped}" for shipped in self.SHIPPED])


if __name__ == "__main__":
    unittest.main()
