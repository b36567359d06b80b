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

} // namespace kvx

#endif /* KVX_CODEC_SP_SP_FIXED_H */
