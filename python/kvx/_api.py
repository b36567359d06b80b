"""The package's functions over the library's exports."""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native as N
from . import _scan
from .errors import DamagedError, KvxError, NotKvxError, error_for

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

SP_STAGE_RATE = 11000  # the decoder's 12:11 stage: 264 samples of a 24 ms SP frame
SP_RATE = 12000        # the codec's own: 288 samples a frame
LP_RATE = 8000         # 240 samples of a 30 ms LP frame
LEAD_MS = 3000         # a run starts this much before a seek, as kvx decode --start: settled by then
_RUN_FRAMES = 512     # frames of one codec handed to libsoxr at once

_DTYPES = {"int16": np.int16, "float32": np.float32, "float64": np.float64}


# ------------------------------------------------------------------ helpers

def _name(path: PathLike) -> Tuple[str, bytes]:
    """The path for messages and as the bytes the library takes."""
    raw = os.fspath(path)
    if isinstance(raw, bytes):
        return os.fsdecode(raw), raw
    return raw, os.fsencode(raw)


def _ms(seconds: float, what: str) -> int:
    ms = int(round(float(seconds) * 1000))
    if not 0 <= ms <= 0xFFFFFFFF:
        raise ValueError(f"{what}: {seconds} s lies outside the recording's time")
    return ms


def _header_image(name: str, raw: bytes) -> bytes:
    try:
        with open(raw, "rb") as f:
            return f.read(1024)
    except OSError as error:
        raise KvxError(1, f"the file cannot be opened: {error.strerror}", name) from error


def _locked(raw: bytes) -> Optional[bool]:
    try:
        with open(raw, "rb") as f:
            head = f.read(1024)
    except OSError:
        return None
    if len(head) < 512 or head[0] not in (1, 2):
        return None
    return _record(head)[0].lock == 0


def _check(result: int, name: str, raw: bytes, what: str = "") -> None:
    if result != N.OK:
        raise error_for(result, what, name, _locked(raw) if result == N.ERR_LOCKED else None)


def _activate(name: str, raw: bytes, lib: Optional[ctypes.CDLL] = None) -> Tuple[int, int]:
    """Makes the file the active file (its folder the active folder, as the
    kvx tool does) of the shared library instance, or of `lib`; its length
    in ms and codec flags."""
    lib = lib or N.kvx()
    folder = os.path.dirname(raw) or b"."
    _check(lib.KVXActiveFolder(folder, 0), name, raw)
    length, codecs = ctypes.c_uint32(), ctypes.c_uint16()
    _check(lib.KVXActiveFile(raw, ctypes.byref(length), ctypes.byref(codecs)), name, raw)
    return length.value, codecs.value


def _record(image: bytes) -> Tuple[N.HeaderInfoEx, bool, bool]:
    """The full header record of a header image without touching the file
    (the library's getter would add a second header block to a one-block
    file): the record, whether the header has two blocks, whether the second
    is extended."""
    image = image[:1024] + bytes(1024 - min(len(image), 1024))
    record = N.HeaderInfoEx()
    result = N.kvx().KVXGetHeaderInfoEx(b"h" * 9 + image, ctypes.byref(record))
    if result != N.OK:
        raise error_for(result)
    two = image[0] == 2
    extended = image[8] == 2 and image[9:12] == b"\0\0\0"
    return record, two, extended


def _text(value: bytes) -> str:
    """A header text: up to its first 0 or 0xFF byte, trailing blanks gone,
    Windows-1252 (bytes it leaves undefined read as U+FFFD)."""
    end = len(value)
    for stop in (b"\0", b"\xff"):
        at = value.find(stop)
        if at >= 0:
            end = min(end, at)
    return value[:end].rstrip(b" ").decode("cp1252", errors="replace")


def _cp1252(field_name: str, text: str, size: int) -> bytes:
    try:
        data = text.encode("cp1252")
    except UnicodeEncodeError as error:
        raise ValueError(f"{field_name}: {text[error.start]!r} has no byte in the header's code page "
                         "(Windows-1252)") from None
    bad = [c for c in text if ord(c) < 0x20 or c == "\x7f" or c == "\xff"]
    if bad:
        raise ValueError(f"{field_name}: {bad[0]!r} cannot be stored (a control character, or y with "
                         "diaeresis, whose byte ends a header text)")
    return data[:size]


# ------------------------------------------------------------------ header

# Public name -> (record member, mask bit or 0 for read-only, kind, pad byte of a text)
_FIELDS: Dict[str, Tuple[str, int, str, int]] = {
    "text1": ("text1", 0x0001, "text", 0x20),
    "number": ("number", 0x0002, "u32", 0),
    "word32": ("word32", 0, "u16", 0),
    "end_trans": ("endTrans", 0x0008, "u16", 0),
    "signed_word": ("signedWord", 0x0010, "i16", 0),
    "length_digits": ("lengthDigits", 0, "text", 0),
    "start_date": ("startDate", 0, "text", 0),
    "start_time": ("startTime", 0, "text", 0),
    "end_date": ("endDate", 0, "text", 0),
    "end_time": ("endTime", 0, "text", 0),
    "lock": ("lock", 0x0080, "u8", 0),
    "priority": ("priority", 0x0040, "u8", 0),
    "text2": ("text2", 0x0020, "text", 0xFF),
    "coding_mode": ("codingMode", 0, "u8", 0),
    "header_length_ms": ("lengthMs", 0, "u32", 0),
    "text3": ("text3", 0x0100, "text", 0),
    "item_a1": ("itemA1", 0x0200, "u32", 0), "item_a2": ("itemA2", 0x0200, "u32", 0),
    "item_a_text": ("itemAText", 0x0200, "text", 0),
    "item_b1": ("itemB1", 0x0400, "u32", 0), "item_b2": ("itemB2", 0x0400, "u32", 0),
    "item_b_text": ("itemBText", 0x0400, "text", 0),
    "item_c1": ("itemC1", 0x0800, "u32", 0), "item_c2": ("itemC2", 0x0800, "u32", 0),
    "item_c_text": ("itemCText", 0x0800, "text", 0),
    "flag1": ("flag1", 0x1000, "u8", 0),
    "flag2": ("flag2", 0x2000, "u8", 0),
    "number2": ("number2", 0x4000, "u32", 0),
    "text4": ("text4", 0x8000, "text", 0),
}
_RANGES = {"u8": (0, 0xFF), "u16": (0, 0xFFFF), "u32": (0, 0xFFFFFFFF), "i16": (-0x8000, 0x7FFF)}


def _fields_of(record: N.HeaderInfoEx) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for name, (member, _, kind, _) in _FIELDS.items():
        if kind == "text":
            place = getattr(N.HeaderInfoEx, member)
            out[name] = _text(ctypes.string_at(ctypes.addressof(record) + place.offset, place.size))
        else:
            out[name] = int(getattr(record, member))
    return out


class Header:
    """Every header field by name (``f.header.text1``, ``f.header["priority"]``).
    In a file opened "r+" the fields that the library sets can be assigned;
    ``KvxFile.save()`` writes them.  Texts are str (stored as Windows-1252
    and cut to the field's width), numbers int."""

    def __init__(self, values: Dict[str, Any], writable: bool) -> None:
        object.__setattr__(self, "_values", dict(values))
        object.__setattr__(self, "_changed", {})
        object.__setattr__(self, "_writable", writable)

    def __getattr__(self, name: str) -> Any:
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(f"no header field {name!r}") from None

    def __setattr__(self, name: str, value: Any) -> None:
        if name not in _FIELDS:
            raise AttributeError(f"no header field {name!r}")
        member, mask, kind, _ = _FIELDS[name]
        if not self._writable:
            raise PermissionError("the file was opened for reading: open it with mode='r+'")
        if mask == 0:
            raise AttributeError(f"{name} is kept by the library and cannot be set")
        if kind == "text":
            size = getattr(N.HeaderInfoEx, member).size
            _cp1252(name, str(value), size)
            value = str(value)
        else:
            low, high = _RANGES[kind]
            if not isinstance(value, int) or not low <= value <= high:
                raise ValueError(f"{name}: {value!r} is no whole number from {low} to {high}")
        self._values[name] = value
        self._changed[name] = value

    __getitem__ = __getattr__
    __setitem__ = __setattr__

    def keys(self) -> List[str]:
        return list(_FIELDS)

    def as_dict(self) -> Dict[str, Any]:
        return dict(self._values)

    def __repr__(self) -> str:
        return f"Header({self._values!r})"


def _apply(record: N.HeaderInfoEx, changed: Dict[str, Any]) -> int:
    """Puts the changed fields into the record; their mask bits."""
    mask = 0
    for name, value in changed.items():
        member, bit, kind, pad = _FIELDS[name]
        if kind == "text":
            size = getattr(N.HeaderInfoEx, member).size
            data = _cp1252(name, value, size)
            data = data + bytes([pad]) * (size - len(data))
            ctypes.memmove(ctypes.addressof(record) + getattr(N.HeaderInfoEx, member).offset, data, size)
        else:
            setattr(record, member, value)
        mask |= bit
    return mask


# ------------------------------------------------------------------ info

@dataclass(frozen=True)
class Mark:
    """An index mark: its time, and whether it is an extended mark (kept to
    the millisecond) or a short one (kept at a frame's time)."""
    ms: int
    extended: bool

    @property
    def seconds(self) -> float:
        return self.ms / 1000


@dataclass
class Info:
    """What opening a recording tells, without decoding it."""
    path: str
    samplerate: int          # the rate read() gives without rate=: SP 11000 Hz, LP-only 8000 Hz
    frames: int              # samples at that rate
    duration: float          # seconds
    length_ms: int
    channels: int
    codecs: Tuple[str, ...]  # ("SP",), ("LP",) or ("SP", "LP")
    codec_flags: int
    header_blocks: int
    extended: bool
    locked: bool
    marks: List[Mark] = field(default_factory=list)
    header: Dict[str, Any] = field(default_factory=dict)

    def __getattr__(self, name: str) -> Any:
        # Every header field is an attribute too (info.text1, info.priority).
        header = self.__dict__.get("header", {})
        if name in header:
            return header[name]
        raise AttributeError(name)

    def as_dict(self) -> Dict[str, Any]:
        """Plain values only, for json.dumps."""
        out = {k: v for k, v in self.__dict__.items() if k not in ("marks", "header")}
        out["codecs"] = list(self.codecs)
        out["marks"] = [{"ms": m.ms, "seconds": m.seconds, "extended": m.extended} for m in self.marks]
        out.update(self.header)
        return out


def _samples_in(ms: int, rate: int) -> int:
    return (ms * rate + 500) // 1000


def _default_rate(codecs: int) -> int:
    return SP_STAGE_RATE if codecs & N.CODEC_SP else LP_RATE


def _read_marks(two: bool, extended: bool) -> List[Mark]:
    """The active file's marks in time order.  A header with an extended
    block keeps them there to the millisecond (its short marks are the same
    ones at frame times)."""
    lib = N.kvx()
    exact = two and extended
    positions, count = (ctypes.c_uint32 * 16)(), ctypes.c_uint32()
    getter = lib.KVXGetExtIndexMark if exact else lib.KVXGetIndexMark
    result = getter(positions, ctypes.byref(count))
    if result != N.OK:
        raise error_for(result)
    return sorted((Mark(positions[i], exact) for i in range(min(count.value, 16))), key=lambda m: m.ms)


def info(path: PathLike) -> Info:
    """The recording's length, codecs, every header field, marks and lock,
    read from its header and block table (nothing is decoded)."""
    name, raw = _name(path)
    with N.LOCK:
        image = _header_image(name, raw)
        length, codecs = _activate(name, raw)
        record, two, extended = _record(image)
        marks = _read_marks(two, extended)
    rate = _default_rate(codecs)
    fields = _fields_of(record)
    return Info(path=name, samplerate=rate, frames=(length * rate + 500) // 1000, duration=length / 1000,
                length_ms=length, channels=1,
                codecs=tuple(n for bit, n in ((N.CODEC_SP, "SP"), (N.CODEC_LP, "LP")) if codecs & bit),
                codec_flags=codecs, header_blocks=2 if two else 1, extended=extended,
                locked=fields["lock"] == 0, marks=marks, header=fields)


# ------------------------------------------------------------------ decoding

class Marks(Sequence[Mark]):
    """The marks of a KvxFile; in "r+", add() and delete() take effect at
    save()."""

    def __init__(self, marks: List[Mark], writable: bool, length_ms: int) -> None:
        self._marks = list(marks)
        self._writable = writable
        self._length = length_ms
        self.pending: List[Tuple[str, int]] = []

    def __getitem__(self, index):  # type: ignore[override]
        return self._marks[index]

    def __len__(self) -> int:
        return len(self._marks)

    def _writable_check(self) -> None:
        if not self._writable:
            raise PermissionError("the file was opened for reading: open it with mode='r+'")

    def add(self, seconds: float) -> None:
        """A mark at this time (seconds, at most the recording's length)."""
        self._writable_check()
        ms = _ms(seconds, "mark")
        if ms > self._length:
            raise ValueError(f"a mark at {seconds} s lies past the end ({self._length / 1000} s)")
        self.pending.append(("add", ms))
        self._marks = sorted(self._marks + [Mark(ms, True)], key=lambda m: m.ms)

    def delete(self, seconds: float) -> None:
        """Deletes the mark at this time."""
        self._writable_check()
        ms = _ms(seconds, "mark")
        self.pending.append(("delete", ms))
        self._marks = [m for m in self._marks if m.ms != ms]

    def __repr__(self) -> str:
        return f"Marks({self._marks!r})"


class KvxFile:
    """A recording opened for reading its samples (seek, read) and, in mode
    "r+", for changing its header fields and marks (save).

        with kvx.KvxFile("memo.kvx", rate=16000) as f:
            f.seek(16000)                  # one second in
            chunk = f.read(8000, dtype="float32")

    `rate` None gives the decoder's own rate (SP 11000 Hz, LP 8000 Hz; SP
    and LP parts of one file at the SP rate); any rate from 8000 to 48000 Hz
    is converted by libsoxr from the codec's own (SP 12000 Hz, LP 8000 Hz).
    """

    def __init__(self, path: PathLike, mode: str = "r", *, rate: Optional[int] = None,
                 postfilter: bool = False) -> None:
        if mode not in ("r", "r+"):
            raise ValueError("mode is 'r' or 'r+'")
        if rate is not None and not (isinstance(rate, int) and 8000 <= rate <= 48000):
            raise ValueError("rate is a whole number of Hz from 8000 to 48000")
        self.name, self._raw = _name(path)
        self.mode = mode
        self._postfilter = postfilter
        with N.LOCK:
            image = _header_image(self.name, self._raw)
            try:
                self.length_ms, self._codecs = _activate(self.name, self._raw)
            except KvxError:
                _check_sound(self.name, self._raw)  # a file cut inside its header says so
                raise
            record, self._two, self._extended = _record(image)
            marks = _read_marks(self._two, self._extended)
        self.samplerate = rate if rate is not None else _default_rate(self._codecs)
        self._converts = rate is not None or self._codecs == N.CODEC_SP | N.CODEC_LP
        self.frames = (self.length_ms * self.samplerate + 500) // 1000
        self.channels = 1
        self.header = Header(_fields_of(record), mode == "r+")
        self.marks = Marks(marks, mode == "r+", self.length_ms)
        self._scanned = False
        self._decoder: Optional[N.Decoder] = None
        self._pending: List[np.ndarray] = []  # decoded samples not yet read (int16 or float32)
        self._pending_len = 0
        self._position = 0    # the next sample read() gives
        self._produced = 0    # samples decoded so far (read and pending)
        self._skip = 0        # samples still to drop after a run started before its position
        self._ended = False
        self._resampler: Optional[N.Resampler] = None
        self._run_codec = -1  # of the frames of the run that goes on: 0 SP, 1 LP

    # -- context manager
    def __enter__(self) -> "KvxFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        self._close_decoder()
        self._pending = []

    # -- reading
    def tell(self) -> int:
        return self._position

    def seek(self, frames: int, whence: int = os.SEEK_SET) -> int:
        """Moves to a sample (at `samplerate`); the next read starts there,
        with the samples of ``kvx decode --start``: sample round(S * rate /
        1000) is where a decode from S ms begins.  Every move starts a new
        run (3 s of audio before the target decoded and dropped), so that a
        converted rate gives the tool's samples rather than the run's before
        (which may differ by a 16-bit step)."""
        target = {os.SEEK_SET: 0, os.SEEK_CUR: self._position, os.SEEK_END: self.frames}[whence] + int(frames)
        if target < 0:
            raise ValueError("a position before the start")
        if target != self._position:
            self._restart(target)
        return self._position

    def read(self, frames: int = -1, dtype: str = "int16") -> np.ndarray:
        """Up to `frames` samples from the position (all the rest for -1),
        as int16, or float32/float64 scaled by 1/32768."""
        if dtype not in _DTYPES:
            raise ValueError("dtype is 'int16', 'float32' or 'float64'")
        wanted = None if frames is None or frames < 0 else int(frames)
        # The result is allocated once, for what the header says is left,
        # and the samples converted into it as they are decoded: a long
        # read holds its result and a few decoded frames, nothing twice.
        left = max(self.frames - self._position, 0) + 8192
        result = np.empty(left if wanted is None else min(wanted, left), _DTYPES[dtype])
        got = 0
        while True:
            while self._pending and (wanted is None or got < wanted):
                head = self._pending[0]
                n = len(head) if wanted is None else min(len(head), wanted - got)
                if n == len(head):
                    self._pending.pop(0)
                else:
                    self._pending[0] = head[n:]
                    head = head[:n]
                if got + n > len(result):  # more than the header said
                    result = np.concatenate([result[:got], np.empty(max(got + n, 2 * len(result)) - got,
                                                                    result.dtype)])
                _convert(head, result[got:got + n])
                got += n
                self._pending_len -= n
            if self._ended or (wanted is not None and got >= wanted):
                break
            self._decode(_RUN_FRAMES)
        self._position += got
        return result[:got] if len(result) - got < 65536 else result[:got].copy()

    def _restart(self, target: int) -> None:
        """A new run from the block that holds the target, LEAD_MS early,
        its samples before the target dropped."""
        self._pending, self._pending_len = [], 0
        self._position = self._produced = target
        self._ended = False
        self._start_run()

    def _start_run(self) -> None:
        """Starts a run at self._produced in a fresh decoder instance."""
        if not self._scanned:
            _check_sound(self.name, self._raw)
            self._scanned = True
        self._close_decoder()
        decoder = self._decoder = N.Decoder()
        lib = decoder.lib
        _activate(self.name, self._raw, lib)
        self._sp_rate = SP_STAGE_RATE if self.samplerate == SP_STAGE_RATE else SP_RATE
        control = N.CW_NO_DEVICE | N.CW_RESET | N.CW_REPOSITION
        if self._postfilter:
            control |= N.CW_POSTFILTER
        if self._codecs & N.CODEC_SP and self._sp_rate == SP_RATE:
            control |= N.CW_SP_288
        # The time whose sample the target is (kvx decode --start S begins at
        # sample round(S * rate / 1000)), and the run started as decode's.
        ms = (self._produced * 1000 + self.samplerate // 2) // self.samplerate
        begin = ms - min(ms, LEAD_MS)
        decoder.control.value = control
        result = lib.KVXStartDecoding(begin)
        block_ms = ctypes.c_uint32(begin)
        if result == N.OK and begin != 0:
            # A run begins at the block that holds its start: ending it at
            # once tells that block's time.
            lib.KVXEndDecoding(ctypes.byref(block_ms))
            decoder.control.value = control
            result = lib.KVXStartDecoding(begin)
        _check(result, self.name, self._raw)
        # decode drops round((S - block) * rate / 1000) samples of the run;
        # a target between two times' samples keeps its distance from S's.
        self._skip = (self._produced - _samples_in(ms, self.samplerate)
                      + _samples_in(ms - block_ms.value, self.samplerate))

    def _close_decoder(self) -> None:
        if self._resampler is not None:
            self._resampler.close()
        self._resampler, self._run_codec = None, -1
        if self._decoder is not None:
            self._decoder.close()
            self._decoder = None

    def _decode(self, count: int) -> None:
        """Decodes up to `count` more frames into the pending samples."""
        if self._decoder is None:
            self._start_run()
        decode = self._decoder.lib.KVXDecodeToPCM
        pcm, codec = ctypes.c_void_p(), ctypes.c_uint32()
        pcm_ref = ctypes.cast(ctypes.byref(pcm), ctypes.POINTER(ctypes.POINTER(ctypes.c_int16)))
        codec_ref = ctypes.byref(codec)
        # A new buffer each time: the parts at the codec's rate are kept
        # as they are until read.
        buffer = np.empty(count * 288, np.int16)
        address = buffer.ctypes.data
        filled = emitted = 0
        out: List[np.ndarray] = []
        run_codec = self._run_codec
        sp_size = 288 if self._sp_rate == SP_RATE else 264
        size = 240 if run_codec == 1 else sp_size
        memmove = ctypes.memmove
        for _ in range(count):
            pcm.value = None
            if decode(pcm_ref, codec_ref) == 0:
                self._ended = True
                break
            frame = pcm.value
            if not frame:
                continue  # a change of codec
            if codec.value != run_codec:
                run_codec = codec.value
                self._emit(buffer[emitted:filled], out)
                emitted = filled
                self._new_run(run_codec, out)
                size = 240 if run_codec else sp_size
            memmove(address + filled * 2, frame, size * 2)
            filled += size
        self._emit(buffer[emitted:filled], out)
        if self._ended:
            if self._resampler is not None:
                self._resampler.finish(out)
                self._resampler = None
            self._close_decoder()
        for part in out:
            self._push(part)

    def _new_run(self, codec: int, out: List[np.ndarray]) -> None:
        """A run of frames of another codec: the last run's resampler
        flushed, a new one where the codec's rate is not the output's."""
        if self._resampler is not None:
            self._resampler.finish(out)
            self._resampler = None
        self._run_codec = codec
        rate = LP_RATE if codec else self._sp_rate
        if rate != self.samplerate:
            self._resampler = N.Resampler(rate, self.samplerate)

    def _emit(self, samples: np.ndarray, out: List[np.ndarray]) -> None:
        if len(samples) == 0:
            return
        if self._resampler is not None:
            self._resampler.process(samples, out)
        else:
            out.append(samples)

    def _push(self, part: np.ndarray) -> None:
        if self._skip > 0:
            dropped = min(self._skip, len(part))
            self._skip -= dropped
            part = part[dropped:]
        if len(part):
            self._pending.append(part)
            self._pending_len += len(part)
            self._produced += len(part)

    # -- writing
    def save(self) -> None:
        """Writes the changed header fields, then the mark deletions and
        additions, through the library."""
        if self.mode != "r+":
            raise PermissionError("the file was opened for reading: open it with mode='r+'")
        lib = N.kvx()
        with N.LOCK:
            _activate(self.name, self._raw)
            changed = self.header._changed
            if changed:
                record, _, _ = _record(_header_image(self.name, self._raw))
                mask = _apply(record, changed)
                _check(lib.KVXSetHeaderInfo(ctypes.byref(record), mask), self.name, self._raw)
                changed.clear()
            for action, ms in self.marks.pending:
                if action == "add":
                    result = lib.KVXWriteExtIndexMark(ms)
                    if result == N.ERR_NOT_EXTENDED:
                        result = lib.KVXWriteIndexMark(ms)
                else:
                    result = lib.KVXDeleteExtIndexMark(ms)
                    if result == N.ERR_NOT_EXTENDED:
                        result = lib.KVXDeleteIndexMark(ms)
                _check(result, self.name, self._raw, f"{'adding' if action == 'add' else 'deleting'} "
                                                     f"the mark at {ms / 1000} s")
            self.marks.pending.clear()
        if self._decoder is not None:
            self._close_decoder()  # the next read decodes the file as it is now


_CLIP_LOW, _CLIP_HIGH = np.float32(-32768), np.float32(32767)


def _convert(part: np.ndarray, out: np.ndarray) -> None:
    """Puts decoded samples (int16 at the codec's rate, float32 converted)
    into `out` at its type: floats are the 16-bit samples / 32768, and
    converted float samples become 16-bit as kvx decode rounds them (to
    nearest, ties to even, clipped).  A converted part is the package's
    own buffer, read once: it is scaled in place."""
    if part.dtype == np.float32 and out.dtype == np.int16:
        np.multiply(part, np.float32(32768), out=part)
        # Clipping costs more than the rest; speech seldom needs it.
        if part.min() < _CLIP_LOW or part.max() > _CLIP_HIGH:
            np.clip(part, _CLIP_LOW, _CLIP_HIGH, out=part)
        np.rint(part, out=out, casting="unsafe")
    elif part.dtype == np.int16 and out.dtype != np.int16:
        np.multiply(part, out.dtype.type(1 / 32768), out=out)
    else:
        out[...] = part


def _check_sound(name: str, raw: bytes) -> None:
    """Refuses a recording that kvx decode would salvage (exit 3) or find
    no audio in: cut short (inside a frame, or at a block boundary before
    the length its header states) or damaged.  The library would decode
    what it can, perhaps wrongly, and stop."""
    try:
        with open(raw, "rb") as f:
            image = f.read()
    except OSError as error:
        raise KvxError(1, f"the file cannot be opened: {error.strerror}", name) from error
    why = _scan.damage(image)
    if why:
        raise DamagedError(0, f"damaged: {why} (kvx decode salvages it)", name)


def read(path: PathLike, *, rate: Optional[int] = None, dtype: str = "int16", start: Optional[int] = None,
         stop: Optional[int] = None, postfilter: bool = False) -> Tuple[np.ndarray, int]:
    """The samples of a recording and their rate, as soundfile.read gives
    them: ``data, samplerate = kvx.read("memo.kvx", rate=16000)``.

    `start` and `stop` are sample indices at the output rate; float dtypes
    are the 16-bit samples scaled by 1/32768.  Equal, sample for sample, to
    ``kvx decode`` at the same rate."""
    with KvxFile(path, rate=rate, postfilter=postfilter) as f:
        begin = start or 0
        if begin:
            f.seek(begin)
        count = -1 if stop is None else max(0, stop - begin)
        return f.read(count, dtype), f.samplerate


def blocks(path: PathLike, blocksize: int, *, rate: Optional[int] = 16000, dtype: str = "float32",
           start: Optional[int] = None, postfilter: bool = False) -> Iterator[np.ndarray]:
    """The samples in arrays of `blocksize` (the last may be shorter),
    decoded as they are asked for: a long recording streamed without being
    held whole.  Joined, they equal read() at the same rate."""
    if blocksize <= 0:
        raise ValueError("blocksize is a positive number of samples")
    with KvxFile(path, rate=rate, postfilter=postfilter) as f:
        if start:
            f.seek(start)
        while True:
            block = f.read(blocksize, dtype)
            if len(block) == 0:
                return
            yield block


# ------------------------------------------------------------------ editing

def _session_error(handle: int, result: int, name: str, raw: bytes, what: str = "") -> KvxError:
    """Ends the write session without keeping anything; the error to raise."""
    N.kvx().KVXCloseFileEx(handle, b"", 1)
    return error_for(result, what, name, _locked(raw) if result == N.ERR_LOCKED else None)


def _commit(handle: int, name: str, raw: bytes, out: Optional[PathLike]) -> Info:
    target = _name(out) if out is not None else (name, raw)
    result = N.kvx().KVXCloseFileEx(handle, target[1] if out is not None else b"", 0)
    if result != N.OK:
        raise _session_error(handle, result, name, raw)
    return info(target[1])


def _create(name: str, raw: bytes, kind: int) -> int:
    result = ctypes.c_uint32()
    handle = N.kvx().KVXCreateFile(raw, kind, ctypes.byref(result))
    if not handle:
        raise error_for(result.value, "", name, _locked(raw) if result.value == N.ERR_LOCKED else None)
    return handle


def cut(path: PathLike, start: float, end: float, out: Optional[PathLike] = None) -> Info:
    """Erases the stretch from `start` to `end` (seconds; both taken back to
    the start of the frame that holds them).  With `out`, the result goes
    there and the recording stays as it was.  The result's Info."""
    name, raw = _name(path)
    begin, finish = _ms(start, "start"), _ms(end, "end")
    if begin >= finish:
        raise ValueError("start must lie before end")
    with N.LOCK:
        _activate(name, raw)
        handle = _create(name, raw, 1)
        erased = N.EraseResult()
        result = N.kvx().KVXPartialErase(handle, begin, finish, ctypes.byref(erased))
        if result != N.OK:
            raise _session_error(handle, result, name, raw)
        return _commit(handle, name, raw, out)


def _source_frames(name: str, raw: bytes, start_ms: int, end_ms: Optional[int]) -> _scan.Frames:
    try:
        with open(raw, "rb") as f:
            image = f.read()
    except OSError as error:
        raise KvxError(1, f"the file cannot be opened: {error.strerror}", name) from error
    frames = _scan.walk(image, start_ms, end_ms, keep=True)
    if frames.broken_block >= 0 and (end_ms is None or frames.length_ms < end_ms):
        raise DamagedError(0, f"its frames break off in audio block {frames.broken_block + 1}",
                           name)
    return frames


def _refusal(src: _scan.Frames, source: str, mode: int, target: str) -> Optional[str]:
    """Why a write session in `mode` cannot take the source's frames."""
    sp, lp = 1 << _scan.PLAIN_SP | 1 << _scan.FLAG_SP, 1 << _scan.LP
    want_lp = mode == _scan.LP
    if src.modes & sp and src.modes & lp:
        return f"{source} holds both SP and LP frames there"
    if src.modes & (sp if want_lp else lp):
        return f"{source} is {'SP' if want_lp else 'LP'}, {target} takes {'LP' if want_lp else 'SP'}"
    if not want_lp and src.modes != 1 << mode:
        return (f"{source} is {_scan.MODE_NAMES[mode ^ 1]}, {target} takes {_scan.MODE_NAMES[mode]} frames, "
                "whose bits are laid out otherwise")
    if src.short_frames:
        return (f"{source} has {src.short_frames} {'silence' if want_lp else 'noise'} frames (the first at "
                f"{src.first_short_ms / 1000} s); a write session takes full frames only")
    return None


def _write_frames(handle: int, src: _scan.Frames, mode: int) -> Tuple[int, N.WriteStatus]:
    size = 24 if mode == _scan.LP else 41
    status = N.WriteStatus()
    write = N.kvx().KVXWriteFile
    data = bytes(src.data)
    for i in range(src.count):
        result = write(handle, data[i * size:(i + 1) * size], 1 if i + 1 == src.count else 0, ctypes.byref(status))
        if result != N.OK:
            return result, status
    return N.OK, status


def insert(path: PathLike, at: float, source: PathLike, *, start: float = 0, end: Optional[float] = None,
           out: Optional[PathLike] = None, overwrite: bool = False) -> Info:
    """Inserts the frames of `source` from `start` to `end` (seconds; the
    whole source by default) at `at` seconds of the recording; with
    `overwrite`, they replace what lies there.  The source must be of the
    recording's codec and hold full frames only (no SP noise or LP silence
    frames; for SP, plain frames).  The result's Info."""
    name, raw = _name(path)
    src_name, src_raw = _name(source)
    at_ms, from_ms = _ms(at, "at"), _ms(start, "start")
    to_ms = None if end is None else _ms(end, "end")
    if to_ms is not None and to_ms <= from_ms:
        raise ValueError("start must lie before end")
    with N.LOCK:
        _activate(src_name, src_raw)
        src = _source_frames(src_name, src_raw, from_ms, to_ms)
        if src.count == 0:
            raise ValueError(f"{src_name}: no frames from {start} s to {'the end' if end is None else end}")
        length, _ = _activate(name, raw)
        if at_ms > length:
            raise ValueError(f"{name}: {at} s lies past its end ({length / 1000} s)")
        handle = _create(name, raw, 1)
        mode = ctypes.c_uint8()
        result = N.kvx().KVXSetWritePointer(handle, at_ms, ctypes.byref(mode), 0 if overwrite else 1, 0)
        if result != N.OK:
            raise _session_error(handle, result, name, raw)
        refused = _refusal(src, src_name, mode.value, name)
        if refused:
            N.kvx().KVXCloseFileEx(handle, b"", 1)
            raise ValueError(refused)
        result, _ = _write_frames(handle, src, mode.value)
        if result != N.OK:
            raise _session_error(handle, result, name, raw)
        return _commit(handle, name, raw, out)


def concat(paths: Sequence[PathLike], out: PathLike) -> Info:
    """Joins recordings of one codec into a new file `out`, each part's
    marks kept at their new times.  The result's Info."""
    parts = [_name(p) for p in paths]
    out_name, out_raw = _name(out)
    if not parts:
        raise ValueError("nothing to join")
    with N.LOCK:
        lib = N.kvx()
        sources = []
        mode, first = _scan.PLAIN_SP, None
        for name, raw in parts:
            _activate(name, raw)
            positions, count = (ctypes.c_uint32 * 16)(), ctypes.c_uint32()
            result = lib.KVXGetExtIndexMark(positions, ctypes.byref(count))
            if result == N.ERR_NOT_EXTENDED:
                result = lib.KVXGetIndexMark(positions, ctypes.byref(count))
            _check(result, name, raw, "its marks")
            src = _source_frames(name, raw, 0, None)
            marks = [positions[i] for i in range(min(count.value, 16))]
            sources.append((name, src, marks))
            if src.count == 0:
                continue
            if first is None:
                first = name
                mode = _scan.LP if src.modes & 1 << _scan.LP else \
                    _scan.FLAG_SP if src.modes & 1 << _scan.FLAG_SP else _scan.PLAIN_SP
            refused = _refusal(src, name, mode, f"the joined file (as {first})")
            if refused:
                raise ValueError(refused + "; nothing was written")
        handle = _create(out_name, out_raw, 0)
        length = 0
        for name, src, marks in sources:
            offset = length
            if src.count:
                m = ctypes.c_uint8(mode)
                result = lib.KVXSetWritePointer(handle, length, ctypes.byref(m), 1, 0)
                status = N.WriteStatus()
                if result == N.OK:
                    result, status = _write_frames(handle, src, mode)
                if result != N.OK:
                    raise _session_error(handle, result, out_name, out_raw, f"writing {name}")
                length = status.length
            for ms in marks:
                result = lib.KVXWriteExtIndexMark(offset + ms) if offset + ms <= 0x7FFFFFFF else 525
                if result != N.OK:
                    raise _session_error(handle, result, out_name, out_raw,
                                         f"the mark of {name} at {ms / 1000} s cannot be kept")
        return _commit(handle, out_name, out_raw, None)
