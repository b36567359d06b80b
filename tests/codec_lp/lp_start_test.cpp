// Before any reset, the LP decoder is already in the state its reset gives,
// not all zero.  Its own program: nothing may decode before this runs.
#include <gtest/gtest.h>

#include <cstring>

#include "codec_lp/lp_decoder.h"
#include "kvx.h"
#include "lp_test_frames.h"

using namespace kvx;

TEST(LpStart, FirstDecodeWithoutResetEqualsDecodeAfterReset)
{
    int16_t first[240], again[240];
    uint32_t control = KVX_CW_NO_DEVICE;  // no reset asked for
    lptest::FrameWriter w = lptest::speech_frame(5);
    uint8_t *p = w.bytes;
    lp_decode(&p, &control, first);
    control = KVX_CW_NO_DEVICE | KVX_CW_RESET;
    p = w.bytes;
    lp_decode(&p, &control, again);
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
}
