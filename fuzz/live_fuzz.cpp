// Fuzz target: live playback of the blocks in the input, through the
// capture sink.  The window hands the input over 512 bytes at a time in
// answer to the block requests, says the recording has ended once it runs
// out, and may refuse a chosen request.  The playback is driven by its
// buffer messages until it ends, with a stop and a resume on the way; the
// stop may come while the device is behind the decoding, so that the
// resume point steps back into earlier blocks of the ring.  Whatever the
// blocks hold, nothing is read or written outside a buffer (nor, under the
// address sanitizer, in the read ring behind the ten live slots), the
// playback ends, and every stop answers 0.
//
// Input (the rest: 512-byte blocks as stored, the last one zero-padded):
//   byte 0  the control word's speed bits 8-15
//   byte 1  bit 0 postfilter, bit 1 SP at 288 samples, bit 2 264 samples /
//           11 kHz, bit 3 the stop comes with the device paused
//   byte 2  buffers filled before the stop (0: no stop)
//   byte 3  at the stop, how much of what was written while paused the
//           device has played (x / 255)
//   byte 4  the request answered with a refusal (0: none), 1-based
//   byte 5  the start position, in tenths of a second
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec_lp/lp_state.h"
#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "kvx.h"
#include "kvx_posix.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVX_LIVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVX_LIVE_ASAN 1
#endif
#endif
#ifdef KVX_LIVE_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr size_t kHeader = 6;
constexpr size_t kBlock = 512;
constexpr size_t kRing = 10 * kBlock; // the live ring: ten slots
constexpr size_t kFrameSlack = 64;     // more than the longest frame (41 bytes)

struct Feed {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t at = 0;        // next block to hand over
    size_t requests = 0;
    size_t refuse = 0;    // 1-based request to refuse, 0 none
    size_t buffers = 0;   // buffers filled
    uint64_t written = 0; // their bytes
    bool finished = false;
};
Feed g_feed;
uint32_t g_control = 0;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "live_fuzz: %s (%zu requests, %zu buffers)\n", what, g_feed.requests, g_feed.buffers);
    std::abort();
}

LRESULT window_proc(HWND, UINT message, WPARAM, LPARAM lParam)
{
    if (message == KVX_MSG_NEXT_BLOCK) {
        if (++g_feed.requests == g_feed.refuse) return -1;
        if (g_feed.at >= g_feed.size) return 1;
        // A block with no frames (count 0 or 0xFF) is asked for again and
        // gets the next one: the input always runs out.
        uint8_t *slot = reinterpret_cast<uint8_t *>(lParam);
        const size_t n = g_feed.size - g_feed.at < kBlock ? g_feed.size - g_feed.at : kBlock;
        std::memset(slot, 0, kBlock);
        std::memcpy(slot, g_feed.data + g_feed.at, n);
        g_feed.at += n;
        return 0;
    }
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_BUFFER_REQUEST) {
        if (KVXPlaying(buffer) == 0) {
            g_feed.finished = true;
        } else {
            ++g_feed.buffers;
            g_feed.written += buffer->dwBufferLength;
        }
    }
    if (message == KVX_MSG_BUFFER_DONE) KVXPlayBufferReturn(buffer);
    return 0;
}

// The decoders' state as the first input found it: an input decodes alike
// whenever it runs, so that a finding reproduces on its own.
struct Decoders {
    kvx::SpDecoderState sp = kvx::g_sp;
    kvx::SpChannelState channel = kvx::g_spDecode;
    kvx::SpOutputState output = kvx::g_spOutput;
    kvx::LpDecoderState lp = kvx::g_lp;
    kvx::LpOutputState lpOutput = kvx::g_lpOutput;
    uint32_t speed = kvx::g_speedCounter;
    void restore() const
    {
        kvx::g_sp = sp, kvx::g_spDecode = channel, kvx::g_spOutput = output;
        kvx::g_lp = lp, kvx::g_lpOutput = lpOutput, kvx::g_speedCounter = speed;
    }
};

// Runs the queued messages, at most `most`; false when it ran out of them.
bool drain(size_t most)
{
    MSG msg;
    for (size_t i = 0; i < most && !g_feed.finished; ++i) {
        if (!KVXPosixPeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) return true;
        KVXPosixDispatchMessage(&msg);
    }
    return g_feed.finished;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeader) return 0;
    static const HWND window = KVXPosixCreateWindow(window_proc, nullptr);
    static const Decoders fresh;
    static const bool ready = KVXPosixSetWaveSink("capture") && KVXInitDecoder(window, &g_control) == 0;
    if (!ready) fail("the service cannot be set up");
#ifdef KVX_LIVE_ASAN
    // Live playback keeps to the first ten blocks of the read ring: the
    // rest, stale audio of other sessions, is out of bounds for it, but for
    // a frame's length behind the last block (a damaged block can make a
    // frame that runs over the ring's end be read in place, as into the
    // slack behind a file's ring).
    static const bool fenced = [] {
        ASAN_POISON_MEMORY_REGION(kvx::g_decoder.ring + kRing + kFrameSlack, kvx::kRingBytes - kRing - kFrameSlack);
        return true;
    }();
    (void)fenced;
#endif

    const uint32_t flags = data[1];
    uint32_t word = static_cast<uint32_t>(data[0]) << 8 | KVX_CW_RESET;
    if (flags & 1) word |= KVX_CW_POSTFILTER;
    if (flags & 2) word |= KVX_CW_SP_288;
    if (flags & 4) word |= KVX_CW_264_OR_11K;
    const bool paused = (flags & 8) != 0;
    const size_t stopAfter = data[2];
    const uint32_t share = data[3];
    g_feed = Feed();
    g_feed.data = data + kHeader;
    g_feed.size = size - kHeader;
    g_feed.refuse = data[4];
    const uint32_t startMs = data[5] * 100u;

    KVXPosixCaptureClear();
    fresh.restore();
    g_control = word;
    uint32_t stop = 0;
    if (KVXStartPlayback(startMs, 1) != 0) {
        // Refused (524): nothing plays, and a stop still answers.
        if (KVXStopPlayback(&stop) != 0) fail("a stop after a refused start answered");
        return 0;
    }
    // Every block yields at most a few hundred buffers, whatever its counts
    // say, even at the slowest speed.
    const size_t most = 20000 + g_feed.size * 8;
    bool stopped = stopAfter == 0;
    size_t handled = 0;
    MSG msg;
    while (!g_feed.finished) {
        if (++handled > most) fail("the playback does not end");
        if (!stopped && g_feed.buffers >= stopAfter) {
            stopped = true;
            if (paused) {
                // The device stops playing; what it was given meanwhile is
                // played only in part when the stop comes.
                if (waveOutPause(kvx::g_session.waveOut) != MMSYSERR_NOERROR) fail("the device cannot pause");
                const uint64_t before = g_feed.written;
                drain(1000);
                const uint64_t heard = (g_feed.written - before) * share / 255;
                KVXPosixWaveAddPlayed(kvx::g_session.waveOut, static_cast<uint32_t>(heard & ~uint64_t(1)));
            }
            if (KVXStopPlayback(&stop) != 0) fail("the stop answered");
            if (std::getenv("KVX_LIVE_FUZZ_TRACE") != nullptr)
                std::fprintf(stderr, "stop after %zu buffers at %u ms\n", g_feed.buffers, stop);
            g_control |= KVX_CW_RESUME;
            g_feed.finished = false;
            if (KVXStartPlayback(0, 1) != 0) break; // the resume refused: nothing runs
            continue;
        }
        if (!KVXPosixGetMessage(&msg, nullptr, 0, 0)) fail("the message loop quit");
        KVXPosixDispatchMessage(&msg);
    }
    if (KVXStopPlayback(&stop) != 0) fail("the stop at the end answered");
    // KVX_LIVE_FUZZ_TRACE=1 tells what a reproducer did.
    if (std::getenv("KVX_LIVE_FUZZ_TRACE") != nullptr)
        std::fprintf(stderr, "%zu of %zu blocks, %zu requests, %zu buffers, %zu bytes captured, stop %u ms\n",
                     (g_feed.at + kBlock - 1) / kBlock, (g_feed.size + kBlock - 1) / kBlock, g_feed.requests,
                     g_feed.buffers, KVXPosixCaptureSize(), stop);
    // A stop when nothing plays reports the saved position.
    uint32_t again = ~stop;
    if (KVXStopPlayback(&again) != 0 || again != stop) fail("a second stop differs");
    return 0;
}
