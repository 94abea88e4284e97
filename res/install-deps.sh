#!/bin/sh
# Installs what res/generate.py needs to redraw the pictures: Pillow and the
# Noto Sans CJK fonts, both from Debian. The program itself needs none of this.
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends python3-pil fonts-noto-cjk
