// The output stage: 12:11 rate conversion, plain outputs, the faster and
// slower cycles with their cross-fades, and the position reckoning.
#include <gtest/gtest.h>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_output.h"
#include "sp_test_support.h"

using namespace kvx;
using sptest::Bytes;

namespace {

constexpr uint32_t kSlower = 0x8000;

std::vector<int32_t> constant(int n, int32_t v)
{
    return std::vector<int32_t>(static_cast<size_t>(n), v);
}

// One frame through the speed stage: the number of frames that reach the
// output (0, 1, or 2 with an insertion).
int speed(std::vector<int32_t> frame, uint32_t *control)
{
    if (speed_stage(frame.data(), g_spOutput.held, kSpSpeedProfile, control)) return 0;
    const bool inserted = *control & 0x10;
    *control &= ~0x10u;
    return inserted ? 2 : 1;
}

class SpOutput : public ::testing::Test {
protected:
    void SetUp() override { sptest::reset_codec(); }
};

}  // namespace

// Any bytes in any mode at either parity: the slot is filled exactly (or
// the frame dropped), the input moves by 41 or 9, and nothing is written
// past the slot.
TEST_F(SpOutput, AnyFrameFillsExactlyItsSlot)
{
    std::mt19937 rng(9);
    const uint32_t bits[] = {0x1, 0x2, 0x10, 0x20, 0x40, 0x20000, 0x40000};
    for (int t = 0; t < 1500; ++t) {
        uint32_t control = rng() & 0xF800;
        for (uint32_t b : bits) control |= rng() % 3 ? 0 : b;
        g_read.parity = rng() & 1;
        Bytes frame(43);
        for (auto &b : frame) b = static_cast<uint8_t>(rng());
        const uint32_t before = control, slot = (control & 0x10) ? 264 : sp_slot_samples(control);
        std::vector<int16_t> out(300, 0x5A5A);
        uint8_t *p = frame.data() + 1;
        const uint32_t n = sp_decode(&p, &control, out.data());
        ASSERT_TRUE(n == slot || (n == 0 && !(before & 0x10))) << t;
        for (size_t i = n; i < out.size(); ++i) ASSERT_EQ(0x5A5A, out[i]) << t << " at " << i;
        const long moved = p - frame.data() - 1;
        ASSERT_TRUE((before & 0x10) ? moved == 0 : moved == 41 || (moved == 9 && (before & 0x2))) << t;
    }
}

TEST_F(SpOutput, RateConverterOnConstantAndRampInput)
{
    // Each of the 11 phases sums to about unity: 10000 comes out as
    // 10007..10016; phase 0 sums to 32792, 10000 * 32792 >> 15 = 10007.
    std::fill(g_spOutput.rateHistory, g_spOutput.rateHistory + 6, 10000);
    int32_t out[264];
    sp_rate_convert(constant(288, 10000).data(), out);
    EXPECT_EQ(10007, out[0]);
    for (int o = 0; o < 264; ++o) {
        ASSERT_GE(out[o], 10007) << o;
        ASSERT_LE(out[o], 10016) << o;
        ASSERT_TRUE(o < 11 || out[o - 11] == out[o]) << o;
    }
    // A ramp: output o stands at input time 12 o / 11, 3 samples late (the
    // middle of the 66 taps), with the phases' gain of up to 1.0016; the
    // history keeps the frame's last six inputs.
    std::vector<int32_t> ramp(288);
    for (int i = 0; i < 288; ++i) ramp[i] = 100 * i;
    sp_rate_convert(ramp.data(), out);
    EXPECT_EQ(28200, g_spOutput.rateHistory[0]);
    EXPECT_EQ(28700, g_spOutput.rateHistory[5]);
    for (int o = 6; o < 264; ++o) {
        const double expected = 100.0 * (12.0 * o / 11.0 - 3.0);
        ASSERT_NEAR(expected, out[o], 5 + 0.002 * expected) << o;
    }
    sp_rate_convert(constant(288, -32768).data(), out);  // limited to -32767..32767
    EXPECT_EQ(-32767, out[100]);
}

TEST_F(SpOutput, PlainOutputsBypassTheSpeedStage)
{
    std::vector<int32_t> frame(288);
    for (int i = 0; i < 288; ++i) frame[i] = (i % 2 ? -1 : 1) * (i * 97);
    for (int i = 0; i < 6; ++i) g_spOutput.rateHistory[i] = i + 1;

    // 288 samples as they are; the converter's history is left alone.
    std::vector<int16_t> out(300);
    uint32_t cw = 0x40000 | 4u << 11;
    EXPECT_EQ(288u, sp_output(frame.data(), &cw, out.data()));
    for (int i = 0; i < 288; ++i) ASSERT_EQ(frame[i], out[i]) << i;
    EXPECT_EQ(6, g_spOutput.rateHistory[5]);
    // With 0x40 (and with file output 0x20) 264 converted samples, no
    // speed stage even at a faster setting.
    for (uint32_t plain : {0x40000u | 0x40u, 0x20u}) {
        cw = plain | 4u << 11;
        EXPECT_EQ(264u, sp_output(frame.data(), &cw, out.data()));
        EXPECT_EQ(frame[282], g_spOutput.rateHistory[0]);
        EXPECT_EQ(0u, g_speedCounter);
        EXPECT_FALSE(g_session.speedUsed);
    }
}

TEST_F(SpOutput, CrossFades)
{
    // Faster step 4: frame 1 is dropped and kept faded out (10000 * 32767
    // >> 15 = 9999 at the start, 10000 * 155 >> 15 = 47 at the end); frame
    // 2 fades in over it: (9999 * 32768 + 20000 * 155) >> 15 = 10093, and
    // at the end (47 * 32768 + 20000 * 32767) >> 15 = 20046.
    uint32_t cw = 4u << 11;
    auto f2 = constant(264, 20000);
    EXPECT_TRUE(speed_stage(constant(264, 10000).data(), g_spOutput.held, kSpSpeedProfile, &cw));
    EXPECT_EQ(9999, g_spOutput.held[0]);
    EXPECT_EQ(47, g_spOutput.held[263]);
    EXPECT_FALSE(speed_stage(f2.data(), g_spOutput.held, kSpSpeedProfile, &cw));
    EXPECT_EQ(10093, f2[0]);
    EXPECT_EQ(20046, f2[263]);

    // Slower step 4: the frame blended over the held one (faded out over
    // 264 samples), then the frame itself from the held copy.
    sptest::reset_codec();
    cw = kSlower | 4u << 11;
    for (int32_t v : {1000, 3000}) {
        auto f = constant(264, v);
        std::vector<int32_t> before(g_spOutput.held, g_spOutput.held + 264);
        speed_stage(f.data(), g_spOutput.held, kSpSpeedProfile, &cw);
        EXPECT_NE(0u, cw & 0x10);
        cw &= ~0x10u;
        for (int i : {0, 100, 263}) EXPECT_EQ(((32767 - 124 * i) * v + (155 + 124 * i) * before[i]) >> 15, f[i]) << i;
        EXPECT_EQ(v, g_spOutput.held[7]);
    }

    // Through the decode entry: the held frame is written without fetching,
    // and a dropped frame still moves the input.
    sptest::reset_codec();
    std::mt19937 rng(5);
    sptest::Stream stream({sptest::random_frame(rng, false).pack(), sptest::random_frame(rng, false).pack()});
    uint8_t *p = stream.start();
    int16_t slot[264];
    cw = kSlower | 4u << 11;
    EXPECT_EQ(264u, sp_decode(&p, &cw, slot));
    EXPECT_EQ(264u, sp_decode(&p, &cw, slot));
    EXPECT_EQ(stream.start() + 41, p);
    EXPECT_EQ(static_cast<int16_t>(g_spOutput.held[9]), slot[9]);
    cw = 4u << 11;
    EXPECT_EQ(0u, sp_decode(&p, &cw, slot));
    EXPECT_EQ(stream.start() + 82, p);
}

TEST_F(SpOutput, CycleLengthsOfEveryStep)
{
    // 60 frames in: faster 5:4, 4:3, 3:2, 2:1; slower 4:5, 3:4, 2:3, 1:2.
    const int faster[5] = {0, 48, 45, 40, 30};
    const int slower[5] = {0, 75, 80, 90, 120};
    for (int step = 1; step <= 4; ++step) {
        for (bool slow : {false, true}) {
            sptest::reset_codec();
            int outputs = 0;
            for (int i = 0; i < 60; ++i) {
                uint32_t cw = (slow ? kSlower : 0) | static_cast<uint32_t>(step) << 11;
                outputs += speed(constant(264, 1000), &cw);
            }
            EXPECT_EQ(slow ? slower[step] : faster[step], outputs) << (slow ? "slower " : "faster ") << step;
            EXPECT_EQ(0u, g_speedCounter);
        }
    }
}

TEST_F(SpOutput, SpeedChangeWaitsForTheEndOfTheCycleAndBanksItsTime)
{
    const uint32_t slower2 = kSlower | 2u << 11;
    uint32_t cw = slower2;
    EXPECT_EQ(2, speed(constant(264, 1000), &cw));
    // Normal speed asked for mid-cycle: slower step 2 stays in force until
    // the counter is back at 0.
    g_session.framesReturned = 10;
    g_session.speedChangeMs = 1000.0f;
    cw = 0;
    EXPECT_EQ(1, speed(constant(264, 1000), &cw));
    EXPECT_EQ(1, speed(constant(264, 1000), &cw));
    EXPECT_EQ(speed_setting(slower2), g_session.speedInUse);
    EXPECT_EQ(10u, g_session.framesReturned);
    // At the boundary the frames played at 18 ms of recording each are
    // banked.
    g_session.speedUsed = false;
    EXPECT_EQ(1, speed(constant(264, 1000), &cw));
    EXPECT_EQ(0u, g_session.speedInUse);
    EXPECT_EQ(0u, g_session.framesReturned);
    EXPECT_FLOAT_EQ(1180.0f, g_session.speedChangeMs);
    EXPECT_FALSE(g_session.speedUsed);

    // Faster step 2 counts 31.92 ms per frame.
    g_session.speedInUse = speed_setting(2u << 11);
    g_session.framesReturned = 5000;
    g_session.speedChangeMs = 0.5f;
    speed(constant(264, 0), &cw);
    EXPECT_EQ(159600.5f, g_session.speedChangeMs);

    // Settings without a row (slower with step 0, faster 5) play at normal
    // speed, count as speed used, and bank nothing when left.
    for (uint32_t odd : {kSlower, 5u << 11}) {
        sptest::reset_codec();
        cw = odd;
        EXPECT_EQ(1, speed(constant(264, 0), &cw));
        EXPECT_TRUE(g_session.speedUsed);
        g_session.framesReturned = 40;
        cw = 0;
        speed(constant(264, 0), &cw);
        EXPECT_EQ(0.0f, g_session.speedChangeMs);
        EXPECT_EQ(0u, g_session.framesReturned);
    }
}
