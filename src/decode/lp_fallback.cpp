/* Stand-in for the LP decoder while the LP codec is not part of the build:
 * every LP frame decodes to silence. */
#include <cstring>

#include "decode/decoders.h"
#include "format/skip.h"

namespace kvx {

uint32_t lp_slot_samples(uint32_t)
{
    return 240;
}

uint32_t lp_decode(uint8_t **frame, uint32_t *control, int16_t *out)
{
    if (!(*control & 0x10)) lp_skip_frame(frame);
    *control &= ~0x11u;
    std::memset(out, 0, 240 * sizeof(int16_t));
    return 240;
}

} // namespace kvx
