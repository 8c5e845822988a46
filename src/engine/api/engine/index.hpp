// The .fai index: rows, the in-memory name map, the FASTA scanner that builds rows, and the
// reader and (atomic) writer of the samtools-compatible text format
//     name<TAB>rlen<TAB>offset<TAB>lenc<TAB>lenb<LF>
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/errors.hpp"
#include "engine/large.hpp"

namespace nucla::engine {

struct IndexEntry {
    std::uint64_t rlen = 0;    // number of bases
    std::uint64_t offset = 0;  // byte position of the first base
    std::uint64_t lenc = 0;    // bases per full line
    std::uint64_t lenb = 0;    // bytes per full line, terminator included
};

struct IndexRow {
    std::string name;
    IndexEntry entry;
};

// How far into the data the rows seen so far reach (see Index::last_byte), gathered row by row
// and, for rows read in parts, part by part.
class RowExtent {
public:
    void add(const IndexEntry& entry);
    void merge(const RowExtent& other);
    std::optional<std::uint64_t> last_byte() const {
        return irregular_ ? std::nullopt : std::optional<std::uint64_t>(last_byte_);
    }

private:
    // Division by the bases per line, which nearly every row of an index shares: the quotient
    // of a 32-bit numerator by a 32-bit divisor is the high half of its product with
    // ceil(2^64 / divisor) (Lemire, Kaser and Kurz, 2019), a multiplication where a division
    // instruction would take a good part of the time a row's parse takes.
    std::uint64_t line_quotient(std::uint64_t n, std::uint64_t d);

    std::uint64_t last_byte_ = 0;
    bool irregular_ = false;  // some row has fewer bytes than bases per line
    std::uint64_t divisor_ = 0;
    std::uint64_t magic_ = 0;  // ceil(2^64 / divisor_); unused for 1
};

// Name -> entry, remembering the order in which names first appeared. A repeated name keeps
// its first position and takes the entry of its last row. The names live in one block of text
// the index owns (the index file's own text, when read from one), so that opening an index of
// millions of rows costs one pass over its text and no allocation per row.
//
// The hash table is built on first need: a script that opens a large index to fetch a few
// names finds them by scanning the rows' hashes, and only the lookups after those, or a walk
// of the rows in key order, pay for the table. Rows never move once the index is made, so an
// entry found before the table was built stays valid (and the same) afterwards. All of this
// is safe across threads.
class Index {
public:
    struct Row {
        std::string_view name;  // views the index's text
        IndexEntry entry;
    };
    // The name of a row's entry, as find() gives it (a pointer into a row of an index).
    static std::string_view name_of(const IndexEntry& entry) {
        static_assert(std::is_standard_layout_v<Row>);
        return reinterpret_cast<const Row*>(reinterpret_cast<const char*>(&entry) -
                                            offsetof(Row, entry))
            ->name;
    }

    Index();
    explicit Index(const std::vector<IndexRow>& rows);
    ~Index();
    // Moved, never copied: a copy's rows would view the original's text.
    Index(Index&&) noexcept;
    Index& operator=(Index&&) noexcept;
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;
    using Text = std::vector<char, LargeAllocator<char>>;
    using Rows = LargeArray<Row>;
    // Reads index text as parse_index does, keeping the text.
    static Result<Index> parse(Text text, std::size_t* skipped = nullptr);

    // The entry of the name's last row.
    const IndexEntry* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // One row per name, in key order.
    const Rows& rows() const;
    std::size_t size() const { return rows().size(); }
    bool empty() const { return rows_.empty(); }

    // The largest byte position that a row's last base (for a row without bases, the byte
    // before its offset) takes in the regular layout, known without the table: all rows lie
    // within data of more than last_byte() bytes. nullopt when some row has fewer bytes than
    // bases per line, which leaves that to be worked out row by row.
    std::optional<std::uint64_t> last_byte() const { return extent_.last_byte(); }

private:
    using Hashes = LargeArray<std::uint64_t>;
    struct Table;

    void add(std::string_view name, const IndexEntry& entry);
    // Parse index text (that text_ holds) into the rows: on this thread, or on the pool's too.
    Status parse_serial(std::string_view text, std::size_t* skipped);
    Status parse_shared(std::string_view text, std::size_t* skipped);
    const IndexEntry* scan(std::string_view name, std::uint64_t hash) const;
    const Table& table() const;

    Text text_;      // moving a vector or array keeps its elements where they are, and views valid
    Rows rows_;      // every row in file order, repeated names included
    Hashes hashes_;  // hashes_[i]: the hash of rows_[i].name
    RowExtent extent_;
    std::unique_ptr<Table> table_;
};

// For a name the index lacks, the name it has for the same sequence under the other common
// naming ("chr1" for "1" and back, "MT" for "chrM" and back), if any.
std::optional<std::string> other_naming(const Index& index, std::string_view name);

// Scans FASTA bytes into rows, in file order (duplicates included), fed as consecutive pieces
// of the file split anywhere (a line may run across pieces, and only a header line is ever
// held in memory). Fails with Io when the bytes are not valid UTF-8 and with Indexing when a
// record's lines are laid out irregularly (such a record could not be served by offset
// arithmetic); the first faulty line in file order decides which. Bytes without a single
// header line are no FASTA (a text file, FASTQ) and fail with Indexing too; no bytes at all
// are a FASTA without records. After a failure the scanner must not be used again.
class FastaScanner {
public:
    Status feed(std::string_view piece);
    // After the last piece: the rows.
    Result<std::vector<IndexRow>> finish();
    // Bytes fed so far.
    std::uint64_t position() const { return pos_; }

private:
    static constexpr std::uint64_t kNone = UINT64_MAX;

    void check_utf8(std::string_view piece);
    Status header_line(std::string_view text, std::uint64_t end_pos);
    Status sequence_line(std::uint64_t bases, std::uint64_t bytes, bool terminated,
                         std::uint64_t end_pos);
    void extend_partial(const char* p, const char* next, bool terminated);
    Status finish_partial(bool terminated, std::uint64_t end_pos);
    std::string layout_problem(std::uint64_t bases, std::uint64_t bytes, bool terminated);

    std::vector<IndexRow> rows_;
    IndexRow current_;
    bool seen_header_ = false;
    char first_byte_ = 0;
    std::uint64_t line_no_ = 0;
    std::uint64_t pos_ = 0;  // file position of the next byte fed
    // Layout of the current record's lines so far.
    std::uint64_t record_lines_ = 0;
    bool record_ended_ = false;
    // A line begun in an earlier piece: a header keeps its text, a sequence line its counts.
    bool partial_ = false;
    bool partial_header_ = false;
    std::string header_;
    std::uint64_t partial_bytes_ = 0;
    std::uint64_t partial_crs_ = 0;  // carriage returns at its end so far
    // UTF-8: the first invalid byte, and a character cut by the end of the last piece.
    std::uint64_t bad_utf8_ = kNone;
    char carry_[4] = {};
    std::size_t carry_len_ = 0;
    std::size_t carry_need_ = 0;
    std::uint64_t carry_pos_ = 0;
};

// Tells whether FASTA bytes, fed as consecutive pieces split anywhere, hold a record that the
// scanner would index: a header line whose text gives a name. Reads no further than that
// header's line.
class RecordFinder {
public:
    // True once a record has been seen; then it need not be fed again.
    bool feed(std::string_view piece);
    // After the last piece (whose header line may lack its terminator).
    bool finish();

private:
    bool named_header();

    bool line_start_ = true;
    bool in_header_ = false;
    std::string header_;  // the text so far of the header line being read
};

// Scans a whole FASTA held in memory. `done(pos)` is told, now and then, that the bytes before
// `pos` will not be read again (a mapped source can then drop them from this process's
// resident set).
Result<std::vector<IndexRow>> scan_fasta(std::string_view data,
                                         const std::function<void(std::size_t)>& done = {});

// The index file's text for these rows.
std::string format_index(const std::vector<IndexRow>& rows);

// Parses index text: rows without exactly five tab-separated fields are skipped (and counted in
// `skipped`, blank lines aside); a bad number fails with Indexing ("Invalid rlen", ...); text
// that is not UTF-8 fails with Io.
Result<std::vector<IndexRow>> parse_index(std::string_view text, std::size_t* skipped = nullptr);

}  // namespace nucla::engine
