// The extraction core: from an index row and a 1-based start, copy `count` bases out of a
// source, skipping line feeds and carriage returns. Every fetch flavour goes through here.
//
// The byte position of 0-based base i is  offset + (i / lenc) * lenb + i % lenc.
// A foreign index can make that arithmetic overflow or point past the data; both simply
// give a short (possibly empty) result, and no buffer is ever sized beyond what the source
// still holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/errors.hpp"
#include "engine/index.hpp"
#include "engine/source.hpp"

namespace nucla::engine {

// Byte position of 0-based base index i, or nothing when the arithmetic overflows.
std::optional<std::uint64_t> base_position(const IndexEntry& entry, std::uint64_t i);

// How many of the row's bases, from the first, lie within the first `size` bytes of the data
// (counted by whole lines up to the last line that starts there). All of them for a row without
// full lines (lenc 0), whose layout places nothing; at most one line's worth for a row whose
// lines take no bytes (lenb 0).
std::uint64_t bases_within(const IndexEntry& entry, std::uint64_t size);

// Whether every row's bases lie within the first `size` bytes of the data; a row without
// bases or without full lines fits when its offset does.
bool rows_fit(const Index& index, std::uint64_t size);

// Where an extraction will read, decided before any byte is copied.
struct ExtractionWindow {
    std::uint64_t pos = 0;      // byte position of the first base
    std::uint64_t end = 0;      // no byte at or past this position is read
    std::uint64_t count = 0;    // bases asked for
    std::size_t capacity = 0;   // most bases the window can yield: min(count, end - pos)
    std::size_t read_hint = 0;  // bytes a regular layout needs, for sizing reads
    // The row's layout, for copying whole lines: bases per line, the bytes ending a line, and
    // the bases of the first line that come before `pos`.
    std::uint64_t lenc = 0;
    std::uint64_t terminator = 0;
    std::uint64_t column = 0;
};

// Capacity 0 when count, rlen or lenc is 0, or when the data ends before the position.
Result<ExtractionWindow> plan_window(const Source& source, const IndexEntry& entry,
                                     std::uint64_t start, std::uint64_t count);

struct Extracted {
    std::size_t size = 0;  // bases written
    bool ascii = true;     // every written byte is below 0x80
};

// Copies at most window.capacity bases into `out`, which has room for that many.
Result<Extracted> extract_bases(const Source& source, const ExtractionWindow& window, char* out,
                                ReadScratch& scratch);

// Copies n bytes and tells whether every one is ASCII and none ends a line (CR, LF): such
// bytes, taken from a line's position, are what extract_bases gives for them. A plain copy
// loop, fit to run under the bus guard.
bool copy_plain_bases(char* dst, const char* src, std::size_t n);

// a-z to A-Z in place; every other byte unchanged.
void upper_case(char* data, std::size_t n);

}  // namespace nucla::engine
