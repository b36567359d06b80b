/*
 * kvx play: a decoding session through the wave-output device, driven by
 * the messages to a window of the tool's own; and the set-up that decode
 * shares.
 */
#include "audio.h"

#include <atomic>
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

#include <CLI/CLI.hpp>

#include "common.h"
#include "kvx.h"

#ifdef _WIN32
LRESULT CALLBACK play_window_proc(HWND, UINT, WPARAM, LPARAM);
#else
LRESULT play_window_proc(HWND, UINT, WPARAM, LPARAM);
#endif

uint32_t g_control = 0;

namespace {

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

/* Sets up the decoding service with a window of the tool's own and makes
 * the file the active file, its folder the active folder (as every command
 * does, so that a file meets the same results everywhere). */
uint32_t open_for_decoding(const std::string &path, uint32_t *length, uint16_t *codecs)
{
    const uint32_t result = KVXInitDecoder(make_window(), &g_control);
    return result == KVX_OK ? activate(path, length, codecs) : result;
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

/* A start at or past the end would give no audio, or a frame or two of
 * the end's; said rather than done. */
bool start_fits(const std::string &path, uint32_t start, uint32_t length)
{
    if (start == 0 || start < length) return true;
    std::fprintf(stderr, "kvx: %s: --start %s lies at or past its end (%s)\n", path.c_str(), format_time(start).c_str(),
                 format_time(length).c_str());
    return false;
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
    add_decode_command(tool);

    auto play = std::make_shared<PlayOptions>();
    CLI::App *command = add_command(tool, "play", "play through the sound device", [play]() { return play_file(*play); });
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
