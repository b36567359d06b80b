#!/usr/bin/python3
"""kvx.read(rate=16000) of a one-hour SP recording, timed next to
`kvx decode --rate 16000` of the same file in the same run.

    /usr/bin/python3 bench/python_read_bench.py [BUILD] [--repeat N]

BUILD is a build folder (default build/linux) holding libkvx.so, the kvx
tool and the test-file generator.  Each round times both, one after the
other; the best round of each is reported (wall and CPU time), with the
binding's cost over the tool's.
"""
import argparse
import os
import resource
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


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


with tempfile.TemporaryDirectory() as folder:
    recording, output = Path(folder) / "hour.kvx", Path(folder) / "hour.raw"
    subprocess.run([gen, recording, "--seconds", str(args.seconds)], check=True, capture_output=True)
    # Wall time as a user sees it, and CPU time, which a machine shared with
    # other work disturbs less.
    best = {"tool": [float("inf")] * 2, "read": [float("inf")] * 2}
    samples = 0
    for _ in range(args.repeat):
        wall, cpu = time.perf_counter(), children_cpu()
        subprocess.run([tool, "decode", recording, "--rate", "16000", "-o", output], check=True)
        best["tool"] = [min(best["tool"][0], time.perf_counter() - wall), min(best["tool"][1], children_cpu() - cpu)]
        wall, cpu = time.perf_counter(), time.process_time()
        data, rate = kvx.read(recording, rate=16000)
        best["read"] = [min(best["read"][0], time.perf_counter() - wall),
                        min(best["read"][1], time.process_time() - cpu)]
        samples = len(data)
        del data
    assert samples == output.stat().st_size // 2, "read and decode differ in length"
print(f"{args.seconds} s of SP at 16000 Hz ({samples} samples), best of {args.repeat}:    wall      CPU")
for label, key in (("kvx decode --rate 16000", "tool"), ("kvx.read(rate=16000)", "read")):
    line = f"  {label:26s} {best[key][0]:7.2f} s {best[key][1]:7.2f} s"
    if key == "read":
        line += "   ({:+.0f} % wall, {:+.0f} % CPU)".format(100 * (best["read"][0] / best["tool"][0] - 1),
                                                     100 * (best["read"][1] / best["tool"][1] - 1))
    print(line)
