// The value every fetch returns, and the byte-level transforms on residues: the complement
// table, reverse, complement, reverse complement and G+C content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nucla::engine {

struct Sequence {
    std::string name;
    std::string seq;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    bool comp = false;
};

constexpr std::array<unsigned char, 256> make_complement_table() {
    std::array<unsigned char, 256> t{};
    for (auto& c : t) c = 'N';
    constexpr const char* pairs[] = {"AT", "BV", "CG", "DH", "GC", "HD", "KM", "MK",
                                     "NN", "RY", "SS", "TA", "VB", "WW", "XX", "YR"};
    for (const char* p : pairs) {
        t[static_cast<unsigned char>(p[0])] = static_cast<unsigned char>(p[1]);
        t[static_cast<unsigned char>(p[0] + 32)] = static_cast<unsigned char>(p[1] + 32);
    }
    return t;
}

// IUPAC nucleotide complements, case kept; every other byte maps to 'N'.
inline constexpr std::array<unsigned char, 256> COMPLEMENT_TABLE = make_complement_table();

// out[i] = in[n-1-i]. `out` must not overlap `in`.
void reverse_bytes(const char* in, std::size_t n, char* out);
// out[i] = complement(in[i]).
void complement_bytes(const char* in, std::size_t n, char* out);
// out[i] = complement(in[n-1-i]). `out` must not overlap `in`.
void reverse_complement_bytes(const char* in, std::size_t n, char* out);

// The same, in place.
void reverse_complement_in_place(char* data, std::size_t n);

// G+C over every byte; over A/C/G/T only; IUPAC-weighted over the codes that carry a weight.
double gc_fraction(std::string_view seq);
double gc_strict_fraction(std::string_view seq);
double gc_iupac_fraction(std::string_view seq);

// "name:start-end" when both coordinates are present, plus " (complement)" when comp is set.
std::string fancy_name(std::string_view name, std::optional<std::uint64_t> start,
                       std::optional<std::uint64_t> end, bool comp);

}  // namespace nucla::engine
