#include "engine/index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "engine/fd.hpp"
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

// Checks that a record's lines can be served by offset arithmetic: all lines as long as the
// first (in bases and bytes), except a shorter last line and blank lines at the very end.
class LayoutCheck {
public:
    void start() {
        lines_ = 0;
        ended_ = false;
    }

    // Returns an error text, or an empty string when the line fits the layout.
    std::string add(const IndexRow& row, std::uint64_t bases, std::uint64_t bytes,
                    bool terminated, std::uint64_t line_no) {
        const IndexEntry& e = row.entry;
        if (lines_++ == 0) {
            ended_ = bases == 0;
            return {};
        }
        if (bases == 0) {
            ended_ = true;
            return {};
        }
        const auto where = [&] {
            return "sequence '" + row.name + "' at line " + std::to_string(line_no);
        };
        if (ended_) return "blank or short line followed by more bases in " + where();
        if (bases > e.lenc) return "line longer than the first line of " + where();
        if (terminated && bytes - bases != e.lenb - e.lenc)
            return "mixed line terminators in " + where();
        if (bases < e.lenc) ended_ = true;
        return {};
    }

private:
    std::uint64_t lines_ = 0;
    bool ended_ = false;
};

}  // namespace

Result<std::vector<IndexRow>> scan_fasta(std::string_view data,
                                         const std::function<void(std::size_t)>& done) {
    constexpr std::size_t kReleaseStep = std::size_t{64} << 20;
    std::size_t next_release = kReleaseStep;

    std::vector<IndexRow> rows;
    IndexRow current;
    LayoutCheck layout;
    std::uint64_t line_no = 0;
    const char* const base = data.data();
    const char* p = base;
    const char* const end = base + data.size();
    // Validated in line-aligned pieces as the scan goes, so each page is touched while hot.
    const char* checked = base;
    const auto valid_up_to = [&](const char* upto) {
        const std::string_view piece(checked, static_cast<std::size_t>(upto - checked));
        checked = upto;
        return is_ascii(piece.data(), piece.size()) || is_valid_utf8(piece);
    };
    const auto invalid = [] {
        return FaidxError::io(IoError::other("stream did not contain valid UTF-8"));
    };

    while (p < end) {
        ++line_no;
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* next = nl ? nl + 1 : end;
        if (*p == '>') {
            if (!current.name.empty()) rows.push_back(std::move(current));
            std::string_view header = trim_white_space(std::string_view(p + 1, next - p - 1));
            current = IndexRow{};
            current.name.assign(header.substr(0, find_white_space(header)));
            current.entry.offset = static_cast<std::uint64_t>(next - base);
            layout.start();
        } else {
            const std::uint64_t bytes = static_cast<std::uint64_t>(next - p);
            const char* q = next;
            while (q > p && (q[-1] == '\n' || q[-1] == '\r')) --q;
            const std::uint64_t bases = static_cast<std::uint64_t>(q - p);
            IndexEntry& e = current.entry;
            if (e.lenb == 0) {  // first line of the record: every line has at least one byte
                e.lenc = bases;
                e.lenb = bytes;
            }
            e.rlen += bases;
            if (!current.name.empty()) {
                std::string problem = layout.add(current, bases, bytes, nl != nullptr, line_no);
                if (!problem.empty()) return FaidxError::indexing("irregular " + problem);
            }
        }
        p = next;
        if (static_cast<std::size_t>(p - base) >= next_release) {
            if (!valid_up_to(p)) return invalid();
            if (done) done(static_cast<std::size_t>(p - base));
            next_release += kReleaseStep;
        }
    }
    if (!valid_up_to(end)) return invalid();
    if (!current.name.empty()) rows.push_back(std::move(current));
    return rows;
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

Result<std::vector<IndexRow>> parse_index(std::string_view text) {
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
        if (count != 5) continue;

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

Status write_file_atomically(const std::string& path, std::string_view text) {
    static std::atomic<unsigned> counter{0};
    const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
                            std::to_string(counter.fetch_add(1));
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) return FaidxError::io_errno(errno);
    Status written = Ok{};
    if (int code = write_all(fd.get(), text)) written = FaidxError::io_errno(code);
    if (written.ok() && ::close(fd.release()) != 0) written = FaidxError::io_errno(errno);
    if (written.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
        written = FaidxError::io_errno(errno);
    if (!written.ok()) ::unlink(tmp.c_str());
    return written;
}

Result<std::string> read_index_text(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return FaidxError::index_not_found(path);
    struct stat st;
    std::string text;
    if (::fstat(fd.get(), &st) == 0 && st.st_size > 0)
        text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FaidxError::io_errno(errno);
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace nucla::engine
