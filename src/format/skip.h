/*
 * skip.h - the frame skippers that the frame fetch uses to resume inside a
 * block.  Each codec provides its own (codec_sp, codec_lp); both advance the
 * frame position by the length of the frame at it without decoding it.
 */
#ifndef KVX_FORMAT_SKIP_H
#define KVX_FORMAT_SKIP_H

#include <stdint.h>

namespace kvx {

/* SP: 41 bytes, or 9 for a noise frame in speech-flag mode; flips the
 * frame parity and keeps the decoder's held byte and speech flag. */
void sp_skip_frame(uint8_t **frame, uint32_t *control);

/* SP: the bytes that the frame at `frame` reads from there on, at the
 * current parity; nothing changes. */
uint32_t sp_frame_span(const uint8_t *frame, uint32_t control);

/* LP: 4 bytes when bit 1 of the first byte is set, else 24. */
void lp_skip_frame(uint8_t **frame);

} // namespace kvx

#endif /* KVX_FORMAT_SKIP_H */
