"""Checks the committed pictures in res/ against what the program's loaders accept and against
the 480x800 layout. Plain Python: PNGs are read with struct and zlib, no imaging library.

Run: python3 -m unittest discover -s tests/res   (or python3 tests/res/test_pictures.py)
"""

import os
import struct
import unittest
import zlib

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res")
SCREEN_W, SCREEN_H = 480, 800
BELOW_MIDDLE_Y = SCREEN_H // 2 + 141
ABOVE_MIDDLE_Y = SCREEN_H // 2 - 70
TEXT_MAX_W = 460
LANGUAGES = ("zh_cn", "en_us")

FRAMES = ["boot_charger_empty.png"] + ["boot_charger_%02d.png" % n for n in range(1, 26)]
LINES = ["boot_charger_%s_%%s.png" % k for k in
         ("vol_high", "vol_low", "battery_high", "battery_untouch", "temp_high", "temp_low",
          "unpluged")]
CENTRED_PATTERNS = ["boot_charger_full_%s.png"]
FIXED = FRAMES + ["boot_charger_unknown.png", "boot_charger_charging.png", "zelt_logo.png"]
PATTERNS = CENTRED_PATTERNS + LINES
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {2: 3, 3: 1, 6: 4}


def every_png():
    return FIXED + [p % lang for p in PATTERNS for lang in LANGUAGES]


class Png:
    """The parts of a PNG that the program's loader looks at, checked for integrity."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        if data[:8] != PNG_SIGNATURE:
            raise ValueError("no PNG signature")
        self.chunks = []
        pos = 8
        while pos < len(data):
            if pos + 12 > len(data):
                raise ValueError("truncated chunk at %d" % pos)
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            if len(body) != length:
                raise ValueError("truncated %r" % kind)
            (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
            if zlib.crc32(kind + body) != crc:
                raise ValueError("bad CRC in %r" % kind)
            self.chunks.append((kind, body))
            pos += 12 + length
        kinds = [k for k, _ in self.chunks]
        if kinds[0] != b"IHDR" or kinds[-1] != b"IEND":
            raise ValueError("IHDR must come first and IEND last: %r" % kinds)
        (self.width, self.height, self.depth, self.ctype, _, _,
         self.interlace) = struct.unpack(">IIBBBBB", self.chunks[0][1])
        self.kinds = kinds

    def pixels(self):
        """Rows of unfiltered bytes (8-bit, non-interlaced images only)."""
        bpp = CHANNELS[self.ctype]
        raw = zlib.decompress(b"".join(b for k, b in self.chunks if k == b"IDAT"))
        stride = self.width * bpp
        if len(raw) != self.height * (stride + 1):
            raise ValueError("image data is %d bytes, expected %d"
                             % (len(raw), self.height * (stride + 1)))
        rows, prev = [], bytearray(stride)
        for y in range(self.height):
            kind = raw[y * (stride + 1)]
            row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
            unfilter(kind, row, prev, bpp)
            rows.append(row)
            prev = row
        return rows


def unfilter(kind, row, prev, bpp):
    if kind == 0:
        return
    if kind == 2:
        row[:] = bytes((a + b) & 0xFF for a, b in zip(row, prev))
        return
    if kind not in (1, 3, 4):
        raise ValueError("bad filter type %d" % kind)
    for i in range(len(row)):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        if kind == 1:
            pred = a
        elif kind == 3:
            pred = (a + b) >> 1
        else:
            c = prev[i - bpp] if i >= bpp else 0
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
        row[i] = (row[i] + pred) & 0xFF


def load(name):
    return Png(os.path.join(RES, name))


def centred_top(h):
    return int((SCREEN_H - h) / 2)  # the drawing layer truncates toward zero


def expand_565(p):
    r, g, b = p >> 11, (p >> 5) & 0x3F, p & 0x1F
    return bytes(((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)))


class PictureFiles(unittest.TestCase):
    def test_every_picture_is_a_png_the_loader_accepts(self):
        for name in every_png():
            with self.subTest(name=name):
                png = load(name)
                self.assertEqual(png.depth, 8)
                self.assertIn(png.ctype, CHANNELS)
                if png.ctype == 3:
                    # palette rows are stored as read; only a palette with transparency
                    # comes out as 4-byte pixels
                    self.assertIn(b"tRNS", png.kinds)
                self.assertEqual(png.interlace, 0)
                self.assertTrue(1 <= png.width <= SCREEN_W and 1 <= png.height <= SCREEN_H,
                                (png.width, png.height))
                png.pixels()

    def test_language_pictures_differ_between_languages(self):
        for pattern in PATTERNS:
            with self.subTest(pattern=pattern):
                texts = []
                for lang in LANGUAGES:
                    with open(os.path.join(RES, pattern % lang), "rb") as f:
                        texts.append(f.read())
                self.assertNotEqual(texts[0], texts[1])


class Layout(unittest.TestCase):
    def test_frames_share_one_size_and_clear_the_text_line(self):
        sizes = {(load(n).width, load(n).height) for n in FRAMES}
        self.assertEqual(len(sizes), 1, sizes)
        for name in FRAMES[:1] + ["boot_charger_unknown.png"] + \
                [p % lang for p in CENTRED_PATTERNS for lang in LANGUAGES]:
            with self.subTest(name=name):
                png = load(name)
                self.assertLessEqual(centred_top(png.height) + png.height, BELOW_MIDDLE_Y)

    def test_charging_mark_lies_on_the_battery(self):
        battery, mark = load(FRAMES[0]), load("boot_charger_charging.png")
        top = centred_top(battery.height)
        self.assertGreaterEqual(ABOVE_MIDDLE_Y, top)
        self.assertLessEqual(ABOVE_MIDDLE_Y + mark.height, top + battery.height)
        self.assertLessEqual(mark.width, battery.width)
        self.assertEqual(mark.ctype, 6, "the mark is drawn over the battery: it needs alpha")

    def test_text_lines_fit_and_are_transparent_around_the_text(self):
        for name in [p % lang for p in LINES for lang in LANGUAGES]:
            with self.subTest(name=name):
                png = load(name)
                self.assertLessEqual(png.width, TEXT_MAX_W)
                self.assertLessEqual(BELOW_MIDDLE_Y + png.height, SCREEN_H)
                self.assertEqual(png.ctype, 6)
                rows = png.pixels()
                alphas = [row[3::4] for row in rows]
                self.assertEqual(max(alphas[0]) | max(alphas[-1]), 0, "top or bottom row drawn")
                self.assertEqual(max(max(a) for a in alphas), 255, "no opaque text")


def saturated_pixels(png):
    """Pixels of strong colour (the fill), as opposed to the grey outline and dark inside."""
    step = CHANNELS[png.ctype]
    count = 0
    for row in png.pixels():
        for x in range(0, len(row), step):
            r, g, b = row[x:x + 3]
            if (step < 4 or row[x + 3] > 128) and max(r, g, b) - min(r, g, b) > 80:
                count += 1
    return count


class Animation(unittest.TestCase):
    def test_each_frame_shows_more_fill_than_the_one_before(self):
        counts = [saturated_pixels(load(n)) for n in FRAMES]
        self.assertEqual(counts[0], 0, "frame 0 is the empty battery")
        for n in range(1, len(counts)):
            self.assertGreater(counts[n], counts[n - 1], "frame %d" % n)


class BootLogo(unittest.TestCase):
    def runs(self):
        with open(os.path.join(RES, "initlogo.rle"), "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % 4, 0, "trailing bytes")
        return [struct.unpack_from("<HH", data, i) for i in range(0, len(data), 4)]

    def test_runs_cover_exactly_the_screen(self):
        runs = self.runs()
        self.assertEqual(sum(n for n, _ in runs), SCREEN_W * SCREEN_H)
        self.assertNotIn(0, [n for n, _ in runs], "empty run")
        self.assertGreater(len({c for _, c in runs}), 2, "a blank logo")

    def test_runs_show_the_preview_picture(self):
        # The preview is what a person checks; the file must show exactly that.
        preview = load("preview/initlogo.png")
        self.assertEqual((preview.width, preview.height, preview.ctype),
                         (SCREEN_W, SCREEN_H, 2))
        expected = b"".join(bytes(r) for r in preview.pixels())
        shown = b"".join(expand_565(c) * n for n, c in self.runs())
        self.assertEqual(len(shown), len(expected))
        if shown != expected:
            first = next(i for i in range(len(shown)) if shown[i] != expected[i]) // 3
            self.fail("first differing pixel at x=%d y=%d"
                      % (first % SCREEN_W, first // SCREEN_W))


if __name__ == "__main__":
    unittest.main()
