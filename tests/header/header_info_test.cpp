// Header information: the getters, the setter's fields and checks, and the
// conversion of one-block files, also when the disk fails under it.
#include "header_fixture.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using kvxgen::Bytes;
using HeaderInfoTest = KvxFolder;
using SetHeaderInfoTest = KvxFolder;

// Every field of the full record: its mask bit (0: not settable), its place
// in the record, its width, its place in the header and in the short record
// (-1: not there).
struct Field {
    uint32_t bit;
    size_t record, width, header;
    int plain;
};
const Field kFields[] = {
    {0x01, 1, 16, 12, -1},     {0x02, 20, 4, 28, 0},      {0x04, 0, 0, 0, -1},       {0x08, 26, 2, 34, 4},
    {0x10, 28, 2, 36, -1},     {0x20, 62, 16, 70, -1},    {0x40, 61, 1, 69, 25},     {0x80, 60, 1, 68, 24},
    {0x100, 78, 16, 692, -1},  {0x200, 94, 28, 708, -1},  {0x400, 122, 28, 736, -1}, {0x800, 150, 28, 764, -1},
    {0x1000, 178, 1, 792, -1}, {0x2000, 179, 1, 793, -1}, {0x4000, 180, 4, 794, -1}, {0x8000, 188, 100, 798, -1},
    {0, 24, 2, 32, -1},        {0, 30, 6, 62, 6},         {0, 36, 12, 50, 12},       {0, 48, 12, 38, -1},
    {0, 184, 4, 512, -1},      {0, 0, 1, 676, -1}};

TEST_F(HeaderInfoTest, EveryFieldIsWrittenAndReadAtItsOffset)
{
    write("s.kvx", kvxgen::build(sp_file(30)));
    for (const Field &f : kFields) {
        Bytes want = read("s.kvx");
        HeaderInfoEx ex{}, back{};
        HeaderInfo plain{};
        auto *record = reinterpret_cast<uint8_t *>(&ex);
        const auto *full_record = reinterpret_cast<uint8_t *>(&back);
        const auto *short_record = reinterpret_cast<uint8_t *>(&plain);
        for (size_t i = 0; i < sizeof ex; ++i) record[i] = static_cast<uint8_t>(i * 7 + f.header + 1);
        std::copy(record + f.record, record + f.record + f.width, want.begin() + static_cast<long>(f.header));
        if (f.bit == 0) {
            write("s.kvx", want);
        } else {
            ASSERT_EQ(open("s.kvx"), 0u);
            ASSERT_EQ(KVXSetHeaderInfo(&ex, f.bit), 0u) << f.bit;
        }
        EXPECT_EQ(read("s.kvx"), want) << "field " << f.header;
        ASSERT_EQ(KVXGetHeaderInfoEx("s.kvx", &back), 0u);
        ASSERT_EQ(KVXGetHeaderInfo("s.kvx", &plain), 0u);
        EXPECT_EQ(0, std::memcmp(full_record + f.record, record + f.record, f.width)) << f.header;
        EXPECT_TRUE(f.plain < 0 || std::memcmp(short_record + f.plain, record + f.record, f.width) == 0) << f.header;
    }
}

// The getters by source: missing, damaged and cut files; two blocks, not
// extended (260, the mode of the first audio block, the second-block fields
// zero, the caller's length kept); one block, read-only (not converted, the
// length from the digits); a header image in memory, of two blocks or one,
// its magic in any case; no active folder.
TEST_F(HeaderInfoTest, WhatTheGettersReadFrom)
{
    const Bytes good = kvxgen::build(sp_file(100));
    write("bad.kvx", kvxgen::with_magic(good, "KVX"));
    write("short.kvx", kvxgen::truncated(good, 100));
    kvxgen::File lp = sp_file(20), old = sp_file(50, 1);
    lp.header.extendedMark = 0;
    lp.segments[0] = kvxgen::random_segment(3, 20, 1);
    write("lp.kvx", kvxgen::build(lp));
    old.segments[0] = kvxgen::random_segment(2, 50, 1);
    old.header.lengthDigits = "000102";
    old.header.signedWord = 0x1234;
    old.fillLengths = false;
    const Bytes before = kvxgen::build(old);
    write("old.kvx", before);
    set_read_only("old.kvx", true);
    const struct {
        const char *name;
        uint32_t plain, full;
        int mode, signedWord;
        uint32_t lengthMs;
    } cases[] = {{"missing.kvx", 1, 513, 0, 0, 0}, {"bad.kvx", 7, 7, 0, 0, 0},       {"short.kvx", 7, 7, 0, 0, 0},
                 {"lp.kvx", 0, 260, 3, -1, 12345},  {"old.kvx", 0, 0, 2, -1, 62000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HeaderInfo info{};
        HeaderInfoEx ex;
        std::memset(&ex, 0x55, sizeof ex);
        ex.lengthMs = 12345;
        EXPECT_EQ(KVXGetHeaderInfo(c.name, &info), c.plain);
        EXPECT_EQ(KVXGetHeaderInfoEx(c.name, &ex), c.full);
        if (c.mode == 0) continue;
        EXPECT_EQ(ex.codingMode, c.mode);
        EXPECT_EQ(ex.signedWord, c.signedWord);
        EXPECT_EQ(ex.lengthMs, c.lengthMs);
        EXPECT_EQ(ex.text3[0] | ex.itemA1 | ex.flag1 | ex.number2 | ex.text4[99], 0);
    }
    set_read_only("old.kvx", false);
    EXPECT_EQ(read("old.kvx"), before);

    kvxgen::File file = sp_file(10);
    file.header.text1 = "image";
    Bytes image(9, 'i');
    const Bytes bytes = kvxgen::build(file);
    image.insert(image.end(), bytes.begin(), bytes.begin() + 1024);
    image.push_back(0);
    image[10] = 'K';
    image[11] = 'V';
    const char *source = reinterpret_cast<const char *>(image.data());
    HeaderInfoEx ex{};
    ASSERT_EQ(KVXGetHeaderInfoEx(source, &ex), 0u);
    EXPECT_EQ(std::string(ex.text1, 5), "image");
    EXPECT_EQ(ex.lengthMs, 240u);
    image[9] = 1; // one block: the length from the digits
    ASSERT_EQ(KVXGetHeaderInfoEx(source, &ex), 0u);
    EXPECT_EQ(ex.lengthMs, 0u);
    image[11] = 'w'; // no image: a name of the folder, which is missing
    EXPECT_EQ(KVXGetHeaderInfoEx(source, &ex), 513u);
    kvx::g_folder.path[0] = '\0';
    HeaderInfo info{};
    EXPECT_EQ(KVXGetHeaderInfo("lp.kvx", &info), 6u);
    EXPECT_EQ(KVXGetHeaderInfoEx("lp.kvx", &ex), 6u);
}

// A one-block file with short marks, the last one past the audio.
Bytes one_block_file(size_t frames, kvxgen::Layout *layout, uint8_t codec = 1)
{
    kvxgen::File file;
    file.header.blocks = 1;
    file.segments.push_back(kvxgen::random_segment(codec, frames, static_cast<uint32_t>(frames)));
    kvxgen::build(file, layout);
    const size_t last = layout->blocks.size();
    file.header.shortMarks[0] = {static_cast<uint16_t>(last / 2 + 1), 2};
    file.header.shortMarks[1] = {1, 0};
    file.header.shortMarks[2] = {static_cast<uint16_t>(last + 5), 1};
    return kvxgen::build(file, layout);
}

// The active file converted under another spelling of its name is still the
// active file: its audio now starts behind two blocks.
TEST_F(HeaderInfoTest, ActiveFileConvertedUnderAnotherName)
{
    for (const char *spelling : {"/./c.kvx", "//c.kvx"}) {
        SCOPED_TRACE(spelling);
        kvxgen::Layout layout;
        write("c.kvx", one_block_file(400, &layout));
        kvx::g_file.name[0] = '\0';
        ASSERT_EQ(KVXActiveFile((dir_ + spelling).c_str(), &length_, &codecs_), 0u);
        HeaderInfoEx ex{};
        ASSERT_EQ(KVXGetHeaderInfoEx("c.kvx", &ex), 0u);
        EXPECT_EQ(kvx::g_file.headerBlocks, 2);
        EXPECT_EQ(KVXWriteExtIndexMark(static_cast<int32_t>(layout.totalMs - 2000)), 0u);
        uint32_t positions[16], count = 0;
        ASSERT_EQ(KVXGetIndexMark(positions, &count), 0u);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(positions[0], 0u);
    }
}

// One-block files of 1 (LP), 2, 3 and 10 chunks converted by the full
// getter: the audio moves to 1024 unchanged; the length is the sum of the
// frame times, the coding mode that of the audio; the marks in the audio become extended marks, sorted; a second call
// changes nothing.  Then one read that fails or comes back short, or one
// write that fails, at any point of the conversion (by the full getter or by
// an opening): the file is the original byte for byte or the whole converted
// file, no temporary file stays, and an opening that succeeds has the whole
// length and reads the audio where it now lies.
TEST_F(HeaderInfoTest, ConversionUnderDiskFaults)
{
    for (size_t frames : {size_t(300), size_t(9000), size_t(16000), size_t(70000)}) {
        SCOPED_TRACE(frames);
        kvxgen::Layout layout;
        const uint8_t codec = frames == 300 ? 2 : 1;
        const Bytes before = one_block_file(frames, &layout, codec);
        write("f.kvx", before);
        HeaderInfoEx ex{};
        ASSERT_EQ(KVXGetHeaderInfoEx("f.kvx", &ex), 0u);
        const Bytes converted = read("f.kvx");
        ASSERT_EQ(converted.size(), before.size() + 512);
        EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), converted.begin() + 1024));
        EXPECT_EQ(converted[0], 2);
        EXPECT_EQ(converted[36] & converted[37], 0xFF);
        EXPECT_EQ(ex.signedWord, -1);
        EXPECT_EQ(ex.lengthMs, layout.totalMs);
        EXPECT_EQ(ex.codingMode, codec == 2 ? 2 : 0);
        uint32_t middle = 2 * kvxgen::frame_ms(codec), positions[16], count = 0;
        for (size_t b = 0; b < layout.blocks.size() / 2; ++b)
            middle += layout.blocks[b].frameCount * kvxgen::frame_ms(layout.blocks[b].codecByte);
        ASSERT_EQ(open("f.kvx"), 0u);
        ASSERT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
        EXPECT_EQ(std::vector<uint32_t>(positions, positions + count), (std::vector<uint32_t>{0, middle}));
        ASSERT_EQ(KVXGetHeaderInfoEx("f.kvx", &ex), 0u);
        EXPECT_EQ(ex.lengthMs, layout.totalMs);
        EXPECT_EQ(read("f.kvx"), converted);
#ifndef _WIN32
        if (frames > 16000) continue;
        for (int kind : {KVX_FAULT_READ, KVX_FAULT_SHORT_READ, KVX_FAULT_WRITE}) {
            for (bool opening : {false, true}) {
                uint32_t result = 0;
                const auto setup = [&] {
                    write("f.kvx", before);
                    kvx::g_file.name[0] = '\0';
                };
                const auto step = [&] {
                    result = opening ? KVXActiveFile2(path("f.kvx").c_str(), &length_, &codecs_)
                                     : KVXGetHeaderInfoEx("f.kvx", &ex);
                };
                each_fault(kind, setup, step, [&](long at) {
                    SCOPED_TRACE(testing::Message() << kind << opening << " at " << at);
                    const Bytes after = read("f.kvx");
                    EXPECT_TRUE(after == before || after == converted);
                    EXPECT_FALSE(exists("f.kvx.cvt"));
                    if (opening && result == 0) {
                        EXPECT_EQ(length_, layout.totalMs);
                        EXPECT_EQ(kvx::g_file.headerBlocks, after == converted ? 2 : 1);
                    }
                });
            }
        }
#endif
    }
}

#ifndef _WIN32
TEST_F(SetHeaderInfoTest, FailedReadWritesNothing)
{
    write("s.kvx", kvxgen::build(sp_file(30)));
    const Bytes before = read("s.kvx");
    ASSERT_EQ(open("s.kvx"), 0u);
    HeaderInfoEx ex{};
    ex.lock = 0xFF;
    for (int kind : {KVX_FAULT_READ, KVX_FAULT_SHORT_READ}) {
        KVXPosixSetFileFault(kind, 0, 1);
        EXPECT_EQ(KVXSetHeaderInfo(&ex, 0xFFFF), 259u) << kind;
        KVXPosixSetFileFault(kind, -1, 0);
        EXPECT_EQ(read("s.kvx"), before) << kind;
    }
}
#endif

TEST_F(SetHeaderInfoTest, OneBlockFileRefusesSecondBlockFields)
{
    write("one.kvx", kvxgen::build(sp_file(30, 1)));
    Bytes want = read("one.kvx");
    ASSERT_EQ(open("one.kvx"), 0u);
    HeaderInfoEx ex{};
    std::memcpy(ex.text1, "TEXTONE.........", 16);
    std::memcpy(ex.text3, "TEXTTHREE.......", 16);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, 0x100), 257u);
    EXPECT_EQ(read("one.kvx"), want);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, 0x101), 257u) << "the first block is written all the same";
    std::copy(ex.text1, ex.text1 + 16, want.begin() + 12);
    EXPECT_EQ(read("one.kvx"), want);
}

TEST_F(SetHeaderInfoTest, LockReadOnlyAndTheNumberField)
{
    write("l.kvx", kvxgen::build(sp_file(30)));
    ASSERT_EQ(open("l.kvx"), 0u);
    HeaderInfoEx ex{};
    ASSERT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK), 0u);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT2 | KVX_FIELD_NUMBER), 80u) << "locked";
    EXPECT_EQ(KVXWritePriority(3), 80u);
    ex.number = 77; // the number field alone may always be set
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_NUMBER), 0u);
    EXPECT_EQ(read("l.kvx")[28], 77);
    ex.lock = 0xFF; // unlocking goes with bit 0x80
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK | KVX_FIELD_TEXT2), 0u);
    EXPECT_EQ(read("l.kvx")[68], 0xFF);

    // Read-only: 8, but the number field is written with the attribute lifted
    // and put back.
    set_read_only("l.kvx", true);
    ASSERT_EQ(open("l.kvx"), 0u);
    ex.number = 1234;
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT1 | KVX_FIELD_NUMBER), 8u);
    EXPECT_EQ(KVXWritePriority(1), 8u);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_NUMBER), 0u);
    EXPECT_EQ(read("l.kvx")[28] | read("l.kvx")[29] << 8, 1234);
    EXPECT_TRUE(GetFileAttributesA(path("l.kvx").c_str()) & FILE_ATTRIBUTE_READONLY);
    set_read_only("l.kvx", false);
    kvx::g_file.name[0] = '\0';
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT2), 258u);
}

} // namespace
