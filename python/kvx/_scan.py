"""The frames of a recording, read from its blocks.

A recording is a header of one or two 512-byte blocks and then 512-byte
audio blocks.  An audio block starts with 6 bytes: the offset of its first
frame (bits 7..15 of bytes 0-1), the number of frames that start in it
(byte 2) and the codec (byte 4: 0 plain SP, 1 SP in speech-flag mode, 2 or
3 LP).  A frame may run on into the next block, its rest there before that
block's first frame.  SP blocks hold their 16-bit pairs exchanged.

The library hands out decoded audio only, so the edits read the frames to
hand to a write session here; the same walk tells a recording whose frames
break off (cut short or damaged) before it is decoded.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional

BLOCK = 512
BLOCK_HEADER = 6
PLAIN_SP, FLAG_SP, LP = 0, 1, 2
MODE_NAMES = {PLAIN_SP: "plain SP", FLAG_SP: "SP in speech-flag mode", LP: "LP"}


@dataclass
class Frames:
    """The frames whose end lies in (start_ms, end_ms] of a walk."""
    length_ms: int = 0           # of all frames read
    modes: int = 0               # bit 1 << mode for each kind among the chosen frames
    count: int = 0               # chosen frames
    chosen_ms: int = 0
    short_frames: int = 0        # SP noise (9 bytes) or LP silence (4 bytes) frames among them
    first_short_ms: int = 0
    data: bytearray = field(default_factory=bytearray)  # the chosen full frames, one after another
    broken_block: int = -1       # the audio block where the frames break off
    broken_ms: int = 0


def _frame_size(codec: int, first: int) -> int:
    if codec >= 2:
        return 4 if first & 0x02 else 24
    return 9 if (codec & 1) and not (first & 0x80) else 41


class _Block:
    """A stored block (the last one may be short, its missing bytes read
    as 0): its 6-byte header as stored, its frame bytes as the frames see
    them (SP pairs exchanged back), and how many of them are stored."""
    __slots__ = ("raw", "bytes", "usable", "first", "carries")

    def __init__(self, stored: bytes) -> None:
        raw = stored + bytes(BLOCK - len(stored))
        self.raw = raw
        if raw[4] <= 1:
            swapped = bytearray(BLOCK)
            swapped[0::2] = raw[1::2]
            swapped[1::2] = raw[0::2]
            self.bytes = bytes(swapped)
            self.usable = len(stored) & ~1
        else:
            self.bytes = raw
            self.usable = len(stored)
        self.first = (raw[0] | raw[1] << 8) >> 7
        self.carries = (len(stored) >= BLOCK_HEADER and 0 < raw[2] < 0x80 and raw[4] <= 3
                        and self.first >= BLOCK_HEADER)


def header_blocks(image: bytes) -> Optional[int]:
    """1 or 2, from the first byte; None for what is no KVX header."""
    return image[0] if len(image) >= BLOCK and image[0] in (1, 2) else None


def walk(image: bytes, start_ms: int = 0, end_ms: Optional[int] = None, keep: bool = False) -> Frames:
    """Walks every frame of a whole file's bytes; with `keep`, copies the
    full frames whose end lies in (start_ms, end_ms]."""
    out = Frames()
    blocks = header_blocks(image)
    if blocks is None:
        out.broken_block = 0
        return out
    t = 0
    data = out.data
    offsets = range(blocks * BLOCK, len(image), BLOCK)
    cur = None
    for index, at in enumerate(offsets):
        cur = _Block(image[at:at + BLOCK]) if cur is None else cur
        nxt = _Block(image[at + BLOCK:at + 2 * BLOCK]) if at + BLOCK < len(image) else None
        if cur.carries:
            codec = cur.raw[4]
            mode = LP if codec >= 2 else codec
            ms = 30 if mode == LP else 24
            block, usable, p = cur.bytes, cur.usable, cur.first
            for _ in range(cur.raw[2]):
                if p >= usable:
                    out.broken_block = index
                    break
                size = _frame_size(codec, block[p])
                rest = p + size - BLOCK if p + size > BLOCK else 0
                if rest == 0:
                    whole = p + size <= usable
                else:
                    whole = (nxt is not None and nxt.usable >= BLOCK_HEADER + rest
                             and (not nxt.carries or nxt.first >= BLOCK_HEADER + rest))
                if not whole:
                    out.broken_block = index
                    break
                t += ms
                if keep and t > start_ms and (end_ms is None or t <= end_ms):
                    out.modes |= 1 << mode
                    out.count += 1
                    out.chosen_ms += ms
                    if size < 24:
                        if out.short_frames == 0:
                            out.first_short_ms = t - ms
                        out.short_frames += 1
                    else:
                        data += block[p:p + size - rest]
                        if rest:
                            data += nxt.bytes[BLOCK_HEADER:BLOCK_HEADER + rest]
                p += size
        if out.broken_block >= 0:
            out.broken_ms = t
            break
        cur = nxt
    out.length_ms = t
    return out


# ------------------------------------------------------------------ damage
#
# What kvx decode salvages (and reports, exit 3) the package refuses.  Each
# block is checked on its own -- the constant low bits of its first word, a
# codec the decoders know, a frame count a block can hold, a first frame
# behind the block header, every counted frame beginning inside the block
# -- and against the next one: a last frame that runs on ends where the
# next block's first frame begins.  A file whose blocks are whole but whose
# header says at least a frame more was cut at a block boundary.
#
# One difference: a frame may run on into a block in which no frame
# begins, its rest ending at that block's first-frame offset.  The
# library's own cuts leave such a block; the frame is whole and the library
# decodes it, where kvx decode takes the frame for lost (24 ms of silence,
# exit 3).

END_MARKER = 0xAA


def _header_ms(image: bytes, blocks: int) -> int:
    if blocks == 2 and int.from_bytes(image[8:12], "little") == 2:
        return int.from_bytes(image[512:516], "little")
    ms = int.from_bytes(image[134:138], "little")
    if ms != 0xFFFFFFFF:
        return ms
    digits = [c - 48 if 48 <= c <= 57 else 0 for c in image[62:68]]
    return ((digits[0] * 10 + digits[1]) * 3600 + (digits[2] * 10 + digits[3]) * 60 + digits[4] * 10 + digits[5]) * 1000


def _check_block(image: bytes, at: int, stored: int) -> tuple:
    """(why it is damaged or "", frame count, codec, first frame, end of
    its last frame (0: not all found), frames wholly inside, cut short)."""
    word = image[at] | image[at + 1] << 8
    count, codec, first = image[at + 2], image[at + 4], word >> 7
    if word & 0x7F != 0x0F or codec > 3:
        return "a block header no recorder writes", 0, codec, first, 0, 0, False
    if count == 0 or count == 0xFF:
        return "", 0, codec, first, 0, 0, False
    if first < BLOCK_HEADER:
        return "a block header no recorder writes", 0, codec, first, 0, 0, False
    # A count from 0x80 on (no block holds 128 frames) fails the walk.
    sp, flag = codec <= 1, codec == 1
    p = first
    inside = 0
    for i in range(count):
        if p >= BLOCK:
            return f"it says {count} frames and holds {i}", 0, codec, first, 0, 0, False
        a = p ^ 1 if sp else p
        if a >= stored:
            return "", count, codec, first, 0, inside, True
        b = image[at + a]
        if sp:
            end = p + (9 if flag and not b & 0x80 else 41)
            need = (end + 1) & ~1
        else:
            end = need = p + (4 if b & 2 else 24)
        if need <= stored:
            inside += 1
        elif stored < BLOCK:
            return "", count, codec, first, 0, inside, True
        p = end
    return "", count, codec, first, p, inside, False


def damage(image: bytes) -> Optional[str]:
    """What kvx decode would report as damage in a whole file's bytes, or
    None for a sound file (and for one that is no KVX file at all, which the
    library reports)."""
    size = len(image)
    if size < 4 or image[1:4] != b"kvx" or image[0] not in (1, 2):
        return None
    blocks = image[0]
    if size < BLOCK:
        return f"cut short inside its header ({size} of {blocks * BLOCK} bytes)"
    if size < blocks * BLOCK:
        return "its header says 2 blocks, the file has 1"
    checked, ended = [], False
    for at in range(blocks * BLOCK, size, BLOCK):
        stored = min(BLOCK, size - at)
        if stored <= 4:
            break
        if image[at + 2] == END_MARKER:
            ended = True
            break
        checked.append(_check_block(image, at, stored))
    ms_total = 0
    for i, (why, count, codec, first, end, inside, cut) in enumerate(checked):
        number = f"audio block {i + 1}"
        if why:
            return f"{number}: {why}"
        if not count:
            continue
        kept = inside
        if end > BLOCK:  # its last frame runs on into the next block
            rest = BLOCK_HEADER + end - BLOCK
            nxt = checked[i + 1] if i + 1 < len(checked) else None
            if nxt is None and not ended:
                cut = True  # its rest was never stored
            elif nxt is None:
                return f"{number}: a frame runs into the end marker"
            elif nxt[3] != rest:  # (a damaged block, or one without frames: see above)
                return f"{number}: its frames do not meet the next block's"
            else:
                kept += 1  # (a next block too short for its rest is cut short itself)
        ms_total += kept * (24 if codec <= 1 else 30)
        if cut:
            return f"cut short in {number}, at {ms_total / 1000:.3f} s"
    header_ms = _header_ms(image, blocks)
    if not ended and header_ms >= ms_total + 24:
        return f"cut short at {ms_total / 1000:.3f} s (the header says {header_ms / 1000:.3f} s)"
    return None
