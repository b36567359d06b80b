// The LP decoder's fast paths against its exact steps: the sum helpers on
// random and extreme operands, and whole decodes with the fast paths on and
// off (random frames, which saturate, and the ITU vectors when present).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec_lp/lp_fixed.h"
#include "codec_lp/lp_g7231.h"
#include "codec_lp/lp_state.h"
#include "lp_packed.h"

using namespace kvx;
using namespace kvx::lpx;

namespace {

// Operands of the kinds that matter: small, full scale, all -32768, one
// sign, and mixed magnitudes around the bounds.
std::vector<int16_t> operands(std::mt19937 &rng, int n, int kind)
{
    std::vector<int16_t> v(static_cast<size_t>(n));
    const int32_t range[] = {64, 4096, 32768, 32768, 11000};
    for (int16_t &x : v) {
        const int32_t r = range[kind % 5];
        x = static_cast<int16_t>(static_cast<int32_t>(rng() % static_cast<uint32_t>(2 * r)) - r);
        if (kind % 5 == 3) x = static_cast<int16_t>(x < 0 ? x : -x - 1);
        if (kind == 7) x = -32768;
    }
    return v;
}

// Every helper against its plain definition, and each fast sum against the
// saturating chain wherever its bound admits it.
TEST(LpFastPaths, HelpersMatchTheChains)
{
    std::mt19937 rng(7);
    int fitted = 0, refused = 0;
    for (int round = 0; round < 4000; ++round) {
        const int n = std::vector<int>{1, 5, 9, 10, 16, 59, 60, 120, 385}[round % 9];
        const std::vector<int16_t> a = operands(rng, n, round % 8), b = operands(rng, n, (round / 8) % 8);
        int32_t largest = 0;
        int64_t squares = 0;
        for (int16_t x : a) {
            largest = std::max(largest, std::abs(int32_t{x}));
            squares += int32_t{x} * x;
        }
        ASSERT_EQ(max_abs(a.data(), n), largest);
        ASSERT_EQ(sum_of_squares(a.data(), n), squares);
        ASSERT_EQ(energy_sat(a.data(), n), mac_chain(0, a.data(), a.data(), n));

        const int32_t acc0 = static_cast<int32_t>(rng()) >> (rng() % 32);
        const bool fits = chain_fits(acc0, chain_terms(n, max_abs(a.data(), n), max_abs(b.data(), n)));
        if (fits) {
            ASSERT_EQ(acc0 + 2 * dot_plain(a.data(), b.data(), n), mac_chain(acc0, a.data(), b.data(), n)) << round;
        }
        if (chain_fits_energies(sum_of_squares(a.data(), n), sum_of_squares(b.data(), n))) {
            ASSERT_EQ(2 * dot_plain(a.data(), b.data(), n), mac_chain(0, a.data(), b.data(), n)) << round;
        }
        (fits ? fitted : refused)++;
    }
    EXPECT_GT(fitted, 500);
    EXPECT_GT(refused, 500);
}

// The bounds are tight enough to be sound only: one step past each admits
// a chain that saturates.
TEST(LpFastPaths, BoundsAreExact)
{
    EXPECT_TRUE(chain_fits(kMax32 - 100, 100));
    EXPECT_FALSE(chain_fits(kMax32 - 100, 101));
    EXPECT_FALSE(chain_fits(-kMax32 + 100, 101));
    const std::vector<int16_t> full(2, -32768);
    EXPECT_FALSE(chain_fits(0, chain_terms(1, 32768, 32768)));
    EXPECT_FALSE(chain_fits_energies(sum_of_squares(full.data(), 1), sum_of_squares(full.data(), 1)));
    EXPECT_EQ(energy_sat(full.data(), 1), kMax32);
}

// The two filters alone from the same state, on coefficients, inputs and
// memories from small to full scale: a quiet memory before a loud subframe
// is where a bound taken only at the start would be too small.
TEST(LpFastPaths, FiltersMatchTheExactSteps)
{
    std::mt19937 rng(11);
    for (int t = 0; t < 3000; ++t) {
        const std::vector<int16_t> lpc = operands(rng, kLpOrder, t % 5), input = operands(rng, kLpSubframe, (t / 5) % 8),
                                   memory = operands(rng, 3 * kLpOrder, (t / 40) % 3);
        LpDecoderState start = lp_reset_state();
        std::copy_n(memory.begin(), kLpOrder, start.synthesis);
        std::copy_n(memory.begin() + kLpOrder, kLpOrder, start.postFir);
        std::copy_n(memory.begin() + 2 * kLpOrder, kLpOrder, start.postIir);
        start.tilt_Q15 = static_cast<int16_t>(rng());
        std::vector<int16_t> results[2];
        for (bool fast : {false, true}) {
            g_lpFastPaths = fast;
            g_lp = start;
            std::vector<int16_t> x = input;
            lp_synthesis_filter(x.data(), lpc.data());
            const int32_t energy = lp_formant_postfilter(x.data(), lpc.data());
            x.insert(x.end(), {static_cast<int16_t>(energy), static_cast<int16_t>(energy >> 16), g_lp.tilt_Q15});
            for (const int16_t *m : {g_lp.synthesis, g_lp.postFir, g_lp.postIir}) x.insert(x.end(), m, m + kLpOrder);
            results[fast] = x;
        }
        g_lpFastPaths = true;
        ASSERT_EQ(results[0], results[1]) << t;
    }
    lp_reset();
}

std::vector<uint8_t> read_vector(const std::string &name)
{
    std::ifstream f(std::string(KVX_G7231_VECTORS) + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A packed stream (the vectors' layout) decoded from the reset state.
std::vector<int16_t> decode(const std::vector<uint8_t> &coded, bool fast, bool standard)
{
    g_lpFastPaths = fast;
    std::vector<int16_t> pcm = lp_decode_packed(coded, standard);
    g_lpFastPaths = true;
    return pcm;
}

TEST(LpFastPaths, DecodesAsTheExactSteps)
{
    std::mt19937 rng(19);
    std::vector<uint8_t> random(40000);
    for (uint8_t &b : random) b = static_cast<uint8_t>(rng());
    const std::vector<std::vector<uint8_t>> streams = {random, read_vector("OVERD63P.TCO"), read_vector("DTX63.RCO")};
    for (size_t s = 0; s < streams.size(); ++s) {
        for (bool standard : {false, true}) {
            const std::vector<int16_t> fast = decode(streams[s], true, standard);
            EXPECT_EQ(fast, decode(streams[s], false, standard)) << "stream " << s << (standard ? " standard" : " library");
            // The random frames drive the decoder into its limits.
            if (s == 0) {
                EXPECT_GT(std::count(fast.begin(), fast.end(), int16_t{32767}), 100);
            }
        }
    }
}

} // namespace
