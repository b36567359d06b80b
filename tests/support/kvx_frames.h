// Frames read back from stored audio blocks, and a reference model of an
// edit session's audio: the frame list and the extended marks, changed by
// insert, overwrite and erase the way a session changes them.
//
// Times are ms from the start of the audio.  A position inside the audio
// stands for the start of the frame that holds it; one past the end stands
// for the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvx_gen.h"

namespace kvxgen {

struct Frame {
    Bytes bytes;        // logical bytes
    uint8_t codec = 0;  // codec byte of the block the frame begins in
    uint32_t ms = 0;
    bool operator==(const Frame& o) const { return codec == o.codec && ms == o.ms && bytes == o.bytes; }
    bool operator!=(const Frame& o) const { return !(*this == o); }
};

struct BlockFrames {
    std::vector<Frame> frames;
    std::vector<size_t> blockFirst;  // per block: frames begun in the blocks before it
    std::vector<size_t> spilling;    // frames that run over the end of their block
    bool clean = true;               // false: a counted frame begins past its block or lacks its rest
};

// Frames of consecutive 512-byte blocks, as the library's reader takes them.
BlockFrames read_blocks(const uint8_t* blocks, size_t count);
// The same for a whole file: header blocks skipped, a short last block padded.
BlockFrames read_file(const Bytes& file);

class EditModel {
public:
    std::vector<Frame> frames;
    std::vector<uint32_t> marks;  // ascending

    uint32_t length() const;
    uint32_t start_of(size_t frame) const;  // frames.size(): the length
    uint32_t floor(uint32_t ms) const;      // cut to the length, then to its frame's start

    // Each returns the split time (the floored position).
    uint32_t insert(uint32_t ms, const std::vector<Frame>& add);
    uint32_t overwrite(uint32_t ms, const std::vector<Frame>& add);
    // Erases the frames starting in [floor(start), floor(end)), the end cut
    // to the length: 0, or 518 for an empty range (nothing changes).
    // *position = floor(start).  Marks strictly inside go, marks strictly
    // after floor(end) move back, the others stay where they are.
    uint32_t erase(uint32_t start, uint32_t end, uint32_t* position);
    uint32_t add_mark(uint32_t ms);     // 0, or 525: sixteen marks or one within 1000 ms
    uint32_t delete_mark(uint32_t ms);  // 0, or 526

private:
    size_t index_at(uint32_t ms) const;  // first frame starting at or after floor(ms)
    void remove_frames(uint32_t from, uint32_t to);  // frames starting in [floor(from), floor(to))
};

}  // namespace kvxgen
