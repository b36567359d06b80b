/*
 * lp_state.h - the LP codec's process-wide state.
 *
 * One decoder state serves the decode entry and the level meter alike (a
 * measurement disturbs a running decode).  It starts in the state that the
 * reset bit 0x1 gives, so that a first session whose control word never asks
 * for a reset does not decode from an all-zero state (previous LSP vector
 * zero, postfilter gain zero, comfort-noise seed zero), which the standard
 * never does.  The 11 kHz converter and the speed stage's held frame are
 * outside the reset.
 */
#ifndef KVX_CODEC_LP_LP_STATE_H
#define KVX_CODEC_LP_LP_STATE_H

#include <stdint.h>

#include "codec_lp/lp_tables.h"

namespace kvx {

/* Frame types, numbered as in the standard's decoder. */
enum LpFrameType : int16_t {
    kLpUntransmitted = 0,
    kLpActive = 1,
    kLpSid = 2,
};

struct LpDecoderState {
    /* G.723.1 decoder. */
    int16_t prevLsp[kLpOrder];          /* LSP vector of the last frame */
    int16_t prevExc[kLpPitchMax];       /* excitation history, oldest first */
    int16_t synthesis[kLpOrder];        /* synthesis filter outputs, newest first */
    int16_t postFir[kLpOrder];          /* formant postfilter inputs, newest first */
    int16_t postIir[kLpOrder];          /* formant postfilter outputs, newest first */
    int16_t tilt_Q15;                   /* smoothed first reflection coefficient */
    int16_t gain_Q12;                   /* smoothed gain of the gain scaling unit */
    /* Annex A comfort noise. */
    int16_t pastType;                   /* LpFrameType of the last frame */
    int16_t sidGain;                    /* after an active frame: excitation energy */
    int16_t curGain;                    /* after an active frame: its normalisation shift */
    int16_t sidLsp[kLpOrder];
    int16_t seed;                       /* random generator, 16 bits */
};

constexpr LpDecoderState lp_reset_state()
{
    LpDecoderState s{};
    for (int i = 0; i < kLpOrder; ++i) {
        s.prevLsp[i] = kLpLspDc[i];
        s.sidLsp[i] = kLpLspDc[i];
    }
    s.gain_Q12 = 4096;
    s.pastType = kLpActive;
    s.seed = 12345;
    return s;
}

/* The output handling of the decode entry. */
struct LpOutputState {
    int32_t w1;                         /* 11 kHz converter: newest filter state */
    int32_t w2;                         /* and the one before */
    int32_t held[kLpFrame];             /* speed stage: faded-out or kept frame */
};

extern LpDecoderState g_lp;
extern LpOutputState g_lpOutput;

/* The arithmetic switch: false (the library's arithmetic, always used by
 * the library) or true (the standard's, for proving the decoder against the
 * ITU references).  Internal; not reset by bit 0x1. */
extern bool g_lpStandardArithmetic;

/* The fast paths (true, the default): sums of products taken without
 * per-step saturation where a bound proves that no step saturates (see
 * lp_fixed.h).  false keeps to the saturating steps everywhere; both give
 * the same bits, which the tests check by decoding with each.  Internal;
 * not reset by bit 0x1. */
extern bool g_lpFastPaths;

} // namespace kvx

#endif /* KVX_CODEC_LP_LP_STATE_H */
