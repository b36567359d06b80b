/* The SP synthesis (see sp_synthesis.h). */
#include "codec_sp/sp_synthesis.h"

#include <string.h>

#include "codec_sp/sp_fixed.h"

namespace kvx {

namespace {

constexpr int32_t kOutputFilterPole_Q15 = 8191;   /* v(n) = y(n) + 0.25 v(n-1) */
constexpr int32_t kPostGainDecay_Q15 = 32358;     /* gain smoothing: 1 - 410/32768 */
constexpr int32_t kPostGainTarget = 409;          /* 409 / 410 of the target, so the smoothing settles on it */
constexpr int32_t kPostEnergyLimit = 1048575;     /* keeps E_in * 2048 inside 31 bits */
constexpr int32_t kPostMinEnergy = 64;

inline int32_t abs32(int32_t v)
{
    return v < 0 ? -v : v;
}

/* One try of the step-up.  Q13 (shift 2) gives up on the first value
 * outside 16 bits; Q12 (shift 3) limits instead. */
bool step_up_try(const int32_t k[kSpOrder + 1], int32_t a[kSpOrder + 1], int shift, bool limit)
{
    a[0] = 8192 >> (shift - 2);
    for (int m = 1; m <= kSpOrder; ++m) {
        a[m] = k[m] >> shift;
        for (int i = 1; i <= m / 2; ++i) {
            int32_t lo = mac_q15_round(k[m], a[m - i], a[i]);
            int32_t hi = mac_q15_round(k[m], a[i], a[m - i]);
            if (limit) {
                lo = clamp16(lo);
                hi = clamp16(hi);
            } else if (lo != clamp16(lo) || hi != clamp16(hi)) {
                return false;
            }
            a[i] = lo;
            a[m - i] = hi;
        }
    }
    return true;
}

/* Adaptive part plus pulses, for one subframe of a full frame. */
void adaptive_excitation(const SpFrameParams &params, int s, int32_t e[kSpSubframe])
{
    const int32_t lag = params.lag[s];
    const int32_t gain_Q11 = kSpAdaptiveGain_Q11[params.gainIndex[s]];
    const int32_t *h = g_sp.excitation;
    for (int n = 0; n < kSpSubframe; ++n) {
        /* A lag below 72 repeats the last `lag` history samples. */
        const int32_t past = lag >= kSpSubframe ? h[lag - n] : h[lag - n % lag];
        e[n] = clamp_sym16(shr_wrap32(static_cast<int64_t>(past) * gain_Q11, 11));
    }
    const SpSubframeParams &sub = params.sub[s];
    const int32_t pulseGain = kSpPulseGain[sub.pulseGainIndex];
    for (int j = 0; j < kSpPulses; ++j) {
        const int32_t pulse =
            shr_wrap32(static_cast<int64_t>(kSpPulseAmplitude_Q15[sub.amplitudeIndex[j]]) * pulseGain + 16384, 15);
        /* Not limited: a pulse may lift a sample past 16 bits. */
        e[sub.position[j]] = wrap32(static_cast<int64_t>(e[sub.position[j]]) + pulse);
    }
}

/* Noise for one subframe: a 16-bit linear congruential generator, taken as
 * unsigned, so the excitation is never negative (0..335). */
void noise_excitation(int32_t gainIndex, int32_t e[kSpSubframe])
{
    const int32_t gain = kSpNoiseGain[gainIndex];
    uint32_t seed = g_sp.noiseSeed;
    for (int n = 0; n < kSpSubframe; ++n) {
        seed = (seed * 521 + 259) & 0xFFFF;
        e[n] = static_cast<int32_t>(seed) * gain >> 14;
    }
    g_sp.noiseSeed = static_cast<uint16_t>(seed);
}

/* The history moves on by a subframe; h(1) becomes the newest sample. */
void update_history(const int32_t e[kSpSubframe])
{
    int32_t *h = g_sp.excitation;
    memmove(h + kSpSubframe + 1, h + 1, (kSpMaxLag - kSpSubframe) * sizeof h[0]);
    for (int n = 0; n < kSpSubframe; ++n) h[kSpSubframe - n] = e[n];
}

} // namespace

void sp_reflection(const int16_t index[kSpOrder], bool speechFlagMode, int32_t k[kSpOrder + 1])
{
    k[0] = 0;
    for (int i = 1; i < kSpOrder; ++i) k[i] = kSpReflection_Q15[i][index[i - 1]];
    /* In speech-flag mode the 14th index has 2 bits, but the first noise
     * frame reuses the indices of the frame before, which may have been
     * decoded outside that mode with 3 bits: modulo 4 keeps it in the
     * table. */
    k[kSpOrder] = speechFlagMode ? kSpReflection14Flag_Q15[index[kSpOrder - 1] & 3]
                                 : kSpReflection_Q15[kSpOrder][index[kSpOrder - 1]];
}

int sp_step_up(const int32_t k[kSpOrder + 1], int32_t a[kSpOrder + 1])
{
    if (step_up_try(k, a, 2, false)) return 0;
    step_up_try(k, a, 3, true);
    return 1;
}

namespace {

/* Taps of a filter of order kSpOrder reversed for a 16-wide sum along a
 * line (reversed[k] pairs with the sample kSpOrder - k back); the two
 * slots past them are zero. */
constexpr int kSpDotWidth = 16;
static_assert(kSpOrder + 2 == kSpDotWidth, "two zero taps fill the sum's width");

bool reverse_taps(const int32_t t[kSpOrder + 1], int16_t reversed[kSpDotWidth])
{
    int16_t forward[kSpOrder + 1];
    const bool fits = narrow16(t, kSpOrder + 1, forward);
    for (int k = 0; k < kSpDotWidth; ++k) reversed[k] = k < kSpOrder ? forward[kSpOrder - k] : int16_t{0};
    return fits;
}

/* The all-pole recursion of the synthesis filter and of the postfilter's
 * denominator on 16-bit taps and outputs (see sp_fixed.h):
 *   y(j) = clamp16((head[j] - sum t_i y(j - i), i = 1..14) >> shift),
 * the sum modulo 2^32.  line[kLead + j] receives y(j); before, line[1 ..
 * kLead) holds y(-14)..y(-1) and line[0] is spare.  `reversed` is as
 * reverse_taps gives it.
 *
 * The newest output's term is taken apart from the window's: the window
 * holds y(j - 2) and older, so its sum for an output is formed while the
 * output before is still being computed, and only t_1 y(j - 1) waits on
 * that output.  Sums modulo 2^32 do not depend on the grouping. */
constexpr int kLead = kSpOrder + 1;

template <class Each>
void all_pole_16(const int16_t reversed[kSpDotWidth], const uint32_t *head, int n, int shift, int16_t *line, Each each)
{
    /* Window slot k holds y(j + k - kLead) and pairs with t_(kLead - k):
     * t_2..t_14 in slots 13..1, nothing in the slots of y(j - 1) and y(j). */
    int16_t older[kSpDotWidth] = {};
    for (int k = 1; k < kSpOrder; ++k) older[k] = reversed[k - 1];
    const uint32_t newestTap = static_cast<uint32_t>(int32_t{reversed[kSpOrder - 1]});
    Window16 window;
    window_load(window, line);
    uint32_t previous = static_cast<uint32_t>(int32_t{line[kLead - 1]});
    for (int j = 0; j < n; ++j) {
        const uint32_t acc = head[j] - window_dot(window, older) - newestTap * previous;
        const int16_t v = static_cast<int16_t>(clamp16(as_signed(acc) >> shift));
        window_push13(window, static_cast<int16_t>(previous));
        line[kLead + j] = v;
        each(j, v);
        previous = static_cast<uint32_t>(int32_t{v});
    }
}

/* v(n) = y(n) + 0.25 v(n-1), rounded and limited: the output filter's step. */
inline int32_t output_filter_step(int32_t state, int32_t y)
{
    return clamp_sym16(mac_q15_round(kOutputFilterPole_Q15, state, y));
}

/* The fast path of sp_synthesis_filter for 16-bit taps and memory; false,
 * having changed nothing, when they do not fit.  With `outputFilter`, y
 * receives the outputs through the output filter, whose recursion runs in
 * the same loop beside the synthesis's and so mostly in its shadow, as
 * does beside(j) at each output. */
template <class Beside>
bool synthesis_filter_16(const int32_t a[kSpOrder + 1], int shift, const int32_t *e, int32_t *y, int n,
                         int32_t memory[kSpOrder + 1], int32_t *outputFilter, Beside beside)
{
    int16_t line[kLead + kSpSubframe] = {};
    int16_t reversed[kSpDotWidth];
    if (n > kSpSubframe || !reverse_taps(a, reversed) || !narrow16(memory + 1, kSpOrder, line + 1)) return false;
    /* narrow16 wrote y(-1)..y(-14) forward: turn them oldest first. */
    for (int i = 0; i < kSpOrder / 2; ++i) {
        const int16_t t = line[1 + i];
        line[1 + i] = line[kSpOrder - i];
        line[kSpOrder - i] = t;
    }
    uint32_t head[kSpSubframe];
    const uint32_t a0 = static_cast<uint32_t>(a[0]);
    for (int j = 0; j < n; ++j) head[j] = a0 * static_cast<uint32_t>(e[j]) + 4096u;
    if (outputFilter) {
        int32_t state = *outputFilter;
        all_pole_16(reversed, head, n, shift, line, [&](int j, int16_t v) {
            y[j] = state = output_filter_step(state, v);
            beside(j);
        });
        *outputFilter = state;
    } else {
        all_pole_16(reversed, head, n, shift, line, [y](int j, int16_t v) { y[j] = v; });
    }
    for (int i = 1; i <= kSpOrder; ++i) memory[i] = line[kLead + n - i];
    return true;
}

} // namespace

void sp_synthesis_filter(const int32_t a[kSpOrder + 1], int scale, const int32_t *e, int32_t *y, int n,
                         int32_t memory[kSpOrder + 1])
{
    if (g_spFastPaths && synthesis_filter_16(a, 13 - scale, e, y, n, memory, nullptr, [](int) {})) return;
    /* buf[kSpOrder + j] is y(j); the first kSpOrder entries are the past. */
    int32_t buf[kSpOrder + kSpSubframe];
    for (int i = 1; i <= kSpOrder; ++i) buf[kSpOrder - i] = memory[i];
    const int shift = 13 - scale;
    for (int j = 0; j < n; ++j) {
        int32_t *out = buf + kSpOrder + j;
        int64_t acc = static_cast<int64_t>(a[0]) * e[j] + 4096;
        for (int i = 1; i <= kSpOrder; ++i) acc -= static_cast<int64_t>(a[i]) * out[-i];
        *out = clamp16(shr_wrap32(acc, shift));
        y[j] = *out;
    }
    for (int i = 1; i <= kSpOrder; ++i) memory[i] = buf[kSpOrder + n - i];
}

namespace {

/* One step of the postfilter gain's smoothing toward the target t. */
inline int32_t next_gain(int32_t t, int32_t gain)
{
    return clamp_sym16(shr_wrap32(t + static_cast<int64_t>(kPostGainDecay_Q15) * gain, 15));
}

/* The subframe's samples times their gains (Q11), limited. */
void apply_gains(int32_t x[kSpSubframe], const int16_t gains[kSpSubframe])
{
    if (g_spFastPaths) {
        /* Both factors are within +-32767 on every path (the tilt and the
         * smoothing limit them): the product is exact in 32 bits. */
        for (int n = 0; n < kSpSubframe; ++n) x[n] = clamp_sym16((x[n] * gains[n]) >> 11);
    } else {
        for (int n = 0; n < kSpSubframe; ++n) x[n] = clamp_sym16(shr_wrap32(static_cast<int64_t>(x[n]) * gains[n], 11));
    }
}

/* The postfilter up to its gain control: filters and tilt, x tilted in
 * place, the memories updated.  Returns the target of the gain's smoothing
 * (Q15). */
int32_t postfilter_shape(int32_t x[kSpSubframe], const int32_t a[kSpOrder + 1], int scale, int32_t k1,
                         SpDecoderState *state)
{
    /* Energy and headroom of the input. */
    int32_t energyIn = 0;
    int32_t bits = 1;
    for (int n = 0; n < kSpSubframe; ++n) {
        energyIn += abs32(x[n]);
        bits |= abs32(x[n]);
    }
    if (energyIn > kPostEnergyLimit) energyIn = kPostEnergyLimit;
    int s = 0;
    while (shl32(bits, s) < 16384) ++s;

    /* Work with the input 3 bits below full scale, so the pole-zero filter
     * has room; the memories go up by the same headroom. */
    int32_t in[kSpOrder + kSpSubframe];
    int32_t den[kSpOrder + kSpSubframe];
    for (int i = 1; i <= kSpOrder; ++i) {
        in[kSpOrder - i] = shl32(state->postInput[i], s);
        den[kSpOrder - i] = shl32(state->postOutput[i], s);
    }
    if (s >= 3) {
        for (int n = 0; n < kSpSubframe; ++n) in[kSpOrder + n] = shl32(x[n], s - 3);
    } else {
        for (int n = 0; n < kSpSubframe; ++n) in[kSpOrder + n] = x[n] >> (3 - s);
    }
    const int32_t lastOut = den[kSpOrder - 1];

    int32_t b[kSpOrder + 1], c[kSpOrder + 1];
    b[0] = c[0] = a[0];
    for (int i = 1; i <= kSpOrder; ++i) {
        b[i] = shr_wrap32(static_cast<int64_t>(a[i]) * kSpPostNumWeight_Q15[i] + 16384, 15);
        c[i] = shr_wrap32(static_cast<int64_t>(a[i]) * kSpPostDenWeight_Q15[i] + 16384, 15);
    }

    const int shift = 13 - scale;
    /* The fast path (see sp_fixed.h) on 16-bit lines: the numerator's 15
     * taps end at the current input (b[0] in the 15th slot) and need no
     * output, so they are summed four outputs at a time first; the
     * denominator is the synthesis filter's recursion (den16 laid out as
     * all_pole_16 takes it). */
    int16_t in16[kSpOrder + kSpSubframe + 2] = {};
    int16_t den16[kLead + kSpSubframe + 1] = {};
    int16_t bReversed[kSpDotWidth] = {};
    int16_t cReversed[kSpDotWidth] = {};
    const bool fast = g_spFastPaths && narrow16(in, kSpOrder + kSpSubframe, in16) &&
                      narrow16(den, kSpOrder, den16 + 1) && reverse_taps(b, bReversed) && reverse_taps(c, cReversed);
    if (fast) {
        bReversed[kSpOrder] = static_cast<int16_t>(b[0]);
        uint32_t head[kSpSubframe];
        for (int n = 0; n < kSpSubframe; n += 4) {
            uint32_t sums[4];
            dot_mod_x4(bReversed, in16 + n, kSpDotWidth, sums);
            for (int o = 0; o < 4; ++o) {
                const int32_t zero = clamp_sym16(as_signed(4096u + sums[o]) >> shift);
                head[n + o] = static_cast<uint32_t>(c[0]) * static_cast<uint32_t>(zero) + 4096u;
            }
        }
        all_pole_16(cReversed, head, kSpSubframe, shift, den16, [](int, int16_t) {});
        for (int n = 0; n < kSpSubframe; ++n) den[kSpOrder + n] = den16[kLead + n];
    } else {
        for (int n = 0; n < kSpSubframe; ++n) {
            const int32_t *pin = in + kSpOrder + n;
            int32_t *pden = den + kSpOrder + n;
            int64_t acc = 4096;
            for (int i = 0; i <= kSpOrder; ++i) acc += static_cast<int64_t>(b[i]) * pin[-i];
            const int32_t zero = clamp_sym16(shr_wrap32(acc, shift));
            acc = static_cast<int64_t>(c[0]) * zero + 4096;
            for (int i = 1; i <= kSpOrder; ++i) acc -= static_cast<int64_t>(c[i]) * pden[-i];
            *pden = clamp16(shr_wrap32(acc, shift));
        }
    }

    /* Tilt compensation, only for a negative first coefficient; each
     * sample is moved by its predecessor before the step. */
    const int32_t mu = k1 < 0 ? k1 >> 1 : 0;
    const int32_t *y = den + kSpOrder;
    int32_t energyOut = 0;
    if (fast && mu >= -32768) {
        /* With mu and the outputs in 16 bits, |mu y(n-1) + 32768 y(n) +
         * 16384| stays below 2^31: the 32-bit sum is the 64-bit one. */
        const int16_t mu16 = static_cast<int16_t>(mu);
        const int16_t *y16 = den16 + kLead;
        for (int n = 0; n < kSpSubframe; ++n) {
            const int32_t v = clamp_sym16((int32_t{mu16} * y16[n - 1] + int32_t{y16[n]} * 32768 + 16384) >> 15) >> s;
            x[n] = v;
            energyOut += abs32(v);
        }
    } else {
        for (int n = 0; n < kSpSubframe; ++n) {
            const int32_t before = n == 0 ? lastOut : y[n - 1];
            x[n] = clamp_sym16(mac_q15_round(mu, before, y[n])) >> s;
            energyOut += abs32(x[n]);
        }
    }
    for (int i = 1; i <= kSpOrder; ++i) {
        state->postInput[i] = in[kSpOrder + kSpSubframe - i] >> s;
        state->postOutput[i] = den[kSpOrder + kSpSubframe - i] >> s;
    }

    /* Gain control: the output's energy is steered toward the input's.  The
     * target is rounded down to whole units of Q11 in Q15 and smoothed
     * sample by sample; below 64 the target is 1, and the gain decays. */
    const int32_t target = energyOut < kPostMinEnergy ? 1 : energyIn * 2048 / energyOut;
    return static_cast<int32_t>(static_cast<uint32_t>(wrap32(static_cast<int64_t>(kPostGainTarget) * target)) &
                                0xFFFF8000u);
}

} // namespace

void sp_postfilter(int32_t x[kSpSubframe], const int32_t a[kSpOrder + 1], int scale, int32_t k1,
                   SpDecoderState *state)
{
    const int32_t t = postfilter_shape(x, a, scale, k1, state);
    int16_t gains[kSpSubframe];
    int32_t gain = state->postGain_Q11;
    for (int n = 0; n < kSpSubframe; ++n) {
        gain = next_gain(t, gain);
        gains[n] = static_cast<int16_t>(gain);
    }
    state->postGain_Q11 = gain;
    apply_gains(x, gains);
}

void sp_synthesize(const SpFrameParams &params, bool speechFlagMode, bool postfilter, SpChannelState *channel,
                   int32_t out[kSpFrameSamples])
{
    int16_t index[kSpOrder];
    memcpy(index, params.filterIndex, sizeof index);
    const bool noise = params.speechFlag == 0;

    /* Noise frames carry no pitch; the first one after speech carries on
     * with the speech frame's filter. */
    if (speechFlagMode) {
        if (!noise) {
            channel->noiseRun = 0;
        } else {
            if (channel->noiseRun < kSpMaxNoiseRun) ++channel->noiseRun;
            if (channel->noiseRun == 1) memcpy(index, channel->previousIndices, sizeof index);
        }
    }
    int32_t k[kSpOrder + 1];
    sp_reflection(index, speechFlagMode, k);
    if (channel->noiseRun == 1) g_sp.noiseSeed = static_cast<uint16_t>(index[0]);

    int32_t a[kSpOrder + 1];
    const int scale = sp_step_up(k, a);
    g_sp.filterScale = static_cast<uint8_t>(scale);

    /* The postfilter's gain smoothing is a recursion of its own: on the
     * fast path a subframe's smoothing runs in the next subframe's synthesis
     * loop, beside the synthesis and output filter, and its gains are
     * applied after that.  `pending` is the subframe waiting for them. */
    int32_t *pending = nullptr;
    int32_t target = 0, gain = 0;
    int16_t gains[kSpSubframe];
    auto finish_pending = [&](bool stepped) {
        if (!pending) return;
        if (!stepped) {
            for (int n = 0; n < kSpSubframe; ++n) gains[n] = static_cast<int16_t>(gain = next_gain(target, gain));
        }
        g_sp.postGain_Q11 = gain;
        apply_gains(pending, gains);
        pending = nullptr;
    };
    for (int s = 0; s < 4; ++s) {
        int32_t e[kSpSubframe];
        if (noise) noise_excitation(params.gainIndex[s], e);
        else adaptive_excitation(params, s, e);
        update_history(e);

        int32_t *v = out + s * kSpSubframe;
        auto smooth = [&](int j) {
            if (pending) gains[j] = static_cast<int16_t>(gain = next_gain(target, gain));
        };
        const bool stepped = g_spFastPaths && synthesis_filter_16(a, 13 - scale, e, v, kSpSubframe, g_sp.synthesis,
                                                                  &channel->outputFilter, smooth);
        if (!stepped) {
            sp_synthesis_filter(a, scale, e, v, kSpSubframe, g_sp.synthesis);
            int32_t state = channel->outputFilter;
            for (int n = 0; n < kSpSubframe; ++n) v[n] = state = output_filter_step(state, v[n]);
            channel->outputFilter = state;
        }
        finish_pending(stepped);
        if (postfilter && g_spFastPaths) {
            target = postfilter_shape(v, a, scale, k[1], &g_sp);
            gain = g_sp.postGain_Q11;
            pending = v;
        } else if (postfilter) {
            sp_postfilter(v, a, scale, k[1], &g_sp);
        }
    }
    finish_pending(false);
    memcpy(channel->previousIndices, index, sizeof index);
}

} // namespace kvx
