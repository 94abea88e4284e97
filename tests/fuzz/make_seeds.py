#!/usr/bin/env python3
"""Writes small valid seed inputs for every fuzz target into OUT/<target>/.

Usage: make_seeds.py OUT. Pictures come from res/ and from tiny PNGs made
here; scenarios from tests/sim/; everything else is built byte by byte in the
layout its target expects (see each tests/fuzz/*_fuzz.cpp).
"""
import pathlib
import shutil
import struct
import sys
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def png(width, height, color_type, rows, plte=None, trns=None, interlace=0):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + row for row in rows)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, interlace))
    if plte:
        out += chunk(b"PLTE", plte)
    if trns:
        out += chunk(b"tRNS", trns)
    return out + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def input_record(type_, code, value):
    return struct.pack("<qqHHi", 0, 0, type_, code, value)  # struct input_event on 64-bit Linux


def seeds():
    yield "png", "rgb.png", png(2, 2, 2, [b"\x10\x20\x30\x40\x50\x60"] * 2)
    yield "png", "rgba.png", png(2, 1, 6, [b"\x01\x02\x03\x00\x04\x05\x06\xc8"])
    yield "png", "palette.png", png(2, 1, 3, [b"\x01\x00"], plte=b"\x0a\x14\x1e\x28\x32\x3c", trns=b"\x00\x80")
    yield "png", "charging.png", (ROOT / "res/boot_charger_charging.png").read_bytes()

    rle = lambda count, color: struct.pack("<HH", count, color)
    yield "boot_logo", "one_pixel", b"\x00" + rle(1, 0xF800)
    yield "boot_logo", "small_16", b"\x02" + rle(100, 0x07E0) + rle(53, 0x001F) + b"\x01\x02"
    yield "boot_logo", "small_32", b"\x03" + rle(3000, 0xFFFF) + rle(72, 0x1234)
    yield "boot_logo", "full_200x120", b"\x04" + rle(20000, 0x0000) + rle(4000, 0xFFFF)

    info = lambda held, page, text: bytes([held, page]) + text.encode()
    yield "screen_info", "two_pages_16", info(2, 1, "xres=2\nyres=4\nbits_per_pixel=16\nyoffset=0\n")
    yield "screen_info", "one_page_32", info(3, 1, "xres=5\nyres=3\nbits_per_pixel=32\nyres_virtual=3\n")
    yield "screen_info", "short_file", info(4, 2, "yoffset=48\r\nxres=64\nyres=48\nbits_per_pixel=16\nyres_virtual=144")
    yield "screen_info", "empty_file", info(0, 3, "xres=16\nyres=16\nbits_per_pixel=32\nyres_virtual=64\nyoffset=1\nyoffset=2\n")

    supply = [("status", "Charging\n"), ("health", "Good\n"), ("present", "1\n"), ("capacity", "50\n"),
              ("voltage", "3900000\n"), ("temp", "250\n"), ("technology", "Li-ion\n"), ("online", "1\n")]
    picks = {"status": 0, "health": 1, "present": 2, "capacity": 3, "voltage": 4, "temp": 5,
             "technology": 6, "online": 10}
    for name, text in supply:
        yield "power_supply", name, bytes([picks[name]]) + text.encode()

    yield "uevent", "battery", b"change@/devices/platform/battery/power_supply/battery\0ACTION=change\0SUBSYSTEM=power_supply\0"
    yield "uevent", "other", b"add@/devices/virtual/input/input3\0ACTION=add\0SUBSYSTEM=input\0"

    syn = input_record(0, 0, 0)
    yield "input", "power_key", input_record(1, 116, 1) + syn + input_record(1, 116, 0) + syn
    yield "input", "trackball", input_record(2, 1, 2) * 2 + syn + input_record(2, 1, -5)

    props = ["1765000000000;4;25000", "true", "EN;US", "/vendor/res/", "logo.png", "3400",
             "1765000123456", "yes"]
    for i, value in enumerate(props):
        yield "property", "case%d" % i, bytes([i]) + value.encode()
    yield "property", "scan", bytes([8]) + struct.pack("<qq", -100, 100) + b" -42x"

    for name in ("plug_unplug.scn", "key_wake_sleep.scn", "alarm_due.scn"):
        path = ROOT / "tests/sim" / name
        if path.exists():
            yield "scenario", name, path.read_bytes()


def main():
    out = pathlib.Path(sys.argv[1])
    for target, name, data in seeds():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
