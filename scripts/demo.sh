#!/usr/bin/env bash
# Builds the kvx tool and shows what opening the bundled sample reports.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/linux
"$root/scripts/deps.sh" cmake make g++ libgtest-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kvx_tool -j"$(nproc)" >/dev/null
"$build/tools/kvx/kvx" info "${1:-$root/samples/dictation.kvx}"
