#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The archives are made with Python's zipfile, except the encrypted one, which is put together here
byte by byte (zipfile cannot encrypt). Everything is deterministic: running the script again gives
the same files.

    python3 fuzz/make_seeds.py            # rewrite every seed
"""
import io
import struct
import sys
import warnings
import zipfile
import zlib
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"
DATE = (2024, 5, 17, 13, 5, 0)
PASSWORD = b"secret"  # the password the engine fuzzer answers with


def info(name, compress=zipfile.ZIP_DEFLATED, mode=None, system=None):
    zi = zipfile.ZipInfo(name, DATE)
    zi.compress_type = compress
    if mode is not None:
        zi.external_attr = mode << 16
        zi.create_system = 3  # Unix
    if system is not None:
        zi.create_system = system
    return zi


def make_zip(entries, **options):
    """entries: (ZipInfo or name, bytes) pairs."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", **options) as archive:
        for entry, data in entries:
            if isinstance(entry, str):
                entry = info(entry)
            archive.writestr(entry, data)
    return buffer.getvalue()


# Traditional PKWARE encryption, for one stored entry.
def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = _crc_table()


class ZipCrypto:
    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for byte in password:
            self._update(byte)

    def _crc(self, crc, byte):
        return CRC_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)

    def _update(self, byte):
        k = self.keys
        k[0] = self._crc(k[0], byte)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = self._crc(k[2], k[1] >> 24)

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            temp = (self.keys[2] | 2) & 0xFFFF
            out.append(byte ^ (((temp * (temp ^ 1)) >> 8) & 0xFF))
            self._update(byte)
        return bytes(out)


def encrypted_zip(entries, password):
    """Entries (name, data, method) encrypted with the traditional method; method 0 stores,
    8 deflates."""
    dos_time = (DATE[3] << 11) | (DATE[4] << 5) | (DATE[5] // 2)
    dos_date = ((DATE[0] - 1980) << 9) | (DATE[1] << 5) | DATE[2]
    locals_, centrals = b"", b""
    for name, data, method in entries:
        crc = zlib.crc32(data)
        if method == 8:
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            payload = packer.compress(data) + packer.flush()
        else:
            payload = data
        header = bytes(range(0x41, 0x41 + 11)) + bytes([crc >> 24])
        body = ZipCrypto(password).encrypt(header + payload)
        raw = name.encode()
        offset = len(locals_)
        locals_ += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 1, method, dos_time, dos_date, crc,
                               len(body), len(data), len(raw), 0) + raw + body
        centrals += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 1, method, dos_time,
                                dos_date, crc, len(body), len(data), len(raw), 0, 0, 0, 0, 0,
                                offset) + raw
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(centrals),
                      len(locals_), 0)
    return locals_ + centrals + end


def engine_seeds():
    text = b"Vorn 1.2\r\nfixed the map\r\n\r\nVorn 1.1\r\nolder notes\r\n"
    big = b"".join(b"line %d of the client data\n" % i for i in range(200))
    seeds = {}
    seeds["stored.zip"] = make_zip([(info("versions.txt", zipfile.ZIP_STORED), text),
                                    (info("a.txt", zipfile.ZIP_STORED), b"hello\n")])
    seeds["deflated.zip"] = make_zip([("data/client.dat", big), ("readme.txt", text)])
    seeds["nested.zip"] = make_zip([
        (info("dir/", zipfile.ZIP_STORED, mode=0o40755), b""),
        (info("dir/sub/", zipfile.ZIP_STORED, mode=0o40700), b""),
        (info("dir/sub/file.txt", mode=0o100644), b"nested file\n"),
        (info("dir/run.sh", mode=0o100755), b"#!/bin/sh\necho hi\n"),
        (info("top.bin", zipfile.ZIP_STORED), bytes(range(256))),
    ])
    seeds["dotdot.zip"] = make_zip([("ok.txt", b"fine\n"), ("../evil.txt", b"outside\n")])
    seeds["absolute.zip"] = make_zip([("/etc/evil.txt", b"absolute\n"),
                                      ("C:/evil.txt", b"drive\n")])
    seeds["backslash.zip"] = make_zip([("win\\path\\file.txt", b"backslashes\n"),
                                       ("my file.txt", b"spaces\n"),
                                       ("..\\evil.txt", b"outside\n")])
    seeds["symlink.zip"] = make_zip([
        (info("link", zipfile.ZIP_STORED, mode=0o120777), b"../../outside"),
        ("after.txt", b"after the link\n"),
    ])
    seeds["encrypted.zip"] = encrypted_zip([("secret.txt", text, 8)], PASSWORD)
    seeds["encrypted-stored.zip"] = encrypted_zip([("plain.bin", b"stored secret data", 0),
                                                   ("dir/second.txt", text, 8)], PASSWORD)
    whole = make_zip([("one.txt", big), ("two.txt", big[::-1])])
    seeds["truncated.zip"] = whole[: len(whole) * 2 // 3]
    damaged = bytearray(make_zip([(info("crc.txt", zipfile.ZIP_STORED), b"bad crc here\n")]))
    damaged[damaged.index(b"bad crc")] ^= 0x20  # data no longer matches its CRC
    seeds["bad-crc.zip"] = bytes(damaged)
    seeds["empty.zip"] = make_zip([])
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        with archive.open(info("big.txt"), "w", force_zip64=True) as entry:
            entry.write(text)
    seeds["zip64.zip"] = buffer.getvalue()
    seeds["methods.zip"] = make_zip([(info("b.txt", zipfile.ZIP_BZIP2), text),
                                     (info("l.txt", zipfile.ZIP_LZMA), text)])
    seeds["duplicate.zip"] = make_zip([("dup.txt", b"first\n"), ("dup.txt", b"second\n")])
    seeds["file-and-folder.zip"] = make_zip([("x", b"a file\n"), ("x/y", b"below it\n")])
    # A folder marked only by the MS-DOS folder attribute (the low byte), its name without "/".
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        folder = info("folder", zipfile.ZIP_STORED, system=0)
        folder.external_attr = 0x10
        archive.writestr(folder, b"")
        archive.writestr(info("folder/in.txt"), b"inside a folder marked by its attributes\n")
    seeds["dos-folder.zip"] = buffer.getvalue()
    # Names of what the engine fuzzer puts in a prefilled extraction folder: links leading out of
    # it ("up", "sibling", "abs"), its own files and stale temporary files.
    seeds["through-links.zip"] = make_zip([("up/evil.txt", b"through a link\n"),
                                           ("abs/evil.txt", b"through a link\n"),
                                           ("sibling", b"over a link\n"),
                                           ("keep.txt", b"replaced\n"),
                                           ("sub/readme.txt", b"replaced\n")])
    seeds["over-links.zip"] = make_zip([("sibling", b"over a link\n"), ("up", b"over a link\n"),
                                        ("keep.txt", b"replaced\n")])
    seeds["in-the-way.zip"] = make_zip([("keep.txt/inside.txt", b"a file is in the way\n"),
                                        ("sub", b"a folder is in the way\n")])
    seeds["text-lines.zip"] = make_zip([("unix.txt", b"a\nb\nc\n"), ("mac.txt", b"a\rb\r"),
                                        ("dos.txt", b"a\r\nb\r\n")])
    return seeds


def command_line_seeds():
    return {
        "plain.txt": b"http://updates.example/vorn/ a.zip b.zip 1234",
        "no-packages.txt": b"http://updates.example/vorn/ 99",
        "empty-token.txt": b"  http://h/u/ a.zip  13.5  ",
        "pid-forms.txt": b"http://h/ x.zip -2.5e+3x",
        "arguments.txt": b"http://h/\0a\tb.zip\x001e9",
        "unicode.txt": "http://h/ \u00e9t\u00e9.zip \u0663".encode(),
        "overflow.txt": b"http://h/ a.zip 2147483647.5",
        # Package names: a byte that is not UTF-8, a C1 control (U+0085), a surrogate's encoding,
        # "..", a folder part, and a valid accented name.
        "names.txt": b"http://h/ bad\xff.zip \xc2\x85.zip ../a .. \xed\xa0\x80 ok\xc3\xa9 7",
    }


def version_notes_seeds():
    return {
        "crlf.txt": b"Vorn 1.2\r\n  fixed the map\r\n \r\nVorn 1.1\r\nolder notes\r\n",
        "cr.txt": b"Vorn 1.2\rfixed\r\rVorn 1.1\r",
        "lf.txt": b"Vorn 1.2\nfixed\n\nVorn 1.1\n",
        "no-blank.txt": b"only\r\nlines\r\n",
        "tab-line.txt": b"\t\r\nx\r\n   \r\n",
        "utf8.txt": "Version 2\r\nKarte verbessert \u2013 sch\u00f6n\r\n\r\n".encode(),
        "bad-utf8.txt": b"\xef\xbb\xbfa\xe2\x82\r\xff\r\n\r\n",
    }


def write(target, seeds):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    warnings.filterwarnings("ignore", "Duplicate name")  # duplicate.zip has one on purpose
    write("fuzz_engine", engine_seeds())
    write("fuzz_command_line", command_line_seeds())
    write("fuzz_version_notes", version_notes_seeds())
    total = sum(p.stat().st_size for p in CORPUS.rglob("*") if p.is_file())
    print(f"seeds written to {CORPUS} ({total} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
