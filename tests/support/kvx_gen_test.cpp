// The test-data generator.  The other tests take their expected values from
// it (frame lists, lengths, chunk tables, header fields), so what it writes
// must be what the library reads back and where the file format puts it.
#include "kvx_gen.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/state.h"
#include "format/stream.h"
#include "kvx.h"

using kvxgen::Bytes;
using kvxgen::File;
using kvxgen::Layout;
using kvxgen::Segment;

namespace {

uint32_t g_control = 0;

// The active file's frames as the library hands them out, in logical order.
std::vector<Bytes> library_frames()
{
    kvx::g_read = kvx::ReadPosition();
    EXPECT_EQ(kvx::stream_seek(0, nullptr), 0u);
    std::vector<Bytes> out;
    uint8_t *p = nullptr;
    for (uint32_t r; (r = kvx::next_frame(&p)) == 1 || kvx::g_read.codecChanged;) {
        if (r != 1) { // a session starts again at the new codec
            kvx::g_read.codecChanged = kvx::g_read.ended = false;
            kvx::g_read.sessionStartChunk = kvx::g_read.loadChunk;
            continue;
        }
        Bytes f;
        if (kvx::g_read.blockCodec == 1) {
            f.assign(p, p + ((p[0] & 2) ? 4 : 24));
        } else { // stored as swapped words; parity 0: the frame starts mid-word
            const long odd = kvx::g_read.parity ? 0 : 1;
            auto at = [&](long i) { return p[((odd + i) ^ 1) - odd]; };
            const long n = (g_control & KVX_CW_SPEECH_FLAG) && !(at(0) & 0x80) ? 9 : 41;
            for (long i = 0; i < n; ++i) f.push_back(at(i));
            kvx::g_read.parity = !kvx::g_read.parity;
        }
        p += f.size();
        out.push_back(f);
    }
    return out;
}

} // namespace

TEST(KvxGen, HeaderFieldsLieAtTheirOffsets)
{
    File f;
    kvxgen::Header &h = f.header;
    h.text1 = "t1", h.number = 0x04030201, h.word32 = 0x0605, h.endTrans = 0x0807, h.signedWord = 0x0A09;
    h.startDate = "250203", h.startTime = "101112", h.endDate = "250204", h.endTime = "131415";
    h.lock = 0x11, h.priority = 0x12, h.text2 = "t2", h.shortMarks[1] = {0x1413, 0x15};
    h.extMarks[15] = {0x19181716, 0x1B1A, 0x1F1E1D1C}, h.text3 = "t3";
    h.itemA = {0x21, 0x22, "a"}, h.itemC = {0x23, 0x24, "c"};
    h.flag1 = 0x25, h.flag2 = 0x26, h.number2 = 0x27, h.text4 = std::string(120, 'x');
    f.segments = {Segment::audio(2, std::vector<Bytes>(50, kvxgen::lp_active(1)))}; // 1.5 s, 22 in block 0
    const Bytes b = kvxgen::build(f);
    const std::string digits = "250203101112250204131415000001";
    const struct {
        size_t at;
        Bytes want;
    } fields[] = {
        {0, {2, 'k', 'v', 'x', 1, 0, 1, 0, 2, 0, 0, 0, 't', '1', ' '}}, {26, {' ', ' ', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {38, Bytes(digits.begin(), digits.end())}, {68, {0x11, 0x12, 't', '2', 0xFF}},
        {86, {0xFF, 0xFF, 0xFF, 0x13, 0x14, 0x15, 0xFF}}, {134, {0xDC, 0x05, 0, 0, 2, 0xFF}},
        {511, {0xFF, 0xDC, 0x05, 0, 0, 0xFF}}, {666, {0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 2, 0}},
        {692, {'t', '3', 0}}, {708, {0x21, 0, 0, 0, 0x22, 0, 0, 0, 'a', 0}}, {764, {0x23, 0, 0, 0, 0x24, 0, 0, 0, 'c', 0}},
        {791, {0, 0x25, 0x26, 0x27, 0, 0, 0, 'x'}}, {897, {'x', 0}}, {1023, {0, 0x0F, 0x03, 22, 0xFF, 2}},
    };
    for (const auto &field : fields)
        EXPECT_EQ(Bytes(b.begin() + field.at, b.begin() + field.at + field.want.size()), field.want) << field.at;

    f.header.blocks = 1; // the same first block, and the audio right behind it
    const Bytes one = kvxgen::build(f);
    EXPECT_EQ(one[0], 1);
    EXPECT_EQ(Bytes(one.begin() + 1, one.begin() + 512), Bytes(b.begin() + 1, b.begin() + 512));
    EXPECT_EQ(Bytes(one.begin() + 512, one.end()), Bytes(b.begin() + 1024, b.end()));
}

// Random files of both codecs, blank and end-marker blocks, both header
// forms and every tail: the library reads back the frames given up to the
// end marker, and the length, chunk table and codec flags the layout states.
TEST(KvxGen, LibraryReadsBackWhatWasWritten)
{
    ASSERT_EQ(kvx::allocate_buffers(), 0u);
    kvx::g_decoder.control = &g_control;
    kvx::g_folder.mode = 0; // large files' tables are built here, without the dialog
    const std::string path = ::testing::TempDir() + "kvxgen-roundtrip.kvx";
    std::mt19937 rng(12);
    for (int round = 0; round < 40; ++round) {
        File f;
        f.header.blocks = 1 + rng() % 2;
        f.tail = static_cast<kvxgen::Tail>(rng() % 3);
        std::vector<Bytes> given; // the frames before the first end marker
        bool ended = false;
        uint16_t want_flags = 0; // of every block, also blank ones and those behind the marker
        for (int parts = 1 + rng() % 4; parts > 0; --parts) {
            const uint32_t kind = rng() % 6;
            const uint8_t codec = rng() % 4;
            if (kind == 0) {
                f.segments.push_back(Segment::blank(0xAA));
                ended = true;
                continue;
            }
            want_flags |= codec < 2 ? 1 : 2;
            if (kind == 1) {
                f.segments.push_back(Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 2, codec));
                continue;
            }
            const size_t frames = 1 + rng() % (rng() % 4 == 0 ? 9000 : 80); // some files span chunks
            f.segments.push_back(kvxgen::random_segment(codec, frames, rng()));
            if (!ended) given.insert(given.end(), f.segments.back().frames.begin(), f.segments.back().frames.end());
        }
        Layout l;
        const Bytes b = kvxgen::build(f, &l);
        ASSERT_TRUE(kvxgen::write(path, b));
        kvx::g_file.name[0] = '\0';
        uint32_t length = 0;
        uint16_t flags = 0;
        ASSERT_EQ(KVXActiveFile(path.c_str(), &length, &flags), 0u) << round;
        EXPECT_EQ(flags, want_flags) << round;
        EXPECT_EQ(kvxgen::codec_flags(l), want_flags) << round;
        EXPECT_EQ(std::vector<uint32_t>(kvx::g_file.chunkTimes, kvx::g_file.chunkTimes + kvx::g_file.chunkCount),
                  kvxgen::chunk_times(l)) << round;
        ASSERT_EQ(library_frames(), given) << round;

        uint32_t ms = 0; // where and when the layout says each frame lies
        for (size_t i = 0; i < l.frames.size(); ++i) {
            const kvxgen::FrameInfo &fr = l.frames[i];
            EXPECT_EQ(fr.afterEnd, i >= given.size()) << round << " " << i;
            if (fr.afterEnd) continue;
            EXPECT_EQ(b[fr.fileOffset ^ (fr.codecByte < 2 ? 1 : 0)], given[i][0]) << round << " " << i;
            EXPECT_EQ(fr.startMs, ms) << round << " " << i;
            ms += fr.codecByte < 2 ? 24 : 30;
        }
        EXPECT_EQ(l.totalMs, ms) << round;
        if (!ended) {
            EXPECT_EQ(length, ms) << round; // else the blocks behind the marker count too
        }
    }
    std::remove(path.c_str());
    kvx::g_folder.mode = 1;
}

// Chunk times worked out by hand: 500 blocks of one SP frame, 500 of one
// LP frame, one more LP frame in a short block.
TEST(KvxGen, ChunkTimesOfKnownBlocks)
{
    File f;
    f.segments = {Segment::audio(1, std::vector<Bytes>(500, Bytes(506, 0x80))),
                  Segment::audio(2, std::vector<Bytes>(500, Bytes(506, 0))), Segment::audio(3, {Bytes(20, 0)})};
    Layout l;
    kvxgen::build(f, &l);
    EXPECT_EQ(l.audioBytes, 512000u + 26);
    EXPECT_EQ(kvxgen::chunk_times(l), (std::vector<uint32_t>{12000, 27000, 27030}));
    EXPECT_EQ(kvxgen::codec_flags(l), 3);
}

TEST(KvxGen, BrokenVariantsChangeOnlyTheirBytes)
{
    const Bytes b = kvxgen::build(File());
    Bytes magic = b, blocks = b;
    magic[1] = 'K', magic[2] = 'V', magic[3] = 'X', blocks[0] = 200;
    EXPECT_EQ(kvxgen::with_magic(b, "KVX"), magic);
    EXPECT_EQ(kvxgen::with_header_blocks(b, 200), blocks);
    EXPECT_EQ(kvxgen::truncated(b, 600), Bytes(b.begin(), b.begin() + 600));
}
