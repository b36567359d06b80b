/*
 * sp_decoder.h - the SP codec's entries.
 *
 * An SP frame (41 bytes, or 9 for a noise frame in speech-flag mode) holds
 * 24 ms of speech.  The decoder keeps all its state for the process and is
 * not reentrant; the decoder control word (kvx.h, KVX_CW_...) steers it:
 * 0x1 reset (cleared), 0x2 speech-flag mode, 0x10 emit the held frame
 * (cleared), 0x20 and 0x40000 plain output, 0x40 264 samples even with
 * 0x40000, 0xFF00 playback speed, 0x20000 postfilter.
 */
#ifndef KVX_CODEC_SP_SP_DECODER_H
#define KVX_CODEC_SP_SP_DECODER_H

#include <stdint.h>

namespace kvx {

/* Samples of an output slot: 288 with bit 0x40000 and without 0x40, else
 * 264.  Slot n of a buffer starts n times this far in. */
uint32_t sp_slot_samples(uint32_t control);

/* Decodes the frame at *frame (one stored byte before it and one after it
 * readable), advances *frame by its length and writes the output slot
 * `out`.  With bit 0x10 set it writes the speed stage's held frame instead
 * and fetches nothing.  Returns the samples written (264 or 288), or 0 when
 * the speed stage dropped the frame: the caller then decodes the next
 * frame into the same slot. */
uint32_t sp_decode(uint8_t **frame, uint32_t *control, int16_t *out);

/* The level meter: decodes one frame given as its bytes in bit-stream
 * order (frame bit 0 at the top of byte 0; 41 bytes are read, 9 for a
 * noise frame) into 288 samples, without output stage.  Its own output
 * filter, noise run and previous filter indices; all else is shared with
 * sp_decode, so a measurement disturbs a running decode.  Honours bits 0x1
 * and 0x20000 and the speech-flag mode of the last sp_decode (off after
 * its own reset). */
void sp_level_decode(const uint8_t *frame, uint32_t *control, int16_t out[288]);

/* Passes over the frame at *frame without decoding it: the same length
 * test, parity flip and held byte as sp_decode. */
void sp_skip_frame(uint8_t **frame, uint32_t *control);

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_DECODER_H */
