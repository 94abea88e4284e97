#!/usr/bin/env python3
"""Host side of the virtual phone: start it, talk to it, look at it, stop it.

One run folder (RUN) holds everything of one machine: qmp.sock (commands),
events.sock + events.jsonl (every QMP event, logged from the first
instruction on), agent.sock (the guest agent's virtio-serial port),
console.log (the serial console: kernel and program log), qemu.pid,
started (the host time of the first instruction, seconds).

    lumovm.py start RUN --kernel K --initrd I [--append WORDS] [--rtc-base T] [--gpu WxH]
    lumovm.py agent RUN REQUEST...          one agent request, prints the reply
    lumovm.py key RUN QCODE [--hold MS | --down | --up]   a key (power, end, ...)
    lumovm.py grab RUN OUT.png [--samples]  the shown framebuffer page as PNG
    lumovm.py screen RUN logo|black|drawn [--rle FILE] [--out PNG]
                                            does the shown page show the boot logo, nothing, something?
                                            (the board framebuffer's; a --gpu machine's screen is
                                            QMP screendump's, read by lumo-sim run --vm)
    lumovm.py wait-console RUN REGEX [--timeout S] [--after N]
    lumovm.py shutdown RUN [--timeout S]    waits for SHUTDOWN: "power-off" or "restart [REASON]"
    lumovm.py rtc RUN                       pl031 registers: "time T match M enabled E"
    lumovm.py qmp RUN COMMAND [JSON-ARGUMENTS]   any QMP command, prints its return
    lumovm.py quit RUN

Exit status 0 on success, 1 on a failed wait or request, 2 on bad use.
The protocol is described in vm/README.md, for drivers written in other
languages.
"""
import argparse
import array
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

FB_WINDOW = 0x5E000000       # lumo_fb's default physical window
STATUS_MAGIC = 0x4246554C    # "LUFB"
STATUS_WORDS = ("magic version seq xres yres xres_virtual yres_virtual bpp line_length "
                "pixel_offset yoffset page pans blank red green blue").split()
PL031 = 0x09010000           # the virt board's RTC
KERNEL_ARGS = ("console=ttyAMA0 mem=480M fbcon=map:1 printk.devkmsg=on loglevel=8 "
               "rdinit=/init")


class Failure(Exception):
    pass


def run_path(run, name):
    return os.path.join(os.path.abspath(run), name)


# ---------------------------------------------------------------- QMP

class Qmp:
    """A QMP connection: greeting, capabilities, then commands in order."""

    def __init__(self, path, timeout=10.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buf = b""
        self.events = []
        self.read_message()  # greeting
        self.execute("qmp_capabilities")

    def read_message(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Failure("QMP connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def execute(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            reply = self.read_message()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise Failure(f"{command}: {reply['error'].get('desc')}")
            elif "return" in reply:
                return reply["return"]

    def hmp(self, line):
        return self.execute("human-monitor-command", **{"command-line": line})

    def close(self):
        self.sock.close()


def connect(run):
    try:
        return Qmp(run_path(run, "qmp.sock"))
    except OSError as e:
        raise Failure(f"no machine in {run}: {e}")


# ---------------------------------------------------------------- start

def parse_gpu(text):
    """(width, height) of a --gpu WxH option."""
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise Failure(f"--gpu wants WIDTHxHEIGHT, not {text!r}")
    if not (16 <= width <= 4096 and 16 <= height <= 4096):
        raise Failure(f"--gpu size out of range: {text}")
    return width, height


def gpu_argv(gpu):
    """The DRM variant: a virtio-gpu display, the kernel's fbdev emulation off."""
    if not gpu:
        return [], ""
    width, height = parse_gpu(gpu)
    return (["-device", f"virtio-gpu-device,xres={width},yres={height}"],
            "drm_kms_helper.fbdev_emulation=0")


def qemu_argv(run, kernel, initrd, append, rtc_base, gpu=None):
    devices, words = gpu_argv(gpu)
    append = f"{append} {words}".strip()
    return [
        "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", "512",
        "-smp", "1", "-nic", "none", "-global", "virtio-mmio.force-legacy=false",
        "-kernel", kernel, "-initrd", initrd, "-append", f"{KERNEL_ARGS} {append}".strip(),
        "-device", "virtio-keyboard-device",
        "-device", "virtio-serial-device",
        "-chardev", f"socket,id=agent,path={run_path(run, 'agent.sock')},server=on,wait=off",
        "-device", "virtserialport,chardev=agent,name=lumo.agent",
        "-qmp", f"unix:{run_path(run, 'qmp.sock')},server=on,wait=off",
        "-qmp", f"unix:{run_path(run, 'events.sock')},server=on,wait=off",
        "-serial", f"file:{run_path(run, 'console.log')}",
        "-display", "none", "-monitor", "none",
        "-no-reboot", "-action", "shutdown=pause",
        "-rtc", f"base={rtc_base}", "-S",
    ] + devices


def wait_for(predicate, timeout, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def machine_pid(run):
    """The pid of the run folder's QEMU while it is alive, else None."""
    try:
        with open(run_path(run, "qemu.pid")) as f:
            pid = int(f.read())
        os.kill(pid, 0)
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return pid if b"qemu-system-arm" in f.read() else None
    except (OSError, ValueError):
        return None


def check_run_folder(run):
    # QEMU splits options at commas, and a Unix socket path has at most 107 bytes.
    if "," in run:
        raise Failure(f"a run folder with a comma cannot be passed to QEMU: {run}")
    if len(run_path(run, "events.sock").encode()) > 107:
        raise Failure(f"run folder too deep for a Unix socket path: {run}")
    if machine_pid(run):
        raise Failure(f"a machine still runs in {run} (lumovm.py quit first)")


def qemu_ended(run, qemu):
    if qemu.poll() is None:
        return None
    with open(run_path(run, "qemu.log")) as f:
        return Failure("QEMU ended: " + f.read().strip())


def launch(run, args):
    """Starts QEMU stopped, then the event logger; returns QEMU's Popen."""
    for path in (args.kernel, args.initrd):
        if not os.path.isfile(path):
            raise Failure(f"no such file: {path}")
    with open(run_path(run, "qemu.log"), "wb") as log:
        qemu = subprocess.Popen(
            qemu_argv(run, os.path.abspath(args.kernel), os.path.abspath(args.initrd),
                      args.append, args.rtc_base, args.gpu),
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True)
    with open(run_path(run, "qemu.pid"), "w") as f:
        f.write(f"{qemu.pid}\n")
    if not wait_for(lambda: os.path.exists(run_path(run, "events.sock")) or
                    qemu.poll() is not None, 10):
        raise Failure("QEMU did not open its sockets")
    if qemu_ended(run, qemu):
        raise qemu_ended(run, qemu)
    with open(run_path(run, "events.log"), "wb") as log:
        subprocess.Popen([sys.executable, os.path.abspath(__file__), "_events", run],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                         start_new_session=True)
    if not wait_for(lambda: os.path.exists(run_path(run, "events.ready")) or
                    qemu.poll() is not None, 10):
        raise Failure("the event logger did not connect")
    if qemu_ended(run, qemu):
        raise qemu_ended(run, qemu)
    return qemu


def cmd_start(args):
    run = os.path.abspath(args.run)
    os.makedirs(run, exist_ok=True)
    check_run_folder(run)
    for name in ("qmp.sock", "events.sock", "agent.sock", "console.log", "events.jsonl",
                 "events.ready", "started", "gpu"):
        if os.path.exists(run_path(run, name)):
            os.unlink(run_path(run, name))
    if args.gpu:
        parse_gpu(args.gpu)
        with open(run_path(run, "gpu"), "w") as f:  # grab, screen refuse it
            f.write(f"{args.gpu}\n")
    qemu = None
    try:
        qemu = launch(run, args)
        qmp = connect(run)
        with open(run_path(run, "started"), "w") as f:
            f.write(f"{time.time():.6f}\n")
        qmp.execute("cont")
        qmp.close()
    except Failure:
        if qemu and qemu.poll() is None:
            qemu.kill()  # a half-started machine is not left behind
            qemu.wait()
        raise
    print(qemu.pid)


def cmd_events(args):
    """Logs every QMP event of the machine to events.jsonl until it ends."""
    qmp = Qmp(run_path(args.run, "events.sock"), timeout=None)
    with open(run_path(args.run, "events.jsonl"), "a") as out:
        open(run_path(args.run, "events.ready"), "w").close()
        while True:
            try:
                message = qmp.read_message()
            except (Failure, OSError):
                return
            if "event" in message:
                out.write(json.dumps(message) + "\n")
                out.flush()


# ---------------------------------------------------------------- agent

def agent_request(run, line, timeout=10.0):
    """Sends one request line, returns the reply line (without newline)."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.connect(run_path(run, "agent.sock"))
        sock.sendall(line.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = sock.recv(65536)
            if not chunk:
                break
            reply += chunk
    except OSError as e:
        raise Failure(f"agent: {e}")
    finally:
        sock.close()
    if not reply.endswith(b"\n"):
        raise Failure("agent: no reply")
    return reply[:-1].decode(errors="replace")


def escape(text):
    """A request word: every byte the agent's unescape restores, blanks as \\x20."""
    out = []
    for byte in text.encode():
        if byte == 0x5C:
            out.append("\\\\")
        elif byte == 0x0A:
            out.append("\\n")
        elif byte == 0x09:
            out.append("\\t")
        elif byte <= 0x20 or byte >= 0x7F:
            out.append(f"\\x{byte:02x}")
        else:
            out.append(chr(byte))
    return "".join(out)


ESCAPE = re.compile(rb"\\(\\|n|t|x[0-9a-fA-F]{2})")


def unescape_bytes(text):
    """The bytes of an escaped reply text; unknown escapes stay as they are."""
    def byte(m):
        code = m.group(1)
        return {b"\\": b"\\", b"n": b"\n", b"t": b"\t"}.get(code) or bytes([int(code[1:], 16)])
    return ESCAPE.sub(byte, text.encode())


def unescape(text):
    return unescape_bytes(text).decode(errors="replace")


def request_line(words):
    """One request line: every word escaped, blanks kept in the last one (it
    takes the rest of the line)."""
    return " ".join([escape(w) for w in words[:-1]] + [escape(words[-1]).replace("\\x20", " ")])


def cmd_agent(args):
    reply = agent_request(args.run, request_line(args.request), args.timeout)
    status, _, text = reply.partition(" ")
    text = unescape(text)
    if status != "ok":
        raise Failure(f"agent: {text}")
    # The reply's text as it stands (a file's own trailing newline included),
    # ended by one newline when it has none.
    sys.stdout.write(text if text.endswith("\n") else text + "\n")


# ---------------------------------------------------------------- keys

def cmd_key(args):
    qmp = connect(args.run)
    if args.down or args.up:
        # One edge only: the key stays down until an --up.
        qmp.execute("input-send-event", events=[{"type": "key", "data": {
            "down": bool(args.down), "key": {"type": "qcode", "data": args.qcode}}}])
    else:
        qmp.execute("send-key", keys=[{"type": "qcode", "data": args.qcode}],
                    **{"hold-time": args.hold})
    qmp.close()


# ---------------------------------------------------------------- screen

def read_status(words_bytes):
    words = struct.unpack_from(f"<{len(STATUS_WORDS)}I", words_bytes)
    status = dict(zip(STATUS_WORDS, words))
    if status["magic"] != STATUS_MAGIC:
        raise Failure("no framebuffer status block (lumo_fb not loaded?)")
    return status


WIDE_565 = None


def page_to_rgb(raw, status):
    """Rows of RGB bytes from one page of the framebuffer's pixel memory."""
    global WIDE_565
    width, height, bpp = status["xres"], status["yres"], status["bpp"]
    line = status["line_length"]
    if bpp == 16 and WIDE_565 is None:
        WIDE_565 = [widen_565(p) for p in range(65536)]
    rows = []
    for y in range(height):
        row = raw[y * line:y * line + width * bpp // 8]
        if bpp == 16:
            pixels = array.array("H", row)
            if sys.byteorder != "little":
                pixels.byteswap()
            rows.append(b"".join(WIDE_565[p] for p in pixels))
            continue
        # 32 bits: each channel is one byte of the little-endian word.
        out = bytearray(width * 3)
        for channel, name in enumerate(("red", "green", "blue")):
            out[channel::3] = row[status[name] // 8::4]
        rows.append(bytes(out))
    return rows


def write_png(path, rows, width):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, len(rows), 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def pmem(qmp, address, size):
    with tempfile.NamedTemporaryFile(prefix="lumovm-", delete=False) as f:
        path = f.name
    try:
        qmp.execute("pmemsave", val=address, size=size, filename=path)
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.unlink(path)


def grab(run):
    """The status block and the shown page's RGB rows, read while stopped."""
    if os.path.exists(run_path(run, "gpu")):
        # The board's framebuffer is not what the DRM variant shows.
        raise Failure("a DRM-variant machine: its screen is QMP screendump's "
                      "(lumo-sim run --vm reads it)")
    qmp = connect(run)
    running = qmp.execute("query-status").get("running", False)
    if running:
        qmp.execute("stop")
    try:
        status = read_status(pmem(qmp, FB_WINDOW, 4096))
        page_bytes = status["line_length"] * status["yres"]
        start = FB_WINDOW + status["pixel_offset"] + status["yoffset"] * status["line_length"]
        raw = pmem(qmp, start, page_bytes)
    finally:
        if running:
            qmp.execute("cont")
        qmp.close()
    return status, page_to_rgb(raw, status)


def cmd_grab(args):
    status, rows = grab(args.run)
    write_png(args.out, rows, status["xres"])
    summary = " ".join(f"{k}={status.get(k, '-')}" for k in
                       ("xres", "yres", "bpp", "yres_virtual", "page", "pans", "blank"))
    print(summary)
    if args.samples:
        # The colour at the middle of each quarter of the screen's height.
        x = status["xres"] // 2
        for quarter in range(4):
            y = status["yres"] * (2 * quarter + 1) // 8
            print("sample %d %s" % (quarter, rows[y][3 * x:3 * x + 3].hex()))


def decode_565_rle(data, max_pixels):
    """Pixels of a run-length RGB565 file: (count, colour) pairs of
    little-endian 16-bit words; a run that would pass max_pixels ends it."""
    pixels = []
    for i in range(0, len(data) - 3, 4):
        count, colour = struct.unpack_from("<HH", data, i)
        if count > max_pixels - len(pixels):
            break
        pixels += [colour] * count
    return pixels


def widen_565(colour):
    r, g, b = colour >> 11, (colour >> 5) & 0x3F, colour & 0x1F
    return bytes(((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)))


def screen_verdict(rows, kind, rle=b""):
    """None when the page (RGB rows) shows `kind`, else why not."""
    page = b"".join(rows)
    if kind == "black":
        lit = next((i for i, v in enumerate(page) if v), None)
        return None if lit is None else f"pixel {lit // 3} is lit"
    if kind == "drawn":
        return None if any(page) else "the page is black"
    logo = decode_565_rle(rle, len(page) // 3)
    if not logo:
        return "the logo draws no pixel"
    widened = b"".join(widen_565(c) for c in logo)
    if page[:len(widened)] == widened:
        return None
    differ = [i for i in range(len(logo)) if page[3 * i:3 * i + 3] != widened[3 * i:3 * i + 3]]
    width = len(rows[0]) // 3
    first = differ[0]
    return (f"{len(differ)} of {len(logo)} logo pixels differ; first at x={first % width} "
            f"y={first // width}: screen {page[3 * first:3 * first + 3].hex()}, "
            f"logo {widened[3 * first:3 * first + 3].hex()}")


def cmd_screen(args):
    status, rows = grab(args.run)
    if args.out:
        write_png(args.out, rows, status["xres"])
    rle = b""
    if args.kind == "logo":
        with open(args.rle, "rb") as f:
            rle = f.read()
    why = screen_verdict(rows, args.kind, rle)
    if why:
        raise Failure(f"screen is not {args.kind}: {why}")
    print(args.kind)


# ---------------------------------------------------------------- console

def console_text(run):
    try:
        with open(run_path(run, "console.log"), "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


def started_at(run):
    try:
        with open(run_path(run, "started")) as f:
            return float(f.read())
    except (OSError, ValueError):
        return time.time()


def cmd_wait_console(args):
    pattern = re.compile(args.regex)
    found = []

    def seen():
        lines = console_text(args.run).splitlines()[args.after:]
        found[:] = [line for line in lines if pattern.search(line)]
        return bool(found)
    if not wait_for(seen, args.timeout, 0.05):
        raise Failure(f"no console line matching {args.regex!r} in {args.timeout} s")
    print(f"{time.time() - started_at(args.run):.3f} {found[0].strip()}")


# ---------------------------------------------------------------- shutdown, RTC, quit

def shutdown_event(run):
    try:
        with open(run_path(run, "events.jsonl")) as f:
            for line in f:
                event = json.loads(line)
                if event.get("event") == "SHUTDOWN":
                    return event
    except FileNotFoundError:
        pass
    return None


def cmd_shutdown(args):
    if not wait_for(lambda: shutdown_event(args.run) is not None, args.timeout, 0.05):
        raise Failure(f"no SHUTDOWN in {args.timeout} s")
    reason = shutdown_event(args.run)["data"].get("reason")
    if reason == "guest-shutdown":
        print("power-off")
        return
    if reason != "guest-reset":
        print(reason)
        return
    command = re.findall(r"reboot: Restarting system with command '(.*)'", console_text(args.run))
    print("restart" + (f" {command[-1]}" if command else ""))


def cmd_rtc(args):
    qmp = connect(args.run)
    text = qmp.hmp(f"xp /5wx {PL031:#x}")
    qmp.close()
    time_now, match, enabled = parse_pl031(text)
    print(f"time {time_now} match {match} enabled {enabled}")


def parse_pl031(text):
    """(time, match, armed) from "xp /5wx" lines "ADDRESS: 0xWORD ...": the
    pl031's DR, MR, LR, CR and IMSC; the alarm is armed when IMSC bit 0 is set."""
    words = []
    for line in text.splitlines():
        _, colon, values = line.partition(":")
        if colon:
            words += [int(w, 16) for w in values.split()]
    if len(words) < 5:
        raise Failure(f"unexpected pl031 dump: {text!r}")
    return words[0], words[1], words[4] & 1


def cmd_qmp(args):
    qmp = connect(args.run)
    result = qmp.execute(args.qmp_command, **json.loads(args.arguments or "{}"))
    qmp.close()
    print(json.dumps(result))


def cmd_quit(args):
    try:
        qmp = connect(args.run)
        qmp.execute("quit")
        qmp.close()
    except (Failure, OSError):
        pass
    pid = machine_pid(args.run)
    if pid and not wait_for(lambda: machine_pid(args.run) is None, 5, 0.05):
        os.kill(pid, signal.SIGKILL)


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("start")
    p.add_argument("run")
    p.add_argument("--kernel", required=True)
    p.add_argument("--initrd", required=True)
    p.add_argument("--append", default="")
    p.add_argument("--rtc-base", default="2026-01-01T08:00:00")
    p.add_argument("--gpu", metavar="WxH",
                   help="DRM variant: a virtio-gpu display of that size (fbdev emulation off)")
    p.set_defaults(func=cmd_start)
    p = sub.add_parser("_events")
    p.add_argument("run")
    p.set_defaults(func=cmd_events)
    p = sub.add_parser("agent")
    p.add_argument("run")
    p.add_argument("request", nargs="+")
    p.add_argument("--timeout", type=float, default=10.0)
    p.set_defaults(func=cmd_agent)
    p = sub.add_parser("key")
    p.add_argument("run")
    p.add_argument("qcode")
    p.add_argument("--hold", type=int, default=100)
    edge = p.add_mutually_exclusive_group()
    edge.add_argument("--down", action="store_true")
    edge.add_argument("--up", action="store_true")
    p.set_defaults(func=cmd_key)
    p = sub.add_parser("grab")
    p.add_argument("run")
    p.add_argument("out")
    p.add_argument("--samples", action="store_true")
    p.set_defaults(func=cmd_grab)
    p = sub.add_parser("screen")
    p.add_argument("run")
    p.add_argument("kind", choices=("logo", "black", "drawn"))
    p.add_argument("--rle", default=os.path.join(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))), "res", "initlogo.rle"))
    p.add_argument("--out")
    p.set_defaults(func=cmd_screen)
    p = sub.add_parser("wait-console")
    p.add_argument("run")
    p.add_argument("regex")
    p.add_argument("--timeout", type=float, default=30.0)
    p.add_argument("--after", type=int, default=0, help="skip the first N console lines")
    p.set_defaults(func=cmd_wait_console)
    p = sub.add_parser("shutdown")
    p.add_argument("run")
    p.add_argument("--timeout", type=float, default=30.0)
    p.set_defaults(func=cmd_shutdown)
    p = sub.add_parser("rtc")
    p.add_argument("run")
    p.set_defaults(func=cmd_rtc)
    p = sub.add_parser("qmp")
    p.add_argument("run")
    p.add_argument("qmp_command")
    p.add_argument("arguments", nargs="?")
    p.set_defaults(func=cmd_qmp)
    p = sub.add_parser("quit")
    p.add_argument("run")
    p.set_defaults(func=cmd_quit)
    args = parser.parse_args()
    try:
        args.func(args)
    except Failure as e:
        print(f"lumovm: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
