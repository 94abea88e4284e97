// The live page: polls /api/state five times a second or more, fetches the
// screen picture only when its version changed, and sends controls as
// scenario step lines to /api/step (the same steps a scenario plays).
"use strict";

const $ = (id) => document.getElementById(id);
let shownVersion = -1;

function say(text, isError) {
  const m = $("message");
  m.textContent = text;
  m.className = isError ? "message error" : "message";
}

async function post(url, fields) {
  const body = new URLSearchParams(fields);
  try {
    const r = await fetch(url, { method: "POST", body });
    const text = (await r.text()).trim();
    say(r.ok ? (fields.step || url.replace("/api/", "")) + ": " + text : text, !r.ok);
  } catch (e) {
    say("the server does not answer: " + e, true);
  }
  poll();
}

const step = (line) => post("/api/step", { step: line });
// Texts go in double quotes so that words with blanks ("Over voltage") stay one value.
const quoted = (text) => '"' + text.replace(/["\\]/g, "") + '"';

function seconds(ms) {
  return ms < 0 ? "      " : (ms / 1000).toFixed(3).padStart(8);
}

let controlsSet = false;
// The battery controls start from the phone's own record.
function setControls(b) {
  controlsSet = true;
  $("level").value = b.level;
  $("level-value").textContent = b.level;
  $("status").value = b.status;
  $("health").value = b.health;
  $("voltage").value = b.voltage_mv;
  $("charger-voltage").value = b.charger_voltage_mv;
  $("temp").value = b.temp;
}

function show(state) {
  if (!controlsSet) setControls(state.battery);
  $("program").textContent = "lumoboot: " + state.program;
  const led = parseInt(state.led, 16);
  const rgb = led & 0xffffff;
  $("led").textContent = rgb === 0 ? "off" : state.led;
  $("led-dot").style.background = rgb === 0 ? "#15181b" : "#" + state.led.slice(2);
  $("backlight").textContent = state.backlight;
  $("screen-state").textContent = state.screen || "-";
  const alarm = Number(state.alarm || 0);
  $("alarm-at").textContent = alarm > 0 ? new Date(alarm).toLocaleTimeString() : "none";
  const b = state.battery;
  const rows = [["level", b.level + " %"], ["status", b.status], ["health", b.health],
    ["voltage", b.voltage_mv + " mV"], ["charger voltage", b.charger_voltage_mv + " mV"],
    ["temperature", b.temp + " (0.1 \u00b0C)"], ["mains online", b.ac], ["USB online", b.usb]];
  $("record").replaceChildren(...rows.map(([k, v]) => {
    const tr = document.createElement("tr");
    tr.innerHTML = "<td></td><td></td>";
    tr.children[0].textContent = k;
    tr.children[1].textContent = v;
    return tr;
  }));
  const log = $("log");
  const atBottom = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.textContent = state.log.map((l) => seconds(l.ms) + "  " + l.line).join("\n");
  if (atBottom) log.scrollTop = log.scrollHeight;
  if (state.version !== shownVersion) {
    shownVersion = state.version;
    $("screen").src = "/screen.png?v=" + state.version;
    $("screen").dataset.version = state.version;
  }
}

let polling = false;
async function poll() {
  if (polling) return;
  polling = true;
  try {
    const r = await fetch("/api/state", { cache: "no-store" });
    if (r.ok) show(await r.json());
  } catch (e) {
    $("program").textContent = "the server does not answer";
  } finally {
    polling = false;
  }
}

document.querySelectorAll("button[data-step]").forEach((b) =>
  b.addEventListener("click", () => step(b.dataset.step)));
$("power-hold").addEventListener("click", () =>
  step("key press power hold " + Math.max(0, Number($("hold").value) | 0)));
$("level").addEventListener("input", () => { $("level-value").textContent = $("level").value; });
$("level").addEventListener("change", () => step("battery level=" + $("level").value));
$("status").addEventListener("change", () => step("battery status=" + quoted($("status").value)));
$("health").addEventListener("change", () => step("battery health=" + quoted($("health").value)));
$("apply-battery").addEventListener("click", () => step(
  "battery voltage=" + ($("voltage").value | 0) + " charger_voltage=" + ($("charger-voltage").value | 0) +
  " temp=" + ($("temp").value | 0)));
$("alarm").addEventListener("click", () => post("/api/alarm", { seconds: $("alarm-seconds").value }));
$("restart").addEventListener("click", () => post("/api/restart", {}));

setInterval(poll, 150);
poll();
