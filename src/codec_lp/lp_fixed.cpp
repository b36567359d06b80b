/* The iterative fixed-point operations of the LP decoder (see lp_fixed.h). */
#include "codec_lp/lp_fixed.h"

namespace kvx {
namespace lpx {

int16_t div_s(int16_t num, int16_t den)
{
    if (num <= 0 || den <= 0) return 0;
    if (num >= den) return 32767;
    int32_t n = num;
    int16_t q = 0;
    for (int i = 0; i < 15; ++i) {
        q = static_cast<int16_t>(q << 1);
        n <<= 1;
        if (n >= den) {
            n -= den;
            q = static_cast<int16_t>(q + 1);
        }
    }
    return q;
}

int16_t div_l(int32_t num, int16_t den)
{
    /* The standard stops on a zero or negative operand; no caller passes
     * one, but a decoder must not stop: answer 0. */
    if (den <= 0 || num < 0) return 0;
    int32_t d = L_deposit_h(den);
    if (num >= d) return 32767;
    num = L_shr(num, 1);
    d = L_shr(d, 1);
    int16_t q = 0;
    for (int i = 0; i < 15; ++i) {
        q = shl(q, 1);
        num = L_shl(num, 1);
        if (num >= d) {
            num = L_sub(num, d);
            q = add(q, 1);
        }
    }
    return q;
}

int16_t sqrt_q(int32_t num)
{
    int16_t root = 0;
    int16_t bit = 0x4000;
    for (int i = 0; i < 14; ++i) {
        const int16_t trial = add(root, bit);
        if (num >= L_mult(trial, trial)) root = trial;
        bit = shr(bit, 1);
    }
    return root;
}

} // namespace lpx
} // namespace kvx
