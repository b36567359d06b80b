"""Read and edit KVX dictation recordings from Python.

    >>> import kvx
    >>> data, rate = kvx.read("memo.kvx", rate=16000, dtype="float32")

The package binds the kvx library (libkvx) through ctypes and converts rates
through libsoxr with the settings of ``kvx decode --rate``, so that both give
the same samples.  Float samples are the 16-bit ones scaled by 1/32768
(full scale is 1.0; -1.0 is reached, +1.0 is not).

The library keeps one active file, one decoding run and one write session
for the whole process.  The package takes a lock around every use of it, so
any thread may call any function; calls run one after another, with the GIL
released inside each library call.  To decode files truly in parallel, use
processes (concurrent.futures.ProcessPoolExecutor): each has a library of
its own.
"""
from __future__ import annotations

from ._api import (Info, KvxFile, Mark, blocks, concat, cut, info, insert, read)
from .errors import DamagedError, KvxError, LockedError, NotKvxError

__all__ = ["info", "read", "blocks", "KvxFile", "Info", "Mark", "cut", "insert", "concat",
           "KvxError", "NotKvxError", "LockedError", "DamagedError"]
__version__ = "0.1.0"
