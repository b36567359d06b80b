/* The G.723.1 decoder (see lp_g7231.h). */
#include "codec_lp/lp_g7231.h"

#include <string.h>

#include "codec_lp/lp_fixed.h"

namespace kvx {

using namespace lpx;

LpDecoderState g_lp = lp_reset_state();
bool g_lpStandardArithmetic = false;
bool g_lpFastPaths = true;

namespace {

/* ------------------------------------------------------------------------
 * The library's arithmetic.
 *
 * The library's decoder departs from the standard in two ways, both here:
 *  - the 16-bit results of the LSP prediction, the excitation sum, the
 *    synthesis filter, the pitch postfilter and the gain scaling are limited
 *    to -32767..32767 instead of -32768..32767 (limit_sym at each of those
 *    places; the formant postfilter keeps the standard's limits);
 *  - the adaptive codebook contribution is the five-tap sum shifted right
 *    by 14 without the rounding constant, limited the same way.
 * ---------------------------------------------------------------------- */

inline int16_t limit_sym(int16_t v)
{
    return (v == -32768 && !g_lpStandardArithmetic) ? int16_t{-32767} : v;
}

/* acc: the five-tap sum of Q14 gains times samples, as a Q31 value of
 * twice the sum shifted left by one (so its high half is the sum >> 14). */
inline int16_t pitch_sum_to_sample(int32_t acc)
{
    return g_lpStandardArithmetic ? round16(acc) : limit_sym(extract_h(acc));
}

/* ------------------------------------------------------------------------
 * Sums of products, by the fast path where it gives the same bits (see
 * lp_fixed.h) unless the switch holds the decoder to the exact steps.
 * ---------------------------------------------------------------------- */

/* The energy chain: L_mac(acc, v[i], v[i]) from acc = 0. */
inline int32_t sum_squares(const int16_t *v, int n)
{
    return g_lpFastPaths ? energy_sat(v, n) : mac_chain(0, v, v, n);
}

/* The chain L_mac(acc, a[i], b[i]); `terms` bounds 2 sum |a[i] b[i]|. */
inline int32_t correlate(int32_t acc, const int16_t *a, const int16_t *b, int n, int64_t terms)
{
    return g_lpFastPaths && chain_fits(acc, terms) ? acc + 2 * dot_plain(a, b, n) : mac_chain(acc, a, b, n);
}

/* ------------------------------------------------------------------------
 * Frame unpacking.
 * ---------------------------------------------------------------------- */

constexpr int kMaxLagCode = 123;       /* codes 124..127 are forbidden */
constexpr int kTrainLagBound = kLpSubframe - 2; /* open-loop lags below 58 use the 85-entry gains */

struct BitReader {
    const uint8_t *bytes;
    int position;
};

/* The next `width` bits, the first one read as the least significant. */
int32_t read_bits(BitReader &r, int width)
{
    int32_t v = 0;
    for (int k = 0; k < width; ++k, ++r.position)
        v |= static_cast<int32_t>((r.bytes[r.position >> 3] >> (r.position & 7)) & 1) << k;
    return v;
}

} // namespace

void lp_unpack(const uint8_t *frame, LpFrameParams *p)
{
    /* The parameters of an all-zero code: what an unread field keeps. */
    *p = LpFrameParams{};
    p->openLoopLag[0] = p->openLoopLag[1] = kLpPitchMin;
    p->sub[0].lagOffset = p->sub[2].lagOffset = 1;  /* fixed, not sent */

    BitReader r{frame, 0};
    const int32_t kind = read_bits(r, 2);
    if (kind == 3) {
        p->type = kLpUntransmitted;
        return;
    }
    p->type = kind == 2 ? kLpSid : kLpActive;
    /* A 5.3 kbit/s frame is not decoded as such: an active frame of the
     * all-zero code. */
    if (kind == 1) return;

    p->lspIndex = read_bits(r, 24);
    if (kind == 2) {
        p->sidGainIndex = static_cast<int16_t>(read_bits(r, 6));
        return;
    }

    for (int half = 0; half < 2; ++half) {
        const int32_t code = read_bits(r, 7);
        if (code > kMaxLagCode) return;
        p->openLoopLag[half] = static_cast<int16_t>(code + kLpPitchMin);
        p->sub[2 * half + 1].lagOffset = static_cast<int16_t>(read_bits(r, 2));
    }

    for (int i = 0; i < kLpSubframes; ++i) {
        int32_t code = read_bits(r, 12);
        int16_t train = 0;
        int32_t bound = kLpAcbkGains170;
        if (p->openLoopLag[i >> 1] < kTrainLagBound) {
            train = static_cast<int16_t>(code >> 11);
            code &= 0x7ff;
            bound = kLpAcbkGains85;
        }
        if (code / kLpFcbkGains >= bound) return;
        p->sub[i].train = train;
        p->sub[i].pitchGain = static_cast<int16_t>(code / kLpFcbkGains);
        p->sub[i].amplitude = static_cast<int16_t>(code % kLpFcbkGains);
    }

    for (int i = 0; i < kLpSubframes; ++i) p->sub[i].grid = static_cast<int16_t>(read_bits(r, 1));
    read_bits(r, 1); /* reserved */

    /* The top parts of the four position codes, combined in base 9. */
    const int32_t top = read_bits(r, 13);
    const int32_t high[kLpSubframes] = {(top / 90) / 9, (top / 90) % 9, (top % 90) / 9, (top % 90) % 9};
    const int lowBits[kLpSubframes] = {16, 14, 16, 14};
    for (int i = 0; i < kLpSubframes; ++i) p->sub[i].positions = (high[i] << lowBits[i]) + read_bits(r, lowBits[i]);
    for (int i = 0; i < kLpSubframes; ++i) p->sub[i].signs = static_cast<int16_t>(read_bits(r, kLpPulses[i]));
}

namespace {

/* ------------------------------------------------------------------------
 * LSP decoding and conversion to LPC coefficients.
 * ---------------------------------------------------------------------- */

constexpr int16_t kLspPredictor_Q15 = 12288;  /* 0.375 */
constexpr int16_t kLspMinFirst = 0x180;
constexpr int16_t kLspMaxLast = 0x7e00;
constexpr int16_t kLspMinSpacing = 0x100;
constexpr int kLspStabilityPasses = 10;

/* The LSP vector of `index`, predicted from `prev`. */
void lsp_decode(int16_t lsp[kLpOrder], const int16_t prev[kLpOrder], int32_t index)
{
    const int16_t *band0 = kLpLspBand0[(index >> 16) & 0xff];
    const int16_t *band1 = kLpLspBand1[(index >> 8) & 0xff];
    const int16_t *band2 = kLpLspBand2[index & 0xff];
    for (int j = 0; j < 3; ++j) {
        lsp[j] = band0[j];
        lsp[3 + j] = band1[j];
    }
    for (int j = 0; j < 4; ++j) lsp[6 + j] = band2[j];

    for (int j = 0; j < kLpOrder; ++j) {
        const int16_t prevAc = limit_sym(sub(prev[j], kLpLspDc[j]));
        lsp[j] = limit_sym(add(lsp[j], mult_r(prevAc, kLspPredictor_Q15)));
        lsp[j] = limit_sym(add(lsp[j], kLpLspDc[j]));
    }

    /* Push neighbours apart until they are at least the minimum distance
     * apart (less a small tolerance); give up after ten passes and keep
     * the previous vector. */
    bool unstable = false;
    for (int pass = 0; pass < kLspStabilityPasses; ++pass) {
        if (lsp[0] < kLspMinFirst) lsp[0] = kLspMinFirst;
        if (lsp[kLpOrder - 1] > kLspMaxLast) lsp[kLpOrder - 1] = kLspMaxLast;
        for (int i = 1; i < kLpOrder; ++i) {
            int16_t overlap = sub(add(kLspMinSpacing, lsp[i - 1]), lsp[i]);
            if (overlap > 0) {
                overlap = shr(overlap, 1);
                lsp[i - 1] = sub(lsp[i - 1], overlap);
                lsp[i] = add(lsp[i], overlap);
            }
        }
        unstable = false;
        for (int i = 1; i < kLpOrder; ++i) {
            if (sub(sub(add(lsp[i - 1], kLspMinSpacing), 4), lsp[i]) > 0) unstable = true;
        }
        if (!unstable) break;
    }
    if (unstable) memcpy(lsp, prev, sizeof(int16_t) * kLpOrder);
}

/* cos(lsp) in Q15, negated, by the table and linear interpolation on the
 * low 7 bits.  The table is one period: a negative LSP (which the
 * stability correction can leave on odd input) reads it periodically. */
int16_t lsp_cosine(int16_t lsp)
{
    const int j = (lsp >> 7) & (kLpCosinePoints - 1);
    const int next = (j + 1) & (kLpCosinePoints - 1);
    int32_t acc = L_deposit_h(kLpCosine_Q14[j]);
    const int16_t slope = sub(kLpCosine_Q14[next], kLpCosine_Q14[j]);
    acc = L_mac(acc, slope, static_cast<int16_t>(((lsp & 0x7f) << 8) + 0x80));
    acc = L_shl(acc, 1);
    return negate(round16(acc));
}

/* Converts an LSP vector in place to the coefficients of the synthesis
 * filter, through the sum and difference polynomials P and Q. */
void lsp_to_lpc(int16_t a[kLpOrder])
{
    int16_t c[kLpOrder];
    for (int i = 0; i < kLpOrder; ++i) c[i] = lsp_cosine(a[i]);

    int32_t p[kLpOrder / 2 + 1];
    int32_t q[kLpOrder / 2 + 1];
    p[0] = 0x10000000;
    p[1] = L_mac(L_mult(c[0], 0x2000), c[2], 0x2000);
    p[2] = L_add(L_shr(L_mult(c[0], c[2]), 1), 0x20000000);
    q[0] = 0x10000000;
    q[1] = L_mac(L_mult(c[1], 0x2000), c[3], 0x2000);
    q[2] = L_add(L_shr(L_mult(c[1], c[3]), 1), 0x20000000);

    for (int i = 2; i < kLpOrder / 2; ++i) {
        p[i + 1] = L_add(L_mls(p[i], c[2 * i]), p[i - 1]);
        q[i + 1] = L_add(L_mls(q[i], c[2 * i + 1]), q[i - 1]);
        for (int j = i; j >= 2; --j) {
            p[j] = L_add(L_add(L_mls(p[j - 1], c[2 * i]), L_shr(p[j], 1)), L_shr(p[j - 2], 1));
            q[j] = L_add(L_add(L_mls(q[j - 1], c[2 * i + 1]), L_shr(q[j], 1)), L_shr(q[j - 2], 1));
        }
        p[0] = L_shr(p[0], 1);
        q[0] = L_shr(q[0], 1);
        p[1] = L_shr(L_add(L_shr(L_deposit_h(c[2 * i]), i), p[1]), 1);
        q[1] = L_shr(L_add(L_shr(L_deposit_h(c[2 * i + 1]), i), q[1]), 1);
    }

    for (int i = 0; i < kLpOrder / 2; ++i) {
        int32_t acc = L_add(L_sub(L_add(p[i], p[i + 1]), q[i]), q[i + 1]);
        a[i] = negate(round16(L_shl(acc, 3)));
        acc = L_sub(L_add(L_add(p[i], p[i + 1]), q[i]), q[i + 1]);
        a[kLpOrder - 1 - i] = negate(round16(L_shl(acc, 3)));
    }
}

/* The four subframes' filters: the LSP vectors 1/4, 2/4, 3/4 and all of
 * the way from `prev` to `cur` (weights in Q14, so that the last is `cur`
 * exactly). */
void lsp_interpolate(int16_t lpc[kLpSubframes][kLpOrder], const int16_t cur[kLpOrder], const int16_t prev[kLpOrder])
{
    int16_t weight_Q14 = 0x1000;
    for (int s = 0; s < kLpSubframes; ++s) {
        for (int j = 0; j < kLpOrder; ++j) {
            const int32_t acc = L_mac(L_mult(cur[j], weight_Q14), prev[j], sub(0x4000, weight_Q14));
            lpc[s][j] = round16(L_shl(acc, 1));
        }
        lsp_to_lpc(lpc[s]);
        weight_Q14 = add(weight_Q14, 0x1000);
    }
}

/* ------------------------------------------------------------------------
 * Excitation.
 * ---------------------------------------------------------------------- */

/* The adaptive codebook contribution of one subframe.  `history` holds the
 * kLpPitchMax excitation samples before the subframe. */
void pitch_contribution(int16_t out[kLpSubframe], const int16_t *history, int openLoopLag, int lagOffset, int gainIndex)
{
    const int lag = openLoopLag - 1 + lagOffset;
    constexpr int kHalf = kLpPitchTaps / 2;
    int16_t line[kLpSubframe + kLpPitchTaps - 1];
    for (int i = 0; i < kHalf; ++i) line[i] = history[kLpPitchMax - lag - kHalf + i];
    /* A lag shorter than the subframe repeats the last period. */
    for (int i = 0; i < kLpSubframe + kHalf; ++i) line[kHalf + i] = history[kLpPitchMax - lag + i % lag];

    const int16_t *gain = openLoopLag >= kTrainLagBound ? kLpAcbkGain170_Q14[gainIndex] : kLpAcbkGain85_Q14[gainIndex];
    const int64_t terms = 2 * int64_t{max_abs(line, kLpSubframe + kLpPitchTaps - 1)} * sum_abs(gain, kLpPitchTaps);
    for (int i = 0; i < kLpSubframe; ++i) {
        const int32_t acc = correlate(0, line + i, gain, kLpPitchTaps, terms);
        out[i] = pitch_sum_to_sample(L_shl(acc, 1));
    }
}

/* The MP-MLQ pulses of subframe `sf`. */
void pulse_contribution(int16_t out[kLpSubframe], const LpSubframeParams &s, int openLoopLag, int sf)
{
    memset(out, 0, sizeof(int16_t) * kLpSubframe);
    if (s.positions >= kLpMaxPos[sf]) return;

    /* The position code enumerates the choices of the pulse positions in
     * ascending order: at each grid position, the codes below the number
     * of choices that put the next pulse there do so. */
    int32_t code = s.positions;
    int used = kLpMaxPulses - kLpPulses[sf];
    const int16_t amplitude = kLpFcbkGain[s.amplitude];
    for (int i = 0; i < kLpGridPositions; ++i) {
        code = L_sub(code, kLpCombinatorial[used][i]);
        if (code < 0) {
            code = L_add(code, kLpCombinatorial[used][i]);
            ++used;
            const bool negative = (s.signs & (1 << (kLpMaxPulses - used))) != 0;
            out[s.grid + 2 * i] = negative ? static_cast<int16_t>(-amplitude) : amplitude;
            if (used == kLpMaxPulses) break;
        }
    }

    if (s.train) {
        /* Repeat the pulses at multiples of the open-loop lag. */
        int16_t once[kLpSubframe];
        memcpy(once, out, sizeof once);
        for (int offset = openLoopLag; offset < kLpSubframe; offset += openLoopLag) {
            for (int i = offset; i < kLpSubframe; ++i) out[i] = add(out[i], once[i - offset]);
        }
    }
}

/* Scales `v` up so that its largest magnitude has three bits of headroom
 * below full scale; returns the shift (negative: scaled down). */
int vector_normalise(int16_t *v, int n)
{
    int16_t largest = 0;
    for (int i = 0; i < n; ++i) {
        const int16_t m = abs_s(v[i]);
        if (m > largest) largest = m;
    }
    const int shift = norm_s(largest);
    const int16_t factor = kLpNormShift[shift];
    for (int i = 0; i < n; ++i) v[i] = extract_l(L_shr(L_mult(factor, v[i]), 4));
    return shift - 3;
}

/* The energy of the frame's last two subframes of excitation, kept for
 * comfort noise in case the SID frame after speech is missing: `energy`
 * of the normalised excitation, `shift` its normalisation.  (The standard
 * finds the erasure handling's voicing lag in the same pass; it is not
 * needed here.)  `buffer` is history and frame and is left normalised. */
void excitation_energy(int16_t *buffer, int openLoopLag, int16_t *energy, int16_t *shift)
{
    *shift = static_cast<int16_t>(vector_normalise(buffer, kLpPitchMax + kLpFrame));
    constexpr int kStart = kLpPitchMax + kLpFrame - 2 * kLpSubframe;
    if (openLoopLag > kLpPitchMax - 3) openLoopLag = kLpPitchMax - 3;
    /* The energy is kept only when some lag around the open-loop lag
     * correlates positively with the excitation. */
    constexpr int kLength = 2 * kLpSubframe;
    const int64_t targetSquares = sum_of_squares(buffer + kStart, kLength);
    int32_t best = 0;
    for (int lag = openLoopLag - 3; lag <= openLoopLag + 3; ++lag) {
        const int16_t *past = buffer + kStart - lag;
        const bool fits = chain_fits_energies(targetSquares, sum_of_squares(past, kLength));
        const int32_t acc = correlate(0, buffer + kStart, past, kLength, fits ? 0 : kMax32 + int64_t{1});
        if (acc > best) best = acc;
    }
    if (best == 0) {
        *energy = 0;
        return;
    }
    *energy = round16(sum_squares(buffer + kStart, kLength));
}

/* ------------------------------------------------------------------------
 * Pitch postfilter.
 * ---------------------------------------------------------------------- */

struct PitchFilter {
    int16_t offset;                     /* samples to the matching period: < 0 back, > 0 ahead */
    int16_t gain_Q15;
    int16_t scale_Q15;
};

/* Lag of best positive correlation between subframe `sf` and the signal
 * `lag` samples before it (backward) or after it (forward, only where the
 * whole window stays inside the frame), lags open-loop lag +-3. */
int best_lag(const int16_t *buffer, int openLoopLag, int sf, bool forward, int64_t terms)
{
    if (openLoopLag > kLpPitchMax - 3) openLoopLag = kLpPitchMax - 3;
    const int16_t *x = buffer + kLpPitchMax + sf * kLpSubframe;
    int32_t best = 0;
    int result = 0;
    for (int lag = openLoopLag - 3; lag <= openLoopLag + 3; ++lag) {
        int32_t acc = 0;
        if (!forward || sf * kLpSubframe + kLpSubframe + lag <= kLpFrame) {
            const int16_t *y = forward ? x + lag : x - lag;
            acc = correlate(0, x, y, kLpSubframe, terms);
        }
        if (acc > best) {
            best = acc;
            result = forward ? lag : -lag;
        }
    }
    return result;
}

PitchFilter pitch_filter_gains(int offset, int16_t target, int16_t cross, int16_t energy)
{
    PitchFilter f{static_cast<int16_t>(offset), 0, 0x7fff};
    /* Filter only where the prediction gain is above about 1.25 dB. */
    if (L_mult(cross, cross) > L_shr(L_mult(target, energy), 2)) {
        if (cross >= energy) {
            f.gain_Q15 = kLpPitchPostWeight_Q15;
        } else {
            f.gain_Q15 = mult(div_s(cross, energy), kLpPitchPostWeight_Q15);
        }
        /* Scale so that the filtered subframe keeps the energy of the
         * unfiltered one. */
        int32_t acc = L_shr(L_deposit_h(target), 1);
        acc = L_mac(acc, cross, f.gain_Q15);
        acc = L_add(acc, L_shr(L_mult(energy, mult(f.gain_Q15, f.gain_Q15)), 1));
        const int16_t filtered = round16(acc);
        const int32_t half = L_shr(L_deposit_h(target), 1);
        const int16_t ratio = half >= L_deposit_h(filtered) ? int16_t{0x7fff} : div_l(half, filtered);
        f.scale_Q15 = sqrt_q(L_deposit_h(ratio));
    } else {
        f.gain_Q15 = 0;
    }
    f.gain_Q15 = mult(f.gain_Q15, f.scale_Q15);
    return f;
}

/* `largest` bounds the magnitudes in `buffer`. */
PitchFilter pitch_filter(const int16_t *buffer, int openLoopLag, int sf, int32_t largest)
{
    const int64_t terms = chain_terms(kLpSubframe, largest, largest);
    const int back = best_lag(buffer, openLoopLag, sf, false, terms);
    const int ahead = best_lag(buffer, openLoopLag, sf, true, terms);
    if (back == 0 && ahead == 0) return PitchFilter{0, 0, 0x7fff};

    const int16_t *x = buffer + kLpPitchMax + sf * kLpSubframe;
    int32_t sums[5] = {0, 0, 0, 0, 0};  /* target energy; backward and forward cross and energy */
    sums[0] = sum_squares(x, kLpSubframe);
    if (back != 0) {
        sums[1] = correlate(0, x, x + back, kLpSubframe, terms);
        sums[2] = sum_squares(x + back, kLpSubframe);
    }
    if (ahead != 0) {
        sums[3] = correlate(0, x, x + ahead, kLpSubframe, terms);
        sums[4] = sum_squares(x + ahead, kLpSubframe);
    }
    int32_t largestSum = 0;
    for (int32_t s : sums) {
        if (s > largestSum) largestSum = s;
    }
    const int shift = norm_l(largestSum);
    int16_t n[5];
    for (int i = 0; i < 5; ++i) n[i] = extract_h(L_shl(sums[i], shift));

    if (ahead == 0) return pitch_filter_gains(back, n[0], n[1], n[2]);
    if (back == 0) return pitch_filter_gains(ahead, n[0], n[3], n[4]);
    /* Both: the one with the larger normalised correlation. */
    const int32_t backScore = L_mult(mult_r(n[1], n[1]), n[4]);
    const int32_t aheadScore = L_mult(mult_r(n[3], n[3]), n[2]);
    return backScore > aheadScore ? pitch_filter_gains(back, n[0], n[1], n[2]) : pitch_filter_gains(ahead, n[0], n[3], n[4]);
}

/* ------------------------------------------------------------------------
 * Synthesis, formant postfilter and gain scaling.
 * ---------------------------------------------------------------------- */

constexpr int16_t kTiltFactor_Q15 = -16384;

} // namespace

/* The filters below run along a line: the filter's memory, oldest first,
 * then the subframe's samples, so that sample i reads its ten predecessors
 * at line[i .. i + kLpOrder) against the coefficients reversed.  The fast
 * path's bound for a sample uses the largest magnitude on the line so far,
 * which bounds every value the sample reads. */

void lp_synthesis_filter(int16_t *x, const int16_t lpc[kLpOrder])
{
    int16_t line[kLpOrder + kLpSubframe];
    int16_t reversed[kLpOrder];
    for (int j = 0; j < kLpOrder; ++j) {
        line[kLpOrder - 1 - j] = g_lp.synthesis[j];
        reversed[kLpOrder - 1 - j] = lpc[j];
    }
    const int32_t coefSum = sum_abs(lpc, kLpOrder);
    int32_t largest = max_abs(line, kLpOrder);
    for (int i = 0; i < kLpSubframe; ++i) {
        const int16_t *past = line + i;
        int32_t acc = L_shr(L_deposit_h(x[i]), 3);
        if (g_lpFastPaths && chain_fits(acc, 2 * int64_t{largest} * coefSum)) {
            acc += 2 * dot_plain(reversed, past, kLpOrder);
        } else {
            for (int j = 0; j < kLpOrder; ++j) acc = L_mac(acc, lpc[j], past[kLpOrder - 1 - j]);
        }
        const int16_t y = limit_sym(round16(L_shl(acc, 2)));
        line[kLpOrder + i] = y;
        x[i] = y;
        if (magnitude(y) > largest) largest = magnitude(y);
    }
    for (int j = 0; j < kLpOrder; ++j) g_lp.synthesis[j] = line[kLpSubframe + kLpOrder - 1 - j];
}

int32_t lp_formant_postfilter(int16_t *x, const int16_t lpc[kLpOrder])
{
    int16_t fir[kLpOrder];
    int16_t iir[kLpOrder];
    for (int i = 0; i < kLpOrder; ++i) {
        fir[i] = mult_r(lpc[i], kLpPostZero_Q15[i]);
        iir[i] = mult_r(lpc[i], kLpPostPole_Q15[i]);
    }

    int16_t norm[kLpSubframe];
    memcpy(norm, x, sizeof norm);
    const int shift = vector_normalise(norm, kLpSubframe);
    const int32_t largestNorm = max_abs(norm, kLpSubframe);
    const int32_t r1 = correlate(0, norm + 1, norm, kLpSubframe - 1, chain_terms(kLpSubframe - 1, largestNorm, largestNorm));
    const int32_t r0 = sum_squares(norm, kLpSubframe);
    const int32_t energy = L_shr(r0, 2 * shift + 4);

    /* First reflection coefficient, smoothed 3/4 old, 1/4 new. */
    int16_t k1 = 0;
    const int16_t r0High = extract_h(r0);
    if (r0High != 0) {
        const int32_t half = L_shr(r1, 1);
        k1 = div_l(L_abs(half), r0High);
        if (half < 0) k1 = negate(k1);
    }
    int32_t acc = L_deposit_h(g_lp.tilt_Q15);
    acc = L_msu(acc, g_lp.tilt_Q15, 0x2000);
    acc = L_mac(acc, k1, 0x2000);
    g_lp.tilt_Q15 = round16(acc);
    const int16_t tilt = static_cast<int16_t>(mult(g_lp.tilt_Q15, kTiltFactor_Q15) & ~3);

    /* Lines of the inputs and of the outputs before the tilt. */
    int16_t in[kLpOrder + kLpSubframe];
    int16_t out[kLpOrder + kLpSubframe];
    int16_t firReversed[kLpOrder];
    int16_t iirReversed[kLpOrder];
    for (int j = 0; j < kLpOrder; ++j) {
        in[kLpOrder - 1 - j] = g_lp.postFir[j];
        out[kLpOrder - 1 - j] = g_lp.postIir[j];
        firReversed[kLpOrder - 1 - j] = fir[j];
        iirReversed[kLpOrder - 1 - j] = iir[j];
    }
    memcpy(in + kLpOrder, x, sizeof(int16_t) * kLpSubframe);
    const int64_t firTerms = 2 * int64_t{max_abs(in, kLpOrder + kLpSubframe)} * sum_abs(fir, kLpOrder);
    const int32_t iirSum = sum_abs(iir, kLpOrder);
    int32_t largestOut = max_abs(out, kLpOrder);
    for (int i = 0; i < kLpSubframe; ++i) {
        const int16_t *pastIn = in + i;
        const int16_t *pastOut = out + i;
        acc = L_shr(L_deposit_h(x[i]), 2);
        if (g_lpFastPaths && chain_fits(acc, firTerms + 2 * int64_t{largestOut} * iirSum)) {
            acc += 2 * (dot_plain(iirReversed, pastOut, kLpOrder) - dot_plain(firReversed, pastIn, kLpOrder));
        } else {
            for (int j = 0; j < kLpOrder; ++j) acc = L_msu(acc, pastIn[kLpOrder - 1 - j], fir[j]);
            for (int j = 0; j < kLpOrder; ++j) acc = L_mac(acc, pastOut[kLpOrder - 1 - j], iir[j]);
        }
        acc = L_shl(acc, 2);
        const int16_t y = round16(acc);
        out[kLpOrder + i] = y;
        x[i] = round16(L_mac(acc, pastOut[kLpOrder - 1], tilt));
        if (magnitude(y) > largestOut) largestOut = magnitude(y);
    }
    for (int j = 0; j < kLpOrder; ++j) {
        g_lp.postFir[j] = in[kLpSubframe + kLpOrder - 1 - j];
        g_lp.postIir[j] = out[kLpSubframe + kLpOrder - 1 - j];
    }
    return energy;
}

namespace {

/* Brings the postfiltered subframe to the energy of the unfiltered one,
 * with the gain smoothed per sample. */
void gain_scaling(int16_t *x, int32_t inputEnergy)
{
    int16_t quarter[kLpSubframe];
    for (int i = 0; i < kLpSubframe; ++i) quarter[i] = shr(x[i], 2);
    const int32_t outputEnergy = sum_squares(quarter, kLpSubframe);

    int16_t target_Q12 = 0x1000;
    if (inputEnergy != 0 && outputEnergy != 0) {
        const int outShift = norm_l(outputEnergy);
        const int32_t out = L_shl(outputEnergy, outShift);
        const int inShift = norm_l(inputEnergy);
        int32_t in = L_shl(inputEnergy, inShift - 1);
        int shift = 6 - (outShift - inShift + 1);
        if (shift < 0) {
            in = L_shl(in, shift);
            shift = 0;
        }
        const int16_t ratio = div_l(in, extract_h(out));
        target_Q12 = sqrt_q(L_shr(L_deposit_h(ratio), shift));
    }

    for (int i = 0; i < kLpSubframe; ++i) {
        int32_t acc = L_deposit_h(g_lp.gain_Q12);
        acc = L_msu(acc, g_lp.gain_Q12, 0x0800);
        acc = L_mac(acc, target_Q12, 0x0800);
        g_lp.gain_Q12 = round16(acc);
        const int16_t gain = add(g_lp.gain_Q12, shr(g_lp.gain_Q12, 4));
        x[i] = limit_sym(round16(L_shl(L_mult(x[i], gain), 4)));
    }
}

/* ------------------------------------------------------------------------
 * Annex A comfort noise.
 * ---------------------------------------------------------------------- */

constexpr int kCngBlock = 2 * kLpSubframe;   /* random excitation is built per subframe pair */
constexpr int kCngPulses = 11;                /* 6 + 5 per pair */
constexpr int16_t kInvCngPulses_Q15 = 2979;   /* 1/11 */
constexpr int16_t kCngPulseLimit = 2 * 5000;
constexpr int16_t kCngPitchGains = 50;
constexpr int16_t kCngLagBase = 123;
constexpr int16_t kSeedAfterSpeech = 12345;

/* The standard's generator: seed = seed x 521 + 259 on 16 bits. */
int16_t random_draw(int16_t range, int16_t *seed)
{
    const uint32_t next = static_cast<uint32_t>(static_cast<uint16_t>(*seed)) * 521u + 259u;
    *seed = static_cast<int16_t>(static_cast<uint16_t>(next));
    return mult(static_cast<int16_t>(*seed & 0x7fff), range);
}

/* 6-bit SID gain index to the gain. */
int16_t sid_gain_value(int16_t index)
{
    int segment = index >> 4;
    if (segment == 3) segment = 2;
    const int16_t step = static_cast<int16_t>(index - (segment << 4));
    return shl(add(shl(step, segment + 1), kLpSidGainBase[segment]), 5);
}

/* Quantises the energy kept after the last active frame (normalised
 * energy and its shift) to a SID gain index. */
int16_t sid_gain_index(int16_t energy, int16_t shift)
{
    int32_t x = L_shl(int32_t{energy}, 16 - 2 * shift);
    x = L_mls(x, kLpSidEnergyScale_Q15);  /* twice the mean energy per sample */
    if (x >= kLpSidEnergyBound[2]) return 63;

    int segment;
    int bits;
    if (x >= kLpSidEnergyBound[1]) {
        segment = 2;
        bits = 4;
    } else {
        segment = x >= kLpSidEnergyBound[0] ? 1 : 0;
        bits = 3;
    }
    auto level = [segment](int16_t j) { return add(kLpSidGainBase[segment], shl(j, segment + 1)); };
    int16_t j = static_cast<int16_t>(1 << bits);
    int16_t k = static_cast<int16_t>(j >> 1);
    for (int i = 0; i < bits; ++i) {
        const int16_t l = level(j);
        j = x >= L_mult(l, l) ? add(j, k) : sub(j, k);
        k = shr(k, 1);
    }
    const int16_t l = level(j);
    const int32_t above = L_sub(L_mult(l, l), x);
    int16_t other;
    bool keep;
    if (above <= 0) {
        other = add(j, 1);
        const int16_t lo = level(other);
        keep = above > L_sub(x, L_mult(lo, lo));
    } else {
        other = sub(j, 1);
        const int16_t lo = level(other);
        keep = above < L_sub(x, L_mult(lo, lo));
    }
    return add(static_cast<int16_t>(segment << 4), keep ? j : other);
}

/* Random excitation at `gain` for one frame into `exc`; updates the
 * excitation history per subframe pair. */
void random_excitation(int16_t gain, int16_t *exc)
{
    int16_t *seed = &g_lp.seed;
    int16_t lag[2];
    lag[0] = static_cast<int16_t>(random_draw(21, seed) + kCngLagBase);
    lag[1] = static_cast<int16_t>(random_draw(19, seed) + kCngLagBase);
    int16_t pitchGain[kLpSubframes];
    for (int i = 0; i < kLpSubframes; ++i) pitchGain[i] = static_cast<int16_t>(random_draw(kCngPitchGains, seed) + 1);
    static const int16_t kLagOffset[kLpSubframes] = {1, 0, 1, 3};

    /* Grids and signs: one draw per pair. */
    int16_t offset[kLpSubframes];
    int16_t sign[2 * kCngPulses];
    for (int b = 0; b < 2; ++b) {
        int16_t t = random_draw(1 << (kCngPulses + 2), seed);
        offset[2 * b] = static_cast<int16_t>(t & 1);
        t = shr(t, 1);
        offset[2 * b + 1] = static_cast<int16_t>(kLpSubframe + (t & 1));
        for (int i = 0; i < kCngPulses; ++i) {
            sign[b * kCngPulses + i] = shl(static_cast<int16_t>((t & 2) - 1), 14);
            t = shr(t, 1);
        }
    }

    /* Positions: drawn without replacement from the 30 of the grid. */
    int16_t position[2 * kCngPulses];
    int n = 0;
    for (int sf = 0; sf < kLpSubframes; ++sf) {
        int16_t free[kLpGridPositions];
        for (int i = 0; i < kLpGridPositions; ++i) free[i] = static_cast<int16_t>(i);
        int16_t left = kLpGridPositions;
        for (int i = 0; i < kLpPulses[sf]; ++i) {
            const int16_t j = random_draw(left, seed);
            position[n++] = add(shl(free[j], 1), offset[sf]);
            --left;
            free[j] = free[left];
        }
    }

    for (int b = 0; b < 2; ++b) {
        int16_t *cur = exc + b * kCngBlock;
        const int16_t *pos = position + b * kCngPulses;
        const int16_t *sgn = sign + b * kCngPulses;
        /* The pitch lags are longer than a pair: both subframes read only
         * the history from before the pair. */
        pitch_contribution(cur, g_lp.prevExc, lag[b], kLagOffset[2 * b], pitchGain[2 * b]);
        pitch_contribution(cur + kLpSubframe, g_lp.prevExc + kLpSubframe, lag[b], kLagOffset[2 * b + 1], pitchGain[2 * b + 1]);

        /* Pulse amplitude x such that the pair's energy is kCngBlock x
         * gain^2: the root of x^2 + 2 b0 x + c nearer to zero. */
        int16_t largest = 0;
        for (int i = 0; i < kCngBlock; ++i) {
            const int16_t m = abs_s(cur[i]);
            if (m > largest) largest = m;
        }
        int shift = 0;
        if (largest != 0) {
            shift = 4 - norm_s(largest);  /* four bits of headroom */
            if (shift < -2) shift = -2;
        }
        int16_t scaled[kCngBlock];
        int32_t pitchEnergy = 0;
        for (int i = 0; i < kCngBlock; ++i) {
            scaled[i] = shr(cur[i], shift);
            pitchEnergy = L_mac(pitchEnergy, scaled[i], scaled[i]);
        }
        int32_t acc = 0;
        for (int i = 0; i < kCngPulses; ++i) acc = L_mac(acc, scaled[pos[i]], sgn[i]);
        const int16_t cross = extract_h(L_shl(acc, 1));

        /* The pair's target energy, 2 x 120 x (gain / 32)^2 in the
         * scale of pitchEnergy, formed as 60 x gain^2 so that no 16-bit
         * intermediate overflows. */
        acc = L_shr(L_mult(gain, kLpSubframe), 6);
        acc = L_mult(extract_l(acc), gain);
        acc = L_shr(acc, 2 * shift + 4);
        const int32_t c = L_mls(L_sub(pitchEnergy, acc), kInvCngPulses_Q15);

        const int16_t b0 = mult_r(cross, kInvCngPulses_Q15);
        const int32_t delta = L_negate(L_msu(c, b0, b0));
        int16_t x;
        if (delta <= 0) {
            x = negate(b0);
        } else {
            const int16_t root = sqrt_q(delta);
            x = sub(root, b0);
            const int16_t other = add(b0, root);
            if (abs_s(other) < abs_s(x)) x = negate(other);
        }
        int16_t amplitude = shl(x, shift + 1);
        if (amplitude > kCngPulseLimit) amplitude = kCngPulseLimit;
        if (amplitude < -kCngPulseLimit) amplitude = -kCngPulseLimit;
        for (int i = 0; i < kCngPulses; ++i) cur[pos[i]] = add(cur[pos[i]], mult(amplitude, sgn[i]));

        memmove(g_lp.prevExc, g_lp.prevExc + kCngBlock, sizeof(int16_t) * (kLpPitchMax - kCngBlock));
        memcpy(g_lp.prevExc + kLpPitchMax - kCngBlock, cur, sizeof(int16_t) * kCngBlock);
    }
}

/* A SID or untransmitted frame: excitation and filters of comfort noise. */
void comfort_noise(const LpFrameParams &p, int16_t *exc, int16_t lpc[kLpSubframes][kLpOrder])
{
    if (p.type == kLpSid) {
        g_lp.sidGain = sid_gain_value(p.sidGainIndex);
        lsp_decode(g_lp.sidLsp, g_lp.prevLsp, p.lspIndex);
    } else if (g_lp.pastType == kLpActive) {
        /* The SID frame after speech is missing: requantise the energy
         * kept from the last active frame. */
        g_lp.sidGain = sid_gain_value(sid_gain_index(g_lp.sidGain, g_lp.curGain));
    }

    if (g_lp.pastType == kLpActive) {
        g_lp.curGain = g_lp.sidGain;
    } else {
        /* 7/8 of the current gain and 1/8 of the SID gain. */
        g_lp.curGain = extract_h(L_add(L_mult(g_lp.curGain, 0x7000), L_mult(g_lp.sidGain, 0x1000)));
    }
    random_excitation(g_lp.curGain, exc);

    lsp_interpolate(lpc, g_lp.sidLsp, g_lp.prevLsp);
    memcpy(g_lp.prevLsp, g_lp.sidLsp, sizeof g_lp.prevLsp);
}

/* An active frame: excitation (pitch-postfiltered) and filters. */
void active_frame(const LpFrameParams &p, int16_t *exc, int16_t lpc[kLpSubframes][kLpOrder])
{
    int16_t lsp[kLpOrder];
    lsp_decode(lsp, g_lp.prevLsp, p.lspIndex);
    lsp_interpolate(lpc, lsp, g_lp.prevLsp);
    memcpy(g_lp.prevLsp, lsp, sizeof lsp);

    int16_t buffer[kLpPitchMax + kLpFrame];
    memcpy(buffer, g_lp.prevExc, sizeof g_lp.prevExc);
    for (int sf = 0; sf < kLpSubframes; ++sf) {
        int16_t *x = buffer + kLpPitchMax + sf * kLpSubframe;
        const LpSubframeParams &s = p.sub[sf];
        const int lag = p.openLoopLag[sf >> 1];
        int16_t pitch[kLpSubframe];
        pulse_contribution(x, s, lag, sf);
        pitch_contribution(pitch, buffer + sf * kLpSubframe, lag, s.lagOffset, s.pitchGain);
        for (int i = 0; i < kLpSubframe; ++i) x[i] = limit_sym(add(shl(x[i], 1), pitch[i]));
    }
    memcpy(exc, buffer + kLpPitchMax, sizeof(int16_t) * kLpFrame);

    /* Energy for comfort noise.  This normalises the buffer, and the
     * pitch postfilter's correlations are taken on the normalised signal
     * (which keeps them from saturating); the filter itself runs on the
     * excitation, reloaded. */
    excitation_energy(buffer, p.openLoopLag[1], &g_lp.sidGain, &g_lp.curGain);
    PitchFilter filter[kLpSubframes];
    const int32_t largest = max_abs(buffer, kLpPitchMax + kLpFrame);
    for (int sf = 0; sf < kLpSubframes; ++sf) filter[sf] = pitch_filter(buffer, p.openLoopLag[sf >> 1], sf, largest);
    memcpy(buffer, g_lp.prevExc, sizeof g_lp.prevExc);
    memcpy(buffer + kLpPitchMax, exc, sizeof(int16_t) * kLpFrame);
    memcpy(g_lp.prevExc, buffer + kLpFrame, sizeof g_lp.prevExc);
    for (int sf = 0; sf < kLpSubframes; ++sf) {
        const int16_t *x = buffer + kLpPitchMax + sf * kLpSubframe;
        const PitchFilter &f = filter[sf];
        for (int i = 0; i < kLpSubframe; ++i) {
            const int32_t acc = L_mac(L_mult(x[i], f.scale_Q15), x[f.offset + i], f.gain_Q15);
            exc[sf * kLpSubframe + i] = limit_sym(round16(acc));
        }
    }

    /* Annex A after an active frame: comfort noise would start from this
     * frame's filter and a fresh generator. */
    memcpy(g_lp.sidLsp, g_lp.prevLsp, sizeof g_lp.sidLsp);
    g_lp.seed = kSeedAfterSpeech;
}

} // namespace

void lp_reset()
{
    g_lp = lp_reset_state();
}

void lp_decode_params(const LpFrameParams &params, int16_t out[kLpFrame])
{
    int16_t lpc[kLpSubframes][kLpOrder];
    if (params.type == kLpActive) {
        active_frame(params, out, lpc);
    } else {
        comfort_noise(params, out, lpc);
    }
    g_lp.pastType = params.type;

    for (int sf = 0; sf < kLpSubframes; ++sf) {
        int16_t *x = out + sf * kLpSubframe;
        lp_synthesis_filter(x, lpc[sf]);
        gain_scaling(x, lp_formant_postfilter(x, lpc[sf]));
    }
}

void lp_synthesise(const uint8_t *frame, int16_t out[kLpFrame])
{
    LpFrameParams params;
    lp_unpack(frame, &params);
    lp_decode_params(params, out);
}

} // namespace kvx
