// decode's rate conversion (tools/kvx/resample.h) on tones fed a frame at a
// time, as decode feeds the decoder's frames: a tone keeps its frequency
// and level, and nothing else (no alias, no image, no seam between frames)
// comes within 70 dB of it; a run's length is its input's at the new rate.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "resample.h"

namespace {

const double kPi = 3.14159265358979323846;

struct Tone {
    double amplitude;
    double residual; // what is left besides the tone, as a part of its power
};

// Fits a tone of frequency f (Hz) at `rate` to the middle of `x` by least
// squares, away from the run's ends where the filter starts and stops.
Tone fit(const std::vector<float> &x, double f, double rate)
{
    const size_t from = x.size() / 8, to = x.size() - x.size() / 8;
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
    for (size_t i = from; i < to; ++i) {
        const double c = std::cos(2 * kPi * f * i / rate), s = std::sin(2 * kPi * f * i / rate);
        cc += c * c, ss += s * s, cs += c * s, xc += x[i] * c, xs += x[i] * s;
    }
    const double det = cc * ss - cs * cs;
    const double a = (xc * ss - xs * cs) / det, b = (xs * cc - xc * cs) / det;
    double left = 0, tone = 0;
    for (size_t i = from; i < to; ++i) {
        const double t = a * std::cos(2 * kPi * f * i / rate) + b * std::sin(2 * kPi * f * i / rate);
        tone += t * t;
        left += (x[i] - t) * (x[i] - t);
    }
    return {std::sqrt(a * a + b * b), tone > 0 ? left / tone : left};
}

std::vector<float> convert(uint32_t from, uint32_t to, double f, size_t frame, size_t frames)
{
    std::vector<int16_t> in(frame * frames);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(std::lrint(16000 * std::sin(2 * kPi * f * i / from)));
    Resampler r;
    EXPECT_EQ(r.start(from, to), "");
    std::vector<float> out;
    for (size_t i = 0; i < frames; ++i) EXPECT_TRUE(r.process(in.data() + i * frame, frame, &out));
    EXPECT_TRUE(r.finish(&out));
    EXPECT_FALSE(r.running());
    return out;
}

TEST(ToolResample, TonesKeepTheirFrequencyWithNothingWithin70dB)
{
    // from, to, tone (Hz), frame: SP frames of 288, LP frames of 240
    const struct { uint32_t from, to; double f; size_t frame; } cases[] = {
        {12000, 16000, 1000, 288}, {12000, 16000, 5000, 288}, // 5 kHz would image at 7 kHz
        {8000, 16000, 440, 240},   {8000, 16000, 3000, 240},  // 3 kHz would image at 5 kHz
        {12000, 11000, 4000, 288}, {8000, 11000, 3500, 240},  {12000, 48000, 2500, 288},
        {12000, 8000, 3000, 288},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " Hz, " << c.f << " Hz");
        const std::vector<float> out = convert(c.from, c.to, c.f, c.frame, 200);
        const double in_length = 200.0 * c.frame * c.to / c.from;
        EXPECT_NEAR(static_cast<double>(out.size()), in_length, 2);
        const Tone t = fit(out, c.f, c.to);
        EXPECT_NEAR(t.amplitude, 16000.0 / 32768, 16000.0 / 32768 * 0.01); // passband within 0.1 dB
        EXPECT_LT(10 * std::log10(t.residual), -70);
    }
}

TEST(ToolResample, ToneAboveTheNewNyquistRateLeavesNothingWithin70dB)
{
    // 5 kHz at 12 kHz to 8 kHz would alias to 3 kHz.
    const std::vector<float> out = convert(12000, 8000, 5000, 288, 200);
    double power = 0;
    for (size_t i = out.size() / 8; i < out.size() - out.size() / 8; ++i) power += out[i] * out[i];
    power /= out.size() - out.size() / 4;
    const double tone = 0.5 * (16000.0 / 32768) * (16000.0 / 32768);
    EXPECT_LT(10 * std::log10(power / tone), -70);
}

TEST(ToolResample, RunsStartAfreshAndRefuseWithoutOne)
{
    Resampler r;
    std::vector<float> out;
    const int16_t x[4] = {1, 2, 3, 4};
    EXPECT_FALSE(r.process(x, 4, &out));
    EXPECT_TRUE(r.finish(&out));
    EXPECT_TRUE(out.empty());
    EXPECT_NE(r.start(0, 16000), "");
    EXPECT_FALSE(r.running());
}

} // namespace
