// The LP decode entry at normal speed: one 30 ms frame per iteration.  The
// frames are active frames of varied, valid parameters with an occasional
// SID and untransmitted run, as speech with pauses gives.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"

namespace {

struct Writer {
    uint8_t bytes[24] = {};
    int position = 0;
    void put(uint32_t value, int width)
    {
        for (int k = 0; k < width; ++k, ++position) {
            if ((value >> k) & 1) bytes[position >> 3] |= static_cast<uint8_t>(1u << (position & 7));
        }
    }
};

std::vector<uint8_t> make_stream(int frames)
{
    std::vector<uint8_t> stream;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int n = 0; n < frames; ++n) {
        Writer w;
        const int phase = n % 50;
        if (phase == 40) {
            w.put(2, 2);
            w.put(next() & 0xFFFFFF, 24);
            w.put(next() % 64, 6);
            stream.insert(stream.end(), w.bytes, w.bytes + 4);
            continue;
        }
        if (phase > 40) {
            w.put(3, 2);
            stream.insert(stream.end(), w.bytes, w.bytes + 4);
            continue;
        }
        w.put(0, 2);
        w.put(next() & 0xFFFFFF, 24);
        uint32_t lag[2];
        for (int h = 0; h < 2; ++h) {
            lag[h] = next() % 124;
            w.put(lag[h], 7);
            w.put(next() & 3, 2);
        }
        for (int i = 0; i < 4; ++i) {
            const bool shortLag = lag[i >> 1] + 18 < 58;
            w.put((shortLag ? (next() & 1) << 11 : 0) | ((next() % (shortLag ? 85 : 170)) * 24 + next() % 24), 12);
        }
        w.put(next() & 0xF, 4);
        w.put(0, 1);
        w.put(next() % 6561, 13);
        w.put(next() & 0xFFFF, 16);
        w.put(next() & 0x3FFF, 14);
        w.put(next() & 0xFFFF, 16);
        w.put(next() & 0x3FFF, 14);
        w.put(next() & 0x3F, 6);
        w.put(next() & 0x1F, 5);
        w.put(next() & 0x3F, 6);
        w.put(next() & 0x1F, 5);
        stream.insert(stream.end(), w.bytes, w.bytes + 24);
    }
    return stream;
}

void BM_LpDecodeNormalSpeed(benchmark::State &state)
{
    const std::vector<uint8_t> stream = make_stream(500);
    std::vector<uint8_t> copy = stream;
    uint32_t control = 0x1;  // reset once, then normal speed through the speed stage
    int16_t out[330];
    uint8_t *p = copy.data();
    uint8_t *end = copy.data() + copy.size();
    for (auto _ : state) {
        if (p >= end) p = copy.data();
        benchmark::DoNotOptimize(kvx::lp_decode(&p, &control, out));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 0.030, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LpDecodeNormalSpeed);

} // namespace

BENCHMARK_MAIN();
