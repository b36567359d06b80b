/* SP frames written: the bit layout sp_unpack reads, field for field. */
#include <string.h>

#include "encode_sp/sp_encoder.h"

namespace kvx {

namespace {

constexpr uint8_t kFilterIndexWidth[kSpOrder] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};
constexpr int kFirstSubframeBit = 52;
constexpr int kSubframeBits = 63;
constexpr int kLagCodeBit = 304;
constexpr int kNoiseGainBit[4] = {52, 57, 64, 67};
constexpr int kNoiseGainWidth[4] = {5, 5, 3, 5};

/* Writes the low `width` bits of v at bit `offset`, most significant first. */
void put_bits(uint8_t *out, int offset, int width, uint32_t v)
{
    for (int i = 0; i < width; ++i) {
        const int bit = offset + i;
        if ((v >> (width - 1 - i)) & 1) out[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
    }
}

} // namespace

void sp_lag_window(int previous, int *first)
{
    int start = previous > 162 ? 139 : previous - 23;
    *first = start < 36 ? 36 : start;
}

bool sp_encode_lags(const int16_t lag[4], uint32_t *code)
{
    if (lag[0] < 36 || lag[0] > kSpMaxLag) return false;
    uint32_t digits = 0;
    for (int s = 3; s >= 1; --s) {
        int first;
        sp_lag_window(lag[s - 1], &first);
        const int digit = lag[s] - first;
        if (digit < 0 || digit > 47) return false;
        digits = digits * 48 + static_cast<uint32_t>(digit);
    }
    *code = digits * 151 + static_cast<uint32_t>(lag[0] - 36);
    return true;
}

uint32_t sp_encode_pulses(const int16_t position[kSpPulses])
{
    uint32_t combination = 0;
    for (int k = kSpPulses; k >= 1; --k) combination += kSpBinomial.v[position[kSpPulses - k]][k];
    return combination;
}

uint32_t sp_pack(const SpFrameParams &params, bool speechFlagMode, uint8_t out[kSpFullBytes])
{
    const bool noise = speechFlagMode && params.speechFlag == 0;
    const uint32_t length = noise ? kSpNoiseBytes : kSpFullBytes;
    memset(out, 0, length);
    int bit = 0;
    if (speechFlagMode) put_bits(out, bit++, 1, noise ? 0 : 1);
    for (int i = 0; i < kSpOrder; ++i) {
        const int width = (i == kSpOrder - 1 && speechFlagMode) ? 2 : kFilterIndexWidth[i];
        put_bits(out, bit, width, static_cast<uint32_t>(params.filterIndex[i]));
        bit += width;
    }
    if (noise) {
        for (int s = 0; s < 4; ++s)
            put_bits(out, kNoiseGainBit[s], kNoiseGainWidth[s], static_cast<uint32_t>(params.gainIndex[s]));
        return length;
    }
    for (int s = 0; s < 4; ++s) {
        const SpSubframeParams &sub = params.sub[s];
        int b = kFirstSubframeBit + s * kSubframeBits;
        put_bits(out, b, 5, static_cast<uint32_t>(params.gainIndex[s]));
        put_bits(out, b + 5, 31, sub.combination);
        put_bits(out, b + 36, 6, static_cast<uint32_t>(sub.pulseGainIndex));
        b += 42;
        for (int j = 0; j < kSpPulses; ++j, b += 3) put_bits(out, b, 3, static_cast<uint32_t>(sub.amplitudeIndex[j]));
    }
    uint32_t code = 0;
    sp_encode_lags(params.lag, &code);
    put_bits(out, kLagCodeBit, 24, code);
    return length;
}

} // namespace kvx
