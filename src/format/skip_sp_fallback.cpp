/* Stand-in for the SP decoder's frame skipper while the SP codec is not
 * part of the build: the length rule alone. */
#include "core/state.h"
#include "format/skip.h"
#include "kvx.h"

namespace kvx {

void sp_skip_frame(uint8_t **frame, uint32_t *control)
{
    const uint8_t *p = *frame;
    const bool speech = ((g_read.parity ? p[1] : p[-1]) & 0x80) != 0;
    *frame += (*control & KVX_CW_SPEECH_FLAG) && !speech ? 9 : 41;
    g_read.parity = !g_read.parity;
}

} // namespace kvx
