// LP frames in the stored stream: lengths and the unpacking of fields.
#include <gtest/gtest.h>

#include "codec_lp/lp_decoder.h"
#include "kvx.h"
#include "codec_lp/lp_g7231.h"
#include "lp_test_frames.h"

using namespace kvx;
using lptest::ActiveFields;

TEST(LpFraming, LengthFollowsBitOneOfTheFirstByte)
{
    for (int first = 0; first < 256; ++first) {
        uint8_t frame[24] = {static_cast<uint8_t>(first)};
        uint8_t *p = frame;
        lp_skip_frame(&p);
        EXPECT_EQ(p - frame, (first & 2) ? 4 : 24) << first;
    }
}

TEST(LpUnpack, ActiveFieldsInTheStandardsOrder)
{
    const ActiveFields f;
    LpFrameParams p;
    lp_unpack(lptest::active_frame(f).bytes, &p);
    EXPECT_EQ(p.type, kLpActive);
    EXPECT_EQ(p.lspIndex, 0x123456);
    EXPECT_EQ(p.openLoopLag[0], 58);
    EXPECT_EQ(p.openLoopLag[1], 88);
    const int16_t offsets[4] = {1, 2, 1, 3};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(p.sub[i].lagOffset, offsets[i]) << i;
        EXPECT_EQ(p.sub[i].pitchGain, static_cast<int16_t>(f.gain[i] / 24)) << i;
        EXPECT_EQ(p.sub[i].amplitude, static_cast<int16_t>(f.gain[i] % 24)) << i;
        EXPECT_EQ(p.sub[i].grid, static_cast<int16_t>(f.grid[i])) << i;
        EXPECT_EQ(p.sub[i].train, 0) << i;  // lags of 58 and more have no pulse train
        EXPECT_EQ(p.sub[i].signs, static_cast<int16_t>(f.signs[i])) << i;
    }
    // 1234 = 90 x 13 + 64: top parts 1, 4, 7, 1 above 16, 14, 16, 14 bits.
    EXPECT_EQ(p.sub[0].positions, (1 << 16) + 0x1234);
    EXPECT_EQ(p.sub[1].positions, (4 << 14) + 0x0567);
    EXPECT_EQ(p.sub[2].positions, (7 << 16) + 0xBEEF);
    EXPECT_EQ(p.sub[3].positions, (1 << 14) + 0x1ABC);
}

TEST(LpUnpack, ShortLagsCarryThePulseTrainBit)
{
    ActiveFields f;
    f.lag[0] = 39;  // lag 57: the 85-entry table and the train bit
    f.gain[0] = 0x800 | (84 * 24 + 3);
    f.gain[1] = 2 * 24;
    LpFrameParams p;
    lp_unpack(lptest::active_frame(f).bytes, &p);
    EXPECT_EQ(p.sub[0].train, 1);
    EXPECT_EQ(p.sub[0].pitchGain, 84);
    EXPECT_EQ(p.sub[0].amplitude, 3);
    EXPECT_EQ(p.sub[1].train, 0);
    EXPECT_EQ(p.sub[1].pitchGain, 2);
}

TEST(LpUnpack, SidAndUntransmittedFrames)
{
    LpFrameParams p;
    lp_unpack(lptest::sid_frame(0xABCDEF, 45).bytes, &p);
    EXPECT_EQ(p.type, kLpSid);
    EXPECT_EQ(p.lspIndex, 0xABCDEF);
    EXPECT_EQ(p.sidGainIndex, 45);
    lp_unpack(lptest::untransmitted_frame().bytes, &p);
    EXPECT_EQ(p.type, kLpUntransmitted);
}

// An invalid field ends the unpacking: it and every later field keep the
// all-zero code's values, earlier ones stay, and the frame is active.
TEST(LpUnpack, InvalidIndexEndsTheUnpacking)
{
    LpFrameParams zero;
    lp_unpack(lptest::FrameWriter().bytes, &zero);

    struct Case {
        const char *what;
        ActiveFields fields;
        int validSubframes;  // gains read before the invalid one
        int validLags;
    };
    ActiveFields badLag0, badLag1, badGain85, badGain170;
    badLag0.lag[0] = 124;
    badLag1.lag[1] = 127;
    badGain85.lag[0] = 20;  // lag 38: 85 entries, and 85 x 24 is past them
    badGain85.gain[0] = 2 * 24;
    badGain85.gain[1] = 85 * 24;
    badGain170.gain[3] = 170 * 24;
    const Case cases[] = {
        {"lag 0 code 124", badLag0, 0, 0},
        {"lag 1 code 127", badLag1, 0, 1},
        {"gain 1 past the 85 entries", badGain85, 1, 2},
        {"gain 3 past the 170 entries", badGain170, 3, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LpFrameParams p;
        lp_unpack(lptest::active_frame(c.fields).bytes, &p);
        EXPECT_EQ(p.type, kLpActive);
        EXPECT_EQ(p.lspIndex, 0x123456);
        for (int h = 0; h < 2; ++h)
            EXPECT_EQ(p.openLoopLag[h], h < c.validLags ? static_cast<int16_t>(c.fields.lag[h] + 18) : zero.openLoopLag[h]);
        for (int i = 0; i < 4; ++i) {
            if (i < c.validSubframes) {
                EXPECT_EQ(p.sub[i].pitchGain, static_cast<int16_t>((c.fields.gain[i] & 0x7ff) / 24)) << i;
            } else {
                EXPECT_EQ(p.sub[i].pitchGain, 0) << i;
                EXPECT_EQ(p.sub[i].amplitude, 0) << i;
            }
            EXPECT_EQ(p.sub[i].grid, 0) << i;
            EXPECT_EQ(p.sub[i].positions, zero.sub[i].positions) << i;
            EXPECT_EQ(p.sub[i].signs, 0) << i;
        }
    }
}

TEST(LpUnpack, FiveAndAHalfKbitFrameIsActiveWithNoFields)
{
    lptest::FrameWriter w = lptest::active_frame(ActiveFields());
    w.bytes[0] = static_cast<uint8_t>((w.bytes[0] & ~3) | 1);
    LpFrameParams p;
    lp_unpack(w.bytes, &p);
    EXPECT_EQ(p.type, kLpActive);
    EXPECT_EQ(p.lspIndex, 0);
    EXPECT_EQ(p.openLoopLag[0], 18);
}

// A frame with a forbidden lag still takes 24 bytes, and the decoder reads
// the next frame where it starts.
TEST(LpFraming, ForbiddenLagAdvancesTwentyFourBytes)
{
    for (uint32_t code = 124; code <= 127; ++code) {
        ActiveFields f;
        f.lag[0] = code;
        uint8_t stream[24 + 4] = {};
        std::memcpy(stream, lptest::active_frame(f).bytes, 24);
        std::memcpy(stream + 24, lptest::untransmitted_frame().bytes, 4);
        uint32_t control = KVX_CW_NO_DEVICE;
        int16_t out[240];
        uint8_t *p = stream;
        EXPECT_EQ(lp_decode(&p, &control, out), 240u);
        EXPECT_EQ(p, stream + 24) << code;
        EXPECT_EQ(lp_decode(&p, &control, out), 240u);
        EXPECT_EQ(p, stream + 28) << code;
    }
}
