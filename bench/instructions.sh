#!/bin/sh
# Instructions per decoded frame of the LP and SP decoders, counted by
# callgrind: a figure that the machine's load does not move.
#
#   bench/instructions.sh [BUILD_DIR] [VECTORS_DIR]
#
# BUILD_DIR (default build/codec) is a Release build with the benchmarks;
# VECTORS_DIR (default ../shared/g7231/vectors beside the repository) holds
# the ITU G.723.1 vectors.
#   LP: lpdec --standard over the 6.3 kbit/s decoder inputs (active, SID and
#       untransmitted frames) concatenated; instructions inside
#       lp_synthesise per call.
#   SP: sp_decode_bench's full-frame stream with and without the postfilter;
#       instructions inside sp_decode per call (rate conversion included).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/codec}
vectors=${2:-$here/../shared/g7231/vectors}
command -v valgrind >/dev/null || { echo "instructions.sh: valgrind not found" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Instructions inside FUNCTION and its calls, per call, from a callgrind
# output: the "*" line of the function in the caller tree carries its
# inclusive count, the "<" lines before it the calls from each caller.
per_call() {
    callgrind_annotate --threshold=100 --inclusive=yes --tree=caller --auto=no "$1" 2>/dev/null | awk -v fn="$2" '
        /^ *[0-9,]+ .*<  *.*\([0-9,]+x\)/ { c = $0; sub(/.*\(/, "", c); sub(/x\).*/, "", c); gsub(",", "", c); calls += c; next }
        /^ *[0-9,]+ .*\*  / { if (index($0, fn) > 0) { n = $1; gsub(",", "", n); printf "%d %d\n", n, calls; exit } }
        /^$/ { calls = 0 }'
}

report() {
    # name, callgrind output, function
    set -- "$1" "$2" "$3" "$(per_call "$2" "$3")"
    echo "$4" | awk -v name="$1" '{ printf "%-28s %9.0f instructions/frame  (%d frames)\n", name, $1 / $2, $2 }'
}

if [ -d "$vectors" ]; then
    for v in OVERD63P.TCO DTX63B.TCO DTX63.RCO PATHD63P.TCO TAMED63P.TCO DTX63E.TCO CODEC63.RCO PATHC63H.RCO OVERC63.RCO; do
        cat "$vectors/$v"
    done >"$work/lp.tco"
    valgrind --tool=callgrind --callgrind-out-file="$work/lp.cg" "$build/tests/codec_lp/lpdec" --standard \
        "$work/lp.tco" "$work/lp.pcm" 2>/dev/null
    report "LP (lpdec --standard)" "$work/lp.cg" "kvx::lp_synthesise("
else
    echo "LP: no vectors at $vectors" >&2
fi

for bm in BM_SpDecodeFullFrames BM_SpDecodeNoPostfilter; do
    valgrind --tool=callgrind --callgrind-out-file="$work/$bm.cg" "$build/bench/sp_decode_bench" \
        --benchmark_filter="^$bm\$" --benchmark_min_time=0.2 >/dev/null 2>&1
    report "SP ($bm)" "$work/$bm.cg" "kvx::sp_decode("
done
