#!/usr/bin/env python3
"""Tests for tools/make_icons.py: python3 -m unittest tools/test_make_icons.py

The committed .ico files are decoded here by a reader written apart from
the encoder, so a fault in the encoder shows up as a picture that differs
from its text source rather than as two copies of the same mistake.
"""

import os
import shutil
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ICON_DIR = os.path.join(os.path.dirname(HERE), "resources", "icons")

sys.path.insert(0, HERE)
import make_icons  # noqa: E402  (lives next to this file, not on the path)

# What each legend letter must look like, stated independently of the
# script's own tables.
EXPECTED_RGB = {
    "k": 0x000000, "r": 0x800000, "g": 0x008000, "y": 0x808000,
    "b": 0x000080, "m": 0x800080, "c": 0x008080, "w": 0xC0C0C0,
    "K": 0x808080, "R": 0xFF0000, "G": 0x00FF00, "Y": 0xFFFF00,
    "B": 0x0000FF, "M": 0xFF00FF, "C": 0x00FFFF, "W": 0xFFFFFF,
}


def read_text_pictures(path):
    """{size: [row strings]} read straight from the text file."""
    pictures, rows = {}, None
    with open(path, encoding="ascii") as f:
        for line in f.read().splitlines():
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("size "):
                rows = pictures.setdefault(int(line.split()[1]), [])
            else:
                rows.append(line)
    return pictures


def decode_ico(data):
    """[(size, rows of RGB int or None for transparent)] in file order."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon file"
    images = []
    for i in range(count):
        w, h, colours, _, planes, bits, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        assert (w, h, colours, planes, bits) == (w, w, 16, 1, 4), "directory entry"
        (bi_size, bi_w, bi_h, bi_planes, bi_bits, bi_comp) = struct.unpack_from(
            "<IiiHHI", data, offset)
        assert (bi_size, bi_w, bi_h, bi_planes, bi_bits, bi_comp) == (40, w, 2 * w, 1, 4, 0)
        palette = [int.from_bytes(data[offset + 40 + 4 * n:offset + 43 + 4 * n], "little")
                   for n in range(16)]
        xor_stride = ((w * 4 + 31) // 32) * 4
        and_stride = ((w + 31) // 32) * 4
        xor_at = offset + 40 + 64
        and_at = xor_at + xor_stride * w
        assert and_at + and_stride * w == offset + length, "image length"
        rows = []
        for y in range(w):
            src = w - 1 - y  # bottom-up
            row = []
            for x in range(w):
                masked = data[and_at + src * and_stride + x // 8] >> (7 - x % 8) & 1
                nibble = data[xor_at + src * xor_stride + x // 2] >> (4 if x % 2 == 0 else 0) & 15
                if masked:
                    assert nibble == 0, "transparent pixel must be black in the XOR bitmap"
                    row.append(None)
                else:
                    row.append(palette[nibble])
            rows.append(row)
        images.append((w, rows))
    return images


class CommittedIcons(unittest.TestCase):
    def test_each_ico_shows_its_text_source(self):
        for name in make_icons.ICON_NAMES:
            with self.subTest(icon=name):
                text = read_text_pictures(os.path.join(ICON_DIR, name + ".txt"))
                with open(os.path.join(ICON_DIR, name + ".ico"), "rb") as f:
                    images = decode_ico(f.read())
                self.assertEqual([size for size, _ in images], [32, 16])
                for size, rows in images:
                    expected = [[None if c == "." else EXPECTED_RGB[c] for c in line]
                                for line in text[size]]
                    self.assertEqual(rows, expected, f"{name} {size}x{size}")

    def test_every_picture_has_transparent_and_opaque_pixels(self):
        # An all-opaque or all-clear mask would mean the mask is written wrongly.
        for name in make_icons.ICON_NAMES:
            with open(os.path.join(ICON_DIR, name + ".ico"), "rb") as f:
                for size, rows in decode_ico(f.read()):
                    flat = [p for row in rows for p in row]
                    self.assertIn(None, flat, f"{name} {size}")
                    self.assertTrue(any(p is not None for p in flat), f"{name} {size}")


class CheckMode(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        for name in make_icons.ICON_NAMES:
            for ext in (".txt", ".ico"):
                shutil.copy(os.path.join(ICON_DIR, name + ext), self.dir)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def check(self):
        return make_icons.main(["--check", "--dir", self.dir])

    def test_committed_icons_are_current(self):
        self.assertEqual(make_icons.main(["--check"]), 0)

    def test_changed_ico_byte_is_reported(self):
        path = os.path.join(self.dir, "entry.ico")
        with open(path, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)[0]
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last ^ 1]))
        self.assertEqual(self.check(), 1)

    def test_edited_source_without_regeneration_is_reported(self):
        path = os.path.join(self.dir, "folder.txt")
        with open(path, encoding="ascii") as f:
            text = f.read()
        # Recolour one yellow pixel of the 16x16 picture.
        head, sep, tail = text.partition("size 16")
        with open(path, "w", encoding="ascii") as f:
            f.write(head + sep + tail.replace("Y", "R", 1))
        self.assertEqual(self.check(), 1)

    def test_missing_ico_is_reported(self):
        os.remove(os.path.join(self.dir, "program.ico"))
        self.assertEqual(self.check(), 1)

    def test_regenerating_makes_check_pass_and_is_deterministic(self):
        os.remove(os.path.join(self.dir, "program.ico"))
        self.assertEqual(make_icons.main(["--dir", self.dir]), 0)
        self.assertEqual(self.check(), 0)
        with open(os.path.join(self.dir, "program.ico"), "rb") as a, \
                open(os.path.join(ICON_DIR, "program.ico"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_broken_source_fails(self):
        with open(os.path.join(self.dir, "entry.txt"), "a", encoding="ascii") as f:
            f.write("................\n")
        self.assertNotEqual(self.check(), 0)


class Parser(unittest.TestCase):
    GOOD_16 = "size 16\n" + ("." * 16 + "\n") * 16
    GOOD_32 = "size 32\n" + ("." * 32 + "\n") * 32

    def parse(self, text):
        return make_icons.parse_pictures(text)

    def test_minimal_file_parses(self):
        pictures = self.parse(self.GOOD_32 + self.GOOD_16)
        self.assertEqual(sorted(pictures), [16, 32])

    def test_rejects_short_row(self):
        bad = self.GOOD_16.replace("." * 16, "." * 15, 1)
        with self.assertRaises(make_icons.IconSourceError):
            self.parse(self.GOOD_32 + bad)

    def test_rejects_missing_row(self):
        bad = self.GOOD_32.replace("." * 32 + "\n", "", 1)
        with self.assertRaises(make_icons.IconSourceError):
            self.parse(bad + self.GOOD_16)

    def test_rejects_unknown_character(self):
        bad = self.GOOD_16.replace(".", "x", 1)
        with self.assertRaises(make_icons.IconSourceError):
            self.parse(self.GOOD_32 + bad)

    def test_rejects_missing_size(self):
        with self.assertRaises(make_icons.IconSourceError):
            self.parse(self.GOOD_32)

    def test_rejects_unsupported_size(self):
        with self.assertRaises(make_icons.IconSourceError):
            self.parse(self.GOOD_32 + self.GOOD_16 + "size 48\n")


if __name__ == "__main__":
    unittest.main()
