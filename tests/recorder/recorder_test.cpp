// The simulated recorder, loaded as the library loads a device link library
// (LoadLibraryA by name, GetProcAddress by entry name): it serves a generated
// file block by block, logs every call, and fails as it is told to.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kvx_gen.h"
#include "platform/platform.h"
#include "test_process.h"

namespace {

using kvxtest::set_env;

namespace fs = std::filesystem;

struct Progress {
    uint32_t totalBytes;
    uint32_t deliveredBytes;
    uint32_t finished;
};

std::string temp(const std::string &name)
{
    const char *dir = std::getenv("TEST_TMPDIR");
    const char *win = std::getenv("TEMP");
    fs::path base = dir != nullptr ? fs::path(dir) : win != nullptr ? fs::path(win) : fs::temp_directory_path();
    return (base / name).string();
}

// A function pointer of the type `F` from an entry point.
template <typename F> F entry(HMODULE module, const char *name)
{
    FARPROC proc = GetProcAddress(module, name);
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(proc));
}

// The ten entry points of a device link library.
struct Link {
    HMODULE module = nullptr;
    int (*SetCOMPort)(uint8_t, uint8_t);
    int (*CloseCOMPort)();
    int (*ChangeCOMRate)(uint8_t);
    int (*GetDeviceInfo)(uint32_t *, uint32_t *);
    int (*InitUSBPort)(uint32_t);
    int (*CloseUSBPort)(uint32_t);
    int (*OpenKVXFile)(uint32_t, uint32_t, uint32_t, Progress *);
    int (*ReadKVXFile)(uint8_t *, Progress *, uint32_t *);
    int (*SetCOMPower)(uint32_t, uint8_t *);
    int (*StopTZ440V)();

    explicit Link(const char *name) : module(LoadLibraryA(name))
    {
        SetCOMPort = entry<decltype(SetCOMPort)>(module, "SetCOMPort");
        CloseCOMPort = entry<decltype(CloseCOMPort)>(module, "CloseCOMPort");
        ChangeCOMRate = entry<decltype(ChangeCOMRate)>(module, "ChangeCOMRate");
        GetDeviceInfo = entry<decltype(GetDeviceInfo)>(module, "GetDeviceInfo");
        InitUSBPort = entry<decltype(InitUSBPort)>(module, "InitUSBPort");
        CloseUSBPort = entry<decltype(CloseUSBPort)>(module, "CloseUSBPort");
        OpenKVXFile = entry<decltype(OpenKVXFile)>(module, "OpenKVXFile");
        ReadKVXFile = entry<decltype(ReadKVXFile)>(module, "ReadKVXFile");
        SetCOMPower = entry<decltype(SetCOMPower)>(module, "SetCOMPower");
        StopTZ440V = entry<decltype(StopTZ440V)>(module, "StopTZ440V");
    }
    ~Link()
    {
        if (module != nullptr) FreeLibrary(module);
    }
    bool complete() const
    {
        return module && SetCOMPort && CloseCOMPort && ChangeCOMRate && GetDeviceInfo && InitUSBPort &&
               CloseUSBPort && OpenKVXFile && ReadKVXFile && SetCOMPower && StopTZ440V;
    }
};

class Recorder : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef _WIN32
        set_env("KVX_LIBRARY_PATH", KVX_RECORDER_DIR); // on Windows they lie beside the program
#endif
        log_ = temp("recorder.log");
        fs::remove(log_);
        set_env("KVX_RECORDER_LOG", log_);
        set_env("KVX_RECORDER_FAIL", "");
        set_env("KVX_RECORDER_PACE_MS", "");
    }
    void TearDown() override
    {
        for (const char *name : {"KVX_RECORDER_LOG", "KVX_RECORDER_FAIL", "KVX_RECORDER_PACE_MS", "KVX_RECORDER_FILE"})
            set_env(name, "");
    }
    // A generated SP file of `frames` frames, served by the recorder.
    kvxgen::Bytes serve(size_t frames, kvxgen::Tail tail)
    {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(1, frames, static_cast<uint32_t>(frames)));
        file.tail = tail;
        kvxgen::Bytes bytes = kvxgen::build(file);
        const std::string path = temp("served.kvx");
        EXPECT_TRUE(kvxgen::write(path, bytes));
        set_env("KVX_RECORDER_FILE", path);
        return bytes;
    }
    std::vector<std::string> log_lines()
    {
        std::vector<std::string> lines;
        {
            std::ifstream in(log_);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
        }
        fs::remove(log_);
        return lines;
    }
    std::string log_;
};

// Over either link a whole file comes back block by block, the last one
// padded with zeros, with the progress record advancing to the end; reads
// after the end fail.  Every call is logged with its scalar arguments.
TEST_F(Recorder, ServesTheFileBlockByBlockOverEitherLinkAndLogsEveryCall)
{
    const struct {
        const char *library;
        bool serial;
        size_t frames;
        kvxgen::Tail tail;
    } cases[] = {
        {"COMM.DLL", true, 90, kvxgen::Tail::Short},
        {"ZOZUVU.DLL", false, 90, kvxgen::Tail::Short},
        {"ZOZUVU.DLL", false, 40, kvxgen::Tail::PadBlock},
        {"COMM.DLL", true, 1, kvxgen::Tail::Short},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        const kvxgen::Bytes file = serve(c.frames, c.tail);
        const uint32_t size = static_cast<uint32_t>(file.size());
        Link link(c.library);
        ASSERT_TRUE(link.complete());
        std::vector<std::string> expected;
        if (c.serial) {
            EXPECT_EQ(link.SetCOMPort(3, 7), 2);
            expected = {"SetCOMPort 3 7"};
        } else {
            uint32_t w1 = 0, w2 = 0;
            EXPECT_EQ(link.GetDeviceInfo(&w1, &w2), 2);
            EXPECT_EQ(link.InitUSBPort(4), 2);
            expected = {"GetDeviceInfo ptr ptr", "InitUSBPort 4"};
        }
        Progress p{9, 9, 9};
        EXPECT_EQ(link.OpenKVXFile(7, 3, 512, &p), 2);
        expected.push_back("OpenKVXFile 7 3 512 ptr");
        if (c.serial) {
            EXPECT_EQ(link.ChangeCOMRate(242), 2);
            expected.push_back("ChangeCOMRate 242");
        }
        EXPECT_EQ(p.totalBytes, size);
        EXPECT_EQ(p.deliveredBytes, 0u);
        EXPECT_EQ(p.finished, 0u);
        kvxgen::Bytes back;
        uint8_t block[512];
        while (!p.finished && back.size() < file.size() + 512) {
            uint32_t w = 0;
            ASSERT_EQ(link.ReadKVXFile(block, &p, &w), 2);
            expected.push_back("ReadKVXFile ptr ptr ptr");
            back.insert(back.end(), block, block + 512);
            EXPECT_EQ(w, 1u);
            EXPECT_EQ(p.totalBytes, size);
            EXPECT_EQ(p.deliveredBytes, std::min<size_t>(back.size(), size));
        }
        EXPECT_EQ(back.size(), (file.size() + 511) / 512 * 512);
        kvxgen::Bytes padded = file;
        padded.resize(back.size(), 0);
        EXPECT_TRUE(back == padded);
        uint32_t w = 0;
        EXPECT_EQ(link.ReadKVXFile(block, &p, &w), 0);
        EXPECT_EQ(link.ReadKVXFile(nullptr, &p, nullptr), 0);
        expected.insert(expected.end(), {"ReadKVXFile ptr ptr ptr", "ReadKVXFile null ptr null"});
        uint8_t power = 0xFF;
        EXPECT_EQ(link.StopTZ440V(), 2);
        EXPECT_EQ(link.SetCOMPower(10, &power), 2);
        EXPECT_EQ(c.serial ? link.CloseCOMPort() : link.CloseUSBPort(4), 2);
        expected.insert(expected.end(),
                        {"StopTZ440V", "SetCOMPower 10 ptr", c.serial ? "CloseCOMPort" : "CloseUSBPort 4"});
        EXPECT_EQ(log_lines(), expected);
    }
}

// A fixed session under each failure switch: what every call returned.
// Without an open link there is no file; a failed read delivers nothing and
// fails again when asked again.
TEST_F(Recorder, FailureSwitchesFailTheirCallsOnly)
{
    serve(200, kvxgen::Tail::Short); // many blocks
    Link link("COMM.DLL");
    ASSERT_TRUE(link.complete());
    auto session = [&] {
        std::ostringstream out;
        uint32_t w1, w2;
        Progress p{};
        out << link.SetCOMPort(1, 5) << link.ChangeCOMRate(9) << link.GetDeviceInfo(&w1, &w2)
            << link.InitUSBPort(2) << link.OpenKVXFile(0, 0, 512, &p) << ' ';
        uint8_t first[512] = {};
        for (int i = 0; i < 5; ++i) {
            uint8_t block[512];
            const int result = link.ReadKVXFile(block, &p, &w1);
            out << result;
            if (i == 0 && result == 2) std::copy(block, block + 512, first);
        }
        out << ' ' << link.StopTZ440V() << link.ReadKVXFile(first, &p, &w1) << link.CloseCOMPort() << ' '
            << p.deliveredBytes / 512 << (first[0] == 2 ? " header" : ""); // the generator's two header blocks
        return out.str();
    };
    const struct {
        const char *fail;
        const char *results;
    } cases[] = {
        {"", "22222 22222 202 5 header"},
        {"link", "00200 00000 202 0"},
        {"info", "22022 22222 202 5 header"},
        {"open", "22220 00000 202 0"},
        {"rate", "20222 22222 202 5 header"},
        {"stop", "22222 22222 002 5 header"},
        {"read:2", "22222 22000 202 2 header"},
        {"read:0", "22222 00000 202 0"},
        {"rate,read:4,", "20222 22220 202 4 header"},
        {"stall:1:1,read:x,read:,bogus", "22222 22222 202 5 header"}, // no numbers, no failures
    };
    for (const auto &c : cases) {
        set_env("KVX_RECORDER_FAIL", c.fail);
        EXPECT_EQ(session(), c.results) << c.fail;
    }
    set_env("KVX_RECORDER_FAIL", "");
    set_env("KVX_RECORDER_FILE", temp("missing.kvx"));
    EXPECT_EQ(session(), "22220 00000 202 0");
    EXPECT_EQ(link.OpenKVXFile(0, 0, 256, nullptr), 0);
}

// KVX_RECORDER_PACE_MS slows every read, stall:N:MS the read of block N.
TEST_F(Recorder, PaceAndStallsSlowTheReads)
{
    serve(100, kvxgen::Tail::Short);
    Link link("ZOZUVU.DLL");
    ASSERT_TRUE(link.complete());
    auto read_ms = [&](const char *pace, const char *fail) {
        set_env("KVX_RECORDER_PACE_MS", pace);
        set_env("KVX_RECORDER_FAIL", fail);
        Progress p{};
        uint32_t w;
        uint8_t block[512];
        EXPECT_EQ(link.InitUSBPort(0), 2);
        EXPECT_EQ(link.OpenKVXFile(0, 0, 512, &p), 2);
        std::vector<long> ms;
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(link.ReadKVXFile(block, &p, &w), 2);
            ms.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count()));
        }
        return ms;
    };
    std::vector<long> ms = read_ms("60", "");
    for (long m : ms) EXPECT_GE(m, 55);
    ms = read_ms("", "stall:1:300");
    EXPECT_LT(ms[0], 150);
    EXPECT_GE(ms[1], 295);
    EXPECT_LT(ms[2], 150);
}

} // namespace
