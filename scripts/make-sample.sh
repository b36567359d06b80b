#!/usr/bin/env bash
# Writes samples/dictation.kvx anew: espeak-ng speaks a short office
# dictation (a fixed voice, speed, pitch and text) to WAV, and the tree's
# own SP encoder codes it through `kvx encode`.  The audio blocks come out
# the same on every run with the same espeak-ng and encoder; the header's
# dates are those of the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/linux
"$root/scripts/deps.sh" cmake make g++ pkg-config libsndfile1-dev libcli11-dev libsoxr-dev espeak-ng
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kvx_tool -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -v en-gb+m3 -s 165 -p 45 -g 4 -w "$work/dictation.wav" \
  "Memo to all staff, from the office manager. The quarterly figures are due on Friday, so please send \
your department's totals to accounts by Thursday noon. The meeting room on the second floor is closed \
for repairs next week; book the library instead, and copy me on any change to the schedule."
"$build/tools/kvx/kvx" encode "$work/dictation.wav" -o "$work/dictation.kvx"
"$build/tools/kvx/kvx" set "$work/dictation.kvx" text1="Staff memo" text2="Office manager" >/dev/null
mv "$work/dictation.kvx" "$root/samples/dictation.kvx"
"$build/tools/kvx/kvx" info "$root/samples/dictation.kvx" | sed -n '1,/length/p'
