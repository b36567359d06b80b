/*
 * header.h - the KVX header blocks and the block header of audio blocks.
 *
 * A KVX file starts with one or two 512-byte header blocks; the audio blocks
 * follow.  Numbers are little-endian; dates, times and lengths are six ASCII
 * digits.  Offsets below are file offsets (the second header block is file
 * bytes 512..1023).
 */
#ifndef KVX_FORMAT_HEADER_H
#define KVX_FORMAT_HEADER_H

#include <stdint.h>

namespace kvx {
namespace hdr {

/* First header block. */
constexpr uint32_t kBlockCount = 0;      /* u8: 1 or 2 header blocks */
constexpr uint32_t kMagic = 1;           /* "kvx", lower case */
constexpr uint32_t kMagicBytes = 3;
constexpr uint32_t kExtendedMark = 8;    /* u32: 2 = the second block is valid */
constexpr uint32_t kText1 = 12;          /* 16 bytes */
constexpr uint32_t kNumber = 28;         /* u32 */
constexpr uint32_t kWord32 = 32;         /* u16 */
constexpr uint32_t kEndTrans = 34;       /* u16 */
constexpr uint32_t kSignedWord = 36;     /* u16 */
constexpr uint32_t kStartDate = 38;      /* YYMMDD */
constexpr uint32_t kStartTime = 44;      /* HHMMSS */
constexpr uint32_t kEndDate = 50;        /* YYMMDD */
constexpr uint32_t kEndTime = 56;        /* HHMMSS */
constexpr uint32_t kLengthDigits = 62;   /* HHMMSS of audio */
constexpr uint32_t kLock = 68;           /* u8: 0 = locked */
constexpr uint32_t kPriority = 69;       /* u8 */
constexpr uint32_t kText2 = 70;          /* 16 bytes */
constexpr uint32_t kShortMarks = 86;     /* 16 entries of 3 bytes */
constexpr uint32_t kShortMarkBytes = 3;
constexpr uint32_t kLengthMs = 134;      /* u32 */
constexpr uint32_t kCodecMode = 138;     /* u8: 0 SP, 2 LP, at creation */
constexpr uint32_t kDigitsBytes = 6;
constexpr uint32_t kMarkCount = 16;

/* Second header block. */
constexpr uint32_t kExtLengthMs = 512;   /* u32 */
constexpr uint32_t kExtMarks = 516;      /* 16 entries of 10 bytes */
constexpr uint32_t kExtMarkBytes = 10;
constexpr uint32_t kExtCodingMode = 676; /* u8: 0 SP, 2 LP */
constexpr uint32_t kText3 = 692;         /* 16 bytes */
constexpr uint32_t kItemA = 708;         /* u32, u32, 20 bytes */
constexpr uint32_t kItemB = 736;
constexpr uint32_t kItemC = 764;
constexpr uint32_t kItemBytes = 28;
constexpr uint32_t kFlag1 = 792;         /* u8 */
constexpr uint32_t kFlag2 = 793;         /* u8 */
constexpr uint32_t kNumber2 = 794;       /* u32 */
constexpr uint32_t kText4 = 798;         /* 100 bytes */

constexpr uint32_t kExtendedMarkValue = 2;
constexpr uint32_t kTimeKeyBytes = 18;

/* Block header of an audio block, offsets from the block's start. */
constexpr uint32_t kBlockFirstFrame = 0; /* u16: first-frame offset << 7 | 0x0F */
constexpr uint32_t kBlockFrameCount = 2; /* u8 */
constexpr uint32_t kBlockCodec = 4;      /* u8: 0/1 SP, 2/3 LP */
constexpr uint32_t kBlockHeaderBytes = 6;
constexpr uint8_t kEndMarker = 0xAA;     /* frame count: no audio from here on */

constexpr uint32_t kSpFrameMs = 24;
constexpr uint32_t kLpFrameMs = 30;

inline uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

/* Whether bytes 1-3 are exactly "kvx" (case matters). */
bool magic_ok(const uint8_t *first_block);

/* The value of a two-digit pair; a character that is not a digit counts 0. */
uint32_t digit_pair(const uint8_t *p);

/* Six length digits HHMMSS to milliseconds: 012345 is 5,025,000 ms. */
uint32_t length_digits_ms(const uint8_t *digits);

/* Writes "%02d%02d%02d" of three values into six bytes (no terminator). */
void put_digits(uint8_t *out, unsigned a, unsigned b, unsigned c);

/* Frame time of a codec byte: 24 ms for SP (0, 1), 30 ms for LP (2, 3),
 * 0 for any other value. */
uint32_t frame_ms(uint8_t codec_byte);

/* Time of an audio block from its block header: frame count x frame time.
 * Blocks that carry no frames (count 0, 0xFF, the end marker 0xAA) have no
 * time. */
uint32_t block_ms(const uint8_t *block);

/* First-frame offset of a block (bits 7-15 of its first word). */
inline uint32_t first_frame_offset(const uint8_t *block)
{
    return le16(block + kBlockFirstFrame) >> 7;
}

/* Codec flags bit of a codec byte: 1 for SP, 2 for LP, 0 otherwise. */
inline uint16_t codec_flag(uint8_t codec_byte)
{
    return codec_byte <= 1 ? 1 : codec_byte <= 3 ? 2 : 0;
}

} // namespace hdr
} // namespace kvx

#endif /* KVX_FORMAT_HEADER_H */
