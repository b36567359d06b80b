#!/usr/bin/env bash
# Builds the kvx tool, shows what opening the bundled sample reports and
# decodes it to a WAV file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/linux
sample=${1:-$root/samples/dictation.kvx}
"$root/scripts/deps.sh" cmake make g++ pkg-config libgtest-dev libsndfile1-dev libcli11-dev libsoxr-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kvx_tool -j"$(nproc)" >/dev/null
"$build/tools/kvx/kvx" info "$sample"
out="$build/$(basename "$sample" .kvx).wav"
# 16 kHz mono, the form speech recognisers take.
"$build/tools/kvx/kvx" decode "$sample" --rate 16000 -o "$out"
echo "decoded to $out (16000 Hz)"
