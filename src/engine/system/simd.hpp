// The vector paths' common ground: which instruction set a build has (SSE2 on x86-64, NEON on
// 64-bit ARM, else none and the scalar loops do everything), and for NEON the two things SSE2
// has in one instruction and NEON does not: a mask of the bytes whose high bit is set, and
// whether any is.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define NUCLA_SSE2 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define NUCLA_NEON 1
#endif

namespace nucla::engine {

#if NUCLA_NEON
// Bit i set when byte i of `v` has its high bit set (what SSE2's movemask gives).
inline std::uint16_t high_bits(uint8x16_t v) {
    static const std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                           1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bits = vandq_u8(vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(v), 7)),
                                     vld1q_u8(kBits));
    return static_cast<std::uint16_t>(vaddv_u8(vget_low_u8(bits)) |
                                      (vaddv_u8(vget_high_u8(bits)) << 8));
}

// Whether any byte of `v` has its high bit set.
inline bool any_high(uint8x16_t v) { return vmaxvq_u8(v) >= 0x80; }
#endif

}  // namespace nucla::engine
