/*
 * kvx decode and kvx play.
 *
 * decode: the frames come one at a time from KVXDecodeToPCM (no device) and
 * go to a WAV file or standard output (written here, 16-bit or float, with
 * a header or without) or a FLAC file (through libsndfile).  SP is 11000
 * Hz (the 12:11 stage; 12000 Hz with --native-rate), LP 8000 Hz; another
 * rate, or a file with both codecs, goes through libsoxr (resample.h).
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
#include <fcntl.h>
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
#ifdef KVX_HAVE_SOXR
#include "resample.h"
#endif

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

void WavWriter::header(uint32_t rate, bool final)
{
    /* 0xFFFFFFFF in the size fields: the length is not known (yet). */
    const uint32_t unknown = 0xFFFFFFFFu;
    const uint32_t extra = isFloat ? 2 + 12 : 0; /* a float format's cbSize and fact chunk */
    const uint64_t riff = 36 + extra + bytes;
    const unsigned width = isFloat ? 4 : 2;
    const uint32_t sizes[3] = {!final || riff > unknown ? unknown : static_cast<uint32_t>(riff),
                               !final || bytes > unknown ? unknown : static_cast<uint32_t>(bytes / width),
                               !final || bytes > unknown ? unknown : static_cast<uint32_t>(bytes)};
    unsigned char h[58];
    size_t n = 0;
    auto text = [&](const char *t) { for (int i = 0; i < 4; ++i) h[n++] = static_cast<unsigned char>(t[i]); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) h[n++] = static_cast<unsigned char>(v >> (8 * i)); };
    auto u16 = [&](uint32_t v) { for (int i = 0; i < 2; ++i) h[n++] = static_cast<unsigned char>(v >> (8 * i)); };
    text("RIFF");
    u32(sizes[0]);
    text("WAVE");
    text("fmt ");
    u32(isFloat ? 18 : 16);
    u16(isFloat ? 3 : 1); /* IEEE float or PCM */
    u16(1);
    u32(rate);
    u32(rate * width);
    u16(width);
    u16(width * 8);
    if (isFloat) {
        u16(0);
        text("fact");
        u32(4);
        u32(sizes[1]);
    }
    text("data");
    u32(sizes[2]);
    std::fwrite(h, 1, n, file);
}

bool WavWriter::open(const char *path, uint32_t rate)
{
    owned = std::strcmp(path, "-") != 0;
    if (owned) {
        file = std::fopen(path, "wb");
        if (file == nullptr) return false;
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        file = stdout;
    }
    origin = std::ftell(file); /* -1 on a pipe */
    if (!headerless) header(rate, false);
    return !std::ferror(file);
}

bool WavWriter::write(const int16_t *samples, size_t count)
{
    staged.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(samples[i]);
        staged[2 * i] = static_cast<unsigned char>(v & 0xFF);
        staged[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    bytes += count * 2;
    return std::fwrite(staged.data(), 1, staged.size(), file) == staged.size();
}

void to_s16(const float *in, size_t count, int16_t *out)
{
    for (size_t i = 0; i < count; ++i) {
        const float v = in[i] * 32768.0f;
        out[i] = static_cast<int16_t>(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : std::lrint(v));
    }
}

bool WavWriter::write(const float *samples, size_t count)
{
    if (!isFloat) {
        std::vector<int16_t> pcm(count);
        to_s16(samples, count, pcm.data());
        return write(pcm.data(), count);
    }
    staged.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, &samples[i], 4);
        for (int k = 0; k < 4; ++k) staged[4 * i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    bytes += count * 4;
    return std::fwrite(staged.data(), 1, staged.size(), file) == staged.size();
}

bool WavWriter::close(uint32_t rate)
{
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    /* A pipe cannot go back: its header keeps the unknown sizes. */
    if (ok && !headerless && origin >= 0 && std::fseek(file, origin, SEEK_SET) == 0) {
        header(rate, true);
        ok = std::fflush(file) == 0 && !std::ferror(file);
    }
    if (owned) ok = std::fclose(file) == 0 && ok;
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

namespace {

/* The decoder's 12:11 stage gives 264 samples of each 24 ms SP frame. */
constexpr uint32_t kStageRate = 11000;
constexpr uint32_t kSpRate = 12000;
constexpr uint32_t kLpRate = 8000;

/* Where decode's samples go: a WavWriter (WAV or raw, file or standard
 * output) or, for FLAC, libsndfile. */
struct Sink {
    WavWriter wav;
#ifdef KVX_HAVE_SNDFILE
    SNDFILE *flac = nullptr;
    std::vector<int16_t> pcm;
#endif

    bool open(const DecodeOptions &options, AudioFormat format, uint32_t rate)
    {
#ifdef KVX_HAVE_SNDFILE
        if (format == AudioFormat::Flac) {
            SF_INFO info{};
            info.samplerate = static_cast<int>(rate);
            info.channels = 1;
            info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
            flac = sf_open(options.output.c_str(), SFM_WRITE, &info);
            if (flac == nullptr)
                std::fprintf(stderr, "kvx: %s: %s\n", options.output.c_str(), sf_strerror(nullptr));
            return flac != nullptr;
        }
#endif
        wav.isFloat = options.f32;
        wav.headerless = format == AudioFormat::Raw;
        if (wav.open(options.output.c_str(), rate)) return true;
        std::fprintf(stderr, "kvx: %s: cannot be created\n", options.output.c_str());
        return false;
    }
    bool write(const std::vector<float> &samples)
    {
        if (samples.empty()) return true;
#ifdef KVX_HAVE_SNDFILE
        if (flac != nullptr) {
            pcm.resize(samples.size());
            to_s16(samples.data(), samples.size(), pcm.data());
            return sf_write_short(flac, pcm.data(), static_cast<sf_count_t>(pcm.size())) ==
                   static_cast<sf_count_t>(pcm.size());
        }
#endif
        return wav.write(samples.data(), samples.size());
    }
    bool close(uint32_t rate)
    {
#ifdef KVX_HAVE_SNDFILE
        if (flac != nullptr) return sf_close(flac) == 0;
#endif
        return wav.close(rate);
    }
};

/* The format that decode's output name (and --raw) asks for. */
AudioFormat decode_format(const DecodeOptions &options)
{
    AudioFormat format = AudioFormat::Raw;
    if (options.output == "-") return options.raw ? AudioFormat::Raw : AudioFormat::Wav;
    if (output_format(options.output, &format).empty()) return format;
    return AudioFormat::Raw; /* .raw or .pcm, as the command line checked */
}

} // namespace

int decode_file(const DecodeOptions &options)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t result = open_for_decoding(options.input, &length, &codecs);
    if (result != KVX_OK) return fail(options.input, result);
    if (!start_fits(options.input, options.startMs, length)) return kExitFailure;
    const bool has_sp = (codecs & KVX_CODEC_SP) != 0;
    const uint32_t rate = options.rate != 0 ? options.rate : !has_sp ? kLpRate : options.nativeRate ? kSpRate : kStageRate;
    /* SP comes through the 12:11 stage only when its rate is the output
     * rate; any other rate is converted from the codec's own. */
    const uint32_t sp_rate = rate == kStageRate ? kStageRate : kSpRate;
#ifndef KVX_HAVE_SOXR
    if (has_sp && (codecs & KVX_CODEC_LP) != 0) {
        std::fprintf(stderr, "kvx: %s: holds both SP and LP audio, which this build cannot make one stream of "
                             "(it has no libsoxr)\n", options.input.c_str());
        return kExitFailure;
    }
#endif
    g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION;
    if (options.postfilter) g_control |= KVX_CW_POSTFILTER;
    if (sp_rate == kSpRate) g_control |= KVX_CW_SP_288;
    result = KVXStartDecoding(options.startMs);
    if (result != KVX_OK) return fail(options.input, result);

    Sink sink;
    if (!sink.open(options, decode_format(options), rate)) return kExitFailure;

    const bool bar = isatty(fileno(stderr)) != 0;
    const uint32_t end = options.endMs != 0 && options.endMs < length ? options.endMs : length;
    double position = options.startMs;
    int shown = -1;
    bool ok = true;
    std::vector<float> out;
#ifdef KVX_HAVE_SOXR
    Resampler resampler;
#endif
    uint32_t run_rate = 0; /* the input rate of the frames so far */
    for (;;) {
        int16_t *pcm = nullptr;
        uint32_t codec = 0;
        if (KVXDecodeToPCM(&pcm, &codec) == 0) break;
        if (pcm == nullptr) continue; /* a change of codec */
        const uint32_t from = codec ? kLpRate : sp_rate;
        const size_t samples = codec ? 240 : sp_rate == kSpRate ? 288 : 264;
        out.clear();
        if (from != run_rate) {
#ifdef KVX_HAVE_SOXR
            ok = resampler.finish(&out);
            if (ok && from != rate) {
                const std::string error = resampler.start(from, rate);
                if (!error.empty()) {
                    std::fprintf(stderr, "kvx: %u Hz to %u Hz: %s\n", from, rate, error.c_str());
                    ok = false;
                }
            }
#else
            ok = from == rate; /* a file of one codec: checked above */
#endif
            run_rate = from;
            if (!ok) break;
        }
        if (from == rate) {
            for (size_t i = 0; i < samples; ++i) out.push_back(pcm[i] * (1.0f / 32768.0f));
        }
#ifdef KVX_HAVE_SOXR
        else if (!resampler.process(pcm, samples, &out)) {
            ok = false;
            break;
        }
#endif
        ok = sink.write(out);
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
#ifdef KVX_HAVE_SOXR
    if (ok) {
        out.clear();
        ok = resampler.finish(&out) && sink.write(out);
    }
#endif
    if (bar) std::fputc('\n', stderr);
    const bool closed = sink.close(rate);
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
    CLI::App *command = add_command(tool, "decode", "decode to a WAV or FLAC file, or standard output", [decode, self]() {
        if (decode->haveEnd && decode->startMs >= decode->endMs)
            return usage_error(*self, "--start (" + format_time(decode->startMs) + ") must lie before --end (" +
                                          format_time(decode->endMs) + ")");
        if (decode->raw && decode->output != "-")
            return usage_error(*self, "--raw is for -o - (standard output); a file named .raw or .pcm is raw anyway");
        if (decode->f32 && decode_format(*decode) == AudioFormat::Flac)
            return usage_error(*self, "--format f32: FLAC holds 16-bit samples here; write .wav or .raw");
        return decode_file(*decode);
    });
    *self = command;
    /* Besides what output_format() takes: "-" for standard output and the
     * names of headerless samples. */
    const CLI::Validator audio_name(
        [](std::string &path) -> std::string {
            if (path == "-") return "";
            AudioFormat format;
            std::string refused = output_format(path, &format);
            if (refused.empty()) return "";
            std::string extension = path.size() > 4 ? path.substr(path.size() - 4) : "";
            for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (extension == ".raw" || extension == ".pcm") return "";
            return refused + " (.raw or .pcm: the samples alone; -: standard output)";
        },
        "");
    command->add_option("FILE", decode->input, "the recording")->required();
    command->add_option("-o,--output", decode->output, "the output file (- for standard output): its extension tells the format")
        ->required()
        ->check(audio_name)
        ->type_name("OUT");
    add_time(command, "--start", &decode->startMs, "decode from here (the block that holds it)");
    add_time(command, "--end", &decode->endMs, "decode up to here")->each([decode](const std::string &) {
        decode->haveEnd = true;
    });
    command->add_flag("--postfilter", decode->postfilter, "run the decoder's postfilter");
    CLI::Option *native = command->add_flag("--native-rate", decode->nativeRate, "SP at 12000 Hz, the codec's own rate");
#ifdef KVX_HAVE_SOXR
    command->add_option("--rate", decode->rate, "the output rate in Hz, converted by libsoxr (16000 for speech recognisers)")
        ->check(CLI::Range(8000u, 48000u))
        ->excludes(native)
        ->type_name("N");
#else
    (void)native;
#endif
    command->add_flag("--raw", decode->raw, "with -o -: the samples alone, without a WAV header");
    command->add_option_function<std::string>(
               "--format", [decode](const std::string &samples) { decode->f32 = samples == "f32"; },
               "s16 (16-bit, the default) or f32 (32-bit float); FLAC holds s16")
        ->check(CLI::IsMember({"s16", "f32"}))
        ->type_name("SAMPLES");
    command->footer(
        "SP is written at 11000 Hz: the decoder's 12:11 stage makes 264 samples of each 24 ms\n"
        "frame, exactly 11000 a second, so that the output lasts what the header says, with the\n"
        "samples that playing and the feed give.  --native-rate writes the codec's own 12000 Hz\n"
        "(288 samples a frame).  LP is written at 8000 Hz.  A file with both codecs becomes one\n"
        "stream at the SP rate, its LP parts converted by libsoxr.\n"
#ifdef KVX_HAVE_SOXR
        "--rate N (8000..48000) converts once, from the codec's own rate (SP 12000 Hz, LP 8000\n"
        "Hz), through libsoxr; --rate 16000 is the rate speech recognisers take.\n"
#else
        "This build has no libsoxr: it has no --rate, and refuses a file with both codecs.\n"
#endif
        "-o - writes a WAV stream to standard output (its sizes say \"unknown\" where the output\n"
        "cannot seek), --raw the samples alone (little-endian); a name ending in .raw or .pcm\n"
        "gets the samples alone too.  Messages and progress go to standard error only.");

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
