/*
 * kvx record: speech from the sound card coded as SP frames into a new KVX
 * recording while it is spoken.
 *
 * The capture comes from ALSA, loaded at run time as the play command's
 * device probe loads it (the tool runs without it), from the device that
 * KVX_ALSA_DEVICE names or "default": 16-bit mono at 12000 Hz where the
 * device takes that rate, else at the rate it offers nearest to it,
 * converted by libsoxr.  With KVX_RECORD_SOURCE=FILE.wav the capture is read
 * from that file instead, at the pace it would be spoken, so that a machine
 * without a sound card records too.
 *
 * Every 288 samples become one frame, written at once through the write
 * session; none is marked the segment's last, as a recording learns that it
 * has ended only after its last frame: closing the session ends the segment
 * as that mark would.  SIGINT (Ctrl-C) ends the capture: what was captured
 * is coded, the last frame filled up with silence, and the file committed.
 * A failure discards the session and says why.
 */
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"
#include "encode.h"
#include "encode_sp/sp_encoder.h"
#include "kvx.h"
#include "resample.h"

namespace {

constexpr uint32_t kRate = 12000;
/* What one read asks for: 100 ms, short enough for the meter to follow. */
constexpr size_t kChunk = kRate / 10;

volatile sig_atomic_t g_stop = 0;
void on_interrupt(int) { g_stop = 1; }

int16_t to_pcm(float x) { return static_cast<int16_t>(std::lrint(std::fmax(-1.0f, std::fmin(1.0f, x)) * 32767.0f)); }

/* Where the 12 kHz samples come from. */
class Capture {
public:
    virtual ~Capture() = default;
    /* Appends the samples captured since the last call to *out; false at
     * the end of the capture, with *why set when it failed. */
    virtual bool read(std::vector<int16_t> *out, std::string *why) = 0;
};

/* A WAV file spoken at real-time pace. */
class FileCapture : public Capture {
public:
    std::string open(const std::string &path)
    {
        const std::string problem = read_speech(path, &speech_);
        start_ = std::chrono::steady_clock::now();
        return problem;
    }
    bool read(std::vector<int16_t> *out, std::string *) override
    {
        if (at_ >= speech_.size()) return false;
        const size_t n = std::min(kChunk, speech_.size() - at_);
        /* Each chunk is handed out once the time it takes to speak has
         * passed since the start; a signal cuts the wait short. */
        const auto due = start_ + std::chrono::microseconds((at_ + n) * 1000000 / kRate);
        const auto wait = due - std::chrono::steady_clock::now();
        if (wait.count() > 0) {
            const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timespec pause{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            if (nanosleep(&pause, nullptr) != 0 && g_stop) return false;
        }
        out->insert(out->end(), speech_.begin() + static_cast<std::ptrdiff_t>(at_),
                    speech_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return true;
    }

private:
    std::vector<int16_t> speech_;
    size_t at_ = 0;
    std::chrono::steady_clock::time_point start_;
};

/* ALSA's calls that a capture needs, looked up in libasound.so.2. */
struct Alsa {
    void *library = nullptr;
    int (*set_handler)(void (*)(const char *, int, const char *, int, const char *, ...)) = nullptr;
    int (*open)(void **, const char *, int, int) = nullptr;
    int (*close)(void *) = nullptr;
    int (*params_malloc)(void **) = nullptr;
    void (*params_free)(void *) = nullptr;
    int (*params_any)(void *, void *) = nullptr;
    int (*set_access)(void *, void *, int) = nullptr;
    int (*set_format)(void *, void *, int) = nullptr;
    int (*set_channels)(void *, void *, unsigned) = nullptr;
    int (*set_rate_near)(void *, void *, unsigned *, int *) = nullptr;
    int (*params_apply)(void *, void *) = nullptr;
    long (*readi)(void *, void *, unsigned long) = nullptr;
    int (*recover)(void *, int, int) = nullptr;
    const char *(*strerror)(int) = nullptr;
    int (*free_config)() = nullptr;

    bool load()
    {
        library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return false;
        bool all = true;
        auto find = [&](auto &fn, const char *name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(library, name));
            all = all && fn != nullptr;
        };
        find(set_handler, "snd_lib_error_set_handler");
        find(open, "snd_pcm_open");
        find(close, "snd_pcm_close");
        find(params_malloc, "snd_pcm_hw_params_malloc");
        find(params_free, "snd_pcm_hw_params_free");
        find(params_any, "snd_pcm_hw_params_any");
        find(set_access, "snd_pcm_hw_params_set_access");
        find(set_format, "snd_pcm_hw_params_set_format");
        find(set_channels, "snd_pcm_hw_params_set_channels");
        find(set_rate_near, "snd_pcm_hw_params_set_rate_near");
        find(params_apply, "snd_pcm_hw_params");
        find(readi, "snd_pcm_readi");
        find(recover, "snd_pcm_recover");
        find(strerror, "snd_strerror");
        find(free_config, "snd_config_update_free_global");
        return all;
    }
};

/* ALSA reports failures on stderr unless told otherwise; the tool says
 * them itself. */
void alsa_quiet(const char *, int, const char *, int, const char *, ...) {}

class AlsaCapture : public Capture {
public:
    ~AlsaCapture() override
    {
        if (pcm_ != nullptr) alsa_.close(pcm_);
        if (alsa_.library != nullptr) {
            if (alsa_.free_config != nullptr) alsa_.free_config();
            dlclose(alsa_.library);
        }
    }
    /* Empty, or why no capture device opens. */
    std::string open(const char *device)
    {
        if (!alsa_.load()) return "ALSA (libasound.so.2) cannot be loaded";
        alsa_.set_handler(alsa_quiet);
        int err = alsa_.open(&pcm_, device, 1 /* capture */, 0);
        if (err < 0) {
            pcm_ = nullptr;
            return alsa_.strerror(err);
        }
        void *params = nullptr;
        if ((err = alsa_.params_malloc(&params)) < 0) return alsa_.strerror(err);
        unsigned rate = kRate;
        int dir = 0;
        if ((err = alsa_.params_any(pcm_, params)) >= 0 &&
            (err = alsa_.set_access(pcm_, params, 3 /* read/write, interleaved */)) >= 0 &&
            (err = alsa_.set_format(pcm_, params, 2 /* signed 16-bit little-endian */)) >= 0 &&
            (err = alsa_.set_channels(pcm_, params, 1)) >= 0 &&
            (err = alsa_.set_rate_near(pcm_, params, &rate, &dir)) >= 0)
            err = alsa_.params_apply(pcm_, params);
        alsa_.params_free(params);
        if (err < 0) return std::string("16-bit mono capture refused: ") + alsa_.strerror(err);
        rate_ = rate;
        if (rate_ != kRate) return resampler_.start(rate_, kRate);
        return "";
    }
    unsigned rate() const { return rate_; }
    bool read(std::vector<int16_t> *out, std::string *why) override
    {
        if (g_stop) return finish(out);
        const size_t want = std::max<size_t>(1, kChunk * rate_ / kRate);
        buffer_.resize(want);
        long got = alsa_.readi(pcm_, buffer_.data(), want);
        if (got == -EINTR || g_stop) return finish(out);
        if (got < 0) {
            /* An overrun (the coder fell behind) loses some samples but
             * not the recording. */
            const int err = alsa_.recover(pcm_, static_cast<int>(got), 1);
            if (err < 0) {
                *why = std::string("capture failed: ") + alsa_.strerror(err);
                return false;
            }
            return true;
        }
        const size_t n = static_cast<size_t>(got);
        if (rate_ == kRate) {
            out->insert(out->end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
            return true;
        }
        converted_.clear();
        if (!resampler_.process(buffer_.data(), n, &converted_)) {
            *why = "the rate conversion failed";
            return false;
        }
        for (float x : converted_) out->push_back(to_pcm(x));
        return true;
    }

private:
    /* The converter's last samples, at the end. */
    bool finish(std::vector<int16_t> *out)
    {
        if (resampler_.running()) {
            converted_.clear();
            if (resampler_.finish(&converted_))
                for (float x : converted_) out->push_back(to_pcm(x));
        }
        return false;
    }

    Alsa alsa_;
    void *pcm_ = nullptr;
    unsigned rate_ = kRate;
    Resampler resampler_;
    std::vector<int16_t> buffer_;
    std::vector<float> converted_;
};

/* "\r  0:00:03.216  [########------------]  -23 dB" on the terminal: the
 * time coded so far (the session's own length moves a block at a time) and
 * the level that the session measured on the last frame written. */
void draw_meter(uint32_t ms, float db)
{
    constexpr int kWidth = 30;
    /* -60 dB and below shows empty, 0 dB full. */
    const float level = std::fmax(-60.0f, std::fmin(0.0f, db));
    const int filled = static_cast<int>(std::lround((level + 60.0f) / 60.0f * kWidth));
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r  %s  [%s] %4.0f dB ", format_time(ms).c_str(), bar, static_cast<double>(level));
    std::fflush(stderr);
}

uint32_t frames_ms(size_t frames) { return static_cast<uint32_t>(frames * kvx::kSpFrameSamples * 1000 / kRate); }

struct RecordArgs {
    std::string output;
    bool flagMode = false;
};

int command_record(const RecordArgs &args)
{
    /* Ctrl-C ends the recording from the first moment on, also while the
     * capture and the session are still being set up.  Without SA_RESTART
     * a blocked read returns at it. */
    struct sigaction action{};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction before{};
    sigaction(SIGINT, &action, &before);
    struct Restore {
        struct sigaction *before;
        ~Restore() { sigaction(SIGINT, before, nullptr); }
    } restore{&before};

    std::unique_ptr<Capture> capture;
    const char *source = std::getenv("KVX_RECORD_SOURCE");
    if (source != nullptr && source[0] != '\0') {
        auto file = std::make_unique<FileCapture>();
        const std::string problem = file->open(source);
        if (!problem.empty()) {
            std::fprintf(stderr, "kvx: %s: %s\n", source, problem.c_str());
            return kExitFailure;
        }
        capture = std::move(file);
    } else {
        const char *device = std::getenv("KVX_ALSA_DEVICE");
        if (device == nullptr || device[0] == '\0') device = "default";
        auto alsa = std::make_unique<AlsaCapture>();
        const std::string problem = alsa->open(device);
        if (!problem.empty()) {
            std::fprintf(stderr, "kvx: no capture device opens (ALSA device '%s'): %s; nothing was recorded\n", device,
                         problem.c_str());
            return kExitFailure;
        }
        if (alsa->rate() != kRate)
            std::fprintf(stderr, "kvx: the device captures at %u Hz, converted to %u Hz\n", alsa->rate(), kRate);
        capture = std::move(alsa);
    }

    uint32_t result = 0;
    WriteHandle *h = KVXCreateFile(args.output.c_str(), 0, &result);
    if (h == nullptr) return fail(args.output, result);
    const bool meter = isatty(STDERR_FILENO) != 0;
    uint8_t mode = args.flagMode ? 1 : 0;
    result = KVXSetWritePointer(h, 0, &mode, 0, meter ? 1 : 0);

    if (meter) std::fputs("recording; Ctrl-C ends it\n", stderr);

    kvx::SpEncoderOptions options;
    options.speechFlagMode = args.flagMode;
    std::unique_ptr<kvx::SpEncoder, void (*)(kvx::SpEncoder *)> encoder(kvx::sp_encoder_create(options),
                                                                       kvx::sp_encoder_destroy);
    std::vector<int16_t> samples;
    uint8_t frame[kvx::kSpFullBytes];
    size_t frames = 0;
    WriteStatus status{};
    std::string why;
    auto code = [&](const int16_t *in) {
        kvx::sp_encode_frame(encoder.get(), in, frame);
        result = KVXWriteFile(h, frame, 0, &status);
        if (result == KVX_OK) ++frames;
    };
    bool more = true;
    while (result == KVX_OK && more) {
        more = capture->read(&samples, &why);
        size_t at = 0;
        for (; result == KVX_OK && samples.size() - at >= kvx::kSpFrameSamples; at += kvx::kSpFrameSamples)
            code(samples.data() + at);
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at));
        if (meter && frames != 0) draw_meter(frames_ms(frames), status.level);
    }
    if (result == KVX_OK && why.empty() && !samples.empty()) {
        samples.resize(kvx::kSpFrameSamples, 0);
        code(samples.data());
    }
    if (meter) std::fputc('\n', stderr);

    /* The frame that reaches the length limit ends the segment; the
     * recording up to it is kept. */
    if (result == KVX_ERR_LENGTH_LIMIT) {
        std::fprintf(stderr, "kvx: %s: the recording reached the longest a file holds; it ends there\n",
                     args.output.c_str());
        result = KVX_OK;
    }
    if (result == KVX_OK && why.empty() && frames == 0) why = "nothing was captured";
    if (result == KVX_OK && why.empty()) result = KVXCloseFileEx(h, "", 0);
    else KVXCloseFileEx(h, "", 1);
    if (!why.empty()) {
        std::fprintf(stderr, "kvx: %s: %s; nothing was written\n", args.output.c_str(), why.c_str());
        return kExitFailure;
    }
    if (result != KVX_OK) return fail(args.output, result);
    std::printf("%s: %zu frames, %s (%u ms)\n", args.output.c_str(), frames, format_time(frames_ms(frames)).c_str(),
                frames_ms(frames));
    return 0;
}

} // namespace

void add_record_command(CLI::App &tool)
{
    auto args = std::make_shared<RecordArgs>();
    CLI::App *record = add_command(tool, "record", "record from the sound card to a new SP recording",
                                   [args]() { return command_record(*args); });
    record->add_option("-o,--output", args->output, "the recording to write, named *.kvx")->required()->type_name("OUT");
    record->add_flag("--flag-mode", args->flagMode, "frames with the speech flag (all of them full frames)");
    record->footer("Captures 16-bit mono from the ALSA device that KVX_ALSA_DEVICE names (else\n"
                   "\"default\"), at 12000 Hz or converted to it, and codes it as it comes; a level\n"
                   "meter and the time recorded show on a terminal.  Ctrl-C ends the recording and\n"
                   "commits the file.  KVX_RECORD_SOURCE=FILE.wav records that file instead of the\n"
                   "sound card, at the pace it would be spoken, up to its end or Ctrl-C.");
}
