/*
 * sp_state.h - the SP codec's process-wide state.
 *
 * Everything here lives for the process and starts zero when the library
 * is loaded.  The only reset is bit 0x1 of the decoder control word, which
 * clears the excitation history (and, for the level meter, its own output
 * filter and the speech-flag mode); the synthesis and postfilter memories,
 * the postfilter gain and the output stage carry over from whatever was
 * decoded last, even across sessions.
 *
 * The frame parity lives with the read position (g_read.parity): the frame
 * reader sets it at each block's first frame, every SP frame decoded or
 * skipped flips it.
 */
#ifndef KVX_CODEC_SP_SP_STATE_H
#define KVX_CODEC_SP_SP_STATE_H

#include <stdint.h>

#include "codec_sp/sp_tables.h"

namespace kvx {

constexpr int kSpSubframe = 72;                  /* samples per subframe */
constexpr int kSpFrameSamples = 4 * kSpSubframe; /* 288 at the internal rate */
constexpr int kSpOutputSamples = 264;            /* 288 converted 12:11 */
constexpr int kSpHistory = 187;                  /* excitation history; entry d is d samples back */
constexpr int kSpMaxLag = 186;

/* Shared by the decode entry and the level meter. */
struct SpDecoderState {
    int32_t excitation[kSpHistory];     /* [d] = excitation d samples back, d = 1..186 */
    int32_t synthesis[kSpOrder + 1];    /* [i] = synthesis output i samples back, i = 1..14 */
    int32_t postInput[kSpOrder + 1];    /* [i] = postfilter input i samples back */
    int32_t postOutput[kSpOrder + 1];   /* [i] = postfilter denominator output i samples back */
    int32_t postGain_Q11;
    uint16_t noiseSeed;
    uint8_t filterScale;                /* 0: coefficients in Q13, 1: in Q12 (overflow fallback) */
    bool speechFlagMode;                /* bit 0x2 at the last decode entry; the level meter reads it */
    bool speechFlag;                    /* of the last frame fetched or skipped */
    uint8_t heldByte;                   /* first byte of the next frame when it starts mid-word */
};

/* What each entry keeps for itself: the decode entry and the level meter
 * have one of these each. */
struct SpChannelState {
    int32_t outputFilter;               /* last output of the first-order output filter */
    uint16_t noiseRun;                  /* consecutive noise frames, 0..60 */
    int16_t previousIndices[kSpOrder];  /* filter indices of the last frame */
};

/* The output stage of the decode entry. */
struct SpOutputState {
    int32_t rateHistory[kSpRateTaps];   /* last 6 inputs of the previous frame */
    int32_t held[kSpOutputSamples];     /* faded-out dropped frame, or a frame kept for insertion */
};

/* The fast paths (true, the default): the filters' sums taken modulo 2^32
 * on 16-bit copies of their operands where those fit (see sp_fixed.h),
 * products of 16-bit operands in 32 bits, and the postfilter's gain
 * smoothing run beside the next subframe's synthesis (sp_synthesis.cpp).
 * false keeps to the 64-bit sums everywhere; both give the same bits,
 * which the tests check by decoding with each. */
extern bool g_spFastPaths;

extern SpDecoderState g_sp;
extern SpChannelState g_spDecode;
extern SpChannelState g_spLevel;
extern SpOutputState g_spOutput;

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_STATE_H */
