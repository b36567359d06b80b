#include "kvx_frames.h"

#include <algorithm>

namespace kvxgen {
namespace {

// Byte k of a block as the frame sees it: SP blocks hold their 16-bit pairs
// exchanged, counted from the block's start.
uint8_t logical(const uint8_t* block, size_t k) { return is_swapped(block[4]) ? block[k ^ 1] : block[k]; }

size_t frame_size(uint8_t codec, uint8_t first) {
    if (codec >= 2) return (first & 0x02) ? 4 : 24;
    return (codec & 1) && !(first & 0x80) ? 9 : 41;
}

bool carries_frames(const uint8_t* block) {
    const size_t offset = static_cast<size_t>(block[0] | block[1] << 8) >> 7;
    return block[2] != 0 && block[2] < 0x80 && block[4] <= 3 && offset >= kBlockHeaderSize;
}

}  // namespace

BlockFrames read_blocks(const uint8_t* blocks, size_t count) {
    BlockFrames out;
    for (size_t b = 0; b < count; ++b) {
        out.blockFirst.push_back(out.frames.size());
        const uint8_t* block = blocks + b * kBlockSize;
        if (!carries_frames(block)) continue;
        size_t p = static_cast<size_t>(block[0] | block[1] << 8) >> 7;
        for (size_t i = 0; i < block[2]; ++i) {
            if (p >= kBlockSize) {
                out.clean = false;
                break;
            }
            Frame f;
            f.codec = block[4];
            f.ms = frame_ms(f.codec);
            const size_t size = frame_size(f.codec, logical(block, p));
            for (size_t k = p; k < std::min(p + size, kBlockSize); ++k) f.bytes.push_back(logical(block, k));
            if (p + size > kBlockSize) {
                // The rest leads the next block, before its first frame.
                const uint8_t* next = block + kBlockSize;
                const size_t rest = p + size - kBlockSize;
                if (b + 1 >= count || (carries_frames(next) &&
                                       (static_cast<size_t>(next[0] | next[1] << 8) >> 7) < kBlockHeaderSize + rest)) {
                    out.clean = false;
                    break;
                }
                out.spilling.push_back(out.frames.size());
                for (size_t k = 0; k < rest; ++k) f.bytes.push_back(logical(next, kBlockHeaderSize + k));
            }
            out.frames.push_back(std::move(f));
            p += size;
        }
    }
    return out;
}

BlockFrames read_file(const Bytes& file) {
    const size_t header = file.empty() ? 0 : file[0] * kBlockSize;
    Bytes audio(file.begin() + static_cast<std::ptrdiff_t>(std::min(header, file.size())), file.end());
    audio.resize((audio.size() + kBlockSize - 1) / kBlockSize * kBlockSize, 0xFF);
    return read_blocks(audio.data(), audio.size() / kBlockSize);
}

uint32_t EditModel::length() const { return start_of(frames.size()); }

uint32_t EditModel::start_of(size_t frame) const {
    uint32_t t = 0;
    for (size_t i = 0; i < frame && i < frames.size(); ++i) t += frames[i].ms;
    return t;
}

size_t EditModel::index_at(uint32_t ms) const {
    uint32_t t = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (t + frames[i].ms > ms) return i;
        t += frames[i].ms;
    }
    return frames.size();
}

uint32_t EditModel::floor(uint32_t ms) const { return start_of(index_at(ms)); }

void EditModel::remove_frames(uint32_t from, uint32_t to) {
    const size_t a = index_at(from), b = index_at(to);
    if (a < b) frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(a), frames.begin() + static_cast<std::ptrdiff_t>(b));
}

static uint32_t duration(const std::vector<Frame>& frames) {
    uint32_t d = 0;
    for (const Frame& f : frames) d += f.ms;
    return d;
}

uint32_t EditModel::insert(uint32_t ms, const std::vector<Frame>& add) {
    const size_t at = index_at(ms);
    const uint32_t split = start_of(at), d = duration(add);
    frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
    for (uint32_t& m : marks)
        if (m > split) m += d;
    return split;
}

uint32_t EditModel::overwrite(uint32_t ms, const std::vector<Frame>& add) {
    const uint32_t old = length();
    const size_t at = index_at(ms);
    const uint32_t split = start_of(at), d = duration(add);
    frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
    // The old audio behind the new frames goes for as long as they last,
    // or to its end when the recording ran past it.
    remove_frames(split + d, split + d + std::min(d, old - split));
    marks.erase(std::remove_if(marks.begin(), marks.end(), [&](uint32_t m) { return m > split && m < split + d; }),
                marks.end());
    return split;
}

uint32_t EditModel::erase(uint32_t start, uint32_t end, uint32_t* position) {
    end = std::min(end, length());
    if (start >= end) return 518;
    const uint32_t s = floor(start), e = floor(end);
    *position = s;
    remove_frames(start, end);
    marks.erase(std::remove_if(marks.begin(), marks.end(), [&](uint32_t m) { return m > s && m < e; }), marks.end());
    for (uint32_t& m : marks)
        if (m > e) m -= e - s;
    std::sort(marks.begin(), marks.end());  // a mark moved back may pass one kept at floor(end)
    return 0;
}

uint32_t EditModel::add_mark(uint32_t ms) {
    if (marks.size() >= 16) return 525;
    for (uint32_t m : marks)
        if (ms + 1000 > m && ms < m + 1000) return 525;
    marks.insert(std::upper_bound(marks.begin(), marks.end(), ms), ms);
    return 0;
}

uint32_t EditModel::delete_mark(uint32_t ms) {
    const auto it = std::find(marks.begin(), marks.end(), ms);
    if (it == marks.end()) return 526;
    marks.erase(it);
    return 0;
}

}  // namespace kvxgen
