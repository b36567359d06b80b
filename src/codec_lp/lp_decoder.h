/*
 * lp_decoder.h - the LP codec's entries.
 *
 * An LP frame holds 30 ms of speech at 8000 Hz (240 samples), coded as
 * ITU-T G.723.1 at 6.3 kbit/s with Annex A comfort noise.  In the stored
 * stream frames follow one another byte by byte in the standard's packing;
 * bit 1 of a frame's first byte gives its length: 24 bytes (active frame)
 * when clear, 4 (SID or untransmitted frame) when set.
 *
 * The decoder keeps all its state for the process and is not reentrant.
 * The decoder control word (kvx.h, KVX_CW_...) steers it: 0x1 reset
 * (cleared), 0x10 emit the speed stage's held frame (cleared), 0x20 or
 * 0x80000 plain output, 0x40 330-sample 11 kHz output (plain output only),
 * 0xFF00 playback speed.
 */
#ifndef KVX_CODEC_LP_LP_DECODER_H
#define KVX_CODEC_LP_LP_DECODER_H

#include <stdint.h>

namespace kvx {

constexpr uint32_t kLpFrameSamples = 240;
constexpr uint32_t kLp11kSamples = 330;

/* Samples of an output slot: 330 with bit 0x40 in plain output (0x20 or
 * 0x80000), else 240.  Slot n of a buffer starts n times this far in. */
uint32_t lp_slot_samples(uint32_t control);

/* Decodes the frame at *frame (24 or 4 bytes readable), advances *frame by
 * its length and writes the output slot `out`.  With bit 0x10 set it
 * writes the speed stage's held frame (240 samples) instead and fetches
 * nothing.  Returns the samples written (240 or 330), or 0 when the speed
 * stage dropped the frame: the caller then decodes the next frame into the
 * same slot. */
uint32_t lp_decode(uint8_t **frame, uint32_t *control, int16_t *out);

/* Passes over the frame at *frame: advances it by 4 when bit 1 of its
 * first byte is set, else by 24 (the frame fetch uses it
 * to resume inside a block). */
void lp_skip_frame(uint8_t **frame);

/* The level meter: decodes the frame at `frame` into 240 samples without
 * output stage.  Honours bit 0x1.  Shares the whole decoder state with
 * lp_decode, so a measurement disturbs a running decode. */
void lp_level_decode(const uint8_t *frame, uint32_t *control, int16_t out[kLpFrameSamples]);

/* The 8 kHz to 11 kHz converter of plain output: 240 samples in, 330 out,
 * through the low-pass filter whose two states carry over between frames. */
void lp_convert_11k(const int16_t in[kLpFrameSamples], int16_t out[kLp11kSamples]);

} // namespace kvx

#endif /* KVX_CODEC_LP_LP_DECODER_H */
