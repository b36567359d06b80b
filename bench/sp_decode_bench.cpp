// The SP decode entry at playback settings: postfilter on (and, for
// comparison, off), 12:11 rate conversion, normal speed.  One frame is 24 ms of audio; the counter
// "x_realtime" is how many times faster than real time that is.
#include <benchmark/benchmark.h>

#include <vector>

#include "codec_sp/sp_decoder.h"
#include "core/state.h"
#include "kvx_gen.h"

namespace {

// Frames as stored: logical bytes in a bit stream, every byte pair swapped,
// one byte of slack on either side.
std::vector<uint8_t> stored_stream(bool speechFlagMode, size_t frames)
{
    std::vector<uint8_t> logical;
    for (size_t i = 0; i < frames; ++i) {
        const bool noise = speechFlagMode && i % 4 == 3;
        const kvxgen::Bytes f = noise ? kvxgen::sp_noise(static_cast<uint32_t>(i)) : kvxgen::sp_full(static_cast<uint32_t>(i), speechFlagMode);
        logical.insert(logical.end(), f.begin(), f.end());
    }
    if (logical.size() % 2) logical.push_back(0);
    std::vector<uint8_t> stored(logical.size() + 2, 0);
    for (size_t i = 0; i < logical.size(); ++i) stored[1 + (i ^ 1)] = logical[i];
    return stored;
}

void decode(benchmark::State &state, bool speechFlagMode, bool postfilter = true)
{
    constexpr size_t kFrames = 1000;
    std::vector<uint8_t> stream = stored_stream(speechFlagMode, kFrames);
    const uint8_t *end = stream.data() + stream.size() - 1 - 41;
    uint8_t *p = stream.data() + 1;
    kvx::g_read.parity = true;
    int16_t out[288];
    for (auto _ : state) {
        if (p > end) {
            p = stream.data() + 1;
            kvx::g_read.parity = true;
        }
        uint32_t control = (postfilter ? 0x20000u : 0u) | (speechFlagMode ? 0x2u : 0u);
        benchmark::DoNotOptimize(kvx::sp_decode(&p, &control, out));
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * 0.024,
                                                      benchmark::Counter::kIsRate);
}

void BM_SpDecodeFullFrames(benchmark::State &state)
{
    decode(state, false);
}
BENCHMARK(BM_SpDecodeFullFrames);

void BM_SpDecodeSpeechFlagMode(benchmark::State &state)
{
    decode(state, true);
}
BENCHMARK(BM_SpDecodeSpeechFlagMode);

void BM_SpDecodeNoPostfilter(benchmark::State &state)
{
    decode(state, false, false);
}
BENCHMARK(BM_SpDecodeNoPostfilter);

} // namespace

BENCHMARK_MAIN();
