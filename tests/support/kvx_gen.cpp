#include "kvx_gen.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace kvxgen {
namespace {

void put8(Bytes& b, size_t at, uint8_t v) { b.at(at) = v; }

void put16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

void putText(Bytes& b, size_t at, size_t len, const std::string& s, uint8_t pad) {
    for (size_t i = 0; i < len; ++i)
        b.at(at + i) = i < s.size() ? static_cast<uint8_t>(s[i]) : pad;
}

Bytes headerBytes(const Header& h) {
    const size_t size = static_cast<size_t>(h.blocks) * kBlockSize;
    Bytes b(size, 0xFF);
    put8(b, 0, static_cast<uint8_t>(h.blocks));
    putText(b, 1, 3, h.magic, 0);
    put16(b, 4, h.word4);
    put16(b, 6, h.word6);
    put32(b, 8, h.extendedMark);
    putText(b, 12, 16, h.text1, ' ');
    put32(b, 28, h.number);
    put16(b, 32, h.word32);
    put16(b, 34, h.endTrans);
    put16(b, 36, h.signedWord);
    putText(b, 38, 6, h.startDate, 0);
    putText(b, 44, 6, h.startTime, 0);
    putText(b, 50, 6, h.endDate, 0);
    putText(b, 56, 6, h.endTime, 0);
    putText(b, 62, 6, h.lengthDigits, 0);
    put8(b, 68, h.lock);
    put8(b, 69, h.priority);
    putText(b, 70, 16, h.text2, 0xFF);
    for (size_t i = 0; i < h.shortMarks.size(); ++i) {
        put16(b, 86 + 3 * i, h.shortMarks[i].block);
        put8(b, 88 + 3 * i, h.shortMarks[i].frame);
    }
    put32(b, 134, h.lengthMs);
    put8(b, 138, h.codecMode);
    if (h.blocks < 2) return b;

    std::fill(b.begin() + kBlockSize, b.end(), 0);
    put32(b, 512, h.extLengthMs);
    for (size_t i = 0; i < h.extMarks.size(); ++i) {
        const size_t at = 516 + 10 * i;
        put32(b, at, h.extMarks[i].block);
        put16(b, at + 4, h.extMarks[i].frame);
        put32(b, at + 6, h.extMarks[i].ms);
    }
    put8(b, 676, h.codingMode);
    putText(b, 692, 16, h.text3, 0);
    const Item* items[] = {&h.itemA, &h.itemB, &h.itemC};
    for (size_t i = 0; i < 3; ++i) {
        const size_t at = 708 + 28 * i;
        put32(b, at, items[i]->a);
        put32(b, at + 4, items[i]->b);
        putText(b, at + 8, 20, items[i]->text, 0);
    }
    put8(b, 792, h.flag1);
    put8(b, 793, h.flag2);
    put32(b, 794, h.number2);
    putText(b, 798, 100, h.text4, 0);
    return b;
}

// Writes the audio blocks and records where everything went.
class Packer {
public:
    explicit Packer(Layout& layout) : layout_(layout) {}

    void frames(const Segment& seg) {
        // Place the frames on a stream of data areas, starting at a block.
        std::vector<size_t> start;
        size_t p = 0;
        for (size_t i = 0; i < seg.frames.size(); ++i) {
            const size_t n = seg.frames[i].size();
            if (n == 0 || n > kBlockDataSize)
                throw std::invalid_argument("kvxgen: frame size must be 1..506");
            const size_t inBlock = p % kBlockDataSize;
            if (i + 1 == seg.frames.size() && inBlock != 0 && inBlock + n > kBlockDataSize)
                p += kBlockDataSize - inBlock;  // the last frame never runs over
            start.push_back(p);
            p += n;
        }
        if (start.empty()) return;

        const size_t blockCount = (p + kBlockDataSize - 1) / kBlockDataSize;
        Bytes stream(blockCount * kBlockDataSize, 0xFF);
        const size_t firstBlock = layout_.blocks.size();
        const uint32_t ms = frame_ms(seg.codecByte);
        for (size_t i = 0; i < start.size(); ++i) {
            std::copy(seg.frames[i].begin(), seg.frames[i].end(), stream.begin() + start[i]);
            FrameInfo f;
            f.block = firstBlock + start[i] / kBlockDataSize;
            f.offsetInBlock = kBlockHeaderSize + start[i] % kBlockDataSize;
            f.fileOffset = layout_.headerBytes + f.block * kBlockSize + f.offsetInBlock;
            f.codecByte = seg.codecByte;
            f.durationMs = ms;
            f.afterEnd = layout_.endMarkerBlock != kNone;
            f.startMs = layout_.totalMs;
            if (!f.afterEnd) layout_.totalMs += ms;
            f.bytes = seg.frames[i];
            layout_.frames.push_back(std::move(f));
        }
        const size_t firstFrame = layout_.frames.size() - start.size();

        size_t next = 0;  // the starts ascend: each block takes the next run of them
        for (size_t k = 0; k < blockCount; ++k) {
            size_t count = 0;
            size_t first = kNone;
            for (; next < start.size() && start[next] / kBlockDataSize == k; ++next) {
                if (first == kNone) first = start[next] % kBlockDataSize;
                layout_.frames[firstFrame + next].indexInBlock = count++;
            }
            if (count >= kEndMarker)
                throw std::invalid_argument("kvxgen: too many frames in one block");
            Bytes block(kBlockSize, 0xFF);
            const uint16_t off = static_cast<uint16_t>(kBlockHeaderSize + first);
            put16(block, 0, static_cast<uint16_t>((off << 7) | 0x0F));
            block[2] = static_cast<uint8_t>(count);
            block[4] = seg.codecByte;
            std::copy(stream.begin() + k * kBlockDataSize, stream.begin() + (k + 1) * kBlockDataSize,
                      block.begin() + kBlockHeaderSize);
            if (is_swapped(seg.codecByte))
                for (size_t i = kBlockHeaderSize; i < kBlockSize; i += 2) std::swap(block[i], block[i + 1]);
            add(block, off);
        }
        // Where a short last block would end: after the last frame, and for
        // swapped data after the whole word holding its last byte.
        size_t used = kBlockHeaderSize + (p - (blockCount - 1) * kBlockDataSize);
        if (is_swapped(seg.codecByte) && used % 2) ++used;
        lastUsed_ = used;
    }

    void blank(const Segment& seg) {
        for (size_t k = 0; k < seg.blankBlocks; ++k) {
            Bytes block(kBlockSize, 0xFF);
            block[2] = seg.frameCountByte;
            if (seg.frameCountByte != kEndMarker) {
                put16(block, 0, static_cast<uint16_t>((kBlockHeaderSize << 7) | 0x0F));
                block[4] = seg.codecByte;
            }
            add(block, kBlockHeaderSize);
        }
    }

    void finish(Tail tail) {
        if (tail == Tail::Short && lastUsed_ != kBlockSize) {
            audio_.resize(audio_.size() - kBlockSize + lastUsed_);
            layout_.blocks.back().storedBytes = lastUsed_;
        }
        if (tail == Tail::EndMarker) blank(Segment::blank(kEndMarker));
        layout_.audioBytes = audio_.size();
    }

    const Bytes& audio() const { return audio_; }

private:
    void add(const Bytes& block, uint16_t off) {
        BlockInfo info;
        info.fileOffset = layout_.headerBytes + audio_.size();
        info.storedBytes = kBlockSize;
        info.firstFrameOffset = off;
        info.frameCount = block[2];
        info.codecByte = block[4];  // 0xFF in an end marker
        if (info.frameCount == kEndMarker && layout_.endMarkerBlock == kNone)
            layout_.endMarkerBlock = layout_.blocks.size();
        layout_.blocks.push_back(info);
        audio_.insert(audio_.end(), block.begin(), block.end());
        lastUsed_ = kBlockSize;
    }

    Layout& layout_;
    Bytes audio_;
    size_t lastUsed_ = kBlockSize;
};

// splitmix64
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint32_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
    }

private:
    uint64_t s_;
};

Bytes randomBytes(uint32_t seed, uint32_t kind, size_t n) {
    Rng rng((static_cast<uint64_t>(kind) << 32) | seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng.next());
    return b;
}

}  // namespace

Segment Segment::audio(uint8_t codecByte, std::vector<Bytes> frames) {
    Segment s;
    s.codecByte = codecByte;
    s.frames = std::move(frames);
    return s;
}

Segment Segment::blank(uint8_t frameCountByte, size_t blocks, uint8_t codecByte) {
    Segment s;
    s.kind = Kind::Blank;
    s.codecByte = codecByte;
    s.frameCountByte = frameCountByte;
    s.blankBlocks = blocks;
    return s;
}

Bytes build(const File& file, Layout* layoutOut) {
    if (file.header.blocks != 1 && file.header.blocks != 2)
        throw std::invalid_argument("kvxgen: header blocks must be 1 or 2");
    Layout layout;
    layout.headerBytes = static_cast<size_t>(file.header.blocks) * kBlockSize;
    Packer packer(layout);
    for (const Segment& seg : file.segments) {
        if (seg.kind == Segment::Kind::Blank)
            packer.blank(seg);
        else
            packer.frames(seg);
    }
    packer.finish(file.tail);

    Header h = file.header;
    if (file.fillLengths) {
        h.lengthDigits = hhmmss(layout.totalMs);
        h.lengthMs = layout.totalMs;
        h.extLengthMs = layout.totalMs;
    }
    if (file.fillCodecMode) {
        for (const Segment& seg : file.segments) {
            if (seg.kind != Segment::Kind::Frames || seg.frames.empty()) continue;
            h.codecMode = h.codingMode = seg.codecByte >= 2 ? 2 : 0;
            break;
        }
    }
    Bytes out = headerBytes(h);
    out.insert(out.end(), packer.audio().begin(), packer.audio().end());
    if (layoutOut) *layoutOut = std::move(layout);
    return out;
}

bool write(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

uint32_t frame_ms(uint8_t codecByte) {
    if (codecByte <= 1) return 24;
    if (codecByte <= 3) return 30;
    return 0;
}

bool is_swapped(uint8_t codecByte) { return codecByte <= 1; }

std::string hhmmss(uint32_t ms) {
    const uint32_t s = ms / 1000;
    const uint32_t parts[] = {s / 3600 % 100, s / 60 % 60, s % 60};
    std::string out;
    for (uint32_t v : parts) {
        out += static_cast<char>('0' + v / 10);
        out += static_cast<char>('0' + v % 10);
    }
    return out;
}

std::vector<uint32_t> chunk_times(const Layout& layout) {
    const size_t chunks = std::max<size_t>(1, (layout.audioBytes + kChunkBytes - 1) / kChunkBytes);
    std::vector<uint32_t> t(chunks, 0);
    for (size_t b = 0; b < layout.blocks.size(); ++b) {
        const int count = static_cast<int8_t>(layout.blocks[b].frameCount);  // the markers are negative
        if (count > 0) t[b / kChunkBlocks] += static_cast<uint32_t>(count) * frame_ms(layout.blocks[b].codecByte);
    }
    for (size_t c = 1; c < chunks; ++c) t[c] += t[c - 1];
    return t;
}

uint8_t codec_flags(const Layout& layout) {
    uint8_t flags = 0;
    for (const BlockInfo& blk : layout.blocks) {
        if (blk.codecByte <= 1) flags |= 1;
        else if (blk.codecByte <= 3) flags |= 2;
    }
    return flags;
}

Bytes sp_full(uint32_t seed, bool speechFlagMode) {
    Bytes b = randomBytes(seed, 1, 41);
    if (speechFlagMode) b[0] |= 0x80;
    return b;
}

Bytes sp_noise(uint32_t seed) {
    Bytes b = randomBytes(seed, 2, 9);
    b[0] &= 0x7F;
    return b;
}

Bytes lp_active(uint32_t seed) {
    Bytes b = randomBytes(seed, 3, 24);
    b[0] &= static_cast<uint8_t>(~0x02);
    return b;
}

Bytes lp_sid(uint32_t seed) {
    Bytes b = randomBytes(seed, 4, 4);
    b[0] |= 0x02;
    return b;
}

Segment random_segment(uint8_t codecByte, size_t n, uint32_t seed) {
    if (codecByte > 3) throw std::invalid_argument("kvxgen: codec byte must be 0..3");
    Rng rng(seed);
    std::vector<Bytes> frames;
    frames.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t s = rng.next();
        const bool quiet = s % 4 == 0;
        if (codecByte == 0) frames.push_back(sp_full(s, false));
        else if (codecByte == 1) frames.push_back(quiet ? sp_noise(s) : sp_full(s, true));
        else frames.push_back(quiet ? lp_sid(s) : lp_active(s));
    }
    return Segment::audio(codecByte, std::move(frames));
}

Bytes truncated(Bytes bytes, size_t size) {
    if (size < bytes.size()) bytes.resize(size);
    return bytes;
}

Bytes with_magic(Bytes bytes, const std::string& magic) {
    putText(bytes, 1, 3, magic, 0);
    return bytes;
}

Bytes with_header_blocks(Bytes bytes, uint8_t count) {
    put8(bytes, 0, count);
    return bytes;
}

Bytes with_frame_count(Bytes bytes, const Layout& layout, size_t block, uint8_t count) {
    put8(bytes, layout.blocks.at(block).fileOffset + 2, count);
    return bytes;
}

Bytes with_first_frame_offset(Bytes bytes, const Layout& layout, size_t block, uint16_t offset) {
    const size_t at = layout.blocks.at(block).fileOffset;
    const uint16_t word = static_cast<uint16_t>(bytes.at(at) | bytes.at(at + 1) << 8);
    put16(bytes, at, static_cast<uint16_t>((offset << 7) | (word & 0x7F)));
    return bytes;
}

}  // namespace kvxgen
