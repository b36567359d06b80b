// The G.723.1 decoder against the ITU test vectors: bit-exact to the ITU
// references in the standard's arithmetic, and to the references decoded
// with the library's departures (*.LIB.ROU) in the library's arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "codec_lp/lp_g7231.h"

using namespace kvx;

namespace {

bool read_file(const std::string &name, std::vector<uint8_t> *data)
{
    std::FILE *f = std::fopen((std::string(KVX_G7231_VECTORS) + "/" + name).c_str(), "rb");
    if (!f) return false;
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data->insert(data->end(), chunk, chunk + got);
    std::fclose(f);
    return true;
}

std::vector<int16_t> read_pcm(const std::string &name)
{
    std::vector<uint8_t> b;
    EXPECT_TRUE(read_file(name, &b)) << name;
    std::vector<int16_t> s(b.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
    return s;
}

// A coded file in the standard's packing (untransmitted frames of 1 byte),
// one decode from the reset state; each frame zero-padded as a KVX stream
// holds it.
std::vector<int16_t> decode_stream(const std::vector<uint8_t> &coded, bool standard)
{
    static const size_t kPacked[4] = {24, 20, 4, 1};
    g_lpStandardArithmetic = standard;
    lp_reset();
    std::vector<int16_t> pcm;
    for (size_t pos = 0, n; pos < coded.size(); pos += n) {
        n = kPacked[coded[pos] & 3];
        if (pos + n > coded.size()) break;
        uint8_t frame[kLpActiveBytes] = {};
        std::copy(coded.begin() + static_cast<std::ptrdiff_t>(pos), coded.begin() + static_cast<std::ptrdiff_t>(pos + n), frame);
        int16_t out[kLpFrame];
        lp_synthesise(frame, out);
        pcm.insert(pcm.end(), out, out + kLpFrame);
    }
    g_lpStandardArithmetic = false;
    return pcm;
}

void expect_same(const std::vector<int16_t> &got, const std::vector<int16_t> &want)
{
    ASSERT_EQ(got.size(), want.size());
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    EXPECT_EQ(static_cast<size_t>(at), got.size()) << "first difference in frame " << at / kLpFrame << " sample " << at % kLpFrame;
}

struct Pair {
    const char *name;
    const char *coded;
    size_t frames;
};
const Pair kPairs[] = {{"OVERD63P", "OVERD63P.TCO", 33}, {"DTX63B", "DTX63B.TCO", 11}, {"DTX63", "DTX63.RCO", 864}};

class Vectors : public ::testing::TestWithParam<Pair> {
protected:
    void SetUp() override
    {
        if (!read_file(GetParam().coded, &coded)) GTEST_SKIP() << "no G.723.1 vectors at " << KVX_G7231_VECTORS;
    }
    std::vector<uint8_t> coded;
};

} // namespace

TEST_P(Vectors, StandardArithmeticIsBitExact)
{
    const std::vector<int16_t> got = decode_stream(coded, true);
    EXPECT_EQ(got.size(), GetParam().frames * kLpFrame);
    expect_same(got, read_pcm(std::string(GetParam().name) + ".ROU"));
}

TEST_P(Vectors, LibraryArithmeticIsBitExact)
{
    const std::vector<int16_t> got = decode_stream(coded, false);
    expect_same(got, read_pcm(std::string("library-arithmetic/") + GetParam().name + ".LIB.ROU"));
}

INSTANTIATE_TEST_SUITE_P(G7231, Vectors, ::testing::ValuesIn(kPairs),
                         [](const ::testing::TestParamInfo<Pair> &info) { return std::string(info.param.name); });
