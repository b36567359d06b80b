#!/usr/bin/python3
"""kvx.read(rate=16000) of a one-hour SP recording, timed next to
`kvx decode --rate 16000` of the same file in the same run.

    /usr/bin/python3 bench/python_read_bench.py [BUILD] [--repeat N]

BUILD is a build folder (default build/linux) holding libkvx.so, the kvx
tool and the test-file generator.  Each round times both, one after the
other; the best round of each is reported, with the binding's cost over the
tool's.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
parser = argparse.ArgumentParser()
parser.add_argument("build", nargs="?", default=str(root / "build" / "linux"))
parser.add_argument("--repeat", type=int, default=3)
parser.add_argument("--seconds", type=int, default=3600)
args = parser.parse_args()
build = Path(args.build).resolve()
os.environ.setdefault("KVX_LIBRARY", str(build / "libkvx.so"))
sys.path.insert(0, str(root / "python"))
import kvx  # noqa: E402

tool, gen = build / "tools" / "kvx" / "kvx", build / "tests" / "support" / "kvxgen"
with tempfile.TemporaryDirectory() as folder:
    recording, output = Path(folder) / "hour.kvx", Path(folder) / "hour.raw"
    subprocess.run([gen, recording, "--seconds", str(args.seconds)], check=True, capture_output=True)
    best_tool = best_read = float("inf")
    samples = 0
    for _ in range(args.repeat):
        start = time.perf_counter()
        subprocess.run([tool, "decode", recording, "--rate", "16000", "-o", output], check=True)
        best_tool = min(best_tool, time.perf_counter() - start)
        start = time.perf_counter()
        data, rate = kvx.read(recording, rate=16000)
        best_read = min(best_read, time.perf_counter() - start)
        samples = len(data)
        del data
    assert samples == output.stat().st_size // 2, "read and decode differ in length"
print(f"{args.seconds} s of SP at 16000 Hz ({samples} samples), best of {args.repeat}:")
print(f"  kvx decode --rate 16000   {best_tool:7.2f} s")
print(f"  kvx.read(rate=16000)      {best_read:7.2f} s   ({100 * (best_read / best_tool - 1):+.0f} %)")
