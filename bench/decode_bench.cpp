// Decoding an hour of SP, an hour of LP and an hour of both: frame by frame
// through KVXDecodeToPCM (the plain decode, options as the tool's default),
// and end to end through `kvx decode` to a WAV file, at the codec's rate and
// at 16000 Hz; each as a multiple of real time.  The mixed hour alternates
// SP and LP minutes; its two halves are the same minutes in a file each.
// Compare: kvx_decode against DecodeToPCM of the same file, --rate 16000
// against the codec's rate, the mixed hour against the sum of its halves.
#include <benchmark/benchmark.h>

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

// A minute is 2500 SP frames or 2000 LP frames.
std::string hour_file(const char *name, unsigned spMinutes, unsigned lpMinutes)
{
    const std::string path = "/tmp/kvx-bench-decode-" + std::to_string(getpid()) + "-" + name + ".kvx";
    kvxgen::File file;
    for (unsigned m = 0; m < spMinutes || m < lpMinutes; ++m) {
        if (m < spMinutes) file.segments.push_back(kvxgen::random_segment(1, 2500, 7 + m));
        if (m < lpMinutes) file.segments.push_back(kvxgen::random_segment(2, 2000, 1007 + m));
    }
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
        g_control = KVX_CW_NO_DEVICE | KVX_CW_RESET | KVX_CW_REPOSITION;
        KVXStartDecoding(0);
        int16_t *pcm = nullptr;
        size_t frames = 0;
        while (KVXDecodeToPCM(&pcm, nullptr) != 0) ++frames;
        benchmark::DoNotOptimize(frames);
    }
    state.counters["x_real_time"] = benchmark::Counter(length / 1000.0 * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
}

void tool_decode(benchmark::State &state, const std::string &path, const char *options, double seconds)
{
    const std::string out = path + ".wav";
    const std::string command = std::string(KVX_TOOL) + " decode " + path + " " + options + " -o " + out + " 2>/dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("kvx decode failed");
    }
    std::remove(out.c_str());
    state.counters["x_real_time"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    struct Hour {
        const char *name;
        std::string path;
        double seconds;
    } hours[] = {{"SP_hour", hour_file("sp", 60, 0), 3600},
                 {"LP_hour", hour_file("lp", 0, 60), 3600},
                 {"mixed_hour", hour_file("mixed", 30, 30), 3600},
                 {"mixed_SP_half", hour_file("sp-half", 30, 0), 1800},
                 {"mixed_LP_half", hour_file("lp-half", 0, 30), 1800}};
    for (const Hour &h : hours) {
        const std::string &path = h.path;
        const double seconds = h.seconds;
        if (seconds == 3600)
            benchmark::RegisterBenchmark((std::string("DecodeToPCM/") + h.name).c_str(), decode_to_pcm, path)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("kvx_decode/") + h.name).c_str(),
                                     [path, seconds](benchmark::State &s) { tool_decode(s, path, "", seconds); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(3);
        benchmark::RegisterBenchmark((std::string("kvx_decode_rate16000/") + h.name).c_str(),
                                     [path, seconds](benchmark::State &s) {
                                         tool_decode(s, path, "--rate 16000", seconds);
                                     })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(3);
    }
    benchmark::RunSpecifiedBenchmarks();
    for (const Hour &h : hours) std::remove(h.path.c_str());
    return 0;
}
