// The large-file database: opening a file whose record is in the folder's
// management data costs the same for one hour and ten hours of audio, and
// the build pass that makes a record runs near the speed of plain reads of
// the same file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

const std::string &folder()
{
    static const std::string path = [] {
        std::string dir = "/tmp/kvx-bench-db-" + std::to_string(getpid());
        std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
        return dir;
    }();
    return path;
}

// One hour of SP (150000 frames of 24 ms); ten hours repeat its audio.
std::string recording(int hours)
{
    static kvxgen::Bytes hour;
    static size_t header_bytes = 0;
    if (hour.empty()) {
        kvxgen::File file;
        file.tail = kvxgen::Tail::PadBlock;
        file.segments.push_back(kvxgen::random_segment(1, 150000, 2026));
        kvxgen::Layout layout;
        hour = kvxgen::build(file, &layout);
        header_bytes = layout.headerBytes;
    }
    kvxgen::Bytes bytes(hour.begin(), hour.begin() + static_cast<long>(header_bytes));
    for (int h = 0; h < hours; ++h) bytes.insert(bytes.end(), hour.begin() + static_cast<long>(header_bytes), hour.end());
    // Each file its own end time: its own record.
    bytes[56 + 5] = static_cast<uint8_t>('0' + hours % 10);
    const std::string path = folder() + "/hours-" + std::to_string(hours) + ".kvx";
    kvxgen::write(path, bytes);
    return path;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double plain_read_seconds(const std::string &path)
{
    std::vector<char> buffer(256000);
    const auto start = std::chrono::steady_clock::now();
    const int fd = open(path.c_str(), O_RDONLY);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
    return seconds_since(start);
}

double open_seconds(const std::string &path)
{
    kvx::g_file.name[0] = '\0';
    const auto start = std::chrono::steady_clock::now();
    const uint32_t result = KVXActiveFile(path.c_str(), nullptr, nullptr);
    const double seconds = seconds_since(start);
    return result == KVX_OK ? seconds : -1;
}

// Opening with the record found, against the one-hour file in the same run.
void BM_OpenRecorded(benchmark::State &state)
{
    const std::string one = recording(1);
    const std::string many = recording(static_cast<int>(state.range(0)));
    KVXActiveFolder(folder().c_str(), 0);
    open_seconds(one); // the records are made here, outside the timing
    open_seconds(many);
    double baseline = 0, measured = 0;
    for (auto _ : state) {
        baseline += open_seconds(one);
        const double seconds = open_seconds(many);
        measured += seconds;
        state.SetIterationTime(seconds);
    }
    if (kvx::g_file.chunkTimesOwned) state.SkipWithError("the record was not found");
    state.counters["ratio_to_one_hour"] = measured / baseline;
}
BENCHMARK(BM_OpenRecorded)->Arg(1)->Arg(10)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The build pass (no record in memory), against plain reads of the file;
// in folder mode 1 under the progress dialog, with its worker thread and
// progress messages, and the management file written.
void BM_BuildPass(benchmark::State &state)
{
    const std::string path = recording(static_cast<int>(state.range(0)));
    const uint32_t mode = static_cast<uint32_t>(state.range(1));
    const std::string management = folder() + "/KVXMANAGEMENT.DAT";
    double baseline = 0, measured = 0;
    for (auto _ : state) {
        std::remove(management.c_str());
        KVXActiveFolder(folder().c_str(), mode); // forgets the records
        baseline += plain_read_seconds(path);
        const double seconds = open_seconds(path);
        measured += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["speed_vs_plain_read"] = baseline / measured;
    state.counters["MB_per_s"] = benchmark::Counter(
        static_cast<double>(kvx::g_file.audioBytes) * static_cast<double>(state.iterations()) / 1e6 / measured);
}
BENCHMARK(BM_BuildPass)->Args({1, 0})->Args({10, 0})->Args({10, 1})->ArgNames({"hours", "mode"})->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::system(("rm -rf '" + folder() + "'").c_str());
    return 0;
}
