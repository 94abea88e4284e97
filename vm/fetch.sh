#!/usr/bin/env bash
# Fetches what the virtual phone needs, into a cache kept between runs:
#  - host packages (installed only when missing): the ARM cross compiler,
#    qemu-system-arm, kmod (depmod), cpio;
#  - Debian's 32-bit ARM kernel image and its headers of the same ABI version,
#    the kernel build tools and busybox-static, all for armhf, downloaded with
#    apt-get download and unpacked with dpkg-deb -x: never installed (an armhf
#    busybox-static would replace this machine's busybox, the armhf headers
#    would pull a native armhf compiler). The kernel build tools are this
#    machine's own architecture: they run here while cross-compiling.
#
# Cache: $LUMO_VM_CACHE, else ${XDG_CACHE_HOME:-$HOME/.cache}/lumoboot-vm.
# Prints the tree's path on its last line of standard output. A warm cache
# with a complete kernel tree does nothing but check the host packages.
set -euo pipefail

cache="${LUMO_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumoboot-vm}"
mkdir -p "$cache"
# One fetch at a time per cache (two builds may share it).
exec 9> "$cache/.lock"
flock 9
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
log() { echo "vm/fetch: $*" >&2; }

apt_updated=0
apt_update() {
  [ "$apt_updated" -eq 1 ] && return 0
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
  apt_updated=1
}

host_packages() {
  local packages=(gcc-arm-linux-gnueabihf qemu-system-arm kmod cpio make bc bison flex libelf-dev
                  python3)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
}

armhf_enabled() {
  dpkg --print-foreign-architectures | grep -qx armhf && return 0
  log "adding the armhf architecture to dpkg"
  $sudo_cmd dpkg --add-architecture armhf
  apt_updated=0
}

# The ABI version the archive serves now, e.g. "6.1.0-28": the dependency of
# the meta package linux-image-armmp:armhf.
kernel_abi() {
  local dep
  dep=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        sed -n 's/.*Depends: linux-image-\([0-9][0-9.]*-[0-9]*\)-armmp.*/\1/p' | head -n 1)
  if [ -z "$dep" ]; then
    apt_update
    dep=$(apt-cache depends linux-image-armmp:armhf |
          sed -n 's/.*Depends: linux-image-\([0-9][0-9.]*-[0-9]*\)-armmp.*/\1/p' | head -n 1)
  fi
  [ -n "$dep" ] || { log "no linux-image-armmp:armhf in the package lists"; return 1; }
  echo "$dep"
}

# A tree is complete when its stamp exists: everything downloaded and unpacked.
complete_tree() { [ -f "$cache/$1/.complete" ]; }

fetch_tree() {
  local abi="$1" tree="$cache/$1" debs="$cache/$1/debs"
  local series="${abi%-*}"            # 6.1.0
  local kbuild="linux-kbuild-${series%.*}"  # linux-kbuild-6.1
  rm -rf "$tree"
  mkdir -p "$debs" "$tree/root"
  log "downloading kernel $abi, headers, $kbuild and busybox-static (armhf)"
  (cd "$debs" && apt-get -o APT::Sandbox::User=root download -qq \
      "linux-image-$abi-armmp:armhf" "linux-headers-$abi-armmp:armhf" \
      "linux-headers-$abi-common" "$kbuild" "busybox-static:armhf" >&2)
  local deb
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$tree/root"; done
  rm -rf "$debs"
  # The headers' Makefile includes the common tree by its installed path;
  # point it at the unpacked one.
  sed -i "s|/usr/src/|$tree/root/usr/src/|" "$tree/root/usr/src/linux-headers-$abi-armmp/Makefile"
  # The kernel's module dependencies, for picking modules into the image.
  depmod -b "$tree/root" "$abi-armmp"
  touch "$tree/.complete"
}

host_packages
armhf_enabled
# A complete cached tree is used as it is (asking the package lists costs
# seconds); LUMO_VM_REFRESH=1 asks which ABI the archive serves now.
if [ "${LUMO_VM_REFRESH:-0}" != 1 ] && [ -L "$cache/current" ] &&
   complete_tree "$(readlink "$cache/current")"; then
  echo "$cache/$(readlink "$cache/current")"
  exit 0
fi
abi=$(kernel_abi)
if ! complete_tree "$abi"; then
  apt_update
  abi=$(kernel_abi)   # the lists may have moved on
  complete_tree "$abi" || fetch_tree "$abi"
fi
ln -sfn "$abi" "$cache/current"
echo "$cache/$abi"
