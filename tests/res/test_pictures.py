"""The pictures in res/ against the program's loaders and the 480x800 layout (plain Python)."""

import struct
import unittest
import zlib
from pathlib import Path

RES = Path(__file__).resolve().parents[2] / "res"
SCREEN_W, SCREEN_H = 480, 800
BELOW_MIDDLE_Y, ABOVE_MIDDLE_Y = SCREEN_H // 2 + 141, SCREEN_H // 2 - 70
LANGUAGES = ("zh_cn", "en_us")
FRAMES = ["boot_charger_empty.png"] + ["boot_charger_%02d.png" % n for n in range(1, 26)]
LINES = ["boot_charger_%s_%%s.png" % k for k in
         "vol_high vol_low battery_high battery_untouch temp_high temp_low unpluged".split()]
PATTERNS = ["boot_charger_full_%s.png"] + LINES
FIXED = ["boot_charger_unknown.png", "boot_charger_charging.png", "zelt_logo.png"]
CHANNELS = {2: 3, 3: 1, 6: 4}  # colour type -> bytes a pixel


def each(patterns):
    return [p % lang for p in patterns for lang in LANGUAGES]


def check(condition, message):  # not assert: it must hold under python -O too
    if not condition:
        raise ValueError(message)


class Png:  # the parts of a PNG the program's loader looks at, checked for integrity
    def __init__(self, name):
        data = (RES / name).read_bytes()
        check(data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature")
        self.chunks, pos = [], 8
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body, crc = data[pos + 8:pos + 8 + length], data[pos + 8 + length:pos + 12 + length]
            check(len(body) == length and len(crc) == 4, "truncated %r" % kind)
            check(zlib.crc32(kind + body) == struct.unpack(">I", crc)[0], "bad CRC in %r" % kind)
            self.chunks.append((kind, body))
            pos += 12 + length
        check(self.chunks[0][0] == b"IHDR" and self.chunks[-1][0] == b"IEND", "IHDR first, IEND last")
        self.width, self.height, self.depth, self.ctype, _, _, self.interlace = struct.unpack(
            ">IIBBBBB", self.chunks[0][1])

    def rows(self):  # unfiltered rows (8-bit, non-interlaced)
        bpp = CHANNELS[self.ctype]
        raw = zlib.decompress(b"".join(b for k, b in self.chunks if k == b"IDAT"))
        stride = self.width * bpp + 1
        check(len(raw) == self.height * stride, "image data is %d bytes" % len(raw))
        rows = [bytearray(stride - 1)]
        for y in range(self.height):
            kind, row = raw[y * stride], bytearray(raw[y * stride + 1:(y + 1) * stride])
            check(kind <= 4, "bad filter type %d" % kind)
            for i in range(len(row) if kind else 0):
                a, b, c = (row[i - bpp], rows[-1][i], rows[-1][i - bpp]) if i >= bpp else (0, rows[-1][i], 0)
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                paeth = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                row[i] = (row[i] + (a, b, (a + b) >> 1, paeth)[kind - 1]) & 0xFF
            rows.append(row)
        return rows[1:]


class Pictures(unittest.TestCase):
    def test_every_picture_is_a_png_the_loader_accepts(self):
        for name in FRAMES + FIXED + each(PATTERNS):
            with self.subTest(name=name):
                png = Png(name)
                self.assertEqual((png.depth, png.interlace, png.ctype in CHANNELS), (8, 0, True))
                # only a palette with transparency comes out as 4-byte pixels
                self.assertTrue(png.ctype != 3 or b"tRNS" in dict(png.chunks), "palette without tRNS")
                self.assertTrue(1 <= png.width <= SCREEN_W and 1 <= png.height <= SCREEN_H)
                png.rows()
        for p in PATTERNS:
            self.assertEqual(len({(RES / (p % lang)).read_bytes() for lang in LANGUAGES}), 2, p)

    def test_layout(self):
        self.assertEqual(len({(Png(n).width, Png(n).height) for n in FRAMES}), 1)
        for name in FRAMES[:1] + ["boot_charger_unknown.png"] + each(PATTERNS[:1]):
            png = Png(name)
            self.assertLessEqual(int((SCREEN_H - png.height) / 2) + png.height, BELOW_MIDDLE_Y, name)
        battery, mark = Png(FRAMES[0]), Png("boot_charger_charging.png")
        top = int((SCREEN_H - battery.height) / 2)  # the drawing layer truncates toward zero
        self.assertTrue(top <= ABOVE_MIDDLE_Y and ABOVE_MIDDLE_Y + mark.height <= top + battery.height)
        self.assertLessEqual(mark.width, battery.width)
        self.assertEqual(mark.ctype, 6, "the mark is drawn over the battery: it needs alpha")
        for name in each(LINES):  # text lines fit and are transparent around the text
            png = Png(name)
            self.assertTrue(png.width <= 460 and BELOW_MIDDLE_Y + png.height <= SCREEN_H, name)
            self.assertEqual(png.ctype, 6, name)
            alphas = [row[3::4] for row in png.rows()]
            self.assertEqual(max(alphas[0]) | max(alphas[-1]), 0, "%s: top or bottom row drawn" % name)
            self.assertEqual(max(max(a) for a in alphas), 255, "%s: no opaque text" % name)

    def test_each_frame_shows_more_fill_than_the_one_before(self):
        def saturated(png):  # the strong-coloured fill, not the grey outline or dark inside
            step = CHANNELS[png.ctype]
            return sum(1 for row in png.rows() for x in range(0, len(row), step)
                       if (step < 4 or row[x + 3] > 128) and max(row[x:x + 3]) - min(row[x:x + 3]) > 80)
        counts = [saturated(Png(n)) for n in FRAMES]  # frame 0 is the empty battery
        self.assertEqual(counts, sorted(set(counts + [0])), "each frame shows more fill than the one before")

    def test_boot_logo_runs_cover_the_screen_and_show_the_preview(self):
        data = (RES / "initlogo.rle").read_bytes()
        self.assertEqual(len(data) % 4, 0, "trailing bytes")
        runs = [struct.unpack_from("<HH", data, i) for i in range(0, len(data), 4)]
        self.assertEqual((sum(n for n, _ in runs), min(n for n, _ in runs) > 0), (SCREEN_W * SCREEN_H, True))
        preview = Png("preview/initlogo.png")  # what a person checks; the file must show exactly that
        self.assertEqual((preview.width, preview.height, preview.ctype), (SCREEN_W, SCREEN_H, 2))
        expected = b"".join(bytes(r) for r in preview.rows())
        shown = b"".join(bytes(((p >> 8) & 0xF8 | p >> 13, (p >> 3) & 0xFC | (p >> 9) & 3,  # 565 widened
                                (p << 3) & 0xF8 | (p >> 2) & 7)) * n for n, p in runs)
        first = next((divmod(i // 3, SCREEN_W) for i in range(len(shown)) if shown[i] != expected[i]), None)
        self.assertIsNone(first, "first pixel (y, x) where the file differs from the preview")

