#!/usr/bin/env bash
# Kills committing processes at random moments and checks that the
# committed file is always the old one or the whole new one:
#   scripts/crash-commit.sh [KILLS] [SEED...]     (default 200 kills, seed 1)
# Builds kvx_commit_crash in build/crash (KVX_BUILD_ROOT moves it) and runs
# it once for each seed; the test run (ctest) makes 20 kills only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVX_BUILD_ROOT:-$root/build}/crash
kills=${1:-200}
shift || true
seeds=("$@")
[ ${#seeds[@]} -eq 0 ] && seeds=(1)

"$root/scripts/deps.sh" cmake make
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target kvx_commit_crash >/dev/null

status=0
for seed in "${seeds[@]}"; do
  echo "== seed $seed, $kills kills"
  "$build/tests/edit/kvx_commit_crash" "$kills" "$seed" || status=1
done
exit $status
