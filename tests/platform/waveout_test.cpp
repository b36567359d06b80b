// The wave-output device: buffers played in order and reported to the
// window, positions, pause, reset and close, through the sinks.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "helpers.h"

using kvxtest::pump_until;
using kvxtest::WindowLog;

namespace {

WAVEFORMATEX pcm(DWORD rate, WORD bits = 16)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<WORD>(bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}

struct Buffer {
    std::string data;
    WAVEHDR header{};
    explicit Buffer(size_t bytes) : data(bytes, '\0')
    {
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(bytes + i * 7);
        header.lpData = &data[0];
        header.dwBufferLength = static_cast<DWORD>(bytes);
    }
    DWORD flags() const { return __atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE) & (WHDR_DONE | WHDR_INQUEUE); }
};

class WaveOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        KVXPosixCaptureClear();
        kvxtest::drain_queue();
        window_ = KVXPosixCreateWindow(kvxtest::log_proc, &log_);
    }
    void TearDown() override
    {
        KVXPosixDestroyWindow(window_);
        KVXPosixSetWaveSink("capture");
    }
    HWAVEOUT open(DWORD rate)
    {
        HWAVEOUT device = nullptr;
        WAVEFORMATEX format = pcm(rate);
        EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(window_), 0, CALLBACK_WINDOW),
                  MMSYSERR_NOERROR);
        return device;
    }
    // Prepares and writes the buffers of the given sizes.
    std::vector<std::unique_ptr<Buffer>> write(HWAVEOUT device, std::vector<size_t> sizes)
    {
        std::vector<std::unique_ptr<Buffer>> buffers;
        for (size_t bytes : sizes) {
            buffers.emplace_back(new Buffer(bytes));
            EXPECT_EQ(waveOutPrepareHeader(device, &buffers.back()->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutWrite(device, &buffers.back()->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
        return buffers;
    }
    bool done(size_t n) { return pump_until([&] { return log_.count(MM_WOM_DONE) == n; }); }
    static DWORD position(HWAVEOUT device, UINT type = TIME_BYTES)
    {
        MMTIME time{};
        time.wType = type;
        EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
        return time.u.cb;
    }

    WindowLog log_;
    HWND window_ = nullptr;
};

TEST_F(WaveOut, PlaysBuffersInOrderAndReportsEachToTheWindow)
{
    HWAVEOUT device = open(11025);
    ASSERT_EQ(log_.count(MM_WOM_OPEN), 1u) << "sent: there when the open returns";
    auto buffers = write(device, {2640, 2640, 1000, 2640});
    ASSERT_TRUE(done(4));
    std::string expected;
    for (size_t i = 0; i < buffers.size(); ++i) {
        const kvxtest::Received r = log_.of(MM_WOM_DONE)[i];
        EXPECT_EQ(r.lParam, reinterpret_cast<LPARAM>(&buffers[i]->header)) << "buffer " << i;
        EXPECT_EQ(r.wParam, reinterpret_cast<WPARAM>(device));
        EXPECT_EQ(buffers[i]->flags(), WHDR_DONE);
        expected += buffers[i]->data;
    }
    EXPECT_EQ(position(device), 8920u);
    EXPECT_EQ(position(device, TIME_SAMPLES), 4460u);
    EXPECT_EQ(position(device, TIME_MS), 404u);
    std::string got(KVXPosixCaptureSize(), '\0');
    EXPECT_EQ(KVXPosixCaptureRead(&got[0], got.size()), got.size());
    EXPECT_EQ(got, expected);

    // A reset starts the position again; a paused device holds its buffers.
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(position(device), 0u);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    auto more = write(device, {1056});
    EXPECT_FALSE(pump_until([&] { return log_.count(MM_WOM_DONE) == 5; }, 30));
    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(done(5));
    EXPECT_EQ(position(device), 1056u);

    for (auto &b : buffers) EXPECT_EQ(waveOutUnprepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(log_.count(MM_WOM_CLOSE), 1u);
    EXPECT_EQ(waveOutWrite(device, &more[0]->header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_INVALHANDLE);

    // The capture keeps each open with its rate and where its bytes begin.
    HWAVEOUT lp = open(8000);
    auto y = write(lp, {480});
    ASSERT_TRUE(done(6));
    EXPECT_EQ(waveOutClose(lp), MMSYSERR_NOERROR);
    uint32_t rates[3] = {};
    size_t offsets[3] = {};
    ASSERT_EQ(KVXPosixCaptureOpens(rates, 3), 2u);
    ASSERT_EQ(KVXPosixCaptureOffsets(offsets, 3), 2u);
    EXPECT_EQ(rates[0] * 10000 + rates[1], 11025u * 10000 + 8000u);
    EXPECT_EQ(offsets[1], 8920u + 1056u);
}

TEST_F(WaveOut, QueuedBuffersHoldTheDeviceUntilResetMarksThemDone)
{
    HWAVEOUT device = open(8000);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    Buffer unprepared(100);
    EXPECT_EQ(waveOutWrite(device, &unprepared.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    auto buffers = write(device, {2400, 2400, 1200});
    WAVEHDR &first = buffers[0]->header;
    for (auto &b : buffers) EXPECT_EQ(b->flags(), WHDR_INQUEUE);
    EXPECT_EQ(waveOutWrite(device, &first, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &first, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);

    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    for (auto &b : buffers) EXPECT_EQ(b->flags(), WHDR_DONE);
    ASSERT_TRUE(done(3));
    for (size_t i = 0; i < buffers.size(); ++i)
        EXPECT_EQ(log_.of(MM_WOM_DONE)[i].lParam, reinterpret_cast<LPARAM>(&buffers[i]->header));
    EXPECT_EQ(position(device), 0u);
    EXPECT_EQ(KVXPosixCaptureSize(), 0u) << "nothing was played";
    EXPECT_EQ(waveOutUnprepareHeader(device, &first, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, OpenRefusesWhatTheDeviceCannotDo)
{
    const DWORD_PTR window = reinterpret_cast<DWORD_PTR>(window_);
    WAVEFORMATEX tag = pcm(11025), align = pcm(11025);
    tag.wFormatTag = 2;
    align.nBlockAlign = 4;
    const struct {
        const char *sink;
        UINT id;
        WAVEFORMATEX format;
        DWORD_PTR callback;
        DWORD flags;
        MMRESULT result;
    } cases[] = {
        {"capture", 1, pcm(11025), window, CALLBACK_WINDOW, MMSYSERR_BADDEVICEID},
        {"capture", 0, pcm(11025), 0, CALLBACK_FUNCTION, MMSYSERR_INVALFLAG},
        {"capture", 0, pcm(11025), 12345, CALLBACK_WINDOW, MMSYSERR_INVALPARAM},
        {"capture", 0, tag, window, CALLBACK_WINDOW, WAVERR_BADFORMAT},
        {"capture", 0, pcm(11025, 24), window, CALLBACK_WINDOW, WAVERR_BADFORMAT},
        {"capture", 0, align, window, CALLBACK_WINDOW, WAVERR_BADFORMAT},
        {"none", WAVE_MAPPER, pcm(11025), window, CALLBACK_WINDOW, MMSYSERR_BADDEVICEID},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(KVXPosixSetWaveSink(c.sink));
        HWAVEOUT device = nullptr;
        WAVEFORMATEX format = c.format;
        EXPECT_EQ(waveOutOpen(&device, c.id, &format, c.callback, 0, c.flags), c.result) << &c - cases;
        EXPECT_EQ(device, nullptr);
    }
    EXPECT_EQ(waveOutGetNumDevs(), 0u) << "none";
    EXPECT_FALSE(KVXPosixSetWaveSink("speaker"));
    EXPECT_STREQ(KVXPosixGetWaveSink(), "none");
    ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    WAVEFORMATEX format = pcm(11025);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(KVXPosixCaptureOpens(nullptr, 0), 0u) << "a query opens nothing";
    EXPECT_TRUE(log_.messages.empty());
}

// CALLBACK_NULL tells no one; "null" plays in real time and a reset stops
// it at once; "alsa" plays, or falls back to "null" without a sound card.
TEST_F(WaveOut, NullAndAlsaSinksPlayInRealTime)
{
    for (const char *sink : {"null", "alsa"}) {
        SCOPED_TRACE(sink);
        ASSERT_TRUE(KVXPosixSetWaveSink(sink));
        HWAVEOUT device = nullptr;
        WAVEFORMATEX format = pcm(8000); // 16000 bytes a second
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        const auto start = std::chrono::steady_clock::now();
        auto buffers = write(device, {3200, 32000}); // 200 ms, then 2 s
        ASSERT_TRUE(pump_until([&] { return buffers[0]->flags() == WHDR_DONE; }));
        const auto first = std::chrono::steady_clock::now() - start;
        if (std::string(sink) == "null") {
            EXPECT_GE(first, std::chrono::milliseconds(195));
            EXPECT_LT(first, std::chrono::milliseconds(1000));
            Sleep(60);
            EXPECT_GT(position(device), 3200u + 320u);
            EXPECT_LT(position(device), 3200u + 32000u);
        }
        const auto reset = std::chrono::steady_clock::now();
        ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_EQ(buffers[1]->flags(), WHDR_DONE);
        EXPECT_LT(std::chrono::steady_clock::now() - reset, std::chrono::milliseconds(500));
        EXPECT_EQ(position(device), 0u);
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
    EXPECT_TRUE(log_.messages.empty());
}

} // namespace
