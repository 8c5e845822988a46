// The extraction core: from an index row and a 1-based start, copy `count` bases out of a
// source, skipping line feeds and carriage returns. Every fetch flavour goes through here.
//
// Where bases lie is index/layout.hpp's arithmetic; a foreign index whose numbers overflow or
// point past the data gives a short (possibly empty) result, and no buffer is ever sized beyond
// what the source still holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/errors.hpp"
#include "engine/index.hpp"
#include "engine/reader.hpp"
#include "read/source.hpp"

namespace nucla::engine {

// Capacity 0 when count, rlen or lenc is 0, or when the data ends before the position.
Result<ExtractionWindow> plan_window(const Source& source, const IndexEntry& entry,
                                     std::uint64_t start, std::uint64_t count);

// Copies n bytes and tells whether every one is ASCII and none ends a line (CR, LF): such
// bytes, taken from a line's position, are what extraction gives for them. A plain copy
// loop, fit to run under the bus guard.
bool copy_plain_bases(char* dst, const char* src, std::size_t n);

}  // namespace nucla::engine
