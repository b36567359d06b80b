/*
 * sinks.h - where the wave-output device's sound goes.
 *
 * A device has one sink for as long as it is open.  Only the device's own
 * thread calls write() and unplayed(); drop() and drain() are called while
 * that thread is not inside the sink.
 */
#ifndef KVX_POSIX_SINKS_H
#define KVX_POSIX_SINKS_H

#include <memory>
#include <stddef.h>
#include <stdint.h>

#include "win32.h"

namespace posix {

class WaveSink {
public:
    virtual ~WaveSink() = default;
    /* Whether the device must keep real time itself (the sink does not block). */
    virtual bool paced() const = 0;
    /* How many bytes the device hands over at a time (a multiple of the block). */
    virtual size_t chunk_bytes(const WAVEFORMATEX &format) const = 0;
    /* Plays `bytes`; a sound card blocks until they fit into its buffer. */
    virtual void write(const void *data, size_t bytes) = 0;
    /* Bytes written that have not been heard yet. */
    virtual uint64_t unplayed() { return 0; }
    /* Forgets what has not been heard (reset). */
    virtual void drop() {}
    /* Lets what has been written be heard (close). */
    virtual void drain() {}
};

enum class SinkKind { Alsa, Null, Capture, None };

/* The sink that the next open uses: KVXPosixSetWaveSink's choice, else the
 * environment's KVX_WAVE_SINK, else "alsa". */
SinkKind selected_sink();

/* A sink for an open device of the given kind and format (never None).
 * "alsa" gives a null sink when there is no sound card to play on. */
std::unique_ptr<WaveSink> make_sink(SinkKind kind, const WAVEFORMATEX &format);

} // namespace posix

#endif /* KVX_POSIX_SINKS_H */
