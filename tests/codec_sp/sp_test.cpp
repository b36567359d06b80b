// The SP codec: the stored frame layout, unpacking, the synthesis (step-up,
// excitation, noise frames, postfilter), the level meter and the output
// stage (12:11 rate conversion, the speed stage against its model).
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_frame.h"
#include "codec_sp/sp_output.h"
#include "codec_sp/sp_synthesis.h"
#include "core/state.h"
#include "speed_model.h"

using namespace kvx;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kReset = 0x1, kMode = 0x2, kPlain = 0x40000, kPost = 0x20000;

int index_width(int i, bool mode)
{
    static const int kWidth[14] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};
    return i == 13 && mode ? 2 : kWidth[i];
}

// A frame's fields, packed most significant bit first: a full frame, or with
// `noise` a noise frame (speech-flag mode, flag 0) whose gains sit in gain
// (the third of 3 bits, after 2 unused ones).  Seven distinct pulse
// positions, decreasing, are sent as the combination number sum C(c_k, k).
struct Frame {
    bool mode = false, noise = false;
    int index[14] = {}, gain[4] = {}, pulseGain[4] = {}, amplitude[4][7] = {}, position[4][7] = {};
    uint32_t lagCode = 0;

    Bytes pack() const
    {
        Bytes f(noise ? 9 : 41, 0);
        int bit = 0;
        auto put = [&f, &bit](int width, uint32_t v) {
            for (int i = width - 1; i >= 0; --i, ++bit) f[bit >> 3] |= static_cast<uint8_t>(((v >> i) & 1) << (7 - bit % 8));
        };
        if (mode) put(1, !noise);
        for (int i = 0; i < 14; ++i) put(index_width(i, mode), static_cast<uint32_t>(index[i]));
        for (int s = 0; s < 4; ++s) {
            bit += noise && s == 2 ? 2 : 0;
            put(noise && s == 2 ? 3 : 5, static_cast<uint32_t>(gain[s]));
            if (noise) continue;
            uint32_t combination = 0;
            for (int k = 7; k >= 1; --k) combination += kSpBinomial.v[position[s][7 - k]][k];
            put(31, combination);
            put(6, static_cast<uint32_t>(pulseGain[s]));
            for (int a : amplitude[s]) put(3, static_cast<uint32_t>(a));
        }
        if (!noise) put(24, lagCode);
        return f;
    }
};

Frame random_frame(uint32_t seed, bool mode, bool noise = false)
{
    std::mt19937 rng(seed);
    Frame f;
    f.mode = mode;
    f.noise = noise;
    for (int i = 0; i < 14; ++i) f.index[i] = static_cast<int>(rng() % (1u << index_width(i, mode)));
    for (int s = 0; s < 4; ++s) {
        f.gain[s] = static_cast<int>(rng() % (noise && s == 2 ? 8 : 32));
        std::vector<int> all(72);
        std::iota(all.begin(), all.end(), 0);
        std::shuffle(all.begin(), all.end(), rng);
        std::sort(all.begin(), all.begin() + 7, std::greater<int>());
        std::copy(all.begin(), all.begin() + 7, f.position[s]);
        f.pulseGain[s] = static_cast<int>(rng() % 64);
        for (int &a : f.amplitude[s]) a = static_cast<int>(rng() % 8);
    }
    f.lagCode = rng() & 0xFFFFFF;
    return f;
}

Bytes noise(int gain, int index0 = 0)
{
    Frame n;
    n.mode = n.noise = true;
    std::fill(n.gain, n.gain + 4, gain);
    n.gain[2] &= 7;
    n.index[0] = index0;
    return n.pack();
}

// Frames as stored: padded to whole words, every byte pair swapped, with a
// byte of slack on either side (a fetch may read one byte before and after).
struct Stream {
    Bytes bytes;
    explicit Stream(const std::vector<Bytes> &frames)
    {
        Bytes logical;
        for (const Bytes &f : frames) logical.insert(logical.end(), f.begin(), f.end());
        logical.resize((logical.size() + 1) & ~size_t{1});
        bytes.assign(logical.size() + 2, 0xEE);
        for (size_t i = 0; i < logical.size(); ++i) bytes[1 + (i ^ 1)] = logical[i];
    }
    uint8_t *start() { return bytes.data() + 1; }
};

// The codec's state as the library starts it, parity at a word boundary.
void reset_codec()
{
    g_sp = {};
    g_spDecode = g_spLevel = {};
    g_spOutput = {};
    g_session = {};
    g_speedCounter = 0;
    g_read.parity = true;
}

// Decodes frames in turn from a stored stream, 288 samples each.
std::vector<int16_t> decode_all(const std::vector<Bytes> &frames, uint32_t control)
{
    Stream stream(frames);
    uint8_t *p = stream.start();
    std::vector<int16_t> out(frames.size() * 288);
    for (size_t i = 0; i < frames.size(); ++i, control &= ~kReset) EXPECT_EQ(288u, sp_decode(&p, &control, &out[288 * i]));
    return out;
}

class SpDecoder : public ::testing::Test {
protected:
    void SetUp() override { reset_codec(); }
};

} // namespace

TEST(SpFrame, LagCode)
{
    const struct {
        uint32_t code;
        int16_t lag[4];
    } cases[] = {
        {0, {36, 36, 36, 36}},             // windows moved up to start at 36
        {150, {186, 139, 116, 93}},        // 139 after a lag above 162, then 23 below
        {16699391, {186, 186, 186, 186}},  // all three digits 47
        {64 + 151 * (23 + 23 * 48 + 23 * 2304), {100, 100, 100, 100}},
    };
    for (const auto &c : cases) {
        int16_t lag[4];
        sp_decode_lags(c.code, lag);
        EXPECT_TRUE(std::equal(lag, lag + 4, c.lag)) << c.code;
    }
}

// Random runs of full and noise frames, stored with their byte pairs swapped,
// come back field for field (pulse positions through their combination
// number) at either parity, read in turn or started afresh at any frame (at
// parity 0 the first byte is the stored byte before the frame, not one kept
// from elsewhere); skipping moves like fetching.  Without speech-flag mode a
// top bit of 0 is just part of filter index 1.
TEST(SpFrame, StoredFramesRoundTrip)
{
    for (int run = 0; run < 40; ++run) {
        const bool mode = run % 2;
        std::vector<Frame> fields;
        std::vector<Bytes> frames;
        for (int i = 0; i < 9; ++i) {
            fields.push_back(random_frame(run * 9 + i, mode, mode && i % 3 == run % 3));
            frames.push_back(fields.back().pack());
        }
        Stream stream(frames);
        reset_codec();
        uint8_t *p = stream.start();
        for (size_t i = 0, offset = 0; i < frames.size(); offset += frames[i++].size()) {
            SCOPED_TRACE(testing::Message() << "run " << run << " frame " << i);
            const Frame &f = fields[i];
            uint8_t *const at = stream.start() + offset, *const end = at + frames[i].size(), *q = at;
            uint8_t held = 0;
            for (int how = 0; how < 3; ++how) {  // fetched in turn, fetched afresh, skipped
                uint32_t control = mode ? kMode : 0;
                uint16_t words[kSpFrameWords] = {};
                q = at;
                if (how) g_read.parity = offset % 2 == 0;
                if (how == 1) g_sp.heldByte = 0x5A;
                g_sp.speechFlag = f.noise;
                if (how < 2) sp_fetch_frame(how ? &q : &p, mode, words);
                else sp_skip_frame(&q, &control);
                ASSERT_EQ(how ? q : p, end);
                ASSERT_EQ(g_read.parity, offset % 2 == 1);
                ASSERT_EQ(g_sp.speechFlag, !f.noise);
                if (how == 2) {
                    ASSERT_EQ(g_sp.heldByte, held);
                    break;
                }
                held = g_sp.heldByte;

                SpFrameParams params{};
                sp_unpack(words, mode, &params);
                ASSERT_EQ(params.speechFlag, f.noise ? 0 : 1);
                ASSERT_TRUE(std::equal(f.index, f.index + 14, params.filterIndex));
                ASSERT_TRUE(std::equal(f.gain, f.gain + 4, params.gainIndex));
                int16_t lag[4];
                sp_decode_lags(f.lagCode, lag);
                ASSERT_TRUE(f.noise || std::equal(lag, lag + 4, params.lag));
                for (int s = 0; s < 4 && !f.noise; ++s) {
                    ASSERT_TRUE(std::equal(f.position[s], f.position[s] + 7, params.sub[s].position));
                    ASSERT_EQ(f.pulseGain[s], params.sub[s].pulseGainIndex);
                    ASSERT_TRUE(std::equal(f.amplitude[s], f.amplitude[s] + 7, params.sub[s].amplitudeIndex));
                }
            }
        }
    }
}

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
        const auto moved = p - frame.data() - 1;
        ASSERT_TRUE((before & 0x10) ? moved == 0 : moved == 41 || (moved == 9 && (before & kMode))) << t;
    }
}

// The step-up against its recursion written out: Q13, or Q12 with every new
// value limited once a Q13 value leaves 16 bits; on the reflection tables'
// own coefficients and on arbitrary ones.
TEST_F(SpDecoder, StepUpFollowsTheRecursion)
{
    std::mt19937 rng(4);
    auto limit = [](int64_t v) { return static_cast<int32_t>(std::max<int64_t>(-32768, std::min<int64_t>(32767, v))); };
    for (int t = 0; t < 600; ++t) {
        int32_t k[15] = {}, want[15], a[15];
        int16_t index[14];
        for (int i = 0; i < 14; ++i) index[i] = static_cast<int16_t>(rng() % (1u << index_width(i, t % 2)));
        sp_reflection(index, t % 2, k);
        for (int m = 1; m <= 14 && t >= 400; ++m) k[m] = static_cast<int32_t>(rng() % 65536) - 32768;
        int scale = 0;
        for (bool ok = false; !ok; ++scale) {
            ok = true;
            want[0] = 8192 >> scale;
            for (int m = 1; m <= 14 && ok; ++m) {
                want[m] = k[m] >> (2 + scale);
                for (int i = 1; i <= m / 2 && ok; ++i) {
                    const int64_t lo = (int64_t{k[m]} * want[m - i] + int64_t{want[i]} * 32768 + 16384) >> 15;
                    const int64_t hi = (int64_t{k[m]} * want[i] + int64_t{want[m - i]} * 32768 + 16384) >> 15;
                    ok = scale || (lo == limit(lo) && hi == limit(hi));
                    want[i] = limit(lo);
                    want[m - i] = limit(hi);
                }
            }
        }
        ASSERT_EQ(sp_step_up(k, a), scale - 1) << t;
        ASSERT_TRUE(std::equal(a, a + 15, want)) << t;
    }
}

// Every field 0 after the reset: lags 36, gain 0.05, pulse gain 0, an empty
// history, so the excitation is 0.  The filter of the first table entries
// needs Q12, whose rounding constant alone drives it: 1, -2, 2, -1, ..., with
// its memory carried from subframe to subframe; then the output filter
// v(n) = y(n) + 0.25 v(n-1), rounded.  In 264 samples the rate converter from
// an empty history makes 1, -2 into 262 * 1 >> 15 = 0, then
// (293 * -2 - 1668 * 1) >> 15 = -1.
TEST_F(SpDecoder, AllZeroFrameAfterReset)
{
    for (uint32_t control : {kPlain | kReset, kReset}) {
        reset_codec();
        Stream stream({Bytes(41, 0)});
        uint8_t *p = stream.start();
        int16_t out[288];
        EXPECT_EQ(control & kPlain ? 288u : 264u, sp_decode(&p, &control, out));
        EXPECT_EQ(0u, control & kReset);
        EXPECT_TRUE(control & kPlain || (out[0] == 0 && out[1] == -1));
        int16_t zero[14] = {};
        int32_t k[15], a[15], y[288 + 14] = {}, v = 0;
        sp_reflection(zero, false, k);
        ASSERT_EQ(1, sp_step_up(k, a));
        for (int n = 0; n < 288 && (control & kPlain); ++n) {
            int64_t acc = 4096;
            for (int i = 1; i <= 14; ++i) acc -= int64_t{a[i]} * y[n + 14 - i];
            y[n + 14] = static_cast<int32_t>(acc >> 12);
            v = (8191 * v + 32768 * y[n + 14] + 16384) >> 15;
            ASSERT_EQ(v, out[n]) << n;
        }
        EXPECT_TRUE(!(control & kPlain) || (out[0] == 1 && out[1] == -2 && out[2] == 2 && out[3] == -1));
    }
}

TEST_F(SpDecoder, AdaptiveExcitationRepeatsShortLagsAndIsLimited)
{
    // Lag 36 in every subframe and gain 2.0: each subframe is the last 36
    // samples twice, doubled.
    for (int d = 1; d < kSpHistory; ++d) g_sp.excitation[d] = 1000 + d;
    Frame f;
    std::fill(f.gain, f.gain + 4, 31);
    decode_all({f.pack()}, kPlain);
    for (int n = 0; n < 72; ++n) {
        const int32_t base = 1036 - n % 36;
        ASSERT_EQ(16 * base, g_sp.excitation[72 - n]) << n;
        ASSERT_EQ(8 * base, g_sp.excitation[144 - n]) << n;
        ASSERT_TRUE(n < 30 || 4 * base == g_sp.excitation[216 - n]) << n;
    }
    // Past 16 bits the adaptive part stops at -32767, but pulses are added on
    // top without a limit: 31182 * 5000 in Q15 is 4758.
    reset_codec();
    std::fill(g_sp.excitation + 1, g_sp.excitation + kSpHistory, -20000);
    for (int s = 0; s < 4; ++s) {
        f.pulseGain[s] = 63;
        std::fill(f.amplitude[s], f.amplitude[s] + 7, 7);  // pulse at 6 down, 5..0 up
        f.amplitude[s][0] = 0;
    }
    decode_all({f.pack()}, kPlain);
    EXPECT_EQ(-32767 - 4758, g_sp.excitation[72 - 6]);
    for (int n = 0; n < 6; ++n) EXPECT_EQ(-32767 + 4758, g_sp.excitation[72 - n]) << n;
    EXPECT_EQ(-32767, g_sp.excitation[1]);
}

// Noise frames: the first after speech carries on with the speech frame's
// filter and seeds the generator with its first index; later ones use their
// own indices and go on with the seed; the run stops counting at 60 and a
// speech frame ends it.  The noise is 0..335.
TEST_F(SpDecoder, NoiseRuns)
{
    auto lcg = [](uint32_t s, int steps) {
        for (int i = 0; i < steps; ++i) s = (s * 521 + 259) & 0xFFFF;
        return static_cast<uint16_t>(s);
    };
    Frame fields = random_frame(21, true);
    const Bytes first = fields.pack();
    const auto viaOwn = decode_all({first, noise(20, 7)}, kPlain | kMode);
    EXPECT_EQ(lcg(fields.index[0], 288), g_sp.noiseSeed);
    reset_codec();
    fields.noise = true;
    std::fill(fields.gain, fields.gain + 4, 20);
    fields.gain[2] = 4;
    EXPECT_EQ(viaOwn, decode_all({first, fields.pack()}, kPlain | kMode));

    std::vector<Bytes> frames{first};
    for (int i = 0; i < 61; ++i) frames.push_back(noise(31, i % 32));
    reset_codec();
    decode_all(frames, kPlain | kMode);
    EXPECT_EQ(60, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(fields.index[0], 61 * 288), g_sp.noiseSeed);
    const auto range = std::minmax_element(g_sp.excitation + 1, g_sp.excitation + kSpHistory);
    EXPECT_GE(*range.first, 0);
    EXPECT_LE(*range.second, 335);
    EXPECT_GE(*range.second, 330);  // the generator's values reach the top

    Frame next = random_frame(32, true);
    next.index[0] = 9;
    decode_all({next.pack(), frames[1]}, kPlain | kMode);
    EXPECT_EQ(1, g_spDecode.noiseRun);
    EXPECT_EQ(lcg(9, 288), g_sp.noiseSeed);

    // A frame outside speech-flag mode may leave a 14th index of 4..7; the
    // noise frame that takes it over reads the 4-entry table modulo 4.
    std::vector<int16_t> after[8];
    for (int last : {3, 6, 7}) {
        reset_codec();
        std::fill(g_spDecode.previousIndices, g_spDecode.previousIndices + 14, 1);
        g_spDecode.previousIndices[13] = static_cast<int16_t>(last);
        after[last] = decode_all({noise(25)}, kPlain | kMode | kPost);
    }
    EXPECT_EQ(after[3], after[7]);
    EXPECT_NE(after[3], after[6]);
}

// The reset bit clears the excitation history, and only that: filters and
// gains carry over.
TEST_F(SpDecoder, ResetClearsOnlyTheExcitationHistory)
{
    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 6; ++s) frames.push_back(random_frame(50 + s, false).pack());
    const auto clean = decode_all(frames, kPlain | kPost);
    const SpDecoderState state = g_sp;
    const SpChannelState channel = g_spDecode;
    const auto reset = decode_all(frames, kPlain | kPost | kReset);
    EXPECT_NE(clean, reset);
    g_sp = state;
    g_spDecode = channel;
    std::fill(g_sp.excitation, g_sp.excitation + kSpHistory, 0);
    EXPECT_EQ(reset, decode_all(frames, kPlain | kPost));
}

TEST_F(SpDecoder, PostfilterInQ12ShiftsBy12AndRoundsWith4096)
{
    // A flat filter (a = 1) in both scales on a constant 16384: no headroom
    // (s = 0), the input works at 2048.  In Q12 each of the two filter steps
    // adds the half that 4096 >> 12 rounds up: 2049, 2050.  Energy in
    // (limited to 1048575) over energy out, in Q11: the target 409 * 14563
    // in Q15 rounds down to 181 << 15, and from gain 0 the first sample gets
    // 181: 2048 * 181 >> 11.
    const int32_t flat[2][15] = {{8192}, {4096}};
    for (int scale : {0, 1}) {
        reset_codec();
        int32_t x[72];
        std::fill(x, x + 72, 16384);
        sp_postfilter(x, flat[scale], scale, 0, &g_sp);
        EXPECT_EQ(2048, g_sp.postInput[1]);
        EXPECT_EQ(scale ? 2050 : 2048, g_sp.postOutput[1]);
        EXPECT_EQ(181, x[0]);
    }
    // Below an output energy of 64 the target gain is 1 (Q11), which the Q15
    // rounding makes 0: the gain decays by 32358/32768 per sample.
    int32_t x[72] = {3, -2}, expected = 2048;
    g_sp.postGain_Q11 = 2048;
    sp_postfilter(x, flat[0], 0, -20000, &g_sp);
    for (int n = 0; n < 72; ++n) expected = (32358 * expected) >> 15;
    EXPECT_EQ(expected, g_sp.postGain_Q11);

    // The tilt compensation works only with a negative first coefficient.
    std::vector<int32_t> runs[3];
    for (int i = 0; i < 3; ++i) {
        SpDecoderState state = g_sp;
        for (int n = 0; n < 72; ++n) runs[i].push_back((n * 7919) % 4000 - 2000);
        sp_postfilter(runs[i].data(), flat[0], 0, (i - 1) * 20000, &state);
    }
    EXPECT_EQ(runs[1], runs[2]);
    EXPECT_NE(runs[0], runs[1]);
}

TEST_F(SpDecoder, LevelMeterMatchesTheDecoderAndKeepsItsOwnFilter)
{
    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 3; ++s) frames.push_back(random_frame(60 + s, false).pack());
    const auto decoded = decode_all(frames, kPlain | kPost);
    reset_codec();
    std::vector<int16_t> metered(3 * 288);
    uint32_t cw = kPost;
    for (size_t i = 0; i < frames.size(); ++i) sp_level_decode(frames[i].data(), &cw, &metered[288 * i]);
    EXPECT_EQ(decoded, metered);
    EXPECT_EQ(0, g_spDecode.outputFilter);

    // Its reset clears its own filter and speech-flag mode, and the shared
    // history, but not the decode entry's filter.
    g_spDecode.outputFilter = 77;
    g_sp.speechFlagMode = true;
    g_sp.excitation[5] = 1;
    int16_t out[288];
    cw = kReset;
    sp_level_decode(Bytes(41, 0).data(), &cw, out);
    EXPECT_EQ(0u, cw);
    EXPECT_FALSE(g_sp.speechFlagMode);
    EXPECT_EQ(0, g_sp.excitation[5]);
    EXPECT_EQ(77, g_spDecode.outputFilter);

    // A noise frame may come in a buffer of its own 9 bytes; the address
    // sanitizer reports any read past it.
    g_sp.speechFlagMode = true;
    sp_level_decode(noise(31).data(), &cw, out);
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
}

// The speed stage against the model, through random changes of setting (also
// mid-cycle, and to settings without a row), with frames loud enough for the
// cross-fades to reach the limits; the sessions' count of frames returned
// goes up by one per frame played.
TEST_F(SpDecoder, SpeedStageFollowsTheModel)
{
    static const double kMs[9] = {24.0, 30.0, 31.92, 36.0, 48.0, 19.2, 18.0, 15.84, 12.0};
    sptest::SpeedModel model{264, 124, kMs};
    std::mt19937 rng(12);
    uint32_t setting = 0;
    // The first frame banks 43 frames of 31.92 ms onto 12345.678 ms, a sum
    // that a float addition would round otherwise.
    g_session.speedChangeMs = model.changeMs = 12345.678f;
    g_session.speedInUse = model.inUse = 2 << 3;
    g_session.framesReturned = model.returned = 43;
    for (int n = 0; n < 4000; ++n) {
        const uint32_t r = rng();
        if (r % 8 == 0) setting = (r & 8) << 12 | (r >> 4) % 6 << 11 | (r % 7 == 0 ? 0x100 : 0);
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

// The fast paths (16-bit operands, sums modulo 2^32) against the 64-bit
// sums.  Each filter alone, on operands inside 16 bits, at its limits and
// past them (where the fast path must give way), then whole decodes of
// random frames in both modes, with and without the postfilter.
TEST_F(SpDecoder, FastPathsGiveTheBitsOfTheExactSums)
{
    std::mt19937 rng(23);
    auto value = [&rng](int kind) {
        const int32_t v = static_cast<int32_t>(rng());
        return kind == 0 ? v >> 17 : kind == 1 ? (v < 0 ? -32768 : 32767) : kind == 2 ? v >> 12 : v;
    };
    // Runs `step` with the fast paths on and off from the same state.
    auto both = [](auto step) {
        g_spFastPaths = false;
        const auto exact = step();
        g_spFastPaths = true;
        EXPECT_EQ(exact, step());
    };
    for (int t = 0; t < 3000; ++t) {
        const int kind = t % 4, wide = (t / 4) % 8 == 0 ? 3 : kind % 3;  // operands past 16 bits now and then
        int32_t a[15], k1 = value(t % 16 == 5 ? 3 : 0), e[72];  // now and then a tilt past 16 bits
        for (int32_t &x : a) x = value(kind % 2);
        for (int32_t &x : e) x = value(kind);
        SpDecoderState start{};
        for (int i = 1; i <= 14; ++i) {
            start.synthesis[i] = value(wide);
            start.postInput[i] = value(wide);
            start.postOutput[i] = value((t / 8) % 2 ? 0 : wide);  // the two memories fit apart
        }
        start.postGain_Q11 = value(0);
        both([&] {
            SpDecoderState s = start;
            std::vector<int32_t> y(72);
            sp_synthesis_filter(a, t & 1, e, y.data(), 72, s.synthesis);
            sp_postfilter(y.data(), a, t & 1, k1, &s);
            y.insert(y.end(), s.synthesis, s.synthesis + 15);
            y.insert(y.end(), s.postInput, s.postInput + 15);
            y.insert(y.end(), s.postOutput, s.postOutput + 15);
            y.push_back(s.postGain_Q11);
            return y;
        });
        int32_t in[288];
        for (int32_t &x : in) x = value(kind == 3 && t % 8 == 3 ? 3 : kind % 3);
        for (int32_t &x : g_spOutput.rateHistory) x = value(wide);
        const SpOutputState history = g_spOutput;
        both([&] {
            g_spOutput = history;
            std::vector<int32_t> out(264);
            sp_rate_convert(in, out.data());
            out.insert(out.end(), g_spOutput.rateHistory, g_spOutput.rateHistory + kSpRateTaps);
            return out;
        });
    }

    std::vector<Bytes> frames;
    for (uint32_t s = 0; s < 400; ++s) frames.push_back(random_frame(s, s >= 200, s >= 200 && s % 3 == 0).pack());
    for (uint32_t post : {0u, kPost}) {
        both([&] {
            reset_codec();
            Stream stream(frames);
            uint8_t *p = stream.start();
            std::vector<int16_t> out(frames.size() * 288);
            for (size_t i = 0; i < frames.size(); ++i) {
                uint32_t control = post | (i % 5 ? kPlain : 0) | (i >= 200 ? kMode : 0);
                sp_decode(&p, &control, &out[288 * i]);
            }
            return out;
        });
    }
}
