// The LP codec around the G.723.1 core: framing and unpacking, Annex A
// comfort noise, the reset, the level meter and the output handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"
#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "kvx.h"
#include "../codec_sp/speed_model.h"

using namespace kvx;

namespace {

// A frame written field by field in the standard's bit order.
struct Frame {
    uint8_t bytes[24] = {};
    int position = 0;
    Frame &put(uint32_t value, int width)
    {
        for (int k = 0; k < width; ++k, ++position)
            if ((value >> k) & 1) bytes[position >> 3] |= static_cast<uint8_t>(1u << (position & 7));
        return *this;
    }
};

struct Fields {
    uint32_t lsp = 0x123456, lag[2] = {40, 70}, lagOffset[2] = {2, 3};  // lag codes: lags 58 and 88
    uint32_t gain[4] = {24 * 10 + 5, 24 * 20 + 23, 24 * 30 + 1, 24 * 169 + 7}, grid[4] = {1, 0, 1, 0};
    uint32_t top = 1234, positions[4] = {0x1234, 0x0567, 0xBEEF, 0x1ABC}, signs[4] = {0x2A, 0x15, 0x3F, 0x00};

    Frame pack() const
    {
        Frame w;
        w.put(0, 2).put(lsp, 24).put(lag[0], 7).put(lagOffset[0], 2).put(lag[1], 7).put(lagOffset[1], 2);
        for (uint32_t g : gain) w.put(g, 12);
        for (uint32_t g : grid) w.put(g, 1);
        w.put(0, 1).put(top, 13);
        for (int i = 0; i < 4; ++i) w.put(positions[i], i % 2 ? 14 : 16);
        for (int i = 0; i < 4; ++i) w.put(signs[i], i % 2 ? 5 : 6);
        return w;
    }
};

// Valid fields of speech-like parameters that vary with `n`: gains inside
// the 85 rows with the pulse train bit for lags below 58, else 170 rows.
Fields speech_fields(uint32_t n)
{
    Fields f;
    f.lsp = (n * 2654435761u) & 0xFFFFFF;
    f.lag[0] = 20 + (n * 7) % 100;
    f.lag[1] = 20 + (n * 11) % 100;
    f.lagOffset[0] = n % 4;
    f.lagOffset[1] = (n / 4) % 4;
    for (uint32_t i = 0; i < 4; ++i) {
        const bool shortLag = f.lag[i >> 1] + 18 < 58;
        f.gain[i] = ((n * 13 + i * 7) % (shortLag ? 85 : 170)) * 24 + (n + i * 5) % 24 + (shortLag ? ((n + i) & 1) << 11 : 0);
        f.grid[i] = (n >> i) & 1;
        f.positions[i] = (n * 40503u + i * 9973u) & (i % 2 ? 0x3FFF : 0xFFFF);
        f.signs[i] = (n * 3 + i) & 0x1F;
    }
    f.top = (n * 37) % 7290;
    return f;
}

Frame speech(uint32_t n)
{
    return speech_fields(n).pack();
}

Frame sid(uint32_t lsp, uint32_t gainIndex)
{
    return Frame().put(2, 2).put(lsp, 24).put(gainIndex, 6);
}

Frame untransmitted()
{
    return Frame().put(3, 2);
}

// The SID gain of a 6-bit index: three segments of steps 2, 4 and 8 from
// 0, 32 and 96, times 32.
int16_t sid_gain(int index)
{
    const int segment = index >> 4 == 3 ? 2 : index >> 4;
    const int base[3] = {0, 32, 96};
    return static_cast<int16_t>((((index - 16 * segment) << (segment + 1)) + base[segment]) * 32);
}

// Decodes a frame; the comfort-noise gain after it.
int16_t decode(const Frame &w)
{
    int16_t out[240];
    lp_synthesise(w.bytes, out);
    return g_lp.curGain;
}

class LpDecoder : public ::testing::Test {
protected:
    void SetUp() override
    {
        lp_reset();
        g_lpOutput = LpOutputState{};
        g_speedCounter = 0;
        g_session.speedInUse = 0;
        g_session.framesReturned = 0;
        g_session.speedChangeMs = 0;
    }
};

} // namespace

// Any bytes under any control word: the input moves by the length that bit
// 1 of the first byte gives (also for forbidden lags and 5.3 kbit/s
// frames), the slot is filled exactly (plain output is never dropped),
// nothing is written past it, and no sample is -32768.
TEST_F(LpDecoder, AnyFrameStaysInItsSlotAndLimits)
{
    std::mt19937 rng(3);
    for (int t = 0; t < 3000; ++t) {
        uint8_t frame[24];
        for (uint8_t &b : frame) b = static_cast<uint8_t>(t < 256 && &b == frame ? t : rng());
        uint32_t control = rng() & 0xF800;
        for (uint32_t b : {KVX_CW_RESET, KVX_CW_HELD_FRAME, KVX_CW_FILE_OUTPUT, KVX_CW_264_OR_11K, KVX_CW_NO_DEVICE})
            control |= rng() % 3 ? 0 : b;
        const uint32_t before = control, held = control & KVX_CW_HELD_FRAME;
        const bool plain = control & (KVX_CW_FILE_OUTPUT | KVX_CW_NO_DEVICE), wide = plain && (control & KVX_CW_264_OR_11K);
        ASSERT_EQ(lp_slot_samples(control), wide ? 330u : 240u);
        const uint32_t slot = wide && !held ? 330 : 240;
        std::vector<int16_t> out(340, 0x5A5A);
        uint8_t *p = frame;
        const uint32_t n = lp_decode(&p, &control, out.data());
        ASSERT_EQ(p - frame, held ? 0 : (frame[0] & 2) ? 4 : 24) << t;
        ASSERT_TRUE(n == slot || (n == 0 && !held && !plain)) << t;
        for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(i < n ? out[i] != -32768 : out[i] == 0x5A5A) << t << " at " << i;
        ASSERT_EQ(control & KVX_CW_RESET, held ? before & KVX_CW_RESET : 0u);
        ASSERT_FALSE(held && (control & KVX_CW_HELD_FRAME));
        p = frame;
        lp_skip_frame(&p);
        ASSERT_EQ(p - frame, (frame[0] & 2) ? 4 : 24);
    }
}

// Fields come back as written: lags, offsets, gains with the pulse train
// bit for lags below 58, grids, the four position codes whose top parts
// share one 13-bit field, and the signs.  An invalid lag or gain index
// ends the reading there, every later field keeping the all-zero code's
// value, and the frame stays active; so does a 5.3 kbit/s frame, of which
// nothing is read.
TEST_F(LpDecoder, UnpackRoundTrip)
{
    LpFrameParams zero, p;
    lp_unpack(Frame().bytes, &zero);
    for (uint32_t n = 0; n < 800; ++n) {
        Fields f = speech_fields(n);
        int bad = n % 2 ? 6 : static_cast<int>(n / 2 % 7);  // lag 0, 1, gain 0..3, none, 5.3 kbit/s
        if (bad < 2) f.lag[bad] = 124 + n % 4;
        if (bad >= 2 && bad < 6) f.gain[bad - 2] = f.lag[(bad - 2) >> 1] < 40 ? 85 * 24 + n % 8 + (n & 4) * 512 : 170 * 24 + n % 16;
        Frame w = f.pack();
        w.bytes[0] |= bad == 6 && n % 2 == 0 ? 1 : 0;
        bad = bad == 6 && n % 2 == 0 ? -1 : bad;
        lp_unpack(w.bytes, &p);
        ASSERT_EQ(p.type, kLpActive);
        ASSERT_EQ(p.lspIndex, bad < 0 ? 0 : static_cast<int32_t>(f.lsp));
        const int lags = bad < 0 ? 0 : std::min(bad, 2), gains = bad < 2 ? 0 : bad - 2;
        int32_t high[4];
        for (int i = 0; i < 4; ++i) {
            const auto &s = p.sub[i], &z = zero.sub[i];
            const uint32_t lag = f.lag[i >> 1] + 18, bits = i % 2 ? 14 : 16;
            const bool lagRead = (i >> 1) < lags, gainRead = i < gains, rest = bad == 6;
            ASSERT_EQ(p.openLoopLag[i >> 1], lagRead ? static_cast<int16_t>(lag) : zero.openLoopLag[i >> 1]) << n;
            ASSERT_EQ(s.lagOffset, i % 2 == 0 ? 1 : lagRead ? static_cast<int16_t>(f.lagOffset[i >> 1]) : z.lagOffset) << n;
            ASSERT_EQ(s.train, gainRead && lag < 58 ? static_cast<int16_t>(f.gain[i] >> 11) : 0) << n;
            ASSERT_EQ(s.pitchGain * 24 + s.amplitude, gainRead ? static_cast<int32_t>(f.gain[i] & (lag < 58 ? 0x7FF : 0xFFF)) : 0) << n;
            ASSERT_EQ(s.grid, rest ? static_cast<int16_t>(f.grid[i]) : z.grid) << n;
            ASSERT_EQ(s.positions & ((1 << bits) - 1), rest ? static_cast<int32_t>(f.positions[i]) : z.positions) << n;
            ASSERT_EQ(s.signs, rest ? static_cast<int16_t>(f.signs[i]) : z.signs) << n;
            high[i] = s.positions >> bits;
        }
        ASSERT_EQ(90 * (9 * high[0] + high[1]) + 9 * high[2] + high[3], bad == 6 ? static_cast<int32_t>(f.top) : 0) << n;
    }
    lp_unpack(sid(0xABCDEF, 45).bytes, &p);
    EXPECT_EQ(p.type, kLpSid);
    EXPECT_EQ(p.lspIndex, 0xABCDEF);
    EXPECT_EQ(p.sidGainIndex, 45);
    lp_unpack(untransmitted().bytes, &p);
    EXPECT_EQ(p.type, kLpUntransmitted);
}

// An untransmitted frame right after speech (its SID frame lost) starts
// comfort noise at a gain requantised from the last active frame's
// excitation: one of the 64 SID levels, 0 after silence; further
// untransmitted frames hold it.
TEST_F(LpDecoder, UntransmittedAfterSpeechStartsAtRequantisedGain)
{
    bool someNonZero = false;
    for (uint32_t n = 0; n < 12; ++n) {
        lp_reset();
        for (uint32_t k = 0; k < 4; ++k) decode(speech(n + k));
        const int16_t gain = decode(untransmitted());
        bool level = false;
        for (int i = 0; i < 64; ++i) level = level || gain == sid_gain(i);
        EXPECT_TRUE(level) << "gain " << gain << " after speech " << n;
        someNonZero = someNonZero || gain > 0;
        EXPECT_EQ(decode(untransmitted()), gain);
    }
    EXPECT_TRUE(someNonZero);

    lp_reset();
    Fields quiet;
    std::fill(quiet.gain, quiet.gain + 4, 0);
    std::fill(quiet.positions, quiet.positions + 4, 0xFFFF);  // past every valid code: no pulses
    quiet.top = 8000;
    decode(quiet.pack());
    EXPECT_EQ(decode(untransmitted()), 0);
}

// The reset restores the whole decoder state, and the level meter is the
// plain decode without output stage, on the same state.
TEST_F(LpDecoder, ResetAndLevelMeterRepeatThePlainDecode)
{
    std::vector<Frame> frames;
    for (uint32_t n = 0; n < 12; ++n) frames.push_back(n % 4 == 3 ? sid(n * 99991u, n) : speech(n));
    frames.push_back(untransmitted());
    auto run = [&frames](bool meter) {
        std::vector<int16_t> pcm;
        uint32_t control = KVX_CW_RESET | KVX_CW_NO_DEVICE;
        for (auto &f : frames) {
            int16_t out[240];
            uint8_t *p = f.bytes;
            if (meter) lp_level_decode(f.bytes, &control, out);
            else lp_decode(&p, &control, out);
            EXPECT_EQ(control, KVX_CW_NO_DEVICE);
            pcm.insert(pcm.end(), out, out + 240);
        }
        return pcm;
    };
    const std::vector<int16_t> first = run(false);
    for (uint32_t n = 0; n < 7; ++n) decode(speech(1000 + n));  // far from the reset
    EXPECT_EQ(run(false), first);
    decode(sid(5, 60));
    EXPECT_EQ(run(true), first);
}

// The 11 kHz converter against a model: each 8 samples x0..x7 become x0,
// x1, (x1 + x2) >> 1, x2, x3, (x3 + x4) >> 1, x4, x5, (x5 + x6) >> 1, x6,
// x7, through w = u + (16669 w1 >> 15) - (7133 w2 >> 15) and out = (11616
// w1 >> 15) + (5808 w2 >> 15) + (5808 w >> 15), both limited to +-32767,
// with the states carried from frame to frame.
TEST_F(LpDecoder, ElevenKilohertzConverterFollowsTheModel)
{
    std::mt19937 rng(11);
    int32_t w1 = 0, w2 = 0;
    auto limit = [](int32_t v) { return std::max(-32767, std::min(32767, v)); };
    for (int frame = 0; frame < 6; ++frame) {
        int16_t in[240], out[330];
        for (int16_t &x : in) x = static_cast<int16_t>(frame < 3 ? rng() % 2001 - 1000 : rng());
        if (frame == 5) std::fill(in, in + 240, -32768);
        lp_convert_11k(in, out);
        for (int g = 0; g < 30; ++g) {
            const int16_t *x = in + 8 * g;
            const int32_t u[11] = {x[0], x[1], (x[1] + x[2]) >> 1, x[2], x[3], (x[3] + x[4]) >> 1, x[4], x[5], (x[5] + x[6]) >> 1, x[6], x[7]};
            for (int i = 0; i < 11; ++i) {
                const int32_t w = limit(u[i] + (16669 * w1 >> 15) - (7133 * w2 >> 15));
                ASSERT_EQ(out[11 * g + i], limit((11616 * w1 >> 15) + (5808 * w2 >> 15) + (5808 * w >> 15))) << frame << " " << g << " " << i;
                w2 = w1;
                w1 = w;
            }
        }
    }
}

// The speed stage with LP frames (240 values, fades of 136 per sample, LP
// frame times) against the model, through the decode entry: a dropped
// frame returns 0, an inserted one is the held frame, fetched from nowhere.
TEST_F(LpDecoder, SpeedStageFollowsTheModel)
{
    static const double kMs[9] = {30.0, 37.5, 39.9, 45.0, 60.0, 24.0, 22.5, 19.8, 15.0};
    sptest::SpeedModel model{240, 136, kMs};
    const uint32_t settings[] = {0, 4u << 11, KVX_CW_SPEED_SLOWER | 4u << 11, 2u << 11, KVX_CW_SPEED_SLOWER | 1u << 11,
                                 1u << 11, KVX_CW_SPEED_SLOWER | 2u << 11, 3u << 11, KVX_CW_SPEED_SLOWER | 3u << 11};
    uint32_t control = 0;
    for (uint32_t n = 0; n < 270; ++n) {
        control = n % 10 == 0 ? settings[n / 10 % 9] : control;
        Frame f = speech(n);
        int16_t plain[240], out[240];
        const LpDecoderState state = g_lp;
        lp_synthesise(f.bytes, plain);
        g_lp = state;
        int32_t want[240];
        std::copy(plain, plain + 240, want);
        uint32_t modelControl = control;
        const bool dropped = model.run(want, &modelControl);
        uint8_t *p = f.bytes;
        ASSERT_EQ(lp_decode(&p, &control, out), dropped ? 0u : 240u) << n;
        ASSERT_EQ(control, modelControl) << n;
        ASSERT_TRUE(dropped || std::equal(out, out + 240, want)) << n;
        ASSERT_TRUE(std::equal(g_lpOutput.held, g_lpOutput.held + 240, model.held.begin())) << n;
        ASSERT_EQ(g_session.speedChangeMs, model.changeMs) << n;
        const uint32_t played = (dropped ? 0 : 1) + (control & KVX_CW_HELD_FRAME ? 1 : 0);
        if (control & KVX_CW_HELD_FRAME) {
            ASSERT_EQ(lp_decode(&p, &control, out), 240u);
            ASSERT_TRUE(std::equal(out, out + 240, model.held.begin())) << n;
        }
        g_session.framesReturned += played;
        model.returned += played;
    }
}
