/*
 * lp_fixed.h - the 16/32-bit fixed-point operations of the LP decoder.
 *
 * G.723.1 is defined bit for bit by its fixed-point arithmetic: every sum
 * and product saturates to 16 or 32 bits at a stated place, and products
 * of two 16-bit values are doubled (Q15 x Q15 -> Q31).  These helpers are
 * those operations, one name each; the saturation is part of the decoder's
 * behaviour, not a guard.  All shifts of negative values are arithmetic.
 *
 * The helpers are written without undefined behaviour: shifts of negative
 * values go through multiplication or unsigned casts, and every wider
 * intermediate is formed in 64 bits.
 */
#ifndef KVX_CODEC_LP_LP_FIXED_H
#define KVX_CODEC_LP_LP_FIXED_H

#include <stdint.h>

namespace kvx {
namespace lpx {

static_assert((-3 >> 1) == -2, "right shifts of negative values must be arithmetic");

constexpr int32_t kMax32 = 0x7fffffff;
constexpr int32_t kMin32 = -kMax32 - 1;

constexpr int16_t sat16(int32_t v)
{
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

constexpr int32_t sat32(int64_t v)
{
    return static_cast<int32_t>(v > kMax32 ? kMax32 : (v < kMin32 ? kMin32 : v));
}

constexpr int16_t add(int16_t a, int16_t b) { return sat16(int32_t{a} + b); }
constexpr int16_t sub(int16_t a, int16_t b) { return sat16(int32_t{a} - b); }
constexpr int16_t negate(int16_t a) { return a == -32768 ? 32767 : static_cast<int16_t>(-a); }
constexpr int16_t abs_s(int16_t a) { return a == -32768 ? 32767 : static_cast<int16_t>(a < 0 ? -a : a); }

/* a << n with 16-bit saturation; a negative n shifts right. */
constexpr int16_t shl(int16_t a, int n)
{
    if (n < 0) return n <= -15 ? static_cast<int16_t>(a < 0 ? -1 : 0) : static_cast<int16_t>(a >> -n);
    if (n > 15) return static_cast<int16_t>(a == 0 ? 0 : (a > 0 ? 32767 : -32768));
    const int32_t v = int32_t{a} * (int32_t{1} << n);
    return sat16(v);
}

/* a >> n, arithmetic; a negative n shifts left with saturation. */
constexpr int16_t shr(int16_t a, int n)
{
    if (n < 0) return shl(a, -n);
    if (n >= 15) return static_cast<int16_t>(a < 0 ? -1 : 0);
    return static_cast<int16_t>(a >> n);
}

/* (a x b) >> 15, saturated (only -1 x -1 saturates). */
constexpr int16_t mult(int16_t a, int16_t b) { return sat16((int32_t{a} * b) >> 15); }
/* The same, rounded. */
constexpr int16_t mult_r(int16_t a, int16_t b) { return sat16((int32_t{a} * b + 16384) >> 15); }

/* 2 x a x b: a Q31 product of two Q15 values. */
constexpr int32_t L_mult(int16_t a, int16_t b)
{
    return (a == -32768 && b == -32768) ? kMax32 : int32_t{a} * b * 2;
}

constexpr int32_t L_add(int32_t a, int32_t b) { return sat32(int64_t{a} + b); }
constexpr int32_t L_sub(int32_t a, int32_t b) { return sat32(int64_t{a} - b); }
constexpr int32_t L_mac(int32_t acc, int16_t a, int16_t b) { return L_add(acc, L_mult(a, b)); }
constexpr int32_t L_msu(int32_t acc, int16_t a, int16_t b) { return L_sub(acc, L_mult(a, b)); }
constexpr int32_t L_negate(int32_t a) { return a == kMin32 ? kMax32 : -a; }
constexpr int32_t L_abs(int32_t a) { return a == kMin32 ? kMax32 : (a < 0 ? -a : a); }

/* a << n with 32-bit saturation; a negative n shifts right. */
constexpr int32_t L_shl(int32_t a, int n)
{
    if (n < 0) return n <= -31 ? (a < 0 ? -1 : 0) : (a >> -n);
    if (n > 31) return a == 0 ? 0 : (a > 0 ? kMax32 : kMin32);
    return sat32(static_cast<int64_t>(a) * (int64_t{1} << n));
}

/* a >> n, arithmetic; a negative n shifts left with saturation. */
constexpr int32_t L_shr(int32_t a, int n)
{
    if (n < 0) return L_shl(a, -n);
    if (n >= 31) return a < 0 ? -1 : 0;
    return a >> n;
}

constexpr int32_t L_deposit_h(int16_t a) { return int32_t{a} * 65536; }
constexpr int16_t extract_h(int32_t a) { return static_cast<int16_t>(a >> 16); }
constexpr int16_t extract_l(int32_t a) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(a))); }

/* The high half of a + 0.5: rounding a Q31 value to Q15. */
constexpr int16_t round16(int32_t a) { return extract_h(L_add(a, 0x8000)); }

/* Left shifts that normalise a nonzero value (0 for 0, 15 or 31 for -1). */
constexpr int norm_s(int16_t a)
{
    if (a == 0) return 0;
    if (a == -1) return 15;
    int32_t v = a < 0 ? ~int32_t{a} : a;
    int n = 0;
    while (v < 0x4000) {
        v <<= 1;
        ++n;
    }
    return n;
}

constexpr int norm_l(int32_t a)
{
    if (a == 0) return 0;
    if (a == -1) return 31;
    uint32_t v = static_cast<uint32_t>(a < 0 ? ~a : a);
    int n = 0;
    while (v < 0x40000000u) {
        v <<= 1;
        ++n;
    }
    return n;
}

/* A 32-bit value times a Q15 value, Q31 result: low half then high half. */
constexpr int32_t L_mls(int32_t v, int16_t q)
{
    const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(v) & 0xffffu) * q;
    return L_mac(L_shr(low, 15), q, extract_h(v));
}

/* num / den in Q15 for 0 <= num <= den, den > 0. */
int16_t div_s(int16_t num, int16_t den);

/* A Q31 numerator over a Q15 denominator, 15 quotient bits; 32767 when
 * num >= den << 16.  num >= 0, den > 0. */
int16_t div_l(int32_t num, int16_t den);

/* Square root by bisection: the largest r with 2 r^2 <= num (14 steps). */
int16_t sqrt_q(int32_t num);

} // namespace lpx
} // namespace kvx

#endif /* KVX_CODEC_LP_LP_FIXED_H */
