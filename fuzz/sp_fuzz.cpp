// Fuzz target: arbitrary SP frames through the decode entry, the skipper
// and the level meter, under every control-word bit.
//
// The input is a run of steps.  Each step takes two bytes, then up to 41
// frame bytes (zero-padded at the end of the input):
//   byte 0: bits 0-1 the call (0, 1 decode, 2 skip, 3 level meter);
//           bit 2 resets the codec's state as at load; bits 3-7 the speed
//           setting's bits 11-15;
//   byte 1: bit 0 reset (0x1), 1 speech-flag mode (0x2), 2 held frame
//           (0x10), 3 file output (0x20), 4 264 samples (0x40), 5 postfilter
//           (0x20000), 6 288 samples (0x40000), 7 the frame parity.
// Each frame sits in a heap buffer of its own with exactly one byte before
// and one after, as the frame fetch guarantees, and each output slot is
// exactly as large as the decoder says, so the address sanitizer reports
// any read or write outside them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec_sp/sp_decoder.h"
#include "codec_sp/sp_output.h"
#include "codec_sp/sp_state.h"
#include "core/state.h"

namespace {

void reset_all()
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
}

constexpr uint32_t kBits[8] = {0x1, 0x2, 0x10, 0x20, 0x40, 0x20000, 0x40000, 0};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset_all();
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t op = data[at], flags = data[at + 1];
        at += 2;
        if (op & 4) reset_all();
        uint32_t control = static_cast<uint32_t>(op >> 3) << 11;
        for (int b = 0; b < 8; ++b)
            if (flags & (1u << b)) control |= kBits[b];
        kvx::g_read.parity = (flags & 0x80) != 0;

        std::unique_ptr<uint8_t[]> frame(new uint8_t[43]());
        const size_t take = size - at < 41 ? size - at : 41;
        std::memcpy(frame.get() + 1, data + at, take);
        at += take;
        uint8_t *p = frame.get() + 1;
        const uint32_t before = control;

        switch (op & 3) {
        case 0:
        case 1: {
            const uint32_t slot = (control & 0x10) ? 264 : kvx::sp_slot_samples(control);
            std::unique_ptr<int16_t[]> out(new int16_t[slot]);
            const uint32_t n = kvx::sp_decode(&p, &control, out.get());
            if (n != 0 && n != slot) std::abort();
            if (before & 0x10) {
                // The held frame: nothing fetched, the reset waits for the
                // next frame that is.
                if (p != frame.get() + 1 || (control & 0x10) || (control & 0x1) != (before & 0x1)) std::abort();
            } else if ((p != frame.get() + 42 && p != frame.get() + 10) || (control & 0x1)) {
                std::abort();
            }
            break;
        }
        case 2:
            kvx::sp_skip_frame(&p, &control);
            if (control != before || (p != frame.get() + 42 && p != frame.get() + 10)) std::abort();
            break;
        default: {
            // The level meter reads a full frame's 41 bytes, or a noise
            // frame's 9: hand it exactly those.  Its reset turns
            // speech-flag mode off first.
            const bool mode = kvx::g_sp.speechFlagMode && !(control & 0x1);
            const bool noise = mode && !(frame[1] & 0x80);
            const size_t bytes = noise ? 9 : 41;
            std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes]);
            std::memcpy(exact.get(), frame.get() + 1, bytes);
            std::unique_ptr<int16_t[]> out(new int16_t[288]);
            kvx::sp_level_decode(exact.get(), &control, out.get());
            if (control & 0x1) std::abort();
            break;
        }
        }
        if (kvx::g_spDecode.noiseRun > 60 || kvx::g_spLevel.noiseRun > 60) std::abort();
    }
    return 0;
}
