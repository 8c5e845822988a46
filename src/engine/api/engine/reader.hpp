// The engine's public headers (this folder) are all that its clients, the Python binding and
// the command-line tool, may include; CMake gives them no other path into the engine.
//
// How bases leave the engine, whoever asks:
//   1. A Faidx opened on a FASTA file (the reader): its index, and a source that reads it.
//   2. A plan for each region, made by the one bounds policy (plan(), with a Bounds saying which
//      caller's rules apply): what to read, or why nothing is read, with the problems found
//      as values; saying them (warnings, exceptions, messages) is the caller's affair.
//   3. window() and extract(): where the plan's bases lie and their copy, by whatever source
//      the file has. A batch does this through run() (run.hpp), which decides which thread
//      reads what, in what order, under the caller's Execution; its sinks (Python strs, numpy
//      arrays, Sequence values for the tool) decide where the bases go.
//   4. finish_in_place()/finish_bases(): the steps between the read bytes and the sink
//      (padding, upper case, reverse complement). A new step, applying variants say, goes here,
//      between source and sink, and touches neither.
//
// The index engine: one FASTA file, its .fai index and the means to read its bases.
//
// Construction opens the FASTA (memory-mapped when possible, else through a descriptor read
// with pread), reads its index, or scans the FASTA and writes one when the index is missing
// or older than the FASTA. A BGZF-compressed FASTA (told by its first bytes) is read through
// its blocks, with a .gzi block index beside it; its .fai holds uncompressed offsets.
// Afterwards a Faidx never changes and may be read from any number of threads at once.
//
// Coordinates are 1-based and inclusive throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/index.hpp"
#include "engine/remote.hpp"
#include "engine/sequence.hpp"

namespace nucla::engine {

struct Options {
    std::optional<std::string> indexname;
    std::optional<std::string> gzi_indexname;  // block index of a BGZF file [FASTA.gzi]
    bool strict_bounds = false;
    bool sequence_always_upper = false;
    bool rebuild = true;
    bool build_index = true;
    bool always_build = false;  // build even a fresh index (the command-line tool's index mode)
    std::optional<std::string> default_seq;
    bool mutable_file = false;  // open read-write and read through the descriptor
    // Where the warnings of the open go ("WARNING: ..." lines, each whole and ending in a line
    // feed): which stream, and how it is written, is the caller's affair. None: dropped.
    std::function<void(std::string_view line)> warn;
};

class Source;
class ReadScratch;

// This thread's ReadScratch (the working memory of reads: buffers, decompressed blocks), kept
// for the thread's life so that neighbouring reads of one batch, and of the next, reuse it.
ReadScratch& thread_scratch();

// Which caller's rules the bounds policy applies.
enum class Bounds {
    // A single fetch, 1-based inclusive: the region is adjusted (or made Empty) naming each
    // problem in the plan; under strict bounds the plan is OutOfBounds instead.
    Single,
    // A batch, 1-based inclusive: silent clamping; under strict bounds a bad region is
    // OutOfBounds (by name: a Region error, see invalid_region).
    Batch,
    // The whole sequence: bases 1..rlen, no checks and no padding. Start and end are ignored.
    Entire,
    // samtools faidx, 0-based [start, end) with end INT64_MAX for "to the end": clamped to the
    // sequence, Empty when no base is left, `truncated` when the end was cut.
    Tool,
    // Arrays, 0-based [start, end) (signed): the part within the sequence is read, what lies
    // outside is padding, `lead` bases of it before. Never refused, never warned about.
    Padded,
};

// What the bounds policy made of a request, before any byte is read.
struct RegionPlan {
    enum class Kind {
        Extract,      // read bases start..end
        Empty,        // return no bases, reporting start and end as they are
        OutOfBounds,  // strict bounds refused the request: `problems` holds the reason
    };
    // What the single-fetch policy found wrong with a request, in the order it checks. A
    // lenient plan holds each problem it adjusted for; a refused one holds the first only.
    enum Problem : std::uint8_t {
        BeyondEnd = 1,       // the requested start or end lies past the sequence's length
        ZeroCoordinate = 2,  // start or (clamped) end is 0
        StartAfterEnd = 4,   // start above (clamped) end
    };
    Kind kind = Kind::Extract;
    const IndexEntry* entry = nullptr;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool pad = true;  // whole-sequence fetches never pad
    std::uint8_t problems = 0;
    bool truncated = false;  // Tool: the end was past the sequence's
    std::uint64_t lead = 0;  // Padded: bases of padding before the first one read

    std::uint64_t count() const { return end >= start ? end - start + 1 : 0; }
};

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


struct Extracted {
    std::size_t size = 0;  // bases written
    bool ascii = true;     // every written byte is below 0x80
};

// The batch policy's refusal of a region under strict bounds.
FaidxError invalid_region(std::string_view name, std::uint64_t start, std::uint64_t end,
                          std::uint64_t length);

class Faidx {
public:
    static Result<std::unique_ptr<Faidx>> open(std::string filename, Options options);
    // A FASTA file read through `file` (see remote.hpp), named by its URL. Its .fai (and .gzi)
    // come from beside it, or from the local indexname when one is given; an index that is in
    // neither place is built by reading the file once, and written only to that local path.
    // Nothing is written beside the file itself, and it cannot be opened for writing.
    static Result<std::unique_ptr<Faidx>> open_remote(std::shared_ptr<const RemoteFile> file,
                                                      Options options);
    ~Faidx();

    const std::string& filename() const { return filename_; }
    const std::string& index_path() const { return index_path_; }
    const std::string& gzi_path() const { return gzi_path_; }
    // Whether the FASTA is BGZF, read through its blocks (with the block index at gzi_path()).
    bool compressed() const { return compressed_; }
    // The same two paths made absolute at open, for whatever opens the files again (a pickled
    // copy, in another process and perhaps another working directory).
    const std::string& absolute_filename() const { return absolute_filename_; }
    const std::string& absolute_index_path() const { return absolute_index_path_; }
    const Options& options() const { return options_; }
    const Index& index() const { return index_; }
    const Source& source() const { return *source_; }

    // The one bounds policy: the plan of bases start..end (1-based inclusive; see Bounds for
    // the 0-based ones) of sequence `name`. Fails when the name is not in the index, and, for
    // Batch under strict bounds, with the Region error of invalid_region.
    Result<RegionPlan> plan(std::string_view name, std::uint64_t start, std::uint64_t end,
                            Bounds bounds) const;
    // The same for a row already looked up (`entry` must be a row of this index), so that a
    // caller holding the row pays for one hash lookup, not two.
    RegionPlan plan(const IndexEntry& entry, std::uint64_t start, std::uint64_t end,
                    Bounds bounds) const;
    // Tool and Padded, whose coordinates are 0-based and signed.
    RegionPlan plan(const IndexEntry& entry, std::int64_t start, std::int64_t end,
                    Bounds bounds) const;

    // Where an Extract plan reads. A failed read names the FASTA.
    Result<ExtractionWindow> window(const RegionPlan& plan) const {
        return window(*plan.entry, plan.start, plan.count());
    }
    // The same for `count` bases of a row of this index from 1-based `start`.
    Result<ExtractionWindow> window(const IndexEntry& entry, std::uint64_t start,
                                    std::uint64_t count) const;
    // Copies the window's bases (at most w.capacity) into `out`; with `share`, a long copy may
    // be split over the worker pool (see Execution).
    Result<Extracted> extract(const ExtractionWindow& w, char* out, ReadScratch& scratch,
                              bool share = true) const;
    // The first `count` bases of line `line` (0-based) of a row, when the source can tell
    // cheaply that they are plain bases (ASCII, no line end), upper-cased as the options say:
    // true with `out` filled. False when it cannot, for whatever reason (a file that shrank
    // too): the caller then plans and extracts them, which gives them or the error.
    bool read_plain(const IndexEntry& entry, std::uint64_t line, std::size_t count,
                    char* out) const;
    // Whether read_plain can succeed at all: false for a source with no cheap way to tell.
    bool reads_plain() const;
    // How many of the row's bases, from the first, the data holds.
    std::uint64_t bases_held(const IndexEntry& entry) const;

    // The bytes an Extract plan reads where the row's layout holds (empty for any other plan):
    // what a batch gathers for it from a remote file.
    ByteSpan span_of(const RegionPlan& plan) const;
    // Whether the file is read through a RemoteFile, whose blocks a batch gathers first.
    bool remote() const;
    // Brings the blocks of `spans` (sorted or not) into the cache in as few rounds as it holds
    // them, for reads that follow on this thread; nothing for a local file. Fails as a read
    // of them would.
    Status prefetch(std::vector<ByteSpan> spans) const;

    // The one finishing step of every fetch. Bases that need no padding are finished in place:
    // upper-cased when the options say so and, with `reverse`, reverse-complemented.
    void finish_in_place(char* data, std::size_t n, bool reverse = false) const {
        if (options_.sequence_always_upper) upper_case(data, n);
        if (reverse) reverse_complement_in_place(data, n);
    }
    // Pads `bases` (extracted for a plan of `count` bases) with default_seq when short, then
    // finishes them in place. Throws std::bad_alloc when the padding cannot fit in memory.
    void finish_bases(std::string& bases, const RegionPlan& plan, bool reverse = false) const;

    Faidx(const Faidx&) = delete;
    Faidx& operator=(const Faidx&) = delete;

    // An index file the open could not write, and the errno of the refusal.
    struct Unsaved {
        std::string path;
        int os_code;
    };

private:
    Faidx() = default;
    // Reads, or builds, the .fai (and for a BGZF file the .gzi, whose text `old_gzi` may
    // hold) of the file whose raw bytes source_ reads, as the options say, warning about
    // index files it could not write.
    Status open_indexes(bool bgzf, std::uint64_t raw_size, bool build,
                        std::optional<std::string> old_gzi);
    // Reads index_path_ (or the text given for it) into index_; `blank` tells whether it held
    // no row at all, not even a malformed one.
    Status read_index(bool& blank);
    // Whether an index file found `blank` must be rebuilt because the FASTA holds records
    // (`holds_record` tells, asked only for a blank index): a writer that died before its first
    // row leaves such a file, newer than the FASTA. Where the options forbid rebuilding, warns
    // instead, and the FASTA opens without its sequences.
    bool lacks_records(bool blank, const std::function<bool()>& holds_record) const;
    // Replaces the opened source (a BGZF file of `raw_size` bytes) with its decompressing
    // view, building the .fai and .gzi when asked to or when the block index is not fresh.
    // Index files that could not be written are added to `unsaved`.
    Status open_bgzf(std::uint64_t raw_size, bool build, std::optional<std::string> old_gzi,
                     std::vector<Unsaved>& unsaved);
    // Writes an index file. When the place refuses it (see is_refused_write) the open goes on
    // with the index in memory, adding the path to `unsaved`, unless writing it is the point
    // (always_build).
    Status save(const std::string& path, std::string_view text,
                std::vector<Unsaved>& unsaved) const;

    std::string filename_;
    std::string index_path_;
    std::string gzi_path_;
    // Where index files may be written: false for a remote file's own place, whose indexes are
    // then built in memory only.
    bool writable_indexes_ = true;
    // The text of a remote file's .fai, read from beside it.
    std::optional<std::string> index_text_;
    bool compressed_ = false;
    std::string absolute_filename_;
    std::string absolute_index_path_;
    Options options_;
    Index index_;
    std::unique_ptr<Source> source_;
};

}  // namespace nucla::engine
