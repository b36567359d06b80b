// Header information: the getters, the setter's masks and checks, and the
// conversion of one-block files.
#include "header_fixture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/skip.h"
#include "format/stream.h"
#ifndef _WIN32
#include "platform/posix/objects.h"
#endif

namespace {

using kvxgen::Bytes;

class HeaderInfoTest : public HeaderFolder {};

TEST_F(HeaderInfoTest, ShortRecordFromTheFirstBlock)
{
    kvxgen::File file = sp_file(100);
    file.header.number = 4242;
    file.header.endTrans = 0x1234;
    file.header.endDate = "261205";
    file.header.endTime = "101112";
    file.header.lock = 0;
    file.header.priority = 3;
    write("a.kvx", kvxgen::build(file));
    HeaderInfo info{};
    ASSERT_EQ(KVXGetHeaderInfo("a.kvx", &info), 0u);
    EXPECT_EQ(+info.number, 4242u);
    EXPECT_EQ(+info.endTrans, 0x1234);
    EXPECT_EQ(std::string(info.lengthDigits, 6), "000002");
    EXPECT_EQ(std::string(info.endDate, 6), "261205");
    EXPECT_EQ(std::string(info.endTime, 6), "101112");
    EXPECT_EQ(+info.lock, 0);
    EXPECT_EQ(+info.priority, 3);

    EXPECT_EQ(KVXGetHeaderInfo("missing.kvx", &info), 1u);
    write("bad.kvx", kvxgen::with_magic(kvxgen::build(file), "KVX"));
    EXPECT_EQ(KVXGetHeaderInfo("bad.kvx", &info), 7u);
    write("short.kvx", kvxgen::truncated(kvxgen::build(file), 100));
    EXPECT_EQ(KVXGetHeaderInfo("short.kvx", &info), 7u);
    kvx::g_folder.path[0] = '\0';
    EXPECT_EQ(KVXGetHeaderInfo("a.kvx", &info), 6u);
    HeaderInfoEx ex{};
    EXPECT_EQ(KVXGetHeaderInfoEx("a.kvx", &ex), 6u);
}

TEST_F(HeaderInfoTest, FullRecordOfAnExtendedFile)
{
    kvxgen::File file = sp_file(100);
    file.segments.push_back(kvxgen::random_segment(2, 10, 3));
    file.header.text1 = "first text";
    file.header.text3 = "third";
    file.header.itemB = {7, 8, "item b"};
    file.header.number2 = 99;
    file.header.text4 = "a longer fourth text";
    write("x.kvx", kvxgen::build(file));
    HeaderInfoEx ex{};
    ASSERT_EQ(KVXGetHeaderInfoEx("x.kvx", &ex), 0u);
    EXPECT_EQ(std::string(ex.text1, 10), "first text");
    EXPECT_EQ(ex.text1[10], ' ');
    EXPECT_EQ(std::string(ex.text3), "third");
    EXPECT_EQ(+ex.itemB1, 7u);
    EXPECT_EQ(+ex.itemB2, 8u);
    EXPECT_STREQ(ex.itemBText, "item b");
    EXPECT_EQ(+ex.number2, 99u);
    EXPECT_STREQ(ex.text4, "a longer fourth text");
    EXPECT_EQ(+ex.lengthMs, 100u * 24 + 10 * 30);
    EXPECT_EQ(+ex.codingMode, 0);
    EXPECT_EQ(+ex.flag1, 0xFF);
    EXPECT_EQ(+ex.word32, 0xFFFE);
}

TEST_F(HeaderInfoTest, NotExtendedTwoBlockHeader)
{
    kvxgen::File file;
    file.header.extendedMark = 0;
    file.segments.push_back(kvxgen::random_segment(3, 20, 1));
    write("n.kvx", kvxgen::build(file));
    HeaderInfoEx ex{};
    ex.lengthMs = 12345;
    std::memset(ex.text4, 'z', sizeof ex.text4);
    EXPECT_EQ(KVXGetHeaderInfoEx("n.kvx", &ex), 260u);
    EXPECT_EQ(+ex.codingMode, 3) << "the first audio block's codec byte";
    EXPECT_EQ(ex.text4[0], 0);
    EXPECT_EQ(+ex.lengthMs, 12345u) << "left as the caller had it";
}

TEST_F(HeaderInfoTest, ReadOnlyOneBlockFileIsNotConverted)
{
    kvxgen::File file;
    file.header.blocks = 1;
    file.segments.push_back(kvxgen::random_segment(2, 50, 1));
    file.header.lengthDigits = "000102";
    file.fillLengths = false;
    const Bytes before = kvxgen::build(file);
    write("ro.kvx", before);
    set_read_only("ro.kvx", true);
    HeaderInfoEx ex{};
    std::memset(&ex, 0x55, sizeof ex);
    ASSERT_EQ(KVXGetHeaderInfoEx("ro.kvx", &ex), 0u);
    EXPECT_EQ(+ex.codingMode, 2);
    EXPECT_EQ(+ex.signedWord, -1);
    EXPECT_EQ(+ex.lengthMs, 62000u);
    EXPECT_EQ(ex.text3[0] | ex.itemA1 | ex.flag1 | ex.number2 | ex.text4[99], 0);
    set_read_only("ro.kvx", false);
    EXPECT_EQ(read("ro.kvx"), before);
}

TEST_F(HeaderInfoTest, ConversionKeepsEveryAudioByte)
{
    // One-block files of 1, 2, 3 and 10 chunks with short marks: after the
    // conversion the audio lies at 1024 unchanged, the length is the sum of
    // the frame times, the extended marks are the short marks' positions.
    for (size_t frames : {size_t(300), size_t(9000), size_t(16000), size_t(70000)}) {
        kvxgen::File file;
        file.header.blocks = 1;
        file.segments.push_back(kvxgen::random_segment(1, frames, static_cast<uint32_t>(frames)));
        kvxgen::Layout layout;
        kvxgen::build(file, &layout);
        // Marks on three blocks, the last one past the audio.
        const size_t last = layout.blocks.size();
        file.header.shortMarks[0] = {static_cast<uint16_t>(last / 2 + 1), 2};
        file.header.shortMarks[1] = {1, 0};
        file.header.shortMarks[2] = {static_cast<uint16_t>(last + 5), 1};
        const Bytes before = kvxgen::build(file, &layout);
        write("c.kvx", before);

        HeaderInfoEx ex{};
        ASSERT_EQ(KVXGetHeaderInfoEx("c.kvx", &ex), 0u) << frames;
        const Bytes after = read("c.kvx");
        ASSERT_EQ(after.size(), before.size() + 512) << frames;
        EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), after.begin() + 1024)) << frames;
        EXPECT_EQ(after[0], 2);
        EXPECT_EQ(after[36], 0xFF);
        EXPECT_EQ(after[37], 0xFF);
        EXPECT_EQ(+ex.signedWord, -1);
        EXPECT_EQ(+ex.lengthMs, layout.totalMs) << frames;
        EXPECT_EQ(static_cast<uint32_t>(after[512] | after[513] << 8 | after[514] << 16 | after[515] << 24), layout.totalMs);

        // The extended marks: the two short marks inside the audio, sorted.
        uint32_t block_start_of_middle = 0;
        for (size_t b = 0; b < last / 2; ++b)
            block_start_of_middle += layout.blocks[b].frameCount * kvxgen::frame_ms(layout.blocks[b].codecByte);
        ASSERT_EQ(open("c.kvx"), 0u);
        EXPECT_EQ(kvx::g_file.headerBlocks, 2);
        uint32_t positions[16];
        uint32_t count = 0;
        ASSERT_EQ(KVXGetExtIndexMark(positions, &count), 0u);
        ASSERT_EQ(count, 2u) << frames;
        EXPECT_EQ(positions[0], 0u);
        EXPECT_EQ(positions[1], block_start_of_middle + 2 * 24) << frames;
        // A second call reads the extended fields as they now stand.
        HeaderInfoEx again{};
        ASSERT_EQ(KVXGetHeaderInfoEx("c.kvx", &again), 0u);
        EXPECT_EQ(+again.lengthMs, layout.totalMs);
        EXPECT_EQ(read("c.kvx"), after);
    }
}

TEST_F(HeaderInfoTest, OpeningConvertsAndTheAudioReadsTheSame)
{
    // KVXActiveFile2 converts a writable one-block file while it reads the
    // table; the active file then starts its audio 512 bytes later, and
    // every frame comes out as before.
    kvxgen::File file;
    file.header.blocks = 1;
    file.segments.push_back(kvxgen::random_segment(1, 3000, 5));
    file.segments.push_back(kvxgen::random_segment(2, 3000, 6));
    kvxgen::Layout layout;
    const Bytes before = kvxgen::build(file, &layout);
    write("o.kvx", before);
    uint32_t control = 0;
    ASSERT_EQ(kvx::allocate_buffers(), 0u);
    kvx::g_decoder.control = &control;
    auto walk = [&] {
        std::vector<Bytes> frames;
        kvx::g_read = kvx::ReadPosition();
        EXPECT_EQ(kvx::stream_seek(0, nullptr), 0u);
        uint8_t *frame = nullptr;
        for (;;) {
            const uint32_t r = kvx::next_frame(&frame);
            if (r == 1) {
                frames.emplace_back(frame - 1, frame + 2);
                if (kvx::g_read.blockCodec) kvx::lp_skip_frame(&frame);
                else kvx::sp_skip_frame(&frame, &control);
                continue;
            }
            if (!kvx::g_read.codecChanged) break;
            kvx::g_read.codecChanged = false;
            kvx::g_read.ended = false;
        }
        return frames;
    };
    ASSERT_EQ(open("o.kvx"), 0u);
    const std::vector<Bytes> plain = walk();
    kvx::g_file.name[0] = '\0';
    uint32_t length = 0;
    uint16_t codecs = 0;
    ASSERT_EQ(KVXActiveFile2(path("o.kvx").c_str(), &length, &codecs), 0u);
    EXPECT_EQ(kvx::g_file.headerBlocks, 2);
    EXPECT_EQ(length, layout.totalMs);
    EXPECT_EQ(codecs, 3);
    EXPECT_EQ(read("o.kvx").size(), before.size() + 512);
    EXPECT_EQ(walk(), plain);
}

#ifndef _WIN32
TEST_F(HeaderInfoTest, FailedConversionLeavesTheFileWhole)
{
    kvxgen::File file;
    file.header.blocks = 1;
    file.segments.push_back(kvxgen::random_segment(1, 40000, 9));
    const Bytes before = kvxgen::build(file);
    for (long writes : {0L, 1L, 3L}) {
        write("f.kvx", before);
        posix::fail_writes_after(writes);
        HeaderInfoEx ex{};
        EXPECT_EQ(KVXGetHeaderInfoEx("f.kvx", &ex), 0u) << "a failed conversion still answers";
        posix::fail_writes_after(-1);
        EXPECT_EQ(read("f.kvx"), before) << "after " << writes << " writes";
        EXPECT_EQ(open("f.kvx"), 0u);
        std::FILE *leftover = std::fopen(path("f.kvx.cvt").c_str(), "rb");
        EXPECT_EQ(leftover, nullptr) << "no temporary file stays behind";
        if (leftover) std::fclose(leftover);
    }
}
#endif

TEST_F(HeaderInfoTest, HeaderImageInMemory)
{
    kvxgen::File file = sp_file(10);
    file.header.text1 = "image";
    Bytes image(9, 'i');
    const Bytes bytes = kvxgen::build(file);
    image.insert(image.end(), bytes.begin(), bytes.begin() + 1024);
    image.push_back(0);
    image[10] = 'K'; // the magic of an image is compared without regard to case
    image[11] = 'V';
    HeaderInfoEx ex{};
    ASSERT_EQ(KVXGetHeaderInfoEx(reinterpret_cast<const char *>(image.data()), &ex), 0u);
    EXPECT_EQ(std::string(ex.text1, 5), "image");
    EXPECT_EQ(+ex.lengthMs, 240u);

    // A one-block image: no second block, the length from the digits.
    image[9] = 1;
    ASSERT_EQ(KVXGetHeaderInfoEx(reinterpret_cast<const char *>(image.data()), &ex), 0u);
    EXPECT_EQ(+ex.lengthMs, 0u);
    // Not an image: taken as a file name of the folder, which is missing.
    image[11] = 'w';
    EXPECT_EQ(KVXGetHeaderInfoEx(reinterpret_cast<const char *>(image.data()), &ex), 513u);
    // Short names are not read past their end to look for an image.
    EXPECT_EQ(KVXGetHeaderInfoEx("a", &ex), 513u);
}

class SetHeaderInfoTest : public HeaderFolder {};

TEST_F(SetHeaderInfoTest, MasksWriteTheirFieldsOnly)
{
    write("s.kvx", kvxgen::build(sp_file(30)));
    const Bytes before = read("s.kvx");
    ASSERT_EQ(open("s.kvx"), 0u);
    HeaderInfoEx ex{};
    std::memcpy(ex.text1, "0123456789abcdef", 16);
    ex.priority = 9;
    ex.number2 = 0xCAFE;
    std::memcpy(ex.text4, "text four", 9);
    ex.signedWord = -2;
    ASSERT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT1 | KVX_FIELD_NUMBER2 | KVX_FIELD_SIGNED_WORD), 0u);
    const Bytes after = read("s.kvx");
    Bytes want = before;
    const char text[] = "0123456789abcdef";
    std::copy(text, text + 16, want.begin() + 12);
    want[36] = 0xFE;
    want[37] = 0xFF;
    want[794] = 0xFE;
    want[795] = 0xCA;
    EXPECT_EQ(after, want);
}

TEST_F(SetHeaderInfoTest, OneBlockFileRefusesSecondBlockFields)
{
    write("one.kvx", kvxgen::build(sp_file(30, 1)));
    const Bytes before = read("one.kvx");
    ASSERT_EQ(open("one.kvx"), 0u);
    HeaderInfoEx ex{};
    std::memcpy(ex.text1, "TEXTONE.........", 16);
    std::memcpy(ex.text3, "TEXTTHREE.......", 16);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, 0x100), 257u);
    EXPECT_EQ(read("one.kvx"), before);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, 0x101), 257u);
    const Bytes after = read("one.kvx");
    EXPECT_EQ(std::string(after.begin() + 12, after.begin() + 28), "TEXTONE.........");
    EXPECT_TRUE(std::equal(before.begin() + 28, before.end(), after.begin() + 28)) << "the audio is untouched";
}

TEST_F(SetHeaderInfoTest, LockingAndTheChecks)
{
    write("l.kvx", kvxgen::build(sp_file(30)));
    ASSERT_EQ(open("l.kvx"), 0u);
    HeaderInfoEx ex{};
    ex.lock = 0;
    ASSERT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK), 0u);
    EXPECT_EQ(read("l.kvx")[68], 0);
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT2), 80u) << "locked";
    EXPECT_EQ(KVXWritePriority(3), 80u);
    // The number field alone may always be set.
    ex.number = 77;
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_NUMBER), 0u);
    EXPECT_EQ(read("l.kvx")[28], 77);
    // Unlocking goes with bit 0x80.
    ex.lock = 0xFF;
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_LOCK | KVX_FIELD_TEXT2), 0u);
    EXPECT_EQ(read("l.kvx")[68], 0xFF);

    kvx::g_file.name[0] = '\0';
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT2), 258u);
}

TEST_F(SetHeaderInfoTest, ReadOnlyFile)
{
    write("r.kvx", kvxgen::build(sp_file(30)));
    set_read_only("r.kvx", true);
    ASSERT_EQ(open("r.kvx"), 0u);
    HeaderInfoEx ex{};
    ex.number = 1234;
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_TEXT1), 8u);
    EXPECT_EQ(KVXWritePriority(1), 8u);
    // The number field is written with the attribute lifted, then restored.
    EXPECT_EQ(KVXSetHeaderInfo(&ex, KVX_FIELD_NUMBER), 0u);
    EXPECT_EQ(read("r.kvx")[28] | read("r.kvx")[29] << 8, 1234);
    EXPECT_TRUE(GetFileAttributesA(path("r.kvx").c_str()) & FILE_ATTRIBUTE_READONLY);
    set_read_only("r.kvx", false);
}

#ifndef _WIN32
TEST(ActiveFolder, PathChecks)
{
    const std::string dir = ::testing::TempDir() + "kvx-folder-check";
    std::system(("mkdir -p '" + dir + "' && touch '" + dir + "/f.kvx'").c_str());
    EXPECT_EQ(KVXActiveFolder(dir.c_str(), 1), 0u);
    EXPECT_EQ(KVXActiveFolder((dir + "/").c_str(), 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, (dir + "/").c_str()) << "the path as given";
    // A file inside an existing folder passes, and becomes the folder path.
    EXPECT_EQ(KVXActiveFolder((dir + "/f.kvx").c_str(), 1), 0u);
    EXPECT_STREQ(kvx::g_folder.path, (dir + "/f.kvx").c_str());
    EXPECT_EQ(KVXActiveFolder((dir + "/none/x").c_str(), 1), 11u);
    EXPECT_EQ(KVXActiveFolder(nullptr, 1), 11u);
    std::string long_path = dir + "/";
    long_path.append(300, 'x');
    EXPECT_EQ(KVXActiveFolder(long_path.c_str(), 1), 11u);
    kvx::g_write.sessionOpen = true;
    EXPECT_EQ(KVXActiveFolder(dir.c_str(), 1), 523u);
    kvx::g_write.sessionOpen = false;
}
#endif

} // namespace
