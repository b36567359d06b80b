// Decoding sessions driven by window messages, played through the capture
// sink: the output equals the decoders' own, frame for frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"
#include "kvx_posix.h"

namespace {

using kvxgen::Bytes;
using Pcm = std::vector<int16_t>;

uint32_t g_control = 0;
bool g_finished = false;
HMMIO g_output = nullptr;
int g_requests = 0;

LRESULT window_proc(HWND, UINT message, WPARAM, LPARAM lParam)
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_BUFFER_REQUEST) {
        ++g_requests;
        if (KVXDecoding(buffer, g_output) == 0) g_finished = true;
    } else if (message == KVX_MSG_BUFFER_DONE) {
        KVXDecBufReturn(buffer);
    }
    return 0;
}

// The decoders' state, so that two runs over the same frames can start
// from the same state (the reset bit renews only the excitation history).
struct DecoderSnapshot {
    kvx::SpDecoderState sp = kvx::g_sp;
    kvx::SpChannelState decode = kvx::g_spDecode;
    kvx::SpOutputState output = kvx::g_spOutput;
    uint32_t speedCounter = kvx::g_speedCounter;
    void restore() const
    {
        kvx::g_sp = sp;
        kvx::g_spDecode = decode;
        kvx::g_spOutput = output;
        kvx::g_speedCounter = speedCounter;
    }
};

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        KVXPosixCaptureClear();
        // The service keeps the first window it is given for the process.
        static HWND window = KVXPosixCreateWindow(window_proc, nullptr);
        window_ = window;
        ASSERT_NE(window_, nullptr);
        g_control = 0;
        g_finished = false;
        g_output = nullptr;
        g_requests = 0;
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "kvx-session-" + test->name() + ".kvx";
    }
    void TearDown() override
    {
        uint32_t stop = 0;
        KVXEndDecoding(&stop); // no device stays open for the next test
        std::remove(path_.c_str());
    }

    void open(const kvxgen::File &file)
    {
        ASSERT_TRUE(kvxgen::write(path_, kvxgen::build(file, &layout_)));
        kvx::g_file.name[0] = '\0';
        ASSERT_EQ(KVXActiveFile(path_.c_str(), &length_, nullptr), 0u);
    }

    // Runs the message loop until the session reports the end.
    void pump()
    {
        MSG msg;
        for (int guard = 0; !g_finished && guard < 1000000; ++guard) {
            if (!KVXPosixGetMessage(&msg, nullptr, 0, 0)) break;
            KVXPosixDispatchMessage(&msg);
        }
        ASSERT_TRUE(g_finished);
    }

    // The frames decoded one by one through KVXDecodeToPCM, from `ms`.
    Pcm reference(uint32_t ms, uint32_t control_bits, std::vector<uint32_t> *codecs = nullptr)
    {
        start_state_.restore();
        g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | control_bits;
        kvx::g_read.ringValid = false;
        EXPECT_EQ(KVXStartDecoding(ms), 0u);
        Pcm pcm;
        for (;;) {
            int16_t *frame = nullptr;
            uint32_t codec = 99;
            if (KVXDecodeToPCM(&frame, &codec) == 0) break;
            if (frame == nullptr) continue; // a change of codec
            const size_t samples = codec ? 240 : 264;
            pcm.insert(pcm.end(), frame, frame + samples);
            if (codecs != nullptr) codecs->push_back(codec);
        }
        return pcm;
    }

    Pcm captured() const
    {
        Pcm pcm(KVXPosixCaptureSize() / 2);
        KVXPosixCaptureRead(pcm.data(), pcm.size() * 2);
        return pcm;
    }

    Pcm play(uint32_t ms, uint32_t control_bits, uint32_t *stop = nullptr)
    {
        g_finished = false;
        KVXPosixCaptureClear();
        start_state_.restore();
        g_control = KVX_CW_RESET | control_bits;
        kvx::g_read.ringValid = false;
        EXPECT_EQ(KVXStartDecoding(ms), 0u);
        pump();
        uint32_t position = 0;
        EXPECT_EQ(KVXEndDecoding(&position), 0u);
        if (stop != nullptr) *stop = position;
        return captured();
    }

    static kvxgen::File sp_file(size_t frames, uint32_t seed = 1)
    {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(1, frames, seed));
        return file;
    }

    DecoderSnapshot start_state_;
    HWND window_ = nullptr;
    std::string path_;
    kvxgen::Layout layout_;
    uint32_t length_ = 0;
};

TEST_F(Session, MisuseIsAnswered)
{
    if (kvx::g_decoder.initialised) GTEST_SKIP() << "the service was set up by an earlier test of this process";
    uint32_t stop = 7;
    EXPECT_EQ(KVXStartDecoding(0), 12u) << "no KVXInitDecoder";
    int16_t *pcm = nullptr;
    EXPECT_EQ(KVXDecodeToPCM(&pcm, nullptr), 0u);
    EXPECT_EQ(KVXEndDecoding(&stop), 0u) << "no session";
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    EXPECT_EQ(KVXInitDecoder(nullptr, nullptr), 0u) << "a second call changes nothing";
    EXPECT_EQ(kvx::g_decoder.window, window_);
    EXPECT_EQ(KVXStartDecoding(0), 513u) << "no active file";
    EXPECT_EQ(KVXDecodeToPCM(&pcm, nullptr), 0u) << "no session started";
    EXPECT_EQ(KVXEndDecoding(&stop), 0u);
    // The end flag before any buffer was handed over.
    kvx::g_read.ended = true;
    EXPECT_EQ(KVXDecoding(kvx::g_decoder.waveHeader[0], nullptr), 0u);
    kvx::g_read.ended = false;
}

TEST_F(Session, NoDeviceRefusesTheService)
{
    if (kvx::g_decoder.initialised) GTEST_SKIP() << "the service was set up by an earlier test of this process";
    ASSERT_TRUE(KVXPosixSetWaveSink("none"));
    EXPECT_EQ(KVXInitDecoder(window_, &g_control), 2u);
    EXPECT_EQ(KVXStartDecoding(0), 12u);
}

TEST_F(Session, PlaysWhatTheDecoderDecodes)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(900));
    const Pcm want = reference(0, 0);
    ASSERT_EQ(want.size(), 900u * 264);
    uint32_t stop = 0;
    const Pcm got = play(0, 0, &stop);
    EXPECT_EQ(got, want);
    uint32_t rates[4];
    ASSERT_EQ(KVXPosixCaptureOpens(rates, 4), 1u);
    EXPECT_EQ(rates[0], 11025u);
    // Played to the end: the stop is the length and the word asks for a
    // fresh positioned start.
    EXPECT_EQ(stop, length_);
    EXPECT_EQ(g_control, KVX_CW_RESET | KVX_CW_REPOSITION);
}

TEST_F(Session, EveryPlaybackSpeed)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(600, 4));
    for (uint32_t speed : {0x0800u, 0x1800u, 0x2000u, 0x8800u, 0xA000u}) {
        const Pcm want = reference(0, speed);
        const Pcm got = play(0, speed);
        EXPECT_EQ(got.size(), want.size()) << std::hex << speed;
        EXPECT_EQ(got, want) << std::hex << speed;
        EXPECT_NE(want.size(), 600u * 264) << "frames are dropped or inserted";
    }
}

TEST_F(Session, SpThenLpPlaysThroughAtBothRates)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 203, 1));
    file.segments.push_back(kvxgen::random_segment(2, 150, 2));
    open(file);
    std::vector<uint32_t> codecs;
    const Pcm want = reference(0, 0, &codecs);
    ASSERT_EQ(codecs.size(), 353u);
    const Pcm got = play(0, 0);
    EXPECT_EQ(got, want);
    uint32_t rates[4];
    size_t offsets[4];
    ASSERT_EQ(KVXPosixCaptureOpens(rates, 4), 2u);
    KVXPosixCaptureOffsets(offsets, 4);
    EXPECT_EQ(rates[0], 11025u);
    EXPECT_EQ(rates[1], 8000u);
    EXPECT_EQ(offsets[1], 203u * 528) << "the partly filled last SP buffer is played";
}

TEST_F(Session, DecodeToPcmMarksEachCodecChangeOnce)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 30, 1));
    file.segments.push_back(kvxgen::random_segment(2, 30, 2));
    file.segments.push_back(kvxgen::random_segment(1, 30, 3));
    open(file);
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    int empty = 0, frames = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        int16_t *pcm = nullptr;
        if (KVXDecodeToPCM(&pcm, nullptr) == 0) break;
        if (pcm == nullptr) ++empty;
        else ++frames;
    }
    EXPECT_EQ(frames, 90);
    EXPECT_EQ(empty, 2);
    EXPECT_EQ(g_control & KVX_CW_NO_DEVICE, 0u) << "cleared at the end";
}

TEST_F(Session, StartInsideABlockAndBeyondTheEnd)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(400, 2));
    // Block 5 and its start time.
    uint32_t start = 0;
    for (size_t b = 0; b < 5; ++b)
        start += layout_.blocks[b].frameCount * kvxgen::frame_ms(layout_.blocks[b].codecByte);
    size_t first = 0;
    while (layout_.frames[first].block != 5) ++first;
    const Pcm all = reference(0, 0);
    const Pcm inside = reference(start + 30, 0);
    ASSERT_FALSE(inside.empty());
    EXPECT_EQ(inside.size(), all.size() - first * 264);
    EXPECT_EQ(kvx::g_session.startMs, start) << "the stop position counts from the block's start";

    // Beyond the end: the last block before the end.
    const Pcm beyond = reference(length_ + 5000, 0);
    const size_t last_block = layout_.blocks.size() - 1;
    size_t in_last = 0;
    for (const kvxgen::FrameInfo &f : layout_.frames) in_last += f.block == last_block;
    EXPECT_EQ(beyond.size(), in_last * 264);
}

TEST_F(Session, FileOutputPrimesOneBufferAndWritesEverything)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(503, 6)); // not a multiple of five frames
    const Pcm want = reference(0, 0);
    const std::string out = path_ + ".pcm";
    g_output = mmioOpenA(const_cast<char *>(out.c_str()), nullptr, MMIO_CREATE | MMIO_WRITE);
    ASSERT_NE(g_output, nullptr);
    start_state_.restore();
    g_control = KVX_CW_RESET | KVX_CW_FILE_OUTPUT;
    kvx::g_read.ringValid = false;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    // One buffer request is primed.
    MSG msg;
    std::vector<MSG> primed;
    while (KVXPosixPeekMessage(&msg, window_, KVX_MSG_BUFFER_REQUEST, KVX_MSG_BUFFER_REQUEST, PM_REMOVE))
        primed.push_back(msg);
    ASSERT_EQ(primed.size(), 1u);
    KVXPosixPostMessage(window_, primed[0].message, primed[0].wParam, primed[0].lParam);
    pump();
    uint32_t stop = 0;
    KVXEndDecoding(&stop);
    mmioClose(g_output, 0);
    std::FILE *f = std::fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Pcm got(want.size() + 10);
    got.resize(std::fread(got.data(), 2, got.size(), f));
    std::fclose(f);
    std::remove(out.c_str());
    EXPECT_EQ(got, want) << "every frame, the last three included";
}

TEST_F(Session, ResumeAHundredMillisecondsIntoABlock)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(400, 3));
    uint32_t start = 0;
    for (size_t b = 0; b < 7; ++b)
        start += layout_.blocks[b].frameCount * kvxgen::frame_ms(layout_.blocks[b].codecByte);
    size_t first = 0;
    while (layout_.frames[first].block != 7) ++first;
    reference(0, 0); // positions the ring

    g_control = KVX_CW_NO_DEVICE;
    kvx::stream_resume_point(start + 100);
    EXPECT_EQ(kvx::g_read.skipCount, 4) << "100 ms into an SP block: 4 frames";
    EXPECT_EQ(kvx::g_read.remaining, layout_.blocks[7].frameCount - 4);
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESUME;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    int16_t *pcm = nullptr;
    ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
    ASSERT_NE(pcm, nullptr);
    // The frame decoded was the block's fifth: the position stands on its sixth.
    ASSERT_EQ(layout_.frames[first + 5].block, 7u);
    EXPECT_EQ(kvx::g_read.pcmFrame, kvx::g_decoder.ring + (layout_.frames[first + 5].fileOffset - 1024));
}

TEST_F(Session, StopKeepsTheCallersOwnMessages)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    open(sp_file(300));
    g_control = KVX_CW_RESET;
    kvx::g_read.ringValid = false;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    // Fewer requests queued than the stop takes away.
    MSG msg;
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(KVXPosixPeekMessage(&msg, window_, KVX_MSG_BUFFER_REQUEST, KVX_MSG_BUFFER_REQUEST, PM_REMOVE));
    ASSERT_TRUE(KVXPosixPostMessage(window_, WM_USER + 7, 1, 2));
    KVXPosixPostQuitMessage(0);
    uint32_t stop = 0;
    ASSERT_EQ(KVXEndDecoding(&stop), 0u);
    ASSERT_TRUE(KVXPosixPeekMessage(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE));
    EXPECT_EQ(msg.lParam, 2);
    EXPECT_TRUE(KVXPosixPeekMessage(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    // The session's own buffer requests are gone.
    int requests = 0;
    while (KVXPosixPeekMessage(&msg, window_, KVX_MSG_BUFFER_REQUEST, KVX_MSG_BUFFER_REQUEST, PM_REMOVE)) ++requests;
    EXPECT_EQ(requests, 0);
}

} // namespace

namespace {

TEST_F(Session, NothingPlaysOnceTheActiveFileIsGivenUp)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    const std::string bad = path_ + ".bad";
    ASSERT_TRUE(kvxgen::write(bad, kvxgen::with_magic(kvxgen::build(sp_file(50)), "KVX")));
    const std::function<void()> give_up[] = {
        [&] { EXPECT_EQ(KVXActiveFile((path_ + ".missing").c_str(), nullptr, nullptr), 1u); },
        [&] { EXPECT_EQ(KVXActiveFile(bad.c_str(), nullptr, nullptr), 7u); },
        [&] { KVXActiveFolder(nullptr, 1); },
    };
    for (const auto &lose : give_up) {
        for (uint32_t resume : {0u, KVX_CW_RESUME}) {
            open(sp_file(100));
            g_control = KVX_CW_NO_DEVICE;
            ASSERT_EQ(KVXStartDecoding(0), 0u);
            int16_t *pcm = nullptr;
            ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
            lose();
            EXPECT_EQ(KVXDecodeToPCM(&pcm, nullptr), 0u) << "the old ring is not decoded on";
            g_control = KVX_CW_NO_DEVICE | resume;
            EXPECT_EQ(KVXStartDecoding(0), 513u) << std::hex << resume;
        }
    }
    std::remove(bad.c_str());
    // Another file opened: a resume has nothing to go on from, the new
    // file plays from the position asked for.
    open(sp_file(100, 1));
    g_control = KVX_CW_NO_DEVICE;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    const std::string other = path_ + ".other";
    ASSERT_TRUE(kvxgen::write(other, kvxgen::build(sp_file(100, 2), &layout_)));
    ASSERT_EQ(KVXActiveFile(other.c_str(), nullptr, nullptr), 0u);
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESUME;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    int16_t *pcm = nullptr;
    ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
    EXPECT_EQ(kvx::g_read.pcmFrame, kvx::g_decoder.ring + (layout_.frames[1].fileOffset - 1024));
    std::remove(other.c_str());
}

// The stop position from a device position past 2^32 / 24 (SP) and
// 2^32 / 30 (LP) bytes: more than 2 h 15 min of sound.
TEST_F(Session, StopPositionAfterHoursOfPlay)
{
    ASSERT_EQ(KVXInitDecoder(window_, &g_control), 0u);
    for (uint8_t codec : {1, 2}) {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(codec, 100, 3));
        open(file);
        kvx::g_file.chunkTimes[0] = 100000000; // a file of 27 hours
        g_control = KVX_CW_RESET;
        ASSERT_EQ(KVXStartDecoding(0), 0u);
        ASSERT_TRUE(KVXPosixWaveAddPlayed(kvx::g_session.waveOut, 180000000));
        uint32_t stop = 0;
        ASSERT_EQ(KVXEndDecoding(&stop), 0u);
        const uint64_t bytes = 180000000;
        EXPECT_EQ(stop, codec == 1 ? bytes * 24 / 528 : bytes * 30 / 480) << int(codec);
    }
}

} // namespace
