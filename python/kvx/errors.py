"""The package's exceptions: every failure of the library is a KvxError
carrying the library's result code."""
from __future__ import annotations

from typing import Optional

_MESSAGES = {
    1: "the file cannot be opened",
    3: "out of memory",
    5: "the file's size cannot be read",
    7: "not a KVX file",
    8: "the file may not be written",
    80: "the file is locked",
    257: "the file has a one-block header: no second-block fields",
    258: "no active file",
    259: "the file cannot be opened for writing",
    260: "the header has no extended block",
    513: "the file cannot be opened",
    516: "out of memory while editing",
    517: "a file of the write session cannot be opened",
    518: "nothing to erase: the stretch is empty or lies past the end",
    519: "not enough disk space",
    520: "a write to a file failed",
    521: "a read from a file failed",
    522: "a working or output file cannot be created",
    523: "a write session is open",
    525: "16 marks exist already, or one lies within a second of that time",
    526: "no mark at that time",
    527: "the length would pass 99:59:59",
}


class KvxError(Exception):
    """A failure the library reported.  `code` is its result code (0 where
    the package itself found the fault), `message` says what it means and
    `path` names the file, where there is one."""

    def __init__(self, code: int, message: str, path: Optional[str] = None) -> None:
        self.code = code
        self.message = message
        self.path = path
        super().__init__(f"{path}: {message} (result {code})" if path else f"{message} (result {code})")


class NotKvxError(KvxError):
    """The file is no KVX file (result 7)."""


class LockedError(KvxError):
    """The file is locked against changes (result 80, lock byte 0)."""


class DamagedError(KvxError):
    """The file is a KVX file whose audio is cut short or damaged: its
    frames break off.  `kvx decode` salvages such files; the package does
    not decode them."""


def error_for(code: int, what: str = "", path: Optional[str] = None, locked: Optional[bool] = None) -> KvxError:
    """The exception for a library result.  The library answers a locked
    file and a short mark that has no place with the same code; `locked`
    (the file's lock byte read) tells them apart."""
    message = _MESSAGES.get(code, "failed")
    if code == 80 and locked is False:
        message = "the mark has no place among the short marks (16 at most, none past block 65535)"
    if what:
        message = f"{what}: {message}"
    if code == 7:
        return NotKvxError(code, message, path)
    if code == 80 and locked is not False:
        return LockedError(code, message, path)
    return KvxError(code, message, path)
