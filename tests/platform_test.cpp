// The POSIX stand-ins for the Win32 file calls keep their Windows meaning:
// random call sequences checked against a model of names, files and handles;
// the fault hook; the calls of the write path.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/helpers.h"
#include "platform/platform.h"

namespace {

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;

struct Model {
    struct File { std::string data; bool readOnly = false, pending = false; };
    struct Handle { HANDLE h; int file; DWORD access, share; bool deletes; size_t pos = 0; };
    std::vector<File> files; // by identity: a name points to one of these
    std::map<std::string, int> names;
    std::vector<Handle> handles;

    bool open_without(int file, DWORD share) const
    {
        for (const Handle &o : handles)
            if (o.file == file && !(o.share & share)) return true;
        return false;
    }
    // Windows' rule: each side must share what the other one does;
    // FILE_FLAG_DELETE_ON_CLOSE asks for delete access.
    bool sharing_refused(int file, DWORD access, DWORD share, bool deletes) const
    {
        for (const Handle &o : handles)
            if (o.file == file && (((access & R) && !(o.share & FILE_SHARE_READ)) ||
                                   ((access & W) && !(o.share & FILE_SHARE_WRITE)) ||
                                   (deletes && !(o.share & FILE_SHARE_DELETE)) ||
                                   ((o.access & R) && !(share & FILE_SHARE_READ)) ||
                                   ((o.access & W) && !(share & FILE_SHARE_WRITE)) ||
                                   (o.deletes && !(share & FILE_SHARE_DELETE))))
                return true;
        return false;
    }
    // Deleting or renaming the file, as far as its handles allow.
    DWORD delete_refused(int file) const
    {
        return files[file].pending ? ERROR_ACCESS_DENIED
               : open_without(file, FILE_SHARE_DELETE) ? ERROR_SHARING_VIOLATION
                                                       : 0;
    }
    // Closing a handle: a file to delete on close goes with its last handle.
    void close(size_t i)
    {
        const Handle h = handles[i];
        handles.erase(handles.begin() + static_cast<long>(i));
        if (!h.deletes && !files[h.file].pending) return;
        files[h.file].pending = std::any_of(handles.begin(), handles.end(), [&](const Handle &o) { return o.file == h.file; });
        if (files[h.file].pending) return;
        for (auto it = names.begin(); it != names.end();) it = it->second == h.file ? names.erase(it) : std::next(it);
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
            const bool deletes = pick(4) == 0;
            DWORD expected = disposition == TRUNCATE_EXISTING && !(access & W) ? ERROR_INVALID_PARAMETER
                             : n == 4                                         ? ERROR_ACCESS_DENIED
                             : !isFile ? (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING || n == 3
                                              ? missing(n)
                                              : 0)
                             : disposition == CREATE_NEW ? ERROR_FILE_EXISTS
                             : m.files[file].readOnly && ((access & W) || truncates || deletes) ? ERROR_ACCESS_DENIED
                             : m.files[file].pending                                           ? ERROR_ACCESS_DENIED
                             : m.sharing_refused(file, access, share, deletes) ? ERROR_SHARING_VIOLATION
                                                                               : 0;
            SCOPED_TRACE(nm + " " + std::to_string(access >> 30) + " " + std::to_string(share) + " " +
                         std::to_string(disposition) + (deletes ? " delete-on-close" : ""));
            HANDLE got = CreateFileA(nm.c_str(), access, share, nullptr, disposition,
                                     deletes ? FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_RANDOM_ACCESS : 0, nullptr);
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
            m.handles.push_back({got, m.names[nm], access, share, deletes});
        } else if (op == 1) { // DeleteFileA
            const DWORD expected = n == 4 || (isFile && m.files[file].readOnly) ? ERROR_ACCESS_DENIED
                                   : !isFile                                  ? missing(n)
                                                                              : m.delete_refused(file);
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
        } else if (op == 3) { // MoveFileExA
            const std::string to = name(static_cast<int>(pick(3)));
            if (n == 4 || to == nm) continue;
            const bool replace = pick(2) != 0, target = m.names.count(to) != 0;
            const int old = target ? m.names[to] : -1;
            const DWORD expected = !isFile                      ? missing(n)
                                   : m.delete_refused(file)     ? m.delete_refused(file)
                                   : !target                    ? 0
                                   : !replace                   ? ERROR_ALREADY_EXISTS
                                   : m.files[old].readOnly      ? ERROR_ACCESS_DENIED
                                                                : m.delete_refused(old);
            const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | (pick(2) ? MOVEFILE_WRITE_THROUGH : 0);
            expect(MoveFileExA(nm.c_str(), to.c_str(), flags), expected, "MoveFileExA");
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
            m.close(static_cast<size_t>(h - m.handles.data()));
        }
    }
    const HANDLE closed = m.handles.empty() ? nullptr : m.handles[0].h;
    while (!m.handles.empty()) {
        EXPECT_TRUE(CloseHandle(m.handles.back().h));
        m.close(m.handles.size() - 1);
    }
    if (closed != nullptr) {
        EXPECT_FALSE(CloseHandle(closed)) << "a closed handle is no handle";
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
// all), and the next plan tells how many did.  Each call below asks for
// `size` bytes: its number of bytes, or "-" for a failure with the kind's
// error.  A short write leaves its first half in the file.
using FileFaults = kvxtest::TempFolder;
TEST_F(FileFaults, HitTheReadsAndWritesTheyName)
{
    HANDLE h = CreateFileA(path("f").c_str(), R | W, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    const struct {
        int kind;
        long count;
        DWORD size;
        const char *calls;
    } cases[] = {{KVX_FAULT_READ, 2, 8, "8--8"},        {KVX_FAULT_READ, -1, 8, "8---"},
                 {KVX_FAULT_SHORT_READ, 1, 8, "8488"},  {KVX_FAULT_WRITE, 2, 8, "8--8"},
                 {KVX_FAULT_WRITE, -1, 8, "8---"},      {KVX_FAULT_SHORT_WRITE, 2, 7, "7337"},
                 {KVX_FAULT_SHORT_WRITE, 1, 1, "1011"}};
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, buffer, 8, &done, nullptr)); // for the reads
    for (const auto &c : cases) {
        SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        const bool writes = c.kind == KVX_FAULT_WRITE || c.kind == KVX_FAULT_SHORT_WRITE;
        KVXPosixSetFileFault(c.kind, 1, c.count);
        std::string calls;
        for (int i = 0; i < 4; ++i) {
            DWORD done = 99;
            if (writes) SetEndOfFile(h);
            const bool ok = writes ? WriteFile(h, buffer, c.size, &done, nullptr)
                                   : ReadFile(h, buffer, c.size, &done, nullptr);
            const DWORD error = writes ? ERROR_DISK_FULL : ERROR_READ_FAULT;
            calls += ok ? std::to_string(done) : done == 0 && GetLastError() == error ? "-" : "?";
            if (writes) {
                EXPECT_EQ(GetFileSize(h, nullptr), ok ? done : 0) << "written what was reported";
            }
            SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        }
        const long failed = KVXPosixSetFileFault(c.kind, -1, 0);
        EXPECT_EQ(calls, c.calls) << c.kind << " " << c.count;
        EXPECT_EQ(failed, 4 - std::count(calls.begin(), calls.end(), static_cast<char>('0' + c.size)));
    }
    // Short and plain faults of a direction share their plan.
    KVXPosixSetFileFault(KVX_FAULT_SHORT_WRITE, 0, -1);
    KVXPosixSetFileFault(KVX_FAULT_WRITE, -1, 0);
    EXPECT_TRUE(WriteFile(h, buffer, 8, &done, nullptr) && done == 8);
    EXPECT_EQ(KVXPosixSetFileFault(99, 0, -1), -1) << "no such kind";
    EXPECT_TRUE(CloseHandle(h));
}

// The faults of creating, opening, renaming and deleting: each fails the
// calls of its kind only (with the kind's error, changing nothing) and
// counts them.  Before each call the folder holds a = "old", b = "other".
TEST_F(FileFaults, HitTheNameCallsTheyName)
{
    auto open = [&](const char *name, DWORD disposition) {
        HANDLE h = CreateFileA(path(name).c_str(), R | W, 0, nullptr, disposition, 0, nullptr);
        return h != INVALID_HANDLE_VALUE && CloseHandle(h);
    };
    const std::string a = path("a"), b = path("b"), n = path("n");
    const struct {
        int kind;
        DWORD error;
        std::function<bool()> call;
    } cases[] = {
        {KVX_FAULT_CREATE, ERROR_DISK_FULL, [&] { return open("n", CREATE_NEW); }},
        {KVX_FAULT_CREATE, ERROR_DISK_FULL, [&] { return open("a", CREATE_ALWAYS); }},
        {KVX_FAULT_CREATE, ERROR_DISK_FULL, [&] { return open("n", OPEN_ALWAYS); }},
        {KVX_FAULT_CREATE, ERROR_DISK_FULL, [&] { return open("a", TRUNCATE_EXISTING); }},
        {KVX_FAULT_OPEN, ERROR_SHARING_VIOLATION, [&] { return open("a", OPEN_EXISTING); }},
        {KVX_FAULT_RENAME, ERROR_ACCESS_DENIED, [&] { return MoveFileExA(a.c_str(), n.c_str(), 0); }},
        {KVX_FAULT_RENAME, ERROR_ACCESS_DENIED,
         [&] { return MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH); }},
        {KVX_FAULT_DELETE, ERROR_SHARING_VIOLATION, [&] { return DeleteFileA(a.c_str()); }},
    };
    auto folder = [&] { // the three names' contents, "-" for none
        std::string state;
        for (const std::string &name : {a, b, n}) {
            std::ifstream in(name, std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            state += (in.is_open() ? content.str() : "-") + "|";
        }
        return state;
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        for (int kind = KVX_FAULT_CREATE; kind <= KVX_FAULT_DELETE; ++kind) {
            SCOPED_TRACE("case " + std::to_string(i) + ", fault " + std::to_string(kind));
            std::ofstream(a) << "old";
            std::ofstream(b) << "other";
            std::remove(n.c_str());
            KVXPosixSetFileFault(kind, 0, 1);
            const bool ok = cases[i].call();
            const DWORD error = GetLastError();
            EXPECT_EQ(KVXPosixSetFileFault(kind, -1, 0), ok ? 0 : 1);
            EXPECT_EQ(ok, kind != cases[i].kind);
            if (ok) continue;
            EXPECT_EQ(error, cases[i].error);
            EXPECT_EQ(folder(), "old|other|-|");
        }
    }
}

// The calls that recording and editing make around their temporary files.
class WritePath : public kvxtest::TempFolder {
protected:
    void SetUp() override
    {
        kvxtest::TempFolder::SetUp();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
        kvxtest::TempFolder::TearDown();
    }
    static bool exists(const std::string &name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::string cwd_;
};

TEST_F(WritePath, CurrentFolderAndProcess)
{
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    const DWORD length = static_cast<DWORD>(dir_.size());
    // Buffer size -> the answer and the buffer's content after.
    const struct { DWORD size; DWORD answer; bool stored; } cases[] = {
        {0, length + 1, false}, {length, length + 1, false}, {length + 1, length, true}, {4096, length, true}};
    for (const auto &c : cases) {
        std::string buffer(4096, '#');
        EXPECT_EQ(GetCurrentDirectoryA(c.size, &buffer[0]), c.answer) << c.size;
        EXPECT_EQ(buffer.c_str(), c.stored ? dir_ : std::string(4096, '#')) << c.size;
    }
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), length + 1);
}

TEST_F(WritePath, FlushNeedsWriteAccess)
{
    HANDLE w = CreateFileA("f", W, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    HANDLE r = CreateFileA("f", R, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FlushFileBuffers(w));
    EXPECT_FALSE(FlushFileBuffers(r));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(w) && CloseHandle(r));
    EXPECT_FALSE(FlushFileBuffers(w));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A file opened with FILE_FLAG_DELETE_ON_CLOSE goes when its last handle
// closes, under the name it has then, wherever the working folder is by
// then; while the other handles live, the file is pending deletion.
TEST_F(WritePath, DeleteOnCloseTakesTheFileWithTheLastHandle)
{
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ASSERT_EQ(mkdir("sub", 0755), 0);
    HANDLE t = CreateFileA("t", R | W, all, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    HANDLE other = CreateFileA("t", R, all, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("t", R, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION) << "the delete access is not shared";
    HANDLE keep = CreateFileA("w", R, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_EQ(CreateFileA("w", R, all, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION) << "deleting is not shared";
    EXPECT_TRUE(CloseHandle(keep));
    EXPECT_TRUE(MoveFileExA("t", "sub/t", 0));
    HANDLE v = CreateFileA("v", W, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_EQ(chdir("sub"), 0);
    EXPECT_TRUE(CloseHandle(v));
    EXPECT_FALSE(exists(path("v")));
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_TRUE(exists("t")) << "a handle is left";
    EXPECT_EQ(CreateFileA("t", R, all, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "pending deletion";
    EXPECT_FALSE(DeleteFileA("t"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(exists("t"));

    // A name that leads to another file by then is left alone.
    t = CreateFileA("u", W, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    EXPECT_TRUE(DeleteFileA("u"));
    std::ofstream("u") << "new";
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_TRUE(exists("u"));

    // A read-only file cannot be opened to be deleted.
    EXPECT_TRUE(SetFileAttributesA("u", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(CreateFileA("u", R, all, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetFileAttributesA("u", FILE_ATTRIBUTE_NORMAL));
}

// MoveFileExA as a save ends: the new file over the old one, written
// through, relative or absolute; a file open without FILE_SHARE_DELETE does
// not move.
TEST_F(WritePath, MoveReplacesAndWritesThrough)
{
    ASSERT_EQ(mkdir("sub", 0755), 0);
    std::ofstream("old") << "old";
    const struct { const char *from, *to; DWORD flags; } moves[] = {
        {"new", "old", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH},
        {"old", "sub/old", MOVEFILE_WRITE_THROUGH},
        {"sub/old", "/", MOVEFILE_REPLACE_EXISTING}, // becomes path("old")
    };
    for (const auto &m : moves) {
        std::ofstream(m.from) << "new";
        const std::string to = m.to[0] == '/' ? path("old") : m.to;
        SCOPED_TRACE(to);
        EXPECT_TRUE(MoveFileExA(m.from, to.c_str(), m.flags));
        std::stringstream content;
        content << std::ifstream(to).rdbuf();
        EXPECT_EQ(content.str(), "new");
        EXPECT_FALSE(exists(m.from));
    }
    HANDLE h = CreateFileA("old", R, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(MoveFileExA("old", "moved", MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(exists("old") && !exists("moved"));
    EXPECT_TRUE(CloseHandle(h));
    struct stat here, shm;
    if (stat(".", &here) == 0 && stat("/dev/shm", &shm) == 0 && here.st_dev != shm.st_dev) {
        EXPECT_FALSE(MoveFileExA("old", "/dev/shm/kvx-not-moved", 0));
        EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    }
}

// SetEndOfFile cuts or stretches a file at the pointer, past 2 and 4 GiB.
// Stretching takes the disk space, as on Windows: where the disk has not
// 6 GiB to spare it says so, and the test has nothing to check.
TEST_F(WritePath, EndOfFileBeyondFourGigabytes)
{
    HANDLE h = CreateFileA("big", R | W, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_RANDOM_ACCESS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const uint64_t size : {0x180000007ull, 0x80000010ull, 0x100000000ull, 5ull}) {
        LONG high = static_cast<LONG>(size >> 32);
        EXPECT_EQ(SetFilePointer(h, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN), size & 0xFFFFFFFFu);
        if (!SetEndOfFile(h)) {
            EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
            CloseHandle(h);
            GTEST_SKIP() << "no room for a file of " << size << " bytes";
        }
        DWORD sizeHigh = 9;
        EXPECT_EQ(GetFileSize(h, &sizeHigh), size & 0xFFFFFFFFu);
        EXPECT_EQ(sizeHigh, size >> 32);
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
