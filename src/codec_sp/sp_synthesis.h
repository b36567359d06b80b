/*
 * sp_synthesis.h - the SP synthesis: from unpacked parameters to 288
 * samples at the internal rate.
 *
 * A 14th-order all-pole filter, given once per frame as 14 quantised
 * reflection coefficients, is excited per 72-sample subframe by an adaptive
 * (pitch) part from the excitation history plus seven signed pulses, or in
 * a noise frame by pseudo-random noise.  A fixed first-order output filter
 * and, with bit 0x20000, a formant postfilter with tilt and gain control
 * follow.  The pieces are visible here so that they can be tested alone.
 */
#ifndef KVX_CODEC_SP_SP_SYNTHESIS_H
#define KVX_CODEC_SP_SP_SYNTHESIS_H

#include <stdint.h>

#include "codec_sp/sp_frame.h"
#include "codec_sp/sp_state.h"

namespace kvx {

constexpr int kSpMaxNoiseRun = 60;

/* The reflection coefficients k[1..14] (Q15) for the filter indices; in
 * speech-flag mode the 14th comes from the 4-entry table. */
void sp_reflection(const int16_t index[kSpOrder], bool speechFlagMode, int32_t k[kSpOrder + 1]);

/* Step-up from reflection coefficients k[1..14] to the direct form a[0..14]
 * in Q13; when a value leaves the 16-bit range, again in Q12 with limits.
 * Returns the filter scale: 0 for Q13, 1 for Q12. */
int sp_step_up(const int32_t k[kSpOrder + 1], int32_t a[kSpOrder + 1]);

/* All-pole synthesis of n samples: y(n) = (a0 e(n) - sum a_i y(n-i) + 4096)
 * >> (13 - scale), limited to 16 bits.  memory[i] holds y(-i) and is
 * updated. */
void sp_synthesis_filter(const int32_t a[kSpOrder + 1], int scale, const int32_t *e, int32_t *y, int n,
                         int32_t memory[kSpOrder + 1]);

/* The postfilter on one subframe in place, with the frame's filter and its
 * first reflection coefficient; uses and updates the postfilter memories
 * and gain in `state`. */
void sp_postfilter(int32_t x[kSpSubframe], const int32_t a[kSpOrder + 1], int scale, int32_t k1,
                   SpDecoderState *state);

/* Synthesises one unpacked frame into out[288], for the decode entry or
 * the level meter (`channel`): noise handling, filter, four subframes, and
 * the frame's filter indices kept as the previous ones. */
void sp_synthesize(const SpFrameParams &params, bool speechFlagMode, bool postfilter, SpChannelState *channel,
                   int32_t out[kSpFrameSamples]);

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_SYNTHESIS_H */
