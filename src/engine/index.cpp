#include "engine/index.hpp"

#include <algorithm>
#include <cstring>

#include "engine/text.hpp"

namespace nucla::engine {

Index::Index(std::vector<IndexRow> rows) : rows_(std::move(rows)) {
    std::size_t capacity = 16;
    while (capacity < rows_.size() * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    hashes_.reserve(rows_.size());
    // Compact in place: a repeated name keeps its first place and takes the later entry.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::size_t hash = std::hash<std::string_view>{}(rows_[i].name);
        const std::size_t slot = slot_of(rows_[i].name, hash);
        if (slots_[slot] != kEmpty) {
            rows_[slots_[slot]].entry = rows_[i].entry;
            continue;
        }
        if (kept != i) rows_[kept] = std::move(rows_[i]);
        slots_[slot] = static_cast<std::uint32_t>(kept++);
        hashes_.push_back(static_cast<std::uint32_t>(hash));
    }
    rows_.resize(kept);
}

std::size_t Index::slot_of(std::string_view name, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t row = slots_[slot];
        if (row == kEmpty ||
            (hashes_[row] == static_cast<std::uint32_t>(hash) && rows_[row].name == name))
            return slot;
    }
}

const IndexEntry* Index::find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const std::uint32_t row = slots_[slot_of(name, std::hash<std::string_view>{}(name))];
    return row == kEmpty ? nullptr : &rows_[row].entry;
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

Result<std::vector<IndexRow>> parse_index(std::string_view text, std::size_t* skipped) {
    static constexpr const char* kFieldErrors[4] = {"Invalid rlen", "Invalid offset",
                                                    "Invalid lenc", "Invalid lenb"};
    std::vector<IndexRow> rows;
    rows.reserve(text.size() / 24);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!is_ascii(line.data(), line.size()) && !is_valid_utf8(line))
            return FaidxError::io(IoError::other("stream did not contain valid UTF-8"));
        line = trim_white_space(line);

        std::string_view fields[5];
        std::size_t count = 0;
        for (std::size_t start = 0;; ++count) {
            std::size_t tab = line.find('\t', start);
            if (count < 5) fields[count] = line.substr(start, tab == line.npos ? tab : tab - start);
            if (tab == line.npos) break;
            start = tab + 1;
        }
        ++count;
        if (count != 5) {
            if (skipped && !line.empty()) ++*skipped;
            continue;
        }

        IndexRow row;
        row.name.assign(fields[0]);
        std::uint64_t* targets[4] = {&row.entry.rlen, &row.entry.offset, &row.entry.lenc,
                                     &row.entry.lenb};
        for (int i = 0; i < 4; ++i) {
            auto value = parse_unsigned(fields[i + 1]);
            if (!value) return FaidxError::indexing(kFieldErrors[i]);
            *targets[i] = *value;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace nucla::engine
