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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

/* ------------------------------------------------------------------------
 * Sums of products: the exact chains and their fast paths.
 *
 * A chain acc = L_mac(... L_mac(acc0, a0, b0) ..., a[n-1], b[n-1])
 * saturates only where a partial sum leaves 32 bits.  Every partial sum lies
 * within |acc0| + 2 sum |ai bi|; when a bound on that is at most kMax32,
 * no step saturates (and no product is -32768 x -32768, whose doubling
 * L_mult limits), so acc0 plus twice the plain sum, formed in any order,
 * has the same bits as the chain.  Callers bound 2 sum |ai bi| from the
 * largest magnitudes of the operands (chain_fits) and take the exact chain
 * when the bound is too large.
 * ---------------------------------------------------------------------- */

/* The exact chain of L_mac over a[0..n) and b[0..n). */
inline int32_t mac_chain(int32_t acc, const int16_t *a, const int16_t *b, int n)
{
    for (int i = 0; i < n; ++i) acc = L_mac(acc, a[i], b[i]);
    return acc;
}

/* sum a[i] b[i], unsaturated: only for operands that chain_fits admits,
 * so that no sum of any of the products leaves 32 bits and the grouping
 * (eight at a time with SSE2) does not matter. */
inline int32_t dot_plain(const int16_t *a, const int16_t *b, int n)
{
    int i = 0;
    int32_t sum = 0;
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(va, vb));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4e));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xb1));
    sum = _mm_cvtsi128_si32(acc);
#endif
    for (; i < n; ++i) sum += int32_t{a[i]} * b[i];
    return sum;
}

/* |v| without the 16-bit limit: 32768 for -32768. */
constexpr int32_t magnitude(int16_t v)
{
    return v < 0 ? -int32_t{v} : int32_t{v};
}

/* The largest |v[i]|, 0 for n = 0. */
inline int32_t max_abs(const int16_t *v, int n)
{
    int i = 0;
    int32_t largest = 0;
#if defined(__SSE2__)
    if (n >= 8) {
        __m128i hi = _mm_setzero_si128();
        __m128i lo = _mm_setzero_si128();
        for (; i + 8 <= n; i += 8) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v + i));
            hi = _mm_max_epi16(hi, x);
            lo = _mm_min_epi16(lo, x);
        }
        /* The largest magnitude is the larger of the top and minus the bottom. */
        int16_t top[8];
        int16_t bottom[8];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(top), hi);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(bottom), lo);
        for (int k = 0; k < 8; ++k) {
            largest = magnitude(top[k]) > largest ? magnitude(top[k]) : largest;
            largest = magnitude(bottom[k]) > largest ? magnitude(bottom[k]) : largest;
        }
    }
#endif
    for (; i < n; ++i) {
        const int32_t m = magnitude(v[i]);
        largest = m > largest ? m : largest;
    }
    return largest;
}

/* sum |v[i]|, for n up to 65535. */
inline int32_t sum_abs(const int16_t *v, int n)
{
    int32_t sum = 0;
    for (int i = 0; i < n; ++i) sum += magnitude(v[i]);
    return sum;
}

/* True when a chain from acc0 whose terms 2 ai bi add up to at most
 * `terms` in magnitude cannot saturate. */
inline bool chain_fits(int32_t acc0, int64_t terms)
{
    const int64_t start = acc0 < 0 ? -int64_t{acc0} : int64_t{acc0};
    return start + terms <= kMax32;
}

/* The bound 2 n |a|max |b|max on the terms of an n-step chain. */
constexpr int64_t chain_terms(int n, int32_t largestA, int32_t largestB)
{
    return 2 * int64_t{n} * largestA * largestB;
}

/* sum v[i]^2, unsaturated. */
inline int64_t sum_of_squares(const int16_t *v, int n)
{
    int i = 0;
    int64_t sum = 0;
#if defined(__SSE2__)
    /* Each pair of squares is at most 2^31: widened as unsigned. */
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v + i));
        const __m128i pairs = _mm_madd_epi16(x, x);
        acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(pairs, zero));
        acc = _mm_add_epi64(acc, _mm_unpackhi_epi32(pairs, zero));
    }
    int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), acc);
    sum = lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) sum += int32_t{v[i]} * v[i];
    return sum;
}

/* The chain L_mac(acc, v[i], v[i]) from acc = 0: an energy.  Its terms are
 * never negative, so its partial sums only grow, and once one saturates
 * all later ones stay at kMax32: the chain is the plain sum, limited once
 * (a -32768 x -32768 term, 2^31 instead of kMax32, limits the same). */
inline int32_t energy_sat(const int16_t *v, int n)
{
    const int64_t sum = sum_of_squares(v, n);
    return sum > kMax32 / 2 ? kMax32 : static_cast<int32_t>(2 * sum);
}

/* A bound by Cauchy-Schwarz, for chains from 0 over a and b of energies
 * (sums of squares) ea and eb: 2 sum |ai bi| <= 2 sqrt(ea eb), at most
 * kMax32 when ea eb <= kMax32^2 / 4. */
inline bool chain_fits_energies(int64_t ea, int64_t eb)
{
    constexpr uint64_t kLimit = static_cast<uint64_t>(kMax32) * static_cast<uint64_t>(kMax32) / 4;
    return ea <= kMax32 && eb <= kMax32 && static_cast<uint64_t>(ea) * static_cast<uint64_t>(eb) <= kLimit;
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
