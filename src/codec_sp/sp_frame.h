/*
 * sp_frame.h - SP frames in the stored stream, and their unpacking.
 *
 * An SP frame is 288 samples (four subframes of 72), 24 ms.  The stored
 * stream is a run of 16-bit words stored low byte first; the frame bits
 * are read high byte first, most significant bit first.  A full frame has
 * 328 bits (41 bytes), a noise frame 72 bits (9 bytes).  Both lengths are
 * odd, so frames alternate between starting on a word boundary (parity 1)
 * and in the middle of a word (parity 0), where the frame's first byte is
 * the low byte of the word whose high byte ended the previous frame.
 *
 * Speech-flag mode (bit 0x2 of the control word, from the block's codec
 * byte) puts a speech flag in front of each frame; a flag of 0 makes the
 * frame a noise frame.  Without it every frame is a full frame.
 */
#ifndef KVX_CODEC_SP_SP_FRAME_H
#define KVX_CODEC_SP_SP_FRAME_H

#include <stdint.h>

#include "codec_sp/sp_tables.h"

namespace kvx {

constexpr int kSpFrameWords = 21;         /* a full frame fills 20.5 words */
constexpr int kSpNoiseWords = 5;          /* a noise frame fills 4.5 words */
constexpr uint32_t kSpFullBytes = 41;
constexpr uint32_t kSpNoiseBytes = 9;
constexpr uint32_t kSpCwSpeechFlagMode = 0x2;

struct SpSubframeParams {
    uint32_t combination;                 /* pulse combination index, 31 bits */
    int16_t position[kSpPulses];          /* pulse positions 0..71, largest first */
    int16_t pulseGainIndex;               /* 0..63 */
    int16_t amplitudeIndex[kSpPulses];    /* 0..7, [j] belongs to position[j] */
};

/* One frame's parameters.  A noise frame sets the speech flag, the filter
 * indices and (in gainIndex) the four noise gain indices and leaves the
 * rest as it was. */
struct SpFrameParams {
    int16_t speechFlag;                   /* 1 for every frame outside speech-flag mode */
    int16_t filterIndex[kSpOrder];        /* [i] selects reflection coefficient i + 1 */
    int16_t lag[4];                       /* pitch lag per subframe, 36..186 */
    int16_t gainIndex[4];                 /* adaptive gain index 0..31, or noise gain index */
    SpSubframeParams sub[4];
};

/* Field of `width` (1..31) bits at bit `offset` of a frame's words. */
uint32_t sp_frame_bits(const uint16_t *words, int offset, int width);

/* Reads the frame at *frame into `words` (21, of which a noise frame fills
 * 5) at the frame parity g_read.parity, with the held byte at parity 0;
 * records the speech flag, keeps the next held byte at parity 1, flips the
 * parity and advances *frame by the frame's length, 41 or 9.  Reads from
 * *frame - 1 up to *frame + length - 1 only. */
void sp_fetch_frame(uint8_t **frame, bool speechFlagMode, uint16_t words[kSpFrameWords]);

/* Fills `params` from a frame's words. */
void sp_unpack(const uint16_t words[kSpFrameWords], bool speechFlagMode, SpFrameParams *params);

/* The 24-bit lag code to the four subframe lags. */
void sp_decode_lags(uint32_t code, int16_t lag[4]);

/* A pulse combination index (lowered to 1473109703 when larger) to seven
 * distinct positions, largest first. */
void sp_decode_pulses(uint32_t combination, int16_t position[kSpPulses]);

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_FRAME_H */
