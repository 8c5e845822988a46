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

// Complement tables: the IUPAC nucleotide pairs, each in both cases, and what every other byte
// becomes.
using ComplementTable = std::array<unsigned char, 256>;

enum class Unpaired {
    N,     // 'N'; 'X' pairs with itself (the Sequence transforms)
    Kept,  // the byte itself; 'U' pairs with 'A' (samtools, and so the command-line tool)
};

constexpr ComplementTable make_complement_table(Unpaired unpaired) {
    ComplementTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = unpaired == Unpaired::N ? 'N' : static_cast<unsigned char>(i);
    constexpr const char* pairs[] = {"AT", "BV", "CG", "DH", "GC", "HD", "KM", "MK",
                                     "NN", "RY", "SS", "TA", "VB", "WW", "YR"};
    const auto pair = [&t](char from, char to) {
        t[static_cast<unsigned char>(from)] = static_cast<unsigned char>(to);
        t[static_cast<unsigned char>(from + 32)] = static_cast<unsigned char>(to + 32);
    };
    for (const char* p : pairs) pair(p[0], p[1]);
    if (unpaired == Unpaired::N) {
        pair('X', 'X');
    } else {
        pair('U', 'A');
    }
    return t;
}

// IUPAC nucleotide complements, case kept; every other byte maps to 'N'.
inline constexpr ComplementTable COMPLEMENT_TABLE = make_complement_table(Unpaired::N);
// samtools' complement: U pairs with A, and every other byte stays as it is.
inline constexpr ComplementTable SAMTOOLS_COMPLEMENT_TABLE = make_complement_table(Unpaired::Kept);

// out[i] = in[n-1-i]. `out` must not overlap `in`.
void reverse_bytes(const char* in, std::size_t n, char* out);
// out[i] = complement(in[i]).
void complement_bytes(const char* in, std::size_t n, char* out);
// out[i] = complement(in[n-1-i]). `out` must not overlap `in`.
void reverse_complement_bytes(const char* in, std::size_t n, char* out);

// a-z to A-Z in place; every other byte unchanged.
void upper_case(char* data, std::size_t n);

// The same, in place.
void reverse_complement_in_place(char* data, std::size_t n);
// The same with another table.
void reverse_complement_in_place(char* data, std::size_t n, const ComplementTable& table);

// G+C over every byte; over A/C/G/T only; IUPAC-weighted over the codes that carry a weight.
double gc_fraction(std::string_view seq);
double gc_strict_fraction(std::string_view seq);
double gc_iupac_fraction(std::string_view seq);

// "name:start-end" when both coordinates are present, plus " (complement)" when comp is set.
std::string fancy_name(std::string_view name, std::optional<std::uint64_t> start,
                       std::optional<std::uint64_t> end, bool comp);

}  // namespace nucla::engine
