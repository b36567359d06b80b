// The G.723.1 decoder against the ITU test vectors: bit-exact to the ITU
// references in the standard's arithmetic, and to the references decoded
// with the library's departures (*.LIB.ROU) in the library's arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec_lp/lp_g7231.h"
#include "lp_packed.h"

using namespace kvx;

namespace {

std::vector<uint8_t> read_file(const std::string &name)
{
    std::ifstream f(std::string(KVX_G7231_VECTORS) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Vector {
    const char *name, *coded;
    size_t frames;
};
void PrintTo(const Vector &v, std::ostream *os)
{
    *os << v.name;
}

class Vectors : public ::testing::TestWithParam<Vector> {
protected:
    // The coded file (in the standard's packing, untransmitted frames of 1
    // byte) decoded from the reset state, each frame zero-padded as a KVX
    // stream holds it, against the reference: 16-bit little-endian PCM.
    void decode_and_compare(bool standard, const std::string &reference)
    {
        const std::vector<uint8_t> coded = read_file(GetParam().coded), want = read_file(reference);
        if (coded.empty()) GTEST_SKIP() << "no G.723.1 vectors at " << KVX_G7231_VECTORS;
        std::vector<uint8_t> pcm;
        for (int16_t s : lp_decode_packed(coded, standard))
            pcm.insert(pcm.end(), {static_cast<uint8_t>(s), static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8)});
        ASSERT_EQ(pcm.size(), GetParam().frames * 2 * kLpFrame);
        ASSERT_EQ(pcm.size(), want.size()) << reference;
        const size_t at = static_cast<size_t>(std::mismatch(pcm.begin(), pcm.end(), want.begin()).first - pcm.begin()) / 2;
        EXPECT_EQ(at, pcm.size() / 2) << "first difference in frame " << at / kLpFrame << " sample " << at % kLpFrame;
    }
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

INSTANTIATE_TEST_SUITE_P(G7231, Vectors,
                         ::testing::Values(Vector{"OVERD63P", "OVERD63P.TCO", 33}, Vector{"DTX63B", "DTX63B.TCO", 11},
                                           Vector{"DTX63", "DTX63.RCO", 864}),
                         [](const ::testing::TestParamInfo<Vector> &info) { return std::string(info.param.name); });
