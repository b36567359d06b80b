/*
 * sp_tables.h - the SP codec's constant tables.
 *
 * The Q format is in each name: _Q15 is a fraction of 32768, _Q11 of 2048.
 * Tables without a Q suffix hold plain integer factors.
 */
#ifndef KVX_CODEC_SP_SP_TABLES_H
#define KVX_CODEC_SP_SP_TABLES_H

#include <stdint.h>

namespace kvx {

constexpr int kSpOrder = 14;              /* synthesis filter order */
constexpr int kSpPulses = 7;              /* pulses per subframe */
constexpr int kSpPositions = 72;          /* pulse positions, one per subframe sample */

/* Reflection coefficients, one table per filter index 1..14 (entry 0 of
 * the outer array is unused), sized by the index widths: 32, 32, 16 x 6,
 * 8 x 6.  kSpReflection14Flag_Q15 replaces the 14th in speech-flag mode,
 * where that index has only 2 bits. */
extern const int16_t *const kSpReflection_Q15[kSpOrder + 1];
extern const uint8_t kSpReflectionSize[kSpOrder + 1];
extern const int16_t kSpReflection14Flag_Q15[4];

extern const int16_t kSpAdaptiveGain_Q11[32];   /* 0.05 .. 2.0 */
extern const int16_t kSpPulseGain[64];          /* 0 .. 5000, times a Q15 amplitude */
extern const int16_t kSpPulseAmplitude_Q15[8];  /* +-0.136 .. +-0.952 */
extern const int16_t kSpNoiseGain[32];          /* 0 .. 84, times a 16-bit noise value, Q14 */

/* Postfilter weights 0.5^i (numerator) and 0.8^i (denominator), i = 1..14
 * at index i; index 0 unused. */
extern const int16_t kSpPostNumWeight_Q15[kSpOrder + 1];
extern const int16_t kSpPostDenWeight_Q15[kSpOrder + 1];

/* Binomial coefficients C(c, k) for c = 0..71, k = 0..7 (576 entries, 2304
 * bytes), the digits of the pulse combination number system; made by the
 * compiler with Pascal's rule. */
struct SpBinomialTable {
    uint32_t v[kSpPositions][kSpPulses + 1];
};
constexpr SpBinomialTable sp_make_binomial()
{
    SpBinomialTable t{};
    for (int c = 0; c < kSpPositions; ++c) {
        t.v[c][0] = 1;
        for (int k = 1; k <= kSpPulses; ++k) t.v[c][k] = c == 0 ? 0 : t.v[c - 1][k - 1] + t.v[c - 1][k];
    }
    return t;
}
inline constexpr SpBinomialTable kSpBinomial = sp_make_binomial();
constexpr uint32_t kSpMaxCombination = 1473109703u;  /* C(72, 7) - 1 */
static_assert(kSpBinomial.v[71][7] + kSpBinomial.v[71][6] - 1 == kSpMaxCombination, "C(72,7) - 1");

/* The 12:11 rate converter's low-pass prototype, 66 taps in 11 phases of
 * 6; each phase sums to about 32768 (unity in Q15). */
constexpr int kSpRatePhases = 11;
constexpr int kSpRateTaps = 6;
extern const int32_t kSpRateFilter_Q15[kSpRatePhases * kSpRateTaps];

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_TABLES_H */
