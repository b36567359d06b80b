// Header field readers and the block time rule.
#include <gtest/gtest.h>

#include <cstring>

#include "format/header.h"

using namespace kvx;

TEST(HeaderFields, LengthDigitsToMilliseconds)
{
    EXPECT_EQ(hdr::length_digits_ms(reinterpret_cast<const uint8_t *>("012345")), 5025000u);
    EXPECT_EQ(hdr::length_digits_ms(reinterpret_cast<const uint8_t *>("000000")), 0u);
    // The largest six digits still fit 32 bits.
    EXPECT_EQ(hdr::length_digits_ms(reinterpret_cast<const uint8_t *>("999999")), 362439000u);
    // Bytes that are not digits (an unset 0xFF field) count as 0.
    const uint8_t unset[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(hdr::length_digits_ms(unset), 0u);
}

TEST(HeaderFields, DigitsWrittenTwoByTwo)
{
    uint8_t out[7] = {};
    hdr::put_digits(out, 2026, 12, 6);
    EXPECT_STREQ(reinterpret_cast<char *>(out), "261206");
}

TEST(HeaderFields, MagicIsCaseSensitive)
{
    uint8_t block[4] = {2, 'k', 'v', 'x'};
    EXPECT_TRUE(hdr::magic_ok(block));
    std::memcpy(block + 1, "KVX", 3);
    EXPECT_FALSE(hdr::magic_ok(block));
    std::memcpy(block + 1, "kvX", 3);
    EXPECT_FALSE(hdr::magic_ok(block));
}

TEST(HeaderFields, LittleEndianNumbers)
{
    uint8_t bytes[4];
    hdr::put32(bytes, 0x12345678u);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(hdr::le32(bytes), 0x12345678u);
    hdr::put16(bytes, 0xBEEF);
    EXPECT_EQ(hdr::le16(bytes), 0xBEEF);
}

TEST(BlockTime, FrameCountTimesCodecFrameTime)
{
    uint8_t block[6] = {0x0F, 0x03, 20, 0xFF, 0, 0xFF};
    EXPECT_EQ(hdr::first_frame_offset(block), 6u);
    EXPECT_EQ(hdr::block_ms(block), 480u); // SP: 24 ms a frame
    block[4] = 1;
    EXPECT_EQ(hdr::block_ms(block), 480u);
    block[4] = 2;
    EXPECT_EQ(hdr::block_ms(block), 600u); // LP: 30 ms a frame
    block[4] = 3;
    EXPECT_EQ(hdr::block_ms(block), 600u);
    block[4] = 4; // an unknown codec byte has no time
    EXPECT_EQ(hdr::block_ms(block), 0u);
    EXPECT_EQ(hdr::codec_flag(4), 0u);
}

TEST(BlockTime, MarkerBlocksHaveNoTime)
{
    // Passed-over blocks (0, 0xFF) and the end marker (0xAA) must not take
    // time away from the total, as a signed frame count would.
    for (uint8_t count : {0x00, 0xFF, 0xAA, 0x80}) {
        uint8_t block[6] = {0x0F, 0x03, count, 0xFF, 2, 0xFF};
        EXPECT_EQ(hdr::block_ms(block), 0u) << "frame count " << int(count);
    }
}
