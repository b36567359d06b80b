#include "format/skip.h"

namespace kvx {

void lp_skip_frame(uint8_t **frame)
{
    /* Bit 1 of the first byte marks a 4-byte frame (no speech). */
    *frame += ((*frame)[0] & 0x02) ? 4 : 24;
}

} // namespace kvx
