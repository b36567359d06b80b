/*
 * sp_output.h - the output stage: 12:11 rate conversion and playback speed.
 *
 * The synthesis runs at 12 kHz; playback is at 11025 Hz, so 288 samples
 * become 264 (still counted as 24 ms).  The speed stage then drops or
 * inserts whole frames with cross-fades: faster playback fades a dropped
 * frame out into its successor, slower playback plays a frame blended with
 * the one before and then the frame itself again.
 *
 * The speed stage is the same for both codecs, only the frame length, the
 * fade slope and the frame times differ: SpeedProfile carries those, and
 * the cycle state (counter, setting in use, and the position reckoning that
 * the sessions read in g_session) is shared.
 */
#ifndef KVX_CODEC_SP_SP_OUTPUT_H
#define KVX_CODEC_SP_SP_OUTPUT_H

#include <stdint.h>

#include "codec_sp/sp_state.h"

namespace kvx {

constexpr uint32_t kCwHeldFrame = 0x10;
constexpr uint32_t kCwFileOutput = 0x20;
constexpr uint32_t kCw264Samples = 0x40;
constexpr uint32_t kCwSp288 = 0x40000;

/* The speed setting of a control word: its bits 8..15, as 0..255 (the form
 * kept in g_session.speedInUse).  Bit 7 of it selects slower playback,
 * bits 3..5 the step 1..4. */
constexpr uint32_t speed_setting(uint32_t control)
{
    return (control >> 8) & 0xFF;
}

struct SpeedProfile {
    int frameLength;         /* samples per output frame */
    int32_t fadeStep_Q15;    /* fade-out g(i) = 32767 - step i; fade-in f(i) = g(length - 1 - i) */
    double frameMs[9];       /* ms of recording per output frame, settings 0..4 then 17..20 */
};

extern const SpeedProfile kSpSpeedProfile;

/* The speed cycle's position: 0 at a cycle boundary, where a new setting
 * may take over.  Shared by the codecs. */
extern uint32_t g_speedCounter;

/* Milliseconds of recording per output frame at `setting` (bits 8..15 of
 * the control word), or false for a setting without a row (normal speed
 * outside the table, e.g. slower with step 0). */
bool speed_frame_ms(const SpeedProfile &profile, uint32_t setting, double *ms);

/* Runs one frame of `profile.frameLength` values through the speed stage:
 * may change `frame` (a cross-fade), keep it in `held`, and set bit 0x10
 * of *control to have the held frame emitted next.  Returns true when the
 * frame is dropped (nothing to write). */
bool speed_stage(int32_t *frame, int32_t *held, const SpeedProfile &profile, uint32_t *control);

/* The 12:11 polyphase converter: 288 values in, 264 out, with the 6-value
 * history in g_spOutput. */
void sp_rate_convert(const int32_t in[kSpFrameSamples], int32_t out[kSpOutputSamples]);

/* The whole output stage of the decode entry: writes the frame's samples
 * to `out` and returns their number (264, or 288 in plain 288-sample
 * output), or 0 when the speed stage dropped the frame. */
uint32_t sp_output(const int32_t frame[kSpFrameSamples], uint32_t *control, int16_t *out);

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_OUTPUT_H */
