// Committing a write session: random edit sequences, each ended by a commit
// (in place, under another name, of a new recording, or kept open and
// committed again), the committed file checked against the model of the
// edited audio, byte for byte and decoded; then the close's edge cases.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "commit_support.h"
#include "core/state.h"
#ifndef _WIN32
#include "kvx_posix.h"
#include "kvx_progress.h"
#endif

using namespace commit;

namespace {

using Pcm = std::vector<int16_t>;

#ifndef _WIN32
LRESULT quiet_proc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
#endif

uint32_t g_word = 0;

// The file decoded to PCM, the SP decoder started as the first decoding of
// the process found it, so that equal frames decode alike.
Pcm decode(const std::string &path)
{
#ifdef _WIN32
    // Decoding to PCM opens no device, so no window is told anything.
    static HWND window = nullptr;
#else
    static HWND window = KVXPosixCreateWindow(quiet_proc, nullptr);
#endif
    static const kvx::SpDecoderState sp = kvx::g_sp;
    static const kvx::SpChannelState channel = kvx::g_spDecode;
    static const kvx::SpOutputState output = kvx::g_spOutput;
    static const uint32_t speed = kvx::g_speedCounter;
    Pcm pcm;
#ifndef _WIN32
    EXPECT_TRUE(KVXPosixSetWaveSink("capture"));
#endif
    EXPECT_EQ(KVXInitDecoder(window, &g_word), 0u);
    kvx::g_file.name[0] = '\0';
    uint32_t length = 0;
    EXPECT_EQ(KVXActiveFile(path.c_str(), &length, nullptr), 0u) << path;
    kvx::g_sp = sp, kvx::g_spDecode = channel, kvx::g_spOutput = output, kvx::g_speedCounter = speed;
    kvx::g_read.ringValid = false;
    g_word = KVX_CW_RESET | KVX_CW_NO_DEVICE;
    if (KVXStartDecoding(0) != 0) {
        ADD_FAILURE() << "KVXStartDecoding " << path;
        return pcm;
    }
    for (uint32_t codec = 9;;) {
        int16_t *frame = nullptr;
        if (KVXDecodeToPCM(&frame, &codec) == 0) break;
        if (frame != nullptr) pcm.insert(pcm.end(), frame, frame + (codec ? 240 : 264));
    }
    uint32_t stop = 0;
    KVXEndDecoding(&stop);
    return pcm;
}

// A file the generator builds of the model's frames, a segment for each
// run of one codec byte.
Bytes reference_file(const EditModel &model)
{
    kvxgen::File file;
    std::vector<Bytes> run;
    for (size_t i = 0; i <= model.frames.size(); ++i) {
        if (i == model.frames.size() || (i > 0 && model.frames[i].codec != model.frames[i - 1].codec)) {
            file.segments.push_back(kvxgen::Segment::audio(model.frames[i - 1].codec, std::move(run)));
            run.clear();
        }
        if (i < model.frames.size()) run.push_back(model.frames[i].bytes);
    }
    return kvxgen::build(file);
}

#ifdef _WIN32
// There the dialog is a real dialog box, and nothing reports whether it ran.
constexpr bool kDialogWatched = false;
#else
constexpr bool kDialogWatched = true;

struct Dialog {
    int opens = 0, closes = 0;
    unsigned result = 99;
};

void count_dialog(const KVXProgress *p, void *user)
{
    Dialog *d = static_cast<Dialog *>(user);
    d->opens += p->event == KVX_PROGRESS_OPEN;
    d->closes += p->event == KVX_PROGRESS_CLOSE;
    if (p->event == KVX_PROGRESS_CLOSE) d->result = p->result;
}
#endif

bool count_block(const uint8_t *, void *user)
{
    ++*static_cast<size_t *>(user);
    return true;
}

size_t walked_blocks()
{
    size_t n = 0;
    EXPECT_EQ(edit::walk(count_block, &n), 0u);
    return n;
}

// Closes with the dialog watched; *opened whether it showed (where it can
// be watched, kDialogWatched).
uint32_t close_watched(Rec &r, const char *name, uint32_t flags, bool *opened, bool ex = true)
{
#ifdef _WIN32
    *opened = false;
    return r.close(name, flags, ex);
#else
    Dialog d;
    KVXPosixSetProgressHook(count_dialog, &d);
    const uint32_t result = r.close(name, flags, ex);
    KVXPosixSetProgressHook(nullptr, nullptr);
    *opened = d.opens > 0;
    EXPECT_EQ(d.opens, d.closes);
    if (d.opens > 0) {
        EXPECT_EQ(d.result, result) << "the dialog's result";
    }
    return result;
#endif
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Commit : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder_); }
    void TearDown() override
    {
#ifndef _WIN32
        KVXPosixSetProgressHook(nullptr, nullptr);
#endif
        std::error_code error;
        fs::remove_all(folder_, error);
    }
    const std::string folder_ = ::testing::TempDir() + "commit/";
};

// A position on the audio worth trying: the ends, past the end, anywhere.
uint32_t pick(std::mt19937_64 &rng, const EditModel &m)
{
    const uint32_t length = m.length();
    switch (rng() % 6) {
    case 0: return 0;
    case 1: return length;
    case 2: return length + static_cast<uint32_t>(rng() % 3000);
    default: return length == 0 ? 0 : static_cast<uint32_t>(rng() % length);
    }
}

enum Way { kInPlace, kSaveAs, kNew, kKeepOpen };

size_t g_large = 0;  // sequences whose commit ran behind the dialog

void run_sequence(const std::string &folder, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    const Way way = static_cast<Way>(seed % 4);
    const uint8_t codec = static_cast<uint8_t>(rng() % 3);
    const uint32_t size = rng() % 100;
    const size_t chunks = size < 45 ? 0 : size < 80 ? 1 + rng() % 3 : size < 90 ? 4 + rng() % 5 : 11 + rng() % 3;
    std::ostringstream log;
    log << "seed " << seed << ", way " << way << ", codec " << int(codec) << ", " << chunks << " chunks";
    const std::string target = folder + "s" + std::to_string(seed) + ".kvx";
    const kvxgen::File file = file_of(codec, chunks, static_cast<uint32_t>(seed * 7919));
    Rec r(target, way == kNew ? nullptr : &file, codec >= 2 ? 2 : 0);
    ASSERT_NE(r.h, nullptr);
    if (way == kNew) {  // recorded to about the size the file would have had
        const size_t frames = chunks == 0 ? 1 + rng() % 300 : chunks * 6100 - rng() % 3000;
        r.write(0, rng() % 2 == 0, frames / (codec >= 2 ? 2 : 1));
    }
    auto edits = [&](size_t steps) {
        for (size_t step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
            const uint32_t op = rng() % 10;
            const uint32_t a = pick(rng, r.model);
            log << " |";
            if (op < 3) {
                const size_t n = 1 + rng() % (rng() % 4 == 0 ? 3000 : 200);
                log << " insert " << n << " at " << a;
                r.write(a, true, n);
            } else if (op < 5) {
                const size_t n = 1 + rng() % 400;
                log << " overwrite " << n << " at " << a;
                r.write(a, false, n);
            } else if (op < 8) {
                const uint32_t b = std::max(a, pick(rng, r.model));
                log << " erase " << a << ".." << b;
                r.erase(a, b);
            } else if (a < r.model.length()) {
                log << " mark " << a;
                r.mark(a);
            }
        }
    };
    edits(2 + rng() % 5);
    SCOPED_TRACE(log.str());
    if (::testing::Test::HasFailure()) return;

    const std::string saveAs = folder + "as" + std::to_string(seed) + ".kvx";
    const std::string out = way == kSaveAs ? saveAs : target;
    const bool large = (walked_blocks() + kvxgen::kChunkBlocks - 1) / kvxgen::kChunkBlocks >= 11;
    const char *const names[] = {"", nullptr, target.c_str()};
    const char *name = way == kSaveAs ? saveAs.c_str() : names[rng() % 3];
    bool dialog = false;
    ASSERT_EQ(close_watched(r, name, way == kKeepOpen ? 2 : 0, &dialog), 0u);
    if (kDialogWatched) {
        EXPECT_EQ(dialog, large) << "the progress dialog runs for 11 chunks and more";
    }
    g_large += large;
    if (way == kSaveAs) {
        EXPECT_TRUE(read_whole(target) == r.original) << "save-as changed the edited file";
    }
    if (way == kKeepOpen) {
        ASSERT_TRUE(edit::session_open());
        // Written, yet the next write needs a new pointer.
        const Bytes frame = r.mode >= 2 ? kvxgen::lp_active(1) : kvxgen::sp_full(1, true);
        WriteStatus status{};
        EXPECT_EQ(KVXWriteFile(r.h, frame.data(), 1, &status), 514u);
        const Bytes first = read_whole(target);
        EXPECT_TRUE(kvxgen::read_file(first).frames == r.model.frames) << "the first commit";
        log << " | commit, keep open";
        edits(1 + rng() % 3);
        ASSERT_EQ(r.close("", 0), 0u);
    }
    EXPECT_FALSE(edit::session_open());
    EXPECT_EQ(session_named(folder), std::vector<std::string>()) << "session files left";
    ASSERT_NO_FATAL_FAILURE(expect_committed(out, r));

    // Decoded, it is what the model's frames give.
    const std::string ref = folder + "reference.kvx";
    kvxgen::write(ref, reference_file(r.model));
    const Pcm want = decode(ref);
    const Pcm got = decode(out);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "decoded audio differs";
    fs::remove(ref);

    // A file of three chunks or more is known to the folder's database.
    const Bytes committed = read_whole(out);
    if (committed.size() >= 1024 + 2 * kvxgen::kChunkBytes + 1) {
        const Bytes key = [&] {
            Bytes k(committed.begin() + 62, committed.begin() + 68);
            k.insert(k.end(), committed.begin() + 50, committed.begin() + 62);
            return k;
        }();
        EXPECT_TRUE(contains(read_whole(folder + "KVXMANAGEMENT.DAT"), key)) << "not in the management file";
        uint32_t ms = 0;
        uint16_t flags = 0;
        kvx::g_file.name[0] = '\0';
        EXPECT_EQ(KVXActiveFile2(out.c_str(), &ms, &flags), 0u);
        EXPECT_EQ(ms, r.model.length());
    }
    fs::remove(target);
    fs::remove(saveAs);
}

// KVX_COMMIT_SEED=<n> runs one sequence; KVX_COMMIT_SEQUENCES how many.
TEST_F(Commit, RandomSequencesCommitTheModel)
{
    const char *one = std::getenv("KVX_COMMIT_SEED");
    const char *count = std::getenv("KVX_COMMIT_SEQUENCES");
    const uint64_t first = one != nullptr ? std::strtoull(one, nullptr, 10) : 1;
    const uint64_t n = one != nullptr ? 1 : count != nullptr ? std::strtoull(count, nullptr, 10) : 60;
    for (uint64_t seed = first; seed < first + n && !HasFailure(); ++seed) run_sequence(folder_, seed);
    std::printf("%zu of %llu commits behind the dialog\n", g_large, static_cast<unsigned long long>(n));
    if (n >= 60) {
        EXPECT_GE(g_large, 3u);
    }
}

// ---- edge cases -----------------------------------------------------------

TEST_F(Commit, WhatACloseWithoutAudioDoes)
{
    const kvxgen::File file = file_of(0, 0, 5);
    {
        SCOPED_TRACE("nothing written: the file stays, result 0");
        Rec r(folder_ + "same.kvx", &file, 0);
        ASSERT_EQ(r.close("", 0, false), 0u);
        EXPECT_TRUE(read_whole(r.path) == r.original);
        EXPECT_FALSE(edit::session_open());
    }
    {
        SCOPED_TRACE("save-as with nothing changed: a copy of the audio");
        Rec r(folder_ + "orig.kvx", &file, 0);
        ASSERT_EQ(r.close((folder_ + "copy.kvx").c_str(), 0), 0u);
        EXPECT_TRUE(read_whole(r.path) == r.original);
        expect_committed(folder_ + "copy.kvx", r);
    }
    {
        SCOPED_TRACE("a new recording never written: KVXCloseFile makes no file");
        Rec r(folder_ + "never.kvx", nullptr, 0);
        ASSERT_EQ(r.close("", 0, false), 0u);
        EXPECT_FALSE(fs::exists(r.path));
    }
    {
        SCOPED_TRACE("a new recording never written: KVXCloseFileEx makes a header");
        Rec r(folder_ + "empty.kvx", nullptr, 0);
        ASSERT_EQ(r.close("", 0), 0u);
        EXPECT_EQ(fs::file_size(r.path), 1024u);
        expect_committed(r.path, r);
    }
    {
        SCOPED_TRACE("discard: the file as it was, no session files");
        Rec r(folder_ + "discard.kvx", &file, 0);
        r.write(100, true, 50);
        r.erase(0, 500);
        ASSERT_EQ(r.close("", 1), 0u);
        EXPECT_TRUE(read_whole(r.path) == r.original);
        EXPECT_FALSE(edit::session_open());
        Rec n(folder_ + "discard-new.kvx", nullptr, 2);
        n.write(0, true, 80);
        ASSERT_EQ(n.close(nullptr, 1), 0u);
        EXPECT_FALSE(fs::exists(n.path));
    }
    EXPECT_EQ(session_named(folder_), std::vector<std::string>());
    // A foreign handle is refused, whatever the flags.
    Rec r(folder_ + "foreign.kvx", &file, 0);
    WriteHandle *other = reinterpret_cast<WriteHandle *>(&r);
    for (uint32_t flags : {0u, 1u, 2u}) EXPECT_EQ(KVXCloseFileEx(other, "", flags), 512u) << flags;
    EXPECT_EQ(KVXCloseFile(nullptr, ""), 512u);
    EXPECT_TRUE(edit::session_open());
}

// The result's size decides the dialog: 5,000 blocks (10 chunks) commit
// directly, 5,001 behind the dialog.  The file is sized so that an append
// of a few frames makes it so.
TEST_F(Commit, ElevenChunksRunBehindTheDialog)
{
    for (const size_t want : {size_t(5000), size_t(5001)}) {
        SCOPED_TRACE(std::to_string(want) + " blocks");
        size_t blocks = want - 3;  // in the file, before the append
        bool sized = false;
        for (int attempt = 0; attempt < 3 && !sized; ++attempt) {
            std::vector<Bytes> frames;  // 41-byte frames: 506 of them fill 41 blocks
            for (size_t k = 0; k < blocks * kvxgen::kBlockDataSize / 41; ++k)
                frames.push_back(kvxgen::sp_full(static_cast<uint32_t>(k), true));
            kvxgen::File file;
            file.segments = {kvxgen::Segment::audio(0, std::move(frames))};
            file.header.endTime = want == 5000 ? "101010" : "111111";
            Rec r(folder_ + "dialog.kvx", &file, 0);
            r.write(r.model.length(), true, 30);
            const size_t got = walked_blocks();
            if (got != want) {
                blocks = blocks + want - got;
                continue;
            }
            bool dialog = false;
            ASSERT_EQ(close_watched(r, "", 0, &dialog), 0u);
            if (kDialogWatched) {
                EXPECT_EQ(dialog, want > 5000);
            }
            EXPECT_EQ(fs::file_size(r.path), 1024 + want * 512);
            expect_committed(r.path, r);
            sized = true;
        }
        EXPECT_TRUE(sized) << "no file of " << want << " blocks made";
    }
}

TEST_F(Commit, KeptOpenTheSessionNeedsANewWritePointer)
{
    const kvxgen::File file = file_of(2, 0, 9);
    Rec r(folder_ + "keep.kvx", &file, 2);
    r.write(300, true, 40);
    ASSERT_EQ(r.close("", 2), 0u);
    ASSERT_TRUE(edit::session_open());
    const Bytes frame = kvxgen::lp_active(3);
    WriteStatus status{};
    EXPECT_EQ(KVXWriteFile(r.h, frame.data(), 0, &status), 514u);
    EXPECT_TRUE(kvxgen::read_file(read_whole(r.path)).frames == r.model.frames);
    r.erase(0, 600);
    r.write(0, false, 10);
    // Marks where a block begins: they belong to it, not to the block before.
    Bytes blocks;
    ASSERT_EQ(edit::walk([](const uint8_t *b, void *u) {
        static_cast<Bytes *>(u)->insert(static_cast<Bytes *>(u)->end(), b, b + kvxgen::kBlockSize);
        return true;
    }, &blocks), 0u);
    const kvxgen::BlockFrames now = kvxgen::read_blocks(blocks.data(), blocks.size() / kvxgen::kBlockSize);
    r.mark(r.model.start_of(now.blockFirst.at(2)));
    r.mark(r.model.start_of(now.blockFirst.at(5)));
    ASSERT_EQ(r.close(nullptr, 0), 0u);
    expect_committed(r.path, r);
}

// Header blocks: a one-block file gets two; a change of header fields and
// marks alone writes the header and leaves the audio's bytes.
TEST_F(Commit, HeaderBlocks)
{
    kvxgen::File one = file_of(1, 0, 21);
    one.header.blocks = 1;
    one.header.extendedMark = 0;
    one.header.number = 4711;
    {
        Rec r(folder_ + "one.kvx", &one, 0);
        r.write(0, true, 5);
        HeaderInfoEx lock{};  // a lock set during the session: the committed file is open all the same
        ASSERT_EQ(KVXSetHeaderInfo(&lock, KVX_FIELD_LOCK), 0u);
        ASSERT_EQ(r.close("", 0), 0u);
        expect_committed(r.path, r);
        const Bytes f = read_whole(r.path);
        EXPECT_EQ(u32(f, 28), 4711u) << "the first block's fields kept";
        EXPECT_EQ(f.size(), 1024 + (kvxgen::read_file(f).blockFirst.size()) * 512);
    }
    kvxgen::File two = file_of(0, 1, 22);
    Rec r(folder_ + "two.kvx", &two, 0);
    HeaderInfoEx info{};
    info.number = 815;
    std::memcpy(info.text3, "header only", 11);
    ASSERT_EQ(KVXSetHeaderInfo(&info, KVX_FIELD_NUMBER | KVX_FIELD_TEXT3), 0u);
    r.mark(2000);
    r.mark(9000);
    ASSERT_EQ(r.close("", 0, false), 0u);
    const Bytes f = read_whole(r.path);
    ASSERT_EQ(f.size(), r.original.size());
    EXPECT_TRUE(std::equal(f.begin() + 1024, f.end(), r.original.begin() + 1024)) << "the audio untouched";
    EXPECT_EQ(u32(f, 28), 815u);
    EXPECT_EQ(text(f, 692, 11), "header only");
    expect_committed(r.path, r, true);
}

// A read-only or locked target refuses, and the session stays whole: a
// second close, once the cause is gone, commits.
TEST_F(Commit, RefusedTargetsKeepTheSession)
{
    const kvxgen::File file = file_of(0, 0, 31);
    {
        Rec r(folder_ + "ro.kvx", &file, 0);
        r.write(200, true, 30);
        const std::vector<std::string> held = edit::session_files();
        const auto writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        fs::permissions(r.path, writable, fs::perm_options::remove);  // the read-only attribute on Windows
        EXPECT_EQ(r.close("", 0), 8u);
        EXPECT_TRUE(read_whole(r.path) == r.original);
        EXPECT_TRUE(edit::session_open());
        EXPECT_EQ(edit::session_files(), held);
        for (const std::string &p : held) EXPECT_TRUE(fs::exists(p)) << p;
        fs::permissions(r.path, fs::perms::owner_write, fs::perm_options::add);
        ASSERT_EQ(r.close("", 0), 0u);
        expect_committed(r.path, r);
    }
    {
        // Locked on disk while the session ran: refused until it is unlocked.
        Rec r(folder_ + "locked.kvx", &file, 0);
        r.write(200, false, 30);
        Bytes locked = r.original;
        locked[68] = 0;
        kvxgen::write(r.path, locked);
        EXPECT_EQ(r.close("", 0), 80u);
        EXPECT_TRUE(read_whole(r.path) == locked);
        EXPECT_TRUE(edit::session_open());
        kvxgen::write(r.path, r.original);
        // Nor is another locked recording written over by a save.
        const std::string other = folder_ + "other-locked.kvx";
        kvxgen::write(other, locked);
        EXPECT_EQ(r.close(other.c_str(), 0), 80u);
        EXPECT_TRUE(read_whole(other) == locked);
        ASSERT_EQ(r.close("", 0), 0u);
        expect_committed(r.path, r);
    }
    EXPECT_EQ(session_named(folder_), std::vector<std::string>());
}

// Other spellings of the session's own file commit in place.
TEST_F(Commit, AnotherSpellingIsTheSameFile)
{
    const fs::path here = fs::current_path();
    fs::current_path(folder_);
    const kvxgen::File file = file_of(0, 0, 41);
    const std::string path = folder_ + "same.kvx";
    std::vector<std::string> spellings = {"same.kvx", "./same.kvx", folder_ + "./same.kvx", folder_ + "/same.kvx",
                                          "../commit/same.kvx"};
    std::vector<std::string> files = {"same.kvx"};
#ifndef _WIN32  // symbolic links need rights a Windows user seldom has
    fs::create_symlink("same.kvx", folder_ + "link.kvx");  // one file, another name
    spellings.push_back("link.kvx");
    files.insert(files.begin(), "link.kvx");
#endif
    for (const std::string &name : spellings) {
        SCOPED_TRACE(name);
        Rec r(path, &file, 0);
        r.write(100, true, 20);
        ASSERT_EQ(r.close(name.c_str(), 0), 0u);
        expect_committed(path, r);
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(folder_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        names.erase(std::remove(names.begin(), names.end(), "KVXMANAGEMENT.DAT"), names.end());
        EXPECT_EQ(names, files);
        EXPECT_TRUE(files.size() == 1 || fs::is_symlink(folder_ + "link.kvx"));
    }
    fs::current_path(here);
}

} // namespace
