// The write session's costs.  A 10-s insert and a 10-s erase in the middle
// of a 10-hour SP file against the same in a one-minute file: an edit
// rewrites the chunk it splits, not the file, so the two should be close.
// And recording: KVXWriteFile's frames per second as a multiple of real
// time, against copying a file of the same bytes.
//
// Each timed edit opens a session on the file (already the active file, as
// when a user edits what they just played), does the change and is timed up
// to there; discarding the session, which deletes its files, is not timed.
// The session does not flush its files (they count only until the close,
// which flushes what it keeps); the file copies are flushed, as a save is.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "edit/edit.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

namespace edit = kvx::edit;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSpFrameMs = 24;
constexpr uint32_t kTenSeconds = 10000;

uint32_t g_word = 0;

const std::string &folder()
{
    static const std::string path = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string p = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kvx-edit-bench-" +
                        std::to_string(getpid());
        mkdir(p.c_str(), 0700);
        return p + "/";
    }();
    return path;
}

// SP frames, all full: 41 bytes each, 24 ms.  Given in pieces of 506
// frames, which fill 41 blocks exactly, so the file is one unbroken frame
// stream (and the generator's cost, which grows with the square of a
// piece, stays small).
std::string make_file(const std::string &name, size_t frames)
{
    const std::string path = folder() + name;
    kvxgen::File file;
    for (size_t done = 0; done < frames; done += 506)
        file.segments.push_back(kvxgen::random_segment(0, std::min<size_t>(506, frames - done), 11 + done));
    kvxgen::write(path, kvxgen::build(file));
    return path;
}

const std::string &minute_file()
{
    static const std::string path = make_file("minute.kvx", 60000 / kSpFrameMs);
    return path;
}

const std::string &ten_hour_file()
{
    static const std::string path = make_file("ten-hours.kvx", 36000000 / kSpFrameMs);
    return path;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A plain copy, flushed to the disk; seconds.
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

bool make_active(const std::string &path)
{
    kvx::allocate_buffers();
    kvx::g_folder.mode = 0;
    kvx::g_decoder.control = &g_word;
    kvx::g_file.name[0] = '\0';
    return KVXActiveFile(path.c_str(), nullptr, nullptr) == KVX_OK;
}

std::vector<std::vector<uint8_t>> new_frames(size_t n)
{
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < n; ++i) frames.push_back(kvxgen::sp_full(static_cast<uint32_t>(i), false));
    return frames;
}

const std::vector<std::vector<uint8_t>> &ten_seconds_of_frames()
{
    static const auto frames = new_frames((kTenSeconds + kSpFrameMs - 1) / kSpFrameMs);
    return frames;
}

// One edit in the middle of the file; seconds of the session's opening and
// the change, or a negative number when something failed.
double edit_seconds(const std::string &path, bool insert)
{
    if (!make_active(path)) return -1;
    const auto start = Clock::now();
    uint32_t result = 0;
    WriteHandle *handle = KVXCreateFile(path.c_str(), 1, &result);
    if (handle == nullptr) return -1;
    const uint32_t middle = edit::length_ms() / 2;
    bool ok = true;
    if (insert) {
        uint8_t mode = 0;
        ok = KVXSetWritePointer(handle, middle, &mode, 1, 0) == KVX_OK;
        const auto &frames = ten_seconds_of_frames();
        WriteStatus status{};
        for (size_t i = 0; ok && i < frames.size(); ++i)
            ok = KVXWriteFile(handle, frames[i].data(), i + 1 == frames.size(), &status) == KVX_OK;
    } else {
        EraseResult out{};
        ok = KVXPartialErase(handle, middle, middle + kTenSeconds, &out) == KVX_OK;
    }
    const double seconds = seconds_since(start);
    ok = edit::discard_session(handle) == 0 && ok;
    return ok ? seconds : -1;
}

// The change in the ten-hour file is what is timed; the same change in the
// one-minute file runs beside it in every iteration as the baseline.
void edit_in_the_middle(benchmark::State &state, bool insert)
{
    double big = 0, small = 0;
    for (auto _ : state) {
        const double b = edit_seconds(ten_hour_file(), insert);
        const double s = edit_seconds(minute_file(), insert);
        if (b < 0 || s < 0) {
            state.SkipWithError("the edit failed");
            return;
        }
        big += b;
        small += s;
        state.SetIterationTime(b);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ten_hours_ms"] = big / n * 1e3;
    state.counters["one_minute_ms"] = small / n * 1e3;
    state.counters["ratio_to_one_minute"] = big / small;
    state.counters["ratio_to_copying_the_file"] = big / n / copy_seconds(ten_hour_file());
}

void BM_Insert10sInTenHours(benchmark::State &state)
{
    edit_in_the_middle(state, true);
}
BENCHMARK(BM_Insert10sInTenHours)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Erase10sInTenHours(benchmark::State &state)
{
    edit_in_the_middle(state, false);
}
BENCHMARK(BM_Erase10sInTenHours)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// A new ten-minute recording, frame by frame, against copying a file of
// the same audio.  The session's opening and the last call's close of the
// segment are timed; the discard is not.
void BM_RecordTenMinutes(benchmark::State &state)
{
    const size_t count = 600000 / kSpFrameMs;
    const auto frames = new_frames(count);
    const std::string path = folder() + "recording.kvx";
    const std::string same = make_file("ten-minutes.kvx", count);
    double recording = 0, copying = 0;
    for (auto _ : state) {
        copying += copy_seconds(same);
        const auto start = Clock::now();
        uint32_t result = 0;
        WriteHandle *handle = KVXCreateFile(path.c_str(), 0, &result);
        uint8_t mode = 0;
        bool ok = handle != nullptr && KVXSetWritePointer(handle, 0, &mode, 0, 0) == KVX_OK;
        WriteStatus status{};
        for (size_t i = 0; ok && i < count; ++i)
            ok = KVXWriteFile(handle, frames[i].data(), i + 1 == count, &status) == KVX_OK;
        const double seconds = seconds_since(start);
        if (handle != nullptr) edit::discard_session(handle);
        if (!ok || status.length != count * kSpFrameMs) {
            state.SkipWithError("the recording failed");
            return;
        }
        recording += seconds;
        state.SetIterationTime(seconds);
    }
    std::remove(same.c_str());
    const double n = static_cast<double>(state.iterations());
    state.counters["frames_per_s"] = count * n / recording;
    state.counters["x_real_time"] = count * kSpFrameMs / 1000.0 * n / recording;
    state.counters["ratio_to_copying"] = recording / copying;
}
BENCHMARK(BM_RecordTenMinutes)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    const auto start = Clock::now();
    ten_hour_file(); // made once, before anything is timed
    minute_file();
    struct stat big {}, small {};
    stat(ten_hour_file().c_str(), &big);
    stat(minute_file().c_str(), &small);
    std::printf("ten-hour file: %.1f MB, made in %.1f s; one-minute file: %ld bytes\n", big.st_size / 1e6,
                seconds_since(start), static_cast<long>(small.st_size));
    benchmark::RunSpecifiedBenchmarks();
    std::remove(ten_hour_file().c_str());
    std::remove(minute_file().c_str());
    rmdir(folder().c_str());
    return 0;
}
