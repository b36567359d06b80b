#include "format/header.h"

namespace kvx {
namespace hdr {

bool magic_ok(const uint8_t *first_block)
{
    return first_block[kMagic] == 'k' && first_block[kMagic + 1] == 'v' && first_block[kMagic + 2] == 'x';
}

uint32_t digit_pair(const uint8_t *p)
{
    auto digit = [](uint8_t c) -> uint32_t { return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0') : 0; };
    return digit(p[0]) * 10 + digit(p[1]);
}

uint32_t length_digits_ms(const uint8_t *digits)
{
    return (digit_pair(digits) * 3600 + digit_pair(digits + 2) * 60 + digit_pair(digits + 4)) * 1000;
}

void put_digits(uint8_t *out, unsigned a, unsigned b, unsigned c)
{
    const unsigned v[3] = {a % 100, b % 100, c % 100};
    for (int i = 0; i < 3; ++i) {
        out[2 * i] = static_cast<uint8_t>('0' + v[i] / 10);
        out[2 * i + 1] = static_cast<uint8_t>('0' + v[i] % 10);
    }
}

uint32_t frame_ms(uint8_t codec_byte)
{
    return codec_byte <= 1 ? kSpFrameMs : codec_byte <= 3 ? kLpFrameMs : 0;
}

uint32_t block_ms(const uint8_t *block)
{
    /* The frame count is a signed byte.  Only the markers are negative
     * (0xFF passed over, 0xAA end), and they carry no audio: summing them
     * as negative times would shorten a file's length or wrap it. */
    const int count = static_cast<int8_t>(block[kBlockFrameCount]);
    if (count <= 0) return 0;
    return static_cast<uint32_t>(count) * frame_ms(block[kBlockCodec]);
}

} // namespace hdr
} // namespace kvx
