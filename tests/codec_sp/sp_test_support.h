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

inline int index_width(int i, bool speechFlagMode)
{
    static const int kWidth[14] = {5, 5, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3};
    return i == 13 && speechFlagMode ? 2 : kWidth[i];
}

// A frame's fields: a full frame, or with `noise` a noise frame (speech-flag
// mode, flag 0) whose four gains sit in gain.  Packed most significant bit
// first.
struct Frame {
    bool speechFlagMode = false, noise = false;
    int index[14] = {}, gain[4] = {}, pulseGain[4] = {}, amplitude[4][7] = {};
    uint32_t combination[4] = {}, lagCode = 0;

    Bytes pack() const
    {
        Bytes f(noise ? 9 : 41, 0);
        int bit = 0;
        auto put = [&f, &bit](int width, uint32_t value) {
            for (int i = 0; i < width; ++i, ++bit)
                if ((value >> (width - 1 - i)) & 1) f[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
        };
        if (speechFlagMode) put(1, !noise);
        for (int i = 0; i < 14; ++i) put(index_width(i, speechFlagMode), static_cast<uint32_t>(index[i]));
        for (int s = 0; s < 4; ++s) {
            if (noise) {
                bit = s == 2 ? 64 : bit;  // bits 62..63 unused
                put(s == 2 ? 3 : 5, static_cast<uint32_t>(gain[s]));
                continue;
            }
            put(5, static_cast<uint32_t>(gain[s]));
            put(31, combination[s]);
            put(6, static_cast<uint32_t>(pulseGain[s]));
            for (int j = 0; j < 7; ++j) put(3, static_cast<uint32_t>(amplitude[s][j]));
        }
        if (!noise) put(24, lagCode);
        return f;
    }
};

inline Frame random_frame(std::mt19937 &rng, bool speechFlagMode, bool noise = false)
{
    Frame f;
    f.speechFlagMode = speechFlagMode;
    f.noise = noise;
    for (int i = 0; i < 14; ++i) f.index[i] = static_cast<int>(rng() % (1u << index_width(i, speechFlagMode)));
    for (int s = 0; s < 4; ++s) {
        f.gain[s] = static_cast<int>(rng() % (noise && s == 2 ? 8 : 32));
        f.combination[s] = rng() & 0x7FFFFFFF;
        f.pulseGain[s] = static_cast<int>(rng() % 64);
        for (int j = 0; j < 7; ++j) f.amplitude[s][j] = static_cast<int>(rng() % 8);
    }
    f.lagCode = rng() & 0xFFFFFF;
    return f;
}

// Frames one after another as stored: padded to whole words, every byte
// pair swapped, with one byte of slack on either side (the frame fetch
// may read one byte before and after a frame).
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

// The codec's state as the library starts it, parity at a word boundary.
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
