// The simulated recorder: a device link library that serves a KVX file from
// disk as a portable recorder would over its link, for the download tests.
// One source is built twice, as the serial library (COMM.DLL, libcomm.so)
// and as the USB one (ZOZUVU.DLL, libzozuvu.so); both export all ten entry
// points, caller-pops, returning 2 for success and 0 for failure.
//
// Configuration, read from the environment at every call:
//   KVX_RECORDER_FILE     the file served, block by block from its first byte
//   KVX_RECORDER_PACE_MS  sleep in every ReadKVXFile call (default 0)
//   KVX_RECORDER_FAIL     comma list of failures:
//                           link        SetCOMPort and InitUSBPort fail
//                           info        GetDeviceInfo fails
//                           open        OpenKVXFile fails
//                           rate        ChangeCOMRate fails
//                           stop        StopTZ440V fails
//                           read:N      the read of block N (from 0) fails, and
//                                       again when it is asked again
//                           stall:N:MS  the read of block N takes MS ms more
//                         (other items, and numbers that are none, are ignored)
//   KVX_RECORDER_LOG      a file; every call appends "Name arg1 arg2 ...",
//                         scalars in decimal, pointers "ptr" (or "null")
//
// As a recorder: OpenKVXFile needs an open link (SetCOMPort or InitUSBPort)
// and 512-byte blocks; reads need an open file; reads past the end,
// StopTZ440V and closing the link end the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define RECORDER_EXPORT extern "C"
#else
#include <time.h>
#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr uint32_t kBlock = 512;
constexpr int kOk = 2;
constexpr int kFail = 0;

struct Progress {
    uint32_t totalBytes;
    uint32_t deliveredBytes;
    uint32_t finished;
};

struct Faults {
    bool link = false, info = false, open = false, rate = false, stop = false;
    std::vector<uint32_t> reads;
    std::vector<std::pair<uint32_t, uint32_t>> stalls; // block, ms
};

std::mutex g_lock;
bool g_link = false;
FILE *g_file = nullptr;
uint32_t g_size = 0;
uint32_t g_next = 0; // the block that the next read delivers

std::string env(const char *name)
{
#ifdef _WIN32
    // The process environment, whichever C runtime the host set it through.
    char value[4096];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
#else
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
#endif
}

void sleep_ms(uint32_t ms)
{
    if (ms == 0) return;
#ifdef _WIN32
    Sleep(ms);
#else
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
#endif
}

// A decimal number; false for anything else.
bool number(const std::string &text, uint32_t *value)
{
    char *end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n > 0xFFFFFFFFul) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

Faults faults()
{
    Faults f;
    const std::string list = env("KVX_RECORDER_FAIL") + ",";
    size_t start = 0;
    for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string item = list.substr(start, comma - start);
        const size_t colon = item.find(':');
        const std::string kind = item.substr(0, colon);
        const std::string rest = colon == std::string::npos ? "" : item.substr(colon + 1);
        const size_t second = rest.find(':');
        uint32_t n = 0, ms = 0;
        if (kind == "link") f.link = true;
        else if (kind == "info") f.info = true;
        else if (kind == "open") f.open = true;
        else if (kind == "rate") f.rate = true;
        else if (kind == "stop") f.stop = true;
        else if (kind == "read" && number(rest, &n)) f.reads.push_back(n);
        else if (kind == "stall" && second != std::string::npos && number(rest.substr(0, second), &n) &&
                 number(rest.substr(second + 1), &ms))
            f.stalls.emplace_back(n, ms);
        /* anything else is no failure */
    }
    return f;
}

// One log line: the call's name and its arguments, already formatted.
void write_log(const std::string &line)
{
    const std::string path = env("KVX_RECORDER_LOG");
    if (path.empty()) return;
    if (FILE *out = std::fopen(path.c_str(), "ab")) {
        std::fprintf(out, "%s\n", line.c_str());
        std::fclose(out);
    }
}

std::string arg(unsigned long value)
{
    return " " + std::to_string(value);
}

std::string arg(const void *pointer)
{
    return pointer != nullptr ? " ptr" : " null";
}

void end_file()
{
    if (g_file != nullptr) std::fclose(g_file);
    g_file = nullptr;
}

} // namespace

RECORDER_EXPORT int SetCOMPort(uint8_t port, uint8_t rate)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("SetCOMPort" + arg(port) + arg(rate));
    if (faults().link) return kFail;
    g_link = true;
    return kOk;
}

RECORDER_EXPORT int CloseCOMPort()
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("CloseCOMPort");
    g_link = false;
    end_file();
    return kOk;
}

RECORDER_EXPORT int ChangeCOMRate(uint8_t rate)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("ChangeCOMRate" + arg(rate));
    return g_link && !faults().rate ? kOk : kFail;
}

RECORDER_EXPORT int GetDeviceInfo(uint32_t *w1, uint32_t *w2)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("GetDeviceInfo" + arg(w1) + arg(w2));
    if (w1 == nullptr || w2 == nullptr || faults().info) return kFail;
    *w1 = 1; // a model and a firmware number, of no meaning to the library
    *w2 = 0;
    return kOk;
}

RECORDER_EXPORT int InitUSBPort(uint32_t usb)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("InitUSBPort" + arg(usb));
    if (faults().link) return kFail;
    g_link = true;
    return kOk;
}

RECORDER_EXPORT int CloseUSBPort(uint32_t usb)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("CloseUSBPort" + arg(usb));
    g_link = false;
    end_file();
    return kOk;
}

RECORDER_EXPORT int OpenKVXFile(uint32_t b, uint32_t a, uint32_t blockBytes, Progress *progress)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("OpenKVXFile" + arg(b) + arg(a) + arg(blockBytes) + arg(progress));
    end_file();
    if (!g_link || blockBytes != kBlock || progress == nullptr || faults().open) return kFail;
    const std::string path = env("KVX_RECORDER_FILE");
    g_file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (g_file == nullptr) return kFail;
    long size = -1;
    if (std::fseek(g_file, 0, SEEK_END) == 0) size = std::ftell(g_file);
    if (size < 0 || static_cast<unsigned long>(size) > 0xFFFFFFFFul) {
        end_file();
        return kFail;
    }
    g_size = static_cast<uint32_t>(size);
    g_next = 0;
    *progress = Progress{g_size, 0, 0};
    return kOk;
}

RECORDER_EXPORT int ReadKVXFile(uint8_t *block, Progress *progress, uint32_t *w)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("ReadKVXFile" + arg(block) + arg(progress) + arg(w));
    const Faults f = faults();
    uint32_t pace = 0;
    if (number(env("KVX_RECORDER_PACE_MS"), &pace)) sleep_ms(pace);
    if (g_file == nullptr || block == nullptr || progress == nullptr) return kFail;
    const uint64_t offset = static_cast<uint64_t>(g_next) * kBlock;
    if (offset >= g_size) return kFail; // after the end
    for (const auto &stall : f.stalls)
        if (stall.first == g_next) sleep_ms(stall.second);
    if (std::find(f.reads.begin(), f.reads.end(), g_next) != f.reads.end()) return kFail;
    std::memset(block, 0, kBlock);
    if (std::fseek(g_file, static_cast<long>(offset), SEEK_SET) != 0) return kFail;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, g_size - offset));
    if (std::fread(block, 1, want, g_file) != want) return kFail;
    g_next++;
    const uint32_t delivered = static_cast<uint32_t>(std::min<uint64_t>(offset + kBlock, g_size));
    *progress = Progress{g_size, delivered, delivered >= g_size ? 1u : 0u};
    if (w != nullptr) *w = 1;
    return kOk;
}

RECORDER_EXPORT int SetCOMPower(uint32_t what, uint8_t *byte)
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("SetCOMPower" + arg(what) + arg(byte));
    if (byte != nullptr) *byte = 0;
    return kOk;
}

RECORDER_EXPORT int StopTZ440V()
{
    std::lock_guard<std::mutex> guard(g_lock);
    write_log("StopTZ440V");
    end_file();
    return faults().stop ? kFail : kOk;
}
