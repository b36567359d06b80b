// The G.723.1 decoder against the ITU test vectors: bit-exact to the ITU
// references in the standard's arithmetic, and to the references decoded
// with the library's departures in the library's arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "codec_lp/lp_g7231.h"

using namespace kvx;

namespace {

std::vector<uint8_t> read_file(const std::string &path, bool *ok)
{
    std::vector<uint8_t> data;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    *ok = f != nullptr;
    if (!f) return data;
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    std::fclose(f);
    return data;
}

// A coded file in the standard's packing (untransmitted frames of 1 byte),
// decoded from the reset state; each frame is given to the decoder in its
// stored form, zero-padded as a KVX stream would hold it.
std::vector<int16_t> decode_stream(const std::vector<uint8_t> &coded, bool standard)
{
    static const size_t kPacked[4] = {24, 20, 4, 1};
    g_lpStandardArithmetic = standard;
    lp_reset();
    std::vector<int16_t> pcm;
    for (size_t pos = 0; pos < coded.size();) {
        const size_t n = kPacked[coded[pos] & 3];
        if (pos + n > coded.size()) break;
        uint8_t frame[kLpActiveBytes] = {};
        std::copy(coded.begin() + static_cast<std::ptrdiff_t>(pos), coded.begin() + static_cast<std::ptrdiff_t>(pos + n), frame);
        pos += n;
        int16_t out[kLpFrame];
        lp_synthesise(frame, out);
        pcm.insert(pcm.end(), out, out + kLpFrame);
    }
    g_lpStandardArithmetic = false;
    return pcm;
}

std::vector<int16_t> as_samples(const std::vector<uint8_t> &bytes)
{
    std::vector<int16_t> s(bytes.size() / 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return s;
}

struct Pair {
    const char *coded;
    const char *reference;
    const char *libraryReference;
    size_t frames;
};

void PrintTo(const Pair &pair, std::ostream *os)
{
    *os << pair.coded;
}

const Pair kPairs[] = {
    {"OVERD63P.TCO", "OVERD63P.ROU", "OVERD63P.SPEC.ROU", 33},
    {"DTX63B.TCO", "DTX63B.ROU", "DTX63B.SPEC.ROU", 11},
    {"DTX63.RCO", "DTX63.ROU", "DTX63.SPEC.ROU", 864},
};

class Vectors : public ::testing::TestWithParam<Pair> {
protected:
    void SetUp() override
    {
        bool ok;
        coded = read_file(std::string(KVX_G7231_VECTORS) + "/" + GetParam().coded, &ok);
        if (!ok) GTEST_SKIP() << "no G.723.1 vectors at " << KVX_G7231_VECTORS;
    }

    std::vector<int16_t> reference(const std::string &name)
    {
        bool ok;
        const std::vector<uint8_t> bytes = read_file(std::string(KVX_G7231_VECTORS) + "/" + name, &ok);
        EXPECT_TRUE(ok) << name;
        return as_samples(bytes);
    }

    std::vector<uint8_t> coded;
};

// Index of the first differing sample, or -1; also its frame for messages.
long first_difference(const std::vector<int16_t> &a, const std::vector<int16_t> &b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) return static_cast<long>(i);
    }
    return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

} // namespace

TEST_P(Vectors, StandardArithmeticIsBitExact)
{
    const std::vector<int16_t> got = decode_stream(coded, true);
    const std::vector<int16_t> want = reference(GetParam().reference);
    ASSERT_EQ(got.size(), GetParam().frames * kLpFrame);
    const long at = first_difference(got, want);
    EXPECT_EQ(at, -1) << "first difference in frame " << at / kLpFrame << " sample " << at % kLpFrame;
}

TEST_P(Vectors, LibraryArithmeticIsBitExact)
{
    const std::vector<int16_t> got = decode_stream(coded, false);
    const std::vector<int16_t> want = reference(std::string("library-arithmetic/") + GetParam().libraryReference);
    ASSERT_EQ(got.size(), GetParam().frames * kLpFrame);
    const long at = first_difference(got, want);
    EXPECT_EQ(at, -1) << "first difference in frame " << at / kLpFrame << " sample " << at % kLpFrame;

    // How far the library's departures take it from the standard.
    const std::vector<int16_t> standard = reference(GetParam().reference);
    double signal = 0, noise = 0;
    for (size_t i = 0; i < got.size() && i < standard.size(); ++i) {
        signal += static_cast<double>(standard[i]) * standard[i];
        noise += (static_cast<double>(got[i]) - standard[i]) * (static_cast<double>(got[i]) - standard[i]);
    }
    const double snr = noise > 0 ? 10 * std::log10(signal / noise) : 999;
    std::printf("%s: library against standard, SNR %.2f dB\n", GetParam().coded, snr);
    RecordProperty("snr_db", std::to_string(snr));
    EXPECT_GT(snr, 20.0);
}

INSTANTIATE_TEST_SUITE_P(G7231, Vectors, ::testing::ValuesIn(kPairs),
                         [](const ::testing::TestParamInfo<Pair> &info) {
                             std::string name = info.param.coded;
                             return name.substr(0, name.find('.'));
                         });
