/*
 * edited.h - the edited audio of the write session as the read ring's
 * source, for edit playback.
 */
#ifndef KVX_PLAYBACK_EDITED_H
#define KVX_PLAYBACK_EDITED_H

#include <stdint.h>

#include "format/stream.h"

namespace kvx {
namespace playback {

/* The source for the session's edited audio as it stands.  *renewed tells
 * that the tree changed since the source was last made: what the ring holds
 * of it is stale.  0, or 517 when a file of the tree cannot be opened (the
 * source then holds nothing). */
uint32_t edited_source(const StreamSource **source, bool *renewed);

} // namespace playback
} // namespace kvx

#endif /* KVX_PLAYBACK_EDITED_H */
