// The read ring and the frame fetch: every frame comes out whole, in order,
// across block boundaries, refills and the ring's wrap; starts land on the
// block that holds the time; damaged blocks end or are passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/state.h"
#include "format/stream.h"
#include "kvx.h"
#include "kvx_gen.h"

namespace {

using kvxgen::Bytes;

uint32_t g_control = 0;

struct Fetched {
    uint32_t codec; // 0 SP, 1 LP
    Bytes bytes;    // logical bytes
};

// Reads the frame at *frame as a decoder would, in logical byte order, and
// moves the frame position and the parity on by its length.
Fetched take_frame(uint8_t **frame)
{
    Fetched f{kvx::g_read.blockCodec, {}};
    const uint8_t *p = *frame;
    size_t length;
    if (f.codec == 1) {
        length = (p[0] & 2) ? 4 : 24;
        f.bytes.assign(p, p + length);
    } else {
        const int odd = kvx::g_read.parity ? 0 : 1; // parity 1: the frame starts on a word
        auto logical = [&](size_t i) { return p[static_cast<long>(((odd + i) ^ 1u)) - odd]; };
        length = (g_control & KVX_CW_SPEECH_FLAG) && !(logical(0) & 0x80) ? 9 : 41;
        for (size_t i = 0; i < length; ++i) f.bytes.push_back(logical(i));
        kvx::g_read.parity = !kvx::g_read.parity;
    }
    *frame += length;
    return f;
}

std::vector<Bytes> sp_frames(size_t count, uint32_t seed)
{
    return kvxgen::random_segment(0, count, seed).frames;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kvx::allocate_buffers(), 0u);
        kvx::g_decoder.control = &g_control;
        path_ = ::testing::TempDir() + "kvx-stream-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
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
            kvx::g_read.codecChanged = false; // the session starts again at the new codec
            kvx::g_read.ended = false;
        }
        return out;
    }

    // The frames before the end marker of the blocks within `bytes` of
    // audio; those that the file's end cuts come out too, with zeros.
    void expect_frames(const std::vector<Fetched> &got, size_t bytes = SIZE_MAX)
    {
        std::vector<const kvxgen::FrameInfo *> want;
        for (const kvxgen::FrameInfo &f : layout_.frames)
            if (!f.afterEnd && f.block * 512 < bytes) want.push_back(&f);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].codec, (want[i]->codecByte & 2) ? 1u : 0u) << "frame " << i;
            if (want[i]->fileOffset - layout_.headerBytes + want[i]->bytes.size() <= bytes) {
                ASSERT_EQ(got[i].bytes, want[i]->bytes) << "frame " << i;
            }
        }
    }

    size_t first_frame_of(size_t block) const
    {
        size_t f = 0;
        while (layout_.frames[f].block != block) ++f;
        return f;
    }

    kvxgen::Layout layout_;
    std::string path_;
    uint8_t *frame_ = nullptr; // the walk's frame position
};

// Random files of both codecs with blocks that carry nothing and end
// markers, over one to five chunks: the whole file comes out in order (each
// frame whole: those joined across blocks and the ring's wrap too), and a
// start at any time begins with the first frame of the block that holds it.
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
            if (rng() % 3 == 0) file.segments.push_back(kvxgen::Segment::blank(rng() % 2 ? 0 : 0xFF, 1 + rng() % 2, codec));
            frames += n;
        }
        if (round == 6) file.segments.insert(file.segments.end() - 1, kvxgen::Segment::blank(0xAA, 1, 0));
        open(file);
        SCOPED_TRACE("round " + std::to_string(round));
        expect_frames(walk(0));

        std::vector<uint32_t> block_start(1, 0); // of each block with frames
        std::vector<size_t> blocks;
        for (size_t b = 0; b < layout_.blocks.size() && b != layout_.endMarkerBlock; ++b) {
            const kvxgen::BlockInfo &info = layout_.blocks[b];
            if (info.frameCount == 0 || info.frameCount >= 0x80) continue;
            blocks.push_back(b);
            block_start.push_back(block_start.back() + info.frameCount * kvxgen::frame_ms(info.codecByte));
        }
        // Beyond the end: the last block before the end (marker).
        const uint32_t range = layout_.totalMs + (layout_.endMarkerBlock == kvxgen::kNone ? 2000 : 0);
        for (int probe = 0; probe < 8 && !blocks.empty(); ++probe) {
            const uint32_t ms = static_cast<uint32_t>(rng() % range);
            size_t i = 0;
            while (i + 1 < blocks.size() && block_start[i + 1] <= ms) ++i;
            uint32_t start = 0;
            const std::vector<Fetched> got = walk(ms, &start, 1);
            ASSERT_EQ(got.size(), 1u) << "at " << ms;
            EXPECT_EQ(start, block_start[i]) << "at " << ms;
            EXPECT_EQ(got[0].bytes, layout_.frames[first_frame_of(blocks[i])].bytes) << "at " << ms;
        }
    }
}

// Files of about two chunks, ending where the ring's halves end or not:
// every frame once, then the end; a start beyond the end on the last block.
TEST_F(Stream, FilesEndingAtOrBeforeTheRingsEnd)
{
    kvxgen::File file;
    file.tail = kvxgen::Tail::PadBlock;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(13000, 5)));
    const Bytes whole = kvxgen::build(file, &layout_);
    // Exactly two chunks; two chunks whose last block is cut short, so that
    // the load still fills the ring to its end; 700 blocks.
    for (size_t audio : {size_t(512000), size_t(512000 - 200), size_t(700 * 512)}) {
        SCOPED_TRACE(audio);
        open(kvxgen::truncated(whole, 1024 + audio));
        expect_frames(walk(0, nullptr, 20000), audio);
        const size_t last = first_frame_of((audio + 511) / 512 - 1);
        uint32_t start = 0;
        const std::vector<Fetched> got = walk(0xFFFFFF00, &start, 1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].bytes, layout_.frames[last].bytes);
        EXPECT_EQ(start, layout_.frames[last].startMs);
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
    EXPECT_EQ(start, layout_.frames[first_frame_of(999)].startMs);
}

TEST_F(Stream, RefilledRingIsReadAgainAfterACodecChangeRestart)
{
    // SP up to block 800, then LP: the first half is refilled (block 750)
    // before the session restarts itself at the change of codec.  A start
    // back in the first chunk must read the file again.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(800 * 12, 3)));
    file.segments.push_back(kvxgen::random_segment(2, 20000, 4));
    open(file);
    ASSERT_EQ(walk(0, nullptr, 800 * 12 + 50).back().codec, 1u);
    const std::vector<Fetched> again = walk(0, nullptr, 2);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].bytes, layout_.frames[0].bytes);
    EXPECT_EQ(again[1].bytes, layout_.frames[1].bytes);
}

// --- Damaged blocks: the walk ends, inside the buffers (ASan watches) ------

TEST_F(Stream, DamagedBlocks)
{
    kvxgen::File file;
    file.segments.push_back(kvxgen::random_segment(1, 300, 11));
    file.segments.push_back(kvxgen::random_segment(2, 300, 12));
    const Bytes good = kvxgen::build(file, &layout_);
    const kvxgen::Layout layout = layout_;
    auto at = [&](size_t block, size_t byte) { return layout.blocks[block].fileOffset + byte; };
    auto in_block = [&](size_t block) -> long {
        return std::count_if(layout.frames.begin(), layout.frames.end(),
                             [&](const kvxgen::FrameInfo &f) { return f.block == block; });
    };
    struct Damage {
        const char *what;
        std::function<void(Bytes &)> apply;
        long lost; // frames not handed out; -1: not known exactly
    };
    std::vector<Damage> damages = {
        {"first frame inside the header", [&](Bytes &b) { b[at(3, 0)] = 0x0F, b[at(3, 1)] = 0x01; }, in_block(3)},
        {"unknown codec byte", [&](Bytes &b) { b[at(4, 4)] = 7; }, in_block(4)},
    };
    for (uint8_t count : {0x80, 0x81, 0xA9, 0xAB, 0xFE, 0x7F, 0x50})
        damages.push_back({"frame count", [&, count](Bytes &b) { b[at(2, 2)] = b[at(7, 2)] = count; }, -1});
    for (size_t cut : {1, 3, 200, 511})
        damages.push_back(
            {"truncated last block", [&, cut](Bytes &b) { b.resize(at(layout.blocks.size() - 1, cut)); }, -1});
    for (const Damage &d : damages) {
        Bytes bytes = good;
        d.apply(bytes);
        open(bytes);
        const std::vector<Fetched> got = walk(0, nullptr, 100000);
        EXPECT_FALSE(got.empty()) << d.what;
        const size_t most = layout.frames.size() + 2 * 0x7F;
        EXPECT_EQ(got.size(), d.lost >= 0 ? layout.frames.size() - d.lost : std::min(got.size(), most)) << d.what;
    }

    // A block of one frame: its frame is joined like any last frame and the
    // next block's frames follow.
    Bytes one = good;
    one[at(1, 2)] = 1;
    open(one);
    const std::vector<Fetched> got = walk(0);
    layout_ = layout;
    ASSERT_GT(got.size(), first_frame_of(1) + 1);
    EXPECT_EQ(got[first_frame_of(1)].bytes, layout.frames[first_frame_of(1)].bytes);
    EXPECT_EQ(got[first_frame_of(1) + 1].bytes, layout.frames[first_frame_of(2)].bytes);
}

TEST_F(Stream, BlocksWithoutFramesNeverStallTheRefill)
{
    // A frameless block before a block of one frame at the middle of either
    // half: one fetch carries the cursor past the refill point, and the
    // refill must still come.  Then chunks of nothing but frameless blocks:
    // the walk refills as it goes and ends at the file's end.
    kvxgen::File file;
    file.segments.push_back(kvxgen::Segment::audio(0, sp_frames(19000, 8)));
    Bytes bytes = kvxgen::build(file, &layout_);
    for (size_t block : {750, 1250}) {
        bytes[layout_.blocks[block - 1].fileOffset + 2] = 0;
        bytes[layout_.blocks[block].fileOffset + 2] = 1;
    }
    open(bytes);
    const size_t frames = walk(0, nullptr, 60000).size();
    EXPECT_GT(frames, 18000u);
    EXPECT_LT(frames, 19000u);

    kvxgen::File blank;
    blank.segments.push_back(kvxgen::Segment::blank(0, 1400, 0));
    open(blank);
    EXPECT_TRUE(walk(0).empty());
}

} // namespace
