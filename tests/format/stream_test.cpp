// The read ring and the frame fetch: every frame comes out whole, in order,
// across block boundaries, refills and the ring's wrap; starts land on the
// block that holds the time; damaged blocks end or are passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/state.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;
using kvxgen::Segment;

uint32_t g_control = 0;

// Reads the frame at *frame as the block codec's decoder would, in logical
// byte order, and moves the frame position and the parity on by its length.
Bytes take_frame(uint8_t **frame)
{
    const uint8_t *p = *frame;
    size_t length = (p[0] & 2) ? 4 : 24;
    Bytes bytes(p, p + length);
    if (kvx::g_read.blockCodec == 0) {
        const int odd = kvx::g_read.parity ? 0 : 1; // parity 1: the frame starts on a word
        auto logical = [&](size_t i) { return p[static_cast<long>(((odd + i) ^ 1u)) - odd]; };
        length = (g_control & KVX_CW_SPEECH_FLAG) && !(logical(0) & 0x80) ? 9 : 41;
        bytes.resize(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = logical(i);
        kvx::g_read.parity = !kvx::g_read.parity;
    }
    *frame += length;
    return bytes;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kvx::allocate_buffers(), 0u);
        kvx::g_decoder.control = &g_control;
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
    std::vector<Bytes> walk(uint32_t ms, uint32_t *start = nullptr, size_t limit = 1000000)
    {
        std::vector<Bytes> out;
        EXPECT_EQ(kvx::stream_seek(ms, start), 0u);
        while (out.size() < limit) {
            const uint32_t r = kvx::next_frame(&frame_);
            if (r == 1) {
                out.push_back(take_frame(&frame_));
                continue;
            }
            EXPECT_EQ(r, 0u);
            if (!kvx::g_read.codecChanged) break;
            EXPECT_TRUE(g_control & KVX_CW_RESET) << "the decoder starts afresh at a change of codec";
            g_control &= ~KVX_CW_RESET;
            // The session starts again at the new codec, from the chunk loaded last.
            kvx::g_read.codecChanged = kvx::g_read.ended = false;
            kvx::g_read.sessionStartChunk = kvx::g_read.loadChunk;
        }
        return out;
    }

    // The frames before the end marker of the blocks within `bytes` of
    // audio; those that the file's end cuts come out too, with zeros.
    void expect_frames(const std::vector<Bytes> &got, size_t bytes = SIZE_MAX)
    {
        std::vector<const kvxgen::FrameInfo *> want;
        for (const kvxgen::FrameInfo &f : layout_.frames)
            if (!f.afterEnd && f.block * 512 < bytes) want.push_back(&f);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (want[i]->fileOffset - layout_.headerBytes + want[i]->bytes.size() <= bytes) {
                ASSERT_EQ(got[i], want[i]->bytes) << "frame " << i;
            }
        }
    }

    // The first frame of the last block with frames (of the first `blocks`)
    // that begins at or before `ms`.
    const kvxgen::FrameInfo &block_at(uint32_t ms, size_t blocks = SIZE_MAX) const
    {
        const kvxgen::FrameInfo *first = &layout_.frames[0];
        for (const kvxgen::FrameInfo &f : layout_.frames)
            if (!f.afterEnd && f.indexInBlock == 0 && f.startMs <= ms && f.block < blocks) first = &f;
        return *first;
    }

    const std::string path_ = ::testing::TempDir() + "kvx-stream.kvx";
    kvxgen::Layout layout_;
    uint8_t *frame_ = nullptr; // the walk's frame position
};

// Random files of both codecs with blocks that carry nothing and end
// markers, over one to five chunks: the whole file comes out in order (each
// frame whole: those joined across blocks and the ring's wrap too), and a
// start at any time, also back in a chunk that a refill replaced, begins
// with the first frame of the block that holds it.
TEST_F(Stream, WholeFilesAndStartsAtAnyTime)
{
    std::mt19937 rng(77);
    for (int round = 0; round < 7; ++round) {
        kvxgen::File file;
        const size_t target = round == 0 ? 0 : (1 + rng() % 5) * 256000 / 25;
        for (size_t frames = 0; frames < target;) {
            const uint8_t codec = static_cast<uint8_t>(rng() % 4);
            const size_t n = 50 + rng() % 4000;
            file.segments.push_back(kvxgen::random_segment(codec, n, static_cast<uint32_t>(rng())));
            if (rng() % 3 == 0) file.segments.push_back(Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 2, codec));
            frames += n;
        }
        if (round == 6) file.segments.insert(file.segments.end() - 1, Segment::blank(0xAA, 1, 0));
        open(file);
        SCOPED_TRACE("round " + std::to_string(round));
        expect_frames(walk(0));
        // Beyond the end: the last block before the end (marker).
        const uint32_t range = layout_.totalMs + (layout_.endMarkerBlock == kvxgen::kNone ? 2000 : 0);
        for (int probe = 0; probe < 8 && !layout_.frames.empty(); ++probe) {
            const uint32_t ms = static_cast<uint32_t>(rng() % range);
            uint32_t start = 0;
            const std::vector<Bytes> got = walk(ms, &start, 1);
            ASSERT_EQ(got.size(), 1u) << "at " << ms;
            EXPECT_EQ(start, block_at(ms).startMs) << "at " << ms;
            EXPECT_EQ(got[0], block_at(ms).bytes) << "at " << ms;
        }
    }
}

// Files of two and three chunks, ending where the ring's halves end or not:
// every frame once, then the end; a start beyond the end on the last block.
TEST_F(Stream, FilesEndingAtOrBeforeTheRingsEnd)
{
    const Bytes whole = kvxgen::build(kvxgen::File{{}, {kvxgen::random_segment(0, 19000, 5)}, kvxgen::Tail::PadBlock},
                                      &layout_);
    // Exactly two chunks; two chunks whose last block is cut short, so that
    // the load still fills the ring to its end; 700 blocks; three chunks.
    for (size_t audio : {512000, 512000 - 200, 700 * 512, 768000}) {
        SCOPED_TRACE(audio);
        open(kvxgen::truncated(whole, 1024 + audio));
        expect_frames(walk(0, nullptr, 30000), audio);
        uint32_t start = 0;
        const std::vector<Bytes> got = walk(0xFFFFFF00, &start, 1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], block_at(UINT32_MAX, (audio + 511) / 512).bytes);
        EXPECT_EQ(start, block_at(UINT32_MAX, (audio + 511) / 512).startMs);
        if (audio > 512000) continue;
        ASSERT_EQ(kvx::stream_seek(0, nullptr), 0u);
        EXPECT_EQ(kvx::ring_position(0), kvx::kRingInPlace) << "the ring holds that chunk already";
    }
    // A table that promises more than the blocks hold (a stale record): the
    // start walks to the ring's last block and stops there.
    open(kvxgen::truncated(whole, 1024 + 512000));
    kvx::g_file.chunkTimes[0] = 0x7FFFFFFF;
    kvx::g_file.chunkTimes[1] = 0x80000000;
    uint32_t start = 0;
    ASSERT_EQ(kvx::stream_seek(0x7FFFFFF0, &start), 0u);
    EXPECT_EQ(kvx::g_read.cursor, 512000u - 510);
    EXPECT_EQ(start, block_at(UINT32_MAX, 1000).startMs);
}

// Damaged blocks: the walk passes them over or ends, inside the buffers
// (ASan watches), and the other frames come out.
TEST_F(Stream, DamagedBlocks)
{
    const kvxgen::File file{{}, {kvxgen::random_segment(1, 300, 11), kvxgen::random_segment(2, 300, 12)}};
    const Bytes good = kvxgen::build(file, &layout_);
    const kvxgen::Layout layout = layout_;
    std::vector<long> in_block(layout.blocks.size()); // frames that begin in each block
    for (const kvxgen::FrameInfo &f : layout.frames) ++in_block[f.block];
    // A byte of a block header set, or the file cut `cut` bytes into its last
    // block; `lost`: the frames not handed out, -1 when not known exactly.
    const struct {
        size_t block, byte, value, cut;
        long lost;
    } damages[] = {
        {3, 1, 0x01, 0, in_block[3]},                                 // the first frame inside the block header
        {4, 4, 7, 0, in_block[4]},                                    // an unknown codec
        {2, 2, 0x80, 0, in_block[2]}, {2, 2, 0xA9, 0, in_block[2]}, {2, 2, 0xAB, 0, in_block[2]}, // negative counts
        {1, 2, 1, 0, in_block[1] - 1},                                // one frame: joined like any last frame
        {2, 2, 0x7F, 0, 0}, {2, 2, 0x50, 0, 0},                       // more than the block holds: the rest dropped
        {0, 0, 0, 1, in_block.back()}, {0, 0, 0, 3, -1},              // the last block's count or codec cut off
        {0, 0, 0, 200, 0}, {0, 0, 0, 511, 0},                         // frames cut off come out as zeros
    };
    for (const auto &d : damages) {
        Bytes bytes = good;
        if (d.cut != 0) bytes.resize(layout.blocks.back().fileOffset + d.cut);
        else bytes[layout.blocks[d.block].fileOffset + d.byte] = static_cast<uint8_t>(d.value);
        open(bytes);
        const size_t got = walk(0, nullptr, 100000).size();
        SCOPED_TRACE(::testing::Message() << d.block << " " << d.byte << " " << d.value << " " << d.cut);
        EXPECT_GT(got, 0u);
        EXPECT_EQ(got, d.lost < 0 ? std::min(got, layout.frames.size() + 2 * 0x7F) : layout.frames.size() - d.lost);
    }
}

// A frameless block before a block of one frame at the middle of either
// half: one fetch carries the cursor past the refill point, and the refill
// must still come.  Then chunks of nothing but frameless blocks: the walk
// refills as it goes and ends at the file's end.
TEST_F(Stream, BlocksWithoutFramesNeverStallTheRefill)
{
    Bytes bytes = kvxgen::build(kvxgen::File{{}, {kvxgen::random_segment(0, 19000, 8)}}, &layout_);
    for (size_t block : {750, 1250}) {
        bytes[layout_.blocks[block - 1].fileOffset + 2] = 0;
        bytes[layout_.blocks[block].fileOffset + 2] = 1;
    }
    open(bytes);
    const size_t frames = walk(0, nullptr, 60000).size();
    EXPECT_GT(frames, 18000u);
    EXPECT_LT(frames, 19000u);

    open(kvxgen::File{{}, {Segment::blank(0, 1400, 0)}});
    EXPECT_TRUE(walk(0).empty());
}

} // namespace
