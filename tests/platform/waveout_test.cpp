// The wave-output device: buffers played in order and reported to the
// window, positions, reset and close, through the capture and null sinks.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "window_log.h"

using kvxtest::pump_until;
using kvxtest::Received;
using kvxtest::WindowLog;

namespace {

WAVEFORMATEX pcm_format(DWORD rate, WORD channels = 1, WORD bits = 16)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = bits;
    return format;
}

struct Buffer {
    std::vector<char> data;
    WAVEHDR header{};
    Buffer(size_t bytes, char fill) : data(bytes)
    {
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(fill + i % 7);
        header.lpData = data.data();
        header.dwBufferLength = static_cast<DWORD>(bytes);
    }
};

std::vector<std::unique_ptr<Buffer>> make_buffers(const std::vector<size_t> &sizes)
{
    std::vector<std::unique_ptr<Buffer>> buffers;
    for (size_t i = 0; i < sizes.size(); ++i) buffers.emplace_back(new Buffer(sizes[i], static_cast<char>(10 * i)));
    return buffers;
}

DWORD flags_of(const WAVEHDR &header)
{
    return __atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE);
}

DWORD position(HWAVEOUT device, UINT type = TIME_BYTES)
{
    MMTIME time{};
    time.wType = type;
    EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.wType, type);
    return time.u.cb;
}

std::string captured()
{
    std::string bytes(KVXPosixCaptureSize(), '\0');
    EXPECT_EQ(KVXPosixCaptureRead(&bytes[0], bytes.size()), bytes.size());
    return bytes;
}

class WaveOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KVXPosixSetWaveSink("capture"));
        KVXPosixCaptureClear();
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        window_ = KVXPosixCreateWindow(kvxtest::log_proc, &log_);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override { KVXPosixDestroyWindow(window_); }

    HWAVEOUT open(DWORD rate)
    {
        HWAVEOUT device = nullptr;
        WAVEFORMATEX format = pcm_format(rate);
        EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(window_), 0, CALLBACK_WINDOW),
                  MMSYSERR_NOERROR);
        return device;
    }
    void play(HWAVEOUT device, std::vector<std::unique_ptr<Buffer>> &buffers)
    {
        const size_t before = log_.count(MM_WOM_DONE);
        for (auto &b : buffers) {
            ASSERT_EQ(waveOutPrepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutWrite(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
        ASSERT_TRUE(pump_until([&] { return log_.count(MM_WOM_DONE) == before + buffers.size(); }));
    }

    WindowLog log_;
    HWND window_ = nullptr;
};

TEST_F(WaveOut, PlaysBuffersInOrderAndReportsEachToTheWindow)
{
    HWAVEOUT device = open(11025);
    ASSERT_NE(device, nullptr);
    // MM_WOM_OPEN is sent: the procedure has it when the open returns.
    ASSERT_EQ(log_.count(MM_WOM_OPEN), 1u);
    EXPECT_EQ(log_.of(MM_WOM_OPEN)[0].wParam, reinterpret_cast<WPARAM>(device));

    auto buffers = make_buffers({2640, 2640, 1000, 2640});
    play(device, buffers);
    std::vector<Received> done = log_.of(MM_WOM_DONE);
    std::string expected;
    for (size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(done[i].lParam, reinterpret_cast<LPARAM>(&buffers[i]->header)) << "buffer " << i;
        EXPECT_EQ(done[i].wParam, reinterpret_cast<WPARAM>(device));
        EXPECT_EQ(done[i].thread, GetCurrentThreadId());
        EXPECT_EQ(flags_of(buffers[i]->header) & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED),
                  WHDR_DONE | WHDR_PREPARED);
        expected.append(buffers[i]->data.begin(), buffers[i]->data.end());
    }
    EXPECT_EQ(position(device), 8920u);
    EXPECT_EQ(position(device, TIME_SAMPLES), 4460u);
    EXPECT_EQ(position(device, TIME_MS), 404u);
    EXPECT_EQ(captured(), expected);
    uint32_t rates[4] = {};
    size_t offsets[4] = {};
    ASSERT_EQ(KVXPosixCaptureOpens(rates, 4), 1u);
    EXPECT_EQ(rates[0], 11025u);
    ASSERT_EQ(KVXPosixCaptureOffsets(offsets, 4), 1u);
    EXPECT_EQ(offsets[0], 0u);

    for (auto &b : buffers) {
        EXPECT_EQ(waveOutUnprepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(b->header.dwFlags & WHDR_PREPARED, 0u);
    }
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    ASSERT_EQ(log_.count(MM_WOM_CLOSE), 1u);
    EXPECT_EQ(waveOutWrite(device, &buffers[0]->header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveOut, QueuedBuffersHoldTheDeviceUntilResetMarksThemDone)
{
    HWAVEOUT device = open(8000);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    auto buffers = make_buffers({2400, 2400, 1200});
    WAVEHDR &first = buffers[0]->header;
    EXPECT_EQ(waveOutWrite(device, &first, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    for (auto &b : buffers) {
        b->header.dwFlags |= WHDR_DONE; // a write clears it
        ASSERT_EQ(waveOutPrepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(flags_of(b->header) & (WHDR_DONE | WHDR_INQUEUE), WHDR_INQUEUE);
    }
    EXPECT_EQ(waveOutWrite(device, &first, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &first, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    EXPECT_FALSE(pump_until([&] { return log_.count(MM_WOM_DONE) != 0; }, 30));
    EXPECT_EQ(position(device), 0u);

    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    for (auto &b : buffers) EXPECT_EQ(flags_of(b->header) & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    ASSERT_TRUE(pump_until([&] { return log_.count(MM_WOM_DONE) == 3; }));
    std::vector<Received> done = log_.of(MM_WOM_DONE);
    for (size_t i = 0; i < buffers.size(); ++i)
        EXPECT_EQ(done[i].lParam, reinterpret_cast<LPARAM>(&buffers[i]->header)) << "buffer " << i;
    EXPECT_EQ(position(device), 0u);
    EXPECT_EQ(KVXPosixCaptureSize(), 0u) << "nothing was played";

    EXPECT_EQ(waveOutUnprepareHeader(device, &first, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, ResetStartsThePositionAgainAndPauseHolds)
{
    HWAVEOUT device = open(11025);
    auto a = make_buffers({2640, 528});
    play(device, a);
    EXPECT_EQ(position(device), 3168u);
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(position(device), 0u);

    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    auto b = make_buffers({1056});
    ASSERT_EQ(waveOutPrepareHeader(device, &b[0]->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &b[0]->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_FALSE(pump_until([&] { return log_.count(MM_WOM_DONE) == 3; }, 30));
    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return log_.count(MM_WOM_DONE) == 3; }));
    EXPECT_EQ(position(device), 1056u);
    EXPECT_EQ(KVXPosixCaptureSize(), 3168u + 1056u);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, CaptureKeepsEachOpenWithItsRate)
{
    HWAVEOUT sp = open(11025);
    auto x = make_buffers({2640});
    play(sp, x);
    EXPECT_EQ(waveOutClose(sp), MMSYSERR_NOERROR);
    HWAVEOUT lp = open(8000);
    auto y = make_buffers({2400, 480});
    play(lp, y);
    EXPECT_EQ(waveOutClose(lp), MMSYSERR_NOERROR);

    uint32_t rates[1] = {};
    size_t offsets[3] = {};
    EXPECT_EQ(KVXPosixCaptureOpens(rates, 1), 2u) << "the count of all opens, whatever fits";
    EXPECT_EQ(rates[0], 11025u);
    ASSERT_EQ(KVXPosixCaptureOffsets(offsets, 3), 2u);
    EXPECT_EQ(offsets[1], 2640u);
    uint32_t both[2] = {};
    KVXPosixCaptureOpens(both, 2);
    EXPECT_EQ(both[1], 8000u);
    EXPECT_EQ(KVXPosixCaptureSize(), 2640u + 2880u);
    char head[3] = {};
    EXPECT_EQ(KVXPosixCaptureRead(head, sizeof head), 3u);
    EXPECT_EQ(std::string(head, 3), std::string(x[0]->data.begin(), x[0]->data.begin() + 3));

    KVXPosixCaptureClear();
    EXPECT_EQ(KVXPosixCaptureSize(), 0u);
    EXPECT_EQ(KVXPosixCaptureOpens(nullptr, 0), 0u);
}

TEST_F(WaveOut, OpenRefusesWhatTheDeviceCannotDo)
{
    HWAVEOUT device = nullptr;
    WAVEFORMATEX format = pcm_format(11025);
    const DWORD_PTR window = reinterpret_cast<DWORD_PTR>(window_);
    EXPECT_EQ(waveOutOpen(&device, 1, &format, window, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(&device, 0, &format, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveOutOpen(&device, 0, &format, 12345, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
    WAVEFORMATEX other = format;
    other.wFormatTag = 2;
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &other, window, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    other = pcm_format(11025, 1, 24);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &other, window, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    other = format;
    other.nBlockAlign = 4;
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &other, window, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    // A query opens nothing.
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(KVXPosixCaptureOpens(nullptr, 0), 0u);
    EXPECT_EQ(log_.count(MM_WOM_OPEN), 0u);

    // CALLBACK_NULL plays without telling anyone.
    ASSERT_EQ(waveOutOpen(&device, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Buffer b(528, 1);
    ASSERT_EQ(waveOutPrepareHeader(device, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_TRUE(pump_until([&] { return (flags_of(b.header) & WHDR_DONE) != 0; }));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_TRUE(log_.messages.empty());
}

TEST(WaveSinks, ChosenByNameWithNoneMeaningNoDevice)
{
    EXPECT_FALSE(KVXPosixSetWaveSink("speaker"));
    EXPECT_FALSE(KVXPosixSetWaveSink(nullptr));
    for (const char *name : {"alsa", "null", "capture"}) {
        ASSERT_TRUE(KVXPosixSetWaveSink(name));
        EXPECT_STREQ(KVXPosixGetWaveSink(), name);
        EXPECT_EQ(waveOutGetNumDevs(), 1u) << name;
    }
    ASSERT_TRUE(KVXPosixSetWaveSink("none"));
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    HWAVEOUT device = nullptr;
    WAVEFORMATEX format = pcm_format(8000);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(device, nullptr);
    KVXPosixSetWaveSink("capture");
}

TEST(WaveSinks, NullSinkKeepsRealTimeAndResetStopsIt)
{
    ASSERT_TRUE(KVXPosixSetWaveSink("null"));
    WindowLog log;
    HWND window = KVXPosixCreateWindow(kvxtest::log_proc, &log);
    HWAVEOUT device = nullptr;
    WAVEFORMATEX format = pcm_format(8000); // 16000 bytes a second
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW),
              MMSYSERR_NOERROR);
    auto buffers = make_buffers({3200, 32000}); // 200 ms, then 2 s
    const auto start = std::chrono::steady_clock::now();
    for (auto &b : buffers) {
        waveOutPrepareHeader(device, &b->header, sizeof(WAVEHDR));
        waveOutWrite(device, &b->header, sizeof(WAVEHDR));
    }
    ASSERT_TRUE(pump_until([&] { return log.count(MM_WOM_DONE) == 1; }));
    const auto first = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(first.count(), 195);
    EXPECT_LT(first.count(), 1000);
    EXPECT_GE(position(device), 3200u);
    Sleep(60);
    const DWORD later = position(device);
    EXPECT_GT(later, 3200u + 320u);
    EXPECT_LT(later, 3200u + 32000u);

    const auto reset = std::chrono::steady_clock::now();
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return log.count(MM_WOM_DONE) == 2; }));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - reset).count(),
              500);
    EXPECT_EQ(position(device), 0u);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    KVXPosixDestroyWindow(window);
    KVXPosixSetWaveSink("capture");
}

TEST(WaveSinks, AlsaPlaysOrFallsBackToNull)
{
    ASSERT_TRUE(KVXPosixSetWaveSink("alsa"));
    HWAVEOUT device = nullptr;
    WAVEFORMATEX format = pcm_format(8000);
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Buffer silence(320, 0); // 20 ms
    std::fill(silence.data.begin(), silence.data.end(), 0);
    ASSERT_EQ(waveOutPrepareHeader(device, &silence.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &silence.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_TRUE(pump_until([&] { return (flags_of(silence.header) & WHDR_DONE) != 0; }));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    KVXPosixSetWaveSink("capture");
}

} // namespace
