/*
 * sp_encoder.h - the SP encoder: 12 kHz speech to frames the SP decoder
 * reads.
 *
 * Not part of the decoding library: kvx_encode_sp is a library of its own,
 * for the tool and the tests.  An encoder holds a copy of everything the
 * decoder keeps between frames, so it runs beside a decode in the same
 * process without disturbing it.
 */
#ifndef KVX_ENCODE_SP_SP_ENCODER_H
#define KVX_ENCODE_SP_SP_ENCODER_H

#include <stdint.h>

#include "codec_sp/sp_frame.h"
#include "codec_sp/sp_state.h"

namespace kvx {

struct SpEncoderOptions {
    bool speechFlagMode = false;    /* a speech flag in front of each frame */
    bool noiseFrames = false;       /* in speech-flag mode: 9-byte noise frames where the input is quiet */
    bool analysisBySynthesis = true; /* false: the open-loop comparison encoder */
};

struct SpEncoder;

SpEncoder *sp_encoder_create(const SpEncoderOptions &options);
void sp_encoder_destroy(SpEncoder *encoder);

/* Encodes 288 samples at 12000 Hz into one frame, its bytes in bit-stream
 * order (frame bit 0 at the top of byte 0), and returns its length: 41, or
 * 9 for a noise frame.  `out` has room for 41 bytes. */
uint32_t sp_encode_frame(SpEncoder *encoder, const int16_t in[kSpFrameSamples], uint8_t out[kSpFullBytes]);

/* The 288 samples the decoder gives for the frame last encoded when it
 * decodes the frames in turn from a reset, with the postfilter off and
 * plain 288-sample output: the encoder's own copy of the synthesis. */
const int16_t *sp_encoder_output(const SpEncoder *encoder);

/* The packer, the inverse of sp_unpack: `params` to a frame in bit-stream
 * order (41 bytes, 9 for a noise frame; the unused bits of a noise frame
 * are 0).  Takes the pulse combination as sub[s].combination and the lags
 * as params.lag, which must lie in the windows the lag code allows.
 * Returns the length written. */
uint32_t sp_pack(const SpFrameParams &params, bool speechFlagMode, uint8_t out[kSpFullBytes]);

/* The 24-bit lag code of four subframe lags (sp_decode_lags inverted);
 * false when a lag lies outside the window its predecessor allows. */
bool sp_encode_lags(const int16_t lag[4], uint32_t *code);

/* The combination index of seven distinct positions 0..71, largest
 * first (sp_decode_pulses inverted). */
uint32_t sp_encode_pulses(const int16_t position[kSpPulses]);

/* The window of lags that may follow `previous`: [*first, *first + 47]. */
void sp_lag_window(int previous, int *first);

} // namespace kvx

#endif /* KVX_ENCODE_SP_SP_ENCODER_H */
