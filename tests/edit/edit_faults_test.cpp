// The write session when the disk fails, and beside other sessions.
//
// Every change of a session either happens or not: for each operation and
// each kind of file fault, the Nth call of that kind fails, for N = 0, 1,
// 2, ... until the operation runs through without a failure.  After each
// run the edited audio is the audio before or after the operation (or, for
// a recording, after its first m frames), the tree holds, a change that did
// not happen says so, the session goes on working, and no file that the
// session did not make is touched.  Then two processes recording in one
// folder, a change of the current directory, and files with the session's
// names that it did not make.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "edit/edit.h"
#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"
#include "kvx_posix.h"

namespace edit = kvx::edit;
namespace fs = std::filesystem;
using kvxgen::Bytes;
using kvxgen::EditModel;
using kvxgen::Frame;

namespace {

Bytes read_whole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool collect(const uint8_t *block, void *user)
{
    Bytes *blocks = static_cast<Bytes *>(user);
    blocks->insert(blocks->end(), block, block + kvxgen::kBlockSize);
    return true;
}

// The edited audio as the walker yields it; an unreadable or broken stream
// adds a frame no model holds (codec 0xEE).
std::vector<Frame> walked()
{
    Bytes blocks;
    const uint32_t r = edit::walk(collect, &blocks);
    kvxgen::BlockFrames got = kvxgen::read_blocks(blocks.data(), blocks.size() / kvxgen::kBlockSize);
    if (r != 0 || !got.clean) got.frames.push_back(Frame{{0xEE}, 0xEE, r});
    return got.frames;
}

std::vector<Frame> new_frames(uint8_t codec, size_t n, uint32_t seed)
{
    std::vector<Frame> add;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t s = seed + static_cast<uint32_t>(i);
        add.push_back({codec >= 2 ? kvxgen::lp_active(s) : kvxgen::sp_full(s, true), codec, kvxgen::frame_ms(codec)});
    }
    return add;
}

// A recorded segment; stops at the first call that fails, as a recorder does.
uint32_t record(WriteHandle *h, uint32_t at, bool insert, const std::vector<Frame> &add)
{
    uint8_t mode = add.empty() ? 0 : add[0].codec;
    uint32_t r = KVXSetWritePointer(h, at, &mode, insert ? 1 : 0, 0);
    WriteStatus status{};
    for (size_t i = 0; r == 0 && i < add.size(); ++i)
        r = KVXWriteFile(h, add[i].bytes.data(), i + 1 == add.size(), &status);
    return r;
}

// Files of the folder whose names do not begin with the session's "~kvx",
// with their contents.  The folder's management file is left out: opening a
// file of several chunks records its table there, session or not.
std::map<std::string, Bytes> foreign_files(const std::string &folder)
{
    std::map<std::string, Bytes> files;
    for (const auto &entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("~kvx", 0) != 0 && name != "KVXMANAGEMENT.DAT")
            files[entry.path().string()] = read_whole(entry.path());
    }
    return files;
}

// The names whose files differ between two listings.
std::string changed(const std::map<std::string, Bytes> &a, const std::map<std::string, Bytes> &b)
{
    std::string names;
    for (const auto &[path, bytes] : a)
        if (b.count(path) == 0 || b.at(path) != bytes) names += " " + path;
    for (const auto &[path, bytes] : b)
        if (a.count(path) == 0) names += " " + path + " (new)";
    return names;
}

std::vector<std::string> session_named(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("~kvx", 0) == 0) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The session's files on disk are the ones it holds (and its space
// reservation), each a whole number of blocks.
void expect_own_files(const std::string &folder)
{
    std::vector<std::string> held = edit::session_files();
    for (const std::string &path : held) {
        std::error_code error;
        const uintmax_t size = fs::file_size(path, error);
        EXPECT_FALSE(error) << path;
        EXPECT_EQ(size % kvxgen::kBlockSize, 0u) << path << " is " << size << " bytes";
    }
    for (const std::string &path : session_named(folder)) {
        const bool reservation = path.size() > 11 && path.compare(path.size() - 11, 11, "kvxedit.tmp") == 0;
        EXPECT_TRUE(reservation || std::find(held.begin(), held.end(), path) != held.end())
            << path << " lies in the folder, the session does not hold it";
    }
}

struct Step {
    char kind;      // i insert, o overwrite, e erase
    uint32_t a, b;  // position; erase: start and end
    size_t n;       // frames recorded
};

// The expected audio after a step; for a recording only its first m frames.
void apply(EditModel &model, const Step &s, const std::vector<Frame> &add, size_t m)
{
    const std::vector<Frame> part(add.begin(), add.begin() + static_cast<std::ptrdiff_t>(std::min(m, add.size())));
    uint32_t ignored = 0;
    if (s.kind == 'i') model.insert(s.a, part);
    if (s.kind == 'o') model.overwrite(s.a, part);
    if (s.kind == 'e') model.erase(s.a, s.b, &ignored);
}

uint32_t perform(WriteHandle *h, const Step &s, const std::vector<Frame> &add)
{
    if (s.kind == 'e') {
        EraseResult out{};
        return KVXPartialErase(h, s.a, s.b, &out);
    }
    return record(h, s.a, s.kind == 'i', add);
}

struct Scenario {
    const char *name;
    uint8_t codec;       // 0 SP, 2 LP
    size_t frames;       // of the edited file; 0: a new recording
    uint32_t limit;      // tables rewritten whole up to this many chunks
    std::vector<Step> before;  // made without faults
    Step op;
};

// SP: 24 ms frames, a chunk about 148,100 ms; LP: 30 ms, a chunk about
// 316,250 ms.
const Scenario kScenarios[] = {
    {"a segment into a new file", 0, 0, 20, {}, {'i', 0, 0, 40}},
    {"SP insert: the root's chunk gets a replacement", 0, 9000, 20, {}, {'i', 60000, 0, 40}},
    {"SP overwrite", 0, 9000, 20, {}, {'o', 60000, 0, 40}},
    {"SP erase", 0, 9000, 20, {}, {'e', 60000, 90000, 0}},
    {"LP insert", 2, 15000, 20, {}, {'i', 100000, 0, 40}},
    {"LP overwrite across the chunk's end", 2, 15000, 20, {}, {'o', 316000, 0, 40}},
    {"LP erase", 2, 15000, 20, {}, {'e', 100000, 150000, 0}},
    {"rewrite: a second insert in the replacement", 0, 9000, 20, {{'i', 60000, 0, 40}}, {'i', 61000, 0, 40}},
    {"rewrite: an erase in the replacement", 0, 9000, 20, {{'i', 60000, 0, 40}}, {'e', 59000, 62000, 0}},
    {"make-child below a replacement", 0, 9000, 0, {{'i', 60000, 0, 40}}, {'o', 61000, 0, 40}},
    {"erase across chunks", 0, 15000, 20, {}, {'e', 100000, 320000, 0}},
    {"erase across tables", 0, 9000, 20, {{'i', 60000, 0, 40}}, {'e', 61000, 200000, 0}},
    {"erase across nested tables", 0, 9000, 0, {{'i', 60000, 0, 40}, {'i', 61000, 0, 40}}, {'e', 60500, 62000, 0}},
    // Files that leave the tree: deleted once the change is kept.
    {"erase a replacement whole", 0, 9000, 20, {{'i', 60000, 0, 40}}, {'e', 0, 160000, 0}},
    {"erase everything", 2, 15000, 0, {{'i', 100000, 0, 40}, {'i', 100500, 0, 40}}, {'e', 0, 500000, 0}},
};

const struct {
    int kind;
    const char *name;
} kFaults[] = {
    {KVX_FAULT_READ, "read"},     {KVX_FAULT_SHORT_READ, "short read"}, {KVX_FAULT_WRITE, "write"},
    {KVX_FAULT_SHORT_WRITE, "short write"}, {KVX_FAULT_CREATE, "create"}, {KVX_FAULT_OPEN, "open"},
    {KVX_FAULT_RENAME, "rename"}, {KVX_FAULT_DELETE, "delete"},
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(folder_);
        for (const char *name : {"0.tmp", "new.tmp", "kvxedit.tmp"})
            kvxgen::write(folder_ + name, Bytes(700, static_cast<uint8_t>(name[0])));
    }
    void TearDown() override
    {
        for (int kind = KVX_FAULT_READ; kind <= KVX_FAULT_DELETE; ++kind) KVXPosixSetFileFault(kind, -1, 0);
        edit::set_rewrite_limit(20);
        std::error_code error;
        fs::remove_all(folder_, error);
    }

    // One run of a scenario with the Nth call of a kind failing (N < 0: no
    // fault).  Returns how many calls failed.
    long run(const Scenario &sc, int kind, long nth)
    {
        edit::set_rewrite_limit(sc.limit);
        // A name of each scenario's own: a session on the active file's name
        // takes the file as it was when it was opened.
        const std::string target = folder_ + std::to_string(&sc - kScenarios) + (sc.frames == 0 ? "new.kvx" : ".kvx");
        EditModel model;
        if (sc.frames != 0) {
            Generated &g = generated_[&sc];
            if (g.bytes.empty()) {
                kvxgen::File file;
                file.segments = {kvxgen::random_segment(sc.codec, sc.frames, 7)};
                kvxgen::Layout layout;
                g.bytes = kvxgen::build(file, &layout);
                for (const kvxgen::FrameInfo &f : layout.frames)
                    g.frames.push_back({f.bytes, f.codecByte, f.durationMs});
            }
            kvxgen::write(target, g.bytes);
            model.frames = g.frames;
        }
        const std::map<std::string, Bytes> foreign = foreign_files(folder_);  // the edited file among them
        uint32_t r = 99;
        WriteHandle *h = KVXCreateFile(target.c_str(), sc.frames == 0 ? 0 : 1, &r);
        EXPECT_EQ(r, 0u);
        if (h == nullptr) return 0;
        for (size_t i = 0; i < sc.before.size(); ++i) {
            const std::vector<Frame> add = new_frames(sc.codec, sc.before[i].n, 1000 * static_cast<uint32_t>(i + 1));
            EXPECT_EQ(perform(h, sc.before[i], add), 0u);
            apply(model, sc.before[i], add, add.size());
        }
        const std::vector<Frame> add = new_frames(sc.codec, sc.op.n, 50000);
        EditModel done = model;
        apply(done, sc.op, add, add.size());

        if (nth >= 0) KVXPosixSetFileFault(kind, nth, 1);
        const uint32_t result = perform(h, sc.op, add);
        const long failed = nth >= 0 ? KVXPosixSetFileFault(kind, -1, 0) : 0;

        const std::vector<Frame> got = walked();
        if (nth < 0 || failed == 0) {
            EXPECT_TRUE(got == done.frames) << "without a fault";
        }
        EXPECT_EQ(edit::check_tree(), "");
        expect_own_files(folder_);
        EditModel now = model;
        if (got == done.frames) {
            now = done;
            if (kind != KVX_FAULT_DELETE || failed == 0) {
                EXPECT_EQ(result, 0u) << "done, yet a failure reported";
            }
        } else if (got == model.frames) {
            EXPECT_NE(result, 0u) << "nothing done, yet no failure reported";
        } else {
            // A recording cut short: its first m frames, as many as reached the disk.
            size_t m = 0;
            EditModel probe = model;
            const uint32_t split = probe.insert(sc.op.a, {});
            size_t at = 0;
            while (at < model.frames.size() && model.start_of(at) < split) ++at;
            while (m < add.size() && at + m < got.size() && got[at + m] == add[m]) ++m;
            apply(now, sc.op, add, m);
            const size_t next = at + m;
            EXPECT_TRUE(sc.op.kind != 'e' && m < add.size() && got == now.frames)
                << "the audio is neither before nor after the operation nor a part of the recording: " << got.size()
                << " frames walked, " << model.frames.size() << " before, " << done.frames.size() << " after; " << m
                << " new frames at " << split << " ms, then "
                << (next >= got.size()         ? std::string("nothing")
                    : got[next].codec == 0xEE ? std::string("a frame cut off")
                                              : "a frame of " + std::to_string(got[next].bytes.size()) + " bytes");
            EXPECT_NE(result, 0u);
            if (got != now.frames) now.frames = got;
        }

        // The session goes on: one more insert, against the state found.
        const std::vector<Frame> more = new_frames(sc.codec, 5, 90000);
        const Step again{'i', std::min<uint32_t>(1000, now.length()), 0, 5};
        EXPECT_EQ(perform(h, again, more), 0u);
        apply(now, again, more, more.size());
        EXPECT_TRUE(walked() == now.frames) << "the insert after the fault";
        EXPECT_EQ(edit::check_tree(), "");

        EXPECT_EQ(edit::discard_session(h), 0u);
        EXPECT_EQ(session_named(folder_), std::vector<std::string>()) << "left after the discard";
        EXPECT_EQ(changed(foreign, foreign_files(folder_)), "") << "files the session did not make were changed";
        fs::remove(target);
        return failed;
    }

    const std::string folder_ = ::testing::TempDir() + "faults/";
    struct Generated {
        Bytes bytes;
        std::vector<Frame> frames;
    };
    std::map<const Scenario *, Generated> generated_;  // each scenario's file, made once
};

TEST_F(Faults, EveryFailingCallLeavesTheChangeWholeOrUndone)
{
    for (const Scenario &sc : kScenarios) {
        SCOPED_TRACE(sc.name);
        {
            SCOPED_TRACE("no fault");
            run(sc, KVX_FAULT_READ, -1);
        }
        for (const auto &fault : kFaults) {
            long nth = 0;
            for (; nth < 64; ++nth) {
                std::ostringstream trace;
                trace << sc.name << ": " << fault.name << " fault at call " << nth;
                SCOPED_TRACE(trace.str());
                if (run(sc, fault.kind, nth) == 0 || ::testing::Test::HasFatalFailure()) break;
            }
            EXPECT_LT(nth, 64) << fault.name;
        }
    }
}

// A short write leaves a file cut back to its last whole block: the
// segment's file that the tree keeps, and every file the session holds.
TEST_F(Faults, ShortWritesKeepWholeBlocks)
{
    const std::vector<Frame> add = new_frames(0, 60, 300);
    for (const bool fresh : {true, false}) {
        for (long nth = 0, failed = 1; failed != 0 && nth < 64 && !HasFailure(); ++nth) {
            SCOPED_TRACE((fresh ? "new file, short write at call " : "edited file, short write at call ") +
                         std::to_string(nth));
            const std::string target = folder_ + (fresh ? "short-new.kvx" : "short.kvx");
            if (!fresh) {
                kvxgen::File file;
                file.segments = {kvxgen::random_segment(0, 7000, 3)};
                kvxgen::write(target, kvxgen::build(file));
            }
            uint32_t r = 99;
            WriteHandle *h = KVXCreateFile(target.c_str(), fresh ? 0 : 1, &r);
            ASSERT_NE(h, nullptr) << r;
            KVXPosixSetFileFault(KVX_FAULT_SHORT_WRITE, nth, 1);
            record(h, 100000, true, add);
            failed = KVXPosixSetFileFault(KVX_FAULT_SHORT_WRITE, -1, 0);
            EXPECT_EQ(edit::check_tree(), "");
            expect_own_files(folder_);
            EXPECT_EQ(edit::discard_session(h), 0u);
            fs::remove(target);
        }
    }
}

// ---- other sessions, other folders, other files -------------------------

std::string cwd()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

// A new recording by relative name, in turns with another process that does
// the same in the same folder; `in` and `out` pass the turn.
void record_in_turns(int role, int in, int out)
{
    char token = 0;
    uint32_t r = 99;
    const std::string name = role == 0 ? "first.kvx" : "second.kvx";
    WriteHandle *h = KVXCreateFile(name.c_str(), 0, &r);
    ASSERT_EQ(r, 0u);
    ASSERT_NE(h, nullptr);
    EditModel model;
    const uint8_t codec = role == 0 ? 0 : 2;
    const Step steps[] = {{'i', 0, 0, 30}, {'i', 200, 0, 30}, {'o', 0, 0, 10}, {'e', 100, 400, 0}, {'i', 5000, 0, 40}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (role == 1 || i != 0) {
            ASSERT_EQ(read(in, &token, 1), 1);
        }
        const uint32_t seed = 7000 * (role + 1) + 100 * static_cast<uint32_t>(i);
        const std::vector<Frame> add = new_frames(codec, steps[i].n, seed);
        EXPECT_EQ(perform(h, steps[i], add), 0u);
        apply(model, steps[i], add, add.size());
        EXPECT_EQ(write(out, &token, 1), 1);
    }
    if (role == 0) {
        ASSERT_EQ(read(in, &token, 1), 1);
    }
    EXPECT_TRUE(walked() == model.frames) << "process " << role << " sees audio not its own";
    EXPECT_EQ(edit::check_tree(), "");
    const std::string own = cwd() + "/~kvx" + std::to_string(getpid()) + "-";
    for (const std::string &path : edit::session_files()) EXPECT_EQ(path.rfind(own, 0), 0u) << path;
    EXPECT_EQ(edit::discard_session(h), 0u);
}

TEST(EditSessions, TwoProcessesRecordInOneFolder)
{
    const std::string folder = ::testing::TempDir() + "shared";
    fs::create_directories(folder);
    const std::string home = cwd();
    ASSERT_EQ(chdir(folder.c_str()), 0);
    int down[2], up[2];
    ASSERT_EQ(pipe(down), 0);
    ASSERT_EQ(pipe(up), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(down[1]);
        close(up[0]);
        record_in_turns(1, down[0], up[1]);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    close(down[0]);  // each side holds only its own ends: a side that stops ends the other's read
    close(up[1]);
    record_in_turns(0, up[0], down[1]);
    close(down[1]);
    close(up[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process failed";
    EXPECT_EQ(session_named(folder), std::vector<std::string>());
    ASSERT_EQ(chdir(home.c_str()), 0);
}

// The session's folder is fixed when it opens: a new current directory
// changes nothing, and a discard removes everything from the first one.
TEST(EditSessions, CurrentDirectoryChangesNothing)
{
    const std::string a = ::testing::TempDir() + "cwd-a", b = ::testing::TempDir() + "cwd-b";
    fs::create_directories(a);
    fs::create_directories(b);
    const std::string home = cwd();
    ASSERT_EQ(chdir(a.c_str()), 0);
    uint32_t r = 99;
    WriteHandle *h = KVXCreateFile("rec.kvx", 0, &r);
    ASSERT_NE(h, nullptr);
    EditModel model;
    const Step steps[] = {{'i', 0, 0, 50}, {'i', 480, 0, 20}, {'o', 240, 0, 20}, {'e', 0, 300, 0}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (i == 1) {
            ASSERT_EQ(chdir(b.c_str()), 0);
        }
        const std::vector<Frame> add = new_frames(0, steps[i].n, 300 * static_cast<uint32_t>(i));
        EXPECT_EQ(perform(h, steps[i], add), 0u) << "step " << i;
        apply(model, steps[i], add, add.size());
    }
    EXPECT_TRUE(walked() == model.frames);
    EXPECT_EQ(edit::session_folder(), a + "/");
    for (const std::string &path : edit::session_files()) EXPECT_EQ(path.rfind(a + "/~kvx", 0), 0u) << path;
    EXPECT_TRUE(fs::is_empty(b));
    EXPECT_EQ(edit::discard_session(h), 0u);
    EXPECT_EQ(session_named(a), std::vector<std::string>());
    EXPECT_TRUE(fs::is_empty(b));
    ASSERT_EQ(chdir(home.c_str()), 0);
}

// Files of the names a session uses, in its folder and in the current
// directory, made by someone else: a whole session and its discard leave
// them as they are, even those carrying the very name the session would
// give its next file.
TEST(EditSessions, FilesItDidNotMakeSurvive)
{
    const std::string folder = ::testing::TempDir() + "target/", here = ::testing::TempDir() + "here/";
    fs::create_directories(folder);
    fs::create_directories(here);
    const std::string home = cwd();
    ASSERT_EQ(chdir(here.c_str()), 0);
    for (const std::string &dir : {folder, here})
        for (const char *name : {"0.tmp", "new.tmp", "kvxedit.tmp"}) kvxgen::write(dir + name, Bytes(600, 0x5A));

    // The session's names: "~kvx<pid>-<n>-" with n counting the sessions.
    uint32_t r = 99;
    WriteHandle *h = KVXCreateFile((folder + "probe.kvx").c_str(), 0, &r);
    ASSERT_NE(h, nullptr);
    const std::string work = edit::session_files().at(0);
    ASSERT_EQ(edit::discard_session(h), 0u);
    ASSERT_EQ(work.compare(work.size() - 8, 8, "-new.tmp"), 0) << work;
    const size_t dash = work.size() - 8;
    const size_t number = work.rfind('-', dash - 1) + 1;
    const unsigned long serial = std::stoul(work.substr(number, dash - number));
    const std::string next = work.substr(0, number) + std::to_string(serial + 1) + "-";
    kvxgen::write(next + "0.tmp", Bytes(512, 0x33));
    kvxgen::write(next + "0.0.tmp", Bytes(512, 0x34));

    kvxgen::File file;
    file.segments = {kvxgen::random_segment(1, 3000, 5)};
    kvxgen::Layout layout;
    const Bytes original = kvxgen::build(file, &layout);
    kvxgen::write(folder + "edited.kvx", original);
    EditModel model;
    for (const kvxgen::FrameInfo &f : layout.frames) model.frames.push_back({f.bytes, f.codecByte, f.durationMs});
    const std::map<std::string, Bytes> there = foreign_files(folder), cwdFiles = foreign_files(here);
    const std::vector<std::string> planted = session_named(folder);
    std::map<std::string, Bytes> plantedBytes;
    for (const std::string &path : planted) plantedBytes[path] = read_whole(path);

    h = KVXCreateFile((folder + "edited.kvx").c_str(), 1, &r);
    ASSERT_NE(h, nullptr) << r;
    const Step steps[] = {{'i', 1000, 0, 30}, {'i', 1500, 0, 30}, {'o', 500, 0, 50}, {'e', 2000, 30000, 0}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const std::vector<Frame> add = new_frames(0, steps[i].n, 400 * static_cast<uint32_t>(i));
        EXPECT_EQ(perform(h, steps[i], add), 0u) << "step " << i;
        apply(model, steps[i], add, add.size());
    }
    EXPECT_TRUE(walked() == model.frames);
    for (const std::string &path : edit::session_files())
        EXPECT_EQ(plantedBytes.count(path), 0u) << "the session holds " << path << " as its own";
    EXPECT_EQ(edit::discard_session(h), 0u);
    EXPECT_EQ(session_named(folder), planted);
    for (const auto &[path, bytes] : plantedBytes) EXPECT_TRUE(read_whole(path) == bytes) << path;
    EXPECT_EQ(changed(there, foreign_files(folder)), "");
    EXPECT_EQ(changed(cwdFiles, foreign_files(here)), "");
    EXPECT_EQ(session_named(here), std::vector<std::string>());
    ASSERT_EQ(chdir(home.c_str()), 0);
}

} // namespace
#endif  // _WIN32
