/* SP frames: fetching from the stored stream, skipping, unpacking. */
#include "codec_sp/sp_frame.h"

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"

namespace kvx {

namespace {

/* Frame bit offsets.  The filter indices start at bit 0, or at bit 1 after
 * the speech flag; everything from bit 52 on is the same in both modes. */
constexpr uint8_t kFilterIndexWidth[kSpOrder] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};
constexpr int kFirstSubframeBit = 52;
constexpr int kSubframeBits = 63;          /* 5 + 31 + 6 + 7 x 3 */
constexpr int kLagCodeBit = 304;
constexpr int kNoiseGainBit[4] = {52, 57, 64, 67};
constexpr int kNoiseGainWidth[4] = {5, 5, 3, 5};

/* At parity 1 the frame starts on a word boundary and its first byte is
 * the stored byte at p + 1; at parity 0 it is the byte at p - 1, which the
 * decoder has kept from the frame before. */
uint32_t frame_length(bool speechFlagMode, uint8_t firstByte, bool *speechFlag)
{
    *speechFlag = !speechFlagMode || (firstByte & 0x80) != 0;
    return *speechFlag ? kSpFullBytes : kSpNoiseBytes;
}

} // namespace

uint32_t sp_frame_bits(const uint16_t *words, int offset, int width)
{
    const int first = offset >> 4;
    const int last = (offset + width - 1) >> 4;
    uint64_t acc = 0;
    for (int k = first; k <= last; ++k) acc = (acc << 16) | words[k];
    const int shift = (last + 1) * 16 - (offset + width);
    return static_cast<uint32_t>(acc >> shift) & ((1u << width) - 1);
}

void sp_fetch_frame(uint8_t **frame, bool speechFlagMode, uint16_t words[kSpFrameWords])
{
    const uint8_t *p = *frame;
    const bool parity = g_read.parity;
    bool speech;
    /* At parity 0 the frame's first byte is the stored byte at p - 1: the
     * held byte when frames are decoded in turn, but after a session starts
     * at a block whose first frame lies at an odd offset the held byte is
     * that of a frame decoded elsewhere.  The frame position always has one
     * readable byte before it, so the byte is taken from there. */
    const uint8_t first = parity ? p[1] : p[-1];
    const uint32_t length = frame_length(speechFlagMode, first, &speech);
    const int n = static_cast<int>(length + 1) / 2;
    if (parity) {
        /* Whole stored words, the last one only by its high byte; its low
         * byte begins the next frame. */
        for (int k = 0; k < n - 1; ++k) words[k] = static_cast<uint16_t>(p[2 * k + 1] << 8 | p[2 * k]);
        words[n - 1] = static_cast<uint16_t>(p[2 * n - 1] << 8);
        g_sp.heldByte = p[2 * n - 2];
    } else {
        /* Each frame word straddles two stored words: high byte from the
         * first one's low byte, low byte from the next one's high byte. */
        words[0] = static_cast<uint16_t>(first << 8 | p[2]);
        for (int k = 1; k < n - 1; ++k) words[k] = static_cast<uint16_t>(p[2 * k - 1] << 8 | p[2 * k + 2]);
        words[n - 1] = static_cast<uint16_t>(p[2 * n - 3] << 8);
    }
    g_sp.speechFlag = speech;
    g_read.parity = !parity;
    *frame += length;
}

uint32_t sp_frame_span(const uint8_t *frame, uint32_t control)
{
    bool speech;
    const uint8_t first = g_read.parity ? frame[1] : frame[-1];
    /* The bytes read from the frame position on: the frame and, at either
     * parity, one byte of the stored word it ends in. */
    return frame_length((control & kSpCwSpeechFlagMode) != 0, first, &speech) + 1;
}

void sp_skip_frame(uint8_t **frame, uint32_t *control)
{
    uint8_t *p = *frame;
    const bool parity = g_read.parity;
    bool speech;
    const uint32_t length = frame_length((*control & kSpCwSpeechFlagMode) != 0, parity ? p[1] : p[-1], &speech);
    if (parity) g_sp.heldByte = p[length - 1];
    g_sp.speechFlag = speech;
    g_read.parity = !parity;
    *frame = p + length;
}

void sp_decode_lags(uint32_t code, int16_t lag[4])
{
    /* Lag 1 takes 151 values (36..186); each later lag is a base-48 digit
     * in a window that starts 23 below the lag before, kept inside
     * 36..186. */
    lag[0] = static_cast<int16_t>(code % 151 + 36);
    uint32_t q = code / 151;
    for (int s = 1; s < 4; ++s) {
        const int32_t digit = static_cast<int32_t>(q % 48);
        q /= 48;
        const int32_t prev = lag[s - 1];
        int32_t start = prev > 162 ? 139 : prev - 23;
        if (start < 36) start = 36;
        lag[s] = static_cast<int16_t>(start + digit);
    }
}

void sp_decode_pulses(uint32_t combination, int16_t position[kSpPulses])
{
    uint32_t rest = combination > kSpMaxCombination ? kSpMaxCombination : combination;
    int c = kSpPositions;
    for (int k = kSpPulses; k >= 1; --k) {
        /* C(c, k) is 0 for c < k, so the search ends at c >= 0; positions
         * come out distinct and decreasing because what is left after a
         * digit is below C(ck, k - 1). */
        do --c;
        while (kSpBinomial.v[c][k] > rest);
        rest -= kSpBinomial.v[c][k];
        position[kSpPulses - k] = static_cast<int16_t>(c);
    }
}

void sp_unpack(const uint16_t words[kSpFrameWords], bool speechFlagMode, SpFrameParams *params)
{
    int bit = 0;
    params->speechFlag = 1;
    if (speechFlagMode) {
        params->speechFlag = static_cast<int16_t>(sp_frame_bits(words, 0, 1));
        bit = 1;
    }
    for (int i = 0; i < kSpOrder; ++i) {
        /* The 14th index loses a bit to the speech flag. */
        const int width = (i == kSpOrder - 1 && speechFlagMode) ? 2 : kFilterIndexWidth[i];
        params->filterIndex[i] = static_cast<int16_t>(sp_frame_bits(words, bit, width));
        bit += width;
    }
    if (params->speechFlag == 0) {
        for (int s = 0; s < 4; ++s)
            params->gainIndex[s] = static_cast<int16_t>(sp_frame_bits(words, kNoiseGainBit[s], kNoiseGainWidth[s]));
        return;
    }
    for (int s = 0; s < 4; ++s) {
        SpSubframeParams &sub = params->sub[s];
        int b = kFirstSubframeBit + s * kSubframeBits;
        params->gainIndex[s] = static_cast<int16_t>(sp_frame_bits(words, b, 5));
        sub.combination = sp_frame_bits(words, b + 5, 31);
        sub.pulseGainIndex = static_cast<int16_t>(sp_frame_bits(words, b + 36, 6));
        b += 42;
        for (int j = 0; j < kSpPulses; ++j, b += 3) sub.amplitudeIndex[j] = static_cast<int16_t>(sp_frame_bits(words, b, 3));
        sp_decode_pulses(sub.combination, sub.position);
    }
    sp_decode_lags(sp_frame_bits(words, kLagCodeBit, 24), params->lag);
}

} // namespace kvx
