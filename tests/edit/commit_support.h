// What the commit tests share: a session with the model of its audio
// beside it, and the check of a committed file against that model.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "edit/edit.h"
#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"

namespace commit {

namespace edit = kvx::edit;
namespace fs = std::filesystem;
using kvxgen::Bytes;
using kvxgen::EditModel;
using kvxgen::Frame;

inline Bytes read_whole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline uint32_t u32(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                                    uint32_t(b[at + 3]) << 24
                              : 0xDEADBEEFu;
}

inline std::string text(const Bytes &b, size_t at, size_t n)
{
    return at + n <= b.size() ? std::string(b.begin() + at, b.begin() + at + n) : std::string();
}

// Frames of the given codec byte, deterministic in the seed.
inline std::vector<Frame> new_frames(uint8_t mode, size_t n, uint32_t seed)
{
    std::vector<Frame> add;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t s = seed + static_cast<uint32_t>(i);
        add.push_back({mode >= 2 ? kvxgen::lp_active(s) : kvxgen::sp_full(s, true), mode, kvxgen::frame_ms(mode)});
    }
    return add;
}

// A generated file's audible frames.
inline std::vector<Frame> frames_of(const kvxgen::Layout &layout)
{
    std::vector<Frame> frames;
    for (const kvxgen::FrameInfo &f : layout.frames)
        if (!f.afterEnd) frames.push_back({f.bytes, f.codecByte, f.durationMs});
    return frames;
}

// A file of `chunks` chunks (0: a few blocks) of the codec, ending at a
// time of its own (the folder's database knows large files by length and
// end time).
inline kvxgen::File file_of(uint8_t codec, size_t chunks, uint32_t seed)
{
    const size_t avgBytes = codec == 0 ? 41 : codec == 1 ? 33 : 19;
    const size_t blocks = chunks == 0 ? 1 + seed % 60 : (chunks - 1) * kvxgen::kChunkBlocks + 1 + seed % 490;
    kvxgen::File f;
    f.segments = {kvxgen::random_segment(codec, std::max<size_t>(1, blocks * kvxgen::kBlockDataSize / avgBytes), seed)};
    f.tail = seed % 3 == 0 ? kvxgen::Tail::PadBlock : kvxgen::Tail::Short;
    char end[8];
    std::snprintf(end, sizeof end, "%02u%02u%02u", seed / 3600 % 24, seed / 60 % 60, seed % 60);
    f.header.endTime = end;
    return f;
}

// One write session and the model of its audio.  Operations go to both;
// the model changes only when the session reports success.
class Rec {
public:
    // kind 0: a new recording at `path` in codec `mode`; otherwise the
    // generated file is written to `path` and edited (kind 1).
    Rec(const std::string &path, const kvxgen::File *file, uint8_t mode) : path(path), mode(mode)
    {
        if (file == nullptr) {
            open(0);
            return;
        }
        kvxgen::Layout layout;
        original = kvxgen::build(*file, &layout);
        model.frames = frames_of(layout);
        kvxgen::write(path, original);
        open(1);
    }
    // The file of the given bytes and frames, edited.
    Rec(const std::string &path, const Bytes &bytes, const std::vector<Frame> &frames)
        : path(path), original(bytes)
    {
        model.frames = frames;
        kvxgen::write(path, original);
        open(1);
    }
    ~Rec()
    {
        if (h != nullptr && edit::session_open()) edit::discard_session(h);
    }
    Rec(const Rec &) = delete;
    Rec &operator=(const Rec &) = delete;

    uint32_t write(uint32_t at, bool insert, size_t n)
    {
        const std::vector<Frame> add = new_frames(mode, n, serial_);
        serial_ += static_cast<uint32_t>(n);
        uint8_t given = mode;
        uint32_t r = KVXSetWritePointer(h, at, &given, insert ? 1 : 0, 0);
        WriteStatus status{};
        for (size_t i = 0; r == 0 && i < n; ++i) r = KVXWriteFile(h, add[i].bytes.data(), i + 1 == n, &status);
        if (r == 0) insert ? model.insert(at, add) : model.overwrite(at, add);
        EXPECT_EQ(r, 0u) << (insert ? "insert " : "overwrite ") << n << " at " << at;
        return r;
    }
    uint32_t erase(uint32_t a, uint32_t b)
    {
        uint32_t ignored = 0;
        const uint32_t want = EditModel(model).erase(a, b, &ignored);
        EraseResult out{};
        const uint32_t r = KVXPartialErase(h, a, b, &out);
        EXPECT_EQ(r, want) << "erase " << a << ".." << b;
        if (r == 0) model.erase(a, b, &ignored);
        return r;
    }
    uint32_t mark(uint32_t ms)
    {
        const uint32_t want = EditModel(model).add_mark(ms);
        const uint32_t r = KVXWriteExtIndexMark(static_cast<int32_t>(ms));
        EXPECT_EQ(r, want) << "mark " << ms;
        if (r == 0) model.add_mark(ms);
        return r;
    }
    // Commits; the local times around it bound the end time written.
    uint32_t close(const char *name, uint32_t flags, bool ex = true)
    {
        before = std::time(nullptr);
        const uint32_t r = ex ? KVXCloseFileEx(h, name, flags) : KVXCloseFile(h, name);
        after = std::time(nullptr);
        return r;
    }

    std::string path;
    uint8_t mode;
    WriteHandle *h = nullptr;
    EditModel model;
    Bytes original;  // the edited file as generated; empty for a new recording
    std::time_t before = 0, after = 0;

private:
    void open(uint32_t kind)
    {
        if (kind != 0) mode = model.frames.empty() || model.frames[0].codec < 2 ? 0 : 2;
        uint32_t r = 99;
        h = KVXCreateFile(path.c_str(), kind, &r);
        EXPECT_EQ(r, 0u);
        EXPECT_NE(h, nullptr);
    }
    uint32_t serial_ = 0x7000;
};

inline std::string digits(const std::tm &t, bool date)
{
    char b[40];
    if (date) std::snprintf(b, sizeof b, "%02d%02d%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday);
    else std::snprintf(b, sizeof b, "%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return b;
}

// The marks the library itself places on the committed audio: a copy with
// its mark tables cleared gets the model's marks one by one.  Returns the
// copy's header (its first 1,024 bytes).
inline Bytes marks_placed_by_library(const Bytes &committed, const std::vector<uint32_t> &marks)
{
    const std::string copy = ::testing::TempDir() + "marks-oracle.kvx";
    Bytes b = committed;
    std::memset(b.data() + 86, 0xFF, 48);
    std::memset(b.data() + 516, 0xFF, 160);
    kvxgen::write(copy, b);
    uint32_t ms = 0;
    uint16_t flags = 0;
    EXPECT_EQ(KVXActiveFile2(copy.c_str(), &ms, &flags), 0u);
    for (uint32_t m : marks) EXPECT_EQ(KVXWriteExtIndexMark(static_cast<int32_t>(m)), 0u) << m;
    Bytes header = read_whole(copy);
    header.resize(1024);
    fs::remove(copy);
    return header;
}

// The committed file against the model: two header blocks, lock open,
// lengths, end time within the commit, marks, and its frames byte for byte;
// opened, the library reports the model's length and marks.  A close that
// wrote only the header leaves the audio's blocks and the end time alone.
inline void expect_committed(const std::string &path, const Rec &rec, bool headerOnly = false)
{
    const EditModel &model = rec.model;
    const Bytes f = read_whole(path);
    ASSERT_GE(f.size(), 1024u) << path;
    EXPECT_EQ(f[0], 2) << "header blocks";
    EXPECT_EQ(text(f, 1, 3), "kvx");
    if (!headerOnly) {
        EXPECT_EQ((f.size() - 1024) % kvxgen::kBlockSize, 0u) << "whole blocks: " << f.size();
    }
    EXPECT_EQ(f[68], 0xFF) << "lock";
    const uint32_t length = model.length();
    EXPECT_EQ(u32(f, 134), length);
    EXPECT_EQ(u32(f, 512), length);
    EXPECT_EQ(text(f, 62, 6), kvxgen::hhmmss(length));
    bool timeOk = headerOnly && text(f, 50, 12) == text(rec.original, 50, 12);
    // A second either side: the library reads the system's clock, the test
    // the C library's, which may round the same instant apart (Wine).
    for (std::time_t t = rec.before - 1; t <= rec.after + 1 && !timeOk && !headerOnly; ++t) {
        const std::tm local = *std::localtime(&t);
        timeOk = text(f, 50, 6) == digits(local, true) && text(f, 56, 6) == digits(local, false);
    }
    EXPECT_TRUE(timeOk) << "end date/time " << text(f, 50, 6) << " " << text(f, 56, 6);
    for (size_t i = 0; i < 16; ++i) {
        const uint32_t ms = u32(f, 516 + 10 * i + 6);
        EXPECT_EQ(ms, i < model.marks.size() ? model.marks[i] : 0xFFFFFFFFu) << "extended mark " << i;
        if (i >= model.marks.size()) {
            EXPECT_EQ(u32(f, 516 + 10 * i), 0xFFFFFFFFu) << "empty mark slot " << i;
        }
    }
    const kvxgen::BlockFrames got = kvxgen::read_file(f);
    EXPECT_TRUE(got.clean);
    size_t i = 0;
    while (i < got.frames.size() && i < model.frames.size() && got.frames[i] == model.frames[i]) ++i;
    EXPECT_TRUE(i == got.frames.size() && i == model.frames.size())
        << "frames differ from frame " << i << ": " << got.frames.size() << " in the file, " << model.frames.size()
        << " in the model";
    if (!model.marks.empty()) {
        const Bytes placed = marks_placed_by_library(f, model.marks);
        EXPECT_TRUE(std::equal(placed.begin() + 516, placed.begin() + 676, f.begin() + 516)) << "extended marks' places";
        EXPECT_TRUE(std::equal(placed.begin() + 86, placed.begin() + 134, f.begin() + 86)) << "short marks";
    }
    uint32_t ms = 0;
    uint16_t flags = 0;
    ASSERT_EQ(KVXActiveFile2(path.c_str(), &ms, &flags), 0u);
    EXPECT_EQ(ms, length);
    uint32_t positions[16], count = 99;
    ASSERT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
    EXPECT_EQ(std::vector<uint32_t>(positions, positions + std::min<uint32_t>(count, 16)), model.marks);
}

// Files of the folder whose names begin with the session's "~kvx".
inline std::vector<std::string> session_named(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("~kvx", 0) == 0) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace commit
