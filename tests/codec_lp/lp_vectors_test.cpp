// The G.723.1 decoder against the ITU test vectors: bit-exact to the ITU
// references in the standard's arithmetic, and to the references decoded
// with the library's departures (*.LIB.ROU) in the library's arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "codec_lp/lp_g7231.h"

using namespace kvx;

namespace {

bool read_file(const std::string &name, std::vector<uint8_t> *data)
{
    std::FILE *f = std::fopen((std::string(KVX_G7231_VECTORS) + "/" + name).c_str(), "rb");
    if (!f) return false;
    for (int c; (c = std::fgetc(f)) != EOF;) data->push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return true;
}

struct Pair {
    const char *name, *coded;
    size_t frames;
};
void PrintTo(const Pair &pair, std::ostream *os)
{
    *os << pair.name;
}
const Pair kPairs[] = {{"OVERD63P", "OVERD63P.TCO", 33}, {"DTX63B", "DTX63B.TCO", 11}, {"DTX63", "DTX63.RCO", 864}};

class Vectors : public ::testing::TestWithParam<Pair> {
protected:
    void SetUp() override
    {
        if (!read_file(GetParam().coded, &coded)) GTEST_SKIP() << "no G.723.1 vectors at " << KVX_G7231_VECTORS;
    }

    // The coded file (in the standard's packing, untransmitted frames of 1
    // byte) decoded from the reset state, each frame zero-padded as a KVX
    // stream holds it, against the reference: 16-bit little-endian PCM.
    void decode_and_compare(bool standard, const std::string &reference)
    {
        static const size_t kPacked[4] = {24, 20, 4, 1};
        g_lpStandardArithmetic = standard;
        lp_reset();
        std::vector<uint8_t> pcm, want;
        for (size_t pos = 0, n; pos < coded.size(); pos += n) {
            n = kPacked[coded[pos] & 3];
            uint8_t frame[kLpActiveBytes] = {};
            std::copy(coded.begin() + static_cast<std::ptrdiff_t>(pos), coded.begin() + static_cast<std::ptrdiff_t>(std::min(pos + n, coded.size())), frame);
            int16_t out[kLpFrame];
            lp_synthesise(frame, out);
            for (int16_t s : out) pcm.insert(pcm.end(), {static_cast<uint8_t>(s), static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8)});
        }
        g_lpStandardArithmetic = false;
        ASSERT_TRUE(read_file(reference, &want)) << reference;
        ASSERT_EQ(pcm.size(), GetParam().frames * 2 * kLpFrame);
        ASSERT_EQ(pcm.size(), want.size());
        const size_t at = static_cast<size_t>(std::mismatch(pcm.begin(), pcm.end(), want.begin()).first - pcm.begin()) / 2;
        EXPECT_EQ(at, pcm.size() / 2) << "first difference in frame " << at / kLpFrame << " sample " << at % kLpFrame;
    }

    std::vector<uint8_t> coded;
};

} // namespace

TEST_P(Vectors, StandardArithmeticIsBitExact)
{
    decode_and_compare(true, std::string(GetParam().name) + ".ROU");
}

TEST_P(Vectors, LibraryArithmeticIsBitExact)
{
    decode_and_compare(false, std::string("library-arithmetic/") + GetParam().name + ".LIB.ROU");
}

INSTANTIATE_TEST_SUITE_P(G7231, Vectors, ::testing::ValuesIn(kPairs),
                         [](const ::testing::TestParamInfo<Pair> &info) { return std::string(info.param.name); });
