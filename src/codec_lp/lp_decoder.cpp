/* The LP codec's entries and output handling (see lp_decoder.h). */
#include "codec_lp/lp_decoder.h"

#include <string.h>

#include "codec_lp/lp_g7231.h"
#include "codec_lp/lp_state.h"
#include "codec_sp/sp_output.h"

namespace kvx {

LpOutputState g_lpOutput = {};

namespace {

constexpr uint32_t kCwReset = 0x1;
constexpr uint32_t kCwHeld = 0x10;
constexpr uint32_t kCwPlain = 0x20 | 0x80000;
constexpr uint32_t kCw11k = 0x40;

/* The LP frame in the shared speed stage: 240 values, fades of 136 per
 * sample (32767 down to 263), 30 ms of recording per frame at normal
 * speed. */
const SpeedProfile kLpSpeedProfile = {
    static_cast<int>(kLpFrameSamples),
    136,
    {30.0, 37.5, 39.9, 45.0, 60.0, 24.0, 22.5, 19.8, 15.0},
};

/* Second-order low-pass of the converter, Q15: w = u + a1 w1 - a2 w2,
 * out = b1 w1 + b2 w2 + b0 w.  Each product is shifted on its own. */
constexpr int32_t kA1_Q15 = 16669;
constexpr int32_t kA2_Q15 = 7133;
constexpr int32_t kB0_Q15 = 5808;
constexpr int32_t kB1_Q15 = 11616;
constexpr int32_t kB2_Q15 = 5808;

inline int32_t clamp_sym(int32_t v)
{
    return v > 32767 ? 32767 : (v < -32767 ? -32767 : v);
}

inline int32_t q15(int32_t c, int32_t v)
{
    return static_cast<int32_t>((static_cast<int64_t>(c) * v) >> 15);
}

int16_t low_pass(int32_t u)
{
    LpOutputState &s = g_lpOutput;
    const int32_t w = clamp_sym(u + q15(kA1_Q15, s.w1) - q15(kA2_Q15, s.w2));
    const int32_t out = clamp_sym(q15(kB1_Q15, s.w1) + q15(kB2_Q15, s.w2) + q15(kB0_Q15, w));
    s.w2 = s.w1;
    s.w1 = w;
    return static_cast<int16_t>(out);
}

void decode_frame(const uint8_t *frame, uint32_t *control, int16_t out[kLpFrameSamples])
{
    if (*control & kCwReset) {
        lp_reset();
        *control &= ~kCwReset;
    }
    lp_synthesise(frame, out);
}

} // namespace

uint32_t lp_slot_samples(uint32_t control)
{
    return ((control & kCwPlain) && (control & kCw11k)) ? kLp11kSamples : kLpFrameSamples;
}

void lp_convert_11k(const int16_t in[kLpFrameSamples], int16_t out[kLp11kSamples])
{
    /* Every 8 inputs become 11: the odd pairs get their mean between them. */
    for (uint32_t g = 0; g < kLpFrameSamples / 8; ++g) {
        const int16_t *x = in + 8 * g;
        int16_t *y = out + 11 * g;
        const int32_t u[11] = {x[0], x[1], (x[1] + x[2]) >> 1, x[2], x[3], (x[3] + x[4]) >> 1,
                               x[4], x[5], (x[5] + x[6]) >> 1, x[6], x[7]};
        for (int i = 0; i < 11; ++i) y[i] = low_pass(u[i]);
    }
}

void lp_skip_frame(uint8_t **frame)
{
    *frame += lp_frame_bytes(**frame);
}

void lp_level_decode(const uint8_t *frame, uint32_t *control, int16_t out[kLpFrameSamples])
{
    decode_frame(frame, control, out);
}

uint32_t lp_decode(uint8_t **frame, uint32_t *control, int16_t *out)
{
    if (*control & kCwHeld) {
        for (uint32_t i = 0; i < kLpFrameSamples; ++i) out[i] = static_cast<int16_t>(g_lpOutput.held[i]);
        *control &= ~kCwHeld;
        return kLpFrameSamples;
    }

    int16_t pcm[kLpFrameSamples];
    decode_frame(*frame, control, pcm);
    *frame += lp_frame_bytes(**frame);

    if (*control & kCwPlain) {
        if (*control & kCw11k) {
            lp_convert_11k(pcm, out);
            return kLp11kSamples;
        }
        memcpy(out, pcm, sizeof pcm);
        return kLpFrameSamples;
    }

    int32_t values[kLpFrameSamples];
    for (uint32_t i = 0; i < kLpFrameSamples; ++i) values[i] = pcm[i];
    if (speed_stage(values, g_lpOutput.held, kLpSpeedProfile, control)) return 0;
    for (uint32_t i = 0; i < kLpFrameSamples; ++i) out[i] = static_cast<int16_t>(static_cast<uint16_t>(values[i]));
    return kLpFrameSamples;
}

} // namespace kvx
