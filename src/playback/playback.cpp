/*
 * Playback: KVXStartPlayback, KVXPlaying, KVXPlayBufferReturn and
 * KVXStopPlayback.
 *
 * Playback is the decoding session seen from an application that may be
 * recording or editing at the same time, and is driven by the same window
 * messages.  Its start chooses one of three ways, kept until the stop
 * whatever happens to write sessions meanwhile:
 *
 * - hand-over: no write session is open and mode 0 is asked: the decoding
 *   session of the active file, under the playback names;
 * - edit playback (a write session is open): the edited audio as it stands,
 *   read from the edited file and the replacement files; a change of the
 *   tree (a recording, an erase, a close) stops the playback first;
 * - live playback (mode 1): the audio being recorded, which the caller
 *   hands over one 512-byte block at a time in answer to message 4096, into
 *   a ring of ten blocks.  The ring keeps the eight blocks played last, so
 *   that a stop can step back to where the listener really was; each block
 *   entered asks for the block two ahead.
 */
#include <algorithm>

#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "decode/session.h"
#include "edit/edit.h"
#include "format/header.h"
#include "format/stream.h"
#include "kvx.h"
#include "playback/edited.h"
#include "playback/playback.h"

namespace kvx {
namespace playback {
namespace {

enum class Path { none, handOver, edit, live };

constexpr uint32_t kSlots = 10;                      /* the live ring: ten blocks */
constexpr uint32_t kLiveRingBytes = kSlots * kBlockBytes;
constexpr uint32_t kHistoryBlocks = 8;               /* blocks kept behind the one asked for */
constexpr uint32_t kMaxStepBack = 6;
constexpr DWORD kRetrySleepMs = 5;
constexpr uint32_t kRetries = 400;                   /* about 2 s of waiting for a block */

struct Record {
    Path path = Path::none;
    uint32_t savedStop = 0;     /* ms, of the last stop */
    bool keepStart = false;     /* a stop the write session asked for */
    /* live playback */
    bool liveRing = false;      /* the ring holds live blocks: a resume can go on */
    bool recordingEnded = false;/* the caller answered 1: nothing more is asked */
    uint32_t blocksPassed = 0;  /* 1 at the start, up to 8 */
    uint32_t decodeMs = 0;      /* time of the frames fetched so far */
    uint32_t chunkBytes = kChunkBytes, blocksPerChunk = kBlocksPerChunk, ringBytes = kRingDataBytes;
};

Record g_play;

uint32_t s_control_dummy = 0;
inline uint32_t *control() { return g_decoder.control != nullptr ? g_decoder.control : &s_control_dummy; }

inline uint8_t *slot_block(uint32_t slot) { return g_decoder.ring + slot * kBlockBytes; }
inline uint32_t slot_of(uint32_t cursor) { return ((cursor - 2) / kBlockBytes) % kSlots; }

/* Frames a live block hands out. */
uint32_t frames_in(uint32_t cursor)
{
    const uint8_t count = g_decoder.ring[cursor + hdr::kBlockFrameCount - 2];
    return count < 0x80 ? count : 0;
}

/* ---- live playback ----------------------------------------------------- */

uint32_t no_chunks() { return 0; }
uint32_t no_time(uint32_t) { return 0; }
uint32_t first_chunk(uint32_t) { return 1; }
bool no_read(uint64_t, uint8_t *, uint32_t, uint32_t *got)
{
    *got = 0;
    return false;
}
const StreamSource s_live_source = {no_chunks, no_time, first_chunk, no_read};

/* Asks the caller for the next recorded block in `slot`.  0 a block came,
 * 1 the recording has ended (the slot holds the end marker), -1 refused or
 * nothing came within the wait.  The slot's frame count is cleared first,
 * so that a block left from before is never taken for a new one. */
int request_block(uint32_t slot)
{
    uint8_t *block = slot_block(slot);
    for (uint32_t attempt = 0;; ++attempt) {
        block[hdr::kBlockFrameCount] = 0;
        const LRESULT answer = SendMessageA(g_decoder.window, KVX_MSG_NEXT_BLOCK, 0, reinterpret_cast<LPARAM>(block));
        if (answer == 1) {
            block[hdr::kBlockFrameCount] = hdr::kEndMarker;
            g_play.recordingEnded = true;
            return 1;
        }
        if (answer < 0) return -1;
        const uint8_t count = block[hdr::kBlockFrameCount];
        if (count != 0 && count != 0xFF) return 0;
        /* The caller has no block yet: it may be recorded on this very
         * thread, so the wait is bounded. */
        if (attempt + 1 >= kRetries) return -1;
        Sleep(kRetrySleepMs);
    }
}

/* A block was entered: once eight are behind, the slot eight behind it (two
 * ahead) is asked for.  False when the caller refused. */
bool block_entered(uint32_t slot)
{
    if (g_play.blocksPassed < kHistoryBlocks) {
        ++g_play.blocksPassed;
        return true;
    }
    if (g_play.recordingEnded) return true;
    return request_block((slot + kSlots - kHistoryBlocks) % kSlots) >= 0;
}

/* The frame fetch of live playback: every block the cursor enters asks for
 * the next one to come. */
uint32_t live_next(uint8_t **frame)
{
    /* A refused or missing block ended the audio where it begins. */
    if (g_read.ended) return 0;
    for (uint32_t round = 0; round < 4 * kSlots; ++round) {
        const uint32_t before = slot_of(g_read.cursor);
        const int result = frame_fetch(frame);
        bool refused = false;
        for (uint32_t slot = before; slot != slot_of(g_read.cursor) && !refused;) {
            slot = (slot + 1) % kSlots;
            refused = !block_entered(slot);
        }
        if (refused) g_read.ended = true;
        if (result == 1) {
            /* A frame fetched whole still plays, also when the block
             * after it was refused. */
            g_play.decodeMs += g_read.blockCodec ? hdr::kLpFrameMs : hdr::kSpFrameMs;
            return 1;
        }
        if (result < 0 || refused) return 0;
    }
    g_read.ended = true;
    return 0;
}

/* The frames fetched ahead of the stop are taken back: the resume point
 * steps back over them, into earlier blocks of the ring if need be, but
 * never into a slot that was not played. */
void live_resume(uint32_t *stop)
{
    uint32_t *const word = control();
    const uint32_t frame_ms = g_read.blockCodec ? hdr::kLpFrameMs : hdr::kSpFrameMs;
    const uint32_t back = g_play.decodeMs > *stop ? (g_play.decodeMs - *stop) / frame_ms : 0;
    g_play.decodeMs = *stop;
    if (g_read.cursor > kLiveRingBytes) {
        /* A frame cut at the ring's end was not handed out yet. */
        g_read.cursor = 2;
        g_read.remaining = 0;
        *word &= ~KVX_CW_CUT_FRAME;
    }
    uint32_t cursor = g_read.cursor;
    uint32_t used = g_read.remaining > 0 ? frames_in(cursor) - std::min<uint32_t>(g_read.remaining, frames_in(cursor)) : 0;
    const uint32_t most = std::min(kMaxStepBack, g_play.blocksPassed > 1 ? g_play.blocksPassed - 1 : 0);
    uint32_t steps = 0;
    while (used < back && steps < most) {
        cursor = cursor == 2 ? (kSlots - 1) * kBlockBytes + 2 : cursor - kBlockBytes;
        used += frames_in(cursor);
        ++steps;
    }
    const uint32_t skip = used >= back ? used - back : 0;
    g_read.cursor = cursor;
    g_read.skipCount = static_cast<int32_t>(std::min(skip, frames_in(cursor)));
    g_read.remaining = static_cast<int32_t>(frames_in(cursor)) - g_read.skipCount;
    g_play.blocksPassed -= steps;
}

void enter_live_geometry()
{
    if (g_decoder.ringBytes != kLiveRingBytes) {
        g_play.chunkBytes = g_decoder.chunkBytes;
        g_play.blocksPerChunk = g_decoder.blocksPerChunk;
        g_play.ringBytes = g_decoder.ringBytes;
    }
    g_decoder.chunkBytes = kLiveRingBytes / 2;
    g_decoder.blocksPerChunk = kSlots / 2;
    g_decoder.ringBytes = kLiveRingBytes;
    set_stream_source(&s_live_source);
    stream_single_step(true);
}

void leave_live_geometry()
{
    if (g_decoder.ringBytes != kLiveRingBytes) return;
    g_decoder.chunkBytes = g_play.chunkBytes;
    g_decoder.blocksPerChunk = g_play.blocksPerChunk;
    g_decoder.ringBytes = g_play.ringBytes;
    stream_single_step(false);
}

void restart_playback();

const SessionKind s_live_kind = {true, live_next, restart_playback, live_resume};

uint32_t start_live(uint32_t positionMs)
{
    uint32_t *const word = control();
    enter_live_geometry();
    if (!g_play.liveRing || !g_read.ringValid) {
        /* The ring holds something else: nothing to resume. */
        *word &= ~KVX_CW_RESUME;
        g_read.codecChanged = false;
    }
    if ((*word & KVX_CW_REPOSITION) || (!g_read.codecChanged && !(*word & KVX_CW_RESUME))) {
        g_play.liveRing = false;
        g_play.recordingEnded = false;
        for (uint32_t slot = 0; slot < kSlots; ++slot) {
            const int answer = request_block(slot);
            if (answer < 0) {
                leave_live_geometry();
                return KVX_ERR_RESERVE;
            }
            if (answer == 1) break;
        }
        g_play.blocksPassed = 1;
        g_read.cursor = 2;
        g_read.remaining = 0;
        g_read.halfState = 0; /* nothing is refilled from a file */
        g_read.ringValid = true;
        g_play.liveRing = true;
    }
    g_read.ended = false;
    g_session.speedInUse = speed_setting(*word);
    if (!(*word & KVX_CW_RESUME)) {
        g_session.speedUsed = false;
        g_session.framesReturned = 0;
        if (!g_read.codecChanged) {
            g_read.cursor = 2;
            g_read.remaining = 0;
            g_session.startMs = positionMs;
        } else {
            g_read.codecChanged = false;
            g_session.startMs = g_play.decodeMs;
        }
        g_play.decodeMs = g_session.startMs;
        g_session.speedChangeMs = static_cast<float>(g_session.startMs);
    }
    const uint32_t result = session_open_device(&s_live_kind);
    if (result != KVX_OK) {
        leave_live_geometry();
        return result;
    }
    g_play.path = Path::live;
    return KVX_OK;
}

/* ---- edit playback ----------------------------------------------------- */

/* The resume point as the decoding session saves it; the next recording
 * begins there too, or, after playing to the end, behind the audio. */
void edit_resume(uint32_t *stop)
{
    const uint32_t length = source_length();
    const bool at_end = *stop >= length;
    stream_resume(stop);
    if (!g_play.keepStart) edit::set_requested_start(at_end ? length : *stop);
}

const SessionKind s_edit_kind = {true, next_frame, restart_playback, edit_resume};

uint32_t start_edit(uint32_t positionMs)
{
    uint32_t *const word = control();
    if (edit::take_restart_request() && (*word & KVX_CW_RESUME)) {
        /* The audio changed under the saved resume point: start again at
         * the stop, with a fresh decoder. */
        *word = (*word & KVX_CW_POSTFILTER) | KVX_CW_RESET | KVX_CW_REPOSITION;
        positionMs = g_play.savedStop;
    }
    const StreamSource *source = nullptr;
    bool renewed = false;
    const uint32_t made = edited_source(&source, &renewed);
    if (made != KVX_OK) return made;
    set_stream_source(source);
    if (renewed) g_read.ringValid = false;
    if (!g_read.ringValid) {
        *word &= ~KVX_CW_RESUME;
        g_read.codecChanged = false;
    }
    positionMs = std::min(positionMs, edit::length_ms());
    const bool loads = (*word & KVX_CW_REPOSITION) || (!g_read.codecChanged && !(*word & KVX_CW_RESUME));
    if (session_position(positionMs) != KVX_OK) return KVX_ERR_EDIT_OPEN;
    if (loads) edit::set_requested_start(positionMs);
    const uint32_t result = session_open_device(&s_edit_kind);
    if (result != KVX_OK) return result;
    g_play.path = Path::edit;
    return KVX_OK;
}

/* ---- the four calls ---------------------------------------------------- */

bool hand_over(uint32_t mode)
{
    return mode == 0 && !edit::session_open();
}

uint32_t s_mode = 0;

uint32_t stop(uint32_t *stopPositionMs)
{
    uint32_t position = g_play.savedStop;
    switch (g_play.path) {
    case Path::none:
        if (hand_over(s_mode)) return KVXEndDecoding(stopPositionMs);
        break;
    case Path::handOver:
        KVXEndDecoding(&position);
        break;
    case Path::edit:
    case Path::live:
        session_end(&position);
        if (g_play.path == Path::live) leave_live_geometry();
        break;
    }
    g_play.path = Path::none;
    g_play.savedStop = position;
    if (stopPositionMs != nullptr) *stopPositionMs = position;
    return KVX_OK;
}

/* A change of codec: the playback stops once its last buffer has played
 * and starts again on the same path at the other rate. */
void restart_playback()
{
    const uint32_t mode = g_play.path == Path::live ? 1 : 0;
    stop(nullptr);
    KVXStartPlayback(0, mode);
}

} // namespace

void stop_edit()
{
    if (g_play.path != Path::edit) return;
    g_play.keepStart = true;
    stop(nullptr);
    g_play.keepStart = false;
}

} // namespace playback
} // namespace kvx

using namespace kvx;
using namespace kvx::playback;

extern "C" uint32_t KVXAPI KVXStartPlayback(uint32_t positionMs, uint32_t mode)
{
    if (mode > 1) mode = 0; /* only live playback asks for more than mode 0 */
    /* A start while playing ends the running playback first. */
    if (g_play.path != Path::none) stop(nullptr);
    s_mode = mode;
    if (hand_over(mode)) {
        const uint32_t result = KVXStartDecoding(positionMs);
        if (result == KVX_OK) g_play.path = Path::handOver;
        return result;
    }
    if (!g_decoder.initialised) return KVX_ERR_NOT_INITIALISED;
    return mode == 1 ? start_live(positionMs) : start_edit(positionMs);
}

extern "C" uint32_t KVXAPI KVXPlaying(WAVEHDR *buffer)
{
    switch (g_play.path) {
    case Path::handOver: return KVXDecoding(buffer, nullptr);
    case Path::none: return hand_over(s_mode) ? KVXDecoding(buffer, nullptr) : 0;
    default: return session_decode(buffer, nullptr);
    }
}

extern "C" uint32_t KVXAPI KVXPlayBufferReturn(WAVEHDR *buffer)
{
    if (g_play.path == Path::handOver || (g_play.path == Path::none && hand_over(s_mode)))
        return KVXDecBufReturn(buffer);
    session_return(buffer);
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXStopPlayback(uint32_t *stopPositionMs)
{
    return stop(stopPositionMs);
}
