#!/usr/bin/env bash
# Builds lumoboot and runs every test: the plain build, then the same suite
# built with AddressSanitizer + UndefinedBehaviorSanitizer, then with
# ThreadSanitizer, then built for 32-bit ARM (cmake/armhf.cmake, static
# binaries) and run under qemu-arm user mode, then the Linux backend compiled
# (natively and for armhf; never run here), then (when clang is present)
# every fuzz target for a smoke run of LUMO_FUZZ_SECONDS (default 20) each,
# regression inputs first, then the charging stories on the virtual phone
# (tools/vm-test.sh: the Linux backend on an ARM kernel in qemu-system-arm).
# Warnings are errors here (LUMO_WERROR). `tools/test.sh --quick` runs the
# plain build only; `--armhf` the armhf build only; `--vm` the virtual phone only.
#
# Only the host backend runs under qemu-arm: user mode passes system calls
# straight to this machine's kernel, and the host backend touches nothing but
# its device root.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  echo "== ${dir}: configure and build"
  cmake -S . -B "$dir" -G Ninja -DLUMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== ${dir}: tests"
  (cd "$dir" && ctest --output-on-failure -j 2 --timeout 300)
}

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export TSAN_OPTIONS=second_deadlock_stack=1

tools/check-layers.sh
run_armhf() {
  local start=$SECONDS
  run_suite build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DLUMO_PLATFORM=host -DLUMO_BENCH=OFF
  echo "== build-armhf: $((SECONDS - start)) s"
}

# The Linux backend acts on the machine it runs on, so here it is only
# compiled (natively and as the phone's static armhf binary), never run.
build_linux() {
  local dir
  for dir in build-linux build-linux-armhf; do
    echo "== ${dir}: compile only (the Linux backend never runs here)"
    local toolchain=()
    [ "$dir" = build-linux-armhf ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake)
    cmake -S . -B "$dir" -G Ninja -DLUMO_WERROR=ON "${toolchain[@]}" -DLUMO_PLATFORM=linux \
      -DLUMO_TESTS=OFF -DLUMO_SIM=OFF -DLUMO_BENCH=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target lumoboot
  done
}

case "${1:-}" in
  --armhf) run_armhf ;;
  --quick) run_suite build ;;
  --vm) tools/vm-test.sh ;;
  *)
    run_suite build
    run_suite build-asan -DLUMO_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
    run_suite build-tsan -DLUMO_SANITIZE=thread
    run_armhf
    build_linux
    tools/fuzz.sh "${LUMO_FUZZ_SECONDS:-20}"
    echo "== the stories on the virtual phone"
    tools/vm-test.sh
    ;;
esac
echo "== all test suites passed"
