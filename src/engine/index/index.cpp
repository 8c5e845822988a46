#include "engine/index.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "run/pool.hpp"
#include "system/simd.hpp"
#include "engine/text.hpp"

namespace nucla::engine {

namespace {

// A fast hash of a name, eight bytes at a time (names are mostly short and ASCII).
std::uint64_t name_hash(std::string_view name) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    std::uint64_t h = name.size() * kMul;
    const char* p = name.data();
    std::size_t n = name.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i)
        w |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    // A full avalanche, so that the low bits (the slot) depend on every byte.
    h ^= w;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;

// Lookups answered by scanning the hashes before the table is built: a scan reads 8 bytes a
// row, where building the table takes a cache miss or two a row.
constexpr std::uint32_t kScans = 8;

using Slots = std::vector<std::uint64_t, LargeAllocator<std::uint64_t>>;

// Open addressing with linear probing. A slot holds the high half of its name's hash above
// the row's position plus one (0: empty), so that a probe compares names only when their
// hashes agree and never touches a row otherwise. Returns the name's slot, or the empty slot
// where it would go.
std::size_t slot_of(const Slots& slots, const Index::Rows& rows, std::string_view name,
                    std::uint64_t hash) {
    const std::size_t mask = slots.size() - 1;
    const std::uint64_t tag = hash & kTagMask;
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t s = slots[slot];
        if (s == 0 || ((s & kTagMask) == tag && rows[(s & ~kTagMask) - 1].name == name))
            return slot;
    }
}

std::size_t row_at(std::uint64_t slot) { return static_cast<std::size_t>(slot & ~kTagMask) - 1; }

}  // namespace

// The last byte of a row's bases in the regular layout: the position of the last base, the
// byte before the offset for a row without bases (0 for offset 0, which any data holds),
// UINT64_MAX when past any data.
void RowExtent::add(const IndexEntry& e) {
    std::uint64_t at;
    if (e.rlen == 0 || e.lenc == 0) {
        at = e.offset == 0 ? 0 : e.offset - 1;
    } else {
        irregular_ |= e.lenb < e.lenc;
        const std::uint64_t last = e.rlen - 1;
        const std::uint64_t line = line_quotient(last, e.lenc);
        if (__builtin_mul_overflow(line, e.lenb, &at) ||
            __builtin_add_overflow(at, e.offset, &at) ||
            __builtin_add_overflow(at, last - line * e.lenc, &at))
            at = UINT64_MAX;
    }
    last_byte_ = std::max(last_byte_, at);
}

void RowExtent::merge(const RowExtent& other) {
    last_byte_ = std::max(last_byte_, other.last_byte_);
    irregular_ |= other.irregular_;
}

std::uint64_t RowExtent::line_quotient(std::uint64_t n, std::uint64_t d) {
    if (n >> 32 != 0 || d >> 32 != 0) return n / d;
    if (d != divisor_) {
        divisor_ = d;
        magic_ = d == 1 ? 0 : UINT64_MAX / d + 1;
    }
    if (d == 1) return n;
    __extension__ using Wide = unsigned __int128;
    return static_cast<std::uint64_t>((static_cast<Wide>(magic_) * n) >> 64);
}

struct Index::Table {
    std::mutex mutex;
    std::atomic<bool> ready{false};
    std::atomic<std::uint32_t> scans{0};
    Slots slots;
    // One row per name, when some name repeats; rows_ serves otherwise.
    bool repeats = false;
    Rows merged;
};

Index::Index() : table_(std::make_unique<Table>()) {}
Index::~Index() = default;
Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;

Index::Index(const std::vector<IndexRow>& rows) : table_(std::make_unique<Table>()) {
    std::size_t total = 0;
    for (const IndexRow& row : rows) total += row.name.size();
    text_.reserve(total);
    for (const IndexRow& row : rows) text_.insert(text_.end(), row.name.begin(), row.name.end());
    rows_.reserve(rows.size());
    hashes_.reserve(rows.size());
    std::size_t at = 0;
    for (const IndexRow& row : rows) {
        add(std::string_view(text_.data() + at, row.name.size()), row.entry);
        at += row.name.size();
    }
}

void Index::add(std::string_view name, const IndexEntry& entry) {
    rows_.push_back(Row{name, entry});
    hashes_.push_back(name_hash(name));
    extent_.add(entry);
}

const IndexEntry* Index::scan(std::string_view name, std::uint64_t hash) const {
    // From the end: a repeated name's entry is its last row's.
    for (std::size_t i = rows_.size(); i-- > 0;)
        if (hashes_[i] == hash && rows_[i].name == name) return &rows_[i].entry;
    return nullptr;
}

const Index::Table& Index::table() const {
    Table& t = *table_;
    if (t.ready.load(std::memory_order_acquire)) return t;
    const std::lock_guard<std::mutex> lock(t.mutex);
    if (t.ready.load(std::memory_order_relaxed)) return t;
    if (rows_.size() >= std::size_t{UINT32_MAX}) throw std::bad_alloc();
    std::size_t capacity = 16;
    while (capacity < rows_.size() * 2) capacity *= 2;
    Slots slots(capacity, 0);
    const std::size_t mask = capacity - 1;
    // The table is far larger than the caches for big indexes: fetching the slots of rows a
    // little ahead keeps many of those misses in flight at once instead of one at a time.
    constexpr std::size_t kAhead = 16;
    bool repeats = false;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (i + kAhead < rows_.size()) __builtin_prefetch(&slots[hashes_[i + kAhead] & mask], 1);
        const std::size_t slot = slot_of(slots, rows_, rows_[i].name, hashes_[i]);
        repeats |= slots[slot] != 0;
        // A repeated name's slot moves on to its later row.
        slots[slot] = (hashes_[i] & kTagMask) | (i + 1);
    }
    Rows merged;
    if (repeats) {
        // A name keeps the place of its first row; its slot knows its last one.
        std::vector<bool> placed(capacity);
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const std::size_t slot = slot_of(slots, rows_, rows_[i].name, hashes_[i]);
            if (placed[slot]) continue;
            placed[slot] = true;
            merged.push_back(Row{rows_[i].name, rows_[row_at(slots[slot])].entry});
        }
    }
    t.slots = std::move(slots);
    t.merged = std::move(merged);
    t.repeats = repeats;
    t.ready.store(true, std::memory_order_release);
    return t;
}

const Index::Rows& Index::rows() const {
    if (!table_ || rows_.empty()) return rows_;
    const Table& t = table();
    return t.repeats ? t.merged : rows_;
}

const IndexEntry* Index::find(std::string_view name) const {
    if (!table_ || rows_.empty()) return nullptr;
    const std::uint64_t hash = name_hash(name);
    Table& t = *table_;
    if (!t.ready.load(std::memory_order_acquire)) {
        if (t.scans.load(std::memory_order_relaxed) < kScans) {
            t.scans.fetch_add(1, std::memory_order_relaxed);
            return scan(name, hash);
        }
        try {
            (void)table();
        } catch (const std::bad_alloc&) {
            return scan(name, hash);  // a lookup never fails; the table waits for memory
        }
    }
    const std::uint64_t s = t.slots[slot_of(t.slots, rows_, name, hash)];
    return s == 0 ? nullptr : &rows_[row_at(s)].entry;
}

std::optional<std::string> other_naming(const Index& index, std::string_view name) {
    // UCSC names carry "chr" where Ensembl and NCBI names do not; the mitochondrion is "chrM"
    // in one and "MT" in the other.
    std::string candidates[3];
    if (name.substr(0, 3) == "chr") {
        candidates[0] = name.substr(3);
    } else {
        candidates[0] = "chr";
        candidates[0] += name;
    }
    if (name == "chrM") candidates[1] = "MT";
    if (name == "MT") candidates[1] = "chrM";
    for (std::string& c : candidates) {
        if (!c.empty() && c != name && index.contains(c)) return std::move(c);
    }
    return std::nullopt;
}

namespace {

FaidxError invalid_utf8() {
    return FaidxError::io(IoError::other("stream did not contain valid UTF-8"));
}

// Carriage returns at the end of [p, q).
std::uint64_t trailing_crs(const char* p, const char* q) {
    const char* r = q;
    while (r > p && r[-1] == '\r') --r;
    return static_cast<std::uint64_t>(q - r);
}

}  // namespace

// Checks that a record's lines can be served by offset arithmetic: all lines as long as the
// first (in bases and bytes), except a shorter last line and blank lines at the very end.
// Returns an error text, or an empty string when the line fits the layout.
std::string FastaScanner::layout_problem(std::uint64_t bases, std::uint64_t bytes,
                                         bool terminated) {
    const IndexEntry& e = current_.entry;
    if (record_lines_++ == 0) {
        record_ended_ = bases == 0;
        return {};
    }
    if (bases == 0) {
        record_ended_ = true;
        return {};
    }
    const auto where = [&] {
        return "sequence '" + current_.name + "' at line " + std::to_string(line_no_);
    };
    if (record_ended_) return "blank or short line followed by more bases in " + where();
    if (bases > e.lenc) return "line longer than the first line of " + where();
    if (terminated && bytes - bases != e.lenb - e.lenc)
        return "mixed line terminators in " + where();
    if (bases < e.lenc) record_ended_ = true;
    return {};
}

Status FastaScanner::header_line(std::string_view text, std::uint64_t end_pos) {
    if (bad_utf8_ < end_pos) return invalid_utf8();
    seen_header_ = true;
    if (!current_.name.empty()) rows_.push_back(std::move(current_));
    const std::string_view header = trim_white_space(text);
    current_ = IndexRow{};
    current_.name.assign(header.substr(0, find_white_space(header)));
    current_.entry.offset = end_pos;
    record_lines_ = 0;
    record_ended_ = false;
    return Ok{};
}

Status FastaScanner::sequence_line(std::uint64_t bases, std::uint64_t bytes, bool terminated,
                                   std::uint64_t end_pos) {
    if (bad_utf8_ < end_pos) return invalid_utf8();
    IndexEntry& e = current_.entry;
    if (e.lenb == 0) {  // first line of the record: every line has at least one byte
        e.lenc = bases;
        e.lenb = bytes;
    }
    e.rlen += bases;
    if (!current_.name.empty()) {
        std::string problem = layout_problem(bases, bytes, terminated);
        if (!problem.empty()) return FaidxError::indexing("irregular " + problem);
    }
    return Ok{};
}

void FastaScanner::check_utf8(std::string_view piece) {
    if (bad_utf8_ != kNone) return;
    std::size_t i = 0;
    if (carry_len_) {
        while (carry_len_ < carry_need_ && carry_len_ < sizeof carry_ && i < piece.size())
            carry_[carry_len_++] = piece[i++];
        if (carry_len_ < carry_need_) return;
        if (!is_valid_utf8(std::string_view(carry_, carry_len_))) {
            bad_utf8_ = carry_pos_;
            return;
        }
        carry_len_ = 0;
    }
    const std::string_view rest = piece.substr(i);
    if (is_ascii(rest.data(), rest.size())) return;
    const std::size_t ok = utf8_valid_prefix(rest);
    if (ok == rest.size()) return;
    const std::uint64_t where = pos_ + i + ok;
    // A character cut by the end of the piece is judged when the next piece completes it.
    const std::size_t need = utf8_sequence_length(rest[ok]);
    if (need > rest.size() - ok) {
        bool continued = true;
        for (std::size_t k = ok + 1; k < rest.size(); ++k)
            continued &= (static_cast<unsigned char>(rest[k]) & 0xC0) == 0x80;
        if (continued) {
            carry_len_ = rest.size() - ok;
            std::memcpy(carry_, rest.data() + ok, carry_len_);
            carry_need_ = need;
            carry_pos_ = where;
            return;
        }
    }
    bad_utf8_ = where;
}

void FastaScanner::extend_partial(const char* p, const char* next, bool terminated) {
    if (partial_header_) {
        header_.append(p, static_cast<std::size_t>(next - p));
        return;
    }
    const char* text_end = terminated ? next - 1 : next;
    const std::uint64_t crs = trailing_crs(p, text_end);
    partial_crs_ = crs == static_cast<std::uint64_t>(text_end - p) ? partial_crs_ + crs : crs;
    partial_bytes_ += static_cast<std::uint64_t>(next - p);
}

Status FastaScanner::finish_partial(bool terminated, std::uint64_t end_pos) {
    partial_ = false;
    ++line_no_;
    if (partial_header_) return header_line(header_, end_pos);
    const std::uint64_t bases = partial_bytes_ - (terminated ? 1 : 0) - partial_crs_;
    return sequence_line(bases, partial_bytes_, terminated, end_pos);
}

Status FastaScanner::feed(std::string_view piece) {
    check_utf8(piece);
    const char* p = piece.data();
    const char* const end = p + piece.size();
    const std::uint64_t base = pos_;
    if (base == 0 && p < end) first_byte_ = *p;
    const auto at = [&](const char* q) {
        return base + static_cast<std::uint64_t>(q - piece.data());
    };
    pos_ += piece.size();
    if (partial_ && p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* next = nl ? nl + 1 : end;
        extend_partial(p, next, nl != nullptr);
        if (!nl) return Ok{};
        Status status = finish_partial(true, at(next));
        if (!status.ok()) return status;
        p = next;
    }
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (!nl) {
            partial_ = true;
            partial_header_ = *p == '>';
            partial_bytes_ = 0;
            partial_crs_ = 0;
            header_.clear();
            extend_partial(partial_header_ ? p + 1 : p, end, false);
            break;
        }
        const char* next = nl + 1;
        ++line_no_;
        const auto bytes = static_cast<std::uint64_t>(next - p);
        Status status =
            *p == '>' ? header_line(std::string_view(p + 1, bytes - 1), at(next))
                      : sequence_line(bytes - 1 - trailing_crs(p, nl), bytes, true, at(next));
        if (!status.ok()) return status;
        p = next;
    }
    return Ok{};
}

Result<std::vector<IndexRow>> FastaScanner::finish() {
    if (carry_len_ && bad_utf8_ == kNone) bad_utf8_ = carry_pos_;
    carry_len_ = 0;
    if (partial_) {
        Status status = finish_partial(false, pos_);
        if (!status.ok()) return status.take_error();
    }
    if (bad_utf8_ != kNone) return invalid_utf8();
    if (pos_ > 0 && !seen_header_) {
        std::string message = "no FASTA header line (one starting with '>') found";
        if (first_byte_ == '@') message += "; this looks like FASTQ, which is not supported";
        return FaidxError::indexing(std::move(message));
    }
    if (!current_.name.empty()) rows_.push_back(std::move(current_));
    return std::move(rows_);
}

bool RecordFinder::named_header() {
    in_header_ = false;
    const bool named = !trim_white_space(header_).empty();
    header_.clear();
    return named;
}

bool RecordFinder::feed(std::string_view piece) {
    const char* p = piece.data();
    const char* const end = p + piece.size();
    while (p < end) {
        if (line_start_ && !in_header_) {
            in_header_ = *p == '>';
            if (in_header_) ++p;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* text_end = nl ? nl : end;
        if (in_header_) header_.append(p, static_cast<std::size_t>(text_end - p));
        line_start_ = nl != nullptr;
        if (!nl) break;
        if (in_header_ && named_header()) return true;
        p = nl + 1;
    }
    return false;
}

bool RecordFinder::finish() { return in_header_ && named_header(); }

Result<std::vector<IndexRow>> scan_fasta(std::string_view data,
                                         const std::function<void(std::size_t)>& done) {
    // Pieces small enough to stay in cache between the UTF-8 check and the line walk.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    constexpr std::size_t kReleaseStep = std::size_t{64} << 20;
    FastaScanner scanner;
    for (std::size_t pos = 0; pos < data.size();) {
        const std::size_t n = std::min(kPiece, data.size() - pos);
        Status status = scanner.feed(data.substr(pos, n));
        if (!status.ok()) return status.take_error();
        pos += n;
        if (done && pos % kReleaseStep == 0) done(pos);
    }
    return scanner.finish();
}

std::string format_index(const std::vector<IndexRow>& rows) {
    std::string out;
    out.reserve(rows.size() * 48);
    for (const IndexRow& row : rows) {
        out += row.name;
        for (std::uint64_t v : {row.entry.rlen, row.entry.offset, row.entry.lenc, row.entry.lenb}) {
            out += '\t';
            out += std::to_string(v);
        }
        out += '\n';
    }
    return out;
}

namespace {

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// parse_unsigned, inlined for the index's hot loop.
bool read_number(const char* p, const char* end, std::uint64_t& out) {
    if (p < end && *p == '+') ++p;
    if (p == end) return false;
    std::uint64_t value = 0;
    for (; p < end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (digit > 9 || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, digit, &value))
            return false;
    }
    out = value;
    return true;
}

// The common row, "name<TAB>n<TAB>n<TAB>n<TAB>n" in ASCII with no white space around it and
// plain numbers of at most 19 digits, read in one pass; false for anything else (the caller
// then reads the row field by field). Such a row needs neither trimming nor UTF-8 checks.
bool read_plain_row(const char* b, const char* e, std::string_view& name, IndexEntry& entry) {
    if (b == e || is_ascii_space(*b)) return false;
    const char* q = b;
    for (; q < e && *q != '\t'; ++q)
        if (static_cast<unsigned char>(*q) >= 0x80) return false;
    if (q == b || q == e) return false;
    name = std::string_view(b, static_cast<std::size_t>(q - b));
    std::uint64_t* targets[4] = {&entry.rlen, &entry.offset, &entry.lenc, &entry.lenb};
    for (int i = 0; i < 4; ++i) {
        const char* start = ++q;
        std::uint64_t value = 0;
        unsigned digit;
        while (q < e && (digit = static_cast<unsigned char>(*q) - unsigned{'0'}) <= 9) {
            value = value * 10 + digit;
            ++q;
        }
        if (q == start || q - start > 19) return false;
        if (i < 3 ? (q == e || *q != '\t') : q != e) return false;
        *targets[i] = value;
    }
    return true;
}

#if NUCLA_SSE2 || NUCLA_NEON
// Bytes read_short_row may read from where it starts.
constexpr std::size_t kShortRowWindow = 80;

// The number written by 1 to 8 ASCII digits at p (bytes up to p + 8 may be read).
std::uint64_t eight_digits(const char* p, unsigned n) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    // Digit values, the first one the most significant, shifted so that leading zeros pad
    // them out to eight.
    w = (w - 0x3030303030303030ULL) << (8 * (8 - n));
    w = w * 10 + (w >> 8);
    return (((w & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((w >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// The value of 1 to 19 ASCII digits.
std::uint64_t digits_value(const char* p, unsigned n) {
    std::uint64_t value = 0;
    while (n > 8) {
        const unsigned head = n % 8 == 0 ? 8 : n % 8;
        value = value * 100000000 + eight_digits(p, head);
        p += head;
        n -= head;
    }
    return value * 100000000 + eight_digits(p, n);
}

// read_plain_row for a whole row of fewer than 64 bytes with its line feed, found by looking
// at all of its bytes at once; false for anything else (the caller then goes the long way,
// with the same result). kShortRowWindow bytes from `p` must be readable. On success `next`
// is the start of the following line.
bool read_short_row(const char* p, std::string_view& name, IndexEntry& entry,
                    const char*& next) {
    std::uint64_t tabs = 0, lfs = 0, digits = 0, high = 0;
#if NUCLA_SSE2
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    const auto classify = [&](int k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i d = _mm_sub_epi8(v, zero);
        const auto bits = [&](__m128i m) {
            return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(m))} << (16 * k);
        };
        tabs |= bits(_mm_cmpeq_epi8(v, tab));
        lfs |= bits(_mm_cmpeq_epi8(v, lf));
        digits |= bits(_mm_cmpeq_epi8(_mm_min_epu8(d, nine), d));
        high |= bits(v);
    };
#else
    const auto classify = [&](int k) {
        const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + 16 * k));
        const auto bits = [&](uint8x16_t m) { return std::uint64_t{high_bits(m)} << (16 * k); };
        tabs |= bits(vceqq_u8(v, vdupq_n_u8('\t')));
        lfs |= bits(vceqq_u8(v, vdupq_n_u8('\n')));
        digits |= bits(vcleq_u8(vsubq_u8(v, vdupq_n_u8('0')), vdupq_n_u8(9)));
        high |= bits(v);
    };
#endif
    // Most rows end within 32 bytes; the rest are looked at only when they do not.
    classify(0);
    classify(1);
    if (lfs == 0) {
        classify(2);
        classify(3);
        if (lfs == 0) return false;
    }
    const auto n = static_cast<unsigned>(__builtin_ctzll(lfs));
    const std::uint64_t in_row = (std::uint64_t{1} << n) - 1;  // n < 64
    std::uint64_t t = tabs & in_row;
    unsigned at[5];
    for (int i = 0; i < 4; ++i, t &= t - 1) {
        if (t == 0) return false;
        at[i] = static_cast<unsigned>(__builtin_ctzll(t));
    }
    if (t != 0) return false;  // a fifth tab
    at[4] = n;
    const std::uint64_t in_name = (std::uint64_t{1} << at[0]) - 1;
    if (at[0] == 0 || (high & in_name) || is_ascii_space(*p)) return false;
    // Everything after the name is digits and the four tabs (a carriage return is not).
    if (in_row & ~in_name & ~tabs & ~digits) return false;
    const auto field = [&](int i, std::uint64_t& value) {
        const unsigned len = at[i + 1] - at[i] - 1;
        if (len == 0 || len > 19) return false;
        value = digits_value(p + at[i] + 1, len);
        return true;
    };
    std::uint64_t rlen, offset, lenc, lenb;
    if (!field(0, rlen) || !field(1, offset) || !field(2, lenc) || !field(3, lenb)) return false;
    // Stored in two halves, the way a copy of the entry reads it back: a load that spans
    // several smaller stores waits until they have all landed, longer than the rest of the row
    // takes.
    static_assert(offsetof(IndexEntry, offset) == 8 && offsetof(IndexEntry, lenb) == 24);
#if NUCLA_SSE2
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&entry.rlen),
                     _mm_set_epi64x(static_cast<long long>(offset), static_cast<long long>(rlen)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&entry.lenc),
                     _mm_set_epi64x(static_cast<long long>(lenb), static_cast<long long>(lenc)));
#else
    vst1q_u64(&entry.rlen, vcombine_u64(vcreate_u64(rlen), vcreate_u64(offset)));
    vst1q_u64(&entry.lenc, vcombine_u64(vcreate_u64(lenc), vcreate_u64(lenb)));
#endif
    name = std::string_view(p, at[0]);
    next = p + n + 1;
    return true;
}
#endif

// Walks the rows of index text in order, calling row(name, entry) for each well-formed one.
// The first faulty line decides the error; see parse_index.
// `readable` (when given) is where the bytes that may be read end, past the text's own end.
template <class OnRow>
Status for_each_index_row(std::string_view text, std::size_t* skipped, OnRow&& row,
                          const char* readable = nullptr) {
    static constexpr const char* kFieldErrors[4] = {"Invalid rlen", "Invalid offset",
                                                    "Invalid lenc", "Invalid lenb"};
    const char* p = text.data();
    const char* const end = p + text.size();
    if (!readable) readable = end;
    while (p < end) {
        std::string_view name;
        IndexEntry entry;
#if NUCLA_SSE2 || NUCLA_NEON
        if (static_cast<std::size_t>(readable - p) >= kShortRowWindow) {
            const char* next;
            if (read_short_row(p, name, entry, next)) {
                row(name, entry);
                p = next;
                continue;
            }
        }
#endif
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* line_end = nl ? nl : end;
        const char* next = nl ? nl + 1 : end;
        if (line_end > p && line_end[-1] == '\r') --line_end;
        std::string_view line(p, static_cast<std::size_t>(line_end - p));
        p = next;
        if (read_plain_row(line.data(), line.data() + line.size(), name, entry)) {
            row(name, entry);
            continue;
        }
        if (!is_ascii(line.data(), line.size()) && !is_valid_utf8(line))
            return FaidxError::io(IoError::other("stream did not contain valid UTF-8"));
        line = trim_white_space(line);
        const char* const b = line.data();
        const char* const e = b + line.size();
        // The four tabs of a well-formed row; a fifth, or fewer than four, skips it.
        const char* tabs[4];
        std::size_t count = 0;
        for (const char* q = b; q < e; ++q) {
            if (*q != '\t') continue;
            if (count == 4) {
                count = 5;
                break;
            }
            tabs[count++] = q;
        }
        if (count != 4) {
            if (skipped && !line.empty()) ++*skipped;
            continue;
        }

        std::uint64_t* targets[4] = {&entry.rlen, &entry.offset, &entry.lenc, &entry.lenb};
        for (int i = 0; i < 4; ++i) {
            if (!read_number(tabs[i] + 1, i < 3 ? tabs[i + 1] : e, *targets[i]))
                return FaidxError::indexing(kFieldErrors[i]);
        }
        row(std::string_view(b, static_cast<std::size_t>(tabs[0] - b)), entry);
    }
    return Ok{};
}

// Newlines in [p, p + n).
std::size_t count_newlines(const char* p, std::size_t n) {
    std::size_t count = 0, i = 0;
#if NUCLA_SSE2
    // Each byte of `run` counts the newlines seen at its place, for up to 255 blocks.
    const __m128i lf = _mm_set1_epi8('\n');
    while (i + 16 <= n) {
        __m128i run = _mm_setzero_si128();
        for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            run = _mm_sub_epi8(run, _mm_cmpeq_epi8(v, lf));
        }
        const __m128i sums = _mm_sad_epu8(run, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
#elif NUCLA_NEON
    const uint8x16_t lf = vdupq_n_u8('\n');
    while (i + 16 <= n) {
        uint8x16_t run = vdupq_n_u8(0);
        for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
            const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + i));
            run = vsubq_u8(run, vceqq_u8(v, lf));
        }
        count += vaddlvq_u8(run);
    }
#endif
    for (; i < n; ++i) count += p[i] == '\n';
    return count;
}

}  // namespace

Result<Index> Index::parse(Text text, std::size_t* skipped) {
    Index index;
    index.text_ = std::move(text);
    const std::string_view t(index.text_.data(), index.text_.size());
    Status status = t.size() >= share_sizes().index_bytes && pool_size() > 1
                        ? index.parse_shared(t, skipped)
                        : index.parse_serial(t, skipped);
    if (!status.ok()) return status.take_error();
    return index;
}

Status Index::parse_serial(std::string_view t, std::size_t* skipped) {
    // Rows are sized from the first lines (a pass counting every line would cost as much as
    // the parse); an index whose rows grow longer further on still reads, with a regrowth.
    // Never more than a row takes bytes (ten), nor more than a sane first reservation.
    const std::string_view head = t.substr(0, std::size_t{1} << 16);
    const std::size_t head_lines = count_newlines(head.data(), head.size());
    const std::size_t estimate = head.size() == t.size()
                                     ? head_lines + 1
                                     : t.size() / 8 * 9 / head.size() * (head_lines + 1) + 16;
    const std::size_t lines = std::min({estimate, t.size() / 9 + 1, std::size_t{1} << 23});
    rows_.reserve(lines);
    hashes_.reserve(lines);
    return for_each_index_row(
        t, skipped, [&](std::string_view name, const IndexEntry& entry) { add(name, entry); });
}

// The text is cut into parts at line starts. A first pass counts each part's lines, which
// bound its rows (as do its bytes: a row takes ten with its line feed) and so place them; a
// second parses every part into its place. Parts with lines that gave no row (blank or skipped
// ones) leave gaps, closed at the end. The first faulty line in file order still decides the
// error: it is the first of the first part that has one.
Status Index::parse_shared(std::string_view t, std::size_t* skipped) {
    struct Part {
        std::size_t begin = 0, end = 0;               // bytes of the text
        std::size_t first = 0;                        // where its rows go
        std::size_t most = 0, rows = 0, skipped = 0;  // rows it may give, and gave
        RowExtent extent;
        bool overflow = false;
        Status status = Ok{};
    };
    const std::size_t n = t.size();
    // Small parts: the caller never waits for more than the one another thread holds.
    std::vector<Part> parts(std::min<std::size_t>(pool_size(), 8) * 32);
    const std::size_t count = parts.size();
    for (std::size_t k = 1; k < count; ++k) {
        std::size_t at = std::max(parts[k - 1].begin, n / count * k);
        if (at > 0 && t[at - 1] != '\n') {
            const std::size_t nl = t.find('\n', at);
            at = nl == std::string_view::npos ? n : nl + 1;
        }
        parts[k].begin = parts[k - 1].end = at;
    }
    parts[count - 1].end = n;
    parallel_pieces(count, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            Part& part = parts[k];
            const std::size_t bytes = part.end - part.begin;
            std::size_t lines = count_newlines(t.data() + part.begin, bytes);
            // A last line without its line feed.
            if (bytes > 0 && t[part.end - 1] != '\n') ++lines;
            part.most = std::min(lines, (bytes + 1) / 10);
        }
    });
    std::size_t total = 0;
    for (Part& part : parts) {
        part.first = total;
        total += part.most;
    }
    rows_.resize_for_overwrite(total);
    hashes_.resize_for_overwrite(total);
    parallel_pieces(count, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            Part& part = parts[k];
            Row* rows = rows_.data() + part.first;
            std::uint64_t* hashes = hashes_.data() + part.first;
            part.status = for_each_index_row(
                t.substr(part.begin, part.end - part.begin), &part.skipped,
                [&](std::string_view name, const IndexEntry& entry) {
                    // (Never true, by the bound above; a row past it would land on the next
                    // part's, so the text is then read again in one pass.)
                    if (part.rows == part.most) {
                        part.overflow = true;
                        return;
                    }
                    rows[part.rows] = Row{name, entry};
                    hashes[part.rows] = name_hash(name);
                    ++part.rows;
                    part.extent.add(entry);
                },
                t.data() + n);
        }
    });
    if (std::any_of(parts.begin(), parts.end(), [](const Part& p) { return p.overflow; })) {
        rows_.resize_for_overwrite(0);
        hashes_.resize_for_overwrite(0);
        return parse_serial(t, skipped);
    }
    std::size_t placed = 0;
    for (Part& part : parts) {
        if (!part.status.ok()) return part.status;
        if (skipped) *skipped += part.skipped;
        extent_.merge(part.extent);
        if (placed != part.first && part.rows > 0) {
            std::memmove(static_cast<void*>(rows_.data() + placed), rows_.data() + part.first,
                         part.rows * sizeof(Row));
            std::memmove(hashes_.data() + placed, hashes_.data() + part.first,
                         part.rows * sizeof(std::uint64_t));
        }
        placed += part.rows;
    }
    rows_.resize_for_overwrite(placed);
    hashes_.resize_for_overwrite(placed);
    return Ok{};
}

Result<std::vector<IndexRow>> parse_index(std::string_view text, std::size_t* skipped) {
    std::vector<IndexRow> rows;
    Status status = for_each_index_row(text, skipped, [&](std::string_view name,
                                                          const IndexEntry& entry) {
        rows.push_back(IndexRow{std::string(name), entry});
    });
    if (!status.ok()) return status.take_error();
    return rows;
}

}  // namespace nucla::engine
