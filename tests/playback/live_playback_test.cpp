// Live playback: a recording that is still going on is played from the
// blocks its caller hands over, one 512-byte slot of a ring of ten at a
// time, through the capture sink.  Whatever the caller answers, the audio
// is the recording's as a file of the same blocks decodes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"
#include "kvx_posix.h"

namespace {

using Pcm = std::vector<int16_t>;
using Clock = std::chrono::steady_clock;

constexpr int kForever = 1000; // as an answer: 0 to this request and every later one

// The caller's side: its window answers the block requests from the
// recording, or with the answers scripted for chosen requests.
struct Caller {
    std::vector<kvxgen::Bytes> blocks;
    std::map<size_t, int> answers; // request index -> answer, nothing copied
    std::function<void(size_t)> onRequest;
    size_t fed = 0;                // blocks copied into slots
    std::vector<uint8_t *> slots;  // the slot of each request
    std::vector<size_t> framesAt;  // frames of the buffers filled before each request
    size_t frames = 0;
    size_t frameBytes = 528;
    bool finished = false;
};
Caller g;
uint32_t g_control = 0;

// Empty when equal; else the sizes and the first sample that differs.
std::string difference(const Pcm &got, const Pcm &want)
{
    if (got == want) return "";
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return std::to_string(got.size()) + " samples for " + std::to_string(want.size()) + ", first difference at " +
           std::to_string(i);
}

int answer(size_t index, uint8_t *slot)
{
    for (const auto &a : g.answers)
        if (a.second == kForever && a.first <= index) return 0;
    const auto it = g.answers.find(index);
    if (it != g.answers.end()) return it->second;
    if (g.fed == g.blocks.size()) return 1;
    std::memcpy(slot, g.blocks[g.fed++].data(), kvxgen::kBlockSize);
    return 0;
}

LRESULT window_proc(HWND, UINT message, WPARAM, LPARAM lParam)
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_NEXT_BLOCK) {
        auto *slot = reinterpret_cast<uint8_t *>(lParam);
        const size_t index = g.slots.size();
        g.slots.push_back(slot);
        g.framesAt.push_back(g.frames);
        if (g.onRequest) g.onRequest(index);
        return answer(index, slot);
    }
    if (message == KVX_MSG_BUFFER_REQUEST) {
        if (KVXPlaying(buffer) == 0) g.finished = true;
        else g.frames += buffer->dwBufferLength / g.frameBytes;
    }
    if (message == KVX_MSG_BUFFER_DONE) KVXPlayBufferReturn(buffer);
    return 0;
}

// A hang fails the test program instead of holding up the whole run.
class Watchdog {
public:
    explicit Watchdog(int seconds)
        : thread_([this, seconds] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                  std::fprintf(stderr, "live playback hangs: %s\n",
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// The SP decoder's globals: two runs that start from the same ones decode
// the same frames alike.
struct Decoder {
    kvx::SpDecoderState sp = kvx::g_sp;
    kvx::SpChannelState channel = kvx::g_spDecode;
    kvx::SpOutputState output = kvx::g_spOutput;
    uint32_t speed = kvx::g_speedCounter;
    void restore() const
    {
        kvx::g_sp = sp, kvx::g_spDecode = channel, kvx::g_spOutput = output, kvx::g_speedCounter = speed;
    }
};

struct Recording {
    kvxgen::Bytes file;
    kvxgen::Layout layout;
    std::vector<kvxgen::Bytes> blocks;
    // Frames that begin before the block; `whole`: that end before it.
    size_t frames_before(size_t block, bool whole = false) const
    {
        size_t n = 0;
        while (n < layout.frames.size() && layout.frames[n].block < block) ++n;
        return n - (whole && block < blocks.size() && layout.blocks[block].firstFrameOffset > 6);
    }
};

Recording record(kvxgen::File file)
{
    Recording r;
    file.tail = kvxgen::Tail::PadBlock;
    r.file = kvxgen::build(file, &r.layout);
    for (size_t at = r.layout.headerBytes; at < r.file.size(); at += kvxgen::kBlockSize)
        r.blocks.emplace_back(r.file.begin() + at, r.file.begin() + at + kvxgen::kBlockSize);
    return r;
}

// SP, 25 blocks: segments of 3, 9, 2 and 11 blocks, so that nothing runs
// over from block 2 to 3, 11 to 12 or 13 to 14 (the audio can end there
// frame for frame), while frames run over from slot 9 to slot 0 of the ring.
const Recording &sp_recording()
{
    static const Recording r = [] {
        kvxgen::File file;
        uint32_t seed = 11;
        for (size_t blocks : {3, 9, 2, 11}) {
            std::vector<kvxgen::Bytes> frames;
            size_t bytes = 0;
            for (const kvxgen::Bytes &f : kvxgen::random_segment(1, 400, seed++).frames) {
                if (bytes + f.size() + 2 > blocks * kvxgen::kBlockDataSize) break;
                bytes += f.size();
                frames.push_back(f);
            }
            file.segments.push_back(kvxgen::Segment::audio(1, frames));
        }
        return record(file);
    }();
    return r;
}

const Recording &lp_recording()
{
    static const Recording r = [] {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(2, 380, 5));
        return record(file);
    }();
    return r;
}

class LivePlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        static HWND window = KVXPosixCreateWindow(window_proc, nullptr); // the service keeps the first
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        ASSERT_EQ(KVXInitDecoder(window, &g_control), 0u);
        g = Caller();
        const Recording &sp = sp_recording();
        ASSERT_EQ(sp.blocks.size(), 25u);
        for (size_t clean : {3, 12, 14}) ASSERT_EQ(sp.layout.blocks[clean].firstFrameOffset, 6u) << clean;
        ASSERT_GT(sp.layout.blocks[10].firstFrameOffset, 6u);
        ASSERT_GT(lp_recording().layout.blocks[10].firstFrameOffset, 6u);
    }
    void TearDown() override
    {
        uint32_t stop = 0;
        KVXStopPlayback(&stop); // no device stays open for the next test
        std::remove(path_.c_str());
    }

    // Plays the recording's file through the decoding session that a start
    // in mode 0 hands over to, from the start or from a resume point, with
    // the decoder's globals as given.  (Decoding to PCM would not do: it
    // plays LP at one speed only.)
    Pcm decode_file(const Recording &r, uint32_t control, const Decoder &state, uint32_t resumeMs = ~0u)
    {
        const Caller live = g;
        EXPECT_TRUE(kvxgen::write(path_, r.file));
        kvx::g_file.name[0] = '\0';
        EXPECT_EQ(KVXActiveFile(path_.c_str(), nullptr, nullptr), 0u);
        kvx::g_read.ringValid = false;
        if (resumeMs != ~0u) {
            g_control = KVX_CW_RESET | KVX_CW_NO_DEVICE;
            EXPECT_EQ(KVXStartDecoding(0), 0u);
            kvx::stream_resume_point(resumeMs);
            control = (control & ~KVX_CW_REPOSITION) | KVX_CW_RESUME;
        }
        state.restore();
        KVXPosixCaptureClear();
        g.finished = false;
        g_control = control;
        EXPECT_EQ(KVXStartPlayback(0, 0), 0u);
        const Pcm pcm = play_out();
        g = live;
        return pcm;
    }

    uint32_t start_live(const Recording &r, uint32_t control)
    {
        KVXPosixCaptureClear();
        g.blocks = r.blocks;
        g.frameBytes = r.layout.frames[0].codecByte & 2 ? 480 : 528;
        g.frames = 0;
        g.finished = false;
        if (!(control & KVX_CW_RESUME)) fresh_.restore();
        g_control = control;
        return KVXStartPlayback(0, 1);
    }

    // Runs the messages until KVXPlaying reports the end; the PCM played.
    Pcm play_out()
    {
        MSG msg;
        for (int guard = 0; !g.finished && guard < 1000000 && KVXPosixGetMessage(&msg, nullptr, 0, 0); ++guard)
            KVXPosixDispatchMessage(&msg);
        EXPECT_TRUE(g.finished);
        uint32_t stop = 0;
        EXPECT_EQ(KVXStopPlayback(&stop), 0u);
        Pcm pcm(KVXPosixCaptureSize() / 2);
        KVXPosixCaptureRead(pcm.data(), pcm.size() * 2);
        return pcm;
    }

    const Decoder fresh_; // as the process began
    const std::string path_ = ::testing::TempDir() + "kvx-live.kvx";
};

// The start fills the ten slots; a slot the caller leaves empty is asked
// for again, for about two seconds; a refusal or a recording that never
// comes refuses the start.
TEST_F(LivePlayback, StartWaitsForEachOfTheTenSlots)
{
    const struct {
        std::map<size_t, int> answers;
        uint32_t result;
        double minSeconds;
    } cases[] = {
        {{{0, kForever}}, 524, 1.5},
        {{{5, kForever}}, 524, 1.5},
        {{{0, -1}}, 524, 0},
        {{{7, -5}}, 524, 0},
        {{{2, 0}, {3, 0}}, 0, 0}, // slot 2 asked for three times
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answers.rbegin()->first);
        Watchdog watchdog(10);
        g = Caller();
        g.answers = c.answers;
        const auto began = Clock::now();
        ASSERT_EQ(start_live(sp_recording(), KVX_CW_RESET), c.result);
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        EXPECT_GE(seconds, c.minSeconds);
        EXPECT_LT(seconds, 4.0);
        if (c.result != 0) {
            EXPECT_EQ(KVXPosixCaptureOpens(nullptr, 0), 0u) << "no device opened";
            continue;
        }
        ASSERT_GE(g.slots.size(), 12u);
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ(g.slots[i], g.slots[0] + 512 * (i < 2 ? i : i < 5 ? 2 : i - 2)) << i;
        const Pcm got = play_out();
        EXPECT_EQ(difference(got, decode_file(sp_recording(), KVX_CW_RESET, fresh_)), "");
    }
}

// The caller's end of the recording (1) ends the audio after the blocks
// handed over; a refusal (negative) or a slot left empty for too long ends it
// at once, where the block that asked begins (two before the one refused);
// every frame fetched until then is played.  Nothing of a block left in a
// slot from the ring's last round is played again; a write session opened
// meanwhile changes nothing.
TEST_F(LivePlayback, AudioEndsAfterTheBlocksHandedOver)
{
    const Recording &r = sp_recording();
    WriteHandle *created = nullptr;
    const std::string recording = ::testing::TempDir() + "kvx-live-new.kvx";
    const struct {
        std::map<size_t, int> answers;
        size_t fed, played;
        bool create;
    } cases[] = {
        {{{3, 1}}, 3, 3, false},
        {{{12, -1}}, 12, 10, false},        // a frame runs over into block 10
        {{{14, kForever}}, 14, 12, false},  // none runs over into block 12
        {{{10, 0}, {11, 0}}, 25, 25, false}, // slot 0 still holds block 0
        {{}, 25, 25, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fed);
        Watchdog watchdog(10);
        g = Caller();
        g.answers = c.answers;
        if (c.create)
            g.onRequest = [&](size_t index) {
                if (index != 12) return;
                uint32_t result = 99;
                created = KVXCreateFile(recording.c_str(), 0, &result);
                EXPECT_EQ(result, 0u);
            };
        ASSERT_EQ(start_live(r, KVX_CW_RESET), 0u);
        const Pcm got = play_out();
        if (created != nullptr) {
            EXPECT_EQ(KVXCloseFileEx(created, nullptr, 1), 0u);
            created = nullptr;
        }
        EXPECT_EQ(g.fed, c.fed);
        Pcm want = decode_file(r, KVX_CW_RESET, fresh_);
        want.resize(r.frames_before(c.played, true) * 264);
        EXPECT_EQ(difference(got, want), "");
    }
    std::remove(recording.c_str());
}

// A whole recording handed over block by block plays as its file decodes,
// at every speed and in both codecs.  The start asks for slots 0..9; then
// entering the eighth block after the start asks for the slot two blocks
// ahead (block 10 into slot 0), and each block entered for one more.
TEST_F(LivePlayback, PlaysAsTheFileOfItsBlocksDecodes)
{
    const struct {
        const Recording *r;
        uint32_t control;
        uint32_t rate;
    } cases[] = {
        {&sp_recording(), 0, 11025},      {&sp_recording(), 0x0800, 11025}, {&sp_recording(), 0x8800, 11025},
        {&sp_recording(), 0x2000, 11025}, {&lp_recording(), 0, 8000},       {&lp_recording(), 0x1000, 8000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        SCOPED_TRACE(c.rate);
        Watchdog watchdog(10);
        g = Caller();
        ASSERT_EQ(start_live(*c.r, KVX_CW_RESET | c.control), 0u);
        EXPECT_EQ(g.slots.size(), 10u);
        const Pcm got = play_out();
        EXPECT_EQ(difference(got, decode_file(*c.r, KVX_CW_RESET | c.control, fresh_)), "");
        uint32_t rates[2] = {};
        EXPECT_EQ(KVXPosixCaptureOpens(rates, 2), 1u);
        EXPECT_EQ(rates[0], c.rate);
        EXPECT_EQ(g.fed, c.r->blocks.size());
        ASSERT_EQ(g.slots.size(), g.fed + 1) << "one request a block, and the one answered with the end";
        for (size_t i = 0; i < g.slots.size(); ++i) EXPECT_EQ(g.slots[i], g.slots[0] + 512 * (i % 10)) << i;
        if (c.control == 0) {
            // The frame that enters block 8 is in the buffer filled at the request.
            const size_t entry = c.r->frames_before(8);
            EXPECT_LE(g.framesAt[10], entry);
            EXPECT_GE(g.framesAt[10] + 5, entry);
            EXPECT_EQ(g.framesAt[9], 0u) << "the first ten before any buffer";
        }
    }
}

// A stop takes back the frames decoded ahead of the device: with the device
// 300 ms (SP) or 320 ms (LP) behind, a resume plays on 12 or 10 frames
// before the decoding had come to, from the decoder as the stop left it.
TEST_F(LivePlayback, StopTakesBackWhatTheDeviceHasNotPlayed)
{
    const struct {
        const Recording *r;
        uint32_t behindMs, frameMs, bytesPerMs10, back;
    } cases[] = {
        {&sp_recording(), 300, 24, 220, 12},
        {&sp_recording(), 1200, 24, 220, 50}, // nothing played: back over three blocks to the start
        {&lp_recording(), 320, 30, 160, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.frameMs);
        Watchdog watchdog(10);
        g = Caller();
        ASSERT_EQ(start_live(*c.r, KVX_CW_RESET), 0u);
        ASSERT_EQ(waveOutPause(kvx::g_session.waveOut), MMSYSERR_NOERROR) << "nothing played";
        MSG msg;
        while (KVXPosixPeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) KVXPosixDispatchMessage(&msg);
        const size_t decoded = g.frames;
        ASSERT_EQ(decoded, 50u) << "ten buffers of five frames";
        const uint32_t played = static_cast<uint32_t>(decoded * c.frameMs - c.behindMs);
        ASSERT_TRUE(KVXPosixWaveAddPlayed(kvx::g_session.waveOut, played * c.bytesPerMs10 / 10));
        uint32_t stop = 0;
        ASSERT_EQ(KVXStopPlayback(&stop), 0u);
        EXPECT_EQ(stop, played);

        const Decoder stopped;
        const uint32_t word = g_control | KVX_CW_RESUME;
        g.finished = false;
        ASSERT_EQ(start_live(*c.r, word), 0u);
        const Pcm got = play_out();
        const Pcm want = decode_file(*c.r, word, stopped, static_cast<uint32_t>((decoded - c.back) * c.frameMs));
        ASSERT_GE(got.size(), 2000u);
        EXPECT_EQ(difference(got, want), "");
    }
}

// Blocks that no recorder writes (offsets past the block, more frames than
// fit, codecs changing block by block, noise): the playback plays something
// or nothing, and ends.
TEST_F(LivePlayback, MalformedBlocksEnd)
{
    const std::function<void(kvxgen::Bytes &, size_t)> spoil[] = {
        [](kvxgen::Bytes &b, size_t) { b[0] = b[1] = 0xFF; },
        [](kvxgen::Bytes &b, size_t) { b[0] = 0x0F, b[1] = 0, b[2] = 0x7F; },
        [](kvxgen::Bytes &b, size_t i) { b[4] = i % 2 ? 2 : 1; },
        [](kvxgen::Bytes &b, size_t i) {
            for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<uint8_t>((k * 131 + i * 7919) >> 3);
        },
    };
    for (const auto &bad : spoil) {
        Watchdog watchdog(10);
        g = Caller();
        Recording r = sp_recording();
        for (size_t i = 0; i < r.blocks.size(); ++i) bad(r.blocks[i], i);
        const uint32_t started = start_live(r, KVX_CW_RESET);
        EXPECT_TRUE(started == 0 || started == 524) << started;
        if (started == 0) play_out();
    }
}

} // namespace
