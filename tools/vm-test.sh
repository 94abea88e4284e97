#!/usr/bin/env bash
# The charging stories on the virtual phone: builds the armhf static lumoboot
# (Linux backend) with cmake/armhf.cmake, the board's image with it
# (vm/build.sh, its downloads cached), and lumo-sim for this machine; then
# plays every story, one fresh machine each, one machine at a time (two are
# not faster on two cores). Stories: tests/vm/*.scn and the tests/sim/
# stories named in tests/vm/host-stories.
#
# One line per story, "PASS name (S s)" or "FAIL name: why", then
# "N passed, M failed". A failing story leaves its console log, the program's
# log and its screen grabs in OUT/NAME/ (OUT: $LUMO_VM_TEST_OUT, default
# build-vm/stories). Exit status 0 when all passed.
#
# tools/vm-test.sh [NAME...]      only those stories
# The Linux-backend binary runs only inside qemu-system-arm, never here.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
out="${LUMO_VM_TEST_OUT:-$top/build-vm/stories}"
# Machine run folders hold Unix sockets: keep their paths short.
runs=$(mktemp -d /tmp/lumo-vm.XXXXXX)
trap 'for r in "$runs"/*/; do [ -d "$r" ] && python3 vm/lumovm.py quit "$r" 2>/dev/null; done; rm -rf "$runs"' EXIT

if ! command -v qemu-system-arm >/dev/null || ! command -v arm-linux-gnueabihf-gcc >/dev/null; then
  vm/fetch.sh >/dev/null 2>&1 || true   # installs the host packages it needs (only missing ones)
fi
if ! command -v qemu-system-arm >/dev/null || ! command -v arm-linux-gnueabihf-gcc >/dev/null; then
  echo "SKIP virtual phone: qemu-system-arm or the armhf cross compiler cannot be had"
  exit 0
fi

start=$SECONDS
build() {
  cmake -S . -B build-linux-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
    -DLUMO_PLATFORM=linux -DLUMO_TESTS=OFF -DLUMO_SIM=OFF -DLUMO_BENCH=OFF >/dev/null &&
  cmake --build build-linux-armhf -j2 --target lumoboot >/dev/null &&
  cmake -S . -B build -G Ninja >/dev/null &&
  cmake --build build -j2 --target lumo-sim >/dev/null &&
  vm/build.sh --program build-linux-armhf/lumoboot >/dev/null
}
if ! log=$(build 2>&1); then
  echo "$log" | tail -20
  echo "FAIL build: the armhf lumoboot, lumo-sim or the image did not build"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "== built in $((SECONDS - start)) s (lumoboot armhf static: $(stat -c %s build-linux-armhf/lumoboot) bytes)"

stories=()
if [ $# -gt 0 ]; then
  for name in "$@"; do
    if [ -f "tests/vm/$name.scn" ]; then stories+=("tests/vm/$name.scn"); else stories+=("tests/sim/$name.scn"); fi
  done
else
  stories=(tests/vm/*.scn)
  while read -r name; do
    [ -n "$name" ] && stories+=("tests/sim/$name.scn")
  done < <(grep -v '^#' tests/vm/host-stories)
fi

passed=0
failed=0
suite=$SECONDS
for scn in "${stories[@]}"; do
  name=$(basename "$scn" .scn)
  [ "${scn#tests/sim/}" != "$scn" ] && name="sim-$name"
  dir="$out/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  t0=$SECONDS
  ok=0
  if build/lumo-sim run --vm "$runs/$name" "$scn" --image build-vm --out "$dir" --timeout 120 \
       >"$dir/run.txt" 2>&1; then
    echo "PASS $name ($((SECONDS - t0)) s)"
    passed=$((passed + 1))
    ok=1
  else
    why=$(grep -E "FAILED|ERROR|TIMED OUT" "$dir/run.txt" | head -1)
    [ -n "$why" ] || why=$(tail -1 "$dir/run.txt")
    echo "FAIL $name: ${why:-see $dir/run.txt}"
    failed=$((failed + 1))
  fi
  python3 vm/lumovm.py quit "$runs/$name" 2>/dev/null
  # A passing story keeps only its summary, screenshots and the program's peak memory.
  if [ "$ok" = 1 ]; then
    rm -f "$dir/console.log"
  fi
done
echo "== stories: $((SECONDS - suite)) s for ${#stories[@]} stories; output in $out"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
