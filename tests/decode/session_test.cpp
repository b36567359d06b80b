// Decoding sessions driven by window messages, played through the capture
// sink: the output equals decoding to PCM, frame for frame.
#include <gtest/gtest.h>

#include <cstdio>
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

using Pcm = std::vector<int16_t>;

uint32_t g_control = 0;
bool g_finished = false;
HMMIO g_output = nullptr;
size_t g_requests = 0;

LRESULT window_proc(HWND, UINT message, WPARAM, LPARAM lParam)
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    g_requests += message == KVX_MSG_BUFFER_REQUEST;
    if (message == KVX_MSG_BUFFER_REQUEST && KVXDecoding(buffer, g_output) == 0) g_finished = true;
    if (message == KVX_MSG_BUFFER_DONE) KVXDecBufReturn(buffer);
    return 0;
}

kvxgen::File file_of(std::initializer_list<std::pair<uint8_t, size_t>> parts, uint32_t seed = 1)
{
    kvxgen::File file;
    for (const auto &part : parts) file.segments.push_back(kvxgen::random_segment(part.first, part.second, seed++));
    return file;
}

// `file` behind a block that claims `count` frames of codec byte `codec` but
// carries none: open() puts its first frame inside its header.
kvxgen::File after_lead(kvxgen::File file, uint8_t count, uint8_t codec)
{
    file.segments.insert(file.segments.begin(), kvxgen::Segment::blank(count, 1, codec));
    return file;
}

class Session : public ::testing::Test {
protected:
    // The service is set up once, by the first test of the process: nothing
    // starts before, nor without a device.
    void SetUp() override
    {
        static HWND window = KVXPosixCreateWindow(window_proc, nullptr); // the service keeps the first
        if (!kvx::g_decoder.initialised) {
            EXPECT_EQ(KVXStartDecoding(0), 12u);
            ASSERT_TRUE(KVXPosixSetWaveSink("none"));
            EXPECT_EQ(KVXInitDecoder(window, &g_control), 2u) << "no device";
            EXPECT_EQ(KVXStartDecoding(0), 12u);
        }
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        ASSERT_EQ(KVXInitDecoder(window, &g_control), 0u);
        ASSERT_EQ(kvx::g_decoder.window, window);
    }
    void TearDown() override
    {
        uint32_t stop = 0;
        KVXEndDecoding(&stop); // no device stays open for the next test
        std::remove(path_.c_str());
    }

    void open(const kvxgen::File &file)
    {
        kvxgen::Bytes bytes = kvxgen::build(file, &layout_);
        if (file.segments[0].kind == kvxgen::Segment::Kind::Blank && file.segments[0].frameCountByte < 0x80)
            bytes[layout_.blocks[0].fileOffset + 1] = 0; // the first-frame offset 0 or 1
        ASSERT_TRUE(kvxgen::write(path_, bytes));
        kvx::g_file.name[0] = '\0';
        ASSERT_EQ(KVXActiveFile(path_.c_str(), &length_, nullptr), 0u);
    }

    // Starts with the SP decoder as the first start found it, so that two
    // runs over the same frames decode alike (the reset bit renews only the
    // excitation history).
    void start(uint32_t ms, uint32_t control_bits)
    {
        kvx::g_sp = sp_, kvx::g_spDecode = sp_decode_, kvx::g_spOutput = sp_output_, kvx::g_speedCounter = speed_;
        g_control = KVX_CW_RESET | control_bits;
        kvx::g_read.ringValid = false;
        ASSERT_EQ(KVXStartDecoding(ms), 0u);
    }

    // The frames decoded one by one through KVXDecodeToPCM; a change of codec
    // is one call without output.
    Pcm reference(uint32_t ms, uint32_t control_bits, int *changes = nullptr)
    {
        start(ms, control_bits | KVX_CW_NO_DEVICE);
        Pcm pcm;
        for (uint32_t codec = 9;;) {
            int16_t *frame = nullptr;
            if (KVXDecodeToPCM(&frame, &codec) == 0) break;
            if (frame != nullptr) pcm.insert(pcm.end(), frame, frame + (codec ? 240 : 264));
            else if (changes != nullptr) ++*changes;
        }
        EXPECT_EQ(g_control & KVX_CW_NO_DEVICE, 0u) << "cleared at the end";
        return pcm;
    }

    // A session driven by its messages until it reports the end.
    Pcm play(uint32_t ms, uint32_t control_bits, uint32_t *stop)
    {
        KVXPosixCaptureClear();
        g_finished = false;
        g_requests = 0;
        start(ms, control_bits);
        MSG msg;
        for (int guard = 0; !g_finished && guard < 1000000 && KVXPosixGetMessage(&msg, nullptr, 0, 0); ++guard)
            KVXPosixDispatchMessage(&msg);
        EXPECT_TRUE(g_finished);
        EXPECT_EQ(KVXEndDecoding(stop), 0u);
        Pcm pcm(KVXPosixCaptureSize() / 2);
        KVXPosixCaptureRead(pcm.data(), pcm.size() * 2);
        return pcm;
    }

    const kvx::SpDecoderState sp_ = kvx::g_sp;
    const kvx::SpChannelState sp_decode_ = kvx::g_spDecode;
    const kvx::SpOutputState sp_output_ = kvx::g_spOutput;
    const uint32_t speed_ = kvx::g_speedCounter;
    const std::string path_ = ::testing::TempDir() + "kvx-session.kvx";
    kvxgen::Layout layout_;
    uint32_t length_ = 0;
};

// Device and file output play exactly what decoding to PCM gives: at every
// speed, across a change of codec (the device reopened at the new rate
// after the partly filled last buffer), and a file output's last frames.
// Blocks without frames before the first frames have no codec that counts:
// the device opens at the rate of the first frames.
TEST_F(Session, PlaysWhatDecodingToPcmGives)
{
    const struct {
        kvxgen::File file;
        uint32_t control;
        std::vector<uint32_t> rates;
    } cases[] = {
        {file_of({{1, 900}}), 0, {11025}},
        {file_of({{1, 600}}, 4), 0x0800, {11025}}, {file_of({{1, 600}}, 4), 0x1800, {11025}},
        {file_of({{1, 600}}, 4), 0x2000, {11025}}, {file_of({{1, 600}}, 4), 0x8800, {11025}},
        {file_of({{1, 600}}, 4), 0xA000, {11025}},
        {file_of({{1, 203}, {2, 153}}), 0, {11025, 8000}}, // both end in a partly filled buffer
        {file_of({{1, 503}}, 6), KVX_CW_FILE_OUTPUT, {11025}}, // not a multiple of five frames
        {after_lead(file_of({{1, 41}, {2, 20}}), 3, 2), 0, {11025, 8000}},
        {after_lead(file_of({{1, 40}}), 0x7F, 3), 0, {11025}},
        {after_lead(file_of({{2, 40}}), 2, 0), 0, {8000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        open(c.file);
        int changes = 0;
        const Pcm want = reference(0, c.control, &changes);
        EXPECT_EQ(changes, static_cast<int>(c.rates.size()) - 1) << "each change of codec is marked once";
        size_t samples = 0, sp_frames = 0;
        for (const kvxgen::FrameInfo &f : layout_.frames) {
            samples += (f.codecByte & 2) ? 240 : 264;
            sp_frames += !(f.codecByte & 2);
        }
        EXPECT_EQ(want.size() == samples, !(c.control & 0xFF00)) << "every frame, or frames dropped or inserted";
        std::string out = path_ + ".pcm";
        if (c.control & KVX_CW_FILE_OUTPUT) g_output = mmioOpenA(&out[0], nullptr, MMIO_CREATE | MMIO_WRITE);
        uint32_t stop = 0;
        Pcm got = play(0, c.control, &stop);
        if (g_output != nullptr) {
            EXPECT_EQ(g_requests, (samples / 264 + 4) / 5) << "one buffer primed, one request a buffer";
            mmioClose(g_output, 0);
            g_output = nullptr;
            std::FILE *f = std::fopen(out.c_str(), "rb");
            got.resize(want.size() + 10);
            got.resize(std::fread(got.data(), 2, got.size(), f));
            std::fclose(f);
            std::remove(out.c_str());
        }
        EXPECT_EQ(got, want);
        uint32_t rates[4];
        size_t offsets[4];
        ASSERT_EQ(KVXPosixCaptureOpens(rates, 4), c.rates.size());
        KVXPosixCaptureOffsets(offsets, 4);
        EXPECT_EQ(std::vector<uint32_t>(rates, rates + c.rates.size()), c.rates);
        if (c.rates.size() == 2) {
            EXPECT_EQ(offsets[1], sp_frames * 528) << "the partly filled last SP buffer is played";
        }
        // Played to the end: the stop is the length, and the word asks for a
        // fresh positioned start (the length counts a lead's claimed frames).
        if (c.control == 0 && c.file.segments[0].kind == kvxgen::Segment::Kind::Frames) {
            EXPECT_EQ(stop, length_);
            EXPECT_EQ(g_control, KVX_CW_RESET | KVX_CW_REPOSITION);
        }
    }
}

// The stop position counts the device's bytes from the start of the block
// that holds the start time, also hours into a session: past 2^32 / 24 (SP)
// and 2^32 / 30 (LP) bytes.  The stop takes the session's own requests from
// the queue and leaves the caller's messages, a quit among them.
TEST_F(Session, StopPositionCountsFromTheStartBlock)
{
    const HWND window = kvx::g_decoder.window;
    const UINT request = KVX_MSG_BUFFER_REQUEST;
    for (uint8_t codec : {1, 2}) {
        open(file_of({{codec, 300}}, 3));
        kvx::g_file.chunkTimes[0] = 100000000; // a file of 27 hours
        size_t f = 0;
        while (layout_.frames[f].block != 5) ++f;
        const uint32_t block = layout_.frames[f].startMs;
        for (uint32_t bytes : {48000u, 180000000u}) {
            start(block + 31, 0);
            EXPECT_EQ(kvx::g_session.startMs, block) << "the start of the block";
            ASSERT_TRUE(KVXPosixWaveAddPlayed(kvx::g_session.waveOut, bytes));
            MSG msg;
            for (int i = 0; i < 6; ++i) // fewer requests queued than the stop takes away
                ASSERT_TRUE(KVXPosixPeekMessage(&msg, window, request, request, PM_REMOVE));
            ASSERT_TRUE(KVXPosixPostMessage(window, WM_USER + 7, 1, 2));
            KVXPosixPostQuitMessage(0);
            uint32_t stop = 0;
            ASSERT_EQ(KVXEndDecoding(&stop), 0u);
            EXPECT_TRUE(KVXPosixPeekMessage(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE));
            EXPECT_TRUE(KVXPosixPeekMessage(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
            EXPECT_FALSE(KVXPosixPeekMessage(&msg, window, request, request, PM_REMOVE));
            EXPECT_EQ(stop, block + (codec == 1 ? uint64_t(bytes) * 24 / 528 : bytes / 16)) << int(codec) << bytes;
        }
    }
}

// At a speed other than normal the stop counts the frames returned; after
// a resume it counts on from the stop before, not from the first start.
TEST_F(Session, StopsAtSpeedCountOnAcrossAResume)
{
    open(file_of({{1, 900}}, 4));
    const uint32_t faster = 4u << KVX_CW_SPEED_STEP_SHIFT; // twice as fast
    uint32_t stops[2] = {};
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            start(0, faster);
        } else {
            g_control = faster | KVX_CW_RESUME;
            ASSERT_EQ(KVXStartDecoding(0), 0u);
        }
        for (int i = 0; i < 8; ++i) KVXDecBufReturn(kvx::g_decoder.waveHeader[i]);
        ASSERT_EQ(KVXEndDecoding(&stops[round]), 0u);
    }
    EXPECT_EQ(stops[0], 8u * 5 * 24 * 2);
    EXPECT_EQ(stops[1], 2 * stops[0]);
}

TEST_F(Session, ResumeAHundredMillisecondsIntoABlock)
{
    open(file_of({{1, 400}}, 3));
    size_t first = 0;
    while (layout_.frames[first].block != 7) ++first;
    reference(0, 0); // positions the ring
    kvx::stream_resume_point(layout_.frames[first].startMs + 100);
    EXPECT_EQ(kvx::g_read.skipCount, 4) << "100 ms into an SP block: 4 frames";
    EXPECT_EQ(kvx::g_read.remaining, layout_.blocks[7].frameCount - 4);
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESUME;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    int16_t *pcm = nullptr;
    ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
    // The block's fifth frame was decoded: the position stands on its sixth.
    EXPECT_EQ(kvx::g_read.pcmFrame, kvx::g_decoder.ring + (layout_.frames[first + 5].fileOffset - 1024));
}

// After an opening that fails or a folder activation, no file is active:
// nothing of the old ring is decoded or started, not even by a resume.
TEST_F(Session, NothingPlaysOnceTheActiveFileIsGivenUp)
{
    const std::string bad = path_ + ".bad";
    ASSERT_TRUE(kvxgen::write(bad, kvxgen::with_magic(kvxgen::build(file_of({{1, 50}})), "KVX")));
    const std::function<void()> give_up[] = {
        [&] { EXPECT_EQ(KVXActiveFile((path_ + ".missing").c_str(), nullptr, nullptr), 1u); },
        [&] { EXPECT_EQ(KVXActiveFile(bad.c_str(), nullptr, nullptr), 7u); },
        [&] { KVXActiveFolder(nullptr, 1); },
    };
    int16_t *pcm = nullptr;
    for (const auto &lose : give_up) {
        for (uint32_t resume : {0u, KVX_CW_RESUME}) {
            open(file_of({{1, 100}}));
            start(0, KVX_CW_NO_DEVICE);
            ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
            lose();
            EXPECT_EQ(KVXDecodeToPCM(&pcm, nullptr), 0u) << "the old ring is not decoded on";
            g_control = KVX_CW_NO_DEVICE | resume;
            EXPECT_EQ(KVXStartDecoding(0), 513u) << resume;
        }
    }
    std::remove(bad.c_str());
    // Another file opened: a resume has nothing to go on from in the ring,
    // and the new file plays from the position asked for.
    open(file_of({{1, 100}}));
    start(0, KVX_CW_NO_DEVICE);
    open(file_of({{1, 100}}, 2));
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESUME;
    ASSERT_EQ(KVXStartDecoding(0), 0u);
    ASSERT_EQ(KVXDecodeToPCM(&pcm, nullptr), 1u);
    EXPECT_EQ(kvx::g_read.pcmFrame, kvx::g_decoder.ring + (layout_.frames[1].fileOffset - 1024));
}

} // namespace
