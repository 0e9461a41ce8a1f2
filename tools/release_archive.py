#!/usr/bin/env python3
"""Pieces of a release that scripts/package.sh cannot make with a shell tool.

  release_archive.py guide README.md TITLE HEADING... [-HEADING...]
      Writes to standard output a guide for the archive: "# TITLE", then the
      README's sections under each HEADING (found at any level, ending at the
      next heading of the same or a higher level), without their pictures
      and without the subsections named by a -HEADING, when present.
  release_archive.py zip OUT.zip EPOCH NAME=FILE...
      Writes a zip whose bytes depend only on the files' contents and names:
      entries sorted by name, each dated EPOCH, with the same permissions.
"""
import re
import sys
import time
import zipfile

HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
PICTURE = re.compile(r"^!\[[^\]]*\]\([^)]*\)\s*$")


def section(lines, heading, required=True):
    """The lines of the section named heading, its own heading line first."""
    fenced = False
    start = level = None
    for number, line in enumerate(lines):
        if line.startswith("```"):
            fenced = not fenced
            continue
        match = None if fenced else HEADING.match(line)
        if match is None:
            continue
        if start is None:
            if match.group(2) == heading:
                start, level = number, len(match.group(1))
        elif len(match.group(1)) <= level:
            return lines[start:number]
    if start is None:
        if required:
            raise SystemExit(f"release_archive: the README has no section \"{heading}\"")
        return []
    return lines[start:]


def without(lines, heading):
    """lines less the subsection named heading (how to build it, say)."""
    part = section(lines, heading, required=False)
    if not part:
        return lines
    start = next(n for n in range(len(lines)) if lines[n:n + len(part)] == part)
    return lines[:start] + lines[start + len(part):]


def guide(readme, title, headings):
    with open(readme, encoding="utf-8") as file:
        lines = file.read().split("\n")
    out = [f"# {title}", ""]
    left_out = [heading[1:] for heading in headings if heading.startswith("-")]
    for heading in headings:
        if heading.startswith("-"):
            continue
        body = section(lines, heading)
        for subsection in left_out:
            body = without(body, subsection)
        body = [line for line in body if not PICTURE.match(line)]
        while body and not body[-1].strip():
            body.pop()
        out += body + [""]
    # Picture lines leave doubled blank lines behind.
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(out))
    sys.stdout.write(text)


def write_zip(target, epoch, members):
    # Zip times are local calendar times from 1980 on, to the even second.
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]
    entries = sorted(member.split("=", 1) for member in members)
    with zipfile.ZipFile(target, "w") as archive:
        for name, path in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            with open(path, "rb") as file:
                archive.writestr(info, file.read(), compresslevel=9)


def main(argv):
    if len(argv) >= 4 and argv[1] == "guide":
        guide(argv[2], argv[3], argv[4:])
    elif len(argv) >= 5 and argv[1] == "zip":
        write_zip(argv[2], argv[3], argv[4:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
