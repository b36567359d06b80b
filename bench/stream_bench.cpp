// Fetching every frame of a one-hour SP file from the page cache, against
// reading the same bytes with plain read calls.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "format/skip.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

uint32_t g_word = 0;

const std::string &hour_file()
{
    static const std::string path = [] {
        // 150000 frames of 24 ms, speech-flag mode with one noise frame in four.
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(1, 150000, 2026));
        std::string name = "/tmp/kvx-bench-hour-" + std::to_string(getpid()) + ".kvx";
        kvxgen::write(name, kvxgen::build(file));
        return name;
    }();
    return path;
}

double plain_read_seconds()
{
    std::vector<char> buffer(256000);
    const auto start = std::chrono::steady_clock::now();
    const int fd = open(hour_file().c_str(), O_RDONLY);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_PlainRead(benchmark::State &state)
{
    for (auto _ : state) state.SetIterationTime(plain_read_seconds());
}
BENCHMARK(BM_PlainRead)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FetchEveryFrame(benchmark::State &state)
{
    kvx::allocate_buffers();
    kvx::g_decoder.control = &g_word;
    kvx::g_file.name[0] = '\0';
    if (KVXActiveFile(hour_file().c_str(), nullptr, nullptr) != KVX_OK) {
        state.SkipWithError("cannot open the file");
        return;
    }
    double fetch = 0, baseline = 0;
    size_t frames = 0;
    for (auto _ : state) {
        baseline += plain_read_seconds();
        const auto start = std::chrono::steady_clock::now();
        g_word = 0;
        kvx::g_read.ringValid = false;
        kvx::stream_seek(0, nullptr);
        uint8_t *frame = nullptr;
        frames = 0;
        while (kvx::next_frame(&frame) == 1) {
            kvx::sp_skip_frame(&frame, &g_word);
            ++frames;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        fetch += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["ratio_to_plain_read"] = fetch / baseline;
    state.counters["x_real_time"] = frames * 0.024 / (fetch / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FetchEveryFrame)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    hour_file(); // made before anything is timed
    plain_read_seconds(); // and brought into the page cache
    benchmark::RunSpecifiedBenchmarks();
    std::remove(hour_file().c_str());
    return 0;
}
