// The POSIX stand-ins for the Win32 file calls keep their Windows meaning:
// random call sequences checked against a model of names, files and handles.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/helpers.h"
#include "platform/platform.h"

namespace {

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;

struct Model {
    struct File { std::string data; bool readOnly = false; };
    struct Handle { HANDLE h; int file; DWORD access, share; size_t pos = 0; };
    std::vector<File> files; // by identity: a name points to one of these
    std::map<std::string, int> names;
    std::vector<Handle> handles;

    bool open_without(int file, DWORD share) const
    {
        for (const Handle &o : handles)
            if (o.file == file && !(o.share & share)) return true;
        return false;
    }
    // Windows' rule: each side must share what the other one does.
    bool sharing_refused(int file, DWORD access, DWORD share) const
    {
        for (const Handle &o : handles)
            if (o.file == file && (((access & R) && !(o.share & FILE_SHARE_READ)) ||
                                   ((access & W) && !(o.share & FILE_SHARE_WRITE)) ||
                                   ((o.access & R) && !(share & FILE_SHARE_READ)) ||
                                   ((o.access & W) && !(share & FILE_SHARE_WRITE))))
                return true;
        return false;
    }
};

class Files : public kvxtest::TempFolder, public ::testing::WithParamInterface<unsigned> {
protected:
    // Names 0-2 are files or missing, 3 lies in a missing folder, 4 is a folder.
    std::string name(int i) const { return path(i < 3 ? std::string(1, char('a' + i)) : i == 3 ? "none/a" : "sub"); }
    static DWORD missing(int i) { return i == 3 ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND; }
    // The call's result and error against the expected error (0: success).
    static void expect(bool ok, DWORD expected, const char *call)
    {
        const DWORD error = GetLastError();
        EXPECT_EQ(ok, expected == 0) << call << ": error " << error;
        EXPECT_EQ(expected == 0 ? 0 : error, expected) << call;
    }
};

TEST_P(Files, FollowTheModel)
{
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    std::mt19937 rng(GetParam());
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    Model m;
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int n = static_cast<int>(pick(5));
        const std::string nm = name(n);
        const bool isFile = n < 3 && m.names.count(nm);
        const int file = isFile ? m.names[nm] : -1;
        Model::Handle *h = m.handles.empty() ? nullptr : &m.handles[pick(static_cast<unsigned>(m.handles.size()))];
        std::string data = h ? m.files[h->file].data : "";
        const unsigned op = pick(h ? 10 : 4);
        if (op == 0) { // CreateFileA
            const DWORD disposition = pick(5) + 1, share = pick(8);
            // Truncating openings come with write access, as the library makes them.
            const DWORD access = disposition == CREATE_ALWAYS || (disposition == TRUNCATE_EXISTING && pick(4))
                                     ? W | (pick(2) ? R : 0)
                                     : (pick(3) + 1) << 30;
            const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
            DWORD expected = disposition == TRUNCATE_EXISTING && !(access & W) ? ERROR_INVALID_PARAMETER
                             : n == 4                                         ? ERROR_ACCESS_DENIED
                             : !isFile ? (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING || n == 3
                                              ? missing(n)
                                              : 0)
                             : disposition == CREATE_NEW                            ? ERROR_FILE_EXISTS
                             : m.files[file].readOnly && ((access & W) || truncates) ? ERROR_ACCESS_DENIED
                             : m.sharing_refused(file, access, share)                ? ERROR_SHARING_VIOLATION
                                                                                     : 0;
            SCOPED_TRACE(nm + " " + std::to_string(access >> 30) + " " + std::to_string(share) + " " +
                         std::to_string(disposition));
            HANDLE got = CreateFileA(nm.c_str(), access, share, nullptr, disposition, 0, nullptr);
            expect(got != INVALID_HANDLE_VALUE, expected, "CreateFileA");
            if (got == INVALID_HANDLE_VALUE) continue;
            EXPECT_EQ(GetLastError(), isFile && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                                          ? ERROR_ALREADY_EXISTS
                                          : ERROR_SUCCESS);
            if (!isFile) {
                m.names[nm] = static_cast<int>(m.files.size());
                m.files.push_back({});
            } else if (truncates) {
                m.files[file].data.clear();
            }
            m.handles.push_back({got, m.names[nm], access, share});
        } else if (op == 1) { // DeleteFileA
            const DWORD expected = n == 4 || (isFile && m.files[file].readOnly) ? ERROR_ACCESS_DENIED
                                   : !isFile                                  ? missing(n)
                                   : m.open_without(file, FILE_SHARE_DELETE)  ? ERROR_SHARING_VIOLATION
                                                                              : 0;
            expect(DeleteFileA(nm.c_str()), expected, "DeleteFileA");
            if (expected == 0) m.names.erase(nm);
        } else if (op == 2) { // Get/SetFileAttributesA
            const DWORD attributes = GetFileAttributesA(nm.c_str());
            if (n == 4) EXPECT_EQ(attributes, FILE_ATTRIBUTE_DIRECTORY);
            else if (!isFile) expect(attributes != INVALID_FILE_ATTRIBUTES, missing(n), "GetFileAttributesA");
            else EXPECT_EQ(attributes, m.files[file].readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
            if (isFile) {
                m.files[file].readOnly = pick(3) == 0;
                EXPECT_TRUE(SetFileAttributesA(
                    nm.c_str(), m.files[file].readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
            }
        } else if (op == 3) { // MoveFileExA of a file that is not open, as the library moves its copies
            const std::string to = name(static_cast<int>(pick(3)));
            if (n == 4 || to == nm || (isFile && m.open_without(file, 0))) continue;
            const bool replace = pick(2) != 0, target = m.names.count(to) != 0;
            const int old = target ? m.names[to] : -1;
            const DWORD expected = !isFile                                  ? missing(n)
                                   : !target                                ? 0
                                   : !replace                               ? ERROR_ALREADY_EXISTS
                                   : m.files[old].readOnly                  ? ERROR_ACCESS_DENIED
                                   : m.open_without(old, FILE_SHARE_DELETE) ? ERROR_SHARING_VIOLATION
                                                                            : 0;
            expect(MoveFileExA(nm.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0), expected,
                   "MoveFileExA");
            if (isFile && expected == 0) {
                m.names[to] = file;
                m.names.erase(nm);
            }
        } else if (op == 4) { // WriteFile
            std::string bytes(pick(10), '\0');
            for (char &c : bytes) c = static_cast<char>('a' + pick(26));
            DWORD written = 99;
            expect(WriteFile(h->h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr),
                   h->access & W ? 0 : ERROR_ACCESS_DENIED, "WriteFile");
            EXPECT_EQ(written, h->access & W ? bytes.size() : 0u);
            if (!(h->access & W) || bytes.empty()) continue; // nothing written, not even up to the pointer
            if (data.size() < h->pos + bytes.size()) data.resize(h->pos + bytes.size(), '\0');
            m.files[h->file].data = data.replace(h->pos, bytes.size(), bytes);
            h->pos += bytes.size();
        } else if (op == 5) { // ReadFile
            char buffer[16];
            DWORD read = 99;
            const DWORD want = pick(13);
            expect(ReadFile(h->h, buffer, want, &read, nullptr), h->access & R ? 0 : ERROR_ACCESS_DENIED,
                   "ReadFile");
            const std::string expected = h->access & R && h->pos < data.size() ? data.substr(h->pos, want) : "";
            EXPECT_EQ(std::string(buffer, read), expected);
            h->pos += expected.size();
        } else if (op == 6) { // SetFilePointer
            const DWORD method = pick(3);
            const LONG distance = static_cast<LONG>(pick(31)) - 15;
            const long long base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? h->pos : data.size();
            const DWORD got = SetFilePointer(h->h, distance, nullptr, method);
            if (base + distance < 0) {
                EXPECT_EQ(got, INVALID_SET_FILE_POINTER);
                EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
            } else {
                h->pos = static_cast<size_t>(base + distance);
                EXPECT_EQ(got, h->pos);
            }
        } else if (op == 7) { // SetEndOfFile
            expect(SetEndOfFile(h->h), h->access & W ? 0 : ERROR_ACCESS_DENIED, "SetEndOfFile");
            if (h->access & W) m.files[h->file].data.resize(h->pos, '\0');
        } else if (op == 8) { // GetFileSize
            DWORD high = 9;
            EXPECT_EQ(GetFileSize(h->h, &high), data.size());
            EXPECT_EQ(high, 0u);
        } else { // CloseHandle
            EXPECT_TRUE(CloseHandle(h->h));
            m.handles.erase(m.handles.begin() + (h - m.handles.data()));
        }
    }
    for (const Model::Handle &h : m.handles) EXPECT_TRUE(CloseHandle(h.h));
    if (!m.handles.empty()) {
        EXPECT_FALSE(CloseHandle(m.handles[0].h)) << "a closed handle is no handle";
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    for (int i = 0; i < 3; ++i) {
        std::ifstream in(name(i), std::ios::binary);
        ASSERT_EQ(in.is_open(), m.names.count(name(i)) != 0) << name(i);
        std::stringstream content;
        content << in.rdbuf();
        EXPECT_EQ(content.str(), in.is_open() ? m.files[m.names[name(i)]].data : "") << name(i);
    }
}
INSTANTIATE_TEST_SUITE_P(Seeds, Files, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

// The fault hook: `after` calls go through, then `count` fail (negative:
// all), and the next plan tells how many did.  Each call below asks for 8
// bytes: its number of bytes, or "-" for a failure with the kind's error.
using FileFaults = kvxtest::TempFolder;
TEST_F(FileFaults, HitTheCallsTheyName)
{
    HANDLE h = CreateFileA(path("f").c_str(), R | W, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    const struct {
        int kind;
        long count;
        const char *calls;
    } cases[] = {{KVX_FAULT_WRITE, 2, "8--8"}, {KVX_FAULT_WRITE, -1, "8---"}, {KVX_FAULT_READ, 2, "8--8"},
                 {KVX_FAULT_READ, -1, "8---"}, {KVX_FAULT_SHORT_READ, 1, "8488"}};
    for (const auto &c : cases) {
        KVXPosixSetFileFault(c.kind, 1, c.count);
        std::string calls;
        for (int i = 0; i < 4; ++i) {
            DWORD done = 99;
            SetFilePointer(h, 0, nullptr, FILE_BEGIN);
            const bool ok = c.kind == KVX_FAULT_WRITE ? WriteFile(h, buffer, 8, &done, nullptr)
                                                      : ReadFile(h, buffer, 8, &done, nullptr);
            const DWORD error = c.kind == KVX_FAULT_WRITE ? ERROR_DISK_FULL : ERROR_READ_FAULT;
            calls += ok ? std::to_string(done) : done == 0 && GetLastError() == error ? "-" : "?";
        }
        const long failed = KVXPosixSetFileFault(c.kind, -1, 0);
        EXPECT_EQ(calls, c.calls) << c.kind << " " << c.count;
        EXPECT_EQ(failed, 4 - std::count(calls.begin(), calls.end(), '8'));
    }
    EXPECT_TRUE(CloseHandle(h));
}

// Multimedia files as a caller opens its output file for the library.
TEST_F(FileFaults, MmioCreatesWritesAndReportsFailures)
{
    std::string name = path("out.pcm"), gone = path("gone.pcm"), nofolder = path("none/out.pcm");
    std::ofstream(name) << "old content that is longer";
    MMIOINFO info{};
    HMMIO file = mmioOpenA(&name[0], &info, MMIO_CREATE | MMIO_WRITE | MMIO_EXCLUSIVE);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(mmioWrite(file, "abc", 3), 3);
    EXPECT_EQ(mmioRead(file, &name[0], 1), -1) << "opened for writing only";
    EXPECT_EQ(mmioOpenA(&name[0], &info, MMIO_READ), nullptr) << "open with MMIO_EXCLUSIVE";
    EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
    KVXPosixSetFileFault(KVX_FAULT_WRITE, 0, 1); // a full disk
    EXPECT_EQ(mmioWrite(file, "de", 2), -1);
    EXPECT_EQ(mmioWrite(file, "fg", 2), 2);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_INVALHANDLE);
    std::stringstream content;
    content << std::ifstream(name, std::ios::binary).rdbuf();
    EXPECT_EQ(content.str(), "abcfg") << "created anew, not over the old content";
    EXPECT_EQ(mmioOpenA(&gone[0], &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    EXPECT_EQ(mmioOpenA(&nofolder[0], &info, MMIO_CREATE | MMIO_WRITE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_PATHNOTFOUND);
}

TEST(PosixMemory, MovableBlocksLockToTheirData)
{
    HGLOBAL movable = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE | GMEM_ZEROINIT, 3300);
    auto *data = static_cast<unsigned char *>(GlobalLock(movable));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0] | data[3299], 0);
    EXPECT_EQ(GlobalLock(movable), data);
    EXPECT_TRUE(GlobalUnlock(movable)); // still locked once
    EXPECT_FALSE(GlobalUnlock(movable));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "unlocked now";
    EXPECT_FALSE(GlobalUnlock(movable));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_EQ(GlobalFree(movable), nullptr);
}

} // namespace
#endif
