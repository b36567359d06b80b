/*
 * The wave-output device with Windows meaning.
 *
 * An open device has a thread of its own that plays the queue of written
 * buffers, in order, through the device's sink.  When a buffer has been
 * played it is marked done (WHDR_DONE set, WHDR_INQUEUE cleared) and, with
 * CALLBACK_WINDOW, MM_WOM_DONE is posted to the window with the device as
 * wParam and the WAVEHDR as lParam.  MM_WOM_OPEN and MM_WOM_CLOSE are sent
 * at open and close (posted, when the window belongs to another thread).
 *
 * A buffer's flags change on the device thread while the caller's thread may
 * look at them, as on Windows: the layer's own reads and writes of dwFlags
 * are atomic.
 */
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "objects.h"
#include "sinks.h"

namespace {

using Clock = std::chrono::steady_clock;

struct WaveDevice : posix::Object {
    WAVEFORMATEX format;
    HWND window; /* CALLBACK_WINDOW's window, or null */
    std::unique_ptr<posix::WaveSink> sink;
    size_t chunk;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<WAVEHDR *> queue; /* guarded by lock: written, not yet done */
    size_t offset = 0;           /* guarded by lock: bytes of the first buffer played */
    uint64_t played = 0;         /* guarded by lock: bytes handed to the sink since open or reset */
    uint64_t unplayed = 0;       /* guarded by lock: of those, not yet heard */
    uint64_t resets = 0;         /* guarded by lock */
    bool paused = false;         /* guarded by lock */
    bool closing = false;        /* guarded by lock */
    bool inSink = false;         /* guarded by lock: the thread is writing to the sink */

    std::thread thread;
};

DWORD flags_of(const WAVEHDR *header)
{
    return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
}

void set_flags(WAVEHDR *header, DWORD set, DWORD clear)
{
    DWORD old = flags_of(header);
    while (!__atomic_compare_exchange_n(&header->dwFlags, &old, (old & ~clear) | set, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
    }
}

/* Marks a buffer done and reports it; the device's lock is held, so that
 * the reports of the device thread and of a reset keep the queue's order. */
void finish(WaveDevice &device, WAVEHDR *header)
{
    set_flags(header, WHDR_DONE, WHDR_INQUEUE);
    if (device.window != nullptr)
        PostMessageA(device.window, MM_WOM_DONE, reinterpret_cast<WPARAM>(&device), reinterpret_cast<LPARAM>(header));
}

void play(WaveDevice *device)
{
    std::unique_lock<std::mutex> lock(device->lock);
    const bool paced = device->sink->paced();
    Clock::time_point started{};
    uint64_t pacedBytes = 0;
    bool keeping = false; /* the clock runs from `started` */
    for (;;) {
        device->wake.wait(lock, [device] { return device->closing || (!device->paused && !device->queue.empty()); });
        if (device->closing) return;
        WAVEHDR *header = device->queue.front();
        const size_t length = header->dwBufferLength;
        if (device->offset < length) {
            const size_t bytes = std::min(length - device->offset, device->chunk);
            const uint64_t resets = device->resets;
            if (paced) {
                if (!keeping) {
                    started = Clock::now();
                    pacedBytes = 0;
                    keeping = true;
                }
                const auto due = started + std::chrono::microseconds((pacedBytes + bytes) * 1000000u /
                                                                     device->format.nAvgBytesPerSec);
                if (device->wake.wait_until(lock, due, [device, resets] {
                        return device->closing || device->paused || device->resets != resets;
                    })) {
                    keeping = false;
                    continue;
                }
                pacedBytes += bytes;
            }
            const char *data = header->lpData + device->offset;
            device->inSink = true;
            lock.unlock();
            device->sink->write(data, bytes);
            const uint64_t unplayed = device->sink->unplayed();
            lock.lock();
            device->inSink = false;
            device->wake.notify_all();
            if (device->resets != resets || device->closing) {
                keeping = false;
                continue;
            }
            device->offset += bytes;
            device->played += bytes;
            device->unplayed = unplayed;
        }
        if (device->offset >= length) {
            device->queue.pop_front();
            device->offset = 0;
            finish(*device, header);
            if (device->queue.empty()) keeping = false; /* the next buffer starts the clock anew */
        }
    }
}

WaveDevice *device_of(HWAVEOUT handle)
{
    if (posix::object_kind(handle) != posix::kObjectWaveOut) return nullptr;
    return reinterpret_cast<WaveDevice *>(handle);
}

bool format_is_supported(const WAVEFORMATEX &format)
{
    return format.wFormatTag == WAVE_FORMAT_PCM && (format.nChannels == 1 || format.nChannels == 2) &&
           (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) &&
           format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8 && format.nSamplesPerSec != 0 &&
           format.nAvgBytesPerSec != 0;
}

/* MM_WOM_OPEN and MM_WOM_CLOSE: sent on the window's own thread, posted
 * from another, so that a thread waiting for the caller cannot deadlock. */
void notify(HWND window, UINT message, HWAVEOUT device)
{
    if (window == nullptr) return;
    if (posix::window_of_this_thread(window)) SendMessageA(window, message, reinterpret_cast<WPARAM>(device), 0);
    else PostMessageA(window, message, reinterpret_cast<WPARAM>(device), 0);
}

} // namespace

UINT WINAPI waveOutGetNumDevs(void)
{
    return posix::selected_sink() == posix::SinkKind::None ? 0u : 1u;
}

MMRESULT WINAPI waveOutOpen(LPHWAVEOUT out, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR,
                            DWORD flags)
{
    if (out != nullptr) *out = nullptr;
    const posix::SinkKind kind = posix::selected_sink();
    if (kind == posix::SinkKind::None || (deviceId != 0 && deviceId != WAVE_MAPPER)) return MMSYSERR_BADDEVICEID;
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
    HWND window = callbackType == CALLBACK_WINDOW ? reinterpret_cast<HWND>(callback) : nullptr;
    if (window != nullptr && !IsWindow(window)) return MMSYSERR_INVALPARAM;
    if (!format_is_supported(*format)) return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
    if (out == nullptr) return MMSYSERR_INVALPARAM;

    auto *device = new (std::nothrow) WaveDevice;
    if (device == nullptr) return MMSYSERR_NOMEM;
    device->kind = posix::kObjectWaveOut;
    device->format = *format;
    device->format.cbSize = 0;
    device->window = window;
    device->sink = posix::make_sink(kind, device->format);
    if (!device->sink) {
        delete device;
        return MMSYSERR_NOMEM;
    }
    device->chunk = device->sink->chunk_bytes(device->format);
    try {
        device->thread = std::thread(play, device);
    } catch (...) {
        delete device;
        return MMSYSERR_NOMEM;
    }
    posix::register_object(device);
    auto handle = reinterpret_cast<HWAVEOUT>(device);
    *out = handle;
    notify(window, MM_WOM_OPEN, handle);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT size)
{
    if (device_of(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    const DWORD flags = flags_of(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    set_flags(header, WHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT size)
{
    if (device_of(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    const DWORD flags = flags_of(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    set_flags(header, 0, WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT size)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    const DWORD flags = flags_of(header);
    if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (header->lpData == nullptr && header->dwBufferLength != 0) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(device->lock);
    set_flags(header, WHDR_INQUEUE, WHDR_DONE);
    device->queue.push_back(header);
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

namespace {

/* Holds the queue (pause) or lets it play on (restart). */
MMRESULT set_paused(HWAVEOUT handle, bool paused)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->paused = paused;
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

} // namespace

MMRESULT WINAPI waveOutPause(HWAVEOUT handle)
{
    return set_paused(handle, true);
}

MMRESULT WINAPI waveOutRestart(HWAVEOUT handle)
{
    return set_paused(handle, false);
}

MMRESULT WINAPI waveOutReset(HWAVEOUT handle)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::unique_lock<std::mutex> lock(device->lock);
    ++device->resets;
    device->wake.notify_all();
    /* The caller may reuse the buffers once this returns: wait until the
     * thread has let go of the one it is writing from. */
    device->wake.wait(lock, [device] { return !device->inSink; });
    while (!device->queue.empty()) {
        WAVEHDR *header = device->queue.front();
        device->queue.pop_front();
        finish(*device, header);
    }
    device->offset = 0;
    device->played = 0;
    device->unplayed = 0;
    device->sink->drop();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutGetPosition(HWAVEOUT handle, LPMMTIME time, UINT size)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (time == nullptr || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    uint64_t bytes;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        bytes = device->played > device->unplayed ? device->played - device->unplayed : 0;
    }
    const WAVEFORMATEX &format = device->format;
    switch (time->wType) {
    case TIME_MS: time->u.ms = static_cast<DWORD>(bytes * 1000u / format.nAvgBytesPerSec); break;
    case TIME_SAMPLES: time->u.sample = static_cast<DWORD>(bytes / format.nBlockAlign); break;
    default: /* what the device cannot give is given in bytes, as Windows does */
        time->wType = TIME_BYTES;
        time->u.cb = static_cast<DWORD>(bytes);
        break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutClose(HWAVEOUT handle)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (!device->queue.empty()) return WAVERR_STILLPLAYING;
        device->closing = true;
        device->wake.notify_all();
    }
    posix::unregister_object(device);
    device->thread.join();
    device->sink->drain();
    notify(device->window, MM_WOM_CLOSE, handle);
    delete device;
    return MMSYSERR_NOERROR;
}

KVX_POSIX_EXPORT BOOL KVXPosixWaveAddPlayed(HWAVEOUT handle, uint32_t bytes)
{
    WaveDevice *device = device_of(handle);
    if (device == nullptr) return FALSE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->played += bytes;
    return TRUE;
}
