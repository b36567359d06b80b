// The wave-output device: buffers played in order and reported to the
// window, positions, reset and close, through the sinks.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "helpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

WAVEFORMATEX pcm(DWORD rate, WORD bits = 16)
{
    return WAVEFORMATEX{WAVE_FORMAT_PCM, 1, rate, rate * bits / 8, static_cast<WORD>(bits / 8), bits, 0};
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
    // As the library opens it: reports to the window.
    MMRESULT open(HWAVEOUT *device, WAVEFORMATEX format, HWND window)
    {
        return waveOutOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW);
    }
    HWAVEOUT open(DWORD rate)
    {
        HWAVEOUT device = nullptr;
        EXPECT_EQ(open(&device, pcm(rate), window_), MMSYSERR_NOERROR);
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
    // Waits for the n-th MM_WOM_DONE; then each reported its buffer, in order.
    void expect_done(HWAVEOUT device, const std::vector<std::unique_ptr<Buffer>> &buffers)
    {
        ASSERT_TRUE(kvxtest::pump_until([&] { return log_.count(MM_WOM_DONE) == buffers.size(); }));
        for (size_t i = 0; i < buffers.size(); ++i) {
            EXPECT_EQ(log_.of(MM_WOM_DONE)[i].lParam, reinterpret_cast<LPARAM>(&buffers[i]->header)) << i;
            EXPECT_EQ(log_.of(MM_WOM_DONE)[i].wParam, reinterpret_cast<WPARAM>(device));
            EXPECT_EQ(buffers[i]->flags(), WHDR_DONE);
        }
    }
    static DWORD position(HWAVEOUT device)
    {
        MMTIME time{};
        time.wType = TIME_BYTES;
        EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
        return time.u.cb;
    }

    kvxtest::WindowLog log_;
    HWND window_ = nullptr;
};

TEST_F(WaveOut, PlaysBuffersInOrderAndReportsEachToTheWindow)
{
    HWAVEOUT device = open(11025);
    ASSERT_EQ(log_.count(MM_WOM_OPEN), 1u) << "sent: there when the open returns";
    auto buffers = write(device, {2640, 2640, 1000, 2640});
    expect_done(device, buffers);
    EXPECT_EQ(position(device), 8920u);
    std::string got(KVXPosixCaptureSize(), '\0'), expected;
    EXPECT_EQ(KVXPosixCaptureRead(&got[0], got.size()), got.size());
    for (auto &b : buffers) expected += b->data;
    EXPECT_EQ(got, expected);

    for (auto &b : buffers) EXPECT_EQ(waveOutUnprepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(log_.count(MM_WOM_CLOSE), 1u);
    EXPECT_EQ(waveOutWrite(device, &buffers[0]->header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_INVALHANDLE);
}

// "null" plays in real time; "alsa" plays, or falls back to "null" without
// a sound card.  Written buffers hold the device until played, or until a
// reset returns them at once.
TEST_F(WaveOut, NullAndAlsaSinksPlayInRealTimeAndResetReturnsTheQueue)
{
    for (const char *sink : {"null", "alsa"}) {
        SCOPED_TRACE(sink);
        ASSERT_TRUE(KVXPosixSetWaveSink(sink));
        log_.messages.clear();
        HWAVEOUT device = open(8000); // 16000 bytes a second
        Buffer unprepared(100);
        EXPECT_EQ(waveOutWrite(device, &unprepared.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
        const auto start = Clock::now();
        auto buffers = write(device, {3200, 32000, 1200}); // 200 ms, then 2 s
        WAVEHDR &second = buffers[1]->header;
        EXPECT_EQ(buffers[2]->flags(), WHDR_INQUEUE);
        EXPECT_EQ(waveOutWrite(device, &second, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
        EXPECT_EQ(waveOutUnprepareHeader(device, &second, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
        EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
        ASSERT_TRUE(kvxtest::pump_until([&] { return buffers[0]->flags() == WHDR_DONE; }));
        if (std::string(sink) == "null") {
            EXPECT_GE(Clock::now() - start, milliseconds(195));
            EXPECT_LT(Clock::now() - start, milliseconds(1000));
            Sleep(60);
            EXPECT_GT(position(device), 3200u + 320u);
            EXPECT_LT(position(device), 3200u + 32000u);
        }
        const auto reset = Clock::now();
        ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_LT(Clock::now() - reset, milliseconds(500));
        EXPECT_EQ(position(device), 0u);
        expect_done(device, buffers);
        EXPECT_EQ(waveOutUnprepareHeader(device, &second, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
}

TEST_F(WaveOut, OpenRefusesWhatTheDeviceCannotDo)
{
    WAVEFORMATEX align = pcm(11025);
    align.nBlockAlign = 4;
    HWAVEOUT device = nullptr;
    EXPECT_EQ(open(&device, pcm(11025), reinterpret_cast<HWND>(&align)), MMSYSERR_INVALPARAM) << "no window";
    EXPECT_EQ(open(&device, pcm(11025, 24), window_), WAVERR_BADFORMAT);
    EXPECT_EQ(open(&device, align, window_), WAVERR_BADFORMAT);
    EXPECT_FALSE(KVXPosixSetWaveSink("speaker"));
    ASSERT_TRUE(KVXPosixSetWaveSink("none"));
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(open(&device, pcm(11025), window_), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(device, nullptr);
    EXPECT_TRUE(log_.messages.empty());
}

} // namespace
