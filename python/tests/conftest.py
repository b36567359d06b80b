"""The built kvx tool and test-file generator, named by the environment
(KVX_TOOL, KVXGEN, KVX_LIBRARY: set by the ctest registration)."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

TOOL = os.environ.get("KVX_TOOL", "")
GEN = os.environ.get("KVXGEN", "")


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], check=True, capture_output=True)


@pytest.fixture(scope="session")
def tools():
    if not (os.path.exists(TOOL) and os.path.exists(GEN) and os.environ.get("KVX_LIBRARY")):
        pytest.skip("KVX_TOOL, KVXGEN and KVX_LIBRARY name the built tool, generator and library")
    return TOOL, GEN


@pytest.fixture(scope="session")
def samples(tools, tmp_path_factory):
    """Generated recordings by kind: SP in speech-flag mode, LP, alternating
    SP and LP parts, and plain SP and LP of full frames (which edits take)."""
    folder = tmp_path_factory.mktemp("samples")
    kinds = {"sp": ["--seconds", "9"], "lp": ["--seconds", "9", "--lp"], "mixed": ["--seconds", "16", "--mixed"],
             "full": ["--seconds", "6", "--full", "--seed", "3"], "full2": ["--seconds", "4", "--full", "--seed", "5"],
             "fulllp": ["--seconds", "5", "--full", "--lp"]}
    out = {}
    for kind, args in kinds.items():
        run(GEN, folder / f"{kind}.kvx", *args)
        out[kind] = folder / f"{kind}.kvx"
    return out


@pytest.fixture
def copy(samples, tmp_path):
    """A copy of a sample that a test may change."""
    def make(kind: str, name: str = "") -> Path:
        target = tmp_path / (name or f"{kind}-copy.kvx")
        shutil.copyfile(samples[kind], target)
        return target
    return make
