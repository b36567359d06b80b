// kvxgen: writes KVX dictation files from lists of coded frames, for tests.
//
// File = 1 or 2 header blocks of 512 bytes, then 512-byte audio blocks.
// Every audio block has a 6-byte header and a 506-byte data area; the data
// areas of consecutive blocks form one frame stream, so a frame may begin
// near the end of one block and continue in the next one.  SP data (codec
// byte 0/1) is stored with every 16-bit word byte-swapped; LP data (2/3) is
// stored as is.  Frames are given to the generator as logical bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvxgen {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlockSize = 512;
constexpr size_t kBlockHeaderSize = 6;
constexpr size_t kBlockDataSize = 506;
constexpr size_t kChunkBlocks = 500;                      // a chunk is 500 blocks
constexpr size_t kChunkBytes = kChunkBlocks * kBlockSize;  // 256000
constexpr uint8_t kEndMarker = 0xAA;  // block frame count: no audio from here on
constexpr size_t kNone = static_cast<size_t>(-1);

// Index mark in the first header block: 3 bytes.  All 0xFF = unused.
struct ShortMark {
    uint16_t block = 0xFFFF;  // audio block number, counting from 1
    uint8_t frame = 0xFF;
};

// Index mark in the second header block: 10 bytes.  All 0xFF = unused.
struct ExtMark {
    uint32_t block = 0xFFFFFFFF;
    uint16_t frame = 0xFFFF;
    uint32_t ms = 0xFFFFFFFF;
};

struct Item {
    uint32_t a = 0;
    uint32_t b = 0;
    std::string text;  // 20 bytes, zero padded
};

// Text fields are cut to their size and padded as noted.  Byte offsets in
// the file are given on the right.
struct Header {
    int blocks = 2;                  // 0: number of header blocks, 1 or 2
    std::string magic = "kvx";       // 1..3, zero padded
    uint16_t word4 = 1;              // 4
    uint16_t word6 = 1;              // 6
    uint32_t extendedMark = 2;       // 8: 2 = second block valid
    std::string text1;               // 12..27, space padded
    uint32_t number = 0;             // 28
    uint16_t word32 = 0xFFFE;        // 32
    uint16_t endTrans = 0xFFFF;      // 34
    uint16_t signedWord = 0xFFFF;    // 36
    std::string startDate = "250102";  // 38  YYMMDD (6 bytes, zero padded)
    std::string startTime = "093000";  // 44  HHMMSS
    std::string endDate = "250102";    // 50
    std::string endTime = "093100";    // 56
    std::string lengthDigits = "000000";  // 62 HHMMSS  (File::fillLengths)
    uint8_t lock = 0xFF;             // 68: 0 = locked
    uint8_t priority = 7;            // 69
    std::string text2;               // 70..85, 0xFF padded
    std::array<ShortMark, 16> shortMarks{};  // 86..133
    uint32_t lengthMs = 0xFFFFFFFF;  // 134  (File::fillLengths)
    uint8_t codecMode = 0;           // 138: 0 SP, 2 LP  (File::fillCodecMode)
    // Second block (written only when blocks == 2), zero where not listed.
    uint32_t extLengthMs = 0;        // 512  (File::fillLengths)
    std::array<ExtMark, 16> extMarks{};  // 516..675
    uint8_t codingMode = 0;          // 676  (File::fillCodecMode)
    std::string text3;               // 692, 16 bytes, zero padded
    Item itemA, itemB, itemC;        // 708, 736, 764
    uint8_t flag1 = 0xFF;            // 792
    uint8_t flag2 = 0;               // 793
    uint32_t number2 = 0;            // 794
    std::string text4;               // 798, 100 bytes, zero padded
};

// One entry of the audio part.  Every segment starts in a fresh block: the
// block before it is closed (rest filled with 0xFF) and the last frame of a
// segment never runs over into the next block - if it does not fit, it is
// moved to the start of a new block.
struct Segment {
    enum class Kind { Frames, Blank };
    Kind kind = Kind::Frames;
    uint8_t codecByte = 1;     // block header byte 4
    std::vector<Bytes> frames;  // Frames: logical bytes, 1..506 bytes each
    uint8_t frameCountByte = 0;  // Blank: 0 or 0xFF (skipped), 0xAA (end marker)
    size_t blankBlocks = 1;      // Blank: how many such blocks

    static Segment audio(uint8_t codecByte, std::vector<Bytes> frames);
    // Blocks carrying no frames: first-frame offset 6, data all 0xFF.  With
    // frameCountByte 0xAA an end-marker block is written (all 0xFF but byte 2).
    static Segment blank(uint8_t frameCountByte, size_t blocks = 1, uint8_t codecByte = 0);
};

enum class Tail {
    Short,     // last block stops after its last frame (SP: on the word boundary)
    PadBlock,  // last block filled up to 512 bytes with 0xFF
    EndMarker  // last block padded, then one end-marker block
};

struct File {
    Header header;
    std::vector<Segment> segments;
    Tail tail = Tail::Short;
    bool fillLengths = true;    // header 62 (HHMMSS, truncated), 134 and 512 from frames
    bool fillCodecMode = true;  // header 138 and 676 from the first frame segment
};

struct BlockInfo {
    size_t fileOffset = 0;
    size_t storedBytes = 0;  // 512 except for a short last block
    uint16_t firstFrameOffset = 0;
    uint8_t frameCount = 0;
    uint8_t codecByte = 0;
};

struct FrameInfo {
    size_t block = 0;          // audio block index, from 0
    size_t indexInBlock = 0;   // among frames beginning in that block
    size_t offsetInBlock = 0;  // 6..511, position in the unswapped stream
    size_t fileOffset = 0;     // absolute file offset of that position
    uint8_t codecByte = 0;
    uint32_t startMs = 0;      // sum of durations of the audible frames before it
    uint32_t durationMs = 0;
    bool afterEnd = false;     // lies behind an end-marker block: not audible
    Bytes bytes;               // logical bytes
};

struct Layout {
    size_t headerBytes = 0;
    size_t audioBytes = 0;  // file size - headerBytes
    std::vector<BlockInfo> blocks;
    std::vector<FrameInfo> frames;
    size_t endMarkerBlock = kNone;  // first block with frame count 0xAA
    uint32_t totalMs = 0;           // audible frames only
};

// Throws std::invalid_argument on header.blocks other than 1/2, an empty or
// oversized frame, or a block that would begin 0xAA or more frames.
Bytes build(const File& file, Layout* layout = nullptr);
bool write(const std::string& path, const Bytes& bytes);

uint32_t frame_ms(uint8_t codecByte);  // 24 (0/1), 30 (2/3), otherwise 0
bool is_swapped(uint8_t codecByte);    // 0/1
std::string hhmmss(uint32_t ms);       // whole seconds, truncated

// Cumulative chunk times as the library reads them: entry c-1 = ms of all
// blocks in chunks 1..c, each block its frame count x frame_ms(codec byte);
// the markers (0, 0xFF, 0xAA) count nothing, but blocks behind an end marker
// count.  ceil(audioBytes / 256000) entries, at least one.
std::vector<uint32_t> chunk_times(const Layout& layout);
// bit 0: a block with codec byte 0/1, bit 1: one with 2/3 (also blank blocks).
uint8_t codec_flags(const Layout& layout);

// Frame makers, deterministic in the seed.
Bytes sp_full(uint32_t seed, bool speechFlagMode);  // 41 bytes, 0x80 of byte 0 set in speech-flag mode
Bytes sp_noise(uint32_t seed);                      // 9 bytes, 0x80 of byte 0 clear
Bytes lp_active(uint32_t seed);                     // 24 bytes, 0x02 of byte 0 clear
Bytes lp_sid(uint32_t seed);                        // 4 bytes, 0x02 of byte 0 set
// n frames for the codec byte: 0 all full SP, 1 SP with about one noise
// frame in four, 2/3 LP with about one SID frame in four.
Segment random_segment(uint8_t codecByte, size_t n, uint32_t seed);

// Broken variants of built files.
Bytes truncated(Bytes bytes, size_t size);
Bytes with_magic(Bytes bytes, const std::string& magic);  // bytes 1..3
Bytes with_header_blocks(Bytes bytes, uint8_t count);     // byte 0
Bytes with_frame_count(Bytes bytes, const Layout& layout, size_t block, uint8_t count);
Bytes with_first_frame_offset(Bytes bytes, const Layout& layout, size_t block, uint16_t offset);

}  // namespace kvxgen
