// The SP decoder: step-up, filters, excitation, noise frames, postfilter,
// the level meter, and the output stage (12:11 rate conversion, plain
// outputs, the faster and slower cycles and the position reckoning).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_synthesis.h"
#include "sp_test_support.h"
#include "speed_model.h"

using namespace kvx;
using sptest::Bytes;

namespace {

constexpr uint32_t kPlain288 = 0x40000, kPostfilter = 0x20000, kMode = 0x2, kSlower = 0x8000;

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
    for (size_t i = 0; i < frames.size(); ++i, control &= ~0x1u) EXPECT_EQ(288u, sp_decode(&p, &control, out.data() + 288 * i));
    return out;
}

Bytes speech(uint32_t seed, bool mode, sptest::Frame *fields = nullptr)
{
    std::mt19937 rng(seed);
    const sptest::Frame f = sptest::random_frame(rng, mode);
    if (fields) *fields = f;
    return f.pack();
}

Bytes noise(int gain, int index0 = 0)
{
    sptest::Frame n;
    n.speechFlagMode = n.noise = true;
    std::fill(n.gain, n.gain + 4, gain);
    n.gain[2] &= 7;
    n.index[0] = index0;
    return n.pack();
}

class SpDecoder : public ::testing::Test {
protected:
    void SetUp() override { sptest::reset_codec(); }
};

}  // namespace

// Any bytes in any mode at either parity: the slot is filled exactly (plain
// output is never dropped), the input moves by 41 or 9 (none for the held
// frame), and nothing is written past the slot.
TEST_F(SpDecoder, AnyFrameFillsExactlyItsSlot)
{
    std::mt19937 rng(9);
    for (int t = 0; t < 1500; ++t) {
        uint32_t control = rng() & 0xF800;
        for (uint32_t b : {0x1u, 0x2u, 0x10u, 0x20u, 0x40u, 0x20000u, 0x40000u}) control |= rng() % 3 ? 0 : b;
        g_read.parity = rng() & 1;
        Bytes frame(43);
        for (auto &b : frame) b = static_cast<uint8_t>(rng());
        const uint32_t before = control, slot = (control & 0x10) ? 264 : sp_slot_samples(control);
        std::vector<int16_t> out(300, 0x5A5A);
        uint8_t *p = frame.data() + 1;
        const uint32_t n = sp_decode(&p, &control, out.data());
        ASSERT_TRUE(n == slot || (n == 0 && !(before & 0x40030))) << t;
        for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(i < n || out[i] == 0x5A5A) << t << " at " << i;
        for (size_t i = 0; i < n && (before & 0x10); ++i) ASSERT_EQ(static_cast<int16_t>(g_spOutput.held[i]), out[i]) << t;
        const long moved = p - frame.data() - 1;
        ASSERT_TRUE((before & 0x10) ? moved == 0 : moved == 41 || (moved == 9 && (before & kMode))) << t;
    }
}

// The step-up against its recursion written out: Q13, or Q12 with every
// new value limited once a Q13 value leaves 16 bits; on the reflection
// tables' own coefficients and on arbitrary ones.
TEST_F(SpDecoder, StepUpFollowsTheRecursion)
{
    std::mt19937 rng(4);
    for (int t = 0; t < 600; ++t) {
        int32_t k[15] = {}, want[15], a[15];
        int16_t index[14];
        for (int i = 0; i < 14; ++i) index[i] = static_cast<int16_t>(rng() % (1u << sptest::index_width(i, t % 2)));
        sp_reflection(index, t % 2, k);
        for (int m = 1; m <= 14 && t >= 400; ++m) k[m] = static_cast<int32_t>(rng() % 65536) - 32768;
        int scale = 0;
        for (bool ok = false; !ok; ++scale) {
            ok = true;
            want[0] = 8192 >> scale;
            for (int m = 1; m <= 14 && ok; ++m) {
                want[m] = k[m] >> (2 + scale);
                for (int i = 1; i <= m / 2 && ok; ++i) {
                    int64_t lo = (int64_t{k[m]} * want[m - i] + int64_t{want[i]} * 32768 + 16384) >> 15;
                    int64_t hi = (int64_t{k[m]} * want[i] + int64_t{want[m - i]} * 32768 + 16384) >> 15;
                    ok = scale || (lo == static_cast<int16_t>(lo) && hi == static_cast<int16_t>(hi));
                    want[i] = static_cast<int32_t>(std::max<int64_t>(-32768, std::min<int64_t>(32767, lo)));
                    want[m - i] = static_cast<int32_t>(std::max<int64_t>(-32768, std::min<int64_t>(32767, hi)));
                }
            }
        }
        ASSERT_EQ(sp_step_up(k, a), scale - 1) << t;
        ASSERT_TRUE(std::equal(a, a + 15, want)) << t;
    }
    // The synthesis filter on one pulse with a1 = 0.75, a2 = 0.5 (Q13):
    // y(n) = e(n) - 0.75 y(n-1) - 0.5 y(n-2), rounded down: y(1) = -749.5
    // becomes -750, y(3) = 328.25 becomes 328.
    const int32_t a[15] = {8192, 6144, 4096};
    int32_t e[72] = {1000}, y[72], memory[15] = {};
    sp_synthesis_filter(a, 0, e, y, 72, memory);
    EXPECT_EQ((std::vector<int32_t>{1000, -750, 63, 328, -277}), std::vector<int32_t>(y, y + 5));
    EXPECT_EQ(y[71], memory[1]);
    EXPECT_EQ(y[58], memory[14]);
}

TEST_F(SpDecoder, AllZeroFrameAfterReset)
{
    // Every field 0: lags 36, gain 0.05, pulse gain 0, an empty history:
    // the excitation is 0.  The filter of the first table entries needs
    // Q12, whose rounding turns silence into 1, -2, 2, -1, ... through
    // y(n) = (4096 - 11741 y(n-1) - 19291 y(n-2) - 22848 y(n-3)) >> 12.
    auto out = decode_all({Bytes(41, 0)}, kPlain288 | 0x1);
    EXPECT_EQ((std::vector<int16_t>{1, -2, 2, -1}), std::vector<int16_t>(out.begin(), out.begin() + 4));
    // The output filter v(n) = y(n) + 0.25 v(n-1): 1, -2 (-1.75 rounded
    // down); the rate converter from an empty history: 262 * 1 >> 15 = 0,
    // then (293 * -2 - 1668 * 1) >> 15 = -1.
    sptest::reset_codec();
    sptest::Stream stream({Bytes(41, 0)});
    uint8_t *p = stream.start();
    int16_t slot[264];
    uint32_t cw = 0x1;
    ASSERT_EQ(264u, sp_decode(&p, &cw, slot));
    EXPECT_EQ(0u, cw);  // the reset bit is cleared
    EXPECT_EQ(0, slot[0]);
    EXPECT_EQ(-1, slot[1]);
}

TEST_F(SpDecoder, AdaptiveExcitationRepeatsShortLagsAndIsLimited)
{
    // Lag 36 in every subframe and gain 2.0: each subframe is the last 36
    // samples twice, doubled.
    for (int d = 1; d < kSpHistory; ++d) g_sp.excitation[d] = 1000 + d;
    sptest::Frame f;
    std::fill(f.gain, f.gain + 4, 31);
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
TEST_F(SpDecoder, NoiseRuns)
{
    sptest::Frame fields;
    const Bytes first = speech(21, true, &fields);
    const auto viaOwn = decode_all({first, noise(20, 7)}, kPlain288 | kMode);
    EXPECT_EQ(lcg(static_cast<uint16_t>(fields.index[0]), 288), g_sp.noiseSeed);
    sptest::reset_codec();
    fields.noise = true;
    std::fill(fields.gain, fields.gain + 4, 20);
    fields.gain[2] = 4;
    EXPECT_EQ(viaOwn, decode_all({first, fields.pack()}, kPlain288 | kMode));

    std::vector<Bytes> frames{first};
    for (int i = 0; i < 61; ++i) frames.push_back(noise(31, i % 32));
    sptest::reset_codec();
    decode_all(frames, kPlain288 | kMode);
    EXPECT_EQ(60, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(static_cast<uint16_t>(fields.index[0]), 61 * 288), g_sp.noiseSeed);
    EXPECT_EQ(28, g_spDecode.previousIndices[0]);
    const auto range = std::minmax_element(g_sp.excitation + 1, g_sp.excitation + kSpHistory);
    EXPECT_GE(*range.first, 0);
    EXPECT_LE(*range.second, 335);
    EXPECT_GE(*range.second, 330);  // the generator's values reach the top

    Bytes next = speech(32, true);
    next[0] = static_cast<uint8_t>((next[0] & 0x83) | 9 << 2);  // first index 9
    decode_all({next, frames[1]}, kPlain288 | kMode);
    EXPECT_EQ(1, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(9, 288), g_sp.noiseSeed);

    // A frame outside speech-flag mode may leave a 14th index of 4..7; the
    // noise frame that takes it over reads the 4-entry table modulo 4.
    std::vector<int16_t> after[8];
    for (int last : {3, 6, 7}) {
        sptest::reset_codec();
        std::fill(g_spDecode.previousIndices, g_spDecode.previousIndices + 14, 1);
        g_spDecode.previousIndices[13] = static_cast<int16_t>(last);
        after[last] = decode_all({noise(25)}, kPlain288 | kMode | kPostfilter);
    }
    EXPECT_EQ(after[3], after[7]);
    EXPECT_NE(after[3], after[6]);
}

TEST_F(SpDecoder, ResetClearsOnlyTheExcitationHistory)
{
    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 6; ++s) frames.push_back(speech(50 + s, false));
    const auto clean = decode_all(frames, kPlain288 | kPostfilter);
    EXPECT_NE(clean, decode_all(frames, kPlain288 | kPostfilter | 0x1));  // filters and gain carried over
    sptest::reset_codec();
    EXPECT_EQ(clean, decode_all(frames, kPlain288 | kPostfilter));
}

TEST_F(SpDecoder, PostfilterInQ12ShiftsBy12AndRoundsWith4096)
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

    // The tilt compensation works only with a negative first coefficient.
    std::vector<int32_t> runs[3];
    for (int i = 0; i < 3; ++i) {
        SpDecoderState state = g_sp;
        runs[i].assign(72, 0);
        for (int n = 0; n < 72; ++n) runs[i][n] = (n * 7919) % 4000 - 2000;
        sp_postfilter(runs[i].data(), flat13, 0, (i - 1) * 20000, &state);
    }
    EXPECT_EQ(runs[1], runs[2]);
    EXPECT_NE(runs[0], runs[1]);
}

TEST_F(SpDecoder, LevelMeterMatchesTheDecoderAndKeepsItsOwnFilter)
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
    const Bytes packed = noise(31);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[9]);
    std::copy(packed.begin(), packed.end(), exact.get());
    sp_level_decode(exact.get(), &cw, out);
    EXPECT_EQ(1, g_spLevel.noiseRun);
    EXPECT_EQ(0, g_spDecode.noiseRun);
}

TEST_F(SpDecoder, RateConverterOnARamp)
{
    // A ramp: output o stands at input time 12 o / 11, 3 samples late (the
    // middle of the 66 taps), with the phases' gain of up to 1.0016; the
    // history keeps the frame's last six inputs.
    std::vector<int32_t> ramp(288);
    for (int i = 0; i < 288; ++i) ramp[i] = 100 * i;
    int32_t out[264];
    sp_rate_convert(ramp.data(), out);
    EXPECT_EQ(28200, g_spOutput.rateHistory[0]);
    EXPECT_EQ(28700, g_spOutput.rateHistory[5]);
    for (int o = 6; o < 264; ++o) ASSERT_NEAR(100.0 * (12.0 * o / 11.0 - 3.0), out[o], 5 + 0.2 * (12.0 * o / 11.0)) << o;
    sp_rate_convert(std::vector<int32_t>(288, -32768).data(), out);  // limited to -32767..32767
    EXPECT_EQ(-32767, out[100]);

    // 288-sample output bypasses the converter and leaves its history.
    std::vector<int16_t> plain(288);
    uint32_t cw = kPlain288;
    sp_output(ramp.data(), &cw, plain.data());
    EXPECT_EQ(28200, plain[282]);
    EXPECT_EQ(-32768, g_spOutput.rateHistory[5]);
}

// The speed stage against the model, through random changes of setting
// (also mid-cycle, and to settings without a row), with frames loud
// enough for the cross-fades to reach the limits; the sessions' count of
// frames returned goes up by one per frame played.
TEST_F(SpDecoder, SpeedStageFollowsTheModel)
{
    static const double kMs[9] = {24.0, 30.0, 31.92, 36.0, 48.0, 19.2, 18.0, 15.84, 12.0};
    sptest::SpeedModel model{264, 124, kMs};
    std::mt19937 rng(12);
    const uint32_t settings[] = {0, 1u << 11, 2u << 11, 3u << 11, 4u << 11, 5u << 11, kSlower, 0x100, kSlower | 1u << 11,
                                 kSlower | 2u << 11, kSlower | 3u << 11, kSlower | 4u << 11, kSlower | 7u << 11};
    uint32_t setting = 0;
    g_session.speedChangeMs = model.changeMs = 12345.678f;  // sums that a float addition would round otherwise
    for (int n = 0; n < 4000; ++n) {
        if (rng() % 8 == 0) setting = settings[rng() % 13];
        std::vector<int32_t> frame(264), want;
        for (int32_t &v : frame) v = static_cast<int32_t>(rng() % 65535) - 32767;
        want = frame;
        uint32_t control = setting, modelControl = setting;
        const bool dropped = speed_stage(frame.data(), g_spOutput.held, kSpSpeedProfile, &control);
        ASSERT_EQ(model.run(want.data(), &modelControl), dropped) << n;
        ASSERT_EQ(control, modelControl) << n;
        ASSERT_TRUE(dropped || frame == want) << n;
        ASSERT_TRUE(std::equal(model.held.begin(), model.held.end(), g_spOutput.held)) << n;
        ASSERT_EQ(g_speedCounter, model.counter) << n;
        ASSERT_EQ(g_session.speedInUse, model.inUse) << n;
        ASSERT_EQ(g_session.framesReturned, model.returned) << n;
        ASSERT_EQ(g_session.speedChangeMs, model.changeMs) << n;
        ASSERT_EQ(g_session.speedUsed, model.used) << n;
        const uint32_t played = (dropped ? 0 : 1) + (control & 0x10 ? 1 : 0);
        g_session.framesReturned += played;
        model.returned += played;
    }
}
