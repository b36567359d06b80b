/*
 * Decoding sessions: KVXInitDecoder, KVXStartDecoding, KVXDecoding,
 * KVXDecBufReturn, KVXEndDecoding and KVXDecodeToPCM.
 *
 * A session is driven by window messages.  The start posts one buffer
 * request (960) per wave buffer it primes; the caller answers each with
 * KVXDecoding, which decodes five frames into the buffer and writes it to
 * the wave device (or, in file-output mode, to the caller's multimedia
 * file).  When the device has played a buffer it reports 957 to the window
 * and the caller returns the buffer with KVXDecBufReturn, which asks for it
 * to be filled again.  A change of codec ends the session and starts it
 * again at the other sample rate once the last buffer has played.
 */
#include <cstring>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "decode/decoders.h"
#include "decode/session.h"
#include "format/header.h"
#include "format/stream.h"
#include "kvx.h"

namespace kvx {
namespace {

constexpr uint32_t kFramesPerBuffer = 5;
constexpr uint32_t kLpFrameBytes = 480;   /* 240 samples at 8000 Hz */
constexpr uint32_t kSpFrameBytes = 528;   /* 264 samples at 11025 Hz */
constexpr UINT kMessageBufferRequest = 960;
constexpr UINT kMessageBufferDone = 957;

uint32_t s_control_dummy = 0;

/* Whether a device is open for the running session. */
bool s_device_open = false;

/* The kind of the running (or last) session. */
const SessionKind *s_kind = &g_decodingKind;

inline uint32_t *control()
{
    return g_decoder.control != nullptr ? g_decoder.control : &s_control_dummy;
}

/* The codec of the frames a session is handing out: the block codec, or,
 * once a change of codec has stopped the fetch, the one before it. */
uint32_t frames_codec()
{
    return g_read.codecChanged ? 1u - g_read.blockCodec : g_read.blockCodec;
}

/* Playback speed factors by speed index (control bits 11..15); 0 for an
 * index at which the position does not advance. */
double speed_factor(uint32_t word)
{
    switch ((word >> 11) & 0x1F) {
    case 0: return 1.0;
    case 1: return 1.25;
    case 2: return 1.33;
    case 3: return 1.5;
    case 4: return 2.0;
    case 17: return 0.8;
    case 18: return 0.75;
    case 19: return 0.66;
    case 20: return 0.5;
    default: return 0.0;
    }
}

/* Session start after a change of codec: the start of the new codec's
 * first block, from the chunk time table entry before the cursor chunk and
 * the times of the blocks of the cursor's half before the cursor. */
uint32_t start_after_codec_change()
{
    const StreamSource *source = stream_source();
    uint32_t time = g_read.cursorChunk > 1 && g_read.cursorChunk - 2u < source->chunk_count()
                        ? source->chunk_end(g_read.cursorChunk - 2)
                        : 0;
    const uint32_t half_start = g_read.cursor > g_decoder.chunkBytes ? g_decoder.chunkBytes + 2 : 2;
    for (uint32_t cursor = half_start; cursor < g_read.cursor; cursor += kBlockBytes)
        time += hdr::block_ms(g_decoder.ring + cursor - 2);
    return time;
}

/* Removes up to `count` of the session's own buffer messages (960 and
 * 957 for its window) from the thread's queue.  Other messages stay: the
 * caller's own, a WM_QUIT among them, must not be swallowed by a stop. */
bool drop_buffer_message()
{
    if (g_decoder.window == nullptr) return false;
    MSG message;
    if (!PeekMessageA(&message, g_decoder.window, kMessageBufferRequest, kMessageBufferRequest, PM_REMOVE) &&
        !PeekMessageA(&message, g_decoder.window, kMessageBufferDone, kMessageBufferDone, PM_REMOVE))
        return false;
    if (message.message == WM_QUIT) {
        /* A pending quit is handed out whatever the filter: put it back. */
        PostQuitMessage(static_cast<int>(message.wParam));
        return false;
    }
    return true;
}

/* Decodes one frame with the block codec's decoder into `out`.  Returns
 * the bytes written, 0 when the speed stage dropped the frame. */
uint32_t decode_frame(uint8_t **frame, int16_t *out)
{
    const uint32_t samples = g_read.blockCodec ? lp_decode(frame, control(), out) : sp_decode(frame, control(), out);
    return samples * 2;
}

/* Bytes of one decoded frame in a buffer, by codec and control word. */
uint32_t slot_bytes()
{
    return 2 * (g_read.blockCodec ? lp_slot_samples(*control()) : sp_slot_samples(*control()));
}

/* Writes `bytes` of the buffer to the caller's file after dispatching the
 * messages waiting in the thread's queue.  0, or 13 when the write fails. */
uint32_t write_to_file(WAVEHDR *buffer, HMMIO file, uint32_t bytes)
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (bytes != 0 && mmioWrite(file, buffer->lpData, static_cast<LONG>(bytes)) == -1) return KVX_ERR_PCM_WRITE;
    PostMessageA(g_decoder.window, kMessageBufferDone, 0, reinterpret_cast<LPARAM>(buffer));
    g_session.lastBuffer = buffer;
    return KVX_OK;
}

void restart_after_codec_change()
{
    uint32_t discarded = 0;
    KVXEndDecoding(&discarded);
    KVXStartDecoding(0);
}

/* Control bits that only a decoding session follows. */
uint32_t own_bits(uint32_t word)
{
    return s_kind->playback ? word & ~(KVX_CW_FILE_OUTPUT | KVX_CW_NO_DEVICE) : word;
}

} // namespace

const SessionKind g_decodingKind = {false, next_frame, restart_after_codec_change, stream_resume};

bool decoding_session_running()
{
    return !g_session.stopped && s_kind == &g_decodingKind;
}

uint32_t source_length()
{
    const StreamSource *source = stream_source();
    const uint32_t count = source->chunk_count();
    return count > 0 ? source->chunk_end(count - 1) : 0;
}

void stream_resume(uint32_t *stop)
{
    uint32_t resume = *stop;
    const uint32_t length = source_length();
    if (*stop >= length) {
        *stop = length;
        resume = 0;
        *control() = (*control() & KVX_CW_POSTFILTER) | KVX_CW_RESET | KVX_CW_REPOSITION;
    }
    if (g_decoder.ring != nullptr && stream_source()->chunk_count() > 0) stream_resume_point(resume);
}

uint32_t session_position(uint32_t positionMs)
{
    uint32_t *const word = control();
    if ((*word & KVX_CW_REPOSITION) || (!g_read.codecChanged && !(*word & KVX_CW_RESUME))) {
        const uint32_t result = stream_position(positionMs);
        if (result != KVX_OK) return result;
    }
    g_read.sessionStartChunk = g_read.loadChunk;

    g_read.ended = false;
    g_session.speedInUse = speed_setting(*word);
    if (!(*word & KVX_CW_RESUME)) {
        g_session.speedUsed = false;
        g_session.speedChangeMs = 0;
        g_session.framesReturned = 0;
        if (!g_read.codecChanged) {
            stream_walk(positionMs, &g_session.startMs);
        } else {
            g_read.codecChanged = false;
            g_session.startMs = start_after_codec_change();
        }
        g_session.speedChangeMs = static_cast<float>(g_session.startMs);
    }
    return KVX_OK;
}

uint32_t session_open_device(const SessionKind *kind)
{
    s_kind = kind;
    uint32_t *const word = control();
    const uint32_t bits = own_bits(*word);
    const uint32_t prime = (bits & KVX_CW_FILE_OUTPUT) ? 1 : kWaveBuffers;

    /* The wave format and buffer lengths follow the codec of the first
     * frames the session hands out (SP when the ring holds none: a later
     * LP block then changes the codec). */
    const bool lp = stream_first_codec() == 1;
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = lp ? 8000 : 11025;
    format.nAvgBytesPerSec = lp ? 16000 : 22050;
    format.nBlockAlign = 2;
    format.wBitsPerSample = 16;
    g_session.deviceBufferBytes = kFramesPerBuffer * (lp ? kLpFrameBytes : kSpFrameBytes);
    if (lp) g_session.fileBufferBytes = (*word & KVX_CW_264_OR_11K) ? 3300 : 2400;
    else g_session.fileBufferBytes = (*word & KVX_CW_SP_288) && !(*word & KVX_CW_264_OR_11K) ? 2880 : 2640;
    g_read.blockCodec = g_read.previousCodec = lp ? 1 : 0;
    g_session.lastBuffer = nullptr;

    if (bits & KVX_CW_NO_DEVICE) return KVX_OK;

    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(g_decoder.window), 0,
                    CALLBACK_WINDOW) != MMSYSERR_NOERROR)
        return KVX_ERR_MEMORY;
    g_session.waveOut = device;
    s_device_open = true;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    for (uint32_t i = 0; i < prime; ++i) {
        WAVEHDR *buffer = g_decoder.waveHeader[i];
        buffer->dwBufferLength = g_session.deviceBufferBytes;
        buffer->dwFlags &= ~WHDR_DONE;
        waveOutPrepareHeader(device, buffer, sizeof(WAVEHDR));
        buffer->dwBytesRecorded = g_session.deviceBufferBytes;
        buffer->dwFlags |= WHDR_DONE;
        PostMessageA(g_decoder.window, kMessageBufferRequest, 0, reinterpret_cast<LPARAM>(buffer));
    }
    g_session.stopped = false;
    return KVX_OK;
}

} // namespace kvx

using namespace kvx;

extern "C" uint32_t KVXAPI KVXInitDecoder(HWND window, uint32_t *controlWord)
{
    if (g_decoder.initialised) return KVX_OK;
    g_decoder.window = window;
    g_decoder.control = controlWord;
    g_decoder.blocksPerChunk = kBlocksPerChunk;
    g_decoder.chunkBytes = kChunkBytes;
    g_decoder.ringBytes = kRingDataBytes;
    if (allocate_buffers() != KVX_OK) return KVX_ERR_OPEN;
    if (waveOutGetNumDevs() == 0) return KVX_ERR_NO_DEVICE;
    g_decoder.initialised = true;
    return KVX_OK;
}

extern "C" uint32_t KVXAPI KVXStartDecoding(uint32_t positionMs)
{
    if (!g_decoder.initialised) return KVX_ERR_NOT_INITIALISED;
    uint32_t *const word = control();
    /* With no file active, whatever the ring still holds belongs to a file
     * given up: nothing is played. */
    if (g_file.name[0] == '\0' || g_file.lastResult != KVX_OK) return KVX_ERR_REOPEN;
    set_stream_source(nullptr);
    if (!g_read.ringValid) {
        /* A ring that holds nothing has no resume point or codec change to
         * go on from. */
        *word &= ~KVX_CW_RESUME;
        g_read.codecChanged = false;
    }
    const uint32_t result = session_position(positionMs);
    if (result != KVX_OK) return result;
    return session_open_device(&g_decodingKind);
}

extern "C" uint32_t KVXAPI KVXDecoding(WAVEHDR *buffer, HMMIO file)
{
    return session_decode(buffer, file);
}

uint32_t kvx::session_decode(WAVEHDR *buffer, HMMIO file)
{
    uint32_t *const word = control();
    const bool file_output = (own_bits(*word) & KVX_CW_FILE_OUTPUT) != 0;
    if (buffer == nullptr || buffer->lpData == nullptr) return 0;
    if (g_read.ended) {
        /* Before any buffer was handed over there is nothing to wait for. */
        const bool done = g_session.lastBuffer == nullptr || (g_session.lastBuffer->dwFlags & WHDR_DONE);
        if (g_read.codecChanged) {
            if (done) s_kind->restart();
            return 1;
        }
        return done ? 0 : 1;
    }

    uint32_t frames = 0;
    uint32_t filled = 0;
    const uint32_t capacity = file_output ? kWaveBufferBytes : g_session.deviceBufferBytes;
    for (;;) {
        if (!(*word & KVX_CW_HELD_FRAME)) {
            if (s_kind->next(&g_read.sessionFrame) == 0) break;
        }
        const uint32_t slot = slot_bytes();
        if (filled + slot > capacity) break; /* a codec's slot never outgrows the buffer; be sure */
        if (decode_frame(&g_read.sessionFrame, reinterpret_cast<int16_t *>(buffer->lpData + filled)) == 0) continue;
        filled += slot;
        if (++frames == kFramesPerBuffer) break;
    }

    if (frames < kFramesPerBuffer) {
        /* No further frame. */
        if (file_output) {
            /* The frames decoded into this last buffer are written too: the
             * end of a converted file is not to be lost. */
            if (frames != 0 && write_to_file(buffer, file, filled) != KVX_OK) return KVX_ERR_PCM_WRITE;
            if (g_read.codecChanged) {
                s_kind->restart();
                return 1;
            }
            return 0;
        }
        const uint32_t bytes = frames * (frames_codec() ? kLpFrameBytes : kSpFrameBytes);
        g_session.fileBufferBytes = bytes;
        buffer->dwBytesRecorded = bytes;
    }

    if (file_output)
        return write_to_file(buffer, file, filled) == KVX_OK ? 1u : static_cast<uint32_t>(KVX_ERR_PCM_WRITE);

    buffer->dwBufferLength = buffer->dwBytesRecorded;
    buffer->dwFlags &= ~WHDR_DONE;
    if (g_session.fileBufferBytes == 0 && g_session.lastBuffer != nullptr) {
        /* Nothing was decoded: this buffer is not played. */
        if (g_session.lastBuffer->dwBufferLength == 0) g_session.lastBuffer->dwFlags = WHDR_DONE;
        return 1;
    }
    if (!s_device_open) return 1;
    waveOutPrepareHeader(g_session.waveOut, buffer, sizeof(WAVEHDR));
    waveOutWrite(g_session.waveOut, buffer, sizeof(WAVEHDR));
    g_session.lastBuffer = buffer;
    return 1;
}

extern "C" uint32_t KVXAPI KVXDecBufReturn(WAVEHDR *buffer)
{
    session_return(buffer);
    return KVX_OK;
}

void kvx::session_return(WAVEHDR *buffer)
{
    if (buffer == nullptr) return;
    if (s_device_open) waveOutUnprepareHeader(g_session.waveOut, buffer, sizeof(WAVEHDR));
    buffer->dwBufferLength = g_session.deviceBufferBytes;
    buffer->dwBytesRecorded = g_session.deviceBufferBytes;
    buffer->dwFlags |= WHDR_DONE;
    if (!g_session.stopped) SendMessageA(g_decoder.window, kMessageBufferRequest, 0, reinterpret_cast<LPARAM>(buffer));
    g_session.framesReturned += kFramesPerBuffer;
}

extern "C" uint32_t KVXAPI KVXEndDecoding(uint32_t *stopPositionMs)
{
    session_end(stopPositionMs);
    return KVX_OK;
}

void kvx::session_end(uint32_t *stopPositionMs)
{
    uint32_t *const word = control();
    uint32_t played = 0;
    if (s_device_open) {
        MMTIME time{};
        time.wType = TIME_BYTES;
        if (waveOutGetPosition(g_session.waveOut, &time, sizeof time) == MMSYSERR_NOERROR && time.wType == TIME_BYTES)
            played = time.u.cb;
        waveOutReset(g_session.waveOut);
    }

    uint32_t stop;
    if (!g_session.speedUsed) {
        /* In 64 bits: bytes x 24 passes 32 bits after 2 h 15 min of SP, x 30
         * after 2 h 30 min of LP. */
        const uint64_t bytes = played;
        stop = g_session.startMs +
               static_cast<uint32_t>(frames_codec() ? bytes * 30u / kLpFrameBytes : bytes * 24u / kSpFrameBytes);
    } else {
        const double frame_ms = g_read.blockCodec ? 30.0 : 24.0;
        stop = static_cast<uint32_t>(g_session.speedChangeMs +
                                     g_session.framesReturned * frame_ms * speed_factor(*word));
        g_session.framesReturned = 0;
        g_session.speedUsed = false;
    }
    g_session.startMs = stop;
    /* A resume goes on from here, whatever the speed did before. */
    g_session.speedChangeMs = static_cast<float>(stop);

    if (!g_read.codecChanged || (*word & KVX_CW_RESUME_AFTER_CHANGE)) s_kind->resume(&stop);
    if (stopPositionMs != nullptr) *stopPositionMs = stop;

    bool dropping = true;
    for (uint32_t i = 0; i < kWaveBuffers; ++i) {
        if (dropping) dropping = drop_buffer_message();
        WAVEHDR *buffer = g_decoder.waveHeader[i];
        if (buffer == nullptr) continue;
        buffer->dwFlags |= WHDR_DONE;
        if (s_device_open) waveOutUnprepareHeader(g_session.waveOut, buffer, sizeof(WAVEHDR));
    }
    if (s_device_open) {
        waveOutClose(g_session.waveOut);
        g_session.waveOut = nullptr;
        s_device_open = false;
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }
    *word &= ~KVX_CW_RESUME_AFTER_CHANGE;
    g_read.ended = false;
    g_session.stopped = true;
}

extern "C" uint32_t KVXAPI KVXDecodeToPCM(int16_t **pcm, uint32_t *codec)
{
    uint32_t *const word = control();
    /* Without a started session there is nothing to hand out. */
    if (!g_decoder.initialised || !g_read.ringValid || g_decoder.waveHeader[0] == nullptr) {
        *word &= ~KVX_CW_NO_DEVICE;
        return 0;
    }
    auto *out = reinterpret_cast<int16_t *>(g_decoder.waveHeader[0]->lpData);
    /* As the sessions do, the speed stage is followed: no frame is fetched
     * while the decoder holds one, and a dropped frame is followed by the
     * next one within the same call. */
    for (;;) {
        if (!(*word & KVX_CW_HELD_FRAME)) {
            if (next_frame(&g_read.pcmFrame) == 0) break;
        }
        if (decode_frame(&g_read.pcmFrame, out) == 0) continue;
        if (codec != nullptr) *codec = g_read.blockCodec;
        if (pcm != nullptr) *pcm = out;
        return 1;
    }
    if (g_read.codecChanged) {
        KVXStartDecoding(0);
        return 1;
    }
    *word &= ~KVX_CW_NO_DEVICE;
    return 0;
}
