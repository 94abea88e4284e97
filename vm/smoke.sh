#!/usr/bin/env bash
# Smoke check of the virtual phone: builds everything, boots the board with
# the board check program (not lumoboot) and checks from the host what the
# stories will rely on. One line per check, "PASS name" or "FAIL name: why",
# then timings, then "N passed, M failed". Exit status 0 when all passed.
#
# Two boots: the default phone (16-bit two-page screen, LEDs, vibrator), ended
# by a power-off with an RTC alarm armed; then a 32-bit single-page phone
# without LEDs, with the older battery attribute names, held until the agent
# starts the program, ended by a restart with a reason. Output (console logs, grabs) in $LUMO_VM_OUT/smoke (default
# build-vm/smoke).
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(dirname "$here")"
out="${LUMO_VM_OUT:-$top/build-vm}"
export LUMO_VM_OUT="$out"
smoke="$out/smoke"
passed=0
failed=0
run=""

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
vm() { python3 "$here/lumovm.py" "$@"; }
agent() { vm agent "$run" "$@" 2>&1; }
lines() { wc -l < "$run/console.log"; }
# check NAME WANT GOT
check() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "wanted '$2', got '$3'"; fi; }
# console NAME REGEX [AFTER] [TIMEOUT]
console() {
  local got
  if got=$(vm wait-console "$run" "$2" --after "${3:-0}" --timeout "${4:-10}" 2>&1); then
    pass "$1"
  else
    fail "$1" "$got"
  fi
}
cleanup() { [ -n "$run" ] && vm quit "$run" >/dev/null 2>&1; }
trap cleanup EXIT

start_all=$(now)
mkdir -p "$smoke"
if python3 -m unittest discover -s "$here/tests" > "$smoke/unit.log" 2>&1; then
  pass "host unit tests"
else
  fail "host unit tests" "see $smoke/unit.log"
fi
build_start=$(now)
if ! "$here/build.sh" > "$smoke/build.log" 2>&1; then
  fail build "see $smoke/build.log"
  echo "$passed passed, $failed failed"
  exit 1
fi
build_time=$(since "$build_start")
pass build

boot() {  # boot NAME KERNEL-ARGS...
  run="$smoke/$1"
  shift
  vm start "$run" --kernel "$out/vmlinuz" --initrd "$out/initramfs.cpio.gz" --append "$*" \
    > /dev/null || { fail "start $(basename "$run")" "QEMU did not start"; return 1; }
  local got
  if got=$(vm wait-console "$run" "lumo-init: /init started" --timeout 60 2>&1); then
    boot_time=${got%% *}
    pass "boot $(basename "$run") to /init"
  else
    fail "boot $(basename "$run") to /init" "$got"
    return 1
  fi
  console "modules loaded ($(basename "$run"))" "lumo-init: modules loaded" 0 30
}

first_boot() {
  boot default || return
  console "program started" "boardcheck: listening" 0 20
  check "agent lists the program with its peak memory" "S lumo-boardcheck" \
    "$(agent ps | awk '$4 == "lumo-boardcheck" && $3 > 0 { print $2, $4 }')"
  local modules m
  modules=$(agent exec "cut -d' ' -f1 /proc/modules")
  for m in lumo_power lumo_pm lumo_lights lumo_fb virtio_mmio virtio_input evdev \
           virtio_console ledtrig_transient; do
    case "$modules" in *"$m"*) ;; *) fail "module $m loaded" "not in /proc/modules"; continue ;; esac
    pass "module $m loaded"
  done

  local ps=/sys/class/power_supply
  check "supply types" "Mains USB Battery" \
    "$(agent read $ps/Mains/type) $(agent read $ps/usb/type) $(agent read $ps/battery/type)"
  check "supply values" "1 0 Charging Good 1 50 3800000 250 Li-ion 5000 500 1" "$(
    for f in Mains/online usb/online battery/status battery/health battery/present \
             battery/capacity battery/voltage_now battery/temp battery/technology \
             battery/charge_now battery/current_now battery/is_adapt_completed; do
      agent read "$ps/$f"; done | tr '\n' ' ' | sed 's/ *$//')"

  local n
  n=$(lines)
  agent supply battery_capacity 42 > /dev/null
  console "battery change arrives as a uevent" \
    "boardcheck: uevent change@/devices/platform/lumo-power/power_supply/battery" "$n" 5
  check "battery change readable" 42 "$(agent read $ps/battery/capacity)"
  n=$(lines)
  agent supply ac_online 0 > /dev/null
  console "unplug arrives as a Mains uevent" "boardcheck: uevent change@.*/power_supply/Mains" "$n" 5
  n=$(lines)
  agent supply hold 1 > /dev/null
  agent supply battery_capacity 43 > /dev/null
  agent supply battery_voltage_now 3900000 > /dev/null
  agent supply usb_online 1 > /dev/null
  agent supply hold 0 > /dev/null
  sleep 0.5
  local since_hold
  since_hold=$(tail -n +$((n + 1)) "$run/console.log" | tr -d '\r')
  check "held changes: one uevent per supply" "1 1" \
    "$(grep -c 'uevent change@.*/battery$' <<< "$since_hold") $(grep -c 'uevent change@.*/usb$' <<< "$since_hold")"
  agent supply battery_status not_charging > /dev/null
  check "status words" "Not charging" "$(agent read $ps/battery/status)"
  check "unknown status refused" "err" "$(agent supply battery_status Sleeping >/dev/null 2>&1 \
    && echo ok || echo err)"

  check "startup_mode default" STARTMODE_CHGINS "$(agent read /sys/power/startup_mode)"
  agent write /sys/power/app_boot reboot > /dev/null
  check "app_boot writable" reboot "$(agent read /sys/power/app_boot)"
  check "overlong startup_mode refused" err "$(agent write /sys/power/startup_mode \
    "$(printf 'x%.0s' $(seq 200))" >/dev/null 2>&1 && echo ok || echo err)"

  local grab
  grab=$(vm grab "$run" "$smoke/default-screen.png" --samples 2>&1)
  check "framebuffer panned to page 1" "page=1 pans=1 blank=0" \
    "$(echo "$grab" | head -n 1 | grep -o 'page=.*')"
  check "grab shows the pattern" "ff0000 00ff00 0000ff ffffff" \
    "$(echo "$grab" | sed -n 's/^sample [0-9] //p' | tr '\n' ' ' | sed 's/ *$//')"

  agent write /sys/power/wake_lock LumoBoot > /dev/null
  agent write /sys/power/wake_lock "Lumo.Boot 5000000" > /dev/null
  agent write /sys/power/wake_unlock LumoBoot > /dev/null
  check "wake locks taken and released" "Lumo.Boot|LumoBoot" \
    "$(agent read /sys/power/wake_lock)|$(agent read /sys/power/wake_unlock)"
  check "unknown wake lock release refused" err \
    "$(agent write /sys/power/wake_unlock Nobody >/dev/null 2>&1 && echo ok || echo err)"
  n=$(lines)
  vm key "$run" power --hold 50
  console "QMP power key arrives as key 116" "boardcheck: key 116 1 event1" "$n" 5
  console "power key released" "boardcheck: key 116 0 event1" "$n" 5
  n=$(lines)
  vm key "$run" end --down
  console "QMP end key arrives as key 107" "boardcheck: key 107 1 event1" "$n" 5
  sleep 0.3
  check "a key held down stays down" "" \
    "$(tail -n +$((n + 1)) "$run/console.log" | grep -o 'key 107 0 event1')"
  vm key "$run" end --up
  console "key 107 released on its own step" "boardcheck: key 107 0 event1" "$n" 5
  console "board check drew the logo" "boardcheck: logo shown" "$n" 5
  check "boot logo check on a 16-bit screen" logo \
    "$(vm screen "$run" logo --out "$smoke/default-logo.png" 2>&1)"
  n=$(lines)
  vm qmp "$run" system_powerdown > /dev/null
  console "gpio-keys power key (system_powerdown)" "boardcheck: key 116 1 event0" "$n" 5

  agent write /sys/class/leds/red/brightness 255 > /dev/null
  check "red LED writable" 255 "$(agent read /sys/class/leds/red/brightness)"
  agent write /sys/class/backlight/lumo-backlight/brightness 51 > /dev/null
  check "backlight writable" "51 255" "$(agent read /sys/class/backlight/lumo-backlight/brightness) $(
    agent read /sys/class/backlight/lumo-backlight/max_brightness)"
  agent exec "cd /sys/class/leds/vibrator && echo transient > trigger && echo 1 > state &&
              echo 150 > duration && echo 1 > activate && sleep 0.5" > /dev/null
  local buzz
  buzz=$(agent read /sys/module/lumo_lights/parameters/history | awk '
    $2 == "vibrator" && $3 == 1 { on = $1 } $2 == "vibrator" && $3 == 0 && on { off = $1 }
    END { if (on && off) print (off - on >= 140 && off - on < 400) ? "buzzed" : "buzzed " off - on " ms"; else print "no buzz" }')
  check "vibrator buzzes through the transient trigger" buzzed "$buzz"

  agent setprop sys.boot.android 1 > /dev/null
  console "init answers the hand-over" "lumo-init: init.svc.bootanim = running" 0 5
  check "init.svc.bootanim set" running "$(agent getprop init.svc.bootanim)"

  local rtc_now alarm
  rtc_now=$(agent exec 'date +%s' | sed 's/^0 //')
  agent exec "echo $((rtc_now + 600)) > /sys/class/rtc/rtc0/wakealarm" > /dev/null
  agent poweroff > /dev/null
  check "power off seen by the host" power-off "$(vm shutdown "$run" --timeout 15 2>&1)"
  alarm=$(vm rtc "$run" 2>&1)
  check "RTC alarm readable after power-off" "match $((rtc_now + 600)) enabled 1" \
    "$(echo "$alarm" | grep -o 'match.*')"
  vm quit "$run"
}

second_boot() {
  boot variant lumo_fb.bpp=32 lumo_fb.pages=1 lumo_lights.leds=0 lumo_lights.vibrator=0 \
    lumo_pm.startup_mode=STARTMODE_ALARM lumo_power.legacy_names=1 lumo.wait=1 || return
  sleep 0.5
  check "program held until started" "" "$(grep -o 'boardcheck: start' "$run/console.log")"
  local grab
  grab=$(vm grab "$run" "$smoke/variant-before.png" --samples 2>&1)
  check "screen starts black, not panned" "page=0 pans=0 blank=0 000000 000000 000000 000000" \
    "$(echo "$grab" | head -n 1 | grep -o 'page=.*') $(echo "$grab" | sed -n 's/^sample [0-9] //p' |
       tr '\n' ' ' | sed 's/ *$//')"
  check "device nodes and stores" "ok" "$(agent exec 'for p in /dev/tty0 /dev/rtc0 /dev/kmsg \
    /dev/graphics/fb0 /dev/input/event0 /dev/input/event1 /run/lumoboot/properties \
    /var/lib/lumoboot/properties /system/lumo/res/zelt_logo.png /initlogo.rle; do
    [ -e $p ] || echo missing $p; done; echo ok' | sed 's/^0 //')"
  agent start > /dev/null
  console "program started by the agent" "boardcheck: listening" 0 20
  check "startup_mode from the command line" STARTMODE_ALARM "$(agent read /sys/power/startup_mode)"
  check "older battery attribute names" "3800 250 absent" "$(agent exec 'cd /sys/class/power_supply/battery
    cat batt_vol batt_temp; [ -e voltage_now ] || [ -e temp ] || echo absent' | sed 's/^0 //' |
    tr '\n' ' ' | sed 's/ *$//')"
  check "no LEDs, no vibrator" "lumo-backlight" \
    "$(agent exec 'ls /sys/class/leds | grep -v :: ; ls /sys/class/backlight' | sed 's/^0 //' |
       tr '\n' ' ' | sed 's/ *$//')"
  grab=$(vm grab "$run" "$smoke/variant-screen.png" --samples 2>&1)
  check "32-bit single-page screen" "bpp=32 yres_virtual=800 page=0" \
    "$(echo "$grab" | head -n 1 | grep -o 'bpp=[0-9]* yres_virtual=[0-9]* page=[0-9]*')"
  check "grab shows the 32-bit pattern" "ff0000 00ff00 0000ff ffffff" \
    "$(echo "$grab" | sed -n 's/^sample [0-9] //p' | tr '\n' ' ' | sed 's/ *$//')"
  local n
  n=$(lines)
  vm key "$run" end --hold 50
  console "board check drew the logo (32-bit)" "boardcheck: logo shown" "$n" 5
  check "boot logo check on a 32-bit screen" logo "$(vm screen "$run" logo 2>&1)"
  check "a wrong logo is told apart" "differ" "$(vm screen "$run" logo \
    --rle <(printf '\x10\x00\xff\xff') 2>&1 | grep -o differ)"
  check "board modules unload and load again" "0 ok" "$(agent exec 'set -e
    for m in lumo_fb lumo_lights lumo_power lumo_pm; do rmmod $m; done
    for m in lumo_pm lumo_power lumo_lights lumo_fb; do modprobe $m; done
    cat /sys/class/power_supply/battery/capacity /sys/power/startup_mode /dev/null > /dev/null
    [ -e /sys/class/backlight/lumo-backlight ] && [ -e /dev/fb0 ] && echo ok' 2>&1)"
  agent reboot reboot_off > /dev/null
  check "restart with its reason seen by the host" "restart reboot_off" \
    "$(vm shutdown "$run" --timeout 15 2>&1)"
  vm quit "$run"
}

first_boot
first_boot_time=${boot_time:-?}
second_boot
run=""
check "no kernel oops, bug or warning" "" \
  "$(cat "$smoke"/*/console.log 2>/dev/null | grep -E 'Oops|BUG:|WARNING:|Call trace' | head -n 1)"
echo "timing: build ${build_time} s, boot to /init ${first_boot_time} s," \
     "smoke run $(since "$start_all") s, initramfs $(stat -c %s "$out/initramfs.cpio.gz") bytes"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
