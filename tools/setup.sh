#!/usr/bin/env bash
# Installs what building and testing lumoboot needs, from Debian packages.
# Only missing packages are installed; nothing is done when all are there.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libpng-dev googletest libgtest-dev
          libgmock-dev libbenchmark-dev python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
