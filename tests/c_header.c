/* The public header compiles as C, its records have their sizes. */
#include "kvx.h"

typedef char header_info_is_26_bytes[sizeof(HeaderInfo) == 26 ? 1 : -1];
typedef char header_info_ex_is_288_bytes[sizeof(HeaderInfoEx) == 288 ? 1 : -1];

uint32_t kvx_c_header_check(void)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    return KVXActiveFile("x.kvx", &length, &codecs);
}
