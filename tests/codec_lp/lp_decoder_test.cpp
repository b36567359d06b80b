// The LP codec around the G.723.1 core: framing, invalid frames, the reset,
// the level meter and the output handling.  Valid frames, comfort noise and
// the arithmetic are left to the vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "../codec_sp/speed_model.h"
#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"
#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "kvx.h"

using namespace kvx;

namespace {

struct Frame {
    uint8_t bytes[24] = {};
};

// Writes `width` bits at bit `pos` in the standard's order (the first bit
// read is the least significant).
void put(Frame &f, int pos, int width, uint32_t value)
{
    for (int k = 0; k < width; ++k, ++pos) {
        uint8_t &b = f.bytes[pos >> 3];
        b = static_cast<uint8_t>((b & ~(1u << (pos & 7))) | ((value >> k) & 1) << (pos & 7));
    }
}

// Random bits under a frame type of 0 (active), 2 (SID) or 3 (untransmitted).
Frame random_frame(uint32_t seed, uint32_t type = 0)
{
    std::mt19937 rng(seed);
    Frame f;
    for (uint8_t &b : f.bytes) b = static_cast<uint8_t>(rng());
    put(f, 0, 2, type);
    return f;
}

class LpDecoder : public ::testing::Test {
protected:
    void SetUp() override
    {
        lp_reset();
        g_lpOutput = {};
        g_session = {};
        g_speedCounter = 0;
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

// An invalid lag or gain index ends the reading there and the frame stays
// active: the fields from there on keep the all-zero code's values, as if
// every later bit were 0.  A 5.3 kbit/s frame is read as the all-zero code.
TEST_F(LpDecoder, InvalidIndexEndsTheReading)
{
    static_assert(sizeof(LpFrameParams) == 76, "compared byte for byte");
    for (uint32_t n = 0; n < 700; ++n) {
        Frame w = random_frame(n);
        const int bad = n % 7;  // lag 0 or 1, gain 0..3, 5.3 kbit/s
        const uint32_t lag = n / 7 % 2 ? 20 + n % 20 : 40 + n % 80;  // lags below 58 use the 85-row gains
        put(w, 26, 7, lag);
        put(w, 35, 7, lag);
        int end = 192;
        if (bad < 2) {
            put(w, 26 + 9 * bad, 7, 124 + n % 4);
            end = 33 + 9 * bad;
        } else if (bad < 6) {
            put(w, 20 + 12 * bad, 12, lag < 40 ? 85 * 24 + n % 8 + (n & 4) * 512 : 170 * 24 + n % 16);
            end = 32 + 12 * bad;
        }
        Frame cut = bad < 6 ? w : Frame();
        for (int bit = end; bit < 192; ++bit) put(cut, bit, 1, 0);
        put(w, 0, 1, bad == 6);
        LpFrameParams got, want;
        lp_unpack(w.bytes, &got);
        lp_unpack(cut.bytes, &want);
        ASSERT_EQ(got.type, kLpActive) << n;
        ASSERT_EQ(0, std::memcmp(&got, &want, sizeof got)) << n;
    }
}

// The reset restores the whole decoder state, and the level meter is the
// plain decode without output stage, on the same state.
TEST_F(LpDecoder, ResetAndLevelMeterRepeatThePlainDecode)
{
    std::vector<Frame> frames;
    for (uint32_t n = 0; n < 13; ++n) frames.push_back(random_frame(n, n == 12 ? 3 : n % 4 == 3 ? 2 : 0));
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
    int16_t out[240];
    for (uint32_t n = 0; n < 7; ++n) lp_synthesise(random_frame(1000 + n).bytes, out);  // far from the reset
    EXPECT_EQ(run(false), first);
    lp_synthesise(random_frame(5, 2).bytes, out);
    EXPECT_EQ(run(true), first);
}

// The 11 kHz converter against a model: every 8 samples become 11, the odd
// pairs' means between them, through a second-order low-pass whose products
// are each shifted on their own, limited to +-32767, its state carried on.
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
    uint32_t control = 0;
    for (uint32_t n = 0; n < 270; ++n) {
        control = n % 10 ? control : (n / 10 % 2) << 15 | (n / 20 % 5) << 11;  // steps 0..4, both ways
        Frame f = random_frame(n);
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
