// Before any reset, the LP decoder is already in the state its reset gives
// (previous and comfort-noise LSP vectors at the mean, postfilter gain
// 4096, seed 12345, last frame active), not all zero.  Its own program:
// nothing may decode before this runs.
#include <gtest/gtest.h>

#include <cstring>

#include "codec_lp/lp_decoder.h"
#include "codec_lp/lp_g7231.h"
#include "kvx.h"
#include "lp_test_frames.h"

using namespace kvx;

TEST(LpStart, FirstDecodeWithoutResetEqualsDecodeAfterReset)
{
    const LpDecoderState reset = lp_reset_state();
    EXPECT_EQ(std::memcmp(&g_lp, &reset, sizeof reset), 0);
    EXPECT_EQ(g_lp.gain_Q12, 4096);
    EXPECT_EQ(g_lp.seed, 12345);
    EXPECT_EQ(g_lp.prevLsp[0], 3131);

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
