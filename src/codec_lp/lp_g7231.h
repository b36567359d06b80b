/*
 * lp_g7231.h - the G.723.1 decoder inside the LP codec.
 *
 * ITU-T G.723.1 at 6.3 kbit/s (MP-MLQ excitation) with the comfort-noise
 * decoding of its Annex A, postfilter always on, 240 samples per 30 ms
 * frame.  The standard's frame-erasure handling is left out: every frame
 * decodes as what its frame-type field says.
 *
 * The library decodes with a few departures from the standard's arithmetic
 * (see "The library's arithmetic" in lp_g7231.cpp); g_lpStandardArithmetic
 * switches them off.
 */
#ifndef KVX_CODEC_LP_LP_G7231_H
#define KVX_CODEC_LP_LP_G7231_H

#include <stdint.h>

#include "codec_lp/lp_state.h"

namespace kvx {

constexpr uint32_t kLpActiveBytes = 24;
constexpr uint32_t kLpShortBytes = 4;    /* SID and untransmitted frames in a KVX stream */

/* Stored length of the frame whose first byte is `first`: bit 1 alone
 * decides, 4 bytes when set (SID, untransmitted), else 24. */
constexpr uint32_t lp_frame_bytes(uint8_t first)
{
    return (first & 2) ? kLpShortBytes : kLpActiveBytes;
}

struct LpSubframeParams {
    int16_t lagOffset;                  /* lag = open-loop lag + lagOffset - 1 */
    int16_t pitchGain;                  /* row of the pitch gain table */
    int16_t amplitude;                  /* pulse amplitude index 0..23 */
    int16_t grid;                       /* 0: even positions, 1: odd */
    int16_t train;                      /* repeat the pulses at the open-loop lag */
    int16_t signs;                      /* first pulse at the top bit; set = negative */
    int32_t positions;                  /* combinatorial position code */
};

struct LpFrameParams {
    int16_t type;                       /* LpFrameType */
    int16_t sidGainIndex;               /* SID frames: 6-bit noise gain index */
    int32_t lspIndex;                   /* three 8-bit codebook indices */
    int16_t openLoopLag[2];             /* subframes 0-1 and 2-3 */
    LpSubframeParams sub[kLpSubframes];
};

/* Reads the parameters of the frame at `frame` (24 bytes are read when
 * bit 1 of the first byte is clear, else 4) in the standard's bit order,
 * the least significant bit of the first byte first.  Frame-type field 00
 * is an active frame, 01 (5.3 kbit/s in the standard) an active frame
 * whose fields are not read, 10 a SID frame, 11 an untransmitted frame.
 * A lag code above 123 or a gain index at or past its table's end ends
 * the reading: that field and all after it keep the values of an all-zero
 * code, and the frame stays active. */
void lp_unpack(const uint8_t *frame, LpFrameParams *params);

/* The reset of control bit 0x1: decoder and comfort noise start afresh. */
void lp_reset();

/* Decodes one frame's parameters to 240 samples. */
void lp_decode_params(const LpFrameParams &params, int16_t out[kLpFrame]);

/* The synthesis filter and the formant postfilter (with tilt) on one
 * subframe in place, with its LPC coefficients; they use and update their
 * memories in g_lp.  The postfilter returns the input's energy for the
 * gain scaling.  Visible so that they can be tested alone. */
void lp_synthesis_filter(int16_t x[kLpSubframe], const int16_t lpc[kLpOrder]);
int32_t lp_formant_postfilter(int16_t x[kLpSubframe], const int16_t lpc[kLpOrder]);

/* lp_unpack and lp_decode_params. */
void lp_synthesise(const uint8_t *frame, int16_t out[kLpFrame]);

} // namespace kvx

#endif /* KVX_CODEC_LP_LP_G7231_H */
