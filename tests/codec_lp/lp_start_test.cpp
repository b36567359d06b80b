// Before any reset, the LP decoder is already in the state its reset gives,
// not all zero.  Its own program: nothing may decode before this runs.
#include <gtest/gtest.h>

#include <cstring>

#include "codec_lp/lp_decoder.h"
#include "kvx.h"

TEST(LpStart, FirstDecodeWithoutResetEqualsDecodeAfterReset)
{
    uint8_t frame[24];
    for (int i = 0; i < 24; ++i) frame[i] = static_cast<uint8_t>(i * 29 + 4);  // an active frame
    int16_t first[240], again[240];
    uint32_t control = KVX_CW_NO_DEVICE;  // no reset asked for
    uint8_t *p = frame;
    kvx::lp_decode(&p, &control, first);
    control = KVX_CW_NO_DEVICE | KVX_CW_RESET;
    p = frame;
    kvx::lp_decode(&p, &control, again);
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
}
