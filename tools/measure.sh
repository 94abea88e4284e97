#!/usr/bin/env bash
# Prints figures of one charging session of lumoboot in a simulated phone:
# time to the start-up decision and to the first frame, peak memory, and
# thread wake-ups per minute while the screen is dark. Figures, not a test.
#   tools/measure.sh [--idle S] [lumo-sim create options]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f build/CMakeCache.txt ]; then
  generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  cmake -S . -B build "${generator[@]}" >/dev/null
fi
cmake --build build --target lumoboot lumo-sim >/dev/null
mkdir -p out/measure
build/lumo-sim measure out/measure/phone "$@"
