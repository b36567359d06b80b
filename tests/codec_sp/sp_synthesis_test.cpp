// The SP synthesis: step-up, filters, excitation, noise frames, postfilter,
// and the decode entry and level meter around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_synthesis.h"
#include "sp_test_support.h"

using namespace kvx;
using sptest::Bytes;

namespace {

constexpr uint32_t kPlain288 = 0x40000;
constexpr uint32_t kPostfilter = 0x20000;
constexpr uint32_t kMode = 0x2;  // speech-flag mode

uint16_t lcg(uint16_t seed, int steps)
{
    uint32_t s = seed;
    for (int i = 0; i < steps; ++i) s = (s * 521 + 259) & 0xFFFF;
    return static_cast<uint16_t>(s);
}

// Decodes frames one after another from a stored stream, 288 samples each.
std::vector<int16_t> decode_all(const std::vector<Bytes> &frames, uint32_t control)
{
    sptest::Stream stream(frames);
    uint8_t *p = stream.start();
    std::vector<int16_t> out(frames.size() * 288);
    for (size_t i = 0; i < frames.size(); ++i) {
        uint32_t cw = control;
        EXPECT_EQ(288u, sp_decode(&p, &cw, out.data() + 288 * i));
        control &= ~0x1u;  // a reset applies to the first frame only
    }
    return out;
}

Bytes speech(uint32_t seed, bool mode)
{
    std::mt19937 rng(seed);
    return sptest::random_frame(rng, mode).pack();
}

sptest::Frame noise(int gain, int index0 = 0)
{
    sptest::Frame n;
    n.speechFlagMode = n.noise = true;
    std::fill(n.adaptiveGain, n.adaptiveGain + 4, gain);
    n.adaptiveGain[2] &= 7;
    n.index[0] = index0;
    return n;
}

class SpSynthesis : public ::testing::Test {
protected:
    void SetUp() override { sptest::reset_codec(); }
};

}  // namespace

TEST_F(SpSynthesis, StepUpAndSinglePulseByHand)
{
    // k1 = k2 = 0.5: a1 = 0.5 at m = 1; at m = 2, a1 = 0.5 + 0.5 * 0.5 and
    // a2 = 0.5, in Q13.
    const int32_t k[15] = {0, 16384, 16384};
    int32_t a[15];
    ASSERT_EQ(0, sp_step_up(k, a));
    EXPECT_EQ((std::vector<int32_t>{8192, 6144, 4096, 0, 0}), std::vector<int32_t>(a, a + 5));
    // y(n) = e(n) - 0.75 y(n-1) - 0.5 y(n-2), rounded down: y(1) = -749.5
    // becomes -750, y(3) = 328.25 becomes 328.
    int32_t e[72] = {1000}, y[72], memory[15] = {};
    sp_synthesis_filter(a, 0, e, y, 72, memory);
    EXPECT_EQ((std::vector<int32_t>{1000, -750, 63, 328, -277}), std::vector<int32_t>(y, y + 5));
    EXPECT_EQ(y[71], memory[1]);
    EXPECT_EQ(y[58], memory[14]);
}

TEST_F(SpSynthesis, AllZeroFrameAfterReset)
{
    // Every field 0: lags 36, gain 0.05, pulse gain 0, an empty history:
    // the excitation is 0.  The filter of the first table entries needs
    // Q12, whose rounding turns silence into 1, -2, 2, -1, ... through
    // y(n) = (4096 - 11741 y(n-1) - 19291 y(n-2) - 22848 y(n-3)) >> 12.
    int16_t index[14] = {};
    int32_t k[15], a[15];
    sp_reflection(index, false, k);
    ASSERT_EQ(1, sp_step_up(k, a));
    EXPECT_EQ((std::vector<int32_t>{4096, 11741, 19291, 22848}), std::vector<int32_t>(a, a + 4));
    const Bytes zero(41, 0);
    auto out = decode_all({zero}, kPlain288 | 0x1);
    EXPECT_EQ((std::vector<int16_t>{1, -2, 2, -1}), std::vector<int16_t>(out.begin(), out.begin() + 4));
    // The output filter v(n) = y(n) + 0.25 v(n-1): 1, -2 (-1.75 rounded
    // down); the rate converter from an empty history: 262 * 1 >> 15 = 0,
    // then (293 * -2 - 1668 * 1) >> 15 = -1.
    sptest::reset_codec();
    sptest::Stream stream({zero});
    uint8_t *p = stream.start();
    int16_t slot[264];
    uint32_t cw = 0x1;
    ASSERT_EQ(264u, sp_decode(&p, &cw, slot));
    EXPECT_EQ(0u, cw);  // the reset bit is cleared
    EXPECT_EQ(0, slot[0]);
    EXPECT_EQ(-1, slot[1]);
}

TEST_F(SpSynthesis, AdaptiveExcitationRepeatsShortLagsAndIsLimited)
{
    // Lag 36 in every subframe and gain 2.0: each subframe is the last 36
    // samples twice, doubled.
    for (int d = 1; d < kSpHistory; ++d) g_sp.excitation[d] = 1000 + d;
    sptest::Frame f;
    std::fill(f.adaptiveGain, f.adaptiveGain + 4, 31);
    decode_all({f.pack()}, kPlain288);
    for (int n = 0; n < 72; ++n) {
        const int32_t base = 1036 - n % 36;
        ASSERT_EQ(16 * base, g_sp.excitation[72 - n]) << n;
        ASSERT_EQ(8 * base, g_sp.excitation[144 - n]) << n;
        ASSERT_TRUE(n < 30 || 4 * base == g_sp.excitation[216 - n]) << n;
    }

    // Past 16 bits the adaptive part stops at -32767, but pulses are added
    // on top without a limit: 31182 * 5000 in Q15 is 4758.
    sptest::reset_codec();
    for (int d = 1; d < kSpHistory; ++d) g_sp.excitation[d] = -20000;
    for (int s = 0; s < 4; ++s) {
        f.pulseGain[s] = 63;
        for (int j = 0; j < 7; ++j) f.amplitude[s][j] = j == 0 ? 0 : 7;  // pulse at 6 down, 5..0 up
    }
    decode_all({f.pack()}, kPlain288);
    EXPECT_EQ(-32767 - 4758, g_sp.excitation[72 - 6]);  // -31182 * 5000: -4757.5 rounds down
    for (int n = 0; n < 6; ++n) EXPECT_EQ(-32767 + 4758, g_sp.excitation[72 - n]) << n;
    EXPECT_EQ(-32767, g_sp.excitation[1]);
}

// Noise frames: the first after speech carries on with the speech frame's
// filter and seeds the generator with its first index; later ones use
// their own indices and go on with the seed; the run stops counting at 60
// and a speech frame ends it.  The noise is 0..335.
TEST_F(SpSynthesis, NoiseRuns)
{
    const Bytes first = speech(21, true);
    sptest::Frame a = noise(20, 7), same = a;
    std::mt19937 rng(21);
    const sptest::Frame fields = sptest::random_frame(rng, true);
    std::copy(fields.index, fields.index + 14, same.index);
    const auto viaOwn = decode_all({first, a.pack()}, kPlain288 | kMode);
    EXPECT_EQ(lcg(static_cast<uint16_t>(fields.index[0]), 288), g_sp.noiseSeed);
    sptest::reset_codec();
    EXPECT_EQ(viaOwn, decode_all({first, same.pack()}, kPlain288 | kMode));

    std::vector<Bytes> frames{first};
    for (int i = 0; i < 61; ++i) frames.push_back(noise(31, i % 32).pack());
    sptest::reset_codec();
    decode_all(frames, kPlain288 | kMode);
    EXPECT_EQ(60, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(static_cast<uint16_t>(fields.index[0]), 61 * 288), g_sp.noiseSeed);
    EXPECT_TRUE(std::equal(g_spDecode.previousIndices, g_spDecode.previousIndices + 14, noise(31, 28).index));
    const auto range = std::minmax_element(g_sp.excitation + 1, g_sp.excitation + kSpHistory);
    EXPECT_GE(*range.first, 0);
    EXPECT_LE(*range.second, 335);
    EXPECT_GE(*range.second, 330);  // the generator's values reach the top

    Bytes next = speech(32, true);
    next[0] = static_cast<uint8_t>((next[0] & 0x83) | 9 << 2);  // first index 9
    decode_all({next, frames[1]}, kPlain288 | kMode);
    EXPECT_EQ(1, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(9, 288), g_sp.noiseSeed);
}

// A frame decoded outside speech-flag mode may leave a 14th index of
// 4..7; the noise frame that takes it over reads the 4-entry table modulo
// 4: 7 acts as 3, 6 as 2.
TEST_F(SpSynthesis, FirstNoiseFrameAfterPlainModeKeepsTheFourEntryTable)
{
    auto noise_after = [](int lastIndex) {
        sptest::reset_codec();
        std::fill(g_spDecode.previousIndices, g_spDecode.previousIndices + 14, 1);
        g_spDecode.previousIndices[13] = static_cast<int16_t>(lastIndex);
        return decode_all({noise(25).pack()}, kPlain288 | kMode | kPostfilter);
    };
    const auto seven = noise_after(7), three = noise_after(3), six = noise_after(6);
    EXPECT_EQ(three, seven);
    EXPECT_NE(three, six);
}

TEST_F(SpSynthesis, ResetClearsOnlyTheExcitationHistory)
{
    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 6; ++s) frames.push_back(speech(50 + s, false));
    const auto clean = decode_all(frames, kPlain288 | kPostfilter);
    EXPECT_NE(clean, decode_all(frames, kPlain288 | kPostfilter | 0x1));  // filters and gain carried over
    sptest::reset_codec();
    EXPECT_EQ(clean, decode_all(frames, kPlain288 | kPostfilter));
}

TEST_F(SpSynthesis, PostfilterInQ12ShiftsBy12AndRoundsWith4096)
{
    // A flat filter (a = 1) in both scales on a constant 16384: no
    // headroom (s = 0), the input works at 2048.  In Q12 each of the two
    // filter steps adds the half that 4096 >> 12 rounds up: 2049, 2050.
    int32_t flat13[15] = {8192}, flat12[15] = {4096};
    for (int scale : {0, 1}) {
        sptest::reset_codec();
        int32_t x[72];
        std::fill(x, x + 72, 16384);
        sp_postfilter(x, scale ? flat12 : flat13, scale, 0, &g_sp);
        EXPECT_EQ(2048, g_sp.postInput[1]);
        EXPECT_EQ(scale ? 2050 : 2048, g_sp.postOutput[1]);
        // Energy in (limited to 1048575) over energy out, in Q11: the target
        // 409 * 14563 in Q15 rounds down to 181 << 15, and from gain 0 the
        // first sample gets 181: 2048 * 181 >> 11.
        EXPECT_EQ(181, x[0]);
    }

    // Below an output energy of 64 the target gain is 1 (Q11), which the
    // Q15 rounding makes 0: the gain decays by 32358/32768 per sample.
    int32_t x[72] = {3, -2};
    g_sp.postGain_Q11 = 2048;
    sp_postfilter(x, flat13, 0, -20000, &g_sp);
    int32_t expected = 2048;
    for (int n = 0; n < 72; ++n) expected = (32358 * expected) >> 15;
    EXPECT_EQ(expected, g_sp.postGain_Q11);
}

TEST_F(SpSynthesis, LevelMeterMatchesTheDecoderAndKeepsItsOwnFilter)
{
    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 3; ++s) frames.push_back(speech(60 + s, false));
    const auto decoded = decode_all(frames, kPlain288 | kPostfilter);
    sptest::reset_codec();
    std::vector<int16_t> metered(3 * 288);
    for (size_t i = 0; i < frames.size(); ++i) {
        uint32_t cw = kPostfilter;
        sp_level_decode(frames[i].data(), &cw, metered.data() + 288 * i);
    }
    EXPECT_EQ(decoded, metered);
    EXPECT_EQ(0, g_spDecode.outputFilter);
    EXPECT_NE(0, g_spLevel.outputFilter);

    // Its reset clears its own filter and speech-flag mode, and the shared
    // history, but not the decode entry's filter.
    g_spDecode.outputFilter = 77;
    g_sp.speechFlagMode = true;
    g_sp.excitation[5] = 1;
    uint32_t cw = 0x1;
    int16_t out[288];
    sp_level_decode(Bytes(41, 0).data(), &cw, out);
    EXPECT_EQ(0u, cw);
    EXPECT_FALSE(g_sp.speechFlagMode);
    EXPECT_EQ(0, g_sp.excitation[5]);
    EXPECT_EQ(77, g_spDecode.outputFilter);

    // A noise frame may come in a buffer of its own 9 bytes; the address
    // sanitizer reports any read past it.
    g_sp.speechFlagMode = true;
    const Bytes packed = noise(31).pack();
    std::unique_ptr<uint8_t[]> exact(new uint8_t[9]);
    std::copy(packed.begin(), packed.end(), exact.get());
    sp_level_decode(exact.get(), &cw, out);
    EXPECT_EQ(1, g_spLevel.noiseRun);
    EXPECT_EQ(0, g_spDecode.noiseRun);
}
