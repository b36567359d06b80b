#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the Linux build and its tests,
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the Windows DLLs (i686 and x86_64), their export tables, and the
#      x86_64 tests under Wine.
# Missing Debian packages are installed first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export KVX_BUILD_ROOT=${KVX_BUILD_ROOT:-$root/build}
jobs=$(nproc)

"$root/scripts/deps.sh" cmake make g++ pkg-config libgtest-dev googletest libbenchmark-dev libsndfile1-dev libcli11-dev libsoxr-dev espeak-ng \
  python3-numpy python3-pytest python3-venv python3-pip python3-setuptools

run_linux() { # name, extra cmake options...
  local name=$1; shift
  local build=$KVX_BUILD_ROOT/$name
  echo "== $name: build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
  echo "== $name: test"
  (cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

# The G.723.1 test vectors lie beside the repository, in shared/; without
# them the vector tests skip, and this says why.
vectors=$(cd "$root/.." && pwd)/shared/g7231/vectors
[ -d "$vectors" ] || echo "== no G.723.1 test vectors at $vectors: the LP vector tests (G7231/Vectors.*) skip and lpdec_dtx63b is left out"

run_linux linux
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_linux linux-sanitize -DKVX_SANITIZE=ON
"$root/scripts/test-windows.sh"
echo "== all tests passed"
