#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan, in build-fuzz/) and runs each
# one in turn: first every regression input under tests/fuzz/regressions/
# TARGET/, then fuzzing from its seeds for SECONDS.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]     SECONDS: default $LUMO_FUZZ_SECONDS or 20
#
# The corpus each run grows is kept in build-fuzz/corpus/TARGET, findings in
# build-fuzz/artifacts/, the full output in build-fuzz/logs/TARGET.log. Exits
# non-zero on the first target that finds a fault. Without clang it says so
# and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${LUMO_FUZZ_SECONDS:-20}}
[ $# -gt 0 ] && shift
if ! command -v clang++ >/dev/null; then
  echo "== fuzz: clang++ not found, fuzz targets skipped"
  exit 0
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLUMO_FUZZ=ON -DLUMO_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target lumo_fuzz
rm -rf build-fuzz/seeds
python3 tests/fuzz/make_seeds.py build-fuzz/seeds
mkdir -p build-fuzz/corpus build-fuzz/artifacts build-fuzz/logs

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in build-fuzz/fuzz/*_fuzz; do targets+=("$(basename "$bin" _fuzz)"); done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  bin=build-fuzz/fuzz/${t}_fuzz
  log=build-fuzz/logs/$t.log
  corpus=build-fuzz/corpus/$t
  regressions=tests/fuzz/regressions/$t
  mkdir -p "$corpus"
  options=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="build-fuzz/artifacts/$t-" -print_final_stats=1)
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if ! "$bin" "${options[@]}" "$regressions"/* >"$log" 2>&1; then
      echo "== fuzz $t: a regression input fails again (see $log)"; tail -n 30 "$log"; exit 1
    fi
  fi
  seeds=()
  [ -d "build-fuzz/seeds/$t" ] && seeds=("build-fuzz/seeds/$t")
  if ! "$bin" "${options[@]}" -max_total_time="$seconds" "$corpus" "${seeds[@]}" >>"$log" 2>&1; then
    echo "== fuzz $t: FAULT FOUND (see $log and build-fuzz/artifacts/)"; tail -n 40 "$log"; exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
  echo "== fuzz $t: ${runs:-?} executions in ${seconds} s, no fault"
done
