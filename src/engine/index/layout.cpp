#include "index/layout.hpp"

#include <algorithm>

namespace nucla::engine {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

}  // namespace

std::uint64_t regular_span(const IndexEntry& e, std::uint64_t count) {
    const std::uint64_t lines = count / e.lenc + (count % e.lenc != 0);
    const std::uint64_t terminators =
        e.lenb >= e.lenc ? saturating_mul(e.lenb - e.lenc, lines) : UINT64_MAX;
    return saturating_add(saturating_add(count, e.lenb), terminators);
}

std::uint64_t bases_within(const IndexEntry& e, std::uint64_t size) {
    if (e.lenc == 0) return e.rlen;
    if (e.offset >= size) return 0;
    const std::uint64_t avail = size - e.offset;
    const std::uint64_t lines = e.lenb == 0 ? 1 : avail / e.lenb + (avail % e.lenb != 0);
    const std::uint64_t last = std::min(e.lenc, avail - (lines - 1) * e.lenb);
    return std::min(e.rlen, saturating_add(saturating_mul(lines - 1, e.lenc), last));
}

bool rows_fit(const Index& index, std::uint64_t size) {
    // What the index worked out as it was read decides at once for the rows of a data file
    // that has not been cut short; anything else is settled row by row.
    const std::optional<std::uint64_t> last = index.last_byte();
    if (last && size > *last) return true;
    for (const auto& row : index.rows()) {
        const IndexEntry& e = row.entry;
        const bool fits = e.rlen == 0 || e.lenc == 0 ? e.offset <= size
                                                     : bases_within(e, size) == e.rlen;
        if (!fits) return false;
    }
    return true;
}

}  // namespace nucla::engine
