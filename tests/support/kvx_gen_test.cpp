#include "kvx_gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

using kvxgen::Bytes;
using kvxgen::File;
using kvxgen::Layout;
using kvxgen::Segment;

namespace {

uint16_t u16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t u32(const Bytes& b, size_t at) { return u16(b, at) | static_cast<uint32_t>(u16(b, at + 2)) << 16; }
std::string text(const Bytes& b, size_t at, size_t n) { return std::string(b.begin() + at, b.begin() + at + n); }

struct ParsedFrame {
    size_t block;
    size_t offset;
    Bytes bytes;
};

size_t frameSize(uint8_t codec, uint8_t first) {
    if (codec == 0) return 41;
    if (codec == 1) return (first & 0x80) ? 41 : 9;
    return (first & 0x02) ? 4 : 24;
}

// Reads the audio the way a player would, from the bytes alone.
std::vector<ParsedFrame> parse(const Bytes& f) {
    const size_t head = f.at(0) * kvxgen::kBlockSize;
    std::vector<Bytes> blocks;
    for (size_t at = head; at < f.size(); at += 512) {
        Bytes blk(f.begin() + at, f.begin() + std::min(at + 512, f.size()));
        blk.resize(512, 0xEE);  // missing bytes of a short block
        if (blk[4] <= 1)
            for (size_t i = 6; i < 512; i += 2) std::swap(blk[i], blk[i + 1]);
        blocks.push_back(blk);
    }
    std::vector<ParsedFrame> out;
    size_t spill = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        const Bytes& blk = blocks[k];
        const uint8_t count = blk[2];
        if (count == 0xAA) break;
        if (count == 0 || count == 0xFF) {
            EXPECT_EQ(spill, 0u) << "frame runs over into empty block " << k;
            continue;
        }
        EXPECT_EQ(u16(blk, 0) & 0x7F, 0x0F);
        const size_t off = u16(blk, 0) >> 7;
        EXPECT_EQ(off, 6 + spill) << "block " << k;
        size_t pos = off;
        for (size_t n = 0; n < count; ++n) {
            ParsedFrame fr{k, pos, {}};
            const size_t size = frameSize(blk[4], blk.at(pos));
            for (size_t i = 0; i < size; ++i, ++pos) {
                if (pos == 512) {
                    if (k + 1 == blocks.size()) return ADD_FAILURE() << "frame cut off", out;
                    pos = 512 + 6;
                }
                fr.bytes.push_back(pos < 512 ? blk[pos] : blocks[k + 1][pos - 512]);
            }
            out.push_back(fr);
        }
        spill = pos > 512 ? pos - 512 - 6 : 0;
    }
    return out;
}

File sampleFile(int headerBlocks) {
    File f;
    f.header.blocks = headerBlocks;
    f.segments = {kvxgen::random_segment(1, 300, 7), Segment::blank(0),
                  kvxgen::random_segment(0, 50, 8), Segment::blank(0xFF, 2, 1),
                  kvxgen::random_segment(2, 200, 9), kvxgen::random_segment(3, 77, 10)};
    return f;
}

}  // namespace

TEST(KvxGenHeader, FieldsLandAtTheirOffsets) {
    File f;
    f.header.text1 = "ab";
    f.header.shortMarks[1] = {0x0203, 0x04};
    f.header.extMarks[15] = {0x01020304, 0x0506, 0x0708090A};
    f.header.itemC = {7, 8, "item"};
    f.header.text4 = std::string(120, 'x');
    f.segments = {kvxgen::random_segment(2, 50, 1)};  // 1500 ms
    const Bytes b = kvxgen::build(f);

    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(text(b, 1, 3), "kvx");
    EXPECT_EQ(u16(b, 4), 1);
    EXPECT_EQ(u16(b, 6), 1);
    EXPECT_EQ(u32(b, 8), 2u);
    EXPECT_EQ(text(b, 12, 16), "ab" + std::string(14, ' '));
    EXPECT_EQ(u16(b, 32), 0xFFFE);
    EXPECT_EQ(text(b, 38, 30), "250102093000250102093100000001");
    EXPECT_EQ(b[68], 0xFF);
    EXPECT_EQ(b[69], 7);
    EXPECT_EQ(Bytes(b.begin() + 70, b.begin() + 89), Bytes(19, 0xFF));  // text 2, mark 0
    EXPECT_EQ(Bytes(b.begin() + 89, b.begin() + 92), (Bytes{0x03, 0x02, 0x04}));
    EXPECT_EQ(u32(b, 134), 1500u);
    EXPECT_EQ(b[138], 2);
    EXPECT_EQ(Bytes(b.begin() + 139, b.begin() + 512), Bytes(373, 0xFF));

    EXPECT_EQ(u32(b, 512), 1500u);
    EXPECT_EQ(Bytes(b.begin() + 516, b.begin() + 666), Bytes(150, 0xFF));
    EXPECT_EQ(Bytes(b.begin() + 666, b.begin() + 676),
              (Bytes{4, 3, 2, 1, 6, 5, 0x0A, 9, 8, 7}));
    EXPECT_EQ(b[676], 2);
    EXPECT_EQ(u32(b, 764), 7u);
    EXPECT_EQ(u32(b, 768), 8u);
    EXPECT_EQ(text(b, 772, 5), std::string("item") + '\0');
    EXPECT_EQ(b[792], 0xFF);
    EXPECT_EQ(text(b, 798, 100), std::string(100, 'x'));
    EXPECT_EQ(b[898], 0);
    EXPECT_EQ(b[1023], 0);
    EXPECT_EQ(b[1024 + 4], 2);  // first audio block

    EXPECT_EQ(kvxgen::hhmmss(3725999), "010205");

    f.header.blocks = 1;
    Layout l;
    const Bytes one = kvxgen::build(f, &l);
    EXPECT_EQ(one[0], 1);
    EXPECT_EQ(l.headerBytes, 512u);
    EXPECT_EQ(Bytes(one.begin() + 512, one.end()), Bytes(b.begin() + 1024, b.end()));
}

TEST(KvxGenPacking, IndependentParseGivesBackEveryFrame) {
    for (int headerBlocks : {1, 2}) {
        const File f = sampleFile(headerBlocks);
        Layout l;
        const Bytes b = kvxgen::build(f, &l);
        const auto parsed = parse(b);

        std::vector<Bytes> input;
        for (const Segment& s : f.segments) input.insert(input.end(), s.frames.begin(), s.frames.end());
        ASSERT_EQ(parsed.size(), input.size());
        ASSERT_EQ(l.frames.size(), input.size());
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_EQ(parsed[i].bytes, input[i]) << "frame " << i;
            EXPECT_EQ(l.frames[i].bytes, input[i]);
            EXPECT_EQ(l.frames[i].block, parsed[i].block);
            EXPECT_EQ(l.frames[i].offsetInBlock, parsed[i].offset);
            EXPECT_EQ(l.frames[i].fileOffset, l.headerBytes + parsed[i].block * 512 + parsed[i].offset);
        }
        EXPECT_EQ(l.totalMs, 300u * 24 + 50 * 24 + 277 * 30);
        EXPECT_EQ(b.size(), l.headerBytes + l.audioBytes);
    }
}

TEST(KvxGenPacking, FrameRunsOverIntoNextBlockSwappedAtBothParities) {
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 54; ++i) frames.push_back(kvxgen::sp_noise(i));  // 486 bytes
    frames.push_back(kvxgen::sp_full(100, true));  // starts 20 bytes before the block end
    frames.push_back(kvxgen::sp_full(101, true));
    File f;
    f.segments = {Segment::audio(1, frames)};
    Layout l;
    const Bytes b = kvxgen::build(f, &l);

    ASSERT_EQ(l.blocks.size(), 2u);
    EXPECT_EQ(l.blocks[0].frameCount, 55);
    EXPECT_EQ(l.blocks[0].firstFrameOffset, 6);
    EXPECT_EQ(l.blocks[1].frameCount, 1);
    EXPECT_EQ(l.blocks[1].firstFrameOffset, 27);
    EXPECT_EQ(u16(b, 1536), (27 << 7) | 0x0F);
    EXPECT_EQ(b[1536 + 2], 1);

    const size_t d0 = 1024 + 6, d1 = 1536 + 6;  // data areas
    EXPECT_EQ(b[d0 + 0], frames[0][1]);
    EXPECT_EQ(b[d0 + 8], frames[1][0]);   // noise frame 1 starts at odd data offset 9
    EXPECT_EQ(b[d0 + 487], frames[54][0]);  // even offset 486
    EXPECT_EQ(b[d0 + 504], frames[54][19]);
    EXPECT_EQ(b[d1 + 0], frames[54][21]);
    EXPECT_EQ(b[d1 + 1], frames[54][20]);
    EXPECT_EQ(b[d1 + 20], frames[55][0]);  // odd offset 21
    EXPECT_EQ(l.frames[55].offsetInBlock, 27u);
}

TEST(KvxGenPacking, SegmentEndClosesBlockAndBlankBlocksStandAlone) {
    std::vector<Bytes> sp;
    for (uint32_t i = 0; i < 13; ++i) sp.push_back(kvxgen::sp_full(i, false));  // 13th would run over
    const Bytes lp0 = kvxgen::lp_active(5);
    File f;
    f.segments = {Segment::audio(0, sp), Segment::blank(0xFF, 1, 0), Segment::audio(2, {lp0})};
    Layout l;
    const Bytes b = kvxgen::build(f, &l);

    ASSERT_EQ(l.blocks.size(), 4u);
    EXPECT_EQ(l.blocks[0].frameCount, 12);
    EXPECT_EQ(Bytes(b.begin() + 1024 + 6 + 492, b.begin() + 1536), Bytes(14, 0xFF));
    EXPECT_EQ(l.blocks[1].firstFrameOffset, 6);
    EXPECT_EQ(l.blocks[1].frameCount, 1);
    EXPECT_EQ(b[1536 + 7], sp[12][0]);
    EXPECT_EQ(Bytes(b.begin() + 1536 + 48, b.begin() + 2048), Bytes(464, 0xFF));
    EXPECT_EQ(Bytes(b.begin() + 2048, b.begin() + 2054), (Bytes{0x0F, 0x03, 0xFF, 0xFF, 0, 0xFF}));
    EXPECT_EQ(Bytes(b.begin() + 2054, b.begin() + 2560), Bytes(506, 0xFF));
    EXPECT_EQ(Bytes(b.begin() + 2560, b.begin() + 2566), (Bytes{0x0F, 0x03, 1, 0xFF, 2, 0xFF}));
    EXPECT_EQ(Bytes(b.begin() + 2566, b.end()), lp0);  // LP is not swapped
}

TEST(KvxGenPacking, TailVariants) {
    auto size = [](uint8_t codec, std::vector<Bytes> frames, kvxgen::Tail tail) {
        File f;
        f.tail = tail;
        f.segments = {Segment::audio(codec, std::move(frames))};
        return kvxgen::build(f).size() - 1024;
    };
    const Bytes full = kvxgen::sp_full(1, false);
    EXPECT_EQ(size(0, {full, full}, kvxgen::Tail::Short), 6u + 82);
    EXPECT_EQ(size(0, {full, full, full}, kvxgen::Tail::Short), 6u + 124);  // whole last word
    EXPECT_EQ(size(2, {kvxgen::lp_active(1), Bytes(5, 1)}, kvxgen::Tail::Short), 6u + 29);
    EXPECT_EQ(size(0, std::vector<Bytes>(13, full), kvxgen::Tail::Short), 512u + 6 + 42);
    EXPECT_EQ(size(0, {full}, kvxgen::Tail::PadBlock), 512u);

    File f;
    f.tail = kvxgen::Tail::EndMarker;
    f.segments = {Segment::audio(0, {full})};
    Layout l;
    const Bytes b = kvxgen::build(f, &l);
    ASSERT_EQ(b.size(), 2048u);
    Bytes marker(512, 0xFF);
    marker[2] = 0xAA;
    EXPECT_EQ(Bytes(b.begin() + 1536, b.end()), marker);
    EXPECT_EQ(l.endMarkerBlock, 1u);
    EXPECT_EQ(parse(b).size(), 1u);
}

TEST(KvxGenChunks, TimesCodecFlagsAndEndMarker) {
    auto oneFramePerBlock = [](uint8_t codec, size_t blocks) {
        return Segment::audio(codec, std::vector<Bytes>(blocks, Bytes(506, 0x80)));
    };
    File f;
    f.segments = {oneFramePerBlock(1, 500), oneFramePerBlock(2, 500)};
    Layout l;
    kvxgen::build(f, &l);
    EXPECT_EQ(l.audioBytes, 512000u);
    EXPECT_EQ(kvxgen::chunk_times(l), (std::vector<uint32_t>{12000, 27000}));
    EXPECT_EQ(kvxgen::codec_flags(l), 3);

    f.segments.push_back(Segment::audio(3, {Bytes(20, 0)}));  // block 1001, short
    kvxgen::build(f, &l);
    EXPECT_EQ(l.audioBytes, 512000u + 26);
    EXPECT_EQ(kvxgen::chunk_times(l), (std::vector<uint32_t>{12000, 27000, 27030}));

    f.segments = {};
    kvxgen::build(f, &l);
    EXPECT_EQ(kvxgen::chunk_times(l), std::vector<uint32_t>{0});
    EXPECT_EQ(kvxgen::codec_flags(l), 0);

    f.segments = {oneFramePerBlock(1, 2), Segment::blank(0), Segment::blank(0xAA),
                  oneFramePerBlock(2, 3)};
    const Bytes b = kvxgen::build(f, &l);
    EXPECT_EQ(kvxgen::chunk_times(l), std::vector<uint32_t>{48});
    EXPECT_EQ(kvxgen::codec_flags(l), 1);
    EXPECT_EQ(l.totalMs, 48u);
    EXPECT_EQ(u32(b, 134), 48u);
    EXPECT_TRUE(l.frames.back().afterEnd);
    EXPECT_FALSE(l.frames[1].afterEnd);
}

TEST(KvxGenBroken, VariantsChangeOnlyWhatTheySay) {
    File f = sampleFile(2);
    Layout l;
    const Bytes b = kvxgen::build(f, &l);
    auto diff = [&](const Bytes& x) {
        std::vector<size_t> at;
        for (size_t i = 0; i < x.size(); ++i)
            if (x[i] != b[i]) at.push_back(i);
        return at;
    };
    const Bytes upper = kvxgen::with_magic(b, "KVX");
    EXPECT_EQ(text(upper, 1, 3), "KVX");
    EXPECT_EQ(diff(upper), (std::vector<size_t>{1, 2, 3}));
    EXPECT_EQ(kvxgen::with_header_blocks(b, 200)[0], 200);
    EXPECT_EQ(kvxgen::with_header_blocks(b, 0)[0], 0);
    const Bytes cut = kvxgen::truncated(b, 600);
    EXPECT_EQ(cut, Bytes(b.begin(), b.begin() + 600));

    const Bytes odd = kvxgen::with_first_frame_offset(b, l, 1, 512);
    EXPECT_EQ(u16(odd, l.blocks[1].fileOffset), 0x0F);  // 512 << 7 wraps to 0
    const Bytes off = kvxgen::with_first_frame_offset(b, l, 1, 5);
    EXPECT_EQ(u16(off, l.blocks[1].fileOffset), (5 << 7) | 0x0F);
    EXPECT_EQ(diff(kvxgen::with_frame_count(b, l, 3, 0xAA)), std::vector<size_t>{l.blocks[3].fileOffset + 2});

    File bad;
    bad.header.blocks = 3;
    EXPECT_THROW(kvxgen::build(bad), std::invalid_argument);
    bad.header.blocks = 1;
    bad.segments = {Segment::audio(2, {Bytes(507, 0)})};
    EXPECT_THROW(kvxgen::build(bad), std::invalid_argument);
    bad.segments = {Segment::audio(2, std::vector<Bytes>(170, Bytes(2, 0)))};
    EXPECT_THROW(kvxgen::build(bad), std::invalid_argument);
}

TEST(KvxGenFrames, MakersKeepSizesAndFlagBits) {
    for (uint32_t s = 0; s < 64; ++s) {
        EXPECT_EQ(kvxgen::sp_full(s, true).size(), 41u);
        EXPECT_TRUE(kvxgen::sp_full(s, true)[0] & 0x80);
        EXPECT_EQ(kvxgen::sp_noise(s).size(), 9u);
        EXPECT_FALSE(kvxgen::sp_noise(s)[0] & 0x80);
        EXPECT_EQ(kvxgen::lp_active(s).size(), 24u);
        EXPECT_FALSE(kvxgen::lp_active(s)[0] & 0x02);
        EXPECT_EQ(kvxgen::lp_sid(s).size(), 4u);
        EXPECT_TRUE(kvxgen::lp_sid(s)[0] & 0x02);
    }
    EXPECT_EQ(kvxgen::lp_active(3), kvxgen::lp_active(3));
    EXPECT_NE(kvxgen::lp_active(3), kvxgen::lp_active(4));

    for (uint8_t codec : {0, 1, 2}) {
        std::set<size_t> sizes;
        for (const Bytes& fr : kvxgen::random_segment(codec, 200, 5).frames) sizes.insert(fr.size());
        EXPECT_EQ(sizes.size(), codec == 0 ? 1u : 2u) << int(codec);
    }
}
