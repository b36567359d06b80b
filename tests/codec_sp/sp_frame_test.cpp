// SP frames: the stored layout at both parities, skipping, unpacking, the
// lag code and the pulse combination number system.
#include <gtest/gtest.h>

#include <random>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_frame.h"
#include "sp_test_support.h"

using namespace kvx;
using sptest::Bytes;

namespace {

// The frame's words as the unpacker expects them: big-endian pairs of the
// logical bytes, the last word only by its high byte.
std::vector<uint16_t> expected_words(const Bytes &frame)
{
    std::vector<uint16_t> w((frame.size() + 1) / 2, 0);
    for (size_t i = 0; i < frame.size(); ++i) w[i / 2] |= static_cast<uint16_t>(frame[i] << (i % 2 ? 0 : 8));
    return w;
}

Bytes random_bytes(std::mt19937 &rng, size_t n)
{
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

class SpFrame : public ::testing::Test {
protected:
    void SetUp() override { sptest::reset_codec(); }
};

TEST_F(SpFrame, LagCodeEdges)
{
    int16_t lag[4];
    sp_decode_lags(0, lag);  // every window moved up to start at 36
    EXPECT_EQ((std::vector<int16_t>{36, 36, 36, 36}), std::vector<int16_t>(lag, lag + 4));
    sp_decode_lags(150, lag);  // 186, then 139 after a lag above 162, then 23 below
    EXPECT_EQ((std::vector<int16_t>{186, 139, 116, 93}), std::vector<int16_t>(lag, lag + 4));
    sp_decode_lags(16699391, lag);  // all three digits 47
    EXPECT_EQ((std::vector<int16_t>{186, 186, 186, 186}), std::vector<int16_t>(lag, lag + 4));
    // 100, then a window 77..124 at digit 23: 100 again.
    sp_decode_lags(64 + 151 * (23 + 23 * 48 + 23 * 2304), lag);
    EXPECT_EQ((std::vector<int16_t>{100, 100, 100, 100}), std::vector<int16_t>(lag, lag + 4));
}

TEST_F(SpFrame, PulseCombinationEdges)
{
    int16_t pos[7];
    sp_decode_pulses(0, pos);
    EXPECT_EQ((std::vector<int16_t>{6, 5, 4, 3, 2, 1, 0}), std::vector<int16_t>(pos, pos + 7));
    const std::vector<int16_t> top{71, 70, 69, 68, 67, 66, 65};
    for (uint32_t index : {1473109703u, 1473109704u, 0x7FFFFFFFu}) {
        sp_decode_pulses(index, pos);
        EXPECT_EQ(top, std::vector<int16_t>(pos, pos + 7)) << index;
    }
    sp_decode_pulses(1, pos);  // 1 = C(7,7) + C(5,6) + ... + C(0,1)
    EXPECT_EQ((std::vector<int16_t>{7, 5, 4, 3, 2, 1, 0}), std::vector<int16_t>(pos, pos + 7));
}

TEST_F(SpFrame, PulseCombinationRoundTrip)
{
    // Any seven distinct positions, coded as sum C(c_k, k), decode back.
    std::mt19937 rng(7);
    for (int t = 0; t < 2000; ++t) {
        std::vector<int> all(72);
        for (int i = 0; i < 72; ++i) all[i] = i;
        std::shuffle(all.begin(), all.end(), rng);
        std::vector<int> chosen(all.begin(), all.begin() + 7);
        std::sort(chosen.rbegin(), chosen.rend());
        uint32_t index = 0;
        for (int k = 7; k >= 1; --k) index += kSpBinomial.v[chosen[7 - k]][k];
        int16_t pos[7];
        sp_decode_pulses(index, pos);
        for (int j = 0; j < 7; ++j) ASSERT_EQ(chosen[j], pos[j]) << "index " << index;
    }
}

TEST_F(SpFrame, UnpacksEveryFieldInBothModes)
{
    for (bool mode : {false, true}) {
        sptest::Full f;
        f.speechFlagMode = mode;
        const int idx[14] = {31, 17, 15, 9, 1, 14, 8, 3, 7, 5, 2, 6, 4, mode ? 3 : 7};
        std::copy(idx, idx + 14, f.index);
        for (int s = 0; s < 4; ++s) {
            f.adaptiveGain[s] = 31 - 7 * s;
            f.combination[s] = 0x5A5A5A5Au >> (s + 1);
            f.pulseGain[s] = 63 - 11 * s;
            for (int j = 0; j < 7; ++j) f.amplitude[s][j] = (j + s) % 8;
        }
        f.lagCode = 150;
        const auto w = expected_words(f.pack());
        uint16_t words[kSpFrameWords];
        std::copy(w.begin(), w.end(), words);
        SpFrameParams p{};
        sp_unpack(words, mode, &p);
        SCOPED_TRACE(mode ? "speech-flag mode" : "plain mode");
        EXPECT_EQ(1, p.speechFlag);
        for (int i = 0; i < 14; ++i) EXPECT_EQ(idx[i], p.filterIndex[i]) << "index " << i + 1;
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(f.adaptiveGain[s], p.gainIndex[s]);
            EXPECT_EQ(f.combination[s], p.sub[s].combination);
            EXPECT_EQ(f.pulseGain[s], p.sub[s].pulseGainIndex);
            for (int j = 0; j < 7; ++j) EXPECT_EQ(f.amplitude[s][j], p.sub[s].amplitudeIndex[j]);
            for (int j = 1; j < 7; ++j) EXPECT_GT(p.sub[s].position[j - 1], p.sub[s].position[j]);
        }
        EXPECT_EQ(186, p.lag[0]);
        EXPECT_EQ(93, p.lag[3]);
    }
}

TEST_F(SpFrame, UnpacksNoiseFrameAndLeavesPitchAlone)
{
    sptest::Noise n;
    const int idx[14] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 2};
    std::copy(idx, idx + 14, n.index);
    const int gains[4] = {31, 19, 7, 26};
    std::copy(gains, gains + 4, n.gain);
    Bytes frame = n.pack();
    sptest::put_bits(frame, 62, 2, 3);  // bits 62..63 are not read
    const auto w = expected_words(frame);
    uint16_t words[kSpFrameWords] = {};
    std::copy(w.begin(), w.end(), words);
    SpFrameParams p{};
    p.lag[2] = 123;
    sp_unpack(words, true, &p);
    EXPECT_EQ(0, p.speechFlag);
    EXPECT_EQ(std::vector<int16_t>(idx, idx + 14), std::vector<int16_t>(p.filterIndex, p.filterIndex + 14));
    EXPECT_EQ(std::vector<int16_t>(gains, gains + 4), std::vector<int16_t>(p.gainIndex, p.gainIndex + 4));
    EXPECT_EQ(123, p.lag[2]);
}

TEST_F(SpFrame, TwoFullFramesIn82StoredBytes)
{
    std::mt19937 rng(1);
    const Bytes a = random_bytes(rng, 41), b = random_bytes(rng, 41);
    sptest::Stream stream({a, b});
    ASSERT_EQ(82u + 2, stream.bytes.size());
    uint8_t *p = stream.start();
    uint16_t words[kSpFrameWords];

    sp_fetch_frame(&p, false, words);
    EXPECT_EQ(stream.start() + 41, p);
    EXPECT_FALSE(g_read.parity);
    EXPECT_EQ(expected_words(a), std::vector<uint16_t>(words, words + 21));

    // The second frame begins in the middle of the 21st stored word.
    sp_fetch_frame(&p, false, words);
    EXPECT_EQ(stream.start() + 82, p);
    EXPECT_TRUE(g_read.parity);
    EXPECT_EQ(expected_words(b), std::vector<uint16_t>(words, words + 21));

    // Started at the second frame, as a session starting at a block whose
    // first frame lies at an odd offset does: its first byte is the stored
    // byte before it, not one kept from a frame decoded elsewhere.
    p = stream.start() + 41;
    g_read.parity = false;
    sp_fetch_frame(&p, false, words);
    EXPECT_EQ(expected_words(b), std::vector<uint16_t>(words, words + 21));
}

TEST_F(SpFrame, SpeechFlagModeTakesNoiseFramesOfNineBytes)
{
    std::mt19937 rng(2);
    std::vector<Bytes> frames;
    const bool speech[] = {true, false, false, true, false, true, true};
    for (bool s : speech) {
        Bytes f = random_bytes(rng, s ? 41 : 9);
        f[0] = static_cast<uint8_t>(s ? f[0] | 0x80 : f[0] & 0x7F);
        frames.push_back(f);
    }
    sptest::Stream stream(frames);
    uint8_t *p = stream.start();
    size_t offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(offset % 2 == 0, g_read.parity);
        uint16_t words[kSpFrameWords] = {};
        sp_fetch_frame(&p, true, words);
        offset += frames[i].size();
        EXPECT_EQ(stream.start() + offset, p);
        EXPECT_EQ(speech[i], g_sp.speechFlag);
        const auto w = expected_words(frames[i]);
        EXPECT_EQ(w, std::vector<uint16_t>(words, words + w.size()));
    }
    // Without the mode a top bit of 0 is just the start of filter index 1.
    p = stream.start() + 41;
    g_read.parity = false;
    uint16_t words[kSpFrameWords];
    sp_fetch_frame(&p, false, words);
    EXPECT_EQ(stream.start() + 82, p);
    EXPECT_TRUE(g_sp.speechFlag);
}

TEST_F(SpFrame, SkipMovesLikeFetch)
{
    // Skipping, in either mode, leaves pointer, parity, held byte and
    // speech flag where a fetch leaves them; a fetch after a skip at
    // parity 1 reads the held byte the skip kept.
    std::mt19937 rng(4);
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; ++i) {
        const bool speech = rng() % 3 != 0;
        Bytes f = random_bytes(rng, speech ? 41 : 9);
        f[0] = static_cast<uint8_t>(speech ? f[0] | 0x80 : f[0] & 0x7F);
        frames.push_back(f);
    }
    for (uint32_t control : {0x2u, 0x0u}) {
        SCOPED_TRACE(control);
        const bool mode = control != 0;
        sptest::Stream stream(frames);
        uint8_t *fetched = stream.start();
        uint8_t *skipped = stream.start();
        const uint8_t *end = stream.start() + stream.bytes.size() - 2;
        while (fetched + 41 <= end) {
            sptest::reset_codec();
            g_read.parity = (fetched - stream.start()) % 2 == 0;
            g_sp.heldByte = fetched[-1];
            uint16_t words[kSpFrameWords];
            sp_fetch_frame(&fetched, mode, words);
            const SpDecoderState afterFetch = g_sp;
            const bool parityAfterFetch = g_read.parity;

            sptest::reset_codec();
            g_read.parity = (skipped - stream.start()) % 2 == 0;
            uint32_t cw = control;
            sp_skip_frame(&skipped, &cw);
            EXPECT_EQ(fetched, skipped);
            EXPECT_EQ(parityAfterFetch, g_read.parity);
            EXPECT_EQ(afterFetch.speechFlag, g_sp.speechFlag);
            if (!g_read.parity) {
                EXPECT_EQ(afterFetch.heldByte, g_sp.heldByte);
            }
            EXPECT_EQ(0u, cw & ~control);
        }
    }
}

}  // namespace
