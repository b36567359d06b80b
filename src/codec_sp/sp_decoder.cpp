/* The SP decode entry and the level meter. */
#include "codec_sp/sp_decoder.h"

#include <string.h>

#include "codec_sp/sp_frame.h"
#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "codec_sp/sp_synthesis.h"

namespace kvx {

SpDecoderState g_sp;
SpChannelState g_spDecode;
SpChannelState g_spLevel;
SpOutputState g_spOutput;
bool g_spFastPaths = true;

namespace {

constexpr uint32_t kCwReset = 0x1;
constexpr uint32_t kCwPostfilter = 0x20000;

/* A noise frame leaves lags and pulses as the last full frame set them. */
SpFrameParams g_params;

void clear_history()
{
    memset(g_sp.excitation, 0, sizeof g_sp.excitation);
}

} // namespace

uint32_t sp_slot_samples(uint32_t control)
{
    return (control & kCwSp288) && !(control & kCw264Samples) ? kSpFrameSamples : kSpOutputSamples;
}

uint32_t sp_decode(uint8_t **frame, uint32_t *control, int16_t *out)
{
    /* The level meter goes by the mode of the last call, held frame or not. */
    g_sp.speechFlagMode = (*control & kSpCwSpeechFlagMode) != 0;
    if (*control & kCwHeldFrame) {
        for (int i = 0; i < kSpOutputSamples; ++i) out[i] = static_cast<int16_t>(static_cast<uint16_t>(g_spOutput.held[i]));
        *control &= ~kCwHeldFrame;
        return kSpOutputSamples;
    }
    uint16_t words[kSpFrameWords];
    sp_fetch_frame(frame, g_sp.speechFlagMode, words);
    if (*control & kCwReset) {
        clear_history();
        *control &= ~kCwReset;
    }
    sp_unpack(words, g_sp.speechFlagMode, &g_params);
    int32_t samples[kSpFrameSamples];
    sp_synthesize(g_params, g_sp.speechFlagMode, (*control & kCwPostfilter) != 0, &g_spDecode, samples);
    return sp_output(samples, control, out);
}

void sp_level_decode(const uint8_t *frame, uint32_t *control, int16_t out[288])
{
    if (*control & kCwReset) {
        clear_history();
        g_spLevel.outputFilter = 0;
        g_sp.speechFlagMode = false;
        *control &= ~kCwReset;
    }
    /* Only the bytes of the frame are read: a noise frame may come in a
     * 9-byte buffer, and the 42nd byte never holds frame bits. */
    const bool noise = g_sp.speechFlagMode && !(frame[0] & 0x80);
    const int bytes = static_cast<int>(noise ? kSpNoiseBytes : kSpFullBytes);
    uint16_t words[kSpFrameWords] = {};
    for (int i = 0; i < bytes; ++i) words[i >> 1] |= static_cast<uint16_t>(frame[i] << ((i & 1) ? 0 : 8));
    sp_unpack(words, g_sp.speechFlagMode, &g_params);
    int32_t samples[kSpFrameSamples];
    sp_synthesize(g_params, g_sp.speechFlagMode, (*control & kCwPostfilter) != 0, &g_spLevel, samples);
    for (int i = 0; i < kSpFrameSamples; ++i) out[i] = static_cast<int16_t>(static_cast<uint16_t>(samples[i]));
}

} // namespace kvx
