// The output stage: 12:11 rate conversion, plain outputs, the faster and
// slower cycles with their cross-fades, and the position reckoning.
#include <gtest/gtest.h>

#include <random>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_output.h"
#include "sp_test_support.h"

using namespace kvx;
using sptest::Bytes;

namespace {

constexpr uint32_t kFaster4 = 4u << 11;
constexpr uint32_t kSlower = 0x8000;

std::vector<int32_t> constant(int n, int32_t v)
{
    return std::vector<int32_t>(static_cast<size_t>(n), v);
}

class SpOutput : public ::testing::Test {
protected:
    void SetUp() override { sptest::reset_codec(); }

    // One frame through the speed stage; returns the number of frames that
    // reach the output (0, 1, or 2 with an insertion).
    int speed(std::vector<int32_t> &frame, uint32_t *control)
    {
        if (speed_stage(frame.data(), g_spOutput.held, kSpSpeedProfile, control)) return 0;
        if (*control & 0x10) {
            *control &= ~0x10u;
            return 2;
        }
        return 1;
    }
};

TEST_F(SpOutput, RateConverterOnConstantAndRampInput)
{
    // Each of the 11 phases sums to about unity: 10000 comes out as
    // 10007..10016; phase 0 sums to 32792, 10000 * 32792 >> 15 = 10007.
    std::fill(g_spOutput.rateHistory, g_spOutput.rateHistory + 6, 10000);
    const auto in = constant(288, 10000);
    int32_t out[264];
    sp_rate_convert(in.data(), out);
    EXPECT_EQ(10007, out[0]);
    for (int o = 0; o < 264; ++o) {
        ASSERT_GE(out[o], 10007) << o;
        ASSERT_LE(out[o], 10016) << o;
        if (o >= 11) {
            ASSERT_EQ(out[o - 11], out[o]) << o;
        }
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
    // Loud input is limited to -32767..32767.
    ramp.assign(288, -32768);
    sp_rate_convert(ramp.data(), out);
    EXPECT_EQ(-32767, out[100]);
}

TEST_F(SpOutput, PlainOutputs)
{
    std::vector<int32_t> frame(288);
    for (int i = 0; i < 288; ++i) frame[i] = (i % 2 ? -1 : 1) * (i * 97);
    const int32_t history[6] = {1, 2, 3, 4, 5, 6};
    std::copy(history, history + 6, g_spOutput.rateHistory);

    // 288 samples as they are; the converter's history is left alone.
    std::vector<int16_t> out(300, 0x5555);
    uint32_t cw = 0x40000 | kFaster4;
    EXPECT_EQ(288u, sp_output(frame.data(), &cw, out.data()));
    for (int i = 0; i < 288; ++i) ASSERT_EQ(frame[i], out[i]) << i;
    EXPECT_EQ(0x5555, out[288]);
    EXPECT_EQ(std::vector<int32_t>(history, history + 6), std::vector<int32_t>(g_spOutput.rateHistory, g_spOutput.rateHistory + 6));
    EXPECT_EQ(288u, sp_slot_samples(cw));

    // With 0x40 (and with file output 0x20) 264 converted samples, no
    // speed stage even at a faster setting.
    for (uint32_t plain : {0x40000u | 0x40u, 0x20u}) {
        cw = plain | kFaster4;
        out.assign(300, 0x5555);
        EXPECT_EQ(264u, sp_output(frame.data(), &cw, out.data()));
        EXPECT_EQ(0x5555, out[264]);
        EXPECT_EQ(264u, sp_slot_samples(cw));
        EXPECT_EQ(frame[282], g_spOutput.rateHistory[0]);
        EXPECT_EQ(0u, g_speedCounter);
        EXPECT_FALSE(g_session.speedUsed);
        EXPECT_EQ(0u, g_session.speedInUse);
    }
}

TEST_F(SpOutput, FasterStep4DropsEverySecondFrame)
{
    // Frame 1 is dropped and kept faded out (10000 * 32767 >> 15 = 9999 at
    // the start, 10000 * 155 >> 15 = 47 at the end); frame 2 fades in over
    // it: (9999 * 32768 + 20000 * 155) >> 15 = 10093, and at the end
    // (47 * 32768 + 20000 * 32767) >> 15 = 20046.
    uint32_t cw = kFaster4;
    auto f1 = constant(264, 10000), f2 = constant(264, 20000);
    EXPECT_EQ(0, speed(f1, &cw));
    EXPECT_EQ(9999, g_spOutput.held[0]);
    EXPECT_EQ(47, g_spOutput.held[263]);
    EXPECT_EQ(1, speed(f2, &cw));
    EXPECT_EQ(10093, f2[0]);
    EXPECT_EQ(20046, f2[263]);
    EXPECT_EQ(0u, g_speedCounter);
    EXPECT_TRUE(g_session.speedUsed);

    // Through the decode entry: every dropped frame still moves the input.
    sptest::reset_codec();
    std::mt19937 rng(5);
    std::vector<Bytes> frames;
    for (int i = 0; i < 6; ++i) {
        Bytes f(41);
        for (auto &b : f) b = static_cast<uint8_t>(rng());
        frames.push_back(f);
    }
    sptest::Stream stream(frames);
    uint8_t *p = stream.start();
    int16_t slot[264];
    for (int i = 0; i < 6; ++i) {
        cw = kFaster4 | 0x20000;
        EXPECT_EQ(i % 2 ? 264u : 0u, sp_decode(&p, &cw, slot)) << i;
        EXPECT_EQ(stream.start() + 41 * (i + 1), p);
    }
}

TEST_F(SpOutput, SlowerStep4RepeatsEveryFrame)
{
    std::mt19937 rng(6);
    std::vector<Bytes> frames;
    for (int i = 0; i < 3; ++i) {
        Bytes f(41);
        for (auto &b : f) b = static_cast<uint8_t>(rng());
        frames.push_back(f);
    }
    // At normal speed, for reference.
    sptest::Stream stream(frames);
    uint8_t *p = stream.start();
    std::vector<std::vector<int16_t>> normal(3, std::vector<int16_t>(264));
    for (auto &slot : normal) {
        uint32_t cw = 0;
        ASSERT_EQ(264u, sp_decode(&p, &cw, slot.data()));
    }

    // Slower: each frame blended with the one before, then the frame
    // itself from the held copy without fetching.
    sptest::reset_codec();
    p = stream.start();
    uint32_t cw = kSlower | kFaster4;
    std::vector<std::vector<int16_t>> slower;
    for (int i = 0; i < 6; ++i) {
        uint8_t *before = p;
        std::vector<int16_t> slot(264);
        EXPECT_EQ(264u, sp_decode(&p, &cw, slot.data()));
        EXPECT_EQ(i % 2 == 0, (cw & 0x10) != 0) << i;
        if (i % 2) {
            EXPECT_EQ(before, p);
        }
        slower.push_back(slot);
    }
    EXPECT_EQ(0u, g_speedCounter);
    for (int f = 0; f < 3; ++f) EXPECT_EQ(normal[f], slower[2 * f + 1]) << f;
    // The first blend fades in from the (empty) held frame.
    EXPECT_EQ((normal[0][0] * 32767) >> 15, slower[0][0]);
    for (int i : {0, 100, 263}) {
        const int32_t g = 32767 - 124 * i, fi = 155 + 124 * i;
        EXPECT_EQ((g * normal[1][i] + fi * normal[0][i]) >> 15, slower[2][i]) << i;
    }
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
                auto frame = constant(264, 1000);
                outputs += speed(frame, &cw);
            }
            EXPECT_EQ(slow ? slower[step] : faster[step], outputs) << (slow ? "slower " : "faster ") << step;
            EXPECT_EQ(0u, g_speedCounter);
        }
    }
}

TEST_F(SpOutput, SpeedChangeWaitsForTheEndOfTheCycle)
{
    const uint32_t slower2 = kSlower | 2u << 11;
    uint32_t cw = slower2;
    auto frame = constant(264, 1000);
    EXPECT_EQ(2, speed(frame, &cw));
    EXPECT_EQ(speed_setting(slower2), g_session.speedInUse);

    // Normal speed asked for mid-cycle: slower step 2 stays in force until
    // the counter is back at 0.
    g_session.framesReturned = 10;
    g_session.speedChangeMs = 1000.0f;
    cw = 0;
    EXPECT_EQ(1, speed(frame, &cw));
    EXPECT_EQ(1, speed(frame, &cw));
    EXPECT_EQ(0u, g_speedCounter);
    EXPECT_EQ(speed_setting(slower2), g_session.speedInUse);
    EXPECT_EQ(10u, g_session.framesReturned);

    // At the boundary the frames played at 18 ms of recording each are
    // banked.
    g_session.speedUsed = false;
    EXPECT_EQ(1, speed(frame, &cw));
    EXPECT_EQ(0u, g_session.speedInUse);
    EXPECT_EQ(0u, g_session.framesReturned);
    EXPECT_FLOAT_EQ(1180.0f, g_session.speedChangeMs);
    EXPECT_FALSE(g_session.speedUsed);
}

TEST_F(SpOutput, PositionReckoningPerSetting)
{
    // Faster step 2 counts 31.92 ms per frame.
    g_session.speedInUse = speed_setting(2u << 11);
    g_session.framesReturned = 5000;
    g_session.speedChangeMs = 0.5f;
    uint32_t cw = 0;
    auto frame = constant(264, 0);
    speed(frame, &cw);
    EXPECT_EQ(159600.5f, g_session.speedChangeMs);

    // Settings without a row (slower with step 0, faster 5) play at normal
    // speed, count as speed used, and bank nothing when left.
    for (uint32_t odd : {kSlower, 5u << 11}) {
        sptest::reset_codec();
        cw = odd;
        EXPECT_EQ(1, speed(frame, &cw));
        EXPECT_TRUE(g_session.speedUsed);
        g_session.framesReturned = 40;
        cw = 0;
        speed(frame, &cw);
        EXPECT_EQ(0.0f, g_session.speedChangeMs);
        EXPECT_EQ(0u, g_session.framesReturned);
    }
}

}  // namespace
