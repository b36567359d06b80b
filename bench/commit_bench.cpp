// The commit's cost: a 10-s insert in the middle of a 10-hour SP file,
// then KVXCloseFile writes the whole edited file anew and puts it in the
// old one's place.  Timed is the close alone, against a plain copy of the
// same file flushed to the disk in the same iteration: the commit is a
// copy with a walk of the edit tree on top, so it should come close
// (commit_vs_copy is the commit's speed as a share of the copy's).  A file
// this large is written behind the progress dialog, whose 100 ms timer
// starts the work: commit_vs_copy_from_timer leaves that wait out.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kvx.h"
#include "kvx_gen.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSpFrameMs = 24;

const std::string &folder()
{
    static const std::string path = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string p = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kvx-commit-bench-" +
                        std::to_string(getpid());
        mkdir(p.c_str(), 0700);
        return p + "/";
    }();
    return path;
}

// Ten hours of full SP frames, given in pieces of 506 frames (41 blocks).
const std::string &ten_hour_file()
{
    static const std::string path = [] {
        const std::string p = folder() + "ten-hours.kvx";
        const size_t frames = 36000000 / kSpFrameMs;
        kvxgen::File file;
        for (size_t done = 0; done < frames; done += 506)
            file.segments.push_back(kvxgen::random_segment(0, std::min<size_t>(506, frames - done), 11 + done));
        kvxgen::write(p, kvxgen::build(file));
        return p;
    }();
    return path;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double copy_seconds(const std::string &from)
{
    const std::string to = folder() + "copy.kvx";
    std::vector<char> buffer(1 << 16);
    const auto start = Clock::now();
    const int in = open(from.c_str(), O_RDONLY);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ssize_t got;
    while ((got = read(in, buffer.data(), buffer.size())) > 0)
        if (write(out, buffer.data(), static_cast<size_t>(got)) != got) break;
    fsync(out);
    close(out);
    close(in);
    const double seconds = seconds_since(start);
    std::remove(to.c_str());
    return seconds;
}

// A 10-s insert in the middle; the seconds of the close that commits it,
// or a negative number when something failed.
double commit_seconds(const std::string &path)
{
    uint32_t result = 0;
    WriteHandle *handle = KVXCreateFile(path.c_str(), 1, &result);
    if (handle == nullptr) return -1;
    uint8_t mode = 0;
    bool ok = KVXSetWritePointer(handle, 18000000, &mode, 1, 0) == KVX_OK;
    const size_t n = 10000 / kSpFrameMs + 1;
    WriteStatus status{};
    for (size_t i = 0; ok && i < n; ++i)
        ok = KVXWriteFile(handle, kvxgen::sp_full(static_cast<uint32_t>(i), false).data(), i + 1 == n, &status) ==
             KVX_OK;
    const auto start = Clock::now();
    ok = KVXCloseFile(handle, "") == KVX_OK && ok;
    const double seconds = seconds_since(start);
    return ok ? seconds : -1;
}

void BM_CommitTenHoursAfterAnInsert(benchmark::State &state)
{
    double committing = 0, copying = 0;
    for (auto _ : state) {
        const double c = commit_seconds(ten_hour_file());
        if (c < 0) {
            state.SkipWithError("the commit failed");
            return;
        }
        copying += copy_seconds(ten_hour_file());
        committing += c;
        state.SetIterationTime(c);
    }
    struct stat st {};
    stat(ten_hour_file().c_str(), &st);
    const double n = static_cast<double>(state.iterations());
    state.counters["commit_MB_per_s"] = st.st_size / 1e6 * n / committing;
    state.counters["copy_MB_per_s"] = st.st_size / 1e6 * n / copying;
    state.counters["commit_vs_copy"] = copying / committing;
    state.counters["commit_vs_copy_from_timer"] = copying / (committing - 0.1 * n);
}
BENCHMARK(BM_CommitTenHoursAfterAnInsert)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    const auto start = Clock::now();
    ten_hour_file();  // made once, before anything is timed
    std::printf("ten-hour file made in %.1f s\n", seconds_since(start));
    benchmark::RunSpecifiedBenchmarks();
    std::remove(ten_hour_file().c_str());
    std::remove((folder() + "KVXMANAGEMENT.DAT").c_str());
    rmdir(folder().c_str());
    return 0;
}
