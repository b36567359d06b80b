/*
 * marks.h - index marks: where a mark lies in the audio, and the tables of
 * short and extended marks of the active file.
 *
 * A mark is a time in milliseconds from the start of the audio.  The first
 * header block holds up to 16 short marks as {block number from 1, frame
 * number}; the second holds up to 16 extended marks as {block, frame,
 * position}.
 */
#ifndef KVX_HEADER_MARKS_H
#define KVX_HEADER_MARKS_H

#include <stdint.h>

#include "platform/platform.h"

namespace kvx {

constexpr uint32_t kMarkSlots = 16;
constexpr uint32_t kEmptyPosition = 0xFFFFFFFFu;

struct ShortSlot {
    uint16_t block;   /* from 1; 0xFFFF: not worked out yet, or empty */
    uint8_t frame;    /* 0xFF with block 0xFFFF: empty */
    uint32_t position;
};

/* The audio of a file as the mark arithmetic sees it. */
struct MarkAudio {
    HANDLE file;               /* open for reading */
    uint32_t audioStart;       /* file offset of the first audio block */
    uint32_t audioBytes;
    const uint32_t *chunkTimes;
    uint16_t chunkCount;
    uint8_t *chunk;            /* scratch of one chunk (256000 bytes) */
};

/* Reads the 16 short entries of the 48 bytes at header offset 86, passes
 * entries beyond the audio (or block 0) as empty, sorts them by block and
 * returns how many lead the table. */
uint32_t load_short_slots(const uint8_t *area, uint32_t audio_bytes, ShortSlot slots[kMarkSlots]);

/* Position of a short mark (block from 1, frame).  False when the block
 * does not lie in the audio or cannot be read. */
bool mark_position(const MarkAudio &audio, uint32_t block, uint32_t frame, uint32_t *position);

enum MarkSearch { kMarkFound, kMarkNotFound, kMarkReadFailed };

/* Block (from 1) and whole frames into it of a position: kMarkNotFound when
 * no block with time lies at or before it, kMarkReadFailed when its chunk
 * could not be read whole. */
MarkSearch mark_block_frame(const MarkAudio &audio, uint32_t position, uint32_t *block, uint32_t *frame);

/* Makes `positions` (ascending, `count` of them) the active file's extended
 * marks and writes them, with the short marks made from them, into its
 * header.  0 or a result code. */
uint32_t write_marks_of(const uint32_t *positions, uint32_t count);

} // namespace kvx

#endif /* KVX_HEADER_MARKS_H */
