// The extraction core: from an index row and a 1-based start, copy `count` bases out of a
// source, skipping line feeds and carriage returns. Every fetch flavour goes through here.
//
// The byte position of 0-based base i is  offset + (i / lenc) * lenb + i % lenc.
// A foreign index can make that arithmetic overflow or point past the data; both simply
// give a short (possibly empty) result, and no buffer is ever sized beyond what the source
// still holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/errors.hpp"
#include "engine/index.hpp"
#include "engine/source.hpp"

namespace nucla::engine {

// Byte position of 0-based base index i, or nothing when the arithmetic overflows.
std::optional<std::uint64_t> base_position(const IndexEntry& entry, std::uint64_t i);

// Where an extraction will read, decided before any byte is copied.
struct ExtractionWindow {
    std::uint64_t pos = 0;      // byte position of the first base
    std::uint64_t end = 0;      // no byte at or past this position is read
    std::uint64_t count = 0;    // bases asked for
    std::size_t capacity = 0;   // most bases the window can yield: min(count, end - pos)
    std::size_t read_hint = 0;  // bytes a regular layout needs, for sizing reads
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
                                std::string& scratch);

// Tracks the file span that a run of extractions read, so that a dense run (consecutive
// regions, as from a sorted BED file) can give its pages back when it is done.
class ReadSpan {
public:
    void add(const ExtractionWindow& w, std::size_t copied) {
        if (w.capacity == 0) return;
        lo_ = std::min(lo_, w.pos);
        hi_ = std::max(hi_, w.pos + copied + copied / 16 + 2);
        bytes_ += copied;
    }
    // Releases the span when the run read most of it; a scattered run keeps its pages, since
    // other runs are likely to share them.
    void release_if_dense(const Source& source, std::uint64_t min_bytes = 1 << 20) const {
        if (bytes_ >= min_bytes && hi_ > lo_ && hi_ - lo_ <= 2 * bytes_) source.release(lo_, hi_);
    }

private:
    std::uint64_t lo_ = UINT64_MAX;
    std::uint64_t hi_ = 0;
    std::uint64_t bytes_ = 0;
};

// a-z to A-Z in place; every other byte unchanged.
void upper_case(char* data, std::size_t n);

}  // namespace nucla::engine
