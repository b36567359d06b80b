/*
 * decoders.h - the LP decoder's entries as the sessions call them (the
 * LP codec defines them).
 */
#ifndef KVX_DECODE_DECODERS_H
#define KVX_DECODE_DECODERS_H

#include <stdint.h>

namespace kvx {

/* Decodes the LP frame at *frame into `out` and advances *frame by its
 * length; returns the samples written, 0 when the speed stage dropped the
 * frame.  With bit 0x10 of *control it writes the held frame instead. */
uint32_t lp_decode(uint8_t **frame, uint32_t *control, int16_t *out);

/* Samples of one LP output slot for a control word. */
uint32_t lp_slot_samples(uint32_t control);

} // namespace kvx

#endif /* KVX_DECODE_DECODERS_H */
