#!/usr/bin/python3
"""Draws every picture of the charging screen, the start-up logo and the boot logo.

Run it from anywhere: `/usr/bin/python3 res/generate.py` (res/install-deps.sh installs Pillow
and the fonts from Debian). It rewrites the files in res/ and the layout previews in
res/preview/. The program only reads the results; it never needs Python or the fonts.

Everything is drawn for a 480x800 portrait screen on black. The placements mirror the
drawing layer: pictures are centred horizontally; the battery, the full and the unknown
picture are centred vertically, the charging mark's top edge is at H/2 - 70 and one line of
text has its top edge at H/2 + 141. All sizes below are chosen so that nothing overlaps there.

To restyle, change the palette, the geometry or the texts below and run the script again.
"""

import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
PREVIEW = os.path.join(HERE, "preview")

SCREEN_W, SCREEN_H = 480, 800
PLACE_BELOW_MIDDLE, PLACE_ABOVE_MIDDLE, PLACE_CENTER = 1, 2, 3

SS = 4  # supersampling factor for shapes: drawn 4x larger, then area-averaged

FONT_DIR = "/usr/share/fonts/opentype/noto"
FONT_REGULAR = os.path.join(FONT_DIR, "NotoSansCJK-Regular.ttc")
FONT_BOLD = os.path.join(FONT_DIR, "NotoSansCJK-Bold.ttc")
FONT_FAMILY = "Noto Sans CJK SC"  # one family for Latin and Chinese keeps both looks alike

# Palette.
WHITE = (242, 244, 247)
RING = (226, 230, 235)          # battery outline
TRACK = (22, 25, 29)            # inside of the battery, behind the fill
GREEN = ((72, 219, 128), (34, 170, 92))    # left and right end of the fill's gradient
AMBER = ((255, 190, 70), (232, 142, 22))
RED = ((255, 102, 88), (214, 56, 48))
DIM_RING = (120, 126, 135)      # outline of the unrecognised battery
DIM_MARK = (178, 184, 192)
WARNING = (255, 183, 77)        # warning lines
NEUTRAL = (214, 218, 224)       # the charger-removed line
BOLT_EDGE = (8, 10, 12, 150)    # dark rim that keeps the bolt readable on green and on black

# Battery geometry, in picture pixels (the frame picture is FRAME_W x FRAME_H).
FRAME_W, FRAME_H = 200, 250
BODY = (30, 22, 170, 246)
BODY_RADIUS = 28
RING_WIDTH = 9
CAP = (72, 6, 128, 30)
CAP_RADIUS = 8
FILL_GAP = 6                    # dark gap between the outline and the fill

# The charging mark: its picture's top edge lands at H/2 - 70 = 330, inside the body.
BOLT_W, BOLT_H = 84, 150
BOLT_BOX = (6, 14, 78, 144)     # where the bolt itself lies in its picture
BOLT_SHAPE = [(0.62, 0.00), (0.06, 0.58), (0.45, 0.58), (0.36, 1.00),
              (0.94, 0.40), (0.55, 0.40)]

TEXT_SIZE = 30
TEXT_PAD_X, TEXT_PAD_Y = 12, 4
TEXT_MAX_W = 460

LANGUAGES = ("zh_cn", "en_us")

WARNINGS = {
    "vol_high": {"en_us": "Charger voltage too high", "zh_cn": "充电器电压过高"},
    "vol_low": {"en_us": "Charger voltage too low", "zh_cn": "充电器电压过低"},
    "battery_high": {"en_us": "Battery voltage too high", "zh_cn": "电池电压过高"},
    "battery_untouch": {"en_us": "Battery not detected", "zh_cn": "未检测到电池"},
    "temp_high": {"en_us": "Battery too hot", "zh_cn": "电池温度过高"},
    "temp_low": {"en_us": "Battery too cold", "zh_cn": "电池温度过低"},
}
UNPLUGGED = {"en_us": "Charger removed", "zh_cn": "充电器已拔出"}
FULL = {"en_us": "Full", "zh_cn": "已充满"}

PRODUCT = ("lumo", "boot")

FRAMES = 26  # frame n shows about 4n %; frame 0 is empty, frame 25 full


# ---------------------------------------------------------------- drawing helpers

def font(bold, size):
    """The font face of FONT_FAMILY in the collection file, at a pixel size."""
    path = FONT_BOLD if bold else FONT_REGULAR
    for index in range(16):
        try:
            face = ImageFont.truetype(path, size, index=index)
        except OSError:
            break
        if face.getname()[0] == FONT_FAMILY:
            return face
    sys.exit("generate.py: no face '%s' in %s (run res/install-deps.sh)" % (FONT_FAMILY, path))


def scaled(box, dx=0.0, dy=0.0):
    return [round((v + (dx if i % 2 == 0 else dy)) * SS) for i, v in enumerate(box)]


def inset(box, d):
    return (box[0] + d, box[1] + d, box[2] - d, box[3] - d)


def mask(size, paint):
    """Coverage mask of a shape: paint(draw) draws at SS times the size with
    SS-scaled coordinates; the result is area-averaged down to size."""
    big = Image.new("L", (size[0] * SS, size[1] * SS), 0)
    paint(ImageDraw.Draw(big))
    return big.resize(size, Image.Resampling.BOX)


def gradient(size, left, right):
    """A horizontal colour gradient from left to right."""
    strip = Image.new("RGB", (size[0], 1))
    for x in range(size[0]):
        t = x / max(1, size[0] - 1)
        strip.putpixel((x, 0), tuple(round(a + (b - a) * t) for a, b in zip(left, right)))
    return strip.resize(size, Image.Resampling.NEAREST)


def paint_layer(canvas, colour, coverage, opacity=255):
    """Composites colour (an RGB tuple or image) over canvas, shaped by coverage."""
    if isinstance(colour, tuple):
        layer = Image.new("RGB", canvas.size, colour[:3])
    else:
        layer = colour
    alpha = coverage if opacity == 255 else coverage.point(lambda v: v * opacity // 255)
    layer = layer.convert("RGBA")
    layer.putalpha(alpha)
    canvas.alpha_composite(layer)


def text_mask(text, face, size, origin):
    m = Image.new("L", size, 0)
    ImageDraw.Draw(m).text(origin, text, font=face, fill=255, anchor="ls")
    return m


def save_png(image, path):
    """8-bit RGB or RGBA, never interlaced, never palette or grey (the loader refuses those)."""
    assert image.mode in ("RGB", "RGBA"), image.mode
    if image.mode == "RGBA":
        # Straight alpha: colour under a fully transparent pixel is never seen, so zero it
        # and let it compress.
        clean = Image.new("RGBA", image.size, (0, 0, 0, 0))
        clean.paste(image, (0, 0), image.getchannel("A").point(lambda a: 255 if a else 0))
        image = clean
    image.save(path, "PNG", optimize=True)


# ---------------------------------------------------------------- the battery

def battery(fraction, fill_colours, ring=RING):
    """The battery picture, filled from the bottom to fraction (0 to 1)."""
    pic = Image.new("RGBA", (FRAME_W, FRAME_H), (0, 0, 0, 0))
    track = inset(BODY, RING_WIDTH)
    fill = inset(track, FILL_GAP)

    def outline(d):
        d.rounded_rectangle(scaled(CAP), radius=CAP_RADIUS * SS, fill=255)
        d.rounded_rectangle(scaled(BODY), radius=BODY_RADIUS * SS, fill=255)
        d.rounded_rectangle(scaled(track), radius=(BODY_RADIUS - RING_WIDTH) * SS, fill=0)

    def inside(d):
        d.rounded_rectangle(scaled(track), radius=(BODY_RADIUS - RING_WIDTH) * SS, fill=255)

    paint_layer(pic, TRACK, mask(pic.size, inside))
    paint_layer(pic, ring, mask(pic.size, outline))
    if fraction > 0:
        top = fill[3] - (fill[3] - fill[1]) * fraction

        def level(d):
            d.rounded_rectangle(scaled(fill), radius=(BODY_RADIUS - RING_WIDTH - FILL_GAP) * SS,
                                fill=255)
            d.rectangle([0, 0, FRAME_W * SS, round(top * SS) - 1], fill=0)

        paint_layer(pic, gradient(pic.size, *fill_colours), mask(pic.size, level))
    return pic


def frame_colours(n):
    """Red while nearly empty, amber when low, green from a quarter on."""
    if n <= 3:
        return RED
    if n <= 5:
        return AMBER
    return GREEN


def frame(n):
    return battery(n / (FRAMES - 1), frame_colours(n))


def check_mark(d, cx, cy, size, width):
    pts = [(cx - 0.42 * size, cy + 0.02 * size), (cx - 0.12 * size, cy + 0.32 * size),
           (cx + 0.45 * size, cy - 0.30 * size)]
    d.line([(round(x * SS), round(y * SS)) for x, y in pts], fill=255, width=width * SS,
           joint="curve")
    for x, y in (pts[0], pts[2]):  # round line caps
        r = width * SS / 2
        d.ellipse([x * SS - r, y * SS - r, x * SS + r, y * SS + r], fill=255)


def full_picture(lang):
    """Frame 25 with a check mark and the word for 'full' on the fill."""
    pic = battery(1.0, GREEN)
    cx = (BODY[0] + BODY[2]) / 2
    face = font(True, 30 if lang == "zh_cn" else 34)
    paint_layer(pic, (6, 60, 30), mask(pic.size, lambda d: check_mark(d, cx + 1, 112, 60, 11)),
                90)
    paint_layer(pic, WHITE, mask(pic.size, lambda d: check_mark(d, cx, 110, 60, 11)))
    word = FULL[lang]
    x = cx - face.getlength(word) / 2
    paint_layer(pic, (6, 60, 30), text_mask(word, face, pic.size, (x + 1, 186)), 90)
    paint_layer(pic, WHITE, text_mask(word, face, pic.size, (x, 185)))
    return pic


def unknown_picture():
    """A dimmed, empty battery with a question mark: the battery is not recognised."""
    pic = battery(0.0, GREEN, ring=DIM_RING)
    face = font(True, 110)
    cx = (BODY[0] + BODY[2]) / 2
    x = cx - face.getlength("?") / 2
    paint_layer(pic, DIM_MARK, text_mask("?", face, pic.size, (x, 172)))
    return pic


def bolt_points(box):
    w, h = box[2] - box[0], box[3] - box[1]
    return [((box[0] + u * w) * SS, (box[1] + v * h) * SS) for u, v in BOLT_SHAPE]


def charging_picture():
    """The lightning bolt drawn over the battery while it charges."""
    pic = Image.new("RGBA", (BOLT_W, BOLT_H), (0, 0, 0, 0))
    pts = bolt_points(BOLT_BOX)
    edge = mask(pic.size, lambda d: d.polygon(pts, fill=255, outline=255, width=7 * SS))
    paint_layer(pic, BOLT_EDGE[:3], edge, BOLT_EDGE[3])
    paint_layer(pic, WHITE, mask(pic.size, lambda d: d.polygon(pts, fill=255)))
    return pic


# ---------------------------------------------------------------- one line of text

def warning_sign(d, x, y, size):
    """A rounded warning triangle with an exclamation mark cut out."""
    s = SS
    tri = [((x + size / 2) * s, y * s), ((x + size) * s, (y + size * 0.88) * s),
           (x * s, (y + size * 0.88) * s)]
    d.polygon(tri, fill=255)
    d.line(tri + [tri[0]], fill=255, width=round(size * 0.12 * s), joint="curve")
    cx = (x + size / 2) * s
    bar = size * 0.09 * s
    d.rounded_rectangle([cx - bar, (y + size * 0.28) * s, cx + bar, (y + size * 0.60) * s],
                        radius=bar, fill=0)
    d.ellipse([cx - bar, (y + size * 0.67) * s, cx + bar, (y + size * 0.67) * s + 2 * bar],
              fill=0)


def text_line(text, colour, sign, scale=1.0):
    """One line of text on a transparent background, sized to the text."""
    size = round(TEXT_SIZE * scale)
    pad_x, pad_y = round(TEXT_PAD_X * scale), round(TEXT_PAD_Y * scale)
    face = font(False, size)
    ascent, descent = face.getmetrics()
    sign_w = size if sign else 0
    gap = round(10 * scale) if sign else 0
    width = round(face.getlength(text)) + sign_w + gap + 2 * pad_x
    height = ascent + descent + 2 * pad_y
    if width > TEXT_MAX_W * scale:
        sys.exit("generate.py: '%s' is %d px wide, more than %d" % (text, width, TEXT_MAX_W * scale))
    pic = Image.new("RGBA", (width, height), (0, 0, 0, 0))
    baseline = pad_y + ascent
    if sign:
        top = baseline - size * 0.86
        paint_layer(pic, colour, mask(pic.size, lambda d: warning_sign(d, pad_x, top, sign_w)))
    paint_layer(pic, colour, text_mask(text, face, pic.size, (pad_x + sign_w + gap, baseline)))
    return pic


# ---------------------------------------------------------------- logos

def battery_mark(height):
    """A small landscape battery with a bolt, for the wordmark."""
    w = round(height * 1.9)
    pic = Image.new("RGBA", (w + round(height * 0.2), height), (0, 0, 0, 0))
    body = (1, 1, w - 1, height - 1)
    ring = max(2, round(height * 0.1))
    r = height * 0.26
    nub = (w - 1, height * 0.32, w - 1 + height * 0.16, height * 0.68)
    track = inset(body, ring)
    fill = inset(track, max(2, round(height * 0.07)))

    def outline(d):
        d.rounded_rectangle(scaled(nub), radius=height * 0.06 * SS, fill=255)
        d.rounded_rectangle(scaled(body), radius=r * SS, fill=255)
        d.rounded_rectangle(scaled(track), radius=(r - ring) * SS, fill=0)

    paint_layer(pic, WHITE, mask(pic.size, outline))
    paint_layer(pic, gradient(pic.size, *GREEN), mask(
        pic.size, lambda d: d.rounded_rectangle(scaled(fill), radius=(r - ring - 2) * SS,
                                                fill=255)))
    bw = (fill[3] - fill[1]) * 0.62
    bh = (fill[3] - fill[1]) * 0.92
    cx, cy = (fill[0] + fill[2]) / 2, (fill[1] + fill[3]) / 2
    pts = bolt_points((cx - bw / 2, cy - bh / 2, cx + bw / 2, cy + bh / 2))
    paint_layer(pic, WHITE, mask(pic.size, lambda d: d.polygon(pts, fill=255)))
    return pic


def wordmark(size):
    """'lumo' in white and 'boot' in green, in one line."""
    face = font(True, size)
    first, second = PRODUCT
    w1 = face.getlength(first)
    width = round(w1 + face.getlength(second)) + 4
    ascent, descent = face.getmetrics()
    left, top, right, bottom = face.getbbox(first + second, anchor="ls")
    height = bottom - top + 4
    pic = Image.new("RGBA", (width, height), (0, 0, 0, 0))
    base = 2 - top
    paint_layer(pic, WHITE, text_mask(first, face, pic.size, (2, base)))
    paint_layer(pic, GREEN[0], text_mask(second, face, pic.size, (2 + w1, base)))
    return pic


def startup_logo(scale=1.0):
    """The start-up picture: battery mark and wordmark side by side."""
    word = wordmark(round(64 * scale))
    mark = battery_mark(round(40 * scale))
    gap, pad = round(18 * scale), round(12 * scale)
    w = mark.width + gap + word.width + 2 * pad
    h = max(mark.height, word.height) + 2 * pad
    pic = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    pic.alpha_composite(mark, (pad, (h - mark.height) // 2))
    pic.alpha_composite(word, (pad + mark.width + gap, (h - word.height) // 2))
    return pic


def boot_logo(width=SCREEN_W, height=SCREEN_H):
    """The full-screen boot logo: a larger battery mark above the wordmark."""
    scale = width / SCREEN_W
    screen = Image.new("RGBA", (width, height), (0, 0, 0, 255))
    mark = battery_mark(round(72 * scale))
    word = wordmark(round(72 * scale))
    gap = round(34 * scale)
    top = (height - (mark.height + gap + word.height)) // 2 - round(20 * scale)
    screen.alpha_composite(mark, ((width - mark.width) // 2 + round(6 * scale), top))
    screen.alpha_composite(word, ((width - word.width) // 2, top + mark.height + gap))
    return screen.convert("RGB")


# ---------------------------------------------------------------- RGB565 and the run-length file

def to_565(rgb):
    r, g, b = rgb
    return ((r * 31 + 127) // 255) << 11 | ((g * 63 + 127) // 255) << 5 | (b * 31 + 127) // 255


def from_565(p):
    """The framebuffer's own expansion: replicate the top bits."""
    r, g, b = p >> 11, (p >> 5) & 0x3F, p & 0x1F
    return ((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2))


def as_screen(image):
    """What a 565 screen shows of an RGB picture."""
    out = image.convert("RGB")
    out.putdata([from_565(to_565(p)) for p in out.getdata()])
    return out


def encode_565rle(image):
    """4-byte runs, little-endian count then little-endian colour; runs cross rows freely
    and never exceed 65535 pixels."""
    assert image.size == (SCREEN_W, SCREEN_H)
    out = bytearray()
    run_colour, run_len = None, 0
    for p in image.convert("RGB").getdata():
        c = to_565(p)
        if c == run_colour and run_len < 0xFFFF:
            run_len += 1
            continue
        if run_len:
            out += struct.pack("<HH", run_len, run_colour)
        run_colour, run_len = c, 1
    out += struct.pack("<HH", run_len, run_colour)
    return bytes(out)


# ---------------------------------------------------------------- previews

def trunc_div(a, b):
    """Integer division that truncates toward zero, as the drawing layer's does."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def place(screen, pic, code):
    x = trunc_div(SCREEN_W - pic.width, 2)
    y = {PLACE_BELOW_MIDDLE: trunc_div(SCREEN_H, 2) + 141,
         PLACE_ABOVE_MIDDLE: trunc_div(SCREEN_H, 2) - 70,
         PLACE_CENTER: trunc_div(SCREEN_H - pic.height, 2)}.get(code, 0)
    screen.alpha_composite(pic.convert("RGBA"), (x, y))


def compose(layers):
    screen = Image.new("RGBA", (SCREEN_W, SCREEN_H), (0, 0, 0, 255))
    for pic, code in layers:
        place(screen, pic, code)
    return as_screen(screen)


def sheet(screens, gap=12):
    out = Image.new("RGB", (len(screens) * (SCREEN_W + gap) - gap, SCREEN_H), (60, 64, 70))
    for i, s in enumerate(screens):
        out.paste(s, (i * (SCREEN_W + gap), 0))
    return out


def frames_sheet(pics, columns=7):
    rows = (len(pics) + columns - 1) // columns
    out = Image.new("RGBA", (columns * FRAME_W, rows * FRAME_H), (0, 0, 0, 255))
    for i, p in enumerate(pics):
        out.alpha_composite(p, ((i % columns) * FRAME_W, (i // columns) * FRAME_H))
    return out.convert("RGB")


# ---------------------------------------------------------------- main

def out(name):
    return os.path.join(HERE, name)


def frame_name(n):
    return "boot_charger_empty.png" if n == 0 else "boot_charger_%02d.png" % n


# Picture sets for larger screens, in res/WxH/: the texts, the start-up
# picture and the boot logo grow with the screen's width. The battery frames,
# the full and unknown pictures and the bolt stay as they are: the drawing
# layer places the bolt and the text line at fixed offsets from the middle
# (H/2 - 70, H/2 + 141), so a taller battery would run into the text line.
# lumo-sim create lays the set of the phone's size over the 480x800 one.
SETS = ((720, 1280), (1080, 1920))


def picture_set(width, height):
    scale = width / SCREEN_W
    folder = os.path.join(HERE, "%dx%d" % (width, height))
    os.makedirs(os.path.join(folder, "preview"), exist_ok=True)
    save_png(startup_logo(scale), os.path.join(folder, "zelt_logo.png"))
    for lang in LANGUAGES:
        save_png(text_line(UNPLUGGED[lang], NEUTRAL, False, scale),
                 os.path.join(folder, "boot_charger_unpluged_%s.png" % lang))
        for key, texts in WARNINGS.items():
            save_png(text_line(texts[lang], WARNING, True, scale),
                     os.path.join(folder, "boot_charger_%s_%s.png" % (key, lang)))
    # The boot logo's picture only: lumo-sim makes the run-length file from it.
    save_png(as_screen(boot_logo(width, height)), os.path.join(folder, "preview", "initlogo.png"))


def main():
    os.makedirs(PREVIEW, exist_ok=True)
    for width, height in SETS:
        picture_set(width, height)
    frames = [frame(n) for n in range(FRAMES)]
    for n, pic in enumerate(frames):
        save_png(pic, out(frame_name(n)))
    unknown = unknown_picture()
    save_png(unknown, out("boot_charger_unknown.png"))
    bolt = charging_picture()
    save_png(bolt, out("boot_charger_charging.png"))
    logo = startup_logo()
    save_png(logo, out("zelt_logo.png"))

    full = {}
    for lang in LANGUAGES:
        full[lang] = full_picture(lang)
        save_png(full[lang], out("boot_charger_full_%s.png" % lang))
        save_png(text_line(UNPLUGGED[lang], NEUTRAL, False),
                 out("boot_charger_unpluged_%s.png" % lang))
        for key, texts in WARNINGS.items():
            save_png(text_line(texts[lang], WARNING, True),
                     out("boot_charger_%s_%s.png" % (key, lang)))

    boot = as_screen(boot_logo())
    with open(out("initlogo.rle"), "wb") as f:
        f.write(encode_565rle(boot))
    save_png(boot, os.path.join(PREVIEW, "initlogo.png"))

    save_png(frames_sheet(frames + [full["en_us"], full["zh_cn"], unknown]),
             os.path.join(PREVIEW, "frames.png"))
    for lang in LANGUAGES:
        def line(key):
            return Image.open(out("boot_charger_%s_%s.png" % (key, lang)))
        save_png(sheet([
            compose([(logo, PLACE_CENTER)]),
            compose([(frames[13], PLACE_CENTER), (bolt, PLACE_ABOVE_MIDDLE)]),
            compose([(full[lang], PLACE_CENTER)]),
            compose([(frames[13], PLACE_CENTER), (bolt, PLACE_ABOVE_MIDDLE),
                     (line("temp_high"), PLACE_BELOW_MIDDLE)]),
            compose([(frames[10], PLACE_CENTER), (line("unpluged"), PLACE_BELOW_MIDDLE)]),
            compose([(unknown, PLACE_CENTER), (line("battery_untouch"), PLACE_BELOW_MIDDLE)]),
        ]), os.path.join(PREVIEW, "screens_%s.png" % lang))


if __name__ == "__main__":
    main()
