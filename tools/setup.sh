#!/usr/bin/env bash
# Installs what building and testing lumoboot needs, from Debian packages.
# Only missing packages are installed; nothing is done when all are there.
set -euo pipefail

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

# install_missing [apt-get options --] PACKAGE...: installs those not yet installed.
install_missing() {
  local opts=()
  if [ "${1:-}" = "--no-install-recommends" ]; then opts+=("$1"); shift; fi
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${opts[@]}" "${missing[@]}" >/dev/null
}

install_missing build-essential cmake ninja-build pkg-config libpng-dev libdrm-dev googletest libgtest-dev \
                libgmock-dev libbenchmark-dev python3 libcpp-httplib-dev
# The live page's browser test (lumo-sim serve in headless Chromium).
install_missing chromium chromium-driver python3-selenium python3-pil

# The 32-bit ARM build (cmake/armhf.cmake): Debian's cross compiler, the
# armhf static libraries it links (libdrm.a for the Linux backend's DRM
# display), and qemu-arm to run its tests. No recommends: qemu-user would
# pull in qemu-user-binfmt, which registers ARM binaries with this
# machine's kernel; the tests call qemu-arm explicitly.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $sudo_cmd dpkg --add-architecture armhf
fi
install_missing --no-install-recommends g++-arm-linux-gnueabihf qemu-user libpng-dev:armhf zlib1g-dev:armhf \
                libgtest-dev:armhf libgmock-dev:armhf libdrm-dev:armhf
