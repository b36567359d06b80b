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
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <dlfcn.h>
#include <unistd.h>

#include "kvx_posix.h"
#endif
#ifdef KVX_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include <CLI/CLI.hpp>

#include "common.h"
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

/* Sets up the decoding service with a window of the tool's own and makes
 * the file the active file, its folder the active folder (as every command
 * does, so that a file meets the same results everywhere). */
uint32_t open_for_decoding(const std::string &path, uint32_t *length, uint16_t *codecs)
{
    const uint32_t result = KVXInitDecoder(make_window(), &g_control);
    return result == KVX_OK ? activate(path, length, codecs) : result;
}

#ifndef _WIN32
/* ALSA reports failures on stderr unless told otherwise. */
void alsa_quiet(const char *, int, const char *, int, const char *, ...) {}

/* Whether the sound device that the "alsa" sink plays to opens, asked as
 * the platform layer asks: the layer plays to the silent sink when it does
 * not, without a word. */
bool sound_device_opens()
{
    void *library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    typedef void (*ErrorHandler)(const char *, int, const char *, int, const char *, ...);
    auto set_handler = reinterpret_cast<int (*)(ErrorHandler)>(dlsym(library, "snd_lib_error_set_handler"));
    auto open = reinterpret_cast<int (*)(void **, const char *, int, int)>(dlsym(library, "snd_pcm_open"));
    auto close = reinterpret_cast<int (*)(void *)>(dlsym(library, "snd_pcm_close"));
    /* The configuration that an open reads stays cached until freed. */
    auto free_config = reinterpret_cast<int (*)()>(dlsym(library, "snd_config_update_free_global"));
    bool opens = false;
    if (open != nullptr && close != nullptr) {
        if (set_handler != nullptr) set_handler(alsa_quiet);
        const char *device = std::getenv("KVX_ALSA_DEVICE");
        if (device == nullptr || device[0] == '\0') device = "default";
        void *pcm = nullptr;
        opens = open(&pcm, device, 0 /* playback */, 1 /* without blocking */) >= 0 && pcm != nullptr;
        if (opens) close(pcm);
        if (free_config != nullptr) free_config();
    }
    dlclose(library);
    return opens;
}
#endif

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

std::string output_format(const std::string &path, AudioFormat *format)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    std::string extension = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? ""
                                                                                                     : path.substr(dot);
    for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".wav") {
        *format = AudioFormat::Wav;
        return "";
    }
#ifdef KVX_HAVE_SNDFILE
    const char *known = ".wav or .flac";
    if (extension == ".flac") {
        *format = AudioFormat::Flac;
        return "";
    }
#else
    const char *known = ".wav (this build writes no FLAC: it has no libsndfile)";
#endif
    return "'" + path + "': " + (extension.empty() ? "no extension" : "unknown output format " + extension) +
           "; the name must end in " + known;
}

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

namespace {

/* A start at or past the end would give no audio, or a frame or two of
 * the end's; said rather than done. */
bool start_fits(const std::string &path, uint32_t start, uint32_t length)
{
    if (start == 0 || start < length) return true;
    std::fprintf(stderr, "kvx: %s: --start %s lies at or past its end (%s)\n", path.c_str(), format_time(start).c_str(),
                 format_time(length).c_str());
    return false;
}

} // namespace

int decode_file(const DecodeOptions &options)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result = open_for_decoding(options.input, &length, &codecs);
    if (result != KVX_OK) return fail(options.input, result);
    if (!start_fits(options.input, options.startMs, length)) return kExitFailure;
    const uint32_t sp_rate = options.nativeRate ? 12000 : 11025;
    const uint32_t rate = (codecs & KVX_CODEC_SP) ? sp_rate : 8000;
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (options.nativeRate) g_control |= KVX_CW_SP_288;
    result = KVXStartDecoding(options.startMs);
    if (result != KVX_OK) return fail(options.input, result);

    AudioFormat format = AudioFormat::Wav;
    const std::string refused = output_format(options.output, &format);
    if (!refused.empty()) { /* checked with the command line already */
        std::fprintf(stderr, "kvx: %s\n", refused.c_str());
        return kExitUsage;
    }
    const bool flac = format == AudioFormat::Flac;
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
    if (result != KVX_OK) return fail(options.input, result);
    if (!start_fits(options.input, options.startMs, length)) return kExitFailure;
    g_control = KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (options.speed > 0) g_control |= static_cast<uint32_t>(options.speed) << KVX_CW_SPEED_STEP_SHIFT;
    if (options.speed < 0) g_control |= KVX_CW_SPEED_SLOWER | static_cast<uint32_t>(-options.speed) << KVX_CW_SPEED_STEP_SHIFT;
#ifndef _WIN32
    if (std::strcmp(KVXPosixGetWaveSink(), "alsa") == 0 && !sound_device_opens()) {
        const char *device = std::getenv("KVX_ALSA_DEVICE");
        std::fprintf(stderr,
                     "kvx: no sound device opens (ALSA device '%s'): playing to the silent sink instead, in real "
                     "time\n",
                     device != nullptr && device[0] != '\0' ? device : "default");
        KVXPosixSetWaveSink("null");
    }
#endif
    result = KVXStartDecoding(options.startMs);
    if (result != KVX_OK) return fail(options.input, result);
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
            std::fprintf(stderr, "\r%s / %s", format_time(options.startMs + static_cast<uint32_t>(g_buffers_played * 5 * frame_ms * factor)).c_str(),
                         format_time(length).c_str());
    }
    uint32_t stop = 0;
    KVXEndDecoding(&stop);
    if (show) std::fputc('\n', stderr);
    std::printf("%s at %s (%u ms)\n", g_interrupted ? "stopped" : "played to the end", format_time(stop).c_str(), stop);
    return 0;
}

void add_audio_commands(CLI::App &tool)
{
    auto self = std::make_shared<CLI::App *>(nullptr);
    auto decode = std::make_shared<DecodeOptions>();
    CLI::App *command = add_command(tool, "decode", "decode to a WAV or FLAC file", [decode, self]() {
        if (decode->haveEnd && decode->startMs >= decode->endMs)
            return usage_error(*self, "--start (" + format_time(decode->startMs) + ") must lie before --end (" +
                                          format_time(decode->endMs) + ")");
        return decode_file(*decode);
    });
    *self = command;
    const CLI::Validator audio_name(
        [](std::string &path) {
            AudioFormat format;
            return output_format(path, &format);
        },
        "");
    command->add_option("FILE", decode->input, "the recording")->required();
    command->add_option("-o,--output", decode->output, "the output file: its extension tells the format")
        ->required()
        ->check(audio_name)
        ->type_name("OUT");
    add_time(command, "--start", &decode->startMs, "decode from here (the block that holds it)");
    add_time(command, "--end", &decode->endMs, "decode up to here")->each([decode](const std::string &) {
        decode->haveEnd = true;
    });
    command->add_flag("--postfilter", decode->postfilter, "run the decoder's postfilter");
    command->add_flag("--native-rate", decode->nativeRate, "SP at 12000 Hz, the codec's own rate");
    command->footer("SP is written at 11025 Hz (12000 Hz with --native-rate), LP at 8000 Hz; a file with\n"
                    "both codecs gives one output at the SP rate, the LP parts resampled to it.");

    auto play = std::make_shared<PlayOptions>();
    command = add_command(tool, "play", "play through the sound device", [play]() { return play_file(*play); });
    command->add_option("FILE", play->input, "the recording")->required();
    add_time(command, "--start", &play->startMs, "play from here");
    command->add_option("--speed", play->speed, "slower (-4..-1) or faster (1..4); 0 is normal")
        ->check(CLI::Range(-4, 4));
    command->add_flag("--postfilter", play->postfilter, "run the decoder's postfilter");
#ifdef _WIN32
    command->footer("Ctrl-C stops and prints the stop position.");
#else
    command->footer("Ctrl-C stops and prints the stop position.  Without a sound device that opens, the sound\n"
                    "goes to the silent sink in real time, and a line on stderr says so.  KVX_WAVE_SINK\n"
                    "chooses another sink (null, capture), KVX_ALSA_DEVICE another ALSA device.");
#endif
}
