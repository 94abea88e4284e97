#!/usr/bin/env bash
# Builds the two programs the demo needs (lumoboot and lumo-sim) in build/,
# makes a phone in out/demo/phone and plays sim/scenarios/demo.scn on it.
# Leaves numbered screenshots, a contact sheet of the session and the
# program's log in out/demo/. The phone speaks English; the program's own
# default language is Chinese (zh_CN).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh  # installs what a fresh Debian machine lacks

if [ ! -f build/CMakeCache.txt ]; then
  generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  echo "demo: configuring build/"
  cmake -S . -B build "${generator[@]}" >/dev/null
fi
echo "demo: building lumoboot and lumo-sim only (the first time takes about a minute on 2 cores;"
echo "      tools/test.sh builds and runs everything else)"
cmake --build build -j "$(nproc)" --target lumoboot lumo-sim

sim=build/lumo-sim
out=out/demo
rm -rf "$out"
mkdir -p "$out"
"$sim" create "$out/phone" --language en --country US
echo "demo: the phone speaks English (--language en --country US). The program's default is"
echo "      Chinese: make a phone without those options (or --language zh --country CN) to see it."
"$sim" run "$out/phone" sim/scenarios/demo.scn --out "$out" --timeout 120
shots=("$out"/[0-9][0-9]-*.png)
"$sim" contact "$out/contact-sheet.png" "${shots[@]}"

echo
echo "demo output in $(pwd)/$out:"
echo "  screenshots:    ${shots[0]} ... ${shots[-1]} (${#shots[@]} pictures)"
echo "  contact sheet:  $out/contact-sheet.png"
echo "  log:            $out/lumoboot.log (each line with the seconds since the start when it appeared)"
echo "  program output: $out/lumoboot.out"
echo "  watch it live:  $sim reset $out/phone && $sim serve $out/phone   (then open the printed address)"
