#!/usr/bin/python3
"""The real updater fed hostile and damaged archives.

Each case serves one package, pkg.zip, whose first entries are harmless (they would replace an
installed file and add new ones) and whose later entries attack: paths leading out of the program
folder in every spelling, links, damaged data. The run must end with the precise extraction
error, leave the installation exactly as it was, write nothing anywhere in the sandbox around the
program folder, and not start the client from the close button.

Sandbox layout (the end-to-end set-up): <root>/program is the program folder, <root>/outside a
folder beside it that the attacks aim at.

The paths of the programs come from VORN_E2E_UPDATER, VORN_E2E_ENGINE and VORN_E2E_CLIENT.
"""

import os
import stat
import struct
import sys
import unittest
import zipfile

import hostile_rig as hr

PACKAGE = "pkg.zip"
# Refused while the update is prepared, before the wait for the client.
REFUSED = [
    "Preparing to update...",
    f"Downloading file {PACKAGE}...",
    "Download completed.",
    f"ERROR: Update file '{PACKAGE}' could not be extracted.",
]

# Written by the run on purpose, or not the updater's business: left out of the snapshots.
NOT_WATCHED = {"updater.log", "runtime", "program/updates", "program/.vorn-updater.lock",
               "program/client-starts.log"}


# --- archives ------------------------------------------------------------------------------------

def file_entry(name, data, mode=0o644):
    return name, data, stat.S_IFREG | mode


def link_entry(name, target):
    return name, target, stat.S_IFLNK | 0o777


HARMLESS = [file_entry("shared.txt", "replaced by the package\n"),
            file_entry("bin/new.txt", "new\n"),
            file_entry("fresh/folder/file.txt", "fresh\n")]


def build(path, hostile):
    """The harmless entries, then the hostile ones; names are stored exactly as given."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, mode in HARMLESS + hostile:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.create_system = 3  # Unix, so that the mode bits count
            info.external_attr = mode << 16
            info.compress_type = zipfile.ZIP_STORED if stat.S_ISLNK(mode) else zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    with zipfile.ZipFile(path) as archive:
        stored = [info.filename for info in archive.infolist()]
    assert stored == [entry[0] for entry in HARMLESS + hostile], stored


def patch_entry(path, name, crc=None, size=None):
    """Sets the CRC or the uncompressed size of entry name in its local and central headers."""
    with open(path, "r+b") as raw:
        data = bytearray(raw.read())
        offset = data.find(b"PK\x01\x02")
        while offset >= 0:
            name_length, = struct.unpack_from("<H", data, offset + 28)
            if data[offset + 46:offset + 46 + name_length] == name.encode():
                local, = struct.unpack_from("<I", data, offset + 42)
                for field, value in ((crc, 0), (size, 8)):
                    if field is not None:
                        struct.pack_into("<I", data, offset + 16 + value, field)
                        struct.pack_into("<I", data, local + 14 + value, field)
                break
            offset = data.find(b"PK\x01\x02", offset + 4)
        else:
            raise AssertionError(f"no entry {name}")
        raw.seek(0)
        raw.write(data)


def truncate_half(path):
    with open(path, "r+b") as raw:
        raw.truncate(os.path.getsize(path) // 2)


# --- cases ---------------------------------------------------------------------------------------

def dotdot_to_the_top(rig):
    # Up to / and down again into the sandbox, from wherever the program folder is.
    depth = len(rig.program.strip("/").split("/"))
    return "../" * depth + rig.root.strip("/") + "/outside/from-the-top.txt"


class Case:
    """entries(rig): the hostile entries; culprit: what the refusal must name (the entry, or the
    archive); damage(path): done to the built archive; prepare(rig): done in the sandbox; lines:
    the status lines of the run."""

    def __init__(self, entries, culprit, damage=None, prepare=None, lines=REFUSED):
        self.entries = entries
        self.culprit = culprit
        self.damage = damage
        self.prepare = prepare
        self.lines = lines


def escape_link(rig):
    os.symlink("../outside", os.path.join(rig.program, "escape"))


CASES = {
    "dotdot_one_up": Case(lambda rig: [file_entry("../evil.txt", "x")], "../evil.txt"),
    "dotdot_two_up_and_back_in": Case(
        lambda rig: [file_entry(f"../../{os.path.basename(rig.root)}/outside/two.txt", "x")],
        "/outside/two.txt"),
    "dotdot_to_the_filesystem_root": Case(
        lambda rig: [file_entry(dotdot_to_the_top(rig), "x")], "/outside/from-the-top.txt"),
    "dotdot_behind_folders": Case(
        lambda rig: [file_entry("a/b/../../../outside/secret.txt", "pwned")],
        "a/b/../../../outside/secret.txt"),
    "absolute_path": Case(lambda rig: [file_entry(rig.root + "/outside/absolute.txt", "x")],
                          "/outside/absolute.txt"),
    "backslash_dotdot": Case(lambda rig: [file_entry("..\\outside\\secret.txt", "pwned")],
                             "..\\outside\\secret.txt"),
    "backslash_behind_folders": Case(
        lambda rig: [file_entry("a\\..\\..\\outside\\b.txt", "x")], "a\\..\\..\\outside\\b.txt"),
    "symlink_entry_leading_out": Case(lambda rig: [link_entry("shortcut", "../outside")],
                                      "shortcut"),
    "folder_link_then_file_through_it": Case(
        lambda rig: [link_entry("linked", rig.root + "/outside"),
                     file_entry("linked/secret.txt", "pwned")], "linked"),
    "existing_link_in_program_folder_leading_out": Case(
        lambda rig: [file_entry("escape/secret.txt", "pwned"),
                     file_entry("escape/deeper/new.txt", "x")],
        "escape", prepare=escape_link),
    "crc_mismatch_in_last_entry": Case(
        lambda rig: [file_entry("last.txt", "last entry data\n")], "last.txt",
        damage=lambda path: patch_entry(path, "last.txt", crc=0xDEADBEEF)),
    # Without its end it is no archive yet: the download refuses it before it reaches updates/.
    "truncated_archive": Case(lambda rig: [file_entry("big.bin", hr.noise(200000))],
                              "zip archive without its end", damage=truncate_half,
                              lines=REFUSED[:2] + ["Connection lost"]),
    "entry_inflating_past_declared_size": Case(
        lambda rig: [file_entry("bomb.txt", "z" * (1 << 20))], "bomb.txt",
        damage=lambda path: patch_entry(path, "bomb.txt", size=1000)),
}


class HostileArchiveTest(unittest.TestCase):
    def prepare(self, case):
        rig = hr.open_rig(self)
        os.makedirs(os.path.join(rig.root, "outside"))
        with open(os.path.join(rig.root, "outside", "secret.txt"), "w") as handle:
            handle.write("outside\n")
        if case.prepare:
            case.prepare(rig)
        path = os.path.join(rig.served, PACKAGE)
        build(path, case.entries(rig))
        if case.damage:
            case.damage(path)
        rig.before = hr.snapshot(rig.root, NOT_WATCHED)
        return rig

    def exercise(self, case, rig):
        log = hr.run_to_end(rig, PACKAGE)
        lines = rig.lines(log)
        problems = []
        if lines != case.lines:
            problems.append(f"status lines {lines}")
        changes = hr.differences(rig.before, hr.snapshot(rig.root, NOT_WATCHED))
        if changes:
            problems.append(f"the sandbox changed: {changes}")
        if len(rig.client_starts()) != 1:
            problems.append("the close button started the client")
        reasons = hr.diagnostics(log)
        if not any(case.culprit in reason for reason in reasons):
            problems.append(f"the refusal does not name {case.culprit!r}")
        if problems:
            raise AssertionError("; ".join(problems) + "\n" + "\n".join(reasons))
        return lines[-1], reasons[-1] if reasons else ""

    def test_hostile_archives_are_refused_without_a_trace(self):
        rigs = {name: self.prepare(case) for name, case in CASES.items()}
        outcome = hr.run_parallel(rigs, lambda name: self.exercise(CASES[name], rigs[name]))
        for name in CASES:
            result, error = outcome[name]
            with self.subTest(case=name):
                if error:
                    raise error
                print(f"{name:45} | {result[1]}", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
