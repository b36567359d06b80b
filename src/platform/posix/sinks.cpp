/*
 * The wave sinks: null, capture and the sound card through ALSA.
 *
 * The ALSA library is loaded at run time, so that the library itself needs
 * no sound libraries: without libasound.so.2, or without a device that
 * opens, the "alsa" sink plays as the null sink does.
 */
#include "sinks.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kvx_posix.h"

namespace posix {
namespace {

/* ---- selection ---------------------------------------------------------- */

std::mutex g_select_lock;
bool g_selected = false;               /* guarded by g_select_lock */
SinkKind g_sink = SinkKind::Alsa;      /* guarded by g_select_lock */

bool sink_by_name(const char *name, SinkKind *kind)
{
    if (name == nullptr) return false;
    if (std::strcmp(name, "alsa") == 0) *kind = SinkKind::Alsa;
    else if (std::strcmp(name, "null") == 0) *kind = SinkKind::Null;
    else if (std::strcmp(name, "capture") == 0) *kind = SinkKind::Capture;
    else if (std::strcmp(name, "none") == 0) *kind = SinkKind::None;
    else return false;
    return true;
}

/* ---- null --------------------------------------------------------------- */

/* About 10 ms of sound per step, whole sample frames. */
size_t paced_chunk(const WAVEFORMATEX &format, unsigned perSecond)
{
    const size_t block = format.nBlockAlign ? format.nBlockAlign : 1;
    size_t bytes = format.nAvgBytesPerSec / perSecond;
    bytes -= bytes % block;
    return bytes < block ? block : bytes;
}

class NullSink : public WaveSink {
public:
    bool paced() const override { return true; }
    size_t chunk_bytes(const WAVEFORMATEX &format) const override { return paced_chunk(format, 100); }
    void write(const void *, size_t) override {}
};

/* ---- capture ------------------------------------------------------------ */

struct CaptureOpen {
    uint32_t rate;
    size_t offset;
};

std::mutex g_capture_lock;
std::vector<unsigned char> &captured() /* guarded by g_capture_lock */
{
    static auto *bytes = new std::vector<unsigned char>;
    return *bytes;
}
std::vector<CaptureOpen> &capture_opens() /* guarded by g_capture_lock */
{
    static auto *opens = new std::vector<CaptureOpen>;
    return *opens;
}

class CaptureSink : public WaveSink {
public:
    explicit CaptureSink(const WAVEFORMATEX &format)
    {
        std::lock_guard<std::mutex> guard(g_capture_lock);
        capture_opens().push_back(CaptureOpen{format.nSamplesPerSec, captured().size()});
    }
    bool paced() const override { return false; }
    size_t chunk_bytes(const WAVEFORMATEX &) const override { return SIZE_MAX; }
    void write(const void *data, size_t bytes) override
    {
        const auto *in = static_cast<const unsigned char *>(data);
        std::lock_guard<std::mutex> guard(g_capture_lock);
        captured().insert(captured().end(), in, in + bytes);
    }
};

/* ---- ALSA --------------------------------------------------------------- */

/* The few entry points used, with the library's stable values. */
struct snd_pcm_t;
typedef long snd_pcm_sframes_t;
typedef unsigned long snd_pcm_uframes_t;
constexpr int kStreamPlayback = 0;
constexpr int kOpenNonblock = 1;
constexpr int kFormatU8 = 1;
constexpr int kFormatS16LE = 2;
constexpr int kAccessRwInterleaved = 3;
constexpr unsigned kLatencyUs = 100000;

struct Alsa {
    int (*open)(snd_pcm_t **, const char *, int, int);
    int (*nonblock)(snd_pcm_t *, int);
    int (*set_params)(snd_pcm_t *, int, int, unsigned, unsigned, int, unsigned);
    snd_pcm_sframes_t (*writei)(snd_pcm_t *, const void *, snd_pcm_uframes_t);
    int (*recover)(snd_pcm_t *, int, int);
    int (*delay)(snd_pcm_t *, snd_pcm_sframes_t *);
    int (*drop)(snd_pcm_t *);
    int (*prepare)(snd_pcm_t *);
    int (*drain)(snd_pcm_t *);
    int (*close)(snd_pcm_t *);
};

/* ALSA reports failures on stderr unless told otherwise; a library keeps quiet. */
void quiet(const char *, int, const char *, int, const char *, ...) {}
typedef void (*ErrorHandler)(const char *, int, const char *, int, const char *, ...);

template <typename F> bool bind(void *library, const char *name, F *function)
{
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) return false;
    *function = reinterpret_cast<F>(symbol);
    return true;
}

/* The ALSA library's entry points, or nullptr when it is not installed.
 * It stays loaded for the life of the process. */
const Alsa *alsa()
{
    static const Alsa *loaded = []() -> const Alsa * {
        void *library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        static Alsa functions;
        if (!bind(library, "snd_pcm_open", &functions.open) || !bind(library, "snd_pcm_nonblock", &functions.nonblock) ||
            !bind(library, "snd_pcm_set_params", &functions.set_params) ||
            !bind(library, "snd_pcm_writei", &functions.writei) || !bind(library, "snd_pcm_recover", &functions.recover) ||
            !bind(library, "snd_pcm_delay", &functions.delay) || !bind(library, "snd_pcm_drop", &functions.drop) ||
            !bind(library, "snd_pcm_prepare", &functions.prepare) || !bind(library, "snd_pcm_drain", &functions.drain) ||
            !bind(library, "snd_pcm_close", &functions.close)) {
            dlclose(library);
            return nullptr;
        }
        int (*set_error_handler)(ErrorHandler) = nullptr;
        if (bind(library, "snd_lib_error_set_handler", &set_error_handler)) set_error_handler(quiet);
        return &functions;
    }();
    return loaded;
}

class AlsaSink : public WaveSink {
public:
    AlsaSink(const Alsa &api, snd_pcm_t *pcm, size_t frameBytes) : api_(api), pcm_(pcm), frameBytes_(frameBytes) {}
    ~AlsaSink() override { api_.close(pcm_); }

    /* A sink on the default device, or nullptr when none opens. */
    static std::unique_ptr<WaveSink> open(const WAVEFORMATEX &format)
    {
        const Alsa *api = alsa();
        if (api == nullptr) return nullptr;
        const char *device = std::getenv("KVX_ALSA_DEVICE");
        if (device == nullptr || device[0] == '\0') device = "default";
        snd_pcm_t *pcm = nullptr;
        /* Opened without blocking, so that a busy device fails at once. */
        if (api->open(&pcm, device, kStreamPlayback, kOpenNonblock) < 0 || pcm == nullptr) return nullptr;
        if (api->nonblock(pcm, 0) < 0 ||
            api->set_params(pcm, format.wBitsPerSample == 8 ? kFormatU8 : kFormatS16LE, kAccessRwInterleaved,
                            format.nChannels, format.nSamplesPerSec, 1, kLatencyUs) < 0) {
            api->close(pcm);
            return nullptr;
        }
        return std::unique_ptr<WaveSink>(new AlsaSink(*api, pcm, format.nBlockAlign));
    }

    bool paced() const override { return false; }
    size_t chunk_bytes(const WAVEFORMATEX &format) const override { return paced_chunk(format, 50); }
    void write(const void *data, size_t bytes) override
    {
        const auto *in = static_cast<const unsigned char *>(data);
        snd_pcm_uframes_t frames = bytes / frameBytes_;
        while (frames > 0) {
            snd_pcm_sframes_t n = api_.writei(pcm_, in, frames);
            if (n < 0) {
                if (api_.recover(pcm_, static_cast<int>(n), 1) < 0) return; /* the rest is lost */
                continue;
            }
            frames -= static_cast<snd_pcm_uframes_t>(n);
            in += static_cast<size_t>(n) * frameBytes_;
        }
    }
    uint64_t unplayed() override
    {
        snd_pcm_sframes_t frames = 0;
        if (api_.delay(pcm_, &frames) < 0 || frames < 0) return 0;
        return static_cast<uint64_t>(frames) * frameBytes_;
    }
    void drop() override
    {
        api_.drop(pcm_);
        api_.prepare(pcm_);
    }
    void drain() override { api_.drain(pcm_); }

private:
    const Alsa &api_;
    snd_pcm_t *pcm_;
    size_t frameBytes_;
};

} // namespace

SinkKind selected_sink()
{
    std::lock_guard<std::mutex> guard(g_select_lock);
    if (!g_selected) {
        SinkKind kind;
        if (sink_by_name(std::getenv("KVX_WAVE_SINK"), &kind)) g_sink = kind;
        g_selected = true;
    }
    return g_sink;
}

std::unique_ptr<WaveSink> make_sink(SinkKind kind, const WAVEFORMATEX &format)
{
    std::unique_ptr<WaveSink> sink;
    if (kind == SinkKind::Capture) sink.reset(new (std::nothrow) CaptureSink(format));
    else if (kind == SinkKind::Alsa) sink = AlsaSink::open(format);
    if (!sink) sink.reset(new (std::nothrow) NullSink);
    return sink;
}

} // namespace posix

extern "C" {

KVX_POSIX_EXPORT BOOL KVXPosixSetWaveSink(const char *name)
{
    posix::SinkKind kind;
    if (!posix::sink_by_name(name, &kind)) return FALSE;
    std::lock_guard<std::mutex> guard(posix::g_select_lock);
    posix::g_sink = kind;
    posix::g_selected = true;
    return TRUE;
}

KVX_POSIX_EXPORT const char *KVXPosixGetWaveSink(void)
{
    switch (posix::selected_sink()) {
    case posix::SinkKind::Null: return "null";
    case posix::SinkKind::Capture: return "capture";
    case posix::SinkKind::None: return "none";
    default: return "alsa";
    }
}

KVX_POSIX_EXPORT size_t KVXPosixCaptureSize(void)
{
    std::lock_guard<std::mutex> guard(posix::g_capture_lock);
    return posix::captured().size();
}

KVX_POSIX_EXPORT size_t KVXPosixCaptureRead(void *buffer, size_t max)
{
    std::lock_guard<std::mutex> guard(posix::g_capture_lock);
    const std::vector<unsigned char> &bytes = posix::captured();
    const size_t n = bytes.size() < max ? bytes.size() : max;
    if (n != 0 && buffer != nullptr) std::memcpy(buffer, bytes.data(), n);
    return buffer != nullptr ? n : 0;
}

KVX_POSIX_EXPORT size_t KVXPosixCaptureOpens(uint32_t *rates, size_t max)
{
    std::lock_guard<std::mutex> guard(posix::g_capture_lock);
    const auto &opens = posix::capture_opens();
    for (size_t i = 0; rates != nullptr && i < opens.size() && i < max; ++i) rates[i] = opens[i].rate;
    return opens.size();
}

KVX_POSIX_EXPORT size_t KVXPosixCaptureOffsets(size_t *offsets, size_t max)
{
    std::lock_guard<std::mutex> guard(posix::g_capture_lock);
    const auto &opens = posix::capture_opens();
    for (size_t i = 0; offsets != nullptr && i < opens.size() && i < max; ++i) offsets[i] = opens[i].offset;
    return opens.size();
}

KVX_POSIX_EXPORT void KVXPosixCaptureClear(void)
{
    std::lock_guard<std::mutex> guard(posix::g_capture_lock);
    posix::captured().clear();
    posix::captured().shrink_to_fit();
    posix::capture_opens().clear();
}

} // extern "C"
