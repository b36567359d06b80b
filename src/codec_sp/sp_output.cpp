/* The SP output stage (see sp_output.h). */
#include "codec_sp/sp_output.h"

#include <string.h>

#include "codec_sp/sp_fixed.h"
#include "core/state.h"

namespace kvx {

const SpeedProfile kSpSpeedProfile = {
    kSpOutputSamples,
    124, /* 32767 down to 155 over 264 samples */
    {24.0, 30.0, 31.92, 36.0, 48.0, 19.2, 18.0, 15.84, 12.0},
};

uint32_t g_speedCounter = 0;

namespace {

constexpr uint32_t kSlower = 0x80;        /* in a speed setting: bit 15 of the control word */
constexpr int kMaxStep = 4;

inline int32_t fade_out(const SpeedProfile &p, int i)
{
    return 32767 - p.fadeStep_Q15 * i;
}

inline int32_t fade_in(const SpeedProfile &p, int i)
{
    return fade_out(p, p.frameLength - 1 - i);
}

/* Step n drops one frame in 5 - n (the frame at counter 4 - n), and plays
 * its successor faded in over the dropped frame's fade-out. */
bool faster_cycle(int step, int32_t *frame, int32_t *held, const SpeedProfile &p)
{
    const uint32_t drop = static_cast<uint32_t>(kMaxStep - step);
    if (g_speedCounter < drop) {
        ++g_speedCounter;
        return false;
    }
    if (g_speedCounter == drop) {
        /* Only shrinks values: no limit needed. */
        for (int i = 0; i < p.frameLength; ++i) held[i] = shr_wrap32(static_cast<int64_t>(frame[i]) * fade_out(p, i), 15);
        ++g_speedCounter;
        return true;
    }
    /* No rounding constant here, unlike the decoder's filters. */
    for (int i = 0; i < p.frameLength; ++i)
        frame[i] = clamp_sym16(shr_wrap32(static_cast<int64_t>(held[i]) * 32768 + static_cast<int64_t>(frame[i]) * fade_in(p, i), 15));
    g_speedCounter = 0;
    return false;
}

/* Step n inserts one frame per 4 - n plain ones: the cycle's first frame is
 * played blended with the frame kept before it and then played again as
 * it is (bit 0x10); the last plain frame of a cycle is kept for the next. */
void slower_cycle(int step, int32_t *frame, int32_t *held, const SpeedProfile &p, uint32_t *control)
{
    const uint32_t plain = static_cast<uint32_t>(kMaxStep - step);
    if (g_speedCounter == 0) {
        for (int i = 0; i < p.frameLength; ++i) {
            const int64_t kept = static_cast<int64_t>(fade_in(p, i)) * held[i];
            held[i] = frame[i];
            frame[i] = clamp_sym16(shr_wrap32(static_cast<int64_t>(fade_out(p, i)) * frame[i] + kept, 15));
        }
        *control |= kCwHeldFrame;
        if (step != kMaxStep) ++g_speedCounter;
        return;
    }
    if (g_speedCounter < plain) {
        ++g_speedCounter;
        return;
    }
    memcpy(held, frame, static_cast<size_t>(p.frameLength) * sizeof frame[0]);
    g_speedCounter = 0;
}

void write_low16(const int32_t *values, int n, int16_t *out)
{
    for (int i = 0; i < n; ++i) out[i] = static_cast<int16_t>(static_cast<uint16_t>(values[i]));
}

} // namespace

bool speed_frame_ms(const SpeedProfile &profile, uint32_t setting, double *ms)
{
    const uint32_t row = setting >> 3; /* bits 11..15 of the control word */
    if (row <= 4) {
        *ms = profile.frameMs[row];
        return true;
    }
    if (row >= 17 && row <= 20) {
        *ms = profile.frameMs[row - 12];
        return true;
    }
    return false;
}

bool speed_stage(int32_t *frame, int32_t *held, const SpeedProfile &profile, uint32_t *control)
{
    /* A new setting takes over only at a cycle boundary; the time played
     * under the old one is banked first, so that the sessions can reckon
     * the position as banked time plus frames returned times frame time. */
    if (g_speedCounter == 0 && speed_setting(*control) != g_session.speedInUse) {
        double ms;
        if (speed_frame_ms(profile, g_session.speedInUse, &ms)) {
            const long double added = static_cast<long double>(static_cast<int64_t>(g_session.framesReturned)) * ms;
            g_session.speedChangeMs = static_cast<float>(static_cast<long double>(g_session.speedChangeMs) + added);
        }
        g_session.framesReturned = 0;
        g_session.speedInUse = speed_setting(*control);
    }

    const uint32_t setting = g_session.speedInUse;
    const int step = static_cast<int>((setting >> 3) & 7);
    if (setting & kSlower) {
        g_session.speedUsed = true;
        if (step >= 1 && step <= kMaxStep) slower_cycle(step, frame, held, profile, control);
        return false;
    }
    if (step != 0) {
        g_session.speedUsed = true;
        if (step <= kMaxStep) return faster_cycle(step, frame, held, profile);
    }
    return false;
}

namespace {

/* Each phase's six taps reversed in eight slots, the last two zero, for
 * the fast path below. */
struct RateTaps16 {
    int16_t v[kSpRatePhases][8];
};

RateTaps16 reversed_rate_taps()
{
    RateTaps16 t = {};
    for (int phase = 0; phase < kSpRatePhases; ++phase) {
        for (int j = 0; j < kSpRateTaps; ++j)
            t.v[phase][kSpRateTaps - 1 - j] = static_cast<int16_t>(kSpRateFilter_Q15[phase + kSpRatePhases * j]);
    }
    return t;
}

const RateTaps16 kRateTaps16 = reversed_rate_taps();

/* The fast path of sp_rate_convert (see sp_fixed.h), for a line of 16-bit
 * values, four outputs at a time: output o reads line[pos - 5 .. pos + 3)
 * with its phase's reversed taps. */
bool rate_convert_16(const int32_t line[kSpRateTaps + kSpFrameSamples], int32_t out[kSpOutputSamples])
{
    static_assert(kSpOutputSamples % 4 == 0, "whole groups of four outputs");
    int16_t line16[kSpRateTaps + kSpFrameSamples + 2] = {};
    if (!narrow16(line, kSpRateTaps + kSpFrameSamples, line16)) return false;
    int pos = kSpRateTaps;
    int phase = 0;
    for (int o = 0; o < kSpOutputSamples; o += 4) {
        const int16_t *taps[4];
        const int16_t *lines[4];
        for (int k = 0; k < 4; ++k) {
            taps[k] = kRateTaps16.v[phase];
            lines[k] = line16 + pos - (kSpRateTaps - 1);
            ++pos;
            if (++phase == kSpRatePhases) {
                phase = 0;
                ++pos;
            }
        }
        uint32_t sums[4];
        dot8_x4(taps, lines, sums);
        for (int k = 0; k < 4; ++k) out[o + k] = clamp_sym16(as_signed(sums[k]) >> 15);
    }
    return true;
}

} // namespace

void sp_rate_convert(const int32_t in[kSpFrameSamples], int32_t out[kSpOutputSamples])
{
    int32_t line[kSpRateTaps + kSpFrameSamples];
    memcpy(line, g_spOutput.rateHistory, sizeof g_spOutput.rateHistory);
    memcpy(line + kSpRateTaps, in, kSpFrameSamples * sizeof in[0]);
    if (g_spFastPaths && rate_convert_16(line, out)) {
        memcpy(g_spOutput.rateHistory, line + kSpFrameSamples, sizeof g_spOutput.rateHistory);
        return;
    }
    /* Every 11 outputs consume 12 inputs: after each group of phases the
     * line moves on by one extra sample. */
    int pos = kSpRateTaps;
    int phase = 0;
    for (int o = 0; o < kSpOutputSamples; ++o) {
        int64_t acc = 0;
        for (int j = 0; j < kSpRateTaps; ++j)
            acc += static_cast<int64_t>(kSpRateFilter_Q15[phase + kSpRatePhases * j]) * line[pos - j];
        out[o] = clamp_sym16(shr_wrap32(acc, 15));
        ++pos;
        if (++phase == kSpRatePhases) {
            phase = 0;
            ++pos;
        }
    }
    memcpy(g_spOutput.rateHistory, line + kSpFrameSamples, sizeof g_spOutput.rateHistory);
}

uint32_t sp_output(const int32_t frame[kSpFrameSamples], uint32_t *control, int16_t *out)
{
    const uint32_t c = *control;
    /* 288-sample output bypasses the converter and leaves its history. */
    if ((c & kCwSp288) && !(c & kCw264Samples)) {
        write_low16(frame, kSpFrameSamples, out);
        return kSpFrameSamples;
    }
    int32_t converted[kSpOutputSamples];
    sp_rate_convert(frame, converted);
    if (!(c & (kCwFileOutput | kCwSp288))) {
        if (speed_stage(converted, g_spOutput.held, kSpSpeedProfile, control)) return 0;
    }
    write_low16(converted, kSpOutputSamples, out);
    return kSpOutputSamples;
}

} // namespace kvx
