// index/: the .fai rows (reading, writing and scanning them: index.cpp) and the one place where
// a row's layout turns base numbers into byte positions (this file). It may include the public
// headers and system/; everything else of the engine asks here where bases lie.
//
// A row of rlen bases from byte `offset`, in lines of lenc bases taking lenb bytes each: the
// byte position of 0-based base i is  offset + (i / lenc) * lenb + i % lenc.
// A foreign index can make that arithmetic overflow or point past the data; every function
// here says so rather than wrap.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/index.hpp"

namespace nucla::engine {

// Where a base lies: its line (0-based), its column on that line, and its byte position.
struct Place {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::uint64_t pos = 0;
};

// The place of 0-based base i, `line` being i / lenc (worked out by a caller with a faster
// division at hand); nothing when the position overflows.
inline std::optional<Place> place_of(const IndexEntry& e, std::uint64_t i, std::uint64_t line) {
    Place p{line, i - line * e.lenc, 0};
    if (__builtin_mul_overflow(line, e.lenb, &p.pos) ||
        __builtin_add_overflow(p.pos, e.offset, &p.pos) ||
        __builtin_add_overflow(p.pos, p.column, &p.pos))
        return std::nullopt;
    return p;
}

// The same, nothing too for a row without full lines (lenc 0), whose layout places nothing.
inline std::optional<Place> place_of(const IndexEntry& e, std::uint64_t i) {
    if (e.lenc == 0) return std::nullopt;
    return place_of(e, i, i / e.lenc);
}

// Byte position of 0-based base i, or nothing (see place_of).
inline std::optional<std::uint64_t> base_position(const IndexEntry& e, std::uint64_t i) {
    const std::optional<Place> p = place_of(e, i);
    return p ? std::optional<std::uint64_t>(p->pos) : std::nullopt;
}

// Bytes from a base to the one `count` bases on when every line is regular, plus one line of
// slack (UINT64_MAX when that overflows). `e.lenc` must not be 0.
std::uint64_t regular_span(const IndexEntry& e, std::uint64_t count);

// How many of the row's bases, from the first, lie within the first `size` bytes of the data
// (counted by whole lines up to the last line that starts there). All of them for a row without
// full lines (lenc 0), whose layout places nothing; at most one line's worth for a row whose
// lines take no bytes (lenb 0).
std::uint64_t bases_within(const IndexEntry& entry, std::uint64_t size);

// Whether every row's bases lie within the first `size` bytes of the data; a row without
// bases or without full lines fits when its offset does.
bool rows_fit(const Index& index, std::uint64_t size);

}  // namespace nucla::engine
