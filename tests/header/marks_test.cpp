// Index marks: reading, sorting, spacing, limits, and damaged entries.
#include "header_fixture.h"

#include <cstring>
#include <vector>

namespace {

using kvxgen::Bytes;

class Marks : public HeaderFolder {
protected:
    // An SP file of `frames` full frames (41 bytes, so blocks of 12 or 13
    // frames) with the given short marks; opened.
    void make(size_t frames, std::vector<kvxgen::ShortMark> marks = {}, int blocks = 2)
    {
        kvxgen::File file;
        file.header.blocks = blocks;
        std::vector<Bytes> list;
        for (size_t i = 0; i < frames; ++i) list.push_back(kvxgen::sp_full(static_cast<uint32_t>(i), false));
        file.segments.push_back(kvxgen::Segment::audio(0, list));
        for (size_t i = 0; i < marks.size(); ++i) file.header.shortMarks[i] = marks[i];
        write("m.kvx", kvxgen::build(file, &layout_));
        ASSERT_EQ(open("m.kvx"), 0u);
    }
    uint32_t block_start(size_t block) const
    {
        uint32_t t = 0;
        for (size_t b = 0; b + 1 < block; ++b) t += layout_.blocks[b].frameCount * 24;
        return t;
    }
    std::vector<uint32_t> ext_marks()
    {
        uint32_t positions[16];
        uint32_t count = 0;
        EXPECT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
        return std::vector<uint32_t>(positions, positions + count);
    }
    std::vector<uint32_t> short_marks()
    {
        uint32_t positions[16];
        uint32_t count = 0;
        EXPECT_EQ(KVXGetIndexMark(positions, &count), 0u);
        for (uint32_t i = count; i < 16; ++i) EXPECT_EQ(positions[i], 0xFFFFFFFFu);
        return std::vector<uint32_t>(positions, positions + count);
    }
    kvxgen::Layout layout_;
};

TEST_F(Marks, ShortMarksSortedAndCheckedAgainstTheAudio)
{
    // Entries out of order, one beyond the audio, one with block 0, one
    // with a frame number past the block's frames.
    make(400, {{20, 3}, {2, 1}, {60, 0}, {0, 4}, {5, 40}});
    const std::vector<uint32_t> got = short_marks();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], block_start(2) + 24);
    EXPECT_EQ(got[1], block_start(5) + 40 * 24);
    EXPECT_EQ(got[2], block_start(20) + 3 * 24);
}

TEST_F(Marks, ExtendedMarksKeepTheirSpacing)
{
    make(2000);
    EXPECT_TRUE(ext_marks().empty());
    EXPECT_EQ(KVXWriteExtIndexMark(10000), 0u);
    EXPECT_EQ(KVXWriteExtIndexMark(10999), 525u) << "999 ms apart";
    EXPECT_EQ(KVXWriteExtIndexMark(9001), 525u);
    EXPECT_EQ(KVXWriteExtIndexMark(11000), 0u) << "1000 ms apart";
    EXPECT_EQ(KVXWriteExtIndexMark(9000), 0u);
    EXPECT_EQ(KVXWriteExtIndexMark(-5), 525u);
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{9000, 10000, 11000}));
}

TEST_F(Marks, WrittenInAnyOrderReadBackSorted)
{
    make(3000);
    for (int32_t p : {40000, 3000, 25000, 0, 12000}) ASSERT_EQ(KVXWriteExtIndexMark(p), 0u) << p;
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{0, 3000, 12000, 25000, 40000}));
    // The short marks are rebuilt from the extended ones, at whole frames.
    const std::vector<uint32_t> got = short_marks();
    ASSERT_EQ(got.size(), 5u);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_LT(got[i - 1], got[i]);
    // Reopened, the file says the same.
    ASSERT_EQ(open("m.kvx"), 0u);
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{0, 3000, 12000, 25000, 40000}));
}

TEST_F(Marks, SeventeenthMarkIsRefusedAndTheFileUnchanged)
{
    make(3000);
    for (int32_t i = 0; i < 16; ++i) ASSERT_EQ(KVXWriteExtIndexMark(i * 2000), 0u) << i;
    const Bytes before = read("m.kvx");
    EXPECT_EQ(KVXWriteExtIndexMark(50000), 525u);
    EXPECT_EQ(read("m.kvx"), before);
    EXPECT_EQ(ext_marks().size(), 16u);
}

TEST_F(Marks, DeletingAbsentMarks)
{
    make(1000);
    EXPECT_EQ(KVXDeleteExtIndexMark(100), 526u) << "no marks at all";
    ASSERT_EQ(KVXWriteExtIndexMark(5000), 0u);
    EXPECT_EQ(KVXDeleteExtIndexMark(4999), 526u);
    EXPECT_EQ(KVXDeleteExtIndexMark(5000), 0u);
    EXPECT_TRUE(ext_marks().empty());
    // Short marks: an absent one leaves them as they are.
    ASSERT_EQ(KVXWriteIndexMark(2400), 0u);
    const Bytes before = read("m.kvx");
    EXPECT_EQ(KVXDeleteIndexMark(1234), 0u);
    EXPECT_EQ(read("m.kvx"), before);
    EXPECT_EQ(short_marks(), (std::vector<uint32_t>{2400}));
    EXPECT_EQ(KVXDeleteIndexMark(2400), 0u);
    EXPECT_TRUE(short_marks().empty());
}

TEST_F(Marks, ShortMarkWritesAndLimits)
{
    make(3000);
    short_marks();
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(KVXWriteIndexMark(480 * (16 - i)), 0u) << i;
    EXPECT_EQ(KVXWriteIndexMark(100), 80u) << "a seventeenth short mark has no slot";
    const std::vector<uint32_t> got = short_marks();
    ASSERT_EQ(got.size(), 16u);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(got[i], 480 * (i + 1));
}

TEST_F(Marks, PriorityAndEndTrans)
{
    make(100);
    EXPECT_EQ(KVXWritePriority(2), 0u);
    EXPECT_EQ(KVXWriteEndTrans(0xBEEF), 0u);
    const Bytes after = read("m.kvx");
    EXPECT_EQ(after[69], 2);
    EXPECT_EQ(after[34], 0xEF);
    EXPECT_EQ(after[35], 0xBE);
}

TEST_F(Marks, OneBlockAndNotExtendedHeaders)
{
    // A one-block file has no extended marks: they read as its short ones
    // and cannot be written (the second block would be audio).
    make(400, {{3, 1}}, 1);
    const Bytes before = read("m.kvx");
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{block_start(3) + 24}));
    EXPECT_EQ(KVXWriteExtIndexMark(1000), 260u);
    EXPECT_EQ(KVXDeleteExtIndexMark(1000), 260u);
    EXPECT_EQ(read("m.kvx"), before);
}

TEST_F(Marks, ExtendedEntriesOutOfOrderOrBeyondTheEnd)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(0, 500, 2));
    file.header.extMarks[3] = {1, 0, 5000};
    file.header.extMarks[7] = {1, 0, 1000};
    file.header.extMarks[9] = {1, 0, 999999999};
    write("e.kvx", kvxgen::build(file));
    ASSERT_EQ(open("e.kvx"), 0u);
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{1000, 5000, 999999999}));
    EXPECT_EQ(KVXDeleteExtIndexMark(999999999), 0u);
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{1000, 5000}));
}

TEST_F(Marks, WritersCheckSessionAccessAndLock)
{
    make(100);
    kvx::g_write.sessionOpen = true;
    EXPECT_EQ(KVXWriteIndexMark(10), 523u);
    uint32_t positions[16], count;
    EXPECT_EQ(KVXGetIndexMark(positions, &count), 523u);
    kvx::g_write.sessionOpen = false;
    kvx::g_file.lock = 0;
    EXPECT_EQ(KVXWriteExtIndexMark(10), 80u);
    EXPECT_EQ(KVXWriteEndTrans(1), 80u);
    kvx::g_file.name[0] = '\0';
    EXPECT_EQ(KVXWriteIndexMark(10), 258u);
}

TEST_F(Marks, MarksOfAnotherFileAreNeverWrittenIntoThisOne)
{
    // Read the marks of one file, open another, add a mark without reading:
    // the other file's own marks are read first.
    make(1000);
    ASSERT_EQ(KVXWriteExtIndexMark(3000), 0u);
    ASSERT_EQ(KVXWriteExtIndexMark(9000), 0u);
    kvxgen::File other;
    other.segments.push_back(kvxgen::random_segment(0, 1000, 3));
    other.header.extMarks[0] = {1, 0, 500};
    write("other.kvx", kvxgen::build(other));
    ASSERT_EQ(open("other.kvx"), 0u);
    ASSERT_EQ(KVXWriteExtIndexMark(20000), 0u);
    EXPECT_EQ(ext_marks(), (std::vector<uint32_t>{500, 20000}));
}

} // namespace
