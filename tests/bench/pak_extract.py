#!/usr/bin/env python3
"""The script a user would write to unpack a quorvel pack without quorvel-cli.

The command-line benchmark measures quorvel-cli against it, so it is written
the plain way a competent user would write it, neither tuned nor slowed down:
buffered reads, bytes.translate for the negation, 1 MiB blocks for large
entries, folders made as names need them. Like most such scripts it trusts
the pack's names (no checks against writing outside the folder), which only
makes it faster than quorvel-cli has any right to be.

    pak_extract.py PACK DIR     extract every entry into DIR
    pak_extract.py --list PACK  print every name, one per line
"""
import os
import struct
import sys

NEGATE = bytes((256 - b) % 256 for b in range(256))
BLOCK = 1 << 20


def read_plain(f, count):
    data = f.read(count)
    if len(data) != count:
        raise ValueError("pack ends inside its directory")
    return data.translate(NEGATE)


def read_directory(f):
    """Returns (entries, data_start); each entry is (name bytes, size, offset)."""
    (count,) = struct.unpack("<i", read_plain(f, 4))
    entries = []
    for _ in range(max(count, 0)):
        (length,) = struct.unpack("<I", read_plain(f, 4))
        body = read_plain(f, length)
        end = body.index(b"\0")
        size, offset = struct.unpack_from("<II", body, end + 1)
        entries.append((body[:end], size, offset))
    return entries, f.tell()


def extract(pack, dest):
    with open(pack, "rb") as f:
        entries, data_start = read_directory(f)
        for name, size, offset in entries:
            parts = name.decode("cp932").split("\\")
            path = os.path.join(dest, *parts)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            f.seek(data_start + offset)
            with open(path, "wb") as out:
                left = size
                while left > 0:
                    block = f.read(min(left, BLOCK))
                    if not block:
                        raise ValueError(f"pack ends inside {path}")
                    out.write(block.translate(NEGATE))
                    left -= len(block)


def list_names(pack):
    with open(pack, "rb") as f:
        entries, _ = read_directory(f)
    out = sys.stdout
    for name, _, _ in entries:
        out.write(name.decode("cp932").replace("\\", "/") + "\n")


def main(argv):
    if len(argv) == 3 and argv[1] == "--list":
        list_names(argv[2])
    elif len(argv) == 3:
        extract(argv[1], argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
