#!/usr/bin/env python3
"""Build quorvel's .ico files from the pixel art in resources/icons/*.txt.

    tools/make_icons.py                 rewrite the .ico files
    tools/make_icons.py --check         exit 1 if a committed .ico is stale
    tools/make_icons.py --preview DIR   also write enlarged PNGs into DIR

The .txt files are the source; the .ico files are committed so that building
quorvel needs no Python, and --check keeps the two from drifting apart.

Text format: lines starting with '#' and blank lines are ignored. A line
"size N" starts a picture of N rows of N characters. Every file holds a
32x32 and a 16x16 picture. One character per pixel:

    .  transparent
    k  black        K  dark grey
    r  dark red     R  red
    g  dark green   G  green
    y  dark yellow  Y  yellow
    b  dark blue    B  blue
    m  dark magenta M  magenta
    c  dark cyan    C  cyan
    w  light grey   W  white

Lower case is the dim half of the 16-colour VGA palette and upper case the
bright half, so a letter's case is the palette's intensity bit.

Only the Python 3 standard library is used.
"""

import argparse
import os
import struct
import sys
import zlib

ICON_NAMES = ("program", "folder", "entry")

# The largest picture goes first: some loaders take the first entry when
# nothing matches the size they want exactly.
SIZES = (32, 16)

# The standard Windows 16-colour palette, in palette order, as (R, G, B).
PALETTE = (
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
)

TRANSPARENT = None
LEGEND = {".": TRANSPARENT}
for _index, _letter in enumerate("krgybmcw"):
    LEGEND[_letter] = _index
    LEGEND[_letter.upper()] = _index + 8


class IconSourceError(Exception):
    pass


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def default_icon_dir():
    return os.path.join(repo_root(), "resources", "icons")


def parse_pictures(text, where="<text>"):
    """Return {size: [[palette index or TRANSPARENT, ...] per row]}."""
    pictures = {}
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip()
        if not line or line.startswith("#"):
            continue
        fields = line.split()
        if fields[0] == "size":
            if current is not None and len(current[1]) != current[0]:
                raise IconSourceError(
                    f"{where}:{number}: picture {current[0]} has "
                    f"{len(current[1])} rows, needs {current[0]}")
            if len(fields) != 2 or not fields[1].isdigit():
                raise IconSourceError(f"{where}:{number}: expected 'size N'")
            size = int(fields[1])
            if size not in SIZES:
                raise IconSourceError(
                    f"{where}:{number}: size {size} is not one of {SIZES}")
            if size in pictures:
                raise IconSourceError(f"{where}:{number}: second picture of size {size}")
            current = (size, [])
            pictures[size] = current[1]
            continue
        if current is None:
            raise IconSourceError(f"{where}:{number}: pixels before any 'size' line")
        size, rows = current
        if len(rows) == size:
            raise IconSourceError(f"{where}:{number}: picture {size} has too many rows")
        if len(line) != size:
            raise IconSourceError(
                f"{where}:{number}: row is {len(line)} wide, needs {size}")
        row = []
        for column, char in enumerate(line, 1):
            if char not in LEGEND:
                raise IconSourceError(
                    f"{where}:{number}:{column}: '{char}' is not in the legend")
            row.append(LEGEND[char])
        rows.append(row)
    if current is not None and len(current[1]) != current[0]:
        raise IconSourceError(
            f"{where}: picture {current[0]} has {len(current[1])} rows, needs {current[0]}")
    missing = [size for size in SIZES if size not in pictures]
    if missing:
        raise IconSourceError(f"{where}: no picture of size {missing[0]}")
    return pictures


def _row_stride(width, bits):
    # DIB rows are padded to whole 32-bit words.
    return (width * bits + 31) // 32 * 4


def encode_dib(rows):
    """One icon image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask."""
    size = len(rows)
    xor_stride = _row_stride(size, 4)
    and_stride = _row_stride(size, 1)
    xor = bytearray()
    mask = bytearray()
    # DIBs store the bottom row first.
    for row in reversed(rows):
        xor_row = bytearray(xor_stride)
        and_row = bytearray(and_stride)
        for x, index in enumerate(row):
            if index is TRANSPARENT:
                # Black under a set mask bit leaves the screen untouched.
                and_row[x // 8] |= 0x80 >> (x % 8)
                index = 0
            xor_row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += xor_row
        mask += and_row
    header = struct.pack(
        "<IiiHHIIiiII",
        40,                     # biSize
        size,                   # biWidth
        size * 2,               # biHeight counts the XOR and AND bitmaps together
        1,                      # biPlanes
        4,                      # biBitCount
        0,                      # biCompression: BI_RGB
        len(xor) + len(mask),   # biSizeImage
        0, 0,                   # pixels per metre
        0, 0)                   # biClrUsed (0: all 16), biClrImportant
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def encode_ico(pictures):
    images = [(size, encode_dib(pictures[size])) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def build(icon_dir, name):
    source = os.path.join(icon_dir, name + ".txt")
    with open(source, encoding="ascii") as f:
        pictures = parse_pictures(f.read(), source)
    return pictures, encode_ico(pictures)


def _png(width, height, pixels):
    """pixels: rows of (R, G, B) tuples."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for rgb in row for c in rgb) for row in pixels)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def preview_png(pictures):
    """Both pictures enlarged on a checkerboard, then each at 2x on the two
    backgrounds quorvel's views actually use (white list, grey dialog)."""
    scale = 8
    pad = 8
    big = [(pictures[32], scale), (pictures[16], scale * 2)]
    small_backgrounds = [(0xFF, 0xFF, 0xFF), (0xC0, 0xC0, 0xC0), (0xD4, 0xD0, 0xC8)]
    width = pad + sum(len(p) * s + pad for p, s in big)
    small_h = 32 * 2 + 2 * pad
    height = pad + 32 * scale + pad + small_h
    canvas = [[(0x60, 0x60, 0x60)] * width for _ in range(height)]

    def blit(picture, s, left, top, background):
        n = len(picture)
        for y in range(n * s):
            for x in range(n * s):
                index = picture[y // s][x // s]
                if index is TRANSPARENT:
                    colour = background(x, y)
                else:
                    colour = PALETTE[index]
                canvas[top + y][left + x] = colour

    def checker(x, y):
        return (0xE8, 0xE8, 0xE8) if (x // 8 + y // 8) % 2 else (0xB8, 0xB8, 0xB8)

    left = pad
    for picture, s in big:
        blit(picture, s, left, pad, checker)
        left += len(picture) * s + pad

    top = pad + 32 * scale + pad
    left = pad
    for bg in small_backgrounds:
        for y in range(top - pad // 2, top + 32 * 2 + pad // 2):
            for x in range(left - pad // 2, left + 32 * 2 + 16 * 2 + pad + pad // 2):
                canvas[y][x] = bg
        blit(pictures[32], 2, left, top, lambda x, y, bg=bg: bg)
        blit(pictures[16], 2, left + 32 * 2 + pad, top, lambda x, y, bg=bg: bg)
        left += 32 * 2 + 16 * 2 + 3 * pad
    return _png(width, height, canvas)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare instead of writing; exit 1 if an .ico is stale")
    parser.add_argument("--preview", metavar="DIR",
                        help="also write NAME.png previews into DIR")
    parser.add_argument("--dir", default=default_icon_dir(),
                        help="folder holding the .txt sources and .ico files")
    args = parser.parse_args(argv)

    stale = []
    for name in ICON_NAMES:
        try:
            pictures, data = build(args.dir, name)
        except (OSError, IconSourceError) as error:
            print(f"make_icons: {error}", file=sys.stderr)
            return 2
        target = os.path.join(args.dir, name + ".ico")
        if args.check:
            try:
                with open(target, "rb") as f:
                    current = f.read()
            except OSError:
                current = None
            if current != data:
                stale.append(target)
        else:
            with open(target, "wb") as f:
                f.write(data)
        if args.preview:
            os.makedirs(args.preview, exist_ok=True)
            with open(os.path.join(args.preview, name + ".png"), "wb") as f:
                f.write(preview_png(pictures))

    for target in stale:
        print(f"make_icons: {target} is out of date; run tools/make_icons.py",
              file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
