#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build/fuzz) and runs each
# for a given time, one after the other, at low priority:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (default 60 s, every target)
# Each run starts from the saved corpus (fuzz/corpus/TARGET) and keeps what
# it finds in build/fuzz/corpus/TARGET; crashes go to build/fuzz/crashes.
# Save a finding as fuzz/corpus/TARGET/regress-WHAT so that every test run
# replays it.  FUZZ_FLAGS adds libFuzzer options (e.g. -jobs=2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/fuzz
seconds=${1:-60}
shift || true

"$root/scripts/deps.sh" cmake make clang

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*_fuzz.cpp; do
    name=$(basename "$src" _fuzz.cpp)
    targets+=("$name")
  done
fi

echo "== build (${targets[*]})"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVX_FUZZ=ON \
  -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

mkdir -p "$build/crashes"
status=0
for t in "${targets[@]}"; do
  work=$build/corpus/$t
  mkdir -p "$work"
  log=$build/$t.log
  echo "== $t: ${seconds} s"
  # A finding stops the run; the next target still runs.
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      nice -n 19 "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$t-" ${FUZZ_FLAGS:-} "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    status=1
    echo "   FOUND a fault: see $log and $build/crashes/"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  echo "   ${runs:-?} runs, ${rate:-?} execs/s, ${cov:-cov: ?}"
done
exit $status
