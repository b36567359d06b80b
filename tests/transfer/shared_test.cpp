// The transfer settings through the library's exports, across processes.
//
// A process that has the library loaded keeps the shared block alive, so
// this program never loads it itself: it starts copies of itself, each in a
// role named on its command line, and only those load the library beside
// the program (as a caller does, by file and export names).  A role checks
// what the exports report and also the block itself, found where the
// library keeps it: the DLL's section ".RECOGSE", or the mapping of the
// user's shared memory object.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kvx.h"
#include "test_process.h"
#include "transfer/shared.h" // the block's layout

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

using namespace kvxtest;

using kvx::transfer::SharedBlock;
namespace fs = std::filesystem;

// --- The library, in a role's process --------------------------------------

struct Library {
    decltype(&KVXSetTransFileName) setName = nullptr;
    decltype(&KVXGetTransFileName) getName = nullptr;
    decltype(&KVXSetTransWAY) setWay = nullptr;
    decltype(&KVXGetTransWAY) getWay = nullptr;
    decltype(&KVXSetTransEnd) setEnd = nullptr;
    decltype(&RV880SetCOMMPort) setComm = nullptr;
    decltype(&KVXSetCOMPort) setCom = nullptr;
    SharedBlock *block = nullptr;
};

#ifdef _WIN32
template <typename F> void resolve(HMODULE m, const char *name, F &f)
{
    f = reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(GetProcAddress(m, name)));
}

SharedBlock *block_of(HMODULE m)
{
    const auto *base = reinterpret_cast<const uint8_t *>(m);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER *s = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i)
        if (std::memcmp(s[i].Name, ".RECOGSE", 8) == 0)
            return reinterpret_cast<SharedBlock *>(const_cast<uint8_t *>(base) + s[i].VirtualAddress);
    return nullptr;
}

bool load(Library &lib)
{
    const HMODULE m = LoadLibraryA((fs::path(self_path()).parent_path() / "kvx.dll").string().c_str());
    if (m == nullptr) return false;
    lib.block = block_of(m);
#else
template <typename F> void resolve(void *m, const char *name, F &f)
{
    f = reinterpret_cast<F>(dlsym(m, name));
}

SharedBlock *mapped_block()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(" /dev/shm/kvx-transfer-") != std::string::npos)
            return reinterpret_cast<SharedBlock *>(std::stoull(line, nullptr, 16));
    return nullptr;
}

bool load(Library &lib)
{
    void *m = dlopen((fs::path(self_path()).parent_path() / "libkvx.so").c_str(), RTLD_NOW);
    if (m == nullptr) return false;
    lib.block = mapped_block();
#endif
    resolve(m, "KVXSetTransFileName", lib.setName);
    resolve(m, "KVXGetTransFileName", lib.getName);
    resolve(m, "KVXSetTransWAY", lib.setWay);
    resolve(m, "KVXGetTransWAY", lib.getWay);
    resolve(m, "KVXSetTransEnd", lib.setEnd);
    resolve(m, "RV880SetCOMMPort", lib.setComm);
    resolve(m, "KVXSetCOMPort", lib.setCom);
    return lib.block != nullptr && lib.setName && lib.getName && lib.setWay && lib.getWay && lib.setEnd &&
           lib.setComm && lib.setCom;
}

// What one process leaves for the others.
struct Values {
    std::string name;
    uint32_t way, end, kind, usb;
    uint8_t port, rate;
};
const Values kZero{"", 0, 0, 0, 0, 0, 0};
const Values kA{"C:\\dictation\\A0001.kvx", 6, 0, 1, 0, 3, 5};   // the first process
const Values kB{"/recorder/B0002", 22, 0, 0, 7, 3, 5};            // the second

void write(const Library &lib, const Values &v)
{
    lib.setName(v.name.c_str());
    if (v.way == 6) {
        lib.setWay(4);
        lib.setWay(2);
    } else {
        lib.setWay(3); // 6 -> 18
        lib.setWay(4); // -> 22
    }
    if (v.kind != 0) lib.setCom(static_cast<int32_t>(v.kind), 99, v.port, v.rate);
    else lib.setCom(0, static_cast<int32_t>(v.usb), 200, 201);
}

int check(const Library &lib, const Values &v, const char *where)
{
    char name[300];
    std::memset(name, 0x55, sizeof name);
    lib.getName(name);
    uint32_t way = 0xFFFF;
    lib.getWay(&way);
    const SharedBlock &b = *lib.block;
    const bool ok = name == v.name && way == v.way && b.transEnd == v.end && b.linkKind == v.kind &&
                    b.usbPort == v.usb && b.comPort == v.port && b.comRate == v.rate;
    if (!ok)
        std::fprintf(stderr, "%s: name '%.254s' way %u end %u kind %u usb %u port %u rate %u\n", where, name, way,
                     b.transEnd, b.linkKind, b.usbPort, b.comPort, b.comRate);
    return ok ? 0 : 1;
}

// The rules of the settings, on the shared block of one process.
int rules(const Library &lib)
{
    int failures = 0;
    auto fail = [&](const char *what, long long a, long long b) {
        std::fprintf(stderr, "rules: %s: %lld, %lld\n", what, a, b);
        ++failures;
    };
    SharedBlock &b = *lib.block;

    // Way flags: (flags before, way, flags after).
    const struct { uint32_t before; int32_t way; uint32_t after; } ways[] = {
        {4, 3, 16}, {2, 3, 18}, {0, 5, 5}, {12, 2, 6}, {15, 3, 27}, {12, 3, 24},
        {28, 1, 5}, {16, 1, 1}, {25, 2, 2}, {0, 6, 6}, {0, 7, 5}, {18, 4, 22},
        {9, 8, 9}, {31, 0, 31}, {27, 16, 27}, {0, -1, 5}, {8, -2, 6},
    };
    for (const auto &w : ways) {
        b.transWay = w.before;
        lib.setWay(w.way);
        uint32_t got = 0;
        lib.getWay(&got);
        if (got != w.after) fail(("way " + std::to_string(w.way) + " on " + std::to_string(w.before)).c_str(), got, w.after);
    }

    // Names: whole or not at all, never past 255 bytes either way.
    const std::string longest(254, 'n'), too_long(255, 'x'), far_too_long(400, 'y');
    const struct { const char *set; const char *stored; } names[] = {
        {"a.kvx", "a.kvx"}, {longest.c_str(), longest.c_str()}, {too_long.c_str(), ""},
        {far_too_long.c_str(), ""}, {nullptr, ""}, {"", ""},
    };
    for (const auto &n : names) {
        lib.setName("previous name");
        b.comPort = 0xA5;
        b.comRate = 0x5A;
        lib.setName(n.set);
        char got[300];
        std::memset(got, 0x55, sizeof got);
        lib.getName(got);
        const size_t length = std::strlen(n.stored);
        if (std::strcmp(got, n.stored) != 0)
            fail("name stored (set length, got length)", n.set ? static_cast<long long>(std::strlen(n.set)) : -1,
                 static_cast<long long>(std::strlen(got)));
        if (static_cast<uint8_t>(got[length + 1]) != 0x55)
            fail("name copy ran on (length)", static_cast<long long>(length), 0);
        if (b.comPort != 0xA5 || b.comRate != 0x5A) fail("name ran into the port", b.comPort, b.comRate);
    }
    // A name left without its terminator (by anyone) is read as its first
    // 254 characters, and the copy stops at the caller's 255 bytes.
    std::memset(b.transFileName, 'z', sizeof b.transFileName);
    char got[300];
    std::memset(got, 0x55, sizeof got);
    lib.getName(got);
    if (std::strlen(got) != 254 || got[0] != 'z' || static_cast<uint8_t>(got[255]) != 0x55)
        fail("unterminated name (length)", static_cast<long long>(std::strlen(got)), 0);
    lib.getName(nullptr);
    lib.getWay(nullptr);

    // Link settings: the kind decides which of port/rate and device number
    // a call takes.
    const struct { int32_t kind, usb; uint8_t port, rate; uint32_t wantKind, wantUsb; uint8_t wantPort, wantRate; } links[] = {
        {1, 9, 3, 5, 1, 77, 3, 5}, {0, 9, 3, 5, 0, 9, 66, 67}, {2, 9, 250, 242, 2, 77, 250, 242}, {0, -1, 3, 5, 0, 0xFFFFFFFFu, 66, 67},
    };
    for (const auto &l : links) {
        lib.setCom(0, 77, 0, 0);
        lib.setComm(66, 67);
        lib.setCom(l.kind, l.usb, l.port, l.rate);
        if (b.linkKind != l.wantKind || b.usbPort != l.wantUsb || b.comPort != l.wantPort || b.comRate != l.wantRate)
            fail("link (kind, usb)", l.kind, l.usb);
    }
    b.transEnd = 0;
    lib.setEnd();
    if (b.transEnd != 1) fail("end request", b.transEnd, 1);
    return failures;
}

// A process of this program in one role; its exit status is its verdict.
int role(const std::string &name, const std::string &arg)
{
    Library lib;
    if (!load(lib)) {
        std::fprintf(stderr, "%s: the library, its exports or its shared block not found\n", name.c_str());
        return 2;
    }
    if (name == "rules") return rules(lib) == 0 ? 0 : 1;
    if (name == "fresh") return check(lib, kZero, "a new process");
    if (name == "check-a") return check(lib, kA, "beside the holder");
    if (name == "parent") {
        // The first process sees zero; what it writes reaches a second
        // process, and the second's writes reach it while it stays.
        if (check(lib, kZero, "the first process") != 0) return 1;
        write(lib, kA);
        lib.setEnd();
        if (run({"child-1"}) != 0) return 1;
        if (check(lib, kB, "after the first child") != 0) return 1;
        if (run({"child-2"}) != 0) return 1;
        Values ended = kB;
        ended.end = 1;
        return check(lib, ended, "after the second child");
    }
    if (name == "child-1") {
        Values ended = kA;
        ended.end = 1;
        if (check(lib, ended, "the first child") != 0) return 1;
        lib.block->transEnd = 0; // as a feed that honours the request
        write(lib, kB);
        return 0;
    }
    if (name == "child-2") {
        if (check(lib, kB, "the second child") != 0) return 1;
        lib.setEnd();
        return 0;
    }
    if (name == "hold") {
        // Writes, tells, and waits to be killed.
        write(lib, kA);
        std::ofstream(arg) << "ready";
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return 3;
    }
#if !defined(_WIN32) && defined(KVX_RECORDER_DIR)
    if (name == "unload") {
        // A download from the simulated recorder runs while the library is
        // unloaded: its thread is stopped first, or it would run on in code
        // that is gone.
        const std::string served = arg + ".served", local = arg + ".dl";
        {
            std::ofstream out(served, std::ios::binary);
            std::string bytes(512 * 401, '\0');
            bytes[0] = 1; // one header block
            out << bytes;
        }
        setenv("KVX_LIBRARY_PATH", KVX_RECORDER_DIR, 1);
        setenv("KVX_RECORDER_FILE", served.c_str(), 1);
        setenv("KVX_RECORDER_PACE_MS", "5", 1);
        void *m = dlopen((fs::path(self_path()).parent_path() / "libkvx.so").c_str(), RTLD_NOW);
        decltype(&KVXRV880ActiveFile) activate = nullptr;
        resolve(m, "KVXRV880ActiveFile", activate);
        lib.setName(local.c_str());
        lib.setCom(0, 0, 0, 0);
        if (activate == nullptr || activate(1, 2) != 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dlclose(m); // this role's two references (load() made the first)
        dlclose(m);
        std::error_code e;
        if (dlopen((fs::path(self_path()).parent_path() / "libkvx.so").c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            std::fprintf(stderr, "the library stays loaded\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        fs::remove(served, e);
        fs::remove(local, e);
        return 0;
    }
#endif
#ifndef _WIN32
    if (name == "fork") {
        // The block outlives this process in a child made by fork() alone,
        // which reports what a third process then sees.
        write(lib, kA);
        const pid_t self = getpid();
        if (fork() == 0) {
            while (getppid() == self) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const int seen = run({"check-a"});
            std::ofstream(arg + ".tmp") << seen;
            fs::rename(arg + ".tmp", arg);
            std::exit(0); // detaches, as a forked child that returns does
        }
        return 0;
    }
#endif
    std::fprintf(stderr, "no role %s\n", name.c_str());
    return 2;
}

std::string signal_file(const char *what)
{
    std::error_code e;
    return (fs::temp_directory_path(e) / ("kvx-transfer-" + std::string(what) + "-" + process_id())).string();
}

} // namespace

TEST(TransferSettings, Rules)
{
    EXPECT_EQ(run({"rules"}), 0);
}

// Values pass both ways between two processes, and are gone once both
// have ended.
TEST(TransferSettings, SharedWhileLoaded)
{
    ASSERT_EQ(run({"fresh"}), 0);
    EXPECT_EQ(run({"parent"}), 0);
    EXPECT_EQ(run({"fresh"}), 0);
}

// A process killed while it has the library loaded leaves nothing behind.
TEST(TransferSettings, KilledProcess)
{
    const std::string ready = signal_file("ready");
    std::error_code e;
    fs::remove(ready, e);
    const Process holder = start({"hold", ready});
    ASSERT_TRUE(wait_for_file(ready));
    EXPECT_EQ(run({"check-a"}), 0);
    kill_hard(holder);
    finish(holder);
    fs::remove(ready, e);
    EXPECT_EQ(run({"fresh"}), 0);
}

#if !defined(_WIN32) && defined(KVX_RECORDER_DIR)
// Unloading the library while a download runs: the process lives on.
TEST(TransferSettings, UnloadedDuringADownload)
{
    EXPECT_EQ(run({"unload", signal_file("unload")}), 0);
}
#endif

#ifndef _WIN32
TEST(TransferSettings, ForkedChildKeepsTheBlock)
{
    const std::string result = signal_file("forked");
    std::error_code e;
    fs::remove(result, e);
    ASSERT_EQ(run({"fork", result}), 0);
    ASSERT_TRUE(wait_for_file(result));
    std::string seen;
    std::ifstream(result) >> seen;
    fs::remove(result, e);
    EXPECT_EQ(seen, "0");
    // The forked child has ended by now or soon.
    for (int i = 0; i < 300 && run({"fresh"}) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(run({"fresh"}), 0);
}
#endif

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--role") == 0) return role(argv[2], argc >= 4 ? argv[3] : "");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
