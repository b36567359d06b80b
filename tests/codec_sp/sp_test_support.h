// Helpers for the SP codec tests: frames packed field by field, stored
// streams with their byte pairs swapped, and a clean codec state.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"

namespace sptest {

using Bytes = std::vector<uint8_t>;

// Writes `width` bits of `value`, most significant first, at bit `offset`.
inline void put_bits(Bytes &frame, int offset, int width, uint32_t value)
{
    for (int i = 0; i < width; ++i) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> ((offset + i) & 7));
        if ((value >> (width - 1 - i)) & 1) frame[(offset + i) >> 3] |= mask;
    }
}

constexpr int kIndexWidth[14] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};

inline int index_width(int i, bool speechFlagMode)
{
    return i == 13 && speechFlagMode ? 2 : kIndexWidth[i];
}

// A frame's fields: a full frame, or with `noise` a noise frame (speech-flag
// mode, flag 0) whose four gains sit in adaptiveGain.
struct Frame {
    bool speechFlagMode = false;
    bool noise = false;
    int index[14] = {};
    int adaptiveGain[4] = {};
    uint32_t combination[4] = {};
    int pulseGain[4] = {};
    int amplitude[4][7] = {};
    uint32_t lagCode = 0;

    Bytes pack() const
    {
        Bytes f(noise ? 9 : 41, 0);
        int bit = speechFlagMode ? 1 : 0;
        if (speechFlagMode && !noise) put_bits(f, 0, 1, 1);
        for (int i = 0; i < 14; ++i) {
            put_bits(f, bit, index_width(i, speechFlagMode), static_cast<uint32_t>(index[i]));
            bit += index_width(i, speechFlagMode);
        }
        if (noise) {
            const int at[4] = {52, 57, 64, 67}, width[4] = {5, 5, 3, 5};
            for (int s = 0; s < 4; ++s) put_bits(f, at[s], width[s], static_cast<uint32_t>(adaptiveGain[s]));
            return f;
        }
        for (int s = 0; s < 4; ++s) {
            const int b = 52 + 63 * s;
            put_bits(f, b, 5, static_cast<uint32_t>(adaptiveGain[s]));
            put_bits(f, b + 5, 31, combination[s]);
            put_bits(f, b + 36, 6, static_cast<uint32_t>(pulseGain[s]));
            for (int j = 0; j < 7; ++j) put_bits(f, b + 42 + 3 * j, 3, static_cast<uint32_t>(amplitude[s][j]));
        }
        put_bits(f, 304, 24, lagCode);
        return f;
    }
};

// Random valid fields.
inline Frame random_frame(std::mt19937 &rng, bool speechFlagMode, bool noise = false)
{
    Frame f;
    f.speechFlagMode = speechFlagMode;
    f.noise = noise;
    for (int i = 0; i < 14; ++i) f.index[i] = static_cast<int>(rng() % (1u << index_width(i, speechFlagMode)));
    for (int s = 0; s < 4; ++s) {
        f.adaptiveGain[s] = static_cast<int>(rng() % (noise && s == 2 ? 8 : 32));
        f.combination[s] = rng() & 0x7FFFFFFF;
        f.pulseGain[s] = static_cast<int>(rng() % 64);
        for (int j = 0; j < 7; ++j) f.amplitude[s][j] = static_cast<int>(rng() % 8);
    }
    f.lagCode = rng() & 0xFFFFFF;
    return f;
}

// Frames one after another as stored: the bit stream padded to whole
// words, every byte pair swapped, with one byte of slack on either side
// (the frame fetch guarantees one readable byte before and after a frame).
struct Stream {
    Bytes bytes;
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
