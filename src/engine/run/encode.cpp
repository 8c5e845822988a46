#include "run/encode.hpp"

#include <algorithm>
#include <cstring>

#include "engine/sequence.hpp"
#include "system/simd.hpp"

namespace nucla::engine {

std::size_t ArrayFormat::base_bytes() const {
    if (encoding != Encoding::OneHot) return 1;
    switch (one_hot) {
        case OneHotType::U8:
            return 4;
        case OneHotType::F16:
            return 8;
        case OneHotType::F32:
            return 16;
    }
    return 4;
}

std::array<std::uint8_t, 256> default_code_table() {
    std::array<std::uint8_t, 256> t;
    t.fill(4);
    const char* bases = "ACGT";
    for (std::uint8_t code = 0; code < 4; ++code) {
        t[static_cast<unsigned char>(bases[code])] = code;
        t[static_cast<unsigned char>(bases[code] + 32)] = code;
    }
    return t;
}

namespace {

#if NUCLA_SSE2
// Masks of the bytes that are A, C, G and T in either case.
struct BaseMasks {
    __m128i a, c, g, t;
};

inline BaseMasks base_masks(const char* p) {
    const __m128i folded =
        _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8(0x20));
    return {_mm_cmpeq_epi8(folded, _mm_set1_epi8('a')), _mm_cmpeq_epi8(folded, _mm_set1_epi8('c')),
            _mm_cmpeq_epi8(folded, _mm_set1_epi8('g')), _mm_cmpeq_epi8(folded, _mm_set1_epi8('t'))};
}
#elif NUCLA_NEON
struct BaseMasks {
    uint8x16_t a, c, g, t;
};

inline BaseMasks base_masks(const char* p) {
    const uint8x16_t folded =
        vorrq_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)), vdupq_n_u8(0x20));
    return {vceqq_u8(folded, vdupq_n_u8('a')), vceqq_u8(folded, vdupq_n_u8('c')),
            vceqq_u8(folded, vdupq_n_u8('g')), vceqq_u8(folded, vdupq_n_u8('t'))};
}
#endif

// The default codes (A 0, C 1, G 2, T 3, else 4), 16 bytes at a time where it can.
void default_codes(const char* bases, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
#if NUCLA_SSE2
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        const __m128i any = _mm_or_si128(_mm_or_si128(m.a, m.c), _mm_or_si128(m.g, m.t));
        __m128i code = _mm_andnot_si128(any, _mm_set1_epi8(4));
        code = _mm_or_si128(code, _mm_and_si128(m.c, _mm_set1_epi8(1)));
        code = _mm_or_si128(code, _mm_and_si128(m.g, _mm_set1_epi8(2)));
        code = _mm_or_si128(code, _mm_and_si128(m.t, _mm_set1_epi8(3)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), code);
    }
#elif NUCLA_NEON
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        const uint8x16_t any = vorrq_u8(vorrq_u8(m.a, m.c), vorrq_u8(m.g, m.t));
        uint8x16_t code = vbicq_u8(vdupq_n_u8(4), any);
        code = vorrq_u8(code, vandq_u8(m.c, vdupq_n_u8(1)));
        code = vorrq_u8(code, vandq_u8(m.g, vdupq_n_u8(2)));
        code = vorrq_u8(code, vandq_u8(m.t, vdupq_n_u8(3)));
        vst1q_u8(out + i, code);
    }
#endif
    static const std::array<std::uint8_t, 256> table = default_code_table();
    for (; i < n; ++i) out[i] = table[static_cast<unsigned char>(bases[i])];
}

// One-hot uint8 vectors, 16 bases (64 bytes out) at a time where it can.
std::size_t one_hot_u8(const char* bases, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
#if NUCLA_SSE2
    const __m128i one = _mm_set1_epi8(1);
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        // Interleave the four channels: bytes (a, c, g, t) of base 0, then of base 1, ...
        const __m128i ac_lo = _mm_unpacklo_epi8(m.a, m.c), ac_hi = _mm_unpackhi_epi8(m.a, m.c);
        const __m128i gt_lo = _mm_unpacklo_epi8(m.g, m.t), gt_hi = _mm_unpackhi_epi8(m.g, m.t);
        auto* dst = reinterpret_cast<__m128i*>(out + i * 4);
        _mm_storeu_si128(dst + 0, _mm_and_si128(_mm_unpacklo_epi16(ac_lo, gt_lo), one));
        _mm_storeu_si128(dst + 1, _mm_and_si128(_mm_unpackhi_epi16(ac_lo, gt_lo), one));
        _mm_storeu_si128(dst + 2, _mm_and_si128(_mm_unpacklo_epi16(ac_hi, gt_hi), one));
        _mm_storeu_si128(dst + 3, _mm_and_si128(_mm_unpackhi_epi16(ac_hi, gt_hi), one));
    }
#elif NUCLA_NEON
    const uint8x16_t one = vdupq_n_u8(1);
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        // A store of four registers interleaves them: (a, c, g, t) of base 0, then of base 1, ...
        const uint8x16x4_t channels = {
            {vandq_u8(m.a, one), vandq_u8(m.c, one), vandq_u8(m.g, one), vandq_u8(m.t, one)}};
        vst4q_u8(out + i * 4, channels);
    }
#else
    (void)bases;
    (void)n;
    (void)out;
#endif
    return i;
}

template <std::size_t Size>
void expand(const char* bases, std::size_t n, const OneHotTable& table, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i)
        std::memcpy(out + i * Size, table.vectors[static_cast<unsigned char>(bases[i])].data(),
                    Size);
}

}  // namespace

OneHotTable::OneHotTable(OneHotType type, bool swap_bytes) {
    const auto codes = default_code_table();
    std::uint8_t one[4] = {1};
    std::size_t width = 1;
    if (type == OneHotType::F16) {
        const std::uint16_t half = 0x3c00;  // 1.0 in IEEE half precision
        width = 2;
        std::memcpy(one, &half, width);
    } else if (type == OneHotType::F32) {
        const float single = 1.0f;
        width = 4;
        std::memcpy(one, &single, width);
    }
    if (swap_bytes) std::reverse(one, one + width);
    size = 4 * width;
    for (std::size_t c = 0; c < 256; ++c) {
        if (codes[c] < 4) std::memcpy(&vectors[c][codes[c] * width], one, width);
    }
}

Encoder::Encoder(const ArrayFormat& format, bool always_upper)
    : format_(format),
      default_table_(format.table == default_code_table()),
      // The codes and vectors of A, C, G and T do not depend on case.
      upper_((format.upper || always_upper) &&
             (format.encoding == Encoding::Bytes ||
              (format.encoding == Encoding::Codes && !default_table_))),
      one_hot_(format.one_hot, format.swap_bytes) {}

void Encoder::finish(char* bases, std::size_t n, bool minus, std::uint8_t* row) const {
    if (upper_) upper_case(bases, n);
    if (minus) reverse_complement_in_place(bases, n);
    encode(bases, n, row);
}

void Encoder::encode(const char* bases, std::size_t n, std::uint8_t* row) const {
    switch (format_.encoding) {
        case Encoding::Bytes:
            return;
        case Encoding::Codes:
            if (default_table_) return default_codes(bases, n, row);
            for (std::size_t k = 0; k < n; ++k)
                row[k] = format_.table[static_cast<unsigned char>(bases[k])];
            return;
        case Encoding::OneHot:
            switch (one_hot_.size) {
                case 4: {
                    const std::size_t done = one_hot_u8(bases, n, row);
                    return expand<4>(bases + done, n - done, one_hot_, row + done * 4);
                }
                case 8:
                    return expand<8>(bases, n, one_hot_, row);
                default:
                    return expand<16>(bases, n, one_hot_, row);
            }
    }
}

}  // namespace nucla::engine
