#include "engine/sequence.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace nucla::engine {

namespace {

// IUPAC G+C weights by uppercase code; a negative weight means "not counted".
constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> w{};
    for (auto& x : w) x = -1.0;
    for (char c : {'C', 'G', 'S'}) w[static_cast<unsigned char>(c)] = 1.0;
    for (char c : {'B', 'V'}) w[static_cast<unsigned char>(c)] = 0.67;
    for (char c : {'D', 'H'}) w[static_cast<unsigned char>(c)] = 0.33;
    for (char c : {'K', 'M', 'R', 'Y'}) w[static_cast<unsigned char>(c)] = 0.5;
    w['N'] = 0.25;
    for (char c : {'A', 'T', 'W'}) w[static_cast<unsigned char>(c)] = 0.0;
    for (int c = 'a'; c <= 'z'; ++c) w[c] = w[c - 32];
    return w;
}

constexpr auto kIupacWeights = make_iupac_weights();

}  // namespace

void reverse_bytes(const char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[n - 1 - i];
}

void complement_bytes(const char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(in[i])]);
}

namespace {

inline char complement_of(char c) {
    return static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
}

#if defined(__x86_64__)
// Sixteen bytes at a time: the complement table's letters live in 0x40..0x7F, so four 16-entry
// shuffles (one per high nibble) look them up; every other byte becomes 'N'.
struct Shuffles {
    __m128i groups[4];
    __m128i reverse;
    Shuffles() {
        for (int g = 0; g < 4; ++g) {
            alignas(16) unsigned char t[16];
            for (int k = 0; k < 16; ++k) t[k] = COMPLEMENT_TABLE[0x40 + 16 * g + k];
            groups[g] = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
        }
        reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    }
};

__attribute__((target("ssse3"))) inline __m128i reverse_complement16(const Shuffles& sh,
                                                                     __m128i v) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i lo = _mm_and_si128(v, nibble);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
    __m128i result = _mm_setzero_si128();
    __m128i hit = _mm_setzero_si128();
    for (int g = 0; g < 4; ++g) {
        const __m128i in_group = _mm_cmpeq_epi8(hi, _mm_set1_epi8(static_cast<char>(4 + g)));
        result = _mm_or_si128(result, _mm_and_si128(in_group, _mm_shuffle_epi8(sh.groups[g], lo)));
        hit = _mm_or_si128(hit, in_group);
    }
    result = _mm_or_si128(result, _mm_andnot_si128(hit, _mm_set1_epi8('N')));
    return _mm_shuffle_epi8(result, sh.reverse);
}

__attribute__((target("ssse3"))) void reverse_complement_ssse3(char* data, std::size_t n) {
    static const Shuffles sh;
    std::size_t i = 0, j = n;
    while (j - i >= 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + j - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + i), reverse_complement16(sh, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + j - 16), reverse_complement16(sh, a));
        i += 16;
        j -= 16;
    }
    for (; i < j--; ++i) {
        const char a = data[i];
        data[i] = complement_of(data[j]);
        data[j] = complement_of(a);  // also right for the middle byte, where i == j
    }
}

const bool kHasSsse3 = __builtin_cpu_supports("ssse3");
#endif

}  // namespace

void reverse_complement_in_place(char* data, std::size_t n) {
#if defined(__x86_64__)
    if (kHasSsse3) return reverse_complement_ssse3(data, n);
#endif
    std::size_t i = 0, j = n;
    for (; i < j--; ++i) {
        const char a = data[i];
        data[i] = complement_of(data[j]);
        data[j] = complement_of(a);  // also right for the middle byte, where i == j
    }
}

void reverse_complement_in_place(char* data, std::size_t n, const ComplementTable& table) {
    std::size_t i = 0, j = n;
    for (; i < j--; ++i) {
        const char a = data[i];
        data[i] = static_cast<char>(table[static_cast<unsigned char>(data[j])]);
        data[j] = static_cast<char>(table[static_cast<unsigned char>(a)]);
    }
}

void reverse_complement_bytes(const char* in, std::size_t n, char* out) {
    std::memcpy(out, in, n);
    reverse_complement_in_place(out, n);
}

double gc_fraction(std::string_view seq) {
    if (seq.empty()) return 0.0;
    std::size_t gc = 0;
    for (char c : seq) gc += c == 'G' || c == 'C' || c == 'g' || c == 'c';
    return static_cast<double>(gc) / static_cast<double>(seq.size());
}

double gc_strict_fraction(std::string_view seq) {
    std::size_t gc = 0, acgt = 0;
    for (char c : seq) {
        const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        const bool strong = u == 'G' || u == 'C';
        gc += strong;
        acgt += strong || u == 'A' || u == 'T';
    }
    return acgt == 0 ? 0.0 : static_cast<double>(gc) / static_cast<double>(acgt);
}

double gc_iupac_fraction(std::string_view seq) {
    double sum = 0.0;
    std::size_t counted = 0;
    for (char c : seq) {
        const double w = kIupacWeights[static_cast<unsigned char>(c)];
        if (w < 0.0) continue;
        sum += w;
        ++counted;
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

std::string fancy_name(std::string_view name, std::optional<std::uint64_t> start,
                       std::optional<std::uint64_t> end, bool comp) {
    std::string out(name);
    if (start && end) {
        out += ':';
        out += std::to_string(*start);
        out += '-';
        out += std::to_string(*end);
    }
    if (comp) out += " (complement)";
    return out;
}

void upper_case(char* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (static_cast<unsigned char>(c + 0x9f) < 0x1a) data[i] = static_cast<char>(c - 0x20);
    }
}

}  // namespace nucla::engine
