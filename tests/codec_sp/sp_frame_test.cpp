// SP frames: the stored layout at both parities, skipping, unpacking, the
// lag code and the pulse combination number system.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_frame.h"
#include "sp_test_support.h"

using namespace kvx;

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
        EXPECT_TRUE(std::equal(lag, lag + 4, c.lag)) << c.code << ": " << lag[0] << " " << lag[1] << " " << lag[2] << " " << lag[3];
    }
}

// Any seven distinct positions, coded as sum C(c_k, k), decode back; codes
// past the largest act as the largest.
TEST(SpFrame, PulseCombinationRoundTrip)
{
    std::mt19937 rng(7);
    std::vector<int> all(72);
    for (int i = 0; i < 72; ++i) all[i] = i;
    for (int t = 0; t < 2002; ++t) {
        std::shuffle(all.begin(), all.end(), rng);
        std::vector<int> chosen(all.begin(), all.begin() + 7);
        if (t >= 2000) chosen = t == 2000 ? std::vector<int>{0, 1, 2, 3, 4, 5, 6} : std::vector<int>{65, 66, 67, 68, 69, 70, 71};
        std::sort(chosen.rbegin(), chosen.rend());
        uint32_t index = 0;
        for (int k = 7; k >= 1; --k) index += kSpBinomial.v[chosen[7 - k]][k];
        for (uint32_t code : {index, t == 2001 ? 0x7FFFFFFFu : index}) {
            int16_t pos[7];
            sp_decode_pulses(code, pos);
            ASSERT_TRUE(std::equal(pos, pos + 7, chosen.begin())) << "code " << code;
        }
    }
}

// Random runs of full and noise frames, stored with their byte pairs
// swapped, come back field for field at either parity, read in turn or
// started afresh at any frame (at parity 0 the first byte is the stored
// byte before the frame, not one kept from elsewhere); skipping moves like
// fetching.  Without speech-flag mode a top bit of 0 is just part of
// filter index 1.
TEST(SpFrame, StoredFramesRoundTrip)
{
    std::mt19937 rng(1);
    for (int run = 0; run < 40; ++run) {
        const bool mode = run % 2;
        std::vector<sptest::Frame> fields;
        std::vector<sptest::Bytes> frames;
        for (int i = 0; i < 9; ++i) {
            fields.push_back(sptest::random_frame(rng, mode, mode && rng() % 3 == 0));
            frames.push_back(fields.back().pack());
        }
        sptest::Stream stream(frames);
        sptest::reset_codec();
        uint8_t *p = stream.start();
        for (size_t i = 0, offset = 0; i < frames.size(); offset += frames[i++].size()) {
            SCOPED_TRACE(testing::Message() << "run " << run << " frame " << i);
            const sptest::Frame &f = fields[i];
            const uint8_t *end = stream.start() + offset + frames[i].size();
            for (bool fresh : {false, true}) {
                uint8_t *at = stream.start() + offset;
                if (fresh) g_sp.heldByte = 0x5A;
                if (fresh) g_read.parity = offset % 2 == 0;
                uint16_t words[kSpFrameWords] = {};
                sp_fetch_frame(fresh ? &at : &p, mode, words);
                ASSERT_EQ(fresh ? at : p, end);
                ASSERT_EQ(g_read.parity, offset % 2 == 1);
                ASSERT_EQ(g_sp.speechFlag, !f.noise);
                const uint8_t held = g_sp.heldByte;

                at = stream.start() + offset;
                g_read.parity = offset % 2 == 0;
                g_sp.speechFlag = f.noise;
                uint32_t control = mode ? 0x2 : 0;
                sp_skip_frame(&at, &control);
                ASSERT_EQ(at, end);
                ASSERT_EQ(g_read.parity, offset % 2 == 1);
                ASSERT_EQ(g_sp.speechFlag, !f.noise);
                ASSERT_EQ(g_sp.heldByte, held);

                SpFrameParams params{};
                params.lag[2] = 123;
                sp_unpack(words, mode, &params);
                ASSERT_EQ(params.speechFlag, f.noise ? 0 : 1);
                ASSERT_TRUE(std::equal(f.index, f.index + 14, params.filterIndex));
                ASSERT_TRUE(std::equal(f.gain, f.gain + 4, params.gainIndex));
                int16_t lag[4] = {0, 0, 123, 0};
                if (!f.noise) sp_decode_lags(f.lagCode, lag);
                ASSERT_EQ(lag[2], params.lag[2]);  // a noise frame leaves the pitch alone
                ASSERT_TRUE(f.noise || std::equal(lag, lag + 4, params.lag));
                for (int s = 0; s < 4 && !f.noise; ++s) {
                    int16_t position[7];
                    sp_decode_pulses(f.combination[s], position);
                    ASSERT_TRUE(std::equal(position, position + 7, params.sub[s].position));
                    ASSERT_EQ(f.pulseGain[s], params.sub[s].pulseGainIndex);
                    ASSERT_TRUE(std::equal(f.amplitude[s], f.amplitude[s] + 7, params.sub[s].amplitudeIndex));
                }
            }
        }
    }
}
