"""The two C libraries the package binds through ctypes: libkvx itself and
libsoxr (for rate conversion, with the settings of ``kvx decode``).

ctypes lets go of the GIL for the length of every foreign call, so other
Python threads run while a frame is decoded or converted.
"""
from __future__ import annotations

import _ctypes
import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional

# Result codes of kvx.h that the package tells apart.
OK = 0
ERR_NOT_KVX = 7
ERR_READ_ONLY = 8
ERR_LOCKED = 80
ERR_NOT_EXTENDED = 260
ERR_BUSY = 523

CW_RESET = 0x1
CW_REPOSITION = 0x4
CW_POSTFILTER = 0x20000
CW_SP_288 = 0x40000
CW_NO_DEVICE = 0x80000

CODEC_SP = 1
CODEC_LP = 2


class HeaderInfoEx(ctypes.Structure):
    """The library's full header record (288 bytes, packed)."""
    _pack_ = 1
    _fields_ = [
        ("codingMode", ctypes.c_uint8), ("text1", ctypes.c_char * 16), ("unused17", ctypes.c_uint8 * 3),
        ("number", ctypes.c_uint32), ("word32", ctypes.c_uint16), ("endTrans", ctypes.c_uint16),
        ("signedWord", ctypes.c_int16), ("lengthDigits", ctypes.c_char * 6), ("endDate", ctypes.c_char * 6),
        ("endTime", ctypes.c_char * 6), ("startDate", ctypes.c_char * 6), ("startTime", ctypes.c_char * 6),
        ("lock", ctypes.c_uint8), ("priority", ctypes.c_uint8), ("text2", ctypes.c_char * 16),
        ("text3", ctypes.c_char * 16),
        ("itemA1", ctypes.c_uint32), ("itemA2", ctypes.c_uint32), ("itemAText", ctypes.c_char * 20),
        ("itemB1", ctypes.c_uint32), ("itemB2", ctypes.c_uint32), ("itemBText", ctypes.c_char * 20),
        ("itemC1", ctypes.c_uint32), ("itemC2", ctypes.c_uint32), ("itemCText", ctypes.c_char * 20),
        ("flag1", ctypes.c_uint8), ("flag2", ctypes.c_uint8), ("number2", ctypes.c_uint32),
        ("lengthMs", ctypes.c_uint32), ("text4", ctypes.c_char * 100),
    ]


assert ctypes.sizeof(HeaderInfoEx) == 288


class WriteStatus(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("position", ctypes.c_uint32), ("length", ctypes.c_uint32), ("level", ctypes.c_float)]


class EraseResult(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("position", ctypes.c_uint32), ("length", ctypes.c_uint32)]


def library_candidates() -> List[str]:
    """Where libkvx is looked for, in order: the file that KVX_LIBRARY
    names; a copy in the package's own folder; the system's library path."""
    names = ["kvx.dll"] if sys.platform == "win32" else ["libkvx.so", "libkvx.so.0"]
    found: List[str] = []
    env = os.environ.get("KVX_LIBRARY")
    if env:
        found.append(env)
    here = Path(__file__).resolve().parent
    found += [str(here / n) for n in names if (here / n).exists()]
    system = ctypes.util.find_library("kvx")
    found += [system] if system else []
    found += names[::-1]  # the dynamic loader's own search (LD_LIBRARY_PATH, ld.so.cache)
    return found


def _load_kvx() -> ctypes.CDLL:
    env = os.environ.get("KVX_LIBRARY")
    tried = []
    for candidate in library_candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            if env and candidate == env:
                # A library named on purpose that does not load is said, not passed over.
                raise OSError(f"KVX_LIBRARY={env} cannot be loaded: {error}") from error
            tried.append(candidate)
    raise OSError("libkvx cannot be found (tried " + ", ".join(tried) +
                  "); set KVX_LIBRARY to the built libkvx.so, or install the library")


def _prototypes(lib: ctypes.CDLL) -> None:
    u32, u16, u8, i32 = ctypes.c_uint32, ctypes.c_uint16, ctypes.c_uint8, ctypes.c_int32
    P = ctypes.POINTER
    char_p, void_p = ctypes.c_char_p, ctypes.c_void_p
    table = {
        "KVXInitDecoder": (u32, [void_p, P(u32)]),
        "KVXStartDecoding": (u32, [u32]),
        "KVXEndDecoding": (u32, [P(u32)]),
        "KVXDecodeToPCM": (u32, [P(P(ctypes.c_int16)), P(u32)]),
        "KVXActiveFile": (u32, [char_p, P(u32), P(u16)]),
        "KVXActiveFolder": (u32, [char_p, u32]),
        "KVXGetHeaderInfoEx": (u32, [char_p, P(HeaderInfoEx)]),
        "KVXSetHeaderInfo": (u32, [P(HeaderInfoEx), u32]),
        "KVXGetIndexMark": (u32, [P(u32), P(u32)]),
        "KVXGetExtIndexMark": (u32, [P(u32), P(u32)]),
        "KVXWriteIndexMark": (u32, [u32]),
        "KVXWriteExtIndexMark": (u32, [i32]),
        "KVXDeleteIndexMark": (u32, [u32]),
        "KVXDeleteExtIndexMark": (u32, [u32]),
        "KVXCreateFile": (void_p, [char_p, u32, P(u32)]),
        "KVXSetWritePointer": (u32, [void_p, u32, P(u8), u8, u8]),
        "KVXWriteFile": (u32, [void_p, char_p, u32, P(WriteStatus)]),
        "KVXPartialErase": (u32, [void_p, u32, u32, P(EraseResult)]),
        "KVXCloseFileEx": (u32, [void_p, char_p, u32]),
    }
    if sys.platform != "win32":
        table["KVXPosixCreateWindow"] = (void_p, [void_p, void_p])
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


# One lock for everything the shared library instance holds process-wide:
# the active file, the marks, the write session.  Reentrant, since a call
# may be made from within another (an edit that reads a source first).
LOCK = threading.RLock()

_kvx: Optional[ctypes.CDLL] = None
_kvx_path: Optional[str] = None
# The control word whose address the library keeps from the first
# KVXInitDecoder on: it must live as long as the instance.
CONTROL = ctypes.c_uint32(0)


class _LinkMap(ctypes.Structure):
    _fields_ = [("l_addr", ctypes.c_void_p), ("l_name", ctypes.c_char_p)]


def _loaded_path(lib: ctypes.CDLL) -> str:
    """The file the dynamic loader took for `lib`."""
    if sys.platform == "win32":
        buffer = ctypes.create_unicode_buffer(1024)
        ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(lib._handle), buffer, 1024)
        return buffer.value
    libdl = ctypes.CDLL(None)
    libdl.dlinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    link = ctypes.POINTER(_LinkMap)()
    if libdl.dlinfo(ctypes.c_void_p(lib._handle), 2, ctypes.byref(link)) != 0:  # RTLD_DI_LINKMAP
        raise OSError("the loaded libkvx cannot be located")
    return os.fsdecode(link.contents.l_name)


def kvx() -> ctypes.CDLL:
    """The shared instance of libkvx, for the header, marks and edits."""
    global _kvx, _kvx_path
    with LOCK:
        if _kvx is None:
            lib = _load_kvx()
            _prototypes(lib)
            _kvx_path = _loaded_path(lib)
            _kvx = lib
        return _kvx


# ------------------------------------------------------- decoder instances
#
# The SP decoder's synthesis and postfilter memories outlive a decoding run:
# the library decodes a recording as `kvx decode` does (a process of its own)
# only when nothing was decoded before in that copy of it.  So each decoding
# run loads a private copy of the library, whose state starts at zero as in
# a new process, and unloads it at the end.  Copies are files of their own
# (the loader hands out one instance per file), kept in a temporary folder;
# one in use by a run is not handed to another, so runs in several threads
# are independent and decode at once.

_copies_dir: Optional[str] = None
_free_copies: List[str] = []
_copy_count = 0


def _copy_path() -> str:
    global _copies_dir, _copy_count
    import atexit
    import shutil
    import tempfile
    with LOCK:
        if _free_copies:
            return _free_copies.pop()
        kvx()
        if _copies_dir is None:
            _copies_dir = tempfile.mkdtemp(prefix="kvx-python-")
            atexit.register(shutil.rmtree, _copies_dir, True)
        _copy_count += 1
        path = os.path.join(_copies_dir, f"libkvx-run{_copy_count}" + (".dll" if sys.platform == "win32" else ".so"))
        shutil.copyfile(_kvx_path, path)
        return path


class Decoder:
    """A private, freshly loaded instance of libkvx for one decoding run."""

    def __init__(self) -> None:
        self._path = _copy_path()
        try:
            self.lib = ctypes.CDLL(self._path)
        except OSError:
            _free_copies.append(self._path)
            raise
        _prototypes(self.lib)
        self.control = ctypes.c_uint32(0)
        if sys.platform != "win32":
            # No sound device is opened: the silent sink spares the probe of
            # the sound card.
            self.lib.KVXPosixSetWaveSink.argtypes = [ctypes.c_char_p]
            self.lib.KVXPosixSetWaveSink(b"null")
        # No window: decoding to memory sends none a message, and a window
        # would tie the copy to its thread's message queue, which keeps it
        # loaded until that thread ends.
        result = self.lib.KVXInitDecoder(None, ctypes.byref(self.control))
        if result != OK:
            self.close()
            from .errors import error_for
            raise error_for(result, "the decoding service cannot be set up")

    def close(self) -> None:
        lib = self.__dict__.pop("lib", None)
        if lib is None:
            return
        handle = lib._handle
        del lib
        # _ctypes imported at the top: a copy closed at the interpreter's
        # exit can no longer import.
        if sys.platform == "win32":
            _ctypes.FreeLibrary(handle)
        else:
            _ctypes.dlclose(handle)
        with LOCK:
            _free_copies.append(self._path)

    def __del__(self) -> None:
        self.close()


# ---------------------------------------------------------------- libsoxr

class _IoSpec(ctypes.Structure):
    _fields_ = [("itype", ctypes.c_int), ("otype", ctypes.c_int), ("scale", ctypes.c_double),
                ("e", ctypes.c_void_p), ("flags", ctypes.c_ulong)]


class _QualitySpec(ctypes.Structure):
    _fields_ = [("precision", ctypes.c_double), ("phase_response", ctypes.c_double),
                ("passband_end", ctypes.c_double), ("stopband_begin", ctypes.c_double),
                ("e", ctypes.c_void_p), ("flags", ctypes.c_ulong)]


_SOXR_FLOAT32_I = 0
_SOXR_INT16_I = 3
_SOXR_HQ = 4
_soxr: Optional[ctypes.CDLL] = None


def soxr() -> ctypes.CDLL:
    """libsoxr (Debian libsoxr0), loaded at the first conversion."""
    global _soxr
    with LOCK:
        if _soxr is None:
            lib = None
            for name in ("libsoxr.so.0", ctypes.util.find_library("soxr"), "soxr.dll", "libsoxr.dll"):
                try:
                    lib = ctypes.CDLL(name) if name else None
                except OSError:
                    continue
                if lib is not None:
                    break
            if lib is None:
                raise OSError("libsoxr cannot be loaded (Debian: apt-get install libsoxr0): rate= and files "
                              "holding both codecs need it")
            lib.soxr_create.restype = ctypes.c_void_p
            lib.soxr_create.argtypes = [ctypes.c_double, ctypes.c_double, ctypes.c_uint,
                                        ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_IoSpec),
                                        ctypes.POINTER(_QualitySpec), ctypes.c_void_p]
            lib.soxr_process.restype = ctypes.c_char_p
            lib.soxr_process.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                         ctypes.POINTER(ctypes.c_size_t), ctypes.c_void_p, ctypes.c_size_t,
                                         ctypes.POINTER(ctypes.c_size_t)]
            lib.soxr_delete.restype = None
            lib.soxr_delete.argtypes = [ctypes.c_void_p]
            lib.soxr_io_spec.restype = _IoSpec
            lib.soxr_io_spec.argtypes = [ctypes.c_int, ctypes.c_int]
            lib.soxr_quality_spec.restype = _QualitySpec
            lib.soxr_quality_spec.argtypes = [ctypes.c_ulong, ctypes.c_ulong]
            _soxr = lib
        return _soxr


class Resampler:
    """One run of one codec's frames from `from_rate` to `to_rate`: 16-bit
    samples in, float32 out, high quality with the passband flat to 85 % of
    the lower Nyquist rate -- the settings of ``kvx decode --rate``, so that
    both give the same samples."""

    def __init__(self, from_rate: int, to_rate: int) -> None:
        lib = soxr()
        io = lib.soxr_io_spec(_SOXR_INT16_I, _SOXR_FLOAT32_I)
        quality = lib.soxr_quality_spec(_SOXR_HQ, 0)
        quality.passband_end = 0.85
        error = ctypes.c_char_p()
        self._lib = lib
        self._ratio = to_rate / from_rate
        self._handle = lib.soxr_create(from_rate, to_rate, 1, ctypes.byref(error), ctypes.byref(io),
                                       ctypes.byref(quality), None)
        if not self._handle or error.value:
            if self._handle:
                lib.soxr_delete(self._handle)
            self._handle = None
            raise ValueError(f"libsoxr cannot convert {from_rate} Hz to {to_rate} Hz: "
                             f"{(error.value or b'').decode(errors='replace')}")

    def process(self, samples, out: list) -> None:
        """Appends the float32 samples that `samples` (int16, contiguous) give."""
        import numpy as np
        count = len(samples)
        offset = 0
        used, made = ctypes.c_size_t(), ctypes.c_size_t()
        room = int(count * self._ratio) + 64
        while offset < count:
            buffer = np.empty(room, np.float32)
            error = self._lib.soxr_process(self._handle, samples[offset:].ctypes.data, count - offset,
                                           ctypes.byref(used), buffer.ctypes.data, room, ctypes.byref(made))
            if error is not None:
                raise RuntimeError("libsoxr: " + error.decode(errors="replace"))
            if used.value == 0 and made.value == 0:
                raise RuntimeError("libsoxr made no progress")
            out.append(buffer[:made.value])
            offset += used.value

    def finish(self, out: list) -> None:
        """Appends the run's last samples and ends the run."""
        import numpy as np
        made = ctypes.c_size_t()
        try:
            while True:
                buffer = np.empty(4096, np.float32)
                error = self._lib.soxr_process(self._handle, None, 0, None, buffer.ctypes.data, 4096,
                                               ctypes.byref(made))
                if error is not None:
                    raise RuntimeError("libsoxr: " + error.decode(errors="replace"))
                if made.value == 0:
                    break
                out.append(buffer[:made.value])
        finally:
            self.close()

    def close(self) -> None:
        if self._handle:
            self._lib.soxr_delete(self._handle)
            self._handle = None

    def __del__(self) -> None:
        self.close()
