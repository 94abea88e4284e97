"""Unit tests of the virtual phone's host side and of the line escaping both
sides share: python3 -m unittest discover -s tests/vm (no machine needed)."""
import ctypes
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from contextlib import redirect_stdout
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
VM = os.path.join(os.path.dirname(os.path.dirname(HERE)), "vm")
sys.path.insert(0, VM)
import lumovm  # noqa: E402


def native_text_library(folder):
    """guest/text.c built for this machine, or None without a C compiler."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    lib = os.path.join(folder, "libtext.so")
    subprocess.run([cc, "-std=gnu11", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", lib,
                    os.path.join(VM, "guest", "text.c")], check=True)
    text = ctypes.CDLL(lib)
    text.text_escape.restype = ctypes.c_size_t
    text.text_escape.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    text.text_unescape.restype = ctypes.c_size_t
    text.text_unescape.argtypes = [ctypes.c_char_p]
    return text


class Escaping(unittest.TestCase):
    """The guest escapes replies in C and unescapes requests in C; the host does
    the opposite in Python. Every byte must survive both ways."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.c = native_text_library(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def c_escape(self, data, cap=1 << 16):
        out = ctypes.create_string_buffer(cap)
        n = self.c.text_escape(out, cap, data, len(data))
        return out.raw[:n], out.raw[n]

    def c_unescape(self, text):
        buf = ctypes.create_string_buffer(text.encode())
        n = self.c.text_unescape(buf)
        return buf.raw[:n]

    def samples(self):
        rng = random.Random(12)
        yield bytes(range(256))
        yield b""
        yield b"\\x41 \\n"  # texts that look like escapes
        for _ in range(200):
            yield bytes(rng.randrange(256) for _ in range(rng.randrange(40)))

    def test_replies_survive_c_escape_then_python_unescape(self):
        if not self.c:
            self.skipTest("no C compiler")
        for data in self.samples():
            escaped, terminator = self.c_escape(data)
            self.assertEqual(terminator, 0)
            self.assertNotIn(b"\n", escaped)
            self.assertEqual(lumovm.unescape_bytes(escaped.decode("ascii")), data)

    def test_requests_survive_python_escape_then_c_unescape(self):
        if not self.c:
            self.skipTest("no C compiler")
        for data in self.samples():
            word = data.decode("utf-8", errors="replace")
            escaped = lumovm.escape(word)
            self.assertFalse(set(escaped) & {" ", "\n", "\t"}, escaped)
            self.assertEqual(self.c_unescape(escaped), word.encode())

    def test_c_escape_never_overflows_nor_cuts_an_escape(self):
        if not self.c:
            self.skipTest("no C compiler")
        data = b"a\x01\\\nb"  # escapes of 1, 4, 2, 2 and 1 bytes
        full = b"a\\x01\\\\\\nb"
        for cap in range(1, len(full) + 3):
            escaped, terminator = self.c_escape(data, cap)
            self.assertEqual(terminator, 0)
            self.assertLess(len(escaped), cap)
            self.assertTrue(full.startswith(escaped))
            self.assertIn(len(escaped), (0, 1, 5, 7, 9, 10))  # only whole escapes

    def test_unknown_and_cut_escapes_stay_as_they_stand(self):
        cases = ["\\q", "\\x4", "\\x", "\\", "a\\xzz"]
        for text in cases:
            self.assertEqual(lumovm.unescape_bytes(text), text.encode(), text)
            if self.c:
                self.assertEqual(self.c_unescape(text), text.encode(), text)


class Agent(unittest.TestCase):
    """The guest agent built for this machine with LUMO_AGENT_TEST: requests on
    standard input, its fixed places under a temporary root, and restart and
    power-off compiled out (it never acts on this machine)."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cc = shutil.which("cc") or shutil.which("gcc")
        cls.agent = os.path.join(cls.folder, "agent-test")
        if cc:
            subprocess.run([cc, "-std=gnu11", "-Wall", "-Wextra", "-Werror", "-DLUMO_AGENT_TEST",
                            "-o", cls.agent, os.path.join(VM, "guest", "agent.c"),
                            os.path.join(VM, "guest", "text.c")], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def setUp(self):
        if not os.path.exists(self.agent):
            self.skipTest("no C compiler")
        self.root = tempfile.mkdtemp()
        for sub in ("properties", "persist", "supply"):
            os.mkdir(os.path.join(self.root, sub))

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def ask(self, *lines):
        """Replies to request lines (each a list of words or a raw string)."""
        text = "".join((lumovm.request_line(l) if isinstance(l, list) else l) + "\n"
                       for l in lines)
        done = subprocess.run([self.agent], input=text.encode(), capture_output=True, timeout=30,
                              env=dict(os.environ, LUMO_AGENT_ROOT=self.root))
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.decode().splitlines()

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def test_files_read_and_written_byte_for_byte(self):
        data = bytes(range(256)) * 3
        with open(self.path("blob"), "wb") as f:
            f.write(data)
        with open(self.path("sysfs"), "w") as f:
            f.write("old text that is longer")
        text = "line one\nline two\t\\ é"
        replies = self.ask(["read", self.path("blob")], ["write", self.path("sysfs"), text],
                           ["put", self.path("new file"), text], ["write", self.path("absent"), "x"],
                           ["read", self.path("absent")], ["remove", self.path("blob")])
        self.assertEqual(lumovm.unescape_bytes(replies[0][3:]), data)
        self.assertEqual(replies[1:3], [f"ok {len(text.encode())}"] * 2)
        for name in ("sysfs", "new file"):
            with open(self.path(name), "rb") as f:
                self.assertEqual(f.read(), text.encode(), name)
        self.assertTrue(replies[3].startswith("err ") and "No such file" in replies[3])
        self.assertTrue(replies[4].startswith("err ") and "No such file" in replies[4])
        self.assertEqual(replies[5], "ok")
        self.assertFalse(os.path.exists(self.path("blob")))
        self.assertEqual(sorted(os.listdir(self.root)),
                         ["new file", "persist", "properties", "supply", "sysfs"])

    def test_property_store_rules(self):
        cases = [
            (["setprop", "sys.boot.android", "1"], "ok"),
            (["getprop", "sys.boot.android"], "ok 1"),
            (["setprop", "persist.sys.lumo.REBOOT", "1;2;3"], "ok"),
            (["setprop", "ro.lboot.brightness", "51"], "ok"),
            (["setprop", "ro.lboot.brightness", "52"], "err read-only property exists"),
            (["setprop", "a/b", "1"], "err bad key"),
            (["setprop", ".hidden", "1"], "err bad key"),
            (["setprop", "k" * 256, "1"], "err bad key"),
            (["setprop", "long", "v" * 92], "err value longer than 91 bytes"),
            (["setprop", "fits", "v" * 91], "ok"),
            (["setprop", "empty", ""], "ok"),
            (["getprop", "never.set"], "err unset"),
        ]
        replies = self.ask(*[request for request, _ in cases])
        for (request, want), got in zip(cases, replies):
            self.assertEqual(got, want, request)
        stores = {"properties": "sys.boot.android", "persist": "persist.sys.lumo.REBOOT"}
        for folder, key in stores.items():
            self.assertTrue(os.path.exists(self.path(folder, key)), key)
        with open(self.path("properties", "ro.lboot.brightness")) as f:
            self.assertEqual(f.read(), "51")
        with open(self.path("properties", "empty")) as f:
            self.assertEqual(f.read(), "")

    def test_commands_and_their_limits(self):
        replies = self.ask(["exec", "echo hi; echo err >&2; exit 3"],
                           ["exec", "head -c 70000 /dev/zero | tr '\\0' a"],
                           "x" * 9000, ["ping"], "nonsense", "read",
                           ["supply", "../../etc/passwd", "1"], ["supply", "battery_capacity", "42"],
                           ["start"], ["reboot", "reboot_off"], ["poweroff"])
        self.assertEqual(replies[0], "ok 3 hi\\nerr\\n")
        self.assertEqual(replies[1], "ok 0 " + "a" * 65536)
        self.assertEqual(replies[2:6], ["err line too long", "ok pong", "err unknown request",
                                        "err unknown request"])
        self.assertEqual(replies[6], "err bad supply value name")
        self.assertTrue(replies[7].startswith("err "), replies[7])  # the parameter file is absent
        self.assertEqual(replies[8], "ok")
        self.assertTrue(os.path.exists(self.path("start")))
        self.assertEqual(replies[9:], ["err no restart in a test build",
                                       "err no power-off in a test build"])

    def test_ps_lists_processes_with_peak_memory(self):
        replies = self.ask(["ps"])
        rows = [line.split(" ", 3) for line in lumovm.unescape(replies[0][3:]).splitlines()]
        mine = [r for r in rows if r[3] == "agent-test"]
        self.assertEqual(len(mine), 1, rows[:5])
        self.assertGreater(int(mine[0][2]), 0)
        self.assertIn(mine[0][1], "RSD")


class Screen(unittest.TestCase):
    def status(self, **fields):
        base = dict(magic=lumovm.STATUS_MAGIC, version=1, seq=1, xres=2, yres=2, xres_virtual=2,
                    yres_virtual=4, bpp=16, line_length=6, pixel_offset=4096, yoffset=2, page=1,
                    pans=1, blank=0, red=11, green=5, blue=0)
        base.update(fields)
        return base

    def test_status_block_fields_and_magic(self):
        values = self.status()
        raw = struct.pack(f"<{len(lumovm.STATUS_WORDS)}I",
                          *[values[k] for k in lumovm.STATUS_WORDS]) + bytes(4000)
        self.assertEqual(lumovm.read_status(raw), values)
        with self.assertRaises(lumovm.Failure):
            lumovm.read_status(bytes(4096))

    def test_565_pixels_widen_by_replicating_top_bits(self):
        # Rows of 2 pixels with 2 bytes of padding each (line_length 6).
        raw = struct.pack("<HHH", 0xF800, 0x07E0, 0xFFFF) + struct.pack("<HHH", 0x001F, 0x8410, 0)
        rows = lumovm.page_to_rgb(raw, self.status())
        self.assertEqual([r.hex() for r in rows], ["ff000000ff00", "0000ff848284"])

    def test_32_bit_pixels_follow_the_reported_offsets(self):
        raw = struct.pack("<II", 0x00123456, 0xFF0000FF)
        xrgb = self.status(bpp=32, line_length=8, xres=2, yres=1, red=16, green=8, blue=0)
        self.assertEqual(lumovm.page_to_rgb(raw, xrgb)[0].hex(), "1234560000ff")
        xbgr = dict(xrgb, red=0, green=8, blue=16)
        self.assertEqual(lumovm.page_to_rgb(raw, xbgr)[0].hex(), "563412ff0000")

    def test_png_reads_back(self):
        rows = [bytes([1, 2, 3, 4, 5, 6]), bytes([7, 8, 9, 10, 11, 12])]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "x.png")
            lumovm.write_png(path, rows, 2)
            with open(path, "rb") as f:
                data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        chunks, pos = {}, 8
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
            self.assertEqual(crc, zlib.crc32(kind + body), kind)
            chunks[kind] = body
            pos += 12 + length
        self.assertEqual(struct.unpack(">IIBBBBB", chunks[b"IHDR"]), (2, 2, 8, 2, 0, 0, 0))
        self.assertEqual(zlib.decompress(chunks[b"IDAT"]), b"\0" + rows[0] + b"\0" + rows[1])


class DrmVariant(unittest.TestCase):
    def test_gpu_option_adds_the_device_and_turns_fbdev_emulation_off(self):
        argv = lumovm.qemu_argv("/r", "k", "i", "lumo.wait=1", "2026-01-01T08:00:00", "480x800")
        self.assertEqual(argv[0], "qemu-system-arm")
        self.assertIn("virtio-gpu-device,xres=480,yres=800", argv)
        append = argv[argv.index("-append") + 1]
        self.assertTrue(append.endswith("lumo.wait=1 drm_kms_helper.fbdev_emulation=0"), append)
        plain = lumovm.qemu_argv("/r", "k", "i", "", "2026-01-01T08:00:00")
        self.assertFalse(any("virtio-gpu" in a or "fbdev_emulation" in a for a in plain))
        for bad in ("480", "480x", "x800", "0x800", "480x99999", "axb"):
            with self.assertRaises(lumovm.Failure, msg=bad):
                lumovm.parse_gpu(bad)


class ScreenVerdicts(unittest.TestCase):
    def rle(self, *runs):
        return b"".join(struct.pack("<HH", n, c) for n, c in runs)

    def test_runs_stop_before_passing_the_screen(self):
        self.assertEqual(lumovm.decode_565_rle(self.rle((2, 1), (3, 2)), 5), [1, 1, 2, 2, 2])
        self.assertEqual(lumovm.decode_565_rle(self.rle((2, 1), (4, 2)), 5), [1, 1])
        self.assertEqual(lumovm.decode_565_rle(self.rle((2, 1)) + b"\x01\x00", 5), [1, 1])

    def test_each_kind_on_each_page(self):
        black = [bytes(6), bytes(6)]
        logo = [bytes.fromhex("ff0000ff0000"), bytes.fromhex("0000ff000000")]
        rle = self.rle((2, 0xF800), (1, 0x001F), (1, 0))
        cases = [
            (black, "black", None), (black, "drawn", "the page is black"),
            (logo, "black", "pixel 0 is lit"), (logo, "drawn", None), (logo, "logo", None),
            (black, "logo", "3 of 4 logo pixels differ; first at x=0 y=0: screen 000000, logo ff0000"),
        ]
        for rows, kind, want in cases:
            self.assertEqual(lumovm.screen_verdict(rows, kind, rle), want, kind)
        self.assertEqual(lumovm.screen_verdict(logo, "logo", b""), "the logo draws no pixel")


class Shutdown(unittest.TestCase):
    def verdict(self, events, console):
        with tempfile.TemporaryDirectory() as run:
            with open(os.path.join(run, "events.jsonl"), "w") as f:
                for e in events:
                    f.write(json.dumps(e) + "\n")
            with open(os.path.join(run, "console.log"), "w") as f:
                f.write(console)
            out = io.StringIO()
            with redirect_stdout(out):
                lumovm.cmd_shutdown(SimpleNamespace(run=run, timeout=0.1))
            return out.getvalue().strip()

    def test_reason_of_each_end(self):
        stop = {"event": "STOP"}
        off = {"event": "SHUTDOWN", "data": {"guest": True, "reason": "guest-shutdown"}}
        reset = {"event": "SHUTDOWN", "data": {"guest": True, "reason": "guest-reset"}}
        restart = "[ 9.1] reboot: Restarting system with command '%s'\n"
        cases = [
            ([stop, off], "[ 9.1] reboot: Power down\n", "power-off"),
            ([reset], restart % "reboot_off", "restart reboot_off"),
            ([reset], "[ 9.1] reboot: Restarting system\n", "restart"),
            ([reset], restart % "a" + restart % "b c", "restart b c"),
        ]
        for events, console, want in cases:
            self.assertEqual(self.verdict(events, console), want)

    def test_no_shutdown_is_a_failure(self):
        with self.assertRaises(lumovm.Failure):
            self.verdict([{"event": "RESUME"}], "")


class Rtc(unittest.TestCase):
    def test_pl031_words(self):
        dump = ("0000000009010000: 0x6955c4a7 0x6955c536 0x00000000 0x00000001\r\n"
                "0000000009010010: 0x00000001\r\n")
        self.assertEqual(lumovm.parse_pl031(dump), (0x6955C4A7, 0x6955C536, 1))
        self.assertEqual(lumovm.parse_pl031(dump.replace("0x00000001\r\n", "0x00000000\r\n"))[2], 0)
        with self.assertRaises(lumovm.Failure):
            lumovm.parse_pl031("Cannot access memory\r\n")


if __name__ == "__main__":
    unittest.main()
