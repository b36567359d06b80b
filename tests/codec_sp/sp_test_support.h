// Helpers for the SP codec tests: frames packed field by field, stored
// streams with their byte pairs swapped, and a clean codec state.
#pragma once

#include <cstdint>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"

namespace sptest {

using Bytes = std::vector<uint8_t>;

// Writes `width` bits of `value`, most significant first, at bit `offset`
// of a frame given in bit-stream order.
inline void put_bits(Bytes &frame, int offset, int width, uint32_t value)
{
    for (int i = 0; i < width; ++i) {
        const int bit = offset + i;
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit & 7));
        if ((value >> (width - 1 - i)) & 1) frame[bit >> 3] |= mask;
        else frame[bit >> 3] &= static_cast<uint8_t>(~mask);
    }
}

constexpr int kIndexWidth[14] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};

// A full frame's fields.  Filter indices are written after the speech
// flag in speech-flag mode, where the 14th has 2 bits.
struct Full {
    bool speechFlagMode = false;
    int index[14] = {};
    int adaptiveGain[4] = {};
    uint32_t combination[4] = {};
    int pulseGain[4] = {};
    int amplitude[4][7] = {};
    uint32_t lagCode = 0;

    Bytes pack() const
    {
        Bytes f(41, 0);
        int bit = 0;
        if (speechFlagMode) put_bits(f, bit++, 1, 1);
        for (int i = 0; i < 14; ++i) {
            const int width = (i == 13 && speechFlagMode) ? 2 : kIndexWidth[i];
            put_bits(f, bit, width, static_cast<uint32_t>(index[i]));
            bit += width;
        }
        for (int s = 0; s < 4; ++s) {
            int b = 52 + 63 * s;
            put_bits(f, b, 5, static_cast<uint32_t>(adaptiveGain[s]));
            put_bits(f, b + 5, 31, combination[s]);
            put_bits(f, b + 36, 6, static_cast<uint32_t>(pulseGain[s]));
            for (int j = 0; j < 7; ++j) put_bits(f, b + 42 + 3 * j, 3, static_cast<uint32_t>(amplitude[s][j]));
        }
        put_bits(f, 304, 24, lagCode);
        return f;
    }
};

// A noise frame (speech-flag mode, flag 0).
struct Noise {
    int index[14] = {};
    int gain[4] = {};

    Bytes pack() const
    {
        Bytes f(9, 0);
        int bit = 1;
        for (int i = 0; i < 14; ++i) {
            const int width = i == 13 ? 2 : kIndexWidth[i];
            put_bits(f, bit, width, static_cast<uint32_t>(index[i]));
            bit += width;
        }
        put_bits(f, 52, 5, static_cast<uint32_t>(gain[0]));
        put_bits(f, 57, 5, static_cast<uint32_t>(gain[1]));
        put_bits(f, 64, 3, static_cast<uint32_t>(gain[2]));
        put_bits(f, 67, 5, static_cast<uint32_t>(gain[3]));
        return f;
    }
};

// Frames one after another as stored: the bit stream padded to whole
// words, every byte pair swapped, with one byte of slack on either side
// (the frame fetch guarantees one readable byte before and after a frame).
struct Stream {
    Bytes bytes;  // [0] and back() are the slack
    explicit Stream(const std::vector<Bytes> &frames)
    {
        Bytes logical;
        for (const Bytes &f : frames) logical.insert(logical.end(), f.begin(), f.end());
        if (logical.size() % 2) logical.push_back(0);
        bytes.assign(logical.size() + 2, 0xEE);
        for (size_t i = 0; i < logical.size(); ++i) bytes[1 + (i ^ 1)] = logical[i];
    }
    uint8_t *start() { return bytes.data() + 1; }
};

// The codec's state as the library starts it, the parity at a block's
// first word.
inline void reset_codec()
{
    kvx::g_sp = {};
    kvx::g_spDecode = {};
    kvx::g_spLevel = {};
    kvx::g_spOutput = {};
    kvx::g_speedCounter = 0;
    kvx::g_session.speedInUse = 0;
    kvx::g_session.speedUsed = false;
    kvx::g_session.framesReturned = 0;
    kvx::g_session.speedChangeMs = 0.0f;
    kvx::g_read.parity = true;
}

}  // namespace sptest
