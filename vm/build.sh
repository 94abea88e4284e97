#!/usr/bin/env bash
# Builds the virtual phone: the board's kernel modules, the guest programs and
# the initramfs, into an output folder (default build-vm/ at the top of the
# tree; LUMO_VM_OUT overrides it).
#
#   vm/build.sh [--program PATH]
#
# --program PATH puts an armhf lumoboot (Linux backend, static) into the image
# as /bin/lumoboot; without it the image runs the board check program
# (vm/guest/boardcheck.c). Fetches what it needs first (vm/fetch.sh).
#
# Leaves in the output folder: vmlinuz, initramfs.cpio.gz, board/*.ko, and
# image.txt (kernel version, what the image holds, its size).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(dirname "$here")"
out="${LUMO_VM_OUT:-$top/build-vm}"
program=""
while [ $# -gt 0 ]; do
  case "$1" in
    --program) program="$2"; shift 2 ;;
    *) echo "usage: vm/build.sh [--program PATH]" >&2; exit 2 ;;
  esac
done

# A 32-bit ARM executable without a program interpreter (statically linked).
is_static_arm() {
  local header
  header=$(LC_ALL=C readelf -h "$1" 2>/dev/null) || return 1
  grep -q "Class: *ELF32" <<< "$header" && grep -q "Machine: *ARM$" <<< "$header" &&
    grep -q "Type: *EXEC\|Type: *DYN" <<< "$header" &&
    ! LC_ALL=C readelf -l "$1" 2>/dev/null | grep -q "INTERP"
}
if [ -n "$program" ]; then
  [ -f "$program" ] || { echo "vm/build: no program at $program" >&2; exit 2; }
  is_static_arm "$program" ||
    { echo "vm/build: $program is not a static 32-bit ARM executable" >&2; exit 2; }
fi

tree="$("$here/fetch.sh" | tail -n 1)"
kroot="$tree/root"
kver="$(basename "$(ls -d "$kroot"/lib/modules/*-armmp | head -n 1)")"
headers="$kroot/usr/src/linux-headers-$kver"
cross=arm-linux-gnueabihf-
mkdir -p "$out"

build_board() {
  rm -rf "$out/board"
  mkdir -p "$out/board"
  cp "$here"/board/*.c "$here/board/Kbuild" "$out/board/"
  make -s -C "$headers" M="$out/board" ARCH=arm CROSS_COMPILE="$cross" modules
}

build_guest() {
  local flags=(-std=gnu11 -O2 -Wall -Wextra -Werror -static -s)
  mkdir -p "$out/guest"
  "${cross}gcc" "${flags[@]}" -o "$out/guest/lumo-agent" "$here/guest/agent.c" "$here/guest/text.c"
  "${cross}gcc" "${flags[@]}" -o "$out/guest/lumo-boardcheck" "$here/guest/boardcheck.c"
}

# Prints the kernel modules NAME needs, itself last, as paths relative to
# lib/modules/KVER (from the kernel tree's modules.dep).
module_closure() {
  local dep="$kroot/lib/modules/$kver/modules.dep" line path
  line=$(grep -E "/$1\.ko:" "$dep" | head -n 1)
  [ -n "$line" ] || { echo "vm/build: kernel module $1 not found" >&2; return 1; }
  path="${line%%:*}"
  for d in ${line#*:}; do module_closure "$(basename "$d" .ko)"; done
  echo "$path"
}

build_initramfs() {
  local root="$out/initramfs" mods
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,proc,sys,dev,run,tmp,var/lib,system/lumo/res} \
           "$root/lib/modules/$kver/extra"
  cp "$kroot/bin/busybox" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  cp "$here/guest/init" "$root/init"
  cp "$out/guest/lumo-agent" "$out/guest/lumo-boardcheck" "$root/bin/"
  [ -n "$program" ] && install -m 0755 "$program" "$root/bin/lumoboot"
  cp "$top"/res/*.png "$root/system/lumo/res/"
  cp "$top/res/initlogo.rle" "$root/initlogo.rle"
  for m in virtio_mmio virtio_console virtio_input evdev ledtrig-transient virtio-gpu; do
    for path in $(module_closure "$m"); do
      mkdir -p "$root/lib/modules/$kver/$(dirname "$path")"
      cp "$kroot/lib/modules/$kver/$path" "$root/lib/modules/$kver/$path"
    done
  done
  cp "$out"/board/*.ko "$root/lib/modules/$kver/extra/"
  cp "$kroot/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$kver/"
  depmod -b "$root" "$kver"
  (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) |
    gzip -6 > "$out/initramfs.cpio.gz"
  ln -sf "$kroot/boot/vmlinuz-$kver" "$out/vmlinuz"
  mods=$(find "$root/lib/modules" -name '*.ko' | wc -l)
  {
    echo "kernel $kver"
    echo "program ${program:-lumo-boardcheck (no lumoboot given)}"
    echo "modules $mods"
    echo "initramfs_bytes $(stat -c %s "$out/initramfs.cpio.gz")"
  } > "$out/image.txt"
}

build_board
build_guest
build_initramfs
cat "$out/image.txt" >&2
echo "$out"
