// Header field readers and the block time rule.
#include <gtest/gtest.h>

#include "format/header.h"

using namespace kvx;

TEST(HeaderFields, DigitsAndBlockTimes)
{
    const struct {
        const char *digits;
        uint32_t ms;
    } lengths[] = {{"012345", 5025000}, {"999999", 362439000}, {"\xFF\xFF\xFF\xFF\xFF\xFF", 0}};
    for (const auto &c : lengths) EXPECT_EQ(hdr::length_digits_ms(reinterpret_cast<const uint8_t *>(c.digits)), c.ms);
    uint8_t out[7] = {};
    hdr::put_digits(out, 2026, 12, 6);
    EXPECT_STREQ(reinterpret_cast<char *>(out), "261206");
    // Codec bytes 0/1 are SP (24 ms), 2/3 LP (30 ms), others have no time;
    // blocks passed over (0, 0xFF, any count of 0x80 and more) and the end
    // marker 0xAA have none either, as a signed count would take time away.
    const struct {
        uint8_t count, codec;
        uint32_t ms;
    } blocks[] = {{20, 0, 480}, {20, 1, 480}, {20, 2, 600}, {20, 3, 600}, {20, 4, 0}, {0x7F, 0, 3048},
                  {0, 2, 0},    {0xFF, 2, 0}, {0xAA, 2, 0}, {0x80, 2, 0}};
    for (const auto &c : blocks) {
        const uint8_t block[6] = {0x0F, 0x03, c.count, 0xFF, c.codec, 0xFF};
        EXPECT_EQ(hdr::block_ms(block), c.ms) << int(c.count) << " " << int(c.codec);
    }
    EXPECT_EQ(hdr::codec_flag(4), 0u);
}
