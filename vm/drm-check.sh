#!/usr/bin/env bash
# The DRM variant's screen check: builds the armhf Linux-backend lumoboot and
# the virtual phone, boots the phone with a virtio-gpu display (kernel fbdev
# emulation off) and checks through QMP screendump what the charging screen
# shows: the DRM display chosen, a drawn charging frame, the screen dark once
# the program turns it off, and the boot logo when the power key starts the
# phone (the output lit again). One line per check, "PASS name" or
# "FAIL name: why", then "N passed, M failed"; exit status 0 when all passed.
#
#   vm/drm-check.sh [--program PATH]   # PATH: an armhf static lumoboot (else built)
# Output (console log, screens) in $LUMO_VM_OUT/drm-check (default build-vm/drm-check).
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(dirname "$here")"
out="${LUMO_VM_OUT:-$top/build-vm}"
export LUMO_VM_OUT="$out"
check_dir="$out/drm-check"
run="$check_dir/run"
program=""
[ "${1:-}" = "--program" ] && program="$2"
passed=0
failed=0

pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
vm() { python3 "$here/lumovm.py" "$@"; }
lines() { wc -l < "$run/console.log"; }
# expect NAME COMMAND...: passes when the command succeeds.
expect() {
  local name="$1" got
  shift
  if got=$("$@" 2>&1); then pass "$name"; else fail "$name" "$got"; fi
}
finish() {
  vm quit "$run" >/dev/null 2>&1
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
trap 'vm quit "$run" >/dev/null 2>&1' EXIT

mkdir -p "$check_dir"
if [ -z "$program" ]; then
  program="$top/build-arm-linux/lumoboot"
  if ! { cmake -S "$top" -B "$top/build-arm-linux" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf.cmake" \
           -DLUMO_PLATFORM=linux -DLUMO_TESTS=OFF -DLUMO_BENCH=OFF -DLUMO_SIM=OFF -DCMAKE_BUILD_TYPE=MinSizeRel &&
         cmake --build "$top/build-arm-linux" -j2 --target lumoboot; } > "$check_dir/program.log" 2>&1; then
    fail "armhf Linux build" "see $check_dir/program.log"
    finish
    exit 1
  fi
fi
if ! "$here/build.sh" --program "$program" > "$check_dir/build.log" 2>&1; then
  fail "virtual phone build" "see $check_dir/build.log"
  finish
  exit 1
fi

rm -rf "$run"
if ! vm start "$run" --kernel "$out/vmlinuz" --initrd "$out/initramfs.cpio.gz" --gpu 480x800 \
       --append "lumo.wait=1 lumo_power.battery_capacity=30" > /dev/null ||
   ! vm wait-console "$run" "lumo-init: modules loaded" --timeout 60 > /dev/null; then
  fail "drm boot" "the phone did not boot (see $run)"
  finish
  exit 1
fi
vm agent "$run" write /sys/power/startup_mode STARTMODE_CHGINS > /dev/null
vm agent "$run" start > /dev/null

expect "drm display chosen, two pages" \
  vm wait-console "$run" "lumo: display: DRM /dev/dri/card0 .* 480x800@[0-9]+ XRGB8888, 2 page" --timeout 20
expect "drm display service: 32-bit pages" \
  vm wait-console "$run" "lumo: display: drm, 480x800, 32 bits" --timeout 5
sleep 1
expect "drm charging screen shows a frame" vm screen "$run" drawn --out "$check_dir/charging.png"

n=$(lines)
expect "drm screen turned off" vm wait-console "$run" "lumo: Set screen state \(0\)" --after "$n" --timeout 40
sleep 1
expect "drm screen dark" vm screen "$run" black --out "$check_dir/dark.png"

n=$(lines)
vm key "$run" power --hold 100
expect "drm power key shows the logo" vm wait-console "$run" "lumo: Show logo return 0" --after "$n" --timeout 15
# Checked before the program hands over (it waits for the boot animation).
expect "drm boot logo on the lit screen" vm screen "$run" logo --out "$check_dir/logo.png"
expect "drm screen lit again" vm wait-console "$run" "lumo: Set screen state \(1\)" --after "$n" --timeout 5
expect "drm master never lost" bash -c "! grep -q 'DRM master lost' '$run/console.log'"
cp "$run/console.log" "$check_dir/console.log" 2>/dev/null
finish
