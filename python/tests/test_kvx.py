"""The package against the kvx tool: the same samples, header fields, marks
and edits; and what it answers to bad input."""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import kvx
from conftest import GEN, TOOL, run


def tool_decode(path, tmp_path, *args):
    """kvx decode's samples: int16, or float32 with --format f32."""
    out = tmp_path / "tool.raw"
    run(TOOL, "decode", path, "-o", out, *args)
    return np.fromfile(out, np.float32 if "f32" in args else np.int16)


@pytest.mark.parametrize("kind", ["sp", "lp", "mixed"])
@pytest.mark.parametrize("rate,dtype", [(None, "int16"), (16000, "int16"), (16000, "float32"), (22050, "int16")])
def test_read_is_decode(samples, tmp_path, kind, rate, dtype):
    args = (["--rate", str(rate)] if rate else []) + (["--format", "f32"] if dtype == "float32" else [])
    want = tool_decode(samples[kind], tmp_path, *args)
    data, got_rate = kvx.read(samples[kind], rate=rate, dtype=dtype)
    assert got_rate == (rate or (8000 if kind == "lp" else 11000))
    assert data.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(data, want)


def test_float_scaling_and_second_decode_alike(samples):
    # float is int16 / 32768 exactly, and a decode after others (in the same
    # process) gives the first one's samples, also where it outlasts the
    # length the file was opened with.
    first, _ = kvx.read(samples["sp"], dtype="float64")
    kvx.read(samples["lp"])
    with kvx.KvxFile(samples["sp"]) as f:
        f.frames = 1000
        again = f.read()
    np.testing.assert_array_equal(first, again.astype(np.float64) / 32768)


@pytest.mark.parametrize("kind,blocksize", [("sp", 997), ("mixed", 4096), ("lp", 1)])
def test_blocks_join_to_read(samples, kind, blocksize):
    whole, _ = kvx.read(samples[kind], rate=16000, dtype="float32")
    parts = list(kvx.blocks(samples[kind], blocksize))
    assert all(len(p) == blocksize for p in parts[:-1]) and 0 < len(parts[-1]) <= blocksize
    np.testing.assert_array_equal(np.concatenate(parts), whole)


def samples_in(ms, rate):
    return (ms * rate + 500) // 1000


# kvx decode --start S --end E against read(start=, stop=), a seek and
# blocks(start=): the tool's samples exactly.  Spans as the tool's own
# tests, one within the 3 s lead and some behind it; block sizes uneven.
@pytest.mark.parametrize("kind,rate", [("sp", None), ("lp", None), ("mixed", None), ("lp", 16000), ("sp", 44100),
                                       ("mixed", 22050)])
def test_start_end_are_the_tools(samples, tmp_path, kind, rate):
    path = samples[kind]
    with kvx.KvxFile(path, rate=rate) as f:
        got_rate = f.samplerate
        f.read(30000)
        for begin, end in ((100, 900), (3217, 8555), (3312, 3400), (3315, 4000), (1000, 1001)):
            start, count = samples_in(begin, got_rate), samples_in(end - begin, got_rate)
            want = tool_decode(path, tmp_path, "--start", str(begin), "--end", str(end),
                               *(["--rate", str(rate)] if rate else []))
            assert len(want) == count
            np.testing.assert_array_equal(kvx.read(path, rate=rate, start=start, stop=start + count)[0], want)
            f.seek(start)  # from wherever the last span left it
            np.testing.assert_array_equal(f.read(count), want)
            assert f.tell() == start + count
            blocks = kvx.blocks(path, 333, rate=got_rate, dtype="int16", start=start)
            np.testing.assert_array_equal(np.concatenate([next(blocks) for _ in range(count // 333 + 1)])[:count],
                                          want)


def tool_info(path):
    return json.loads(run(TOOL, "info", "--json", path).stdout)


def snake(key):
    return "".join("_" + c.lower() if c.isupper() else c for c in key)


@pytest.mark.parametrize("kind", ["sp", "lp", "mixed"])
def test_info_is_tool_info(samples, kind):
    want = tool_info(samples[kind])
    got = kvx.info(samples[kind])
    for key, value in want.items():
        if isinstance(value, dict):  # itemA: {a, b, text}
            letter = key[-1].lower()
            for sub, name in (("a", "1"), ("b", "2"), ("text", "_text")):
                assert got.header[f"item_{letter}{name}"] == value[sub], key
        elif key in ("lengthMs", "headerBlocks", "extended", "locked", "codecs"):
            assert getattr(got, {"lengthMs": "length_ms", "codecs": "codec_flags"}.get(key, snake(key))) == value
        elif snake(key) in got.header:
            assert got.header[snake(key)] == value, key
    rate = 8000 if kind == "lp" else 11000
    assert (got.samplerate, got.frames, got.channels) == (rate, want["lengthMs"] * rate // 1000, 1)
    assert json.loads(json.dumps(got.as_dict()))["length_ms"] == want["lengthMs"]


HEADER_CHANGES = {"text1": "Dr. Müller", "number": 4000000000, "end_trans": 0x1234, "signed_word": -300,
                  "text2": "Brief · 2€", "priority": 3, "text3": "t3", "item_a1": 7, "item_a2": 8,
                  "item_a_text": "Akte", "item_b1": 9, "item_c_text": "C", "flag1": 1, "flag2": 2,
                  "number2": 99, "text4": "x" * 100}


def test_header_round_trip(copy):
    path = copy("sp")
    with kvx.KvxFile(path, "r+") as f:
        for name, value in HEADER_CHANGES.items():
            f.header[name] = value
        f.save()
    got = kvx.info(path).header
    assert {k: got[k] for k in HEADER_CHANGES} == HEADER_CHANGES
    want = tool_info(path)
    assert (want["text1"], want["text2"], want["signedWord"], want["itemA"]) == \
        ("Dr. Müller", "Brief · 2€", -300, {"a": 7, "b": 8, "text": "Akte"})


@pytest.mark.parametrize("name,value,error", [("text1", "日本", ValueError), ("text2", "a\nb", ValueError),
                                              ("priority", 256, ValueError), ("signed_word", -32769, ValueError),
                                              ("start_date", "250101", AttributeError),
                                              ("colour", 1, AttributeError)])
def test_header_refuses(copy, name, value, error):
    with kvx.KvxFile(copy("sp"), "r+") as f, pytest.raises(error):
        f.header[name] = value
    with kvx.KvxFile(copy("sp")) as f, pytest.raises((PermissionError, AttributeError)):
        f.header[name] = value


@pytest.mark.parametrize("flags", [[], ["--one-block"]])
def test_marks_round_trip(tmp_path, tools, flags):
    path = tmp_path / "m.kvx"
    run(GEN, path, "--seconds", "12", "--full", *flags)
    with kvx.KvxFile(path, "r+") as f:
        for seconds in (1.5, 4.2, 9.0):
            f.marks.add(seconds)
        f.marks.delete(4.2)
        f.save()
    marks = kvx.info(path).marks
    listed = run(TOOL, "marks", path).stdout.decode()
    assert [m.seconds for m in marks] == pytest.approx([1.5, 9.0], abs=0.024)
    assert all(f"({m.ms} ms)" in listed for m in marks)


def test_bad_inputs_raise_their_class(tmp_path, copy, tools):
    text = tmp_path / "notes.kvx"
    text.write_text("a text file, not a recording\n" * 40)
    with pytest.raises(kvx.NotKvxError) as caught:
        kvx.read(text)
    assert caught.value.code == 7 and "not a KVX file" in caught.value.message

    locked = copy("sp", "locked.kvx")
    run(TOOL, "lock", locked)
    with kvx.KvxFile(locked, "r+") as f:
        f.header.text1 = "changed"
        with pytest.raises(kvx.LockedError) as caught:
            f.save()
    assert caught.value.code == 80 and isinstance(caught.value, kvx.KvxError)
    with pytest.raises(kvx.KvxError) as caught:
        kvx.info(tmp_path / "missing.kvx")
    assert caught.value.code == 1


# kvxgen damage (audio block k of a two-block header at 1024 + 512 k): cuts
# inside the header, at a block boundary, in a block and in a frame; block
# headers, frame counts, first frames and frames overwritten.  Then seeded
# random damage.
DAMAGE = [["--cut", "300"], ["--cut", "800"], ["--cut", str(1024 + 512 * 40)], ["--cut", str(1024 + 512 * 40 + 200)],
          ["--lp", "--cut", str(1024 + 512 * 20 + 9)], ["--one-block", "--cut", str(512 + 512 * 10 + 100)],
          ["--garbage", f"{1024 + 512 * 30}:6"], ["--garbage", f"{1024 + 512 * 30 + 50}:400"],
          ["--fill", f"{1024 + 512 * 30 + 2}:1:7e"], ["--lp", "--fill", f"{1024 + 512 * 10}:512:00"],
          ["--garbage", f"{1024 + 512 * 81}:6"], ["--mixed", "--cut", str(1024 + 512 * 14)],
          ["--mixed", "--fill", f"{1024 + 512 * 14 + 1}:1:00"], ["--lp", "--fill", f"{1024 + 512 * 30 + 2}:1:aa"],
          ["--fill", f"{1024 + 512 * 30}:1:0e"], ["--fill", f"{1024 + 512 * 31 + 1}:1:0b"],
          ["--cut", str(1024 + 512 * 40), "--fill", "512:4:00"]]  # low bits; a first frame moved; header 0 ms
_rng = np.random.default_rng(18)
for i in range(15):  # the bytes of a block header and the first frame's, or a cut anywhere
    at = 1024 + 512 * int(_rng.integers(1, 45)) + int(_rng.integers(0, 8))
    DAMAGE.append([["--lp"], ["--mixed"], []][i % 3] + [["--garbage", f"{at}:{_rng.integers(1, 4)}"],
                                                         ["--fill", f"{at}:1:{_rng.integers(256):02x}"],
                                                         ["--cut", str(at + 1000 * i)]][i // 5])


@pytest.mark.parametrize("damage", DAMAGE, ids=" ".join)
def test_damage_as_the_tool_finds_it(tmp_path, tools, damage):
    path = tmp_path / "d.kvx"
    run(GEN, path, "--seconds", "30", *damage)
    tool = subprocess.run([TOOL, "decode", path, "-o", tmp_path / "d.raw"], capture_output=True, text=True)
    salvaged = tool.returncode == 3 or "no audio" in tool.stderr
    assert tool.returncode in (0, 1, 3) and (tool.returncode == 0) != salvaged, tool.stderr
    if salvaged:
        with pytest.raises(kvx.DamagedError) as caught:
            kvx.read(path)
        assert "cut short" not in caught.value.message or "truncated" in tool.stderr or "cut short" in tool.stderr
    else:
        np.testing.assert_array_equal(kvx.read(path)[0], np.fromfile(tmp_path / "d.raw", np.int16))


@pytest.mark.parametrize("convert", [str, os.fsencode, Path])
def test_path_types(samples, convert):
    data, _ = kvx.read(convert(str(samples["lp"])), stop=800)
    assert len(data) == 800 and kvx.info(convert(str(samples["lp"]))).length_ms == 9000 - 9000 % 30


def decoded(path):
    return kvx.read(path)[0]


@pytest.mark.parametrize("operation", ["cut", "insert", "overwrite", "concat"])
def test_edits_are_the_tools(copy, tmp_path, operation):
    mine, theirs = tmp_path / "mine.kvx", tmp_path / "theirs.kvx"
    base, source = copy("full"), copy("full2")
    if operation == "cut":
        kvx.cut(base, 1.2, 2.5, out=mine)
        run(TOOL, "cut", base, "1.2", "2.5", "-o", theirs)
    elif operation in ("insert", "overwrite"):
        kvx.insert(base, 2.0, source, start=0.5, end=3.0, out=mine, overwrite=operation == "overwrite")
        run(TOOL, operation, base, "2.0", source, "--from", "0.5", "--to", "3.0", "-o", theirs)
    else:
        with kvx.KvxFile(source, "r+") as f:
            f.marks.add(1.0)
            f.save()
        kvx.concat([base, source], mine)
        run(TOOL, "cat", base, source, "-o", theirs)
    assert kvx.info(mine).length_ms == kvx.info(theirs).length_ms
    assert kvx.info(mine).marks == kvx.info(theirs).marks
    np.testing.assert_array_equal(decoded(mine), decoded(theirs))


def test_edit_refuses_another_codec(copy):
    base = copy("full")
    before = base.read_bytes()
    with pytest.raises(ValueError, match="LP"):
        kvx.insert(base, 1.0, copy("fulllp"))
    assert base.read_bytes() == before


def test_threads_decode_at_once(samples):
    kinds = ["sp", "lp", "mixed"] * 2
    want = {k: kvx.read(samples[k], rate=16000)[0] for k in set(kinds)}
    got = {}
    threads = [threading.Thread(target=lambda i, k: got.__setitem__(i, kvx.read(samples[k], rate=16000)[0]),
                                args=(i, k)) for i, k in enumerate(kinds)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, k in enumerate(kinds):
        np.testing.assert_array_equal(got[i], want[k])


def test_pip_install(tmp_path, samples):
    """The package installs with Debian's own packages, offline, into an
    environment that sees them."""
    env = tmp_path / "env"
    run(sys.executable, "-m", "venv", "--system-site-packages", env)
    source = tmp_path / "src"
    shutil.copytree(Path(__file__).resolve().parents[1], source, ignore=shutil.ignore_patterns("tests", "*.pyc"))
    run(env / "bin" / "pip", "install", "--no-build-isolation", "--no-index", "-q", source)
    out = subprocess.run([env / "bin" / "python", "-c", "import kvx, sys; print(kvx.info(sys.argv[1]).codecs)",
                          samples["lp"]], cwd=tmp_path, check=True, capture_output=True, text=True)
    assert out.stdout.strip() == "('LP',)"
