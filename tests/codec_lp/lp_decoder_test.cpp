// The LP decoder's behaviour beyond the vectors: Annex A comfort noise,
// the reset, the level meter and the output handling.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"
#include "codec_sp/sp_output.h"
#include "core/state.h"
#include "kvx.h"
#include "lp_test_frames.h"

using namespace kvx;

namespace {

// The SID gain of a 6-bit index: three segments of steps 2, 4 and 8 from
// 0, 32 and 96, times 32.
int16_t sid_gain(int index)
{
    const int segment = index >> 4 == 3 ? 2 : index >> 4;
    const int base[3] = {0, 32, 96};
    return static_cast<int16_t>((((index - 16 * segment) << (segment + 1)) + base[segment]) * 32);
}

void decode_speech(int frames, uint32_t first = 0)
{
    int16_t out[240];
    for (int n = 0; n < frames; ++n) lp_synthesise(lptest::speech_frame(first + static_cast<uint32_t>(n)).bytes, out);
}

class LpDecoder : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lpStandardArithmetic = false;
        lp_reset();
        g_lpOutput = LpOutputState{};
    }
};

} // namespace

// Comfort noise after speech starts at the SID gain and then moves 1/8 of
// the way to each new SID gain per frame.
TEST_F(LpDecoder, ComfortNoiseGainApproachesSidGainByOneEighth)
{
    decode_speech(5);
    int16_t out[240];
    lp_synthesise(lptest::sid_frame(0x102030, 40).bytes, out);
    EXPECT_EQ(g_lp.curGain, sid_gain(40));
    const int16_t target = sid_gain(10);
    int previousDistance = g_lp.curGain - target;
    for (int n = 0; n < 30; ++n) {
        const int16_t before = g_lp.curGain;
        lp_synthesise(n % 2 ? lptest::sid_frame(0x102030, 10).bytes : lptest::untransmitted_frame().bytes, out);
        if (n == 0) {
            // The untransmitted frame keeps the last SID gain as target.
            EXPECT_EQ(g_lp.curGain, before);
            continue;
        }
        EXPECT_EQ(g_lp.curGain, (7 * before + target) * 4096 >> 15) << n;
        const int distance = g_lp.curGain - target;
        EXPECT_LE(distance, previousDistance) << n;
        previousDistance = distance;
    }
    EXPECT_LE(previousDistance, 8 * 32);
}

// An untransmitted frame right after speech (its SID frame lost) starts
// comfort noise at a gain requantised from the last active frame's
// excitation: one of the 64 SID levels, rising with that excitation.
TEST_F(LpDecoder, UntransmittedAfterSpeechStartsAtRequantisedGain)
{
    auto gain_after = [](uint32_t speech) {
        lp_reset();
        decode_speech(4, speech);
        int16_t out[240];
        lp_synthesise(lptest::untransmitted_frame().bytes, out);
        return g_lp.curGain;
    };
    bool someNonZero = false;
    for (uint32_t speech = 0; speech < 12; ++speech) {
        const int16_t gain = gain_after(speech);
        bool level = false;
        for (int i = 0; i < 64; ++i) level = level || gain == sid_gain(i);
        EXPECT_TRUE(level) << "gain " << gain << " after speech " << speech;
        someNonZero = someNonZero || gain > 0;
        // Further untransmitted frames hold it (target and gain agree).
        int16_t out[240];
        lp_synthesise(lptest::untransmitted_frame().bytes, out);
        EXPECT_EQ(g_lp.curGain, gain);
    }
    EXPECT_TRUE(someNonZero);

    // The same speech at half the excitation gives no larger a gain:
    // silence (no pulses, no pitch gain) gives gain 0.
    lp_reset();
    lptest::ActiveFields quiet;
    for (uint32_t &g : quiet.gain) g = 0;
    for (uint32_t &p : quiet.positions) p = 0xFFFF;  // past every valid code: no pulses
    quiet.top = 8000;
    int16_t out[240];
    lp_synthesise(lptest::active_frame(quiet).bytes, out);
    lp_synthesise(lptest::untransmitted_frame().bytes, out);
    EXPECT_EQ(g_lp.curGain, 0);
}

// The reset restores every part of the decoder state: a decode after it
// repeats a decode from the reset exactly.
TEST_F(LpDecoder, ResetGivesTheSameDecodeAgain)
{
    auto run = [] {
        std::vector<int16_t> pcm;
        uint32_t control = KVX_CW_RESET | KVX_CW_NO_DEVICE;
        for (uint32_t n = 0; n < 12; ++n) {
            lptest::FrameWriter w = n % 4 == 3 ? lptest::sid_frame(n * 99991u, n) : lptest::speech_frame(n);
            uint8_t *p = w.bytes;
            int16_t out[240];
            lp_decode(&p, &control, out);
            EXPECT_EQ(control & KVX_CW_RESET, 0u);
            pcm.insert(pcm.end(), out, out + 240);
        }
        return pcm;
    };
    const std::vector<int16_t> first = run();
    decode_speech(7, 1000);  // leave the state far from the reset
    EXPECT_EQ(run(), first);
}

// The level meter is the decode without output stage, on the same state.
TEST_F(LpDecoder, LevelMeterDecodesLikeThePlainOutput)
{
    std::vector<lptest::FrameWriter> frames;
    for (uint32_t n = 0; n < 6; ++n) frames.push_back(n == 4 ? lptest::sid_frame(77, 30) : lptest::speech_frame(n));

    uint32_t control = KVX_CW_RESET;
    std::vector<int16_t> meter;
    for (auto &f : frames) {
        int16_t out[240];
        lp_level_decode(f.bytes, &control, out);
        meter.insert(meter.end(), out, out + 240);
    }
    EXPECT_EQ(control, 0u);

    control = KVX_CW_RESET | KVX_CW_FILE_OUTPUT;
    std::vector<int16_t> plain;
    for (auto &f : frames) {
        int16_t out[240];
        uint8_t *p = f.bytes;
        lp_decode(&p, &control, out);
        plain.insert(plain.end(), out, out + 240);
    }
    EXPECT_EQ(meter, plain);
}

// Bit 0x40 gives 330-sample slots in plain output only.
TEST_F(LpDecoder, ElevenKilohertzSlotOnlyInPlainOutput)
{
    struct Case {
        uint32_t control;
        uint32_t samples;
    };
    const Case cases[] = {
        {KVX_CW_264_OR_11K | KVX_CW_FILE_OUTPUT, 330},
        {KVX_CW_264_OR_11K | KVX_CW_NO_DEVICE, 330},
        {KVX_CW_FILE_OUTPUT, 240},
        {KVX_CW_264_OR_11K, 240},
        {KVX_CW_264_OR_11K | KVX_CW_SP_288, 240},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.control);
        EXPECT_EQ(lp_slot_samples(c.control), c.samples);
        std::vector<int16_t> out(400, 0x5A5A);
        lptest::FrameWriter w = lptest::speech_frame(3);
        uint8_t *p = w.bytes;
        uint32_t control = c.control;
        EXPECT_EQ(lp_decode(&p, &control, out.data()), c.samples);
        for (size_t i = c.samples; i < out.size(); ++i) ASSERT_EQ(out[i], 0x5A5A) << "written past the slot at " << i;
    }
}

// The converter: 8 samples become 11 (with the means of the odd pairs)
// through a low-pass whose states carry over between frames.
TEST_F(LpDecoder, ElevenKilohertzConverter)
{
    int16_t in[240] = {};
    int16_t out[330];
    in[0] = 10000;
    lp_convert_11k(in, out);
    // Impulse response: w = 10000, then w = 16669 w1 - 7133 w2 (Q15).
    EXPECT_EQ(out[0], 5808 * 10000 >> 15);
    const int32_t w1 = 16669 * 10000 >> 15;
    EXPECT_EQ(out[1], (11616 * 10000 >> 15) + (5808 * w1 >> 15));

    // A constant input settles near its value (unit gain at DC) ...
    for (int16_t &x : in) x = 8000;
    for (int n = 0; n < 3; ++n) lp_convert_11k(in, out);
    for (int i = 300; i < 330; ++i) EXPECT_NEAR(out[i], 8000, 40);
    // ... and full scale is limited to +-32767.
    for (int16_t &x : in) x = -32768;
    for (int n = 0; n < 3; ++n) lp_convert_11k(in, out);
    for (int16_t y : out) EXPECT_GE(y, -32767);

    // The states persist: the same frame converts differently after a
    // different one, the same after the states are cleared.
    int16_t a[330], b[330];
    for (int i = 0; i < 240; ++i) in[i] = static_cast<int16_t>((i * 977) % 20000 - 10000);
    g_lpOutput.w1 = g_lpOutput.w2 = 0;
    lp_convert_11k(in, a);
    lp_convert_11k(in, b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    g_lpOutput.w1 = g_lpOutput.w2 = 0;
    lp_convert_11k(in, b);
    EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
}

// The speed stage with LP frames: slower playback inserts the held frame,
// faster drops frames, and leaving a setting banks its frame time.
TEST_F(LpDecoder, SpeedStageWithLpFrames)
{
    g_speedCounter = 0;
    g_session.speedInUse = 0;
    g_session.framesReturned = 0;
    g_session.speedChangeMs = 0;

    std::vector<lptest::FrameWriter> frames;
    for (uint32_t n = 0; n < 8; ++n) frames.push_back(lptest::speech_frame(n));

    // Slower step 4: every frame is followed by its held copy, fetched
    // from nowhere.
    uint32_t control = KVX_CW_SPEED_SLOWER | (4u << KVX_CW_SPEED_STEP_SHIFT);
    uint8_t *p = frames[0].bytes;
    int16_t out[240];
    EXPECT_EQ(lp_decode(&p, &control, out), 240u);
    EXPECT_NE(control & KVX_CW_HELD_FRAME, 0u);
    uint8_t *before = p;
    int16_t held[240];
    EXPECT_EQ(lp_decode(&p, &control, held), 240u);
    EXPECT_EQ(p, before);
    EXPECT_EQ(control & KVX_CW_HELD_FRAME, 0u);
    for (int i = 0; i < 240; ++i) ASSERT_EQ(held[i], static_cast<int16_t>(g_lpOutput.held[i]));

    // Leaving setting 20 (slower step 4) after 10 frames banks 15.0 ms each.
    g_session.framesReturned = 10;
    control = 4u << KVX_CW_SPEED_STEP_SHIFT;  // faster step 4
    int dropped = 0;
    for (int n = 1; n < 7; ++n) {
        p = frames[n].bytes;
        if (lp_decode(&p, &control, out) == 0) ++dropped;
    }
    EXPECT_FLOAT_EQ(g_session.speedChangeMs, 150.0f);
    EXPECT_EQ(dropped, 3);  // every second frame

    // Leaving normal speed adds 30.0 ms per frame; leaving setting 17 24.0.
    g_speedCounter = 0;
    g_session.speedInUse = 0;
    g_session.framesReturned = 7;
    g_session.speedChangeMs = 0;
    control = KVX_CW_SPEED_SLOWER | (1u << KVX_CW_SPEED_STEP_SHIFT);
    p = frames[7].bytes;
    lp_decode(&p, &control, out);
    EXPECT_FLOAT_EQ(g_session.speedChangeMs, 210.0f);
    g_speedCounter = 0;
    g_session.framesReturned = 5;
    control &= ~(KVX_CW_SPEED_MASK | KVX_CW_HELD_FRAME);
    p = frames[6].bytes;
    lp_decode(&p, &control, out);
    EXPECT_FLOAT_EQ(g_session.speedChangeMs, 210.0f + 120.0f);

    // Plain output bypasses the stage.
    control = KVX_CW_FILE_OUTPUT | (4u << KVX_CW_SPEED_STEP_SHIFT);
    g_speedCounter = 0;
    for (int n = 0; n < 4; ++n) {
        p = frames[n].bytes;
        EXPECT_EQ(lp_decode(&p, &control, out), 240u);
    }
}
