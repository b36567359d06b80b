// Fuzz target: arbitrary LP frames through the decode entry and the level
// meter, under every control-word bit.
//
// The input is a run of records: a 4-byte control word (little-endian; its
// reset, held-frame, output and speed bits all reach the decoder), one
// byte of which the low bit chooses the level meter instead of the decode
// entry and bit 1 the standard's arithmetic, then the frame, as long as
// bit 1 of its first byte says (24 or 4 bytes).  Each frame is copied into
// a buffer of exactly its length so that an overread is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"
#include "codec_lp/lp_state.h"
#include "codec_sp/sp_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kvx::lp_reset();
    kvx::g_speedCounter = 0;
    size_t pos = 0;
    while (pos + 5 < size) {
        uint32_t control = static_cast<uint32_t>(data[pos]) | static_cast<uint32_t>(data[pos + 1]) << 8 |
                           static_cast<uint32_t>(data[pos + 2]) << 16 | static_cast<uint32_t>(data[pos + 3]) << 24;
        const uint8_t mode = data[pos + 4];
        pos += 5;
        const size_t length = kvx::lp_frame_bytes(data[pos]);
        if (pos + length > size) break;
        std::vector<uint8_t> frame(data + pos, data + pos + length);
        pos += length;

        kvx::g_lpStandardArithmetic = (mode & 2) != 0;
        std::vector<int16_t> out(kvx::lp_slot_samples(control));
        if (mode & 1) {
            if (out.size() < kvx::kLpFrameSamples) std::abort();
            kvx::lp_level_decode(frame.data(), &control, out.data());
        } else {
            uint8_t *p = frame.data();
            const bool held = (control & 0x10) != 0;
            const uint32_t written = kvx::lp_decode(&p, &control, out.data());
            if (written > out.size()) std::abort();
            if (!held && p != frame.data() + length) std::abort();
        }
    }
    kvx::g_lpStandardArithmetic = false;
    return 0;
}
