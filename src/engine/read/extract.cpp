#include "read/extract.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "index/layout.hpp"
#include "system/platform.hpp"
#include "system/simd.hpp"
#include "run/pool.hpp"

namespace nucla::engine {

namespace {

constexpr std::size_t kReadBlock = 1 << 20;

inline bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// Copies bytes from [src, src_end) to dst, dropping CR and LF, until `want` bytes are
// written or the input ends. Returns the bytes written; `src` advances past what was read.
std::size_t filter_copy(const char*& src_io, const char* src_end, char* dst, std::size_t want,
                        unsigned& high_io) {
    // Work on locals: stores through dst (a char*, which may alias anything) would otherwise
    // keep the caller's variables in memory at every step.
    const char* src = src_io;
    unsigned high = high_io;
    char* const dst_begin = dst;
#if NUCLA_SSE2
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    __m128i seen = _mm_setzero_si128();
    while (want >= 16 && src_end - src >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        if (mask == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
            seen = _mm_or_si128(seen, v);
            src += 16;
            dst += 16;
            want -= 16;
            continue;
        }
        // Keep the run before the first terminator byte (storing all 16 bytes is safe: want is
        // at least 16), then skip the terminator run.
        const int run = __builtin_ctz(static_cast<unsigned>(mask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
        high |= (static_cast<unsigned>(_mm_movemask_epi8(v)) & ((1u << run) - 1)) ? 0x80u : 0u;
        dst += run;
        want -= static_cast<std::size_t>(run);
        src += run;
        while (src < src_end && is_line_end(*src)) ++src;
    }
    high |= static_cast<unsigned>(_mm_movemask_epi8(seen)) ? 0x80u : 0u;
#elif NUCLA_NEON
    const uint8x16_t lf = vdupq_n_u8('\n');
    const uint8x16_t cr = vdupq_n_u8('\r');
    uint8x16_t seen = vdupq_n_u8(0);
    while (want >= 16 && src_end - src >= 16) {
        const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(src));
        const uint8x16_t ends = vorrq_u8(vceqq_u8(v, lf), vceqq_u8(v, cr));
        vst1q_u8(reinterpret_cast<std::uint8_t*>(dst), v);
        if (vmaxvq_u8(ends) == 0) {
            seen = vorrq_u8(seen, v);
            src += 16;
            dst += 16;
            want -= 16;
            continue;
        }
        const int run = __builtin_ctz(high_bits(ends));
        high |= (high_bits(v) & ((1u << run) - 1)) ? 0x80u : 0u;
        dst += run;
        want -= static_cast<std::size_t>(run);
        src += run;
        while (src < src_end && is_line_end(*src)) ++src;
    }
    high |= any_high(seen) ? 0x80u : 0u;
#endif
    while (want > 0 && src < src_end) {
        const char c = *src++;
        if (is_line_end(c)) continue;
        high |= static_cast<unsigned char>(c);
        *dst++ = c;
        --want;
    }
    src_io = src;
    high_io = high;
    return static_cast<std::size_t>(dst - dst_begin);
}

// Copies n bytes and tells whether none of them ends a line; `high` collects their high bits.
// They are checked as read, not after: loading bytes just stored stalls on the store.
bool copy_line(const char* src, char* dst, std::size_t n, unsigned& high) {
    std::size_t i = 0;
    bool clean = true;
    unsigned bits = 0;
#if NUCLA_SSE2
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    __m128i ends = _mm_setzero_si128();
    __m128i seen = _mm_setzero_si128();
    const auto take = [&](std::size_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
        ends = _mm_or_si128(ends, _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        seen = _mm_or_si128(seen, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), v);
    };
    for (; i + 16 <= n; i += 16) take(i);
    // The rest as one more block ending with the line, overlapping the last one.
    if (i < n && n >= 16) {
        take(n - 16);
        i = n;
    }
    clean = _mm_movemask_epi8(ends) == 0;
    bits = static_cast<unsigned>(_mm_movemask_epi8(seen)) ? 0x80u : 0u;
#elif NUCLA_NEON
    const uint8x16_t lf = vdupq_n_u8('\n');
    const uint8x16_t cr = vdupq_n_u8('\r');
    uint8x16_t ends = vdupq_n_u8(0);
    uint8x16_t seen = vdupq_n_u8(0);
    const auto take = [&](std::size_t at) {
        const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(src + at));
        ends = vorrq_u8(ends, vorrq_u8(vceqq_u8(v, lf), vceqq_u8(v, cr)));
        seen = vorrq_u8(seen, v);
        vst1q_u8(reinterpret_cast<std::uint8_t*>(dst + at), v);
    };
    for (; i + 16 <= n; i += 16) take(i);
    if (i < n && n >= 16) {
        take(n - 16);
        i = n;
    }
    clean = vmaxvq_u8(ends) == 0;
    bits = any_high(seen) ? 0x80u : 0u;
#endif
    for (; i < n; ++i) {
        clean &= !is_line_end(src[i]);
        bits |= static_cast<unsigned char>(src[i]);
        dst[i] = src[i];
    }
    high |= bits;
    return clean;
}

// Whether `terminator` bytes that all end lines stand at `at`. (The terminator's length comes
// from the index, so it may be anything.)
bool terminated(const char* at, const char* src_end, std::uint64_t terminator) {
    if (terminator > static_cast<std::uint64_t>(src_end - at)) return false;
    bool ends = true;
    for (std::uint64_t k = 0; k < terminator; ++k) ends &= is_line_end(at[k]);
    return ends;
}

// Copies whole lines while the row's layout holds (a line of lenc bases and terminator bytes
// that all end lines): such a line is copied in one go and its terminator stepped over, with no
// search. Stops at the first line that departs from the layout, or when the data ends, and
// returns the bases copied, with `src` at the next byte to read. `column` is where on its line
// the first base is expected.
std::size_t copy_lines(const char*& src, const char* src_end, char* dst, std::size_t want,
                       unsigned& high, const ExtractionWindow& w, std::uint64_t column) {
    std::size_t done = 0;
    if (w.lenc > 0 && w.terminator > 0) {
        std::uint64_t line_left = w.lenc - (column < w.lenc ? column : column % w.lenc);
        while (want > 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(line_left, want));
            const bool more = n < want;
            if (n > static_cast<std::uint64_t>(src_end - src)) break;
            unsigned bits = 0;
            if (!copy_line(src, dst + done, n, bits)) break;
            if (more && !terminated(src + n, src_end, w.terminator)) break;
            high |= bits;
            src += n;
            done += n;
            want -= n;
            if (!more) break;
            src += w.terminator;
            line_left = w.lenc;
        }
    }
    return done;
}

// What filter_copy gives, taking whole lines by copy_lines while the layout holds: the first
// line that departs from it, and everything after it, goes through filter_copy, so a foreign
// index that lies gives the same bases.
std::size_t copy_bases(const char*& src, const char* src_end, char* dst, std::size_t want,
                       unsigned& high, const ExtractionWindow& w, std::uint64_t column) {
    const std::size_t done = copy_lines(src, src_end, dst, want, high, w, column);
    return done + filter_copy(src, src_end, dst + done, want - done, high);
}

}  // namespace

bool copy_plain_bases(char* dst, const char* src, std::size_t n) {
    unsigned high = 0;
    return copy_line(src, dst, n, high) && (high & 0x80u) == 0;
}

Result<ExtractionWindow> plan_window(const Source& source, const IndexEntry& e,
                                     std::uint64_t start, std::uint64_t count) {
    ExtractionWindow w;
    w.count = count;
    if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return w;
    const std::optional<Place> place = place_of(e, start - 1);
    if (!place) return w;
    w.column = place->column;
    auto size = source.size();
    if (!size.ok()) return size.take_error();
    if (place->pos >= *size) return w;

    const std::uint64_t span = regular_span(e, count);
    w.pos = place->pos;
    // A source read in place is read within the regular layout's window (read on past it only
    // when the layout does not hold); any other to its end.
    const bool in_place = source.reads_in_place();
    w.end = in_place ? w.pos + std::min(*size - w.pos, span) : *size;
    w.capacity = static_cast<std::size_t>(std::min(count, w.end - w.pos));
    w.lenc = e.lenc;
    w.terminator = e.lenb > e.lenc ? e.lenb - e.lenc : 0;
    // A map is viewed in one piece; a handle is read in blocks sized for the region.
    w.read_hint = in_place
                      ? static_cast<std::size_t>(w.end - w.pos)
                      : static_cast<std::size_t>(std::min<std::uint64_t>(span, kReadBlock));
    return w;
}

namespace {

// A copy this long asks for its part of the file's pages in one call first.
constexpr std::uint64_t kPrefaultBytes = std::uint64_t{1} << 20;

// A copy out of a mapped window, run under the bus guard: copy_bases for the whole window, or
// copy_lines for a piece of it.
struct MappedCopy {
    const ExtractionWindow* window;
    const char* src;
    const char* src_end;
    char* dst;
    std::size_t want;
    std::uint64_t column;
    bool line_follows;  // a piece whose last line has a terminator to check (more follow it)
    unsigned high;
    std::size_t got;
};

void run_mapped_copy(void* arg) {
    auto& job = *static_cast<MappedCopy*>(arg);
    job.got = copy_bases(job.src, job.src_end, job.dst, job.want, job.high, *job.window,
                         job.column);
}

// copy_lines checks the terminators between a piece's lines; the one after its last line, right
// after which the layout places the next piece, is checked here. A piece that finds anything
// else there has not copied its bases by the layout.
void run_lines_copy(void* arg) {
    auto& job = *static_cast<MappedCopy*>(arg);
    job.got = copy_lines(job.src, job.src_end, job.dst, job.want, job.high, *job.window,
                         job.column);
    if (job.got == job.want && job.line_follows &&
        !terminated(job.src, job.src_end, job.window->terminator))
        job.got = 0;
}

void prefault(const char* from, const char* to) {
    const auto bytes = static_cast<std::uint64_t>(to - from);
    if (bytes >= kPrefaultBytes) prefault_mapping(from, bytes);
}

enum class Shared {
    Copied,    // all of the window; `ascii` tells whether every byte is below 0x80
    Shrunk,    // the file shrank under the map
    Declined,  // see below
};

// The window copied in pieces on several threads, each piece a run of whole lines that the
// layout's arithmetic places. Declined when a piece finds something else there (a layout that
// does not hold, a file cut short): the window is then copied in one pass, which is exact
// whatever the file holds. (A whole chromosome on two idle processors: 0.6 of the one pass's
// time, first call or later; with both processors busy elsewhere, about the same time.)
Shared extract_shared(const MappedSource& source, const ExtractionWindow& w, char* out, bool& ascii) {
    const char* const map = source.map().data();
    const std::uint64_t line_bytes = w.lenc + w.terminator;
    const std::uint64_t first_line_byte = w.pos - w.column;
    // Where the layout puts the window's last line must be a number (a foreign index may
    // promise anything), so that no piece's position below wraps.
    const std::uint64_t last_line = (w.column + w.capacity - 1) / w.lenc;
    std::uint64_t last_line_byte;
    if (line_bytes < w.lenc || __builtin_mul_overflow(last_line, line_bytes, &last_line_byte) ||
        __builtin_add_overflow(last_line_byte, first_line_byte, &last_line_byte))
        return Shared::Declined;
    const std::size_t piece_bases = std::max<std::size_t>(share_sizes().piece_bases, 1);
    const std::size_t pieces = (w.capacity + piece_bases - 1) / piece_bases;
    // Piece k > 0 starts at the first base of the line holding base k * piece_bases of the
    // window, or of its second line if that comes later; piece 0 at the window's first base,
    // `column` bases into its line. Pieces that come out empty are skipped.
    const auto first_line = [&](std::size_t k) -> std::uint64_t {
        return std::max<std::uint64_t>(1, (w.column + std::uint64_t{k} * piece_bases) / w.lenc);
    };
    const auto first_base = [&](std::size_t k) -> std::uint64_t {
        if (k == 0) return 0;
        if (k >= pieces) return w.capacity;
        return std::min<std::uint64_t>(first_line(k) * w.lenc - w.column, w.capacity);
    };
    const auto first_byte = [&](std::size_t k) -> std::uint64_t {
        if (k == 0) return w.pos;
        if (k >= pieces || first_line(k) > last_line) return w.end;
        return std::min(w.end, first_line_byte + first_line(k) * line_bytes);
    };
    std::atomic<bool> broken{false}, shrunk{false};
    std::atomic<unsigned> high{0};
    parallel_pieces(pieces, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end && !broken.load(std::memory_order_relaxed); ++k) {
            const std::uint64_t from = first_base(k);
            const std::uint64_t to = first_base(k + 1);
            if (to == from) continue;
            const std::uint64_t column = k == 0 ? w.column : 0;
            const auto want = static_cast<std::size_t>(to - from);
            const bool line_follows = to < w.capacity;
            MappedCopy job{&w,     map + first_byte(k), map + w.end, out + from, want,
                           column, line_follows,        0,           0};
            // (The piece's own bytes end where the next piece's begin.)
            prefault(job.src, map + first_byte(k + 1));
            if (!source.guarded(run_lines_copy, &job)) shrunk.store(true);
            if (job.got != job.want) broken.store(true);
            high.fetch_or(job.high, std::memory_order_relaxed);
        }
    });
    if (shrunk.load()) return Shared::Shrunk;
    // A zero byte at the end may come from a file that shrank within its last page: the one
    // pass checks for that.
    if (broken.load() || out[w.capacity - 1] == '\0') return Shared::Declined;
    ascii = (high.load() & 0x80u) == 0;
    return Shared::Copied;
}

}  // namespace

Result<Extracted> MappedSource::extract(const ExtractionWindow& w, char* out, ReadScratch&,
                                        bool share) const {
    const MappedSource& source = *this;
    if (w.capacity == 0) return Extracted{};
    if (share && w.capacity >= share_sizes().fetch_bases && w.lenc > 0 && w.terminator > 0 &&
        pool_size() > 1) {
        bool ascii = true;
        switch (extract_shared(source, w, out, ascii)) {
            case Shared::Copied:
                return Extracted{w.capacity, ascii};
            case Shared::Shrunk:
                return FaidxError::file_changed(source.path());
            case Shared::Declined:
                break;
        }
    }
    const char* const map = source.map().data();
    MappedCopy job{&w, map + w.pos, map + w.end, out, w.capacity, w.column, false, 0, 0};
    prefault(job.src, job.src_end);
    if (!source.guarded(run_mapped_copy, &job)) return FaidxError::file_changed(source.path());
    // The window ran out before the bases did: the layout does not hold (an index that lies
    // about its lines). The rest is read on towards the end of the data, as through a handle.
    const char* const map_end = map + source.map().size();
    if (job.got < w.capacity && job.src == job.src_end && job.src_end < map_end) {
        MappedCopy rest{&w, job.src, map_end, out + job.got, w.capacity - job.got,
                        w.column + job.got, false, 0, 0};
        if (!source.guarded(run_mapped_copy, &rest))
            return FaidxError::file_changed(source.path());
        job.src = rest.src;
        job.got += rest.got;
        job.high |= rest.high;
    }
    // Past a new end within its last page the map reads as zeros up to the page's end (any
    // further is SIGBUS): a copy that reached into them ends with a zero byte.
    if (job.got > 0 && out[job.got - 1] == '\0') {
        Status status = source.check_extent(static_cast<std::uint64_t>(job.src - map));
        if (!status.ok()) return status.take_error();
    }
    return Extracted{job.got, (job.high & 0x80u) == 0};
}

// Through read_at, in blocks sized for the region.
Result<Extracted> Source::extract(const ExtractionWindow& w, char* out, ReadScratch& scratch,
                                  bool) const {
    const Source& source = *this;
    Extracted result;
    unsigned high = 0;
    std::uint64_t pos = w.pos;
    std::size_t want = w.capacity;
    while (want > 0 && pos < w.end) {
        const std::uint64_t block_hint = std::max<std::uint64_t>(w.read_hint, source.least_read());
        const auto block = static_cast<std::size_t>(std::min(w.end - pos, block_hint));
        auto view = source.read_at(pos, block, scratch);
        if (!view.ok()) return view.take_error();
        if (view->empty()) break;
        const char* src = view->data();
        const std::size_t got = copy_bases(src, src + view->size(), out + result.size, want,
                                           high, w, w.column + result.size);
        result.size += got;
        want -= got;
        pos += static_cast<std::uint64_t>(src - view->data());
    }
    result.ascii = (high & 0x80u) == 0;
    return result;
}

}  // namespace nucla::engine
