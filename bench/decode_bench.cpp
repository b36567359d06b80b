// Decoding one hour of SP and one hour of LP: frame by frame through
// KVXDecodeToPCM, and end to end through `kvx decode` to a WAV file; each
// as a multiple of real time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"
#include "kvx_posix.h"

namespace {

uint32_t g_control = 0;

std::string hour_file(uint8_t codec)
{
    // 150000 SP frames or 120000 LP frames: one hour either way.
    const std::string path = "/tmp/kvx-bench-decode-" + std::to_string(getpid()) + (codec ? "-lp" : "-sp") + ".kvx";
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(codec ? 2 : 1, codec ? 120000 : 150000, 7));
    kvxgen::write(path, kvxgen::build(file));
    return path;
}

void decode_to_pcm(benchmark::State &state, const std::string &path)
{
    KVXPosixSetWaveSink("capture");
    static HWND window = KVXPosixCreateWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; }, nullptr);
    KVXInitDecoder(window, &g_control);
    kvx::g_file.name[0] = '\0';
    uint32_t length = 0;
    if (KVXActiveFile(path.c_str(), &length, nullptr) != KVX_OK) {
        state.SkipWithError("cannot open");
        return;
    }
    for (auto _ : state) {
        g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION | KVX_CW_POSTFILTER;
        KVXStartDecoding(0);
        int16_t *pcm = nullptr;
        size_t frames = 0;
        while (KVXDecodeToPCM(&pcm, nullptr) != 0) ++frames;
        benchmark::DoNotOptimize(frames);
    }
    state.counters["x_real_time"] = benchmark::Counter(length / 1000.0 * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
}

void tool_decode(benchmark::State &state, const std::string &path)
{
    const std::string out = path + ".wav";
    const std::string command = std::string(KVX_TOOL) + " decode " + path + " -o " + out + " 2>/dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("kvx decode failed");
    }
    std::remove(out.c_str());
    state.counters["x_real_time"] =
        benchmark::Counter(3600.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    const std::string sp = hour_file(0), lp = hour_file(2);
    benchmark::RegisterBenchmark("DecodeToPCM/SP_hour", decode_to_pcm, sp)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("DecodeToPCM/LP_hour", decode_to_pcm, lp)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("kvx_decode/SP_hour", tool_decode, sp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
    benchmark::RegisterBenchmark("kvx_decode/LP_hour", tool_decode, lp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
    benchmark::RunSpecifiedBenchmarks();
    std::remove(sp.c_str());
    std::remove(lp.c_str());
    return 0;
}
