/*
 * sp_fixed.h - fixed-point helpers of the SP codec.
 *
 * The codec works on 32-bit signed values that wrap like 32-bit two's
 * complement integers.  Products and sums are formed in 64 bits (where they
 * cannot overflow) and truncated to 32 bits with wrap32(), so that a wrap
 * gives the 32-bit result without undefined behaviour.  Right shifts of
 * negative values are arithmetic and round toward minus infinity.
 */
#ifndef KVX_CODEC_SP_SP_FIXED_H
#define KVX_CODEC_SP_SP_FIXED_H

#include <stdint.h>

/* SSE2 where the target has it; KVX_SP_PORTABLE (a test build) keeps to
 * the plain loops beside each SSE2 block, which give the same sums. */
#if defined(__SSE2__) && !defined(KVX_SP_PORTABLE)
#define KVX_SP_SSE2 1
#include <emmintrin.h>
#endif

namespace kvx {

static_assert((-3 >> 1) == -2, "right shifts of negative values must be arithmetic");

/* The low 32 bits of v as a signed value: a deliberate 32-bit wrap. */
constexpr int32_t wrap32(int64_t v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

/* v << s on 32 bits, wrapping; defined for negative v too. */
constexpr int32_t shl32(int32_t v, int s)
{
    return static_cast<int32_t>(static_cast<uint32_t>(v) << s);
}

/* A 64-bit accumulator wrapped to 32 bits, then shifted right by s. */
constexpr int32_t shr_wrap32(int64_t acc, int s)
{
    return wrap32(acc) >> s;
}

/* Limits to the 16-bit range -32768..32767. */
constexpr int32_t clamp16(int32_t v)
{
    return v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
}

/* Limits to the symmetric range -32767..32767. */
constexpr int32_t clamp_sym16(int32_t v)
{
    return v > 32767 ? 32767 : (v < -32767 ? -32767 : v);
}

/* (w * x + y * 32768 + 16384) >> 15 on 32 bits: y moved by w * x in Q15,
 * rounded.  Used by the step-up recursion, the output filter, the tilt and
 * the cross-fades. */
constexpr int32_t mac_q15_round(int32_t w, int32_t x, int32_t y)
{
    return shr_wrap32(static_cast<int64_t>(w) * x + static_cast<int64_t>(y) * 32768 + 16384, 15);
}

/* ------------------------------------------------------------------------
 * Fast paths for the filters' sums of products.
 *
 * Every filter sum ends in wrap32: only the low 32 bits of the 64-bit sum
 * are kept.  Those depend only on the low 32 bits of each product, and the
 * product of two 16-bit operands is exact in 32 bits.  So where the
 * operands fit in 16 bits, a sum of 16-bit products taken modulo 2^32 (in
 * any grouping; SSE2's pairwise products wrap the same way) has the bits of
 * the 64-bit sum.  The filters copy their operands to 16 bits when all of
 * them fit and take the 64-bit sums otherwise.
 * ---------------------------------------------------------------------- */

/* True when v[0..n) are all in -32768..32767; copies them to `to`. */
inline bool narrow16(const int32_t *v, int n, int16_t *to)
{
    int fits = 1;
    for (int i = 0; i < n; ++i) {
        fits &= (v[i] >= -32768) & (v[i] <= 32767);
        to[i] = static_cast<int16_t>(v[i]);
    }
    return fits != 0;
}

/* sum a[i] b[i] modulo 2^32, for n a multiple of 8. */
inline uint32_t dot_mod(const int16_t *a, const int16_t *b, int n)
{
#if defined(KVX_SP_SSE2)
    __m128i acc = _mm_setzero_si128();
    for (int i = 0; i < n; i += 8) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(va, vb));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4e));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(acc));
#else
    uint32_t sum = 0;
    for (int i = 0; i < n; ++i) sum += static_cast<uint32_t>(int32_t{a[i]} * b[i]);
    return sum;
#endif
}

#if defined(KVX_SP_SSE2)
/* The four sums of m0..m3 in one vector, sum(m0) in lane 0. */
inline __m128i sum_each4(__m128i m0, __m128i m1, __m128i m2, __m128i m3)
{
    const __m128i t0 = _mm_add_epi32(_mm_unpacklo_epi32(m0, m1), _mm_unpackhi_epi32(m0, m1));
    const __m128i t1 = _mm_add_epi32(_mm_unpacklo_epi32(m2, m3), _mm_unpackhi_epi32(m2, m3));
    return _mm_add_epi32(_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1));
}
#endif

/* sums[o] = sum taps[k] line[o + k] modulo 2^32 for o = 0..3: four
 * outputs of a filter along a line, for n a multiple of 8. */
inline void dot_mod_x4(const int16_t *taps, const int16_t *line, int n, uint32_t sums[4])
{
#if defined(KVX_SP_SSE2)
    __m128i m[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    for (int k = 0; k < n; k += 8) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(taps + k));
        for (int o = 0; o < 4; ++o)
            m[o] = _mm_add_epi32(m[o], _mm_madd_epi16(t, _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + o + k))));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(sums), sum_each4(m[0], m[1], m[2], m[3]));
#else
    for (int o = 0; o < 4; ++o) sums[o] = dot_mod(taps, line + o, n);
#endif
}

/* sums[o] = sum taps[o][k] lines[o][k] modulo 2^32 (k < 8) for o = 0..3. */
inline void dot8_x4(const int16_t *const taps[4], const int16_t *const lines[4], uint32_t sums[4])
{
#if defined(KVX_SP_SSE2)
    __m128i m[4];
    for (int o = 0; o < 4; ++o)
        m[o] = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(taps[o])),
                              _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines[o])));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(sums), sum_each4(m[0], m[1], m[2], m[3]));
#else
    for (int o = 0; o < 4; ++o) sums[o] = dot_mod(taps[o], lines[o], 8);
#endif
}

/* The last 16 values of a recursion (its output line), moved along by one
 * value per output.  With SSE2 they stay in two registers: reading them
 * back from the line, 16 bytes across the 2 just written, would wait for
 * that store on every output. */
struct Window16 {
#if defined(KVX_SP_SSE2)
    __m128i lo, hi;                       /* values 0..7 and 8..15 */
#else
    int16_t v[16];
#endif
};

inline void window_load(Window16 &w, const int16_t *v)
{
#if defined(KVX_SP_SSE2)
    w.lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v));
    w.hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v + 8));
#else
    for (int i = 0; i < 16; ++i) w.v[i] = v[i];
#endif
}

/* sum taps[i] w[i] modulo 2^32. */
inline uint32_t window_dot(const Window16 &w, const int16_t taps[16])
{
#if defined(KVX_SP_SSE2)
    __m128i acc = _mm_add_epi32(_mm_madd_epi16(w.lo, _mm_loadu_si128(reinterpret_cast<const __m128i *>(taps))),
                                _mm_madd_epi16(w.hi, _mm_loadu_si128(reinterpret_cast<const __m128i *>(taps + 8))));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4e));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(acc));
#else
    return dot_mod(w.v, taps, 16);
#endif
}

/* Moves the window one value along (value i + 1 becomes value i) and puts
 * `newest` at 13, where the line's newest output then sits. */
inline void window_push13(Window16 &w, int16_t newest)
{
#if defined(KVX_SP_SSE2)
    w.lo = _mm_or_si128(_mm_srli_si128(w.lo, 2), _mm_slli_si128(w.hi, 14));
    w.hi = _mm_insert_epi16(_mm_srli_si128(w.hi, 2), newest, 5);
#else
    for (int i = 0; i < 15; ++i) w.v[i] = w.v[i + 1];
    w.v[13] = newest;
#endif
}

/* A 32-bit sum taken modulo 2^32 as a signed value: wrap32 of it. */
constexpr int32_t as_signed(uint32_t v)
{
    return static_cast<int32_t>(v);
}

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_FIXED_H */
