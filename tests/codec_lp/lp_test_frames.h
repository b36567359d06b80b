// Frames for the LP tests: fields written in the standard's bit order.
#ifndef KVX_TESTS_CODEC_LP_LP_TEST_FRAMES_H
#define KVX_TESTS_CODEC_LP_LP_TEST_FRAMES_H

#include <cstdint>

namespace lptest {

struct FrameWriter {
    uint8_t bytes[24] = {};
    int position = 0;
    FrameWriter &put(uint32_t value, int width)
    {
        for (int k = 0; k < width; ++k, ++position)
            if ((value >> k) & 1) bytes[position >> 3] |= static_cast<uint8_t>(1u << (position & 7));
        return *this;
    }
};

struct ActiveFields {
    uint32_t lsp = 0x123456;
    uint32_t lag[2] = {40, 70};        // codes: lags 58 and 88
    uint32_t lagOffset[2] = {2, 3};    // subframes 1 and 3
    uint32_t gain[4] = {24 * 10 + 5, 24 * 20 + 23, 24 * 30 + 1, 24 * 169 + 7};
    uint32_t grid[4] = {1, 0, 1, 0};
    uint32_t top = 1234;               // the 13-bit position field
    uint32_t positions[4] = {0x1234, 0x0567, 0xBEEF, 0x1ABC};
    uint32_t signs[4] = {0x2A, 0x15, 0x3F, 0x00};
};

inline FrameWriter active_frame(const ActiveFields &f)
{
    FrameWriter w;
    w.put(0, 2).put(f.lsp, 24).put(f.lag[0], 7).put(f.lagOffset[0], 2).put(f.lag[1], 7).put(f.lagOffset[1], 2);
    for (uint32_t g : f.gain) w.put(g, 12);
    for (uint32_t g : f.grid) w.put(g, 1);
    w.put(0, 1).put(f.top, 13);
    for (int i = 0; i < 4; ++i) w.put(f.positions[i], i % 2 ? 14 : 16);
    for (int i = 0; i < 4; ++i) w.put(f.signs[i], i % 2 ? 5 : 6);
    return w;
}

inline FrameWriter sid_frame(uint32_t lsp, uint32_t gainIndex)
{
    FrameWriter w;
    w.put(2, 2).put(lsp, 24).put(gainIndex, 6);
    return w;
}

inline FrameWriter untransmitted_frame()
{
    FrameWriter w;
    w.put(3, 2);
    return w;
}

// Valid fields of speech-like parameters that vary with `n`.
inline ActiveFields speech_fields(uint32_t n)
{
    ActiveFields f;
    f.lsp = (n * 2654435761u) & 0xFFFFFF;
    f.lag[0] = 20 + (n * 7) % 100;
    f.lag[1] = 20 + (n * 11) % 100;
    f.lagOffset[0] = n % 4;
    f.lagOffset[1] = (n / 4) % 4;
    for (uint32_t i = 0; i < 4; ++i) {
        const bool shortLag = f.lag[i >> 1] + 18 < 58;
        f.gain[i] = ((n * 13 + i * 7) % (shortLag ? 85 : 170)) * 24 + (n + i * 5) % 24 + (shortLag ? ((n + i) & 1) << 11 : 0);
        f.grid[i] = (n >> i) & 1;
        f.positions[i] = (n * 40503u + i * 9973u) & (i % 2 ? 0x3FFF : 0xFFFF);
        f.signs[i] = (n * 3 + i) & 0x1F;
    }
    f.top = (n * 37) % 7290;
    return f;
}

inline FrameWriter speech_frame(uint32_t n)
{
    return active_frame(speech_fields(n));
}

} // namespace lptest

#endif
