/*
 * The audio block stream: read ring, refills and the frame fetch.
 *
 * Ring layout (offsets in the ring, for chunks of 256000 bytes):
 *
 *   0 ........ 256000 ........ 512000 .. 514048
 *   | first half | second half  | slack |
 *
 * The cursor is the ring offset of the current block plus 2, so that the
 * frame count lies at the cursor, the first-frame offset word two bytes
 * before it and the codec byte two bytes after it.  It runs 2, 514, ...,
 * 511490.  Half states: 0 the end of the audio is in the ring (an end
 * marker 0xAA was placed), no refill follows; 1 the second half is refilled
 * when the cursor reaches the middle of the first (128002); 2 and 3 the
 * first half is refilled when the cursor reaches the middle of the second
 * (384002).  A load that cannot open the file places the end marker too.
 *
 * Damaged blocks.  Files from recorders are well formed; for any other the
 * fetch keeps every read inside the ring, its slack and the assembly buffer
 * and always comes to an end:
 * - a frame count of 0 or 0xFF, or any other count that is negative as a
 *   signed byte (0x80..0xFE but the end marker), carries no frames: the
 *   block is passed over;
 * - a codec byte outside 0..3 has no time in the chunk time table, so its
 *   block is passed over too, and the table and the stream agree;
 * - a first-frame offset below 6 would put the first frame inside the block
 *   header: the block is passed over, and a frame running into it is not
 *   joined;
 * - a frame count larger than the block holds: once the frames handed out
 *   reach the block's end the rest of the count is dropped and the walk
 *   goes on with the next block;
 * - a frame count of 1: its one frame is also the last that begins in the
 *   block, so it is joined with its run-over bytes like any last frame;
 * - a truncated last block: the bytes that were not read are zero.
 */
#include "format/stream.h"

#include <cstring>

#include "core/state.h"
#include "format/header.h"
#include "codec_lp/lp_g7231.h"
#include "format/skip.h"
#include "kvx.h"

namespace kvx {

namespace {

uint32_t s_dummy_control = 0;

/* The load chunk as the last positioning left it.  The ring still holds
 * what that positioning read only while no refill has followed; comparing
 * with the session-start load chunk instead would miss a refill made before
 * a session restarted itself at a change of codec, and a later start would
 * play the refilled half as the chunk it replaced. */
uint32_t s_positioned_load_chunk = 0;

/* Bytes read by the last load. */
uint32_t s_last_read = 0;

/* Loads so far: the walk over blocks without frames checks that the ring
 * keeps moving, so that a ring of nothing but such blocks ends the audio
 * instead of going round forever. */
uint32_t s_loads = 0;

/* Live playback: one block without frames per fetch. */
bool s_single_step = false;

/* ---- the active file as the source ---------------------------------- */

uint32_t file_chunk_count() { return g_file.chunkCount; }

uint32_t file_chunk_end(uint32_t index)
{
    return g_file.chunkTimes != nullptr && index < g_file.chunkCount ? g_file.chunkTimes[index] : 0;
}

uint32_t file_chunk_of(uint32_t ms)
{
    for (uint32_t c = 0; g_file.chunkTimes != nullptr && c < g_file.chunkCount; ++c)
        if (g_file.chunkTimes[c] > ms) return c + 1;
    return file_chunk_count();
}

bool file_read(uint64_t offset, uint8_t *dest, uint32_t bytes, uint32_t *got)
{
    *got = 0;
    if (g_file.handle == nullptr || g_file.handle == INVALID_HANDLE_VALUE) {
        g_file.handle = CreateFileA(g_file.name, g_file.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (g_file.handle == INVALID_HANDLE_VALUE) {
            g_file.handle = nullptr;
            return false;
        }
    }
    const uint64_t position = static_cast<uint64_t>(kBlockBytes) * g_file.headerBlocks + offset;
    LONG high = static_cast<LONG>(position >> 32);
    DWORD read = 0;
    if ((SetFilePointer(g_file.handle, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
             INVALID_SET_FILE_POINTER ||
         GetLastError() == ERROR_SUCCESS) &&
        ReadFile(g_file.handle, dest, bytes, &read, nullptr))
        *got = read;
    CloseHandle(g_file.handle);
    g_file.handle = nullptr;
    return true;
}

const StreamSource s_file_source = {file_chunk_count, file_chunk_end, file_chunk_of, file_read};
const StreamSource *s_source = &s_file_source;

/* ms from the start of the audio to the start of chunk `chunk` (1-based). */
uint32_t chunk_start(uint32_t chunk)
{
    return chunk > 1 && chunk - 2u < s_source->chunk_count() ? s_source->chunk_end(chunk - 2) : 0;
}

inline uint32_t half_bytes() { return g_decoder.chunkBytes; }
inline uint32_t ring_end() { return 2 * g_decoder.chunkBytes; }
inline uint8_t *ring() { return g_decoder.ring; }
inline uint32_t *control() { return g_decoder.control != nullptr ? g_decoder.control : &s_dummy_control; }

inline uint8_t frame_count_at(uint32_t cursor) { return ring()[cursor + hdr::kBlockFrameCount - 2]; }
inline uint8_t codec_at(uint32_t cursor) { return ring()[cursor + hdr::kBlockCodec - 2]; }
inline uint32_t first_offset_at(uint32_t cursor) { return hdr::first_frame_offset(ring() + cursor - 2); }

/* Writes the end marker into the block at `cursor`, the rest of the block
 * zero: a frame that runs on past the audio's last block then reads what a
 * file would give there (nothing), not what an earlier load left. */
void place_end_marker(uint32_t cursor)
{
    std::memset(ring() + cursor - 2, 0, kBlockBytes);
    ring()[cursor + hdr::kBlockFrameCount - 2] = hdr::kEndMarker;
}

/* Whether the block at the cursor hands out frames. */
bool has_frames(uint32_t cursor)
{
    const uint8_t count = frame_count_at(cursor);
    return count != 0 && count < 0x80 && codec_at(cursor) <= 3 && first_offset_at(cursor) >= hdr::kBlockHeaderBytes;
}

/* Reads the block header at the cursor: its first frame, the parity, the
 * codec (and the speech-flag mode bit of the control word). */
void read_block_header(uint8_t **frame)
{
    const uint32_t cursor = g_read.cursor;
    const uint32_t offset = first_offset_at(cursor);
    g_read.firstFrame = cursor - 2 + offset;
    g_read.parity = (offset & 1) == 0;
    *frame = ring() + g_read.firstFrame;
    const uint8_t codec = codec_at(cursor);
    g_read.blockCodec = (codec & 2) ? 1 : 0;
    if (codec & 1) *control() |= KVX_CW_SPEECH_FLAG;
    else *control() &= ~KVX_CW_SPEECH_FLAG;
}

/* Moves the cursor to the next block; past the ring's end it wraps to the
 * first.  The cursor chunk counts each half that the cursor enters. */
void advance_block()
{
    g_read.cursor += kBlockBytes;
    if (g_read.cursor == half_bytes() + 2) {
        ++g_read.cursorChunk;
    } else if (g_read.cursor > ring_end()) {
        g_read.cursor = 2;
        ++g_read.cursorChunk;
    }
}

/* Copies ring bytes [from, to) to the end of the assembly buffer. */
void assemble(uint32_t from, uint32_t to)
{
    const uint32_t room = kAssemblyBytes - g_read.assemblyFill;
    uint32_t bytes = to > from ? to - from : 0;
    if (bytes > room) bytes = room;
    std::memcpy(g_decoder.assembly + g_read.assemblyFill, ring() + from, bytes);
    g_read.assemblyFill += bytes;
}

/* The joined frame begins at assembly + 1; bytes behind what was joined
 * read as zero. */
uint8_t *assembled_frame()
{
    std::memset(g_decoder.assembly + g_read.assemblyFill, 0, kAssemblyBytes - g_read.assemblyFill);
    return g_decoder.assembly + 1;
}

void skip_frames(uint8_t **frame, int32_t count)
{
    const uint8_t *block_end = ring() + g_read.cursor - 2 + kBlockBytes;
    for (int32_t i = 0; i < count && *frame < block_end; ++i) {
        if (g_read.blockCodec) lp_skip_frame(frame);
        else sp_skip_frame(frame, control());
    }
}

/* Steps 5 and 6: the next block with frames, from the cursor on. */
int fetch_from_block(uint8_t **frame)
{
    const uint32_t blocks_in_ring = ring_end() / kBlockBytes;
    uint32_t passed = 0;
    uint32_t loads = s_loads;
    for (;;) {
        const uint8_t count = frame_count_at(g_read.cursor);
        if (count == hdr::kEndMarker) {
            g_read.ended = true;
            return -1;
        }
        if (has_frames(g_read.cursor)) break;
        /* A block without frames: refill where the cursor passes the
         * middle of a half, and go on. */
        if (ring_refill() != KVX_OK) {
            /* The file cannot be read any more: the audio ends here. */
            g_read.ended = true;
            return -1;
        }
        if (s_loads != loads) {
            loads = s_loads;
            passed = 0;
        }
        if (s_single_step) {
            advance_block();
            return 0;
        }
        if (++passed > blocks_in_ring) {
            /* Round the whole ring without a frame or a load: nothing
             * more will come. */
            g_read.ended = true;
            return -1;
        }
        advance_block();
    }
    g_read.remaining = frame_count_at(g_read.cursor);
    ++g_read.blocksBegun;
    g_read.begunMs = hdr::block_ms(ring() + g_read.cursor - 2);

    read_block_header(frame);
    /* A codec not known yet (kCodecUnknown) is the first block's. */
    if (g_read.previousCodec > 1) g_read.previousCodec = g_read.blockCodec;
    if (g_read.blockCodec != g_read.previousCodec) {
        g_read.codecChanged = true;
        g_read.ended = true;
        *control() |= KVX_CW_RESET;
        g_read.previousCodec = g_read.blockCodec;
        return -1; /* the cursor and the count stay on the new codec's block */
    }
    return 2; /* go on with the frame at *frame */
}

/* Step 8: the frame at *frame is the last that begins in its block and may
 * run on into the next one. */
int fetch_last_frame(uint8_t **frame)
{
    const uint32_t frame_offset = static_cast<uint32_t>(*frame - ring());
    g_read.cursor += kBlockBytes;
    if (g_read.cursor == half_bytes() + 2) ++g_read.cursorChunk;
    g_read.remaining = 0;

    if (g_read.cursor > ring_end()) {
        /* The next block is the ring's first, which is refilled by now or
         * soon: keep what the ring holds and finish on the next call. */
        g_read.assemblyFill = 0;
        assemble(frame_offset - 1, ring_end());
        *control() |= KVX_CW_CUT_FRAME;
        return 0;
    }
    const uint32_t next_block = g_read.cursor - 2;
    if (frame_count_at(g_read.cursor) == hdr::kEndMarker) {
        /* The audio ends here: what the frame reads beyond its block is
         * nothing (zero), as at the end of the ring, and not the marker. */
        g_read.assemblyFill = 0;
        assemble(frame_offset - 1, next_block);
        *frame = assembled_frame();
        return 1;
    }
    const uint32_t offset = first_offset_at(g_read.cursor);
    if (offset <= hdr::kBlockHeaderBytes) return 1; /* nothing runs over */
    if (frame_offset > next_block) return 1;
    g_read.assemblyFill = 0;
    assemble(frame_offset - 1, next_block);
    assemble(next_block + hdr::kBlockHeaderBytes, next_block + offset + 1);
    *frame = assembled_frame();
    return 1;
}

/* A new block: its first frame, which may also be its last. */
/* Whether the frame at *frame ends inside the block at the cursor.  Only a
 * count that promises more frames than the block holds puts a frame that
 * is not the block's last across its end; such a frame is joined with the
 * next block as a last frame is, and ends the block.  Taken in place it
 * would read the next block's header, or whatever lies behind the ring's
 * end. */
bool frame_fits(uint8_t *const *frame)
{
    const uint8_t *block_end = ring() + g_read.cursor - 2 + kBlockBytes;
    const uint32_t span = g_read.blockCodec ? lp_frame_bytes(**frame) : sp_frame_span(*frame, *control());
    return *frame + span <= block_end;
}

/* The frame at *frame, in place, or joined when it is the block's last. */
int hand_out(uint8_t **frame)
{
    if (g_read.remaining != 1 && frame_fits(frame)) {
        --g_read.remaining;
        return 1;
    }
    return fetch_last_frame(frame);
}

int fetch_new_block(uint8_t **frame)
{
    const int step = fetch_from_block(frame);
    if (step != 2) return step;
    return hand_out(frame);
}

} // namespace

void set_stream_source(const StreamSource *source)
{
    if (source == nullptr) source = &s_file_source;
    if (source == s_source) return;
    s_source = source;
    g_read.ringValid = false;
    s_positioned_load_chunk = 0;
}

const StreamSource *stream_source() { return s_source; }

bool stream_single_step(bool on)
{
    const bool was = s_single_step;
    s_single_step = on;
    return was;
}

uint32_t ring_load(uint8_t *dest, uint32_t bytes, bool positioned)
{
    uint64_t position = g_read.refillPosition;
    if (positioned) position = static_cast<uint64_t>(g_read.loadChunk - 1u) * g_decoder.chunkBytes;
    uint32_t got = 0;
    if (!s_source->read(position, dest, bytes, &got)) {
        /* Nothing more can be read: the audio ends where this load would
         * have begun, as after a read of nothing. */
        place_end_marker(g_read.halfState == 1 && dest != ring() ? half_bytes() + 2 : 2);
        g_read.halfState = 0;
        return KVX_ERR_REOPEN;
    }
    g_read.refillPosition = static_cast<uint32_t>(position + got);
    s_last_read = got;
    ++s_loads;

    if (got == bytes) {
        g_read.halfState = g_read.halfState == 1 ? 2 : 1;
    } else if (got == 0) {
        place_end_marker(g_read.halfState == 1 ? half_bytes() + 2 : 2);
        g_read.halfState = 0;
    } else {
        const uint32_t start = g_read.halfState == 1 && bytes == half_bytes() ? half_bytes() + 2 : 2;
        const uint32_t whole = (got + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
        /* The unread rest of a truncated last block reads as zero. */
        std::memset(dest + got, 0, whole - got);
        if (start + whole == ring_end() + 2) {
            g_read.halfState = 2;
        } else {
            place_end_marker(start + whole);
            g_read.halfState = 0;
        }
    }
    return KVX_OK;
}

uint32_t ring_position(uint32_t ms)
{
    const uint32_t count = s_source->chunk_count();
    const uint32_t chunk = count > 1 ? s_source->chunk_of(ms) : 1;
    if (chunk == g_read.ringStartChunk && g_read.loadChunk == s_positioned_load_chunk && g_read.ringValid)
        return kRingInPlace;

    g_read.loadChunk = static_cast<uint16_t>(chunk);
    uint32_t result;
    if (chunk >= count) {
        g_read.halfState = 0;
        result = ring_load(ring(), half_bytes(), true);
        /* A last chunk read in full: until the refill comes, the other half
         * holds nothing of the file, and a start beyond the end must not
         * walk into what it held before. */
        if (result == KVX_OK && g_read.halfState == 1) place_end_marker(half_bytes() + 2);
    } else if (chunk + 1 == count) {
        g_read.halfState = 3;
        result = ring_load(ring(), ring_end(), true);
        if (result == KVX_OK && s_last_read == ring_end()) g_read.halfState = 3; /* read in full */
    } else {
        g_read.halfState = 3;
        result = ring_load(ring(), ring_end(), true);
        /* A file cut short since it was opened keeps its end marker. */
        if (result == KVX_OK && g_read.halfState != 0) g_read.halfState = 3;
    }
    if (result != KVX_OK) return result;
    g_read.ringStartChunk = static_cast<uint16_t>(chunk);
    g_read.ringValid = true;
    return KVX_OK;
}

uint32_t ring_refill()
{
    /* Once the cursor has passed the middle of a half, the other half is
     * free to be refilled.  The test takes the rest of the half and not
     * only its middle block: a block of one frame can carry the cursor over
     * the middle within one fetch, and a resumed cursor can be placed
     * beyond it; either would otherwise miss the refill and replay the old
     * half for ever. */
    const uint32_t half = half_bytes();
    const uint32_t cursor = g_read.cursor;
    if (g_read.halfState == 1 && cursor >= half / 2 + 2 && cursor < half + 2) {
        const uint32_t result = ring_load(ring() + half, half, false);
        ++g_read.loadChunk;
        return result;
    }
    if ((g_read.halfState == 2 || g_read.halfState == 3) && cursor >= half + half / 2 + 2) {
        const uint32_t result = ring_load(ring(), half, false);
        ++g_read.loadChunk;
        return result;
    }
    return KVX_OK;
}

int frame_fetch(uint8_t **frame)
{
    uint32_t *const word = control();

    /* 1. A frame was cut at the ring's end: complete it from the ring's
     *    first block, which the refill has brought in meanwhile. */
    if (*word & KVX_CW_CUT_FRAME) {
        g_read.remaining = 0;
        ++g_read.cursorChunk;
        g_read.cursor = 2;
        *word &= ~KVX_CW_CUT_FRAME;
        if (frame_count_at(2) == hdr::kEndMarker) {
            *frame = assembled_frame();
            return 1;
        }
        const uint32_t offset = first_offset_at(2);
        if (offset <= hdr::kBlockHeaderBytes) return 1; /* it did not run over */
        assemble(hdr::kBlockHeaderBytes, offset + 1);
        *frame = assembled_frame();
        return 1;
    }

    /* 2. Start afresh at the cursor. */
    bool read_block = false;
    if (*word & KVX_CW_REPOSITION) {
        g_read.remaining = 0;
        *word |= KVX_CW_RESET;
        *word &= ~KVX_CW_REPOSITION;
        if (g_read.cursor > ring_end()) {
            g_read.ended = true;
            *word |= KVX_CW_REPOSITION;
            return 0;
        }
        read_block = true;
    } else if (*word & KVX_CW_RESUME) {
        /* 3. Resume inside the block at the cursor: pass over the frames
         *    that were played. */
        *word &= ~KVX_CW_RESUME;
        read_block_header(frame);
        skip_frames(frame, g_read.skipCount);
        *word |= KVX_CW_RESET;
        if (g_read.remaining <= 0) {
            /* Every frame of the block was played: on to the next. */
            advance_block();
            read_block = true;
        }
    }

    /* 4. to 6. A new block. */
    if (read_block || g_read.remaining == 0) {
        return fetch_new_block(frame);
    }

    /* 7. The next frame of the current block, unless the count promised
     *    more frames than the block holds. */
    const uint8_t *block = ring() + g_read.cursor - 2;
    if (*frame < block || *frame >= block + kBlockBytes) {
        g_read.remaining = 0;
        advance_block();
        return fetch_new_block(frame);
    }
    /* 8. */
    return hand_out(frame);
}

uint32_t next_frame(uint8_t **frame)
{
    const int result = frame_fetch(frame);
    if (result < 0) return 0;
    if (result == 0) frame_fetch(frame);
    return ring_refill() != KVX_OK ? KVX_ERR_REOPEN : 1;
}

uint32_t stream_position(uint32_t ms)
{
    const uint32_t result = ring_position(ms);
    if (result != KVX_OK && result != kRingInPlace) return result;
    if (result == KVX_OK) {
        g_read.ringStartChunk = g_read.loadChunk;
        g_read.cursorChunk = g_read.loadChunk;
        if (g_read.halfState == 3) ++g_read.loadChunk;
        s_positioned_load_chunk = g_read.loadChunk;
    }
    g_read.sessionStartChunk = g_read.loadChunk;
    return KVX_OK;
}

void stream_walk(uint32_t ms, uint32_t *block_ms)
{
    g_read.ended = false;
    g_read.remaining = 0;
    /* From the ring's first block to the block that holds `ms`: the first
     * whose end lies beyond it, or the last before the end marker or the
     * ring's end. */
    uint32_t time = g_read.ringStartChunk > 1 ? chunk_start(g_read.ringStartChunk) : 0;
    uint32_t cursor = 2;
    while (frame_count_at(cursor) != hdr::kEndMarker) {
        const uint32_t block_time = hdr::block_ms(ring() + cursor - 2);
        const uint32_t next = cursor + kBlockBytes;
        if (time + block_time > ms || next > ring_end() || frame_count_at(next) == hdr::kEndMarker) break;
        time += block_time;
        cursor = next;
    }
    g_read.cursor = cursor;
    g_read.previousCodec = stream_first_codec();
    if (block_ms != nullptr) *block_ms = time;
}

uint32_t stream_first_codec()
{
    /* Only blocks that the fetch will read as they stand now: while the
     * other half is still to be refilled, the cursor's own half. */
    const uint32_t end = g_read.halfState == 1 && g_read.cursor < half_bytes() + 2 ? half_bytes() + 2 : ring_end() + 2;
    for (uint32_t cursor = g_read.cursor; cursor < end; cursor += kBlockBytes) {
        if (frame_count_at(cursor) == hdr::kEndMarker) break;
        if (has_frames(cursor)) return (codec_at(cursor) & 2) ? 1 : 0;
    }
    return kCodecUnknown;
}

uint32_t stream_seek(uint32_t ms, uint32_t *block_ms)
{
    const uint32_t result = stream_position(ms);
    if (result != KVX_OK) return result;
    stream_walk(ms, block_ms);
    return KVX_OK;
}

void stream_resume_point(uint32_t ms)
{
    /* The half that holds the chunk of `ms`: the ring's halves hold the
     * chunks from the ring-start chunk on, in turn. */
    uint32_t time = 0;
    const uint32_t chunks = s_source->chunk_count();
    if (chunks <= 1) {
        g_read.cursor = 2;
        g_read.cursorChunk = 1;
    } else {
        if (g_read.ringStartChunk == 0) g_read.ringStartChunk = 1;
        uint32_t k = 0;
        while (g_read.ringStartChunk + k < chunks && ms > s_source->chunk_end(g_read.ringStartChunk + k - 1)) ++k;
        const uint32_t chunk = g_read.ringStartChunk + k;
        g_read.cursor = (k % 2 == 0) ? 2 : half_bytes() + 2;
        g_read.cursorChunk = static_cast<uint16_t>(chunk);
        time = chunk > 1 ? chunk_start(chunk) : 0;
    }
    /* The block whose time range holds `ms`; the walk stays inside the ring
     * and stops at the end marker. */
    uint32_t cursor = g_read.cursor;
    while (frame_count_at(cursor) != hdr::kEndMarker) {
        const uint32_t block_time = hdr::block_ms(ring() + cursor - 2);
        const uint32_t next = cursor + kBlockBytes;
        if (time + block_time > ms || next > ring_end()) break;
        time += block_time;
        cursor = next;
    }
    g_read.cursor = cursor;
    const uint8_t count = frame_count_at(cursor);
    const uint32_t frame_time = (codec_at(cursor) & 2) ? hdr::kLpFrameMs : hdr::kSpFrameMs;
    int32_t skip = static_cast<int32_t>((ms - time) / frame_time);
    int32_t frames = count == 0xFF || count >= 0x80 ? 0 : count;
    if (ms < time) skip = 0;
    if (frames - skip < 0) {
        g_read.remaining = 0;
        g_read.skipCount = frames;
    } else {
        g_read.remaining = frames - skip;
        g_read.skipCount = skip;
    }
}

} // namespace kvx
