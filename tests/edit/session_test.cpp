// The write session's calls at their edges: opening and refusing sessions,
// handles, positions past the end, where writing goes on after an erase,
// the marks of a file without extended marks, the length limit, and the
// session's own files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "edit/edit.h"
#include "kvx.h"
#include "kvx_frames.h"
#include "kvx_gen.h"

namespace edit = kvx::edit;
namespace fs = std::filesystem;
using kvxgen::Bytes;

namespace {

std::string temp(const std::string &name)
{
    const char *dir = std::getenv("TEST_TMPDIR");
    const char *win = std::getenv("TEMP");
    fs::path base = dir != nullptr ? fs::path(dir) : win != nullptr ? fs::path(win) : fs::temp_directory_path();
    return (base / name).string();
}

// An SP file of `frames` frames (24 ms each), marks as given.
std::string sp_file(const std::string &name, size_t frames, std::vector<uint32_t> marks = {}, int header_blocks = 2)
{
    kvxgen::File file;
    file.header.blocks = header_blocks;
    if (header_blocks == 1) file.header.extendedMark = 0; // stays one block: nothing converts it
    file.segments.push_back(kvxgen::random_segment(0, frames, 7));
    for (size_t i = 0; i < marks.size(); ++i) file.header.extMarks[i].ms = marks[i];
    const std::string path = temp(name);
    kvxgen::write(path, kvxgen::build(file));
    return path;
}

bool collect(const uint8_t *block, void *user)
{
    static_cast<Bytes *>(user)->insert(static_cast<Bytes *>(user)->end(), block, block + 512);
    return true;
}

size_t walked_frames()
{
    Bytes blocks;
    EXPECT_EQ(edit::walk(collect, &blocks), 0u);
    return kvxgen::read_blocks(blocks.data(), blocks.size() / 512).frames.size();
}

// Writes n SP frames as one segment; returns the last call's result.
uint32_t record(WriteHandle *h, size_t n, WriteStatus *status = nullptr)
{
    uint32_t result = 0;
    for (size_t i = 0; i < n && result == 0; ++i) {
        const Bytes frame = kvxgen::sp_full(static_cast<uint32_t>(i), false);
        result = KVXWriteFile(h, frame.data(), i + 1 == n ? 1 : 0, status);
    }
    return result;
}

struct Session {
    WriteHandle *h = nullptr;
    uint32_t result = 0;
    Session(const std::string &path, uint32_t kind) { h = KVXCreateFile(path.c_str(), kind, &result); }
    ~Session()
    {
        if (h != nullptr) edit::discard_session(h);
    }
};

std::vector<uint32_t> marks()
{
    uint32_t positions[16], count = 0;
    EXPECT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
    return std::vector<uint32_t>(positions, positions + count);
}

TEST(WriteSession, OpeningAndRefusing)
{
    const std::string a = sp_file("open-a.kvx", 100);
    {
        Session first(a, 1);
        ASSERT_NE(first.h, nullptr) << first.result;
        uint32_t result = 0;
        EXPECT_EQ(KVXCreateFile(a.c_str(), 1, &result), nullptr);
        EXPECT_EQ(result, 523u);
        EXPECT_EQ(KVXCreateFile(a.c_str(), 3, &result), nullptr);
        EXPECT_EQ(result, 0u); // another kind: no handle, no result
        uint8_t mode = 0;
        EXPECT_EQ(KVXSetWritePointer(first.h, 0, &mode, 1, 0), 0u); // the first session is untouched
        EXPECT_EQ(edit::length_ms(), 2400u);
    }
    uint32_t result = 0;
    EXPECT_EQ(KVXCreateFile("", 0, &result), nullptr);
    EXPECT_EQ(result, 516u);
    const std::string longName = temp(std::string(300, 'x') + ".kvx");
    EXPECT_EQ(KVXCreateFile(longName.c_str(), 0, &result), nullptr);
    EXPECT_EQ(result, 522u);

    // A file whose opening failed is not edited: a KVX file would be
    // committed over it.
    const std::string notes = temp("notes.wav");
    std::ofstream(notes) << std::string(2048, 'R');
    uint32_t ms = 0;
    uint16_t flags = 0;
    ASSERT_EQ(KVXActiveFile2(notes.c_str(), &ms, &flags), 7u);
    EXPECT_EQ(KVXCreateFile(notes.c_str(), 2, &result), nullptr);
    EXPECT_EQ(result, 7u);
    EXPECT_EQ(KVXCreateFile(notes.c_str(), 1, &result), nullptr);
    EXPECT_EQ(result, 7u);
    // None of the failures kept a space reservation or any other file.
    for (const auto &entry : fs::directory_iterator(fs::path(a).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find("~kvx"), std::string::npos) << entry.path();
    Session again(a, 1);
    EXPECT_NE(again.h, nullptr) << again.result;
}

TEST(WriteSession, HandlesAndCallOrder)
{
    const std::string a = sp_file("handles.kvx", 100);
    WriteHandle *old = nullptr;
    {
        Session s(a, 1);
        ASSERT_NE(s.h, nullptr);
        old = s.h;
        const Bytes frame = kvxgen::sp_full(1, false);
        EXPECT_EQ(KVXWriteFile(s.h, frame.data(), 0, nullptr), 514u); // no write pointer yet
        WriteHandle *foreign = reinterpret_cast<WriteHandle *>(const_cast<Bytes *>(&frame));
        EXPECT_EQ(KVXWriteFile(foreign, frame.data(), 0, nullptr), 512u);
        uint8_t mode = 7;
        ASSERT_EQ(KVXSetWritePointer(s.h, 1000, &mode, 1, 0), 0u);
        EXPECT_EQ(mode, 0); // an SP file is edited in SP
        EXPECT_EQ(KVXWriteFile(s.h, frame.data(), 0, nullptr), 0u); // no status: tolerated
        EXPECT_EQ(KVXSetWritePointer(s.h, 0, &mode, 1, 0), 523u);   // a segment is recording
        EXPECT_EQ(KVXPartialErase(s.h, 0, 100, nullptr), 523u);
        WriteStatus status{};
        EXPECT_EQ(KVXWriteFile(s.h, frame.data(), 2, &status), 0u); // 2 ends the segment as 1 does
        EXPECT_EQ(status.length, 2448u);
        EXPECT_EQ(KVXSetWritePointer(s.h, 0, &mode, 1, 0), 0u);
    }
    // Sessions come and go; the old handle never becomes valid again.
    for (int i = 0; i < 20; ++i) {
        Session s(a, 1);
        ASSERT_NE(s.h, nullptr);
        uint8_t mode = 0;
        EXPECT_EQ(KVXSetWritePointer(old, 0, &mode, 1, 0), 512u);
        EXPECT_EQ(edit::discard_session(old), 512u);
    }
}

TEST(WriteSession, NewRecordingInTheTargetFolder)
{
    // A bare name: the session's files go to the current directory as an
    // absolute folder, and stay there when the directory changes.
    const fs::path here = fs::current_path();
    const fs::path dir = temp("bare");
    fs::create_directories(dir);
    fs::current_path(dir);
    std::ofstream(dir / "0.tmp") << "mine";
    std::ofstream(dir / "new.tmp") << "mine too";
    {
        Session s("take.kvx", 0);
        ASSERT_NE(s.h, nullptr) << s.result;
        fs::current_path(here);
        EXPECT_EQ(fs::path(edit::session_folder()), dir / "");
        uint8_t mode = 0;
        ASSERT_EQ(KVXSetWritePointer(s.h, 5000, &mode, 1, 0), 0u);
        WriteStatus status{};
        ASSERT_EQ(record(s.h, 30, &status), 0u);
        EXPECT_EQ(status.length, 720u);
        EXPECT_EQ(walked_frames(), 30u);
        for (const std::string &file : edit::session_files()) {
            EXPECT_EQ(fs::path(file).parent_path(), dir);
            EXPECT_EQ(fs::path(file).filename().string().rfind("~kvx", 0), 0u) << file;
        }
    }
    std::string content;
    std::getline(std::ifstream(dir / "0.tmp"), content);
    EXPECT_EQ(content, "mine");
    EXPECT_EQ(fs::file_size(dir / "new.tmp"), 8u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST(WriteSession, ErasePositions)
{
    const std::string a = sp_file("erase.kvx", 1000, {5000, 10008, 20000}); // 24,000 ms
    Session s(a, 1);
    ASSERT_NE(s.h, nullptr);
    EraseResult out{};
    EXPECT_EQ(KVXPartialErase(s.h, 10, 10, &out), 518u);
    EXPECT_EQ(KVXPartialErase(s.h, 30000, 40000, &out), 518u); // starts past the end
    EXPECT_EQ(edit::length_ms(), 24000u);

    // A write pointer behind the stretch moves back with the audio.
    uint8_t mode = 0;
    ASSERT_EQ(KVXSetWritePointer(s.h, 12000, &mode, 1, 0), 0u);
    ASSERT_EQ(KVXPartialErase(s.h, 1000, 3000, &out), 0u);
    EXPECT_EQ(out.position, 984u); // on a frame's start
    EXPECT_EQ(out.length, 24000u - 2016u);
    EXPECT_EQ(marks(), (std::vector<uint32_t>{2984, 7992, 17984}));
    WriteStatus status{};
    const Bytes frame = kvxgen::sp_full(9, false);
    ASSERT_EQ(KVXWriteFile(s.h, frame.data(), 1, &status), 0u);
    EXPECT_EQ(status.position, 12000u - 2016u + 24u);

    // A pointer inside the stretch goes to its start; a mark exactly at the
    // stretch's end keeps its place.
    ASSERT_EQ(KVXSetWritePointer(s.h, 6000, &mode, 1, 0), 0u);
    ASSERT_EQ(KVXPartialErase(s.h, 4992, 7992, &out), 0u);
    EXPECT_EQ(marks(), (std::vector<uint32_t>{2984, 7992, 15008}));
    ASSERT_EQ(KVXWriteFile(s.h, frame.data(), 1, &status), 0u);
    EXPECT_EQ(status.position, 4992u + 24u);

    // Erasing past the end cuts at the length; everything erased leaves an
    // empty file whose next recording starts at 0.
    ASSERT_EQ(KVXPartialErase(s.h, 0, 0xFFFFFFFFu, &out), 0u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(walked_frames(), 0u);
    EXPECT_TRUE(edit::session_files().empty());
    EXPECT_TRUE(marks().empty());
    ASSERT_EQ(KVXSetWritePointer(s.h, 5000, &mode, 0, 0), 0u);
    ASSERT_EQ(record(s.h, 3, &status), 0u);
    EXPECT_EQ(status.length, 72u);
    EXPECT_EQ(walked_frames(), 3u);
    EXPECT_EQ(edit::check_tree(), "");
}

TEST(WriteSession, MarksOfTheEditedFileOnly)
{
    // A file with extended marks, then one with short marks alone: the
    // second session's marks are its own.
    const std::string a = sp_file("marks-a.kvx", 1000, {1000, 2000, 3000});
    kvxgen::File file;
    file.header.blocks = 1;
    file.segments.push_back(kvxgen::random_segment(0, 1000, 3));
    file.header.shortMarks[0] = {11, 0}; // block 11, frame 0
    const std::string b = temp("marks-b.kvx");
    kvxgen::Layout layout;
    kvxgen::write(b, kvxgen::build(file, &layout));
    uint32_t expected = 0;
    for (size_t i = 0; i < 10; ++i) expected += layout.blocks[i].frameCount * 24u;
    {
        Session s(a, 1);
        ASSERT_NE(s.h, nullptr);
        EXPECT_EQ(marks(), (std::vector<uint32_t>{1000, 2000, 3000}));
    }
    Session s(b, 1);
    ASSERT_NE(s.h, nullptr);
    EXPECT_EQ(marks(), (std::vector<uint32_t>{expected}));

    // Marks set while recording lie at the recording position.
    uint8_t mode = 0;
    ASSERT_EQ(KVXSetWritePointer(s.h, 24000, &mode, 1, 0), 0u);
    const Bytes frame = kvxgen::sp_full(1, false);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(KVXWriteFile(s.h, frame.data(), 0, nullptr), 0u);
    WriteStatus status{};
    ASSERT_EQ(KVXWriteFile(s.h, frame.data(), 0, &status), 0u);
    EXPECT_EQ(KVXWriteExtIndexMark(5), 0u);
    EXPECT_EQ(KVXWriteExtIndexMark(5), 525u); // within 1000 ms of the last
    EXPECT_EQ(marks(), (std::vector<uint32_t>{expected, status.position}));
    ASSERT_EQ(KVXWriteFile(s.h, frame.data(), 1, nullptr), 0u);
    EXPECT_EQ(marks().size(), 2u);
}

TEST(WriteSession, LengthLimit)
{
    // An LP file of SID frames just short of 359,999,000 ms: 126 frames of
    // 4 bytes a block, 3,780 ms.
    const uint32_t blocks = 359999000u / 3780u; // 95,237 blocks, 359,995,860 ms
    const std::string path = temp("limit.kvx");
    {
        kvxgen::File head;
        head.segments.push_back(kvxgen::Segment::audio(2, {kvxgen::lp_sid(1)}));
        Bytes bytes = kvxgen::build(head);
        bytes.resize(1024);
        uint8_t block[512];
        std::memset(block, 0, sizeof block);
        block[0] = 0x0F;
        block[1] = 0x03; // first frame at 6
        block[2] = 126;
        block[3] = 0xFF;
        block[4] = 2;
        block[5] = 0xFF;
        for (int f = 0; f < 126; ++f) block[6 + 4 * f] = 0x02;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), 1024);
        for (uint32_t b = 0; b < blocks; ++b) out.write(reinterpret_cast<const char *>(block), 512);
    }
    Session s(path, 1);
    ASSERT_NE(s.h, nullptr) << s.result;
    ASSERT_EQ(edit::length_ms(), blocks * 3780u);
    uint8_t mode = 0;
    ASSERT_EQ(KVXSetWritePointer(s.h, 0xFFFFFFFFu, &mode, 1, 0), 0u);
    ASSERT_EQ(mode, 2);
    const Bytes frame = kvxgen::lp_active(5);
    WriteStatus status{};
    uint32_t result = 0;
    int calls = 0;
    while (result == 0 && calls < 1000) {
        result = KVXWriteFile(s.h, frame.data(), 0, &status);
        ++calls;
    }
    EXPECT_EQ(result, 527u);
    // The block that passed the limit is kept whole, and the frame that
    // waited with it: every frame given is in the file.
    EXPECT_EQ(edit::length_ms(), blocks * 3780u + calls * 30u);
    EXPECT_GT(edit::length_ms(), 359999000u);
    EXPECT_EQ(KVXWriteFile(s.h, frame.data(), 0, &status), 527u); // no new segment
    Bytes walked;
    ASSERT_EQ(edit::walk(collect, &walked), 0u);
    const kvxgen::BlockFrames read = kvxgen::read_blocks(walked.data(), walked.size() / 512);
    EXPECT_TRUE(read.clean);
    ASSERT_EQ(read.frames.size(), blocks * 126u + calls);
    EXPECT_EQ(read.frames.back().bytes, frame);
    EXPECT_EQ(edit::check_tree(), "");
}

TEST(WriteSession, HeaderImage)
{
    // A new file's header: the template, today's date as start and end,
    // the codec mode chosen by the first write pointer.
    {
        Session s(temp("fresh.kvx"), 0);
        ASSERT_NE(s.h, nullptr);
        uint8_t mode = 2;
        ASSERT_EQ(KVXSetWritePointer(s.h, 0, &mode, 1, 0), 0u);
        const uint8_t *image = edit::header_image();
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(image), 4), std::string("\x02kvx"));
        EXPECT_EQ(image[138], 2);
        EXPECT_EQ(image[512 + 164], 2);
        EXPECT_EQ(image[512 + 280], 0xFF);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(image + 38), 6),
                  std::string(reinterpret_cast<const char *>(image + 50), 6));
        HeaderInfoEx info{};
        ASSERT_EQ(KVXGetHeaderInfoEx("ignored", &info), 0u);
        EXPECT_EQ(info.priority, 7);
    }
    // A one-block file: the image gets a second block; changes go to the
    // image only, and reach nothing on disk while the session is open.
    const std::string path = sp_file("one-block.kvx", 100, {}, 1);
    const Bytes before = [&] {
        std::ifstream f(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }();
    Session s(path, 1);
    ASSERT_NE(s.h, nullptr);
    const uint8_t *image = edit::header_image();
    EXPECT_EQ(image[0], 2);
    EXPECT_EQ(image[512 + 280], 0xFF);
    EXPECT_EQ(image[512 + 281], 0);
    HeaderInfoEx info{};
    std::memcpy(info.text1, "session title   ", 16);
    std::memcpy(info.text3, "second block    ", 16);
    ASSERT_EQ(KVXSetHeaderInfo(&info, KVX_FIELD_TEXT1 | KVX_FIELD_TEXT3), 0u);
    HeaderInfoEx read{};
    ASSERT_EQ(KVXGetHeaderInfoEx("ignored", &read), 0u);
    EXPECT_EQ(std::string(read.text1, 16), "session title   ");
    std::ifstream f(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()), before);
}

TEST(WriteSession, LevelMeter)
{
    for (uint8_t mode : {0, 2}) {
        Session s(temp(mode == 0 ? "level-sp.kvx" : "level-lp.kvx"), 0);
        ASSERT_NE(s.h, nullptr);
        uint8_t chosen = mode;
        ASSERT_EQ(KVXSetWritePointer(s.h, 0, &chosen, 1, 1), 0u);
        const Bytes silent(mode == 0 ? 41 : 24, 0);
        WriteStatus status{};
        ASSERT_EQ(KVXWriteFile(s.h, silent.data(), 0, &status), 0u);
        EXPECT_NEAR(status.level, 20.0 * std::log10(1.0 / 32768.0), 0.001); // the mean is at least 1
        const Bytes loud(silent.size(), 0x5A);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(KVXWriteFile(s.h, loud.data(), 0, &status), 0u);
        EXPECT_GT(status.level, -80.0f);
        EXPECT_LT(status.level, 0.0f);
        ASSERT_EQ(KVXWriteFile(s.h, loud.data(), 1, &status), 0u);
        ASSERT_EQ(KVXSetWritePointer(s.h, 0, &chosen, 1, 0), 0u); // meter off
        ASSERT_EQ(KVXWriteFile(s.h, loud.data(), 1, &status), 0u);
        EXPECT_EQ(status.level, 0.0f);
    }
}

} // namespace
