/*
 * playback.h - what the write session asks of playback.
 */
#ifndef KVX_PLAYBACK_PLAYBACK_H
#define KVX_PLAYBACK_PLAYBACK_H

namespace kvx {
namespace playback {

/* Stops a running edit playback as KVXStopPlayback does, before the write
 * session changes or gives up what it reads.  Nothing when none runs.  The
 * write session's requested start stays as it was. */
void stop_edit();

} // namespace playback
} // namespace kvx

#endif /* KVX_PLAYBACK_PLAYBACK_H */
