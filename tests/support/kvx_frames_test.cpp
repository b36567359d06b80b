// The frame reader of the edit tests: reading a generated file's blocks
// gives back the frames the generator placed, block by block.
#include "kvx_frames.h"

#include <gtest/gtest.h>

#include <string>

using kvxgen::Bytes;
using kvxgen::File;
using kvxgen::Layout;
using kvxgen::Segment;

TEST(KvxFrames, ReadsBackTheGeneratorsFrames)
{
    const struct {
        uint8_t codec;
        size_t frames;
        kvxgen::Tail tail;
        uint8_t blank;  // a blank block between two segments (frame count byte), 1: none
    } cases[] = {
        {0, 1, kvxgen::Tail::Short, 1},     {0, 13, kvxgen::Tail::PadBlock, 1},  {0, 700, kvxgen::Tail::Short, 0},
        {1, 40, kvxgen::Tail::Short, 1},    {1, 900, kvxgen::Tail::EndMarker, 0xFF}, {2, 22, kvxgen::Tail::Short, 1},
        {2, 1500, kvxgen::Tail::PadBlock, 0}, {3, 300, kvxgen::Tail::Short, 0xFF}, {0, 7000, kvxgen::Tail::Short, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("codec " + std::to_string(c.codec) + ", " + std::to_string(c.frames) + " frames");
        File f;
        f.tail = c.tail;
        f.segments = {kvxgen::random_segment(c.codec, c.frames, 7 + c.codec)};
        if (c.blank != 1) {
            f.segments.push_back(Segment::blank(c.blank));
            f.segments.push_back(kvxgen::random_segment(c.codec, c.frames / 3 + 1, 99));
        }
        Layout layout;
        const kvxgen::BlockFrames got = kvxgen::read_file(kvxgen::build(f, &layout));
        EXPECT_TRUE(got.clean);
        ASSERT_EQ(got.frames.size(), layout.frames.size());
        ASSERT_EQ(got.blockFirst.size(), layout.blocks.size());
        std::vector<size_t> spilling;
        for (size_t i = 0; i < layout.frames.size(); ++i) {
            const kvxgen::FrameInfo &want = layout.frames[i];
            ASSERT_EQ(got.frames[i].bytes, want.bytes) << i;
            ASSERT_EQ(got.frames[i].codec, want.codecByte) << i;
            ASSERT_EQ(got.frames[i].ms, want.durationMs) << i;
            ASSERT_EQ(got.blockFirst[want.block], i - want.indexInBlock) << i;
            if (want.offsetInBlock + want.bytes.size() > kvxgen::kBlockSize) spilling.push_back(i);
        }
        EXPECT_EQ(got.spilling, spilling);
        EXPECT_GE(spilling.size(), c.frames / 60);  // frames over block ends are read too
    }
}

TEST(KvxFrames, FramesPastTheirBlockAreFlagged)
{
    File f;
    f.segments = {kvxgen::random_segment(2, 60, 3)};
    Layout layout;
    const Bytes b = kvxgen::build(f, &layout);
    EXPECT_TRUE(kvxgen::read_file(b).clean);
    EXPECT_FALSE(kvxgen::read_file(kvxgen::with_frame_count(b, layout, 0, 0x7F)).clean);  // counted past the end
    // The last frame of block 0 runs into block 1: its rest must lie before block 1's first frame.
    ASSERT_GT(layout.blocks[1].firstFrameOffset, kvxgen::kBlockHeaderSize);
    EXPECT_FALSE(kvxgen::read_file(kvxgen::with_first_frame_offset(b, layout, 1, 6)).clean);
}
