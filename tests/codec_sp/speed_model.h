// A model of the playback-speed stage that both codecs share, written out
// step by step from the rules of the faster and slower cycles.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace sptest {

struct SpeedModel {
    int length;        // 264 (SP) or 240 (LP)
    int32_t fade;      // fade-out g(i) = 32767 - fade i, fade-in f(i) = g(length - 1 - i)
    const double *ms;  // ms per output frame of settings 0..4, 17..20
    std::vector<int32_t> held = std::vector<int32_t>(264, 0);
    uint32_t counter = 0, inUse = 0, returned = 0;
    float changeMs = 0;
    bool used = false;

    static int32_t limit(int64_t v) { return static_cast<int32_t>(std::max<int64_t>(-32767, std::min<int64_t>(32767, v))); }
    int32_t g(int i) const { return 32767 - fade * i; }
    int32_t f(int i) const { return g(length - 1 - i); }

    // One frame; true when it is dropped.  Sets 0x10 in *control for an
    // insertion.
    bool run(int32_t *frame, uint32_t *control)
    {
        const uint32_t setting = (*control >> 8) & 0xFF, row = inUse >> 3;
        if (counter == 0 && setting != inUse) {
            const int at = row <= 4 ? static_cast<int>(row) : row >= 17 && row <= 20 ? static_cast<int>(row) - 12 : -1;
            if (at >= 0) changeMs = static_cast<float>(static_cast<long double>(changeMs) + static_cast<long double>(returned) * ms[at]);
            returned = 0;
            inUse = setting;
        }
        const uint32_t step = (inUse >> 3) & 7;
        const bool slower = inUse & 0x80;
        used = used || slower || step != 0;
        if (step < 1 || step > 4) return false;
        if (slower && counter == 0) {
            for (int i = 0; i < length; ++i) {
                const int64_t t = int64_t{f(i)} * held[i];
                held[i] = frame[i];
                frame[i] = limit((int64_t{g(i)} * frame[i] + t) >> 15);
            }
            *control |= 0x10;
            counter = step == 4 ? 0 : 1;
        } else if (counter < 4 - step) {
            ++counter;
        } else if (slower) {
            std::copy(frame, frame + length, held.begin());
            counter = 0;
        } else if (counter == 4 - step) {
            for (int i = 0; i < length; ++i) held[i] = static_cast<int32_t>((int64_t{frame[i]} * g(i)) >> 15);
            ++counter;
            return true;
        } else {
            for (int i = 0; i < length; ++i) frame[i] = limit((int64_t{held[i]} * 32768 + int64_t{frame[i]} * f(i)) >> 15);
            counter = 0;
        }
        return false;
    }
};

} // namespace sptest
