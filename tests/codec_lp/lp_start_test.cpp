// Before any reset, the LP decoder is already in the state its reset gives,
// not all zero.  Its own program: nothing may decode before this runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec_lp/lp_decoder.h"
#include "kvx.h"

TEST(LpStart, FirstDecodeWithoutResetEqualsDecodeAfterReset)
{
    uint8_t frame[24];
    int16_t out[2][240];
    for (int i = 0; i < 24; ++i) frame[i] = static_cast<uint8_t>(i * 29 + 4);  // an active frame
    for (uint32_t control : {KVX_CW_NO_DEVICE, KVX_CW_NO_DEVICE | KVX_CW_RESET}) {
        uint8_t *p = frame;
        kvx::lp_decode(&p, &control, out[control & KVX_CW_RESET]);
    }
    EXPECT_TRUE(std::equal(out[0], out[0] + 240, out[1]));
}
