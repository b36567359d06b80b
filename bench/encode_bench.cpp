// The SP encoder on one core: a minute of speech-like input (voiced
// stretches at a gliding pitch through moving formants, hissed consonants,
// pauses) coded frame by frame.  One frame is 24 ms of audio; "x_realtime"
// is how many times faster than real time the coding runs by CPU time,
// "x_realtime_wall" the same by the clock.
#include <benchmark/benchmark.h>

#include <math.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "encode_sp/sp_encoder.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// 60 s at 12 kHz: 0.8 s voiced, 0.15 s hiss, 0.25 s pause, over and over.
// The voiced stretches peak at 20000, the hiss (differenced white noise)
// has an RMS of about 1400.
std::vector<int16_t> speech_like()
{
    constexpr int kRate = 12000, kLength = 60 * kRate;
    std::vector<double> voiced(kLength, 0.0);
    double phase = 0, y1[3] = {}, y2[3] = {}, peak = 1;
    for (int n = 0; n < kLength; ++n) {
        const double t = static_cast<double>(n) / kRate;
        double v = 0;
        if (fmod(t, 1.2) < 0.8) {
            phase += (110 + 40 * sin(2 * kPi * 0.7 * t)) / kRate;
            if (phase >= 1) phase -= 1, v = 1;
        }
        // Three resonators in cascade, the first two formants wandering.
        const double formant[3] = {500 + 250 * sin(2 * kPi * 1.3 * t), 1500 + 500 * sin(2 * kPi * 0.9 * t), 2500};
        for (int k = 0; k < 3; ++k) {
            const double r = 0.97, c = 2 * r * cos(2 * kPi * formant[k] / kRate);
            const double out = v + c * y1[k] - r * r * y2[k];
            y2[k] = y1[k], y1[k] = out, v = out;
        }
        voiced[n] = v;
        peak = fmax(peak, fabs(v));
    }
    std::vector<int16_t> x(kLength);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 1000.0);
    double last = 0;
    for (int n = 0; n < kLength; ++n) {
        const double cycle = fmod(static_cast<double>(n) / kRate, 1.2), white = noise(rng);
        const double hiss = cycle >= 0.8 && cycle < 0.95 ? white - last : 0;
        last = white;
        x[n] = static_cast<int16_t>(lrint(fmax(-32768.0, fmin(32767.0, voiced[n] * 20000 / peak + hiss))));
    }
    return x;
}

void encode(benchmark::State &state, const kvx::SpEncoderOptions &options)
{
    static const std::vector<int16_t> input = speech_like();
    const size_t frames = input.size() / kvx::kSpFrameSamples;
    kvx::SpEncoder *encoder = kvx::sp_encoder_create(options);
    uint8_t out[kvx::kSpFullBytes];
    size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (i == frames) i = 0;
        benchmark::DoNotOptimize(kvx::sp_encode_frame(encoder, input.data() + i++ * kvx::kSpFrameSamples, out));
        benchmark::ClobberMemory();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kvx::sp_encoder_destroy(encoder);
    const double audio = static_cast<double>(state.iterations()) * 0.024;
    state.counters["x_realtime"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
    state.counters["x_realtime_wall"] = wall > 0 ? audio / wall : 0;
}

void BM_SpEncodePlain(benchmark::State &state)
{
    encode(state, kvx::SpEncoderOptions{});
}
BENCHMARK(BM_SpEncodePlain);

void BM_SpEncodeFlagModeNoiseFrames(benchmark::State &state)
{
    kvx::SpEncoderOptions options;
    options.speechFlagMode = true;
    options.noiseFrames = true;
    encode(state, options);
}
BENCHMARK(BM_SpEncodeFlagModeNoiseFrames);

// The open-loop comparison encoder, for scale.
void BM_SpEncodeOpenLoop(benchmark::State &state)
{
    kvx::SpEncoderOptions options;
    options.analysisBySynthesis = false;
    encode(state, options);
}
BENCHMARK(BM_SpEncodeOpenLoop);

} // namespace

BENCHMARK_MAIN();
