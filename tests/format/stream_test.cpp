// The read ring and the frame fetch: every frame comes out whole, in order,
// across block boundaries, refills and the ring's wrap; bad blocks end or
// are passed over without reading outside the buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/state.h"
#include "format/header.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;

uint32_t g_control = 0;

struct Fetched {
    uint32_t codec; // 0 SP, 1 LP
    Bytes bytes;    // logical bytes
    bool assembled; // handed out from the assembly buffer
};

// Reads the frame at *frame as a decoder would, in logical byte order, and
// moves the frame position and the parity on by its length.
Fetched take_frame(uint8_t **frame)
{
    Fetched f{kvx::g_read.blockCodec, {}, *frame == kvx::g_decoder.assembly + 1};
    const uint8_t *p = *frame;
    size_t length;
    if (f.codec == 1) {
        length = (p[0] & 2) ? 4 : 24;
        f.bytes.assign(p, p + length);
    } else {
        const int odd = kvx::g_read.parity ? 0 : 1; // parity 1: the frame starts on a word
        auto logical = [&](size_t i) { return p[static_cast<long>(((odd + i) ^ 1u)) - odd]; };
        const bool speech = (logical(0) & 0x80) != 0;
        length = (g_control & KVX_CW_SPEECH_FLAG) && !speech ? 9 : 41;
        for (size_t i = 0; i < length; ++i) f.bytes.push_back(logical(i));
        kvx::g_read.parity = !kvx::g_read.parity;
    }
    *frame += length;
    return f;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kvx::allocate_buffers(), 0u);
        kvx::g_decoder.control = &g_control;
        g_control = 0;
        kvx::g_file.name[0] = '\0';
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "kvx-stream-" + test->name() + ".kvx";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    // Writes and opens a file; the ring is not positioned yet.
    void open(const Bytes &bytes)
    {
        ASSERT_TRUE(kvxgen::write(path_, bytes));
        kvx::g_file.name[0] = '\0';
        ASSERT_EQ(KVXActiveFile(path_.c_str(), nullptr, nullptr), 0u);
        g_control = 0;
        kvx::g_read = kvx::ReadPosition();
    }
    void open(const kvxgen::File &file) { open(kvxgen::build(file, &layout_)); }

    // Positions at `ms` and hands out frames until the end, restarting at
    // each change of codec as a session does.
    std::vector<Fetched> walk(uint32_t ms, uint32_t *start = nullptr, size_t limit = 1000000)
    {
        std::vector<Fetched> out;
        uint32_t block_start = 0;
        EXPECT_EQ(kvx::stream_seek(ms, &block_start), 0u);
        if (start != nullptr) *start = block_start;
        uint8_t *frame = nullptr;
        while (out.size() < limit) {
            const uint32_t r = kvx::next_frame(&frame);
            if (r == 1) {
                out.push_back(take_frame(&frame));
                continue;
            }
            EXPECT_EQ(r, 0u);
            if (!kvx::g_read.codecChanged) break;
            kvx::g_read.codecChanged = false; // the session starts again at the new codec
            kvx::g_read.ended = false;
            kvx::g_read.sessionStartChunk = kvx::g_read.loadChunk;
        }
        return out;
    }

    std::vector<const kvxgen::FrameInfo *> audible() const
    {
        std::vector<const kvxgen::FrameInfo *> frames;
        for (const kvxgen::FrameInfo &f : layout_.frames)
            if (!f.afterEnd) frames.push_back(&f);
        return frames;
    }

    void expect_all_frames(const std::vector<Fetched> &got, size_t from = 0)
    {
        const auto want = audible();
        ASSERT_EQ(got.size(), want.size() - from);
        for (size_t i = 0; i < got.size(); ++i) {
            const kvxgen::FrameInfo &w = *want[from + i];
            ASSERT_EQ(got[i].codec, (w.codecByte & 2) ? 1u : 0u) << "frame " << from + i;
            ASSERT_EQ(got[i].bytes, w.bytes) << "frame " << from + i << " in block " << w.block;
        }
    }

    kvxgen::Layout layout_;
    std::string path_;
};

// Frames of one SP codec byte filling about `blocks` blocks.
std::vector<Bytes> sp_frames(size_t count, uint32_t seed, bool speech_mode = true)
{
    std::vector<Bytes> frames;
    std::mt19937 rng(seed);
    for (size_t i = 0; i < count; ++i)
        frames.push_back(speech_mode && rng() % 4 == 0 ? kvxgen::sp_noise(static_cast<uint32_t>(rng()))
                                                        : kvxgen::sp_full(static_cast<uint32_t>(rng()), speech_mode));
    return frames;
}

TEST_F(Stream, FrameRunningOverABlockIsJoinedWithAByteEachSide)
{
    // Nine full and thirteen noise frames fill 486 bytes: the next full
    // frame starts 20 bytes before the block's end, and the next block's
    // first frame lies at 6 + 21 = 27.
    std::vector<Bytes> frames;
    for (int i = 0; i < 9; ++i) frames.push_back(kvxgen::sp_full(i, true));
    for (int i = 0; i < 13; ++i) frames.push_back(kvxgen::sp_noise(100 + i));
    for (int i = 0; i < 20; ++i) frames.push_back(kvxgen::sp_full(200 + i, true));
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(1, frames));
    open(file);
    ASSERT_EQ(layout_.blocks[1].firstFrameOffset, 27);

    ASSERT_EQ(kvx::stream_seek(0, nullptr), 0u);
    uint8_t *frame = nullptr;
    for (int i = 0; i < 22; ++i) {
        ASSERT_EQ(kvx::next_frame(&frame), 1u);
        take_frame(&frame);
    }
    ASSERT_EQ(kvx::next_frame(&frame), 1u);
    EXPECT_EQ(frame, kvx::g_decoder.assembly + 1);
    EXPECT_EQ(kvx::g_read.assemblyFill, 43u);
    // The 43 bytes are the stored stream around the frame: its 41 bytes
    // with the stored byte before and after.
    Bytes file_bytes = kvxgen::build(file);
    const size_t start = layout_.frames[22].fileOffset;
    Bytes stored(file_bytes.begin() + static_cast<long>(start) - 1, file_bytes.begin() + static_cast<long>(start) + 20);
    stored.insert(stored.end(), file_bytes.begin() + 1024 + 512 + 6, file_bytes.begin() + 1024 + 512 + 6 + 22);
    EXPECT_EQ(Bytes(kvx::g_decoder.assembly, kvx::g_decoder.assembly + 43), stored);
    EXPECT_EQ(take_frame(&frame).bytes, frames[22]);
    // The next frame is the first of the next block, read in place.
    ASSERT_EQ(kvx::next_frame(&frame), 1u);
    EXPECT_EQ(frame, kvx::g_decoder.ring + 512 + 27);
    EXPECT_EQ(take_frame(&frame).bytes, frames[23]);
}

TEST_F(Stream, WholeFileInOrderAcrossRefillsAndWraps)
{
    // About five chunks of mixed codecs: three refills and two wraps.
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 30000, 1));
    file.segments.push_back(kvxgen::random_segment(2, 20000, 2));
    file.segments.push_back(kvxgen::random_segment(0, 12000, 3));
    file.segments.push_back(kvxgen::random_segment(3, 9000, 4));
    open(file);
    ASSERT_GE(kvx::g_file.chunkCount, 4);
    expect_all_frames(walk(0));
    EXPECT_GE(kvx::g_read.cursorChunk, 4) << "the cursor went through every chunk";
}

TEST_F(Stream, FrameCutAtTheRingsEndIsCompletedOnTheNextCall)
{
    // The last frame of the ring's last block runs over into block 1000,
    // which the refill has brought to the ring's start.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(13000, 9, false)));
    open(file);
    ASSERT_GT(layout_.blocks.size(), 1001u);
    ASSERT_GT(layout_.blocks[1000].firstFrameOffset, 6) << "a frame must run over into block 1000";

    ASSERT_EQ(kvx::stream_seek(0, nullptr), 0u);
    uint8_t *frame = nullptr;
    std::vector<int> results;
    size_t handed = 0;
    for (;;) {
        const int r = kvx::frame_fetch(&frame);
        results.push_back(r);
        if (r < 0) break;
        if (r == 0) {
            EXPECT_TRUE(g_control & KVX_CW_CUT_FRAME);
            EXPECT_EQ(kvx::g_read.cursor, 512002u);
            continue;
        }
        ASSERT_EQ(kvx::ring_refill(), 0u);
        const Fetched f = take_frame(&frame);
        ASSERT_EQ(f.bytes, layout_.frames[handed].bytes) << "frame " << handed;
        if (results.size() >= 2 && results[results.size() - 2] == 0) {
            EXPECT_TRUE(f.assembled);
            EXPECT_EQ(layout_.frames[handed].block, 999u);
            EXPECT_EQ(kvx::g_read.cursor, 2u);
        }
        ++handed;
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1);
    EXPECT_EQ(handed, layout_.frames.size());
}

TEST_F(Stream, ExactlyTwoChunks)
{
    // 1000 whole blocks positioned in chunk 1: the load reads all 512000
    // bytes and the state stays 3; the first refill finds nothing and puts
    // the end marker at ring offset 2, behind the second chunk.
    kvxgen::File file;
    file.tail = kvxgen::Tail::PadBlock;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(20000, 5, false)));
    Bytes bytes = kvxgen::build(file, &layout_);
    bytes.resize(1024 + 1000 * 512);
    layout_.frames.erase(std::remove_if(layout_.frames.begin(), layout_.frames.end(),
                                        [](const kvxgen::FrameInfo &f) { return f.fileOffset + 41 > 1024 + 1000 * 512; }),
                         layout_.frames.end());
    open(bytes);
    kvxgen::Layout keep = layout_;
    ASSERT_EQ(kvx::g_file.chunkCount, 2);
    ASSERT_EQ(kvx::ring_position(0), 0u);
    EXPECT_EQ(kvx::g_read.halfState, 3);
    EXPECT_NE(kvx::g_decoder.ring[2], 0xAA);
    kvx::g_read.ringValid = false;
    const std::vector<Fetched> got = walk(0);
    EXPECT_EQ(kvx::g_decoder.ring[2], 0xAA);
    EXPECT_EQ(kvx::g_read.halfState, 0);
    // Every frame of the 1000 blocks, the last one cut by the file's end.
    ASSERT_GE(got.size(), keep.frames.size());
    for (size_t i = 0; i < keep.frames.size(); ++i) ASSERT_EQ(got[i].bytes, keep.frames[i].bytes) << i;
}

TEST_F(Stream, ShortLoadPlacesTheEndMarker)
{
    // 700 blocks positioned in chunk 1: 358400 bytes come in, the marker
    // goes to ring offset 358402 (the frame count of block 700), no refill.
    kvxgen::File file;
    file.tail = kvxgen::Tail::PadBlock;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(14000, 6, false)));
    Bytes bytes = kvxgen::build(file, &layout_);
    bytes.resize(1024 + 700 * 512);
    open(bytes);
    ASSERT_EQ(kvx::g_file.chunkCount, 2);
    ASSERT_EQ(kvx::stream_seek(0, nullptr), 0u);
    EXPECT_EQ(kvx::g_decoder.ring[358402], 0xAA);
    EXPECT_EQ(kvx::g_read.halfState, 0);
    EXPECT_EQ(kvx::ring_position(0), kvx::kRingInPlace) << "the ring holds that chunk already";
}

TEST_F(Stream, RefilledRingIsReadAgainAfterACodecChangeRestart)
{
    // SP up to block 800, then LP: the first half is refilled (block 750)
    // before the session restarts itself at the change of codec.  A start
    // back in the first chunk must read the file again, not take the
    // refilled half for the first chunk.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(800 * 12, 3, false)));
    file.segments.push_back(kvxgen::random_segment(2, 20000, 4));
    open(file);
    ASSERT_GE(kvx::g_file.chunkCount, 3);
    // Stop soon after the restart, before the next refill.
    const std::vector<Fetched> first = walk(0, nullptr, 800 * 12 + 50);
    ASSERT_EQ(first.size(), 800u * 12 + 50);
    EXPECT_EQ(first.back().codec, 1u);
    const std::vector<Fetched> again = walk(0, nullptr, 2);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].bytes, layout_.frames[0].bytes);
    EXPECT_EQ(again[1].bytes, layout_.frames[1].bytes);
}

TEST_F(Stream, EmptyAudioEndsAtOnce)
{
    kvxgen::File file;
    open(file);
    EXPECT_EQ(kvx::g_file.chunkTimes[0], 0u);
    uint32_t start = 99;
    EXPECT_TRUE(walk(0, &start).empty());
    EXPECT_EQ(start, 0u);
    EXPECT_TRUE(kvx::g_read.ended);
}

TEST_F(Stream, CodecChangeStopsOnTheFirstFrameOfTheNewCodec)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 40, 1));
    file.segments.push_back(kvxgen::random_segment(2, 40, 2));
    open(file);
    ASSERT_EQ(kvx::stream_seek(0, nullptr), 0u);
    uint8_t *frame = nullptr;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(kvx::next_frame(&frame), 1u);
        take_frame(&frame);
    }
    g_control &= ~KVX_CW_RESET;
    EXPECT_EQ(kvx::next_frame(&frame), 0u);
    EXPECT_TRUE(kvx::g_read.codecChanged);
    EXPECT_TRUE(kvx::g_read.ended);
    EXPECT_TRUE(g_control & KVX_CW_RESET) << "the decoder starts afresh";
    EXPECT_EQ(kvx::g_read.blockCodec, 1u);
    const kvxgen::FrameInfo &first_lp = layout_.frames[40];
    EXPECT_EQ(frame, kvx::g_decoder.ring + (first_lp.fileOffset - 1024));
    EXPECT_EQ(Bytes(frame, frame + first_lp.bytes.size()), first_lp.bytes);
}

TEST_F(Stream, BlocksWithoutFramesArePassedOverAndTheMarkerEnds)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 30, 1));
    file.segments.push_back(kvxgen::Segment::blank(0, 2, 1));
    file.segments.push_back(kvxgen::random_segment(1, 30, 2));
    file.segments.push_back(kvxgen::Segment::blank(0xFF, 1, 1));
    file.segments.push_back(kvxgen::random_segment(1, 30, 3));
    file.segments.push_back(kvxgen::Segment::blank(0xAA, 1, 1));
    file.segments.push_back(kvxgen::random_segment(1, 30, 4)); // behind the end: never heard
    open(file);
    expect_all_frames(walk(0));
    EXPECT_EQ(walk(0).size(), 90u);
}

TEST_F(Stream, PositioningStartsAtTheFirstFrameOfTheBlockHoldingTheTime)
{
    std::mt19937 rng(77);
    for (int round = 0; round < 6; ++round) {
        kvxgen::File file;
        const size_t chunks = 1 + rng() % 5;
        size_t frames = 0;
        while (frames * 25 < chunks * 256000) {
            const uint8_t codec = static_cast<uint8_t>(rng() % 4);
            const size_t n = 50 + rng() % 4000;
            file.segments.push_back(kvxgen::random_segment(codec, n, static_cast<uint32_t>(rng())));
            if (rng() % 3 == 0) file.segments.push_back(kvxgen::Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 2, codec));
            frames += n;
        }
        open(file);
        // The whole file from the start.
        expect_all_frames(walk(0));

        // Block start times from the layout.
        std::vector<uint32_t> block_start(layout_.blocks.size() + 1, 0);
        for (size_t b = 0; b < layout_.blocks.size(); ++b) {
            const kvxgen::BlockInfo &info = layout_.blocks[b];
            const bool silent = info.frameCount == 0 || info.frameCount >= 0x80;
            block_start[b + 1] = block_start[b] + (silent ? 0 : info.frameCount * kvxgen::frame_ms(info.codecByte));
        }
        for (int probe = 0; probe < 8; ++probe) {
            const uint32_t ms = static_cast<uint32_t>(rng() % (layout_.totalMs + 1));
            size_t block = 0;
            while (block + 1 < layout_.blocks.size() && block_start[block + 1] <= ms) ++block;
            while (layout_.blocks[block].frameCount == 0 || layout_.blocks[block].frameCount >= 0x80) --block;
            size_t first = 0;
            while (layout_.frames[first].block != block) ++first;
            uint32_t start = 0;
            const std::vector<Fetched> got = walk(ms, &start, 3);
            ASSERT_FALSE(got.empty()) << "round " << round << " at " << ms << " block " << block << " of "
                                      << layout_.blocks.size() << " cursor " << kvx::g_read.cursor << " chunk "
                                      << kvx::g_read.ringStartChunk << " of " << kvx::g_file.chunkCount << " count "
                                      << int(kvx::g_decoder.ring[kvx::g_read.cursor]) << " ended "
                                      << kvx::g_read.ended << " total " << layout_.totalMs;
            EXPECT_EQ(start, block_start[block]) << "round " << round << " at " << ms;
            EXPECT_EQ(got[0].bytes, layout_.frames[first].bytes) << "round " << round << " at " << ms;
        }
    }
}

// --- Damaged files ---------------------------------------------------------

class DamagedStream : public Stream {
protected:
    // Builds a file of SP and LP blocks, lets `damage` change its bytes,
    // and walks it: the walk must end, inside the buffers (ASan watches).
    std::vector<Fetched> walk_damaged(const std::function<void(Bytes &)> &damage)
    {
        kvxgen::File file;
        file.segments.push_back(kvxgen::random_segment(1, 300, 11));
        file.segments.push_back(kvxgen::random_segment(2, 300, 12));
        Bytes bytes = kvxgen::build(file, &layout_);
        damage(bytes);
        open(bytes);
        return walk(0, nullptr, 100000);
    }
    size_t block_at(size_t b) const { return layout_.blocks[b].fileOffset; }
};

TEST_F(DamagedStream, FirstFrameOffsetInsideTheHeaderPassesTheBlockOver)
{
    const auto got = walk_damaged([&](Bytes &b) {
        b[block_at(3)] = 0x0F; // first-frame offset 2
        b[block_at(3) + 1] = 0x01;
    });
    EXPECT_FALSE(got.empty());
    EXPECT_LT(got.size(), audible().size());
}

TEST_F(DamagedStream, NegativeAndOversizedFrameCounts)
{
    for (uint8_t count : {0x80, 0x81, 0xA9, 0xAB, 0xFE, 0x7F, 0x50}) {
        const auto got = walk_damaged([&](Bytes &b) {
            b[block_at(2) + 2] = count;
            b[block_at(7) + 2] = count;
        });
        EXPECT_FALSE(got.empty()) << int(count);
        EXPECT_LT(got.size(), audible().size() + 2 * 0x7F) << int(count);
    }
}

TEST_F(DamagedStream, OneFrameBlockIsJoinedLikeAnyLastFrame)
{
    const auto got = walk_damaged([&](Bytes &b) { b[block_at(1) + 2] = 1; });
    // Block 1 hands out one frame; the frames of block 2 follow in order.
    size_t first_of_2 = 0;
    while (layout_.frames[first_of_2].block != 2) ++first_of_2;
    size_t first_of_1 = 0;
    while (layout_.frames[first_of_1].block != 1) ++first_of_1;
    ASSERT_GT(got.size(), first_of_1 + 2);
    EXPECT_EQ(got[first_of_1].bytes, layout_.frames[first_of_1].bytes);
    EXPECT_EQ(got[first_of_1 + 1].bytes, layout_.frames[first_of_2].bytes);
}

TEST_F(DamagedStream, OneFrameBlockAtTheRefillPointStillRefills)
{
    // A block without frames before a block of one frame at the middle of
    // the second half: one fetch carries the cursor onto the refill point
    // and past it.  The refill must still come, or the walk would go round
    // the ring for ever.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(19000, 8, false)));
    Bytes bytes = kvxgen::build(file, &layout_);
    ASSERT_GT(layout_.blocks.size(), 1200u);
    bytes[layout_.blocks[749].fileOffset + 2] = 0;
    bytes[layout_.blocks[750].fileOffset + 2] = 1;
    open(bytes);
    const std::vector<Fetched> got = walk(0, nullptr, 60000);
    EXPECT_LT(got.size(), 19000u);
    EXPECT_GT(got.size(), 18000u);
}

TEST_F(DamagedStream, UnknownCodecBytePassesTheBlockOver)
{
    const auto got = walk_damaged([&](Bytes &b) { b[block_at(4) + 4] = 7; });
    EXPECT_FALSE(got.empty());
    for (const Fetched &f : got) EXPECT_LE(f.bytes.size(), 41u);
}

TEST_F(DamagedStream, TruncatedLastBlock)
{
    for (size_t cut : {size_t(1), size_t(3), size_t(200), size_t(511)}) {
        const auto got = walk_damaged([&](Bytes &b) { b.resize(block_at(layout_.blocks.size() - 1) + cut); });
        EXPECT_FALSE(got.empty()) << cut;
    }
}

TEST_F(DamagedStream, RingOfBlocksWithoutFramesEnds)
{
    // Three chunks of blocks that carry nothing: the walk passes over
    // them all, refilling as it goes, and ends at the file's end.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::blank(0, 1400, 0));
    open(kvxgen::build(file, &layout_));
    EXPECT_TRUE(walk(0).empty());
}

} // namespace
