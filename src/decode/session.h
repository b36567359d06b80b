/*
 * session.h - the steps of a device session, shared by the decoding
 * session and playback.
 *
 * Decoding a file and playing back while editing or recording run the same
 * session: the same wave buffers, messages, speeds and stop position.  They
 * differ in where the frames come from and in what a stop keeps for the
 * next start; a SessionKind says which.
 */
#ifndef KVX_DECODE_SESSION_H
#define KVX_DECODE_SESSION_H

#include <stdint.h>

#include "platform/platform.h"

namespace kvx {

struct SessionKind {
    bool playback;                      /* no file output nor device-less mode */
    uint32_t (*next)(uint8_t **frame);  /* the frame fetch: 1 a frame, 0 none, else a failure */
    void (*restart)();                  /* after a change of codec: stop and start again */
    /* Saves what the next start resumes from for the stop position *stop
     * (which it may correct). */
    void (*resume)(uint32_t *stop);
};

/* The decoding session's kind. */
extern const SessionKind g_decodingKind;

/* A start once the ring is loaded and the session start time found: the
 * wave format, the device and its primed buffers.  0 or 3. */
uint32_t session_open_device(const SessionKind *kind);

/* Positions and walks for a start, as the decoding session does: loads
 * the ring when asked, finds the block and the session start time.  0 or
 * a loading failure. */
uint32_t session_position(uint32_t positionMs);

/* KVXDecoding, KVXDecBufReturn and KVXEndDecoding for the session that
 * runs. */
uint32_t session_decode(WAVEHDR *buffer, HMMIO file);
void session_return(WAVEHDR *buffer);
void session_end(uint32_t *stopPositionMs);

/* The saved resume point for a stop at `stop` in the ring's source: the
 * length of the audio and resume at 0 from the end.  Corrects *stop. */
void stream_resume(uint32_t *stop);

/* Whether a decoding session of the active file runs (a device is open for
 * it). */
bool decoding_session_running();

/* Length of the ring source's audio, ms. */
uint32_t source_length();

} // namespace kvx

#endif /* KVX_DECODE_SESSION_H */
