#!/usr/bin/python3
"""The live page in headless Chromium on a fresh phone (`lumo-sim serve`): the controls, the
screen's pixels, the LED, backlight and log read-outs, refused requests, and the end of the
program with the server. Exits 77 (skipped) without Chromium, its driver, Selenium or Pillow.

    live_page_test.py LUMO_SIM [--picture OUT.png]
"""
import http.client
import io
import json
import os
import signal
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(why):
    print("SKIPPED: " + why + " (tools/setup.sh installs chromium, chromium-driver, python3-selenium, python3-pil)")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait
    from PIL import Image
except ImportError as e:
    skip("missing Python module: %s" % e.name)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    skip("no chromium or chromedriver on PATH")

STEP_S = 10  # the longest a read-out may take to follow a control


def start_server(sim, root):
    proc = subprocess.Popen([sim, "serve", root, "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if "http://127.0.0.1:" in line:
            return proc, int(line.split("http://127.0.0.1:")[1].split("/")[0])
    proc.kill()
    raise SystemExit("lumo-sim serve did not print its address:\n" + proc.stdout.read())


def raw_request(port, method, path, body=None):
    """A request sent as written: no client-side path clean-up."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Content-Type": "application/x-www-form-urlencoded"} if body is not None else {}
    conn.request(method, path, body=body, headers=headers)
    r = conn.getresponse()
    data = r.read()
    conn.close()
    return r.status, data


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1300", "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(20)
    return driver


class Page:
    def __init__(self, driver):
        self.d = driver

    def text(self, element_id):
        return self.d.execute_script("return document.getElementById(arguments[0]).textContent", element_id)

    def wait(self, what, condition, seconds=STEP_S):
        try:
            WebDriverWait(self.d, seconds, poll_frequency=0.05).until(lambda _: condition())
        except Exception:
            raise AssertionError("%s: not seen within %d s; program %r, backlight %r, led %r, last log:\n%s" % (
                what, seconds, self.text("program"), self.text("backlight"), self.text("led"),
                "\n".join(self.text("log").splitlines()[-8:])))

    def wait_text(self, element_id, wanted, seconds=STEP_S):
        self.wait("#%s == %r" % (element_id, wanted), lambda: self.text(element_id).strip() == wanted, seconds)

    def click(self, element_id):
        self.d.find_element("id", element_id).click()

    def screen_version(self):
        return self.d.execute_script("const i = document.getElementById('screen');"
                                     "return i.complete && i.naturalWidth > 0 ? i.dataset.version : null")

    def screen_brightness(self):
        """Mean brightness of the phone's screen as the page shows it (the left
        part of the picture: the right part is the LED and backlight panel)."""
        self.wait("screen picture loaded", lambda: self.screen_version() is not None)
        shot = Image.open(io.BytesIO(self.d.find_element("id", "screen").screenshot_as_png)).convert("L")
        w, h = shot.size
        screen = shot.crop((0, 0, int(w * 480 / 700), h))
        pixels = list(screen.getdata())
        return sum(pixels) / len(pixels)


def main():
    sim = os.path.abspath(sys.argv[1])
    picture = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--picture" else None
    work = tempfile.mkdtemp(prefix="lumo-live-")
    root = os.path.join(work, "phone")
    # Long time-outs: the screen changes only when the test says so.
    subprocess.run([sim, "create", root, "--level", "40", "--language", "en", "--country", "US",
                    "--prop", "ro.lboot.light.timeout=600000", "--prop", "ro.lboot.uncharge.light.tmr=600000"],
                   check=True, stdout=subprocess.DEVNULL)
    server, port = start_server(sim, root)
    driver = None
    try:
        # Requests that must be refused and change nothing.
        for method, path, body, status in [
                ("GET", "/../../etc/passwd", None, 404), ("GET", "/sim/web/index.html", None, 404),
                ("GET", "/app.js/../../CMakeLists.txt", None, 404),
                # which steps a control may be is live_test.cpp's table; here only that a refusal is a 400
                ("POST", "/api/step", "step=write+/x+y", 400), ("POST", "/api/step", "", 400),
                ("POST", "/api/alarm", "seconds=-5", 400), ("POST", "/api/alarm", "seconds=1%3B", 400)]:
            got, data = raw_request(port, method, path, body)
            assert got == status, "%s %s %r: %d, expected %d (%r)" % (method, path, body, got, status, data)
        assert not os.path.exists(os.path.join(root, "x")), "a refused write step changed the phone"

        driver = browser(os.path.join(work, "chromium-profile"))
        driver.get("http://127.0.0.1:%d/" % port)
        page = Page(driver)
        page.wait_text("backlight", "51")
        page.wait_text("led", "ffff0000")
        page.wait("the program runs", lambda: page.text("program") == "lumoboot: running")
        page.wait("log of the start", lambda: "Entry boot charged" in page.text("log"))
        # Each log line begins with the seconds since the start when it appeared.
        first = page.text("log").splitlines()[0].split()
        assert float(first[0]) >= 0 and first[1].startswith(("I/", "W/", "D/", "E/")), first
        page.wait("a drawn screen", lambda: page.screen_brightness() > 3)
        lit = page.screen_brightness()
        if picture:
            driver.save_screenshot(picture)

        # The screen key darkens the screen: read-out, screen state and pixels.
        page.click("screen-key")
        page.wait_text("backlight", "0")
        page.wait_text("screen-state", "mem")
        page.wait("picture of the dark screen", lambda: page.screen_brightness() < lit * 0.3)
        dark = page.screen_brightness()
        # A frame of the animation may still land while the sleep is handled;
        # after that nothing changes, and the picture is not fetched again.
        def unchanged_for_half_a_second():
            version = page.screen_version()
            time.sleep(0.5)
            return version is not None and page.screen_version() == version
        page.wait("a screen picture that stays the same while nothing happens", unchanged_for_half_a_second)
        page.click("screen-key")
        page.wait_text("backlight", "51")
        page.wait("picture of the lit screen", lambda: page.screen_brightness() > max(dark * 3, lit * 0.4))

        # Unplug and plug the mains charger: LED off, then red again.
        page.click("unplug-ac")
        page.wait_text("led", "off")
        page.wait("mains offline in the record", lambda: "mains online0" in page.text("record"))
        page.click("plug-ac")
        page.wait_text("led", "ffff0000")

        # The level slider to 100 and the status Full: the record and the green LED.
        driver.execute_script("const s = document.getElementById('level'); s.value = 100;"
                              "s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));")
        page.wait("level 100 in the record", lambda: "level100 %" in page.text("record"))
        driver.execute_script("const s = document.getElementById('status'); s.value = 'Full';"
                              "s.dispatchEvent(new Event('change'));")
        page.wait_text("led", "ff00ff00")

        # The power key boots Android: the log says so and the program ends.
        page.click("power")
        page.wait("power-key boot in the log", lambda: " LumoBoot -> STARTUP_PWRKEY." in page.text("log"))
        page.wait("the program ends", lambda: page.text("program") == "lumoboot: ended: lumoboot exited with status 0",
                  20)
        # A key for an ended program is refused, and the page says why.
        page.click("screen-key")
        page.wait("refusal shown", lambda: "running lumoboot" in page.text("message"))
        driver.quit()
        driver = None
        stop(server)

        # A second server on the same phone starts the program again (the
        # reset clears the run-once mark); stopping the server ends it.
        server, port = start_server(sim, root)
        pid = None
        deadline = time.monotonic() + STEP_S
        while pid is None and time.monotonic() < deadline:
            state = json.loads(raw_request(port, "GET", "/api/state")[1])
            lines = [l["line"] for l in state["log"] if "Entry boot charged" in l["line"]]
            pid = int(lines[0].split("(")[1].split(")")[0]) if lines else None
            time.sleep(0.1)
        assert pid is not None and state["program"] == "running", state["program"]
        os.kill(pid, 0)  # it runs
        stop(server)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and os.path.exists("/proc/%d" % pid):
            time.sleep(0.05)
        assert not os.path.exists("/proc/%d" % pid), "the program outlived the server"
        print("live page test passed")
    finally:
        if driver is not None:
            driver.quit()
        stop(server)
        shutil.rmtree(work, ignore_errors=True)


def stop(server):
    if server.poll() is not None:
        return
    server.send_signal(signal.SIGINT)  # Ctrl-C
    try:
        server.wait(10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait(10)


if __name__ == "__main__":
    main()
