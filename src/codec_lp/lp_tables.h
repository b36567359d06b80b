/*
 * lp_tables.h - the LP decoder's tables and dimensions.
 *
 * The tables are figures of ITU-T G.723.1 (6.3 kbit/s) and of its Annex A
 * (comfort noise); only the columns that a decoder reads are kept.  LSPs
 * are in units where 32768 stands for pi; the suffix _Qn gives a table's
 * fixed-point format where its values are fractions.
 */
#ifndef KVX_CODEC_LP_LP_TABLES_H
#define KVX_CODEC_LP_LP_TABLES_H

#include <stdint.h>

namespace kvx {

constexpr int kLpOrder = 10;            /* LPC order, and LSPs per vector */
constexpr int kLpSubframes = 4;
constexpr int kLpSubframe = 60;         /* samples per subframe */
constexpr int kLpFrame = kLpSubframes * kLpSubframe; /* 240 samples, 30 ms at 8000 Hz */
constexpr int kLpPitchMax = 145;        /* excitation history: the longest lag plus taps */
constexpr int kLpPitchMin = 18;         /* lag of lag code 0 */
constexpr int kLpPitchTaps = 5;
constexpr int kLpLspCodes = 256;        /* entries per LSP band codebook */
constexpr int kLpCosinePoints = 512;
constexpr int kLpFcbkGains = 24;
constexpr int kLpMaxPulses = 6;
constexpr int kLpGridPositions = 30;    /* pulse positions per subframe and grid */
constexpr int kLpAcbkGains85 = 85;
constexpr int kLpAcbkGains170 = 170;

/* Mean LSP vector: removed before the LSP prediction and added back after
 * it; also the starting previous and comfort-noise LSP vectors.  Here so
 * that the decoder's starting state is a constant. */
inline constexpr int16_t kLpLspDc[kLpOrder] = {3131, 4721, 7690, 10806, 13872, 16495, 19752, 22260, 25484, 27718};

extern const int16_t kLpLspBand0[kLpLspCodes][3];          /* 1536 bytes */
extern const int16_t kLpLspBand1[kLpLspCodes][3];          /* 1536 bytes */
extern const int16_t kLpLspBand2[kLpLspCodes][4];          /* 2048 bytes */
extern const int16_t kLpCosine_Q14[kLpCosinePoints];        /* 1024 bytes */
extern const int16_t kLpPostZero_Q15[kLpOrder];
extern const int16_t kLpPostPole_Q15[kLpOrder];
extern const int16_t kLpPitchPostWeight_Q15;
extern const int16_t kLpFcbkGain[kLpFcbkGains];
extern const int16_t kLpPulses[kLpSubframes];
extern const int32_t kLpMaxPos[kLpSubframes];
extern const int32_t kLpCombinatorial[kLpMaxPulses][kLpGridPositions]; /* 720 bytes */
extern const int16_t kLpAcbkGain85_Q14[kLpAcbkGains85][kLpPitchTaps];   /* 850 bytes */
extern const int16_t kLpAcbkGain170_Q14[kLpAcbkGains170][kLpPitchTaps]; /* 1700 bytes */
extern const int16_t kLpNormShift[16];
extern const int32_t kLpSidEnergyBound[3];
extern const int16_t kLpSidGainBase[3];
extern const int16_t kLpSidEnergyScale_Q15;

} // namespace kvx

#endif /* KVX_CODEC_LP_LP_TABLES_H */
