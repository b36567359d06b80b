/*
 * The transcription feed: KVXTransInitDecoder, KVXTransStartDecoding,
 * KVXTransGetPCM and KVXTransDestroy.
 *
 * The feed hands out one decoded frame per call.  It reads its file through
 * the same read ring and frame fetch as the decoding session, so that it
 * gives exactly the frames that decoding the file gives, but in chunks of
 * 20 blocks (a download makes a file available 20 blocks at a time), with
 * a ring, a frame assembly buffer and a fetch position of its own: each
 * feed call puts them in place of the decoding session's and gives those
 * back when it returns, so that a feed never disturbs the chunking or the
 * ring of the process's other readers.
 *
 * Positions inside the feed are found by walking the blocks as they are
 * fetched, not from a chunk time table: a feed between two marks skips the
 * blocks that end at or before the first mark (without decoding them) and
 * ends on entering the first block that begins after the second.  The file
 * may still be growing, so no table made beforehand could describe it.
 *
 * The feed decodes SP only: its frames are 264 samples at 11025 Hz.  LP
 * audio (240 samples at 8000 Hz a frame) cannot be handed out in that form,
 * so the feed ends at the first LP block with KVX_ERR_FEED_LP rather than
 * hand out LP bytes decoded as SP noise.
 */
#include <algorithm>
#include <cstring>
#include <new>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "format/skip.h"
#include "format/stream.h"
#include "kvx.h"
#include "transfer/feed.h"
#include "transfer/shared.h"

namespace kvx {
namespace transfer {

Download g_download;

namespace {

constexpr uint32_t kFeedRingBytes = 2 * kFeedChunkBytes;   /* 20480 */
constexpr uint32_t kFrameSamples = 264;
constexpr DWORD kPollMs = 100;

struct Feed {
    bool initialised = false;
    uint32_t *control = nullptr;
    uint32_t controlDummy = 0;
    uint8_t *ring = nullptr;       /* the ring with its slack for the end marker */
    uint8_t *assembly = nullptr;
    ReadPosition read;             /* the feed's place in its ring */
    uint8_t *frame = nullptr;      /* the frame position */
    bool started = false;
    /* the stretch fed, ms; way 2 */
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    bool hasEnd = false;
    /* time of the blocks begun */
    uint32_t blocksBegun = 0;
    uint32_t blockStartMs = 0;     /* of the block the last frame came from */
    uint32_t blockMs = 0;
    /* a live read gave up: the download failed */
    bool liveFailed = false;
    volatile bool destroying = false;
    volatile bool inCall = false;  /* a start or fetch runs */
};

Feed g_feed;

/* Marks a feed call as running, for the end of the feed on another thread. */
class InCall {
public:
    InCall() { g_feed.inCall = true; }
    ~InCall() { g_feed.inCall = false; }
    InCall(const InCall &) = delete;
    InCall &operator=(const InCall &) = delete;
};

/* ---- the feed's file as the ring's source --------------------------- */

uint32_t feed_chunk_count() { return g_download.chunkCount; }
uint32_t feed_no_time(uint32_t) { return 0; }
uint32_t feed_first_chunk(uint32_t) { return 1; }

/* Waits, polling, until `ready` holds or the download has completed.
 * False when the download failed, or an end request or the feed's end came
 * first. */
template <typename Ready> bool wait_for(Ready ready)
{
    for (;;) {
        if (g_download.complete || ready()) return true;
        if (g_download.failed) {
            g_feed.liveFailed = true;
            return false;
        }
        if (shared_block()->transEnd != 0 || g_feed.destroying) return false;
        Sleep(kPollMs);
    }
}

/* A live file is read only as far as the download has written it: chunk
 * 1 once two chunks are there, one of the last two chunks once the
 * download is complete, any other chunk k once k + 1 are there. */
bool wait_for_chunk(uint32_t chunk)
{
    if (chunk <= 1) return wait_for([] { return g_download.available >= 2; });
    if (g_download.chunkCount < chunk + 2) return wait_for([] { return false; });
    return wait_for([chunk] { return g_download.available >= chunk + 1; });
}

bool feed_read(uint64_t offset, uint8_t *dest, uint32_t bytes, uint32_t *got)
{
    *got = 0;
    if (g_download.path[0] == '\0') return false;
    const bool live = (shared_block()->transWay & kWayLive) != 0 && !g_download.alreadyComplete;
    if (live && !wait_for_chunk(static_cast<uint32_t>(offset / kFeedChunkBytes) + 1)) return false;
    /* Opened for each load, so that a file still being written is seen
     * with its latest length. */
    HANDLE file = CreateFileA(g_download.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint64_t position = static_cast<uint64_t>(kBlockBytes) * g_download.headerBlocks + offset;
    LONG high = static_cast<LONG>(position >> 32);
    DWORD read = 0;
    if ((SetFilePointer(file, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
             INVALID_SET_FILE_POINTER ||
         GetLastError() == ERROR_SUCCESS) &&
        ReadFile(file, dest, bytes, &read, nullptr))
        *got = read;
    CloseHandle(file);
    return true;
}

const StreamSource s_feed_source = {feed_chunk_count, feed_no_time, feed_first_chunk, feed_read};

/* Puts the feed's ring, geometry, control word and fetch position in place
 * of the process's for the length of one call. */
class FeedScope {
public:
    FeedScope()
    {
        saved_ = g_read;
        chunkBytes_ = g_decoder.chunkBytes;
        blocksPerChunk_ = g_decoder.blocksPerChunk;
        ringBytes_ = g_decoder.ringBytes;
        ring_ = g_decoder.ring;
        assembly_ = g_decoder.assembly;
        control_ = g_decoder.control;
        source_ = stream_source();
        singleStep_ = stream_single_step(false);
        g_decoder.chunkBytes = kFeedChunkBytes;
        g_decoder.blocksPerChunk = kFeedBlocksPerChunk;
        g_decoder.ringBytes = kFeedRingBytes;
        g_decoder.ring = g_feed.ring;
        g_decoder.assembly = g_feed.assembly;
        g_decoder.control = g_feed.control;
        set_stream_source(&s_feed_source);
        g_read = g_feed.read;
    }
    ~FeedScope()
    {
        g_feed.read = g_read;
        set_stream_source(source_);
        g_read = saved_;
        g_decoder.chunkBytes = chunkBytes_;
        g_decoder.blocksPerChunk = blocksPerChunk_;
        g_decoder.ringBytes = ringBytes_;
        g_decoder.ring = ring_;
        g_decoder.assembly = assembly_;
        g_decoder.control = control_;
        stream_single_step(singleStep_);
    }
    FeedScope(const FeedScope &) = delete;
    FeedScope &operator=(const FeedScope &) = delete;

private:
    ReadPosition saved_;
    uint32_t chunkBytes_, blocksPerChunk_, ringBytes_;
    uint8_t *ring_, *assembly_;
    uint32_t *control_;
    const StreamSource *source_;
    bool singleStep_;
};

/* The stretch to feed: with way 2, from the first extended mark to the
 * second. */
void choose_stretch()
{
    g_feed.startMs = 0;
    g_feed.endMs = 0;
    g_feed.hasEnd = false;
    if (!(shared_block()->transWay & kWay2)) return;
    uint32_t positions[16];
    uint32_t count = 0;
    if (KVXGetExtIndexMark(positions, &count) != KVX_OK) return;
    count = std::min<uint32_t>(count, 16);
    std::sort(positions, positions + count);
    if (count >= 1) g_feed.startMs = positions[0];
    if (count >= 2) {
        g_feed.endMs = positions[1];
        g_feed.hasEnd = true;
    }
}

void release_buffers()
{
    delete[] g_feed.ring;
    delete[] g_feed.assembly;
    g_feed.ring = nullptr;
    g_feed.assembly = nullptr;
}

} // namespace
} // namespace transfer
} // namespace kvx

using namespace kvx;
using namespace kvx::transfer;

extern "C" uint32_t KVXAPI KVXTransInitDecoder(uint32_t *controlWord)
{
    g_feed.control = controlWord != nullptr ? controlWord : &g_feed.controlDummy;
    g_download.failed = false;
    g_feed.destroying = false;
    if (g_feed.ring == nullptr) {
        g_feed.ring = new (std::nothrow) uint8_t[kFeedRingBytes + kRingSlackBytes]();
        g_feed.assembly = new (std::nothrow) uint8_t[kAssemblyBytes]();
        if (g_feed.ring == nullptr || g_feed.assembly == nullptr) {
            release_buffers();
            return KVX_ERR_MEMORY;
        }
    }
    g_feed.read = ReadPosition();
    g_feed.started = false;
    g_feed.initialised = true;
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXTransStartDecoding(void)
{
    if (!g_feed.initialised) return KVX_ERR_NOT_INITIALISED;
    uint32_t *const word = g_feed.control;
    const InCall running;
    const bool resume = (*word & KVX_CW_RESUME) && g_feed.started && !(*word & KVX_CW_REPOSITION);
    if (!resume) choose_stretch();
    {
        FeedScope scope;
        if (!resume) {
            g_feed.liveFailed = false;
            g_read.ringValid = false;
            g_read.codecChanged = false;
            const uint32_t loaded = stream_position(0);
            if (g_feed.liveFailed) return KVX_ERR_FOLDER;
            if (loaded != KVX_OK && loaded != kRingInPlace) {
                /* The file cannot be read: the ring holds the end. */
                g_feed.ring[2] = 0xAA;
                g_read.cursor = 2;
            }
            /* From the first block, with the codec of the first block with
             * frames, as decoding takes it (the ring is short: a walk to its
             * end could take the codec of a block without frames; a ring
             * without frames leaves it to the first such block fetched). */
            g_read.cursor = 2;
            g_read.remaining = 0;
            g_read.previousCodec = stream_first_codec();
            g_feed.blocksBegun = g_read.blocksBegun;
            g_feed.blockStartMs = 0;
            g_feed.blockMs = 0;
            g_feed.frame = nullptr;
        }
        g_read.ended = false;
    }
    shared_block()->transEnd = 0;
    g_session.speedInUse = speed_setting(*word);
    if (!resume) {
        g_session.speedUsed = false;
        g_session.speedChangeMs = 0;
        g_session.framesReturned = 0;
    }
    g_feed.started = true;
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXTransGetPCM(int16_t *out)
{
    SharedBlock *const shared = shared_block();
    if (shared->transEnd != 0) {
        shared->transEnd = 0;
        return 0;
    }
    if (g_download.failed) return KVX_ERR_FOLDER;
    if (!g_feed.initialised || !g_feed.started || out == nullptr) return 0;
    uint32_t *const word = g_feed.control;
    const InCall running;
    FeedScope scope;
    if (g_read.ended) return 0;
    int16_t pcm[576];
    /* Each round takes a frame: decodes it, or passes it over before the
     * stretch; the fetch always comes to an end of the ring's data. */
    for (;;) {
        if (!(*word & KVX_CW_HELD_FRAME)) {
            const uint32_t fetched = next_frame(&g_feed.frame);
            if (g_feed.liveFailed) return KVX_ERR_FOLDER;
            if (fetched == 0) {
                g_read.ended = true;
                /* LP audio ends the feed with its own answer, unless the
                 * stretch had ended before it. */
                const bool past_end = g_feed.hasEnd && g_feed.blockStartMs + g_feed.blockMs > g_feed.endMs;
                return g_read.codecChanged && !past_end ? static_cast<uint32_t>(KVX_ERR_FEED_LP) : 0u;
            }
            if (g_read.blocksBegun != g_feed.blocksBegun) {
                g_feed.blocksBegun = g_read.blocksBegun;
                g_feed.blockStartMs += g_feed.blockMs;
                g_feed.blockMs = g_read.begunMs;
            }
            if (g_feed.hasEnd && g_feed.blockStartMs > g_feed.endMs) {
                g_read.ended = true;
                return 0;
            }
            if (g_read.blockCodec != 0) {
                g_read.ended = true;
                return KVX_ERR_FEED_LP;
            }
            if (g_feed.blockStartMs + g_feed.blockMs <= g_feed.startMs) {
                sp_skip_frame(&g_feed.frame, word);
                continue;
            }
        }
        const uint32_t samples = sp_decode(&g_feed.frame, word, pcm);
        if (samples == 0) continue;
        std::memcpy(out, pcm, sizeof(int16_t) * std::min<uint32_t>(samples, kFrameSamples));
        return 1;
    }
}

extern "C" uint32_t KVXAPI KVXTransDestroy(void)
{
    g_feed.destroying = true;
    /* A fetch waiting for a download on another thread gives up within a
     * poll; its buffers go only once it has. */
    for (int i = 0; i < 50 && g_feed.inCall; ++i) Sleep(kPollMs / 2);
    end_download();
    if (!g_feed.inCall) release_buffers();
    g_feed.initialised = false;
    g_feed.started = false;
    return KVX_OK;
}
