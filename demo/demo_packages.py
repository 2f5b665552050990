#!/usr/bin/python3
"""Builds the demo's update packages and checks an installation after the update.

    demo_packages.py build  PACKAGES_DIR OUT_DIR
        makes OUT_DIR/<name>.zip of every folder PACKAGES_DIR/<name>, with folder entries and the
        files' permission bits.
    demo_packages.py verify [--no-exec-bits] PACKAGES_DIR INSTALLED_DIR PROGRAM_DIR NAME...
        checks that PROGRAM_DIR holds every file of the packages NAME... (a file in several packages
        as the last of them has it, with its executable bit unless --no-exec-bits: Windows files
        have none), and every file of INSTALLED_DIR that no package replaces, unchanged.
"""

import os
import stat
import sys
import zipfile


def files_under(folder):
    found = {}
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            found[os.path.relpath(full, folder)] = full
    return found


def build(packages_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name in sorted(os.listdir(packages_dir)):
        source = os.path.join(packages_dir, name)
        if not os.path.isdir(source):
            continue
        target = os.path.join(out_dir, name + ".zip")
        temporary = target + ".part"
        with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
            for root, dirs, files in os.walk(source):
                dirs.sort()
                for entry in dirs + sorted(files):
                    full = os.path.join(root, entry)
                    archive.write(full, os.path.relpath(full, source))
        os.replace(temporary, target)
        with zipfile.ZipFile(target) as archive:
            count = sum(1 for info in archive.infolist() if not info.is_dir())
        print(f"  {name}.zip: {count} files, {os.path.getsize(target)} bytes")


def verify(packages_dir, installed_dir, program_dir, names, exec_bits=True):
    expected = {}
    for name in (n[:-4] if n.endswith(".zip") else n for n in names):
        expected.update(files_under(os.path.join(packages_dir, name)))
    for rel, source in files_under(installed_dir).items():
        expected.setdefault(rel, source)

    problems = []
    for rel, source in sorted(expected.items()):
        target = os.path.join(program_dir, rel)
        if not os.path.isfile(target):
            problems.append(f"missing: {rel}")
            continue
        with open(source, "rb") as want, open(target, "rb") as got:
            if want.read() != got.read():
                problems.append(f"wrong content: {rel}")
        if not exec_bits:
            continue
        want_exec = bool(os.stat(source).st_mode & stat.S_IXUSR)
        got_exec = bool(os.stat(target).st_mode & stat.S_IXUSR)
        if want_exec != got_exec:
            problems.append(f"executable bit {'lost' if want_exec else 'gained'}: {rel}")
    for problem in problems:
        print("  " + problem)
    print(f"  {len(expected) - len(problems)} of {len(expected)} files as expected")
    return not problems


def main(argv):
    if len(argv) == 4 and argv[1] == "build":
        build(argv[2], argv[3])
        return 0
    if len(argv) >= 7 and argv[1] == "verify" and argv[2] == "--no-exec-bits":
        return 0 if verify(argv[3], argv[4], argv[5], argv[6:], exec_bits=False) else 1
    if len(argv) >= 6 and argv[1] == "verify":
        return 0 if verify(argv[2], argv[3], argv[4], argv[5:]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
