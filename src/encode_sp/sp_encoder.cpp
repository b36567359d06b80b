/*
 * The SP encoder.
 *
 * Method.  The decoder's output for a full frame is
 *     v = D(z) S(z) e,   S(z) = 1 / A(z) (the 14 quantised reflection
 *     coefficients stepped up),   D(z) = 1 / (1 - 0.25 z^-1),
 * e being per 72-sample subframe the adaptive part (the excitation history
 * at the lag, times a gain of 0.05..2) plus seven pulses of four sizes and
 * a sign under a common gain.  The encoder works at 12 kHz on frames of 288:
 *
 *  1. Filter.  The input is pre-emphasised by 1 - 0.25 z^-1 (what D undoes)
 *     and the last 384 samples (96 of the frame before and this frame) are
 *     Hamming-windowed; autocorrelation with a 60 Hz Gaussian lag window and
 *     a -40 dB noise floor, Levinson's recursion for the reflection
 *     coefficients, each rounded to the nearest entry of the decoder's table
 *     for it.  The decoder's own step-up (sp_step_up) gives the filter
 *     synthesised with, in the decoder's Q13 or Q12.
 *  2. Pitch, open loop.  For each subframe the normalised correlation of
 *     the pre-emphasised input over the 144 samples ending with it, at lags
 *     36..186; the shortest lag within 0.9 of the best wins, so that
 *     multiples of the period do not.
 *  3. Analysis by synthesis, per subframe, against the input itself (the
 *     error the decoder's listener hears, unweighted):
 *       target = input - the decoder's zero-input response (its synthesis
 *       and output-filter memories run on with no excitation);
 *       lag: the candidates within 4 of the open-loop lag that the lag code
 *       allows after the subframe before, each filtered through D S from
 *       the decoder's excitation history; the best normalised correlation
 *       with the target wins; its gain is the least-squares one rounded to
 *       the gain table, and the adaptive part is then formed with the
 *       decoder's arithmetic and filtered again;
 *       pulses: multipulse search on what is left (backward-filtered
 *       target d = H^T t and the correlations Phi = H^T H; seven times the
 *       position that lowers the error most, its amplitude taken out of d),
 *       the seven amplitudes then solved jointly; the common pulse gain is
 *       the one of the 64 that, with each amplitude rounded to the nearest
 *       of the eight sizes, leaves the least error.
 *  4. The frame's excitation is formed with the decoder's arithmetic and run
 *     through the decoder's synthesis filter (sp_synthesis_filter) and
 *     output filter: the encoder keeps a copy of every memory the decoder
 *     keeps, so the next subframe's search starts where the decoder will be.
 *
 * Speech-flag mode with noise frames: a frame whose input stays below
 * -60 dB of full scale becomes a noise frame, its four noise gains matched
 * to the residual's level (the decoder's noise is 0..4 g, RMS 2.31 g).
 *
 * The comparison encoder (analysisBySynthesis false) uses steps 1, 2 and 4
 * and replaces 3 by open-loop choices on the residual of the quantised
 * filter: the open-loop lag, the gain that best predicts the residual from
 * the decoder's history, and the seven largest samples of what is left as
 * pulses, their sizes rounded.
 */
#include "encode_sp/sp_encoder.h"

#include <math.h>
#include <string.h>

#include "codec_sp/sp_fixed.h"
#include "codec_sp/sp_state.h"
#include "codec_sp/sp_synthesis.h"

namespace kvx {

namespace {

constexpr int kPast = 264;                        /* input kept from frames before: the pitch search's reach */
constexpr int kWindow = 384;                      /* LPC analysis window */
constexpr int kPitchSpan = 144;                   /* open-loop correlation length */
constexpr double kPreEmphasis = 0.25;             /* the decoder's output filter pole */
constexpr double kNoiseFrameLevel = 32.8;         /* -60 dB of full scale, RMS */
constexpr int kLagSearch = 4;
constexpr double kPi = 3.14159265358979323846;

} // namespace

struct SpEncoder {
    SpEncoderOptions options;
    double speech[kPast + kSpFrameSamples];       /* pre-emphasised input, kPast before the frame */
    double lastInput;                             /* the input sample before the frame */
    double window[kWindow];
    /* The decoder's memories, as it will have them. */
    int32_t excitation[kSpHistory];
    int32_t synthesis[kSpOrder + 1];
    int32_t outputFilter;
    uint16_t noiseSeed;
    uint16_t noiseRun;
    int16_t previousIndices[kSpOrder];
    int16_t output[kSpFrameSamples];
};

namespace {

/* Reflection coefficients k[1..14] (Levinson, for A(z) = 1 + sum a_i z^-i,
 * as the decoder's step-up builds it) from autocorrelations r[0..14]. */
void levinson(const double r[kSpOrder + 1], double k[kSpOrder + 1])
{
    double a[kSpOrder + 1] = {1.0};
    double error = r[0];
    k[0] = 0;
    for (int m = 1; m <= kSpOrder; ++m) {
        double acc = r[m];
        for (int i = 1; i < m; ++i) acc += a[i] * r[m - i];
        double km = error > 0 ? -acc / error : 0.0;
        if (km > 0.999) km = 0.999;
        if (km < -0.999) km = -0.999;
        k[m] = km;
        double next[kSpOrder + 1];
        for (int i = 1; i < m; ++i) next[i] = a[i] + km * a[m - i];
        for (int i = 1; i < m; ++i) a[i] = next[i];
        a[m] = km;
        error *= 1.0 - km * km;
    }
}

int nearest(const int16_t *table, int size, double value_Q15)
{
    int best = 0;
    for (int i = 1; i < size; ++i)
        if (fabs(table[i] - value_Q15) < fabs(table[best] - value_Q15)) best = i;
    return best;
}

/* Step 1: the quantised filter of the frame in speech[kPast ..). */
void analyse_filter(const SpEncoder &enc, int16_t index[kSpOrder])
{
    const double *x = enc.speech + kPast + kSpFrameSamples - kWindow;
    double w[kWindow];
    for (int n = 0; n < kWindow; ++n) w[n] = x[n] * enc.window[n];
    double r[kSpOrder + 1];
    for (int i = 0; i <= kSpOrder; ++i) {
        double acc = 0;
        for (int n = i; n < kWindow; ++n) acc += w[n] * w[n - i];
        const double f = 2 * kPi * 60.0 * i / 12000.0;
        r[i] = acc * exp(-0.5 * f * f);
    }
    r[0] = r[0] * 1.0001 + 1e-3;
    double k[kSpOrder + 1];
    levinson(r, k);
    for (int i = 1; i <= kSpOrder; ++i) {
        const bool small14 = i == kSpOrder && enc.options.speechFlagMode;
        const int16_t *table = small14 ? kSpReflection14Flag_Q15 : kSpReflection_Q15[i];
        index[i - 1] = static_cast<int16_t>(nearest(table, small14 ? 4 : kSpReflectionSize[i], k[i] * 32768.0));
    }
}

/* Step 2: the open-loop lag for the subframe starting at `start` (in
 * speech[]). */
int open_loop_lag(const SpEncoder &enc, int start)
{
    const double *x = enc.speech + start + kSpSubframe - kPitchSpan;
    double energy0 = 0;
    for (int n = 0; n < kPitchSpan; ++n) energy0 += x[n] * x[n];
    double score[kSpMaxLag + 1] = {};
    double best = 0;
    for (int lag = 36; lag <= kSpMaxLag; ++lag) {
        double c = 0, e = 0;
        for (int n = 0; n < kPitchSpan; ++n) {
            c += x[n] * x[n - lag];
            e += x[n - lag] * x[n - lag];
        }
        score[lag] = c > 0 ? c / sqrt(e * energy0 + 1e-9) : 0;
        if (score[lag] > best) best = score[lag];
    }
    for (int lag = 36; lag <= kSpMaxLag; ++lag)
        if (score[lag] >= 0.9 * best && best > 0) return lag;
    return 36;
}

/* The decoder's adaptive part for `lag` and gain index, from the history. */
void adaptive_part(const SpEncoder &enc, int lag, int gainIndex, int32_t e[kSpSubframe])
{
    const int32_t gain_Q11 = kSpAdaptiveGain_Q11[gainIndex];
    const int32_t *h = enc.excitation;
    for (int n = 0; n < kSpSubframe; ++n) {
        const int32_t past = lag >= kSpSubframe ? h[lag - n] : h[lag - n % lag];
        e[n] = clamp_sym16(shr_wrap32(static_cast<int64_t>(past) * gain_Q11, 11));
    }
}

/* The history unscaled at `lag`, as the adaptive part repeats it. */
void history_at(const SpEncoder &enc, int lag, double out[kSpSubframe])
{
    const int32_t *h = enc.excitation;
    for (int n = 0; n < kSpSubframe; ++n) out[n] = lag >= kSpSubframe ? h[lag - n] : h[lag - n % lag];
}

int32_t pulse_value(int amplitudeIndex, int gainIndex)
{
    return shr_wrap32(static_cast<int64_t>(kSpPulseAmplitude_Q15[amplitudeIndex]) * kSpPulseGain[gainIndex] + 16384, 15);
}

/* Step 4: one subframe's excitation through the decoder's memories; the
 * output to out[72]. */
void synthesise(SpEncoder *enc, const int32_t a[kSpOrder + 1], int scale, const int32_t e[kSpSubframe], int16_t *out)
{
    int32_t *h = enc->excitation;
    memmove(h + kSpSubframe + 1, h + 1, (kSpMaxLag - kSpSubframe) * sizeof h[0]);
    for (int n = 0; n < kSpSubframe; ++n) h[kSpSubframe - n] = e[n];
    int32_t v[kSpSubframe];
    sp_synthesis_filter(a, scale, e, v, kSpSubframe, enc->synthesis);
    int32_t state = enc->outputFilter;
    for (int n = 0; n < kSpSubframe; ++n) {
        state = clamp_sym16(mac_q15_round(8191, state, v[n]));
        out[n] = static_cast<int16_t>(state);
    }
    enc->outputFilter = state;
}

/* y = h * x over a subframe (h the impulse response, x from sample 0). */
void convolve(const double h[kSpSubframe], const double x[kSpSubframe], double y[kSpSubframe])
{
    for (int n = 0; n < kSpSubframe; ++n) {
        double acc = 0;
        for (int i = 0; i <= n; ++i) acc += h[i] * x[n - i];
        y[n] = acc;
    }
}

double dot(const double *x, const double *y, int n)
{
    double acc = 0;
    for (int i = 0; i < n; ++i) acc += x[i] * y[i];
    return acc;
}

int nearest_gain(double gain)
{
    return nearest(kSpAdaptiveGain_Q11, 32, gain * 2048.0);
}

/* Solves the n x n system m x = b (Gaussian elimination with pivoting);
 * false when singular. */
bool solve(double m[kSpPulses][kSpPulses], double b[kSpPulses], int n, double x[kSpPulses])
{
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (fabs(m[r][c]) > fabs(m[p][c])) p = r;
        if (fabs(m[p][c]) < 1e-12) return false;
        for (int j = 0; j < n; ++j) {
            const double t = m[c][j];
            m[c][j] = m[p][j];
            m[p][j] = t;
        }
        const double t = b[c];
        b[c] = b[p];
        b[p] = t;
        for (int r = c + 1; r < n; ++r) {
            const double f = m[r][c] / m[c][c];
            for (int j = c; j < n; ++j) m[r][j] -= f * m[c][j];
            b[r] -= f * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double acc = b[r];
        for (int j = r + 1; j < n; ++j) acc -= m[r][j] * x[j];
        x[r] = acc / m[r][r];
    }
    return true;
}

/* Seven distinct positions with amplitudes `amp`, rounded to one of the 64
 * pulse gains and 8 sizes: the choice with the least error, the error of
 * c being const - 2 c.d + c' Phi c.  Fills the subframe's fields (positions
 * largest first). */
void quantise_pulses(const int pos[kSpPulses], const double amp[kSpPulses], const double *d,
                     const double phi[kSpSubframe][kSpSubframe], SpSubframeParams *sub)
{
    double bestError = 0;
    int bestGain = 0;
    int bestIndex[kSpPulses] = {};
    bool first = true;
    for (int g = 1; g < 64; ++g) {
        int idx[kSpPulses];
        double c[kSpPulses];
        for (int j = 0; j < kSpPulses; ++j) {
            int best = 0;
            double bestDiff = 0;
            for (int q = 0; q < 8; ++q) {
                const double diff = fabs(pulse_value(q, g) - amp[j]);
                if (q == 0 || diff < bestDiff) {
                    bestDiff = diff;
                    best = q;
                }
            }
            idx[j] = best;
            c[j] = pulse_value(best, g);
        }
        double error = 0;
        for (int j = 0; j < kSpPulses; ++j) {
            error -= 2 * c[j] * d[pos[j]];
            for (int i = 0; i < kSpPulses; ++i) error += c[i] * c[j] * phi[pos[i]][pos[j]];
        }
        if (first || error < bestError) {
            first = false;
            bestError = error;
            bestGain = g;
            memcpy(bestIndex, idx, sizeof idx);
        }
    }
    /* Largest position first, each amplitude with its position. */
    int order[kSpPulses];
    for (int j = 0; j < kSpPulses; ++j) order[j] = j;
    for (int i = 1; i < kSpPulses; ++i)
        for (int j = i; j > 0 && pos[order[j]] > pos[order[j - 1]]; --j) {
            const int t = order[j];
            order[j] = order[j - 1];
            order[j - 1] = t;
        }
    for (int j = 0; j < kSpPulses; ++j) {
        sub->position[j] = static_cast<int16_t>(pos[order[j]]);
        sub->amplitudeIndex[j] = static_cast<int16_t>(bestIndex[order[j]]);
    }
    sub->pulseGainIndex = static_cast<int16_t>(bestGain);
    sub->combination = sp_encode_pulses(sub->position);
}

/* The lags allowed for subframe s after `previous`, around `target`. */
void lag_range(int s, int previous, int target, int *lo, int *hi)
{
    int first = 36, last = kSpMaxLag;
    if (s > 0) {
        sp_lag_window(previous, &first);
        last = first + 47;
    }
    *lo = target - kLagSearch;
    *hi = target + kLagSearch;
    if (*lo < first) *lo = first;
    if (*hi > last) *hi = last;
    if (*lo > *hi) *lo = *hi = target < first ? first : last;
}

/* Step 3 for subframe s (input x, pre-emphasised residual unused): fills
 * the subframe's lag, gains and pulses and its excitation e. */
void search_subframe(SpEncoder *enc, const double *x, const double h[kSpSubframe], const int32_t a[kSpOrder + 1],
                     int scale, int s, int lagLo, int lagHi, SpFrameParams *params, int32_t e[kSpSubframe])
{
    /* Target: the input less what the decoder's memories give alone. */
    double target[kSpSubframe];
    {
        int32_t memory[kSpOrder + 1];
        memcpy(memory, enc->synthesis, sizeof memory);
        const int32_t zero[kSpSubframe] = {};
        int32_t v[kSpSubframe];
        sp_synthesis_filter(a, scale, zero, v, kSpSubframe, memory);
        int32_t state = enc->outputFilter;
        for (int n = 0; n < kSpSubframe; ++n) {
            state = clamp_sym16(mac_q15_round(8191, state, v[n]));
            target[n] = x[n] - state;
        }
    }
    /* The lag. */
    int bestLag = lagLo;
    double bestScore = -1;
    for (int lag = lagLo; lag <= lagHi; ++lag) {
        double past[kSpSubframe], y[kSpSubframe];
        history_at(*enc, lag, past);
        convolve(h, past, y);
        const double c = dot(target, y, kSpSubframe), energy = dot(y, y, kSpSubframe);
        const double score = c > 0 && energy > 0 ? c * c / energy : 0;
        if (score > bestScore) {
            bestScore = score;
            bestLag = lag;
        }
    }
    double past[kSpSubframe], y[kSpSubframe];
    history_at(*enc, bestLag, past);
    convolve(h, past, y);
    const double energy = dot(y, y, kSpSubframe);
    const int gainIndex = nearest_gain(energy > 0 ? dot(target, y, kSpSubframe) / energy : 0);
    params->lag[s] = static_cast<int16_t>(bestLag);
    params->gainIndex[s] = static_cast<int16_t>(gainIndex);
    adaptive_part(*enc, bestLag, gainIndex, e);
    double ea[kSpSubframe];
    for (int n = 0; n < kSpSubframe; ++n) ea[n] = e[n];
    convolve(h, ea, y);
    for (int n = 0; n < kSpSubframe; ++n) target[n] -= y[n];

    /* The pulses. */
    static thread_local double phi[kSpSubframe][kSpSubframe];
    for (int p = 0; p < kSpSubframe; ++p) {
        for (int q = p; q < kSpSubframe; ++q) {
            /* sum over n >= q of h(n - p) h(n - q) */
            double acc = 0;
            for (int n = q; n < kSpSubframe; ++n) acc += h[n - p] * h[n - q];
            phi[p][q] = phi[q][p] = acc;
        }
    }
    double d[kSpSubframe];
    for (int p = 0; p < kSpSubframe; ++p) {
        double acc = 0;
        for (int n = p; n < kSpSubframe; ++n) acc += target[n] * h[n - p];
        d[p] = acc;
    }
    double rest[kSpSubframe];
    memcpy(rest, d, sizeof rest);
    int pos[kSpPulses];
    bool used[kSpSubframe] = {};
    for (int j = 0; j < kSpPulses; ++j) {
        int best = -1;
        double bestGain = -1;
        for (int p = 0; p < kSpSubframe; ++p) {
            if (used[p] || phi[p][p] <= 0) continue;
            const double gain = rest[p] * rest[p] / phi[p][p];
            if (gain > bestGain) {
                bestGain = gain;
                best = p;
            }
        }
        if (best < 0) {
            for (best = 0; used[best]; ++best) {
            }
        }
        used[best] = true;
        pos[j] = best;
        const double amp = phi[best][best] > 0 ? rest[best] / phi[best][best] : 0;
        for (int p = 0; p < kSpSubframe; ++p) rest[p] -= amp * phi[p][best];
    }
    double m[kSpPulses][kSpPulses], b[kSpPulses], amp[kSpPulses] = {};
    for (int i = 0; i < kSpPulses; ++i) {
        b[i] = d[pos[i]];
        for (int j = 0; j < kSpPulses; ++j) m[i][j] = phi[pos[i]][pos[j]];
    }
    if (!solve(m, b, kSpPulses, amp)) memset(amp, 0, sizeof amp);
    SpSubframeParams &sub = params->sub[s];
    quantise_pulses(pos, amp, d, phi, &sub);
    for (int j = 0; j < kSpPulses; ++j)
        e[sub.position[j]] = wrap32(static_cast<int64_t>(e[sub.position[j]]) + pulse_value(sub.amplitudeIndex[j], sub.pulseGainIndex));
}

/* The comparison encoder's subframe: open-loop choices on the residual. */
void open_loop_subframe(SpEncoder *enc, const double *residual, int s, int lag, SpFrameParams *params,
                        int32_t e[kSpSubframe])
{
    double past[kSpSubframe];
    history_at(*enc, lag, past);
    const double energy = dot(past, past, kSpSubframe);
    const int gainIndex = nearest_gain(energy > 0 ? dot(residual, past, kSpSubframe) / energy : 0);
    params->lag[s] = static_cast<int16_t>(lag);
    params->gainIndex[s] = static_cast<int16_t>(gainIndex);
    adaptive_part(*enc, lag, gainIndex, e);
    double rest[kSpSubframe];
    for (int n = 0; n < kSpSubframe; ++n) rest[n] = residual[n] - e[n];
    int pos[kSpPulses];
    double amp[kSpPulses];
    bool used[kSpSubframe] = {};
    for (int j = 0; j < kSpPulses; ++j) {
        int best = -1;
        for (int n = 0; n < kSpSubframe; ++n)
            if (!used[n] && (best < 0 || fabs(rest[n]) > fabs(rest[best]))) best = n;
        used[best] = true;
        pos[j] = best;
        amp[j] = rest[best];
    }
    /* With Phi the identity and d the residual, the error measure is the
     * residual's. */
    static thread_local double identity[kSpSubframe][kSpSubframe];
    for (int i = 0; i < kSpSubframe; ++i) identity[i][i] = 1;
    quantise_pulses(pos, amp, rest, identity, &params->sub[s]);
    const SpSubframeParams &sub = params->sub[s];
    for (int j = 0; j < kSpPulses; ++j)
        e[sub.position[j]] = wrap32(static_cast<int64_t>(e[sub.position[j]]) + pulse_value(sub.amplitudeIndex[j], sub.pulseGainIndex));
}

/* A noise frame: the decoder's noise under gains matched to the residual. */
void encode_noise(SpEncoder *enc, const double *residual, SpFrameParams *params, int16_t index[kSpOrder])
{
    params->speechFlag = 0;
    /* The first noise frame after speech keeps the frame before's filter,
     * and seeds the noise from its first index. */
    if (enc->noiseRun < kSpMaxNoiseRun) ++enc->noiseRun;
    int16_t used[kSpOrder];
    memcpy(used, enc->noiseRun == 1 ? enc->previousIndices : index, sizeof used);
    if (enc->noiseRun == 1) enc->noiseSeed = static_cast<uint16_t>(used[0]);
    int32_t k[kSpOrder + 1], a[kSpOrder + 1];
    sp_reflection(used, true, k);
    const int scale = sp_step_up(k, a);
    for (int s = 0; s < 4; ++s) {
        const double rms = sqrt(dot(residual + s * kSpSubframe, residual + s * kSpSubframe, kSpSubframe) / kSpSubframe);
        int gain = nearest(kSpNoiseGain, s == 2 ? 8 : 32, rms / 2.31);
        params->gainIndex[s] = static_cast<int16_t>(gain);
        int32_t e[kSpSubframe];
        uint32_t seed = enc->noiseSeed;
        for (int n = 0; n < kSpSubframe; ++n) {
            seed = (seed * 521 + 259) & 0xFFFF;
            e[n] = static_cast<int32_t>(seed) * kSpNoiseGain[gain] >> 14;
        }
        enc->noiseSeed = static_cast<uint16_t>(seed);
        synthesise(enc, a, scale, e, enc->output + s * kSpSubframe);
    }
    memcpy(enc->previousIndices, used, sizeof used);
}

} // namespace

SpEncoder *sp_encoder_create(const SpEncoderOptions &options)
{
    SpEncoder *enc = new SpEncoder();  /* value-initialised: every memory starts zero */
    enc->options = options;
    for (int n = 0; n < kWindow; ++n) enc->window[n] = 0.54 - 0.46 * cos(2 * kPi * n / (kWindow - 1));
    return enc;
}

void sp_encoder_destroy(SpEncoder *encoder)
{
    delete encoder;
}

const int16_t *sp_encoder_output(const SpEncoder *encoder)
{
    return encoder->output;
}

uint32_t sp_encode_frame(SpEncoder *enc, const int16_t in[kSpFrameSamples], uint8_t out[kSpFullBytes])
{
    const bool mode = enc->options.speechFlagMode;
    memmove(enc->speech, enc->speech + kSpFrameSamples, kPast * sizeof enc->speech[0]);
    double level = 0;
    for (int n = 0; n < kSpFrameSamples; ++n) {
        enc->speech[kPast + n] = in[n] - kPreEmphasis * enc->lastInput;
        enc->lastInput = in[n];
        level += static_cast<double>(in[n]) * in[n];
    }
    level = sqrt(level / kSpFrameSamples);

    SpFrameParams params;
    memset(&params, 0, sizeof params);
    params.speechFlag = 1;
    analyse_filter(*enc, params.filterIndex);
    int32_t k[kSpOrder + 1], a[kSpOrder + 1];
    sp_reflection(params.filterIndex, mode, k);
    const int scale = sp_step_up(k, a);

    /* The residual of the pre-emphasised input through the quantised A(z). */
    double ad[kSpOrder + 1];
    for (int i = 0; i <= kSpOrder; ++i) ad[i] = a[i] / static_cast<double>(a[0]);
    double residual[kSpFrameSamples];
    for (int n = 0; n < kSpFrameSamples; ++n) {
        double acc = enc->speech[kPast + n];
        for (int i = 1; i <= kSpOrder; ++i) acc += ad[i] * enc->speech[kPast + n - i];
        residual[n] = acc;
    }

    if (mode && enc->options.noiseFrames && level < kNoiseFrameLevel) {
        encode_noise(enc, residual, &params, params.filterIndex);
        return sp_pack(params, mode, out);
    }
    enc->noiseRun = 0;

    /* Impulse response of D(z) S(z) for the frame's filter. */
    double h[kSpSubframe];
    for (int n = 0; n < kSpSubframe; ++n) {
        double acc = n == 0 ? 1.0 : 0.0;
        for (int i = 1; i <= kSpOrder && i <= n; ++i) acc -= ad[i] * h[n - i];
        h[n] = acc;
    }
    for (int n = 1; n < kSpSubframe; ++n) h[n] += kPreEmphasis * h[n - 1];

    int previous = 0;
    for (int s = 0; s < 4; ++s) {
        const int open = open_loop_lag(*enc, kPast + s * kSpSubframe);
        int lo, hi;
        lag_range(s, previous, open, &lo, &hi);
        int32_t e[kSpSubframe];
        if (enc->options.analysisBySynthesis) {
            double x[kSpSubframe];
            for (int n = 0; n < kSpSubframe; ++n) x[n] = in[s * kSpSubframe + n];
            search_subframe(enc, x, h, a, scale, s, lo, hi, &params, e);
        } else {
            const int lag = open < lo ? lo : (open > hi ? hi : open);
            open_loop_subframe(enc, residual + s * kSpSubframe, s, lag, &params, e);
        }
        previous = params.lag[s];
        synthesise(enc, a, scale, e, enc->output + s * kSpSubframe);
    }
    memcpy(enc->previousIndices, params.filterIndex, sizeof params.filterIndex);
    return sp_pack(params, mode, out);
}

} // namespace kvx
