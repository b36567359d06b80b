/*
 * kvx decode and kvx play.
 *
 * decode: the frames come one at a time from KVXDecodeToPCM (no device) and
 * go to a WAV file (written here) or a FLAC file (through libsndfile).
 * SP is 11025 Hz (12000 Hz with --native-rate), LP 8000 Hz; a file with
 * both codecs becomes one output at the SP rate, the LP parts resampled.
 *
 * play: a decoding session through the wave-output device, driven by the
 * messages to a window of the tool's own.
 */
#include "audio.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>

#include "kvx_posix.h"
#endif
#ifdef KVX_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "kvx.h"

#ifdef _WIN32
LRESULT CALLBACK play_window_proc(HWND, UINT, WPARAM, LPARAM);
#else
LRESULT play_window_proc(HWND, UINT, WPARAM, LPARAM);
#endif

namespace {

uint32_t g_control = 0;

#ifdef _WIN32

HWND make_window()
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = play_window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "kvxtool";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "kvxtool", "kvx", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}
BOOL pump_one(MSG *msg) { return PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE); }
void dispatch(const MSG *msg) { DispatchMessageA(msg); }
void pause_ms(unsigned ms) { Sleep(ms); }
#else
HWND make_window() { return KVXPosixCreateWindow(play_window_proc, nullptr); }
BOOL pump_one(MSG *msg) { return KVXPosixPeekMessage(msg, nullptr, 0, 0, PM_REMOVE); }
void dispatch(const MSG *msg) { KVXPosixDispatchMessage(msg); }
void pause_ms(unsigned ms) { usleep(ms * 1000); }
#endif

std::string clock_text(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

/* Resamples by band-limited interpolation (a Hann-windowed sinc of 16
 * taps), enough for speech going from 8000 Hz up to the SP rate. */
void resample(const std::vector<int16_t> &in, uint32_t from, uint32_t to, std::vector<int16_t> *out)
{
    if (in.empty()) return;
    const double step = static_cast<double>(from) / to;
    const size_t n = static_cast<size_t>(in.size() / step);
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < n; ++i) {
        const double t = i * step;
        const long centre = static_cast<long>(t);
        double sum = 0;
        for (long k = centre - 7; k <= centre + 8; ++k) {
            if (k < 0 || k >= static_cast<long>(in.size())) continue;
            const double x = t - k;
            const double sinc = x == 0 ? 1.0 : std::sin(pi * x) / (pi * x);
            const double window = 0.5 + 0.5 * std::cos(pi * x / 8.5);
            sum += in[static_cast<size_t>(k)] * sinc * window;
        }
        out->push_back(static_cast<int16_t>(sum > 32767 ? 32767 : sum < -32768 ? -32768 : std::lround(sum)));
    }
}

bool ends_with(const std::string &text, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i]) return false;
    return true;
}

/* Sets up the decoding service with a window of the tool's own and makes
 * the file the active file. */
uint32_t open_for_decoding(const std::string &path, uint32_t *length, uint16_t *codecs)
{
    const uint32_t result = KVXInitDecoder(make_window(), &g_control);
    return result == KVX_OK ? KVXActiveFile(path.c_str(), length, codecs) : result;
}

std::atomic<bool> g_interrupted{false};
uint32_t g_buffers_played = 0;
bool g_play_finished = false;

#ifdef _WIN32
BOOL WINAPI on_console(DWORD)
{
    g_interrupted = true;
    return TRUE;
}
#else
void on_signal(int)
{
    g_interrupted = true;
}
#endif

} // namespace

void WavWriter::header(uint32_t rate)
{
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) std::fputc(static_cast<int>(v >> (8 * i) & 0xFF), file); };
    auto u16 = [&](uint32_t v) { for (int i = 0; i < 2; ++i) std::fputc(static_cast<int>(v >> (8 * i) & 0xFF), file); };
    std::fwrite("RIFF", 1, 4, file);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, file);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    std::fwrite("data", 1, 4, file);
    u32(bytes);
}

bool WavWriter::open(const char *path, uint32_t rate)
{
    file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    header(rate);
    return true;
}

bool WavWriter::write(const int16_t *samples, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(samples[i]);
        std::fputc(v & 0xFF, file);
        std::fputc(v >> 8, file);
    }
    bytes += static_cast<uint32_t>(count * 2);
    return !std::ferror(file);
}

bool WavWriter::close(uint32_t rate)
{
    std::rewind(file);
    header(rate);
    const bool ok = std::fclose(file) == 0;
    file = nullptr;
    return ok;
}

#ifdef _WIN32
LRESULT CALLBACK play_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
#else
LRESULT play_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
#endif
{
    auto *buffer = reinterpret_cast<WAVEHDR *>(lParam);
    if (message == KVX_MSG_BUFFER_REQUEST) {
        if (KVXDecoding(buffer, nullptr) == 0) g_play_finished = true;
        return 0;
    }
    if (message == KVX_MSG_BUFFER_DONE) {
        ++g_buffers_played;
        KVXDecBufReturn(buffer);
        return 0;
    }
#ifdef _WIN32
    return DefWindowProcA(window, message, wParam, lParam);
#else
    (void)window;
    (void)wParam;
    return 0;
#endif
}

int decode_file(const DecodeOptions &options)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result = open_for_decoding(options.input, &length, &codecs);
    if (result != KVX_OK) {
        std::fprintf(stderr, "kvx: %s: cannot be decoded (result %u)\n", options.input.c_str(), result);
        return 1;
    }
    const uint32_t sp_rate = options.nativeRate ? 12000 : 11025;
    const uint32_t rate = (codecs & KVX_CODEC_SP) ? sp_rate : 8000;
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (options.nativeRate) g_control |= KVX_CW_SP_288;
    result = KVXStartDecoding(options.startMs);
    if (result != KVX_OK) {
        std::fprintf(stderr, "kvx: %s: cannot be decoded (result %u)\n", options.input.c_str(), result);
        return 1;
    }

    const bool flac = ends_with(options.output, ".flac");
    WavWriter wav;
#ifdef KVX_HAVE_SNDFILE
    SNDFILE *sf = nullptr;
    if (flac) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = 1;
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        sf = sf_open(options.output.c_str(), SFM_WRITE, &info);
        if (sf == nullptr) {
            std::fprintf(stderr, "kvx: %s: %s\n", options.output.c_str(), sf_strerror(nullptr));
            return 1;
        }
    }
#else
    if (flac) {
        std::fprintf(stderr, "kvx: FLAC output needs libsndfile; this build writes WAV only\n");
        return 2;
    }
#endif
    if (!flac && !wav.open(options.output.c_str(), rate)) {
        std::fprintf(stderr, "kvx: %s: cannot be created\n", options.output.c_str());
        return 1;
    }
    auto write = [&](const int16_t *samples, size_t count) {
#ifdef KVX_HAVE_SNDFILE
        if (flac) return sf_write_short(sf, samples, static_cast<sf_count_t>(count)) == static_cast<sf_count_t>(count);
#endif
        return wav.write(samples, count);
    };

    const bool bar = isatty(fileno(stderr)) != 0;
    const uint32_t end = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    double position = options.startMs;
    int shown = -1;
    bool ok = true;
    std::vector<int16_t> converted;
    for (;;) {
        int16_t *pcm = nullptr;
        uint32_t codec = 0;
        if (KVXDecodeToPCM(&pcm, &codec) == 0) break;
        if (pcm == nullptr) continue; /* a change of codec */
        const size_t samples = codec ? 240 : (options.nativeRate ? 288 : 264);
        if (codec && rate != 8000) {
            converted.clear();
            resample(std::vector<int16_t>(pcm, pcm + samples), 8000, rate, &converted);
            ok = write(converted.data(), converted.size());
        } else {
            ok = write(pcm, samples);
        }
        if (!ok) break;
        position += codec ? 30 : 24;
        if (bar && end > 0) {
            const int percent = static_cast<int>(100.0 * position / end > 100 ? 100 : 100.0 * position / end);
            if (percent != shown) {
                std::fprintf(stderr, "\r[%-40.*s] %3d%%", percent * 40 / 100, "########################################",
                             percent);
                shown = percent;
            }
        }
        if (options.endMs != 0 && position >= options.endMs) break;
    }
    if (bar) std::fputc('\n', stderr);
    bool closed;
#ifdef KVX_HAVE_SNDFILE
    closed = flac ? sf_close(sf) == 0 : wav.close(rate);
#else
    closed = wav.close(rate);
#endif
    if (!ok || !closed) {
        std::fprintf(stderr, "kvx: %s: write failed\n", options.output.c_str());
        return 1;
    }
    return 0;
}

int play_file(const PlayOptions &options)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result = open_for_decoding(options.input, &length, &codecs);
    g_control = KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (options.speed > 0) g_control |= static_cast<uint32_t>(options.speed) << KVX_CW_SPEED_STEP_SHIFT;
    if (options.speed < 0) g_control |= KVX_CW_SPEED_SLOWER | static_cast<uint32_t>(-options.speed) << KVX_CW_SPEED_STEP_SHIFT;
    if (result == KVX_OK) result = KVXStartDecoding(options.startMs);
    if (result != KVX_OK) {
        std::fprintf(stderr, "kvx: %s: cannot be played (result %u)\n", options.input.c_str(), result);
        return 1;
    }
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console, TRUE);
#else
    std::signal(SIGINT, on_signal);
#endif
    const double factors[9] = {0.5, 0.66, 0.75, 0.8, 1, 1.25, 1.33, 1.5, 2};
    const double factor = factors[options.speed + 4];
    const double frame_ms = (codecs & KVX_CODEC_SP) ? 24 : 30;
    const bool show = isatty(fileno(stderr)) != 0;
    unsigned ticks = 0;
    while (!g_play_finished && !g_interrupted) {
        MSG msg;
        if (pump_one(&msg)) {
            dispatch(&msg);
            continue;
        }
        pause_ms(5);
        if (show && ++ticks % 20 == 0)
            std::fprintf(stderr, "\r%s / %s", clock_text(options.startMs + static_cast<uint32_t>(g_buffers_played * 5 * frame_ms * factor)).c_str(),
                         clock_text(length).c_str());
    }
    uint32_t stop = 0;
    KVXEndDecoding(&stop);
    if (show) std::fputc('\n', stderr);
    std::printf("%s at %s (%u ms)\n", g_interrupted ? "stopped" : "played to the end", clock_text(stop).c_str(), stop);
    return 0;
}
