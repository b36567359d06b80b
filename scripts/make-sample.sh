#!/usr/bin/env bash
# Writes samples/dictation.kvx anew with the project's generator: two
# minutes of dictation, SP and LP segments in turn.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/linux
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target kvxgen_tool -j"$(nproc)" >/dev/null
"$build/tests/support/kvxgen" "$root/samples/dictation.kvx" --seconds 120 --mixed
