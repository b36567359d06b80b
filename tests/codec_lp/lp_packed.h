// The LP decoder over a packed stream, as the ITU vectors lay it out
// (untransmitted frames of 1 byte): each frame zero-padded as a KVX stream
// holds it, decoded from the reset state in the arithmetic asked for.
#ifndef KVX_TESTS_LP_PACKED_H
#define KVX_TESTS_LP_PACKED_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec_lp/lp_g7231.h"

inline std::vector<int16_t> lp_decode_packed(const std::vector<uint8_t> &coded, bool standard)
{
    static const size_t kPacked[4] = {24, 20, 4, 1};
    kvx::g_lpStandardArithmetic = standard;
    kvx::lp_reset();
    std::vector<int16_t> pcm;
    for (size_t pos = 0, n; pos < coded.size(); pos += n) {
        n = std::min(kPacked[coded[pos] & 3], coded.size() - pos);
        uint8_t frame[kvx::kLpActiveBytes] = {};
        std::copy_n(&coded[pos], n, frame);
        int16_t out[kvx::kLpFrame];
        kvx::lp_synthesise(frame, out);
        pcm.insert(pcm.end(), out, out + kvx::kLpFrame);
    }
    kvx::g_lpStandardArithmetic = false;
    return pcm;
}

#endif
