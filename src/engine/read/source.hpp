// read/: the sources, how the engine reaches a FASTA file's bytes, and the copy of a window's
// bases out of them (extract.hpp). It may include the public headers, index/ and system/.
//
// Every source does the same few things, each in its own way: its size, views of byte ranges
// (read_at, what scans and the BGZF layer read), the bases of a window (extract) and the hints
// a batch may use (ordered, prefetch, copy_plain). A memory map of the whole file
// (MappedSource) reads in place, under the bus guard, which no other source needs; positioned
// reads on a descriptor (HandleSource) and decompressed BGZF blocks (bgzf.hpp) read through
// read_at, in blocks; so do remote files (remote.hpp), whose blocks a batch gathers in one
// round before its regions are read. A new kind of source implements size and read_at, and the
// hints it can give; what is planned, and the sinks bases go to, stay as they are.
// Every method is safe to call from several threads at once, each thread with its own
// ReadScratch.
//
// A source serves the file as it was when it was opened: the size is taken then, and a read
// that finds the file shorter (truncated or rewritten while open) fails with
// FaidxError::file_changed naming it, never with a short result or a crash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/errors.hpp"
#include "engine/fd.hpp"
#include "engine/reader.hpp"
#include "engine/remote.hpp"

namespace nucla::engine {

class BlockCache;
class Gathered;

// Per-thread working memory for reads: a buffer for bytes read through a descriptor and, for
// compressed sources, a small cache of decompressed blocks. Keeping one per thread for a long
// time makes neighbouring reads cheap.
class ReadScratch {
public:
    ReadScratch();
    ~ReadScratch();
    ReadScratch(const ReadScratch&) = delete;
    ReadScratch& operator=(const ReadScratch&) = delete;

    std::string buffer;
    // What a view into memory shared with other threads (a remote block) keeps alive.
    std::shared_ptr<const void> held;
    // The blocks a batch gathered for the regions this thread now fills: reads take them
    // from here and fetch nothing (see run.cpp).
    const Gathered* gathered = nullptr;
    // Created on first use; throws std::bad_alloc when it cannot be.
    BlockCache& blocks();

private:
    std::unique_ptr<BlockCache> blocks_;
};

class Source {
public:
    virtual ~Source() = default;

    // The file, as named in errors.
    const std::string& path() const { return path_; }

    // Bytes the source holds (as opened).
    virtual Result<std::uint64_t> size() const = 0;

    // A view of at most `want` bytes starting at `pos` (possibly fewer even before the end);
    // empty at the end of the data. The view stays valid until the next call with the same
    // scratch. May throw std::bad_alloc.
    virtual Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                             ReadScratch& scratch) const = 0;

    // Copies at most window.capacity bases into `out`, which has room for that many (see
    // extract.hpp). With `share`, a long copy may be split over the worker pool. Through
    // read_at unless the source has a better way. May throw std::bad_alloc.
    virtual Result<Extracted> extract(const ExtractionWindow& window, char* out,
                                      ReadScratch& scratch, bool share) const;

    // Whether a window reads within the regular layout's span (a source whose reads cost the
    // same wherever they start), or on to the end of the data, in blocks sized for the region.
    virtual bool reads_in_place() const { return false; }
    // Whether a batch should read its regions in file order, so that each block is read or
    // decompressed once for all the regions in it.
    virtual bool ordered() const { return true; }
    // The fewest bytes worth one read_at: a window reads at least this much at a time.
    virtual std::size_t least_read() const { return 4096; }
    // Starts bringing `bytes` bytes at `pos` closer to the processor; a hint, nothing more.
    virtual void prefetch(std::uint64_t, std::uint64_t) const {}
    // Tells that a scan will not read the bytes before `pos` again.
    virtual void release_before(std::uint64_t) const {}

    // Copies the n bytes at `pos` into `out` when they are plain bases (ASCII, no line end).
    // False when they are not, when the file shrank, or when the source has no cheap way to
    // tell: its caller then takes the general way (extract), which says what is wrong.
    virtual bool copy_plain(std::uint64_t, std::size_t, char*) const { return false; }

    // Fails with file_changed when the file now ends before byte `end`; a source that cannot
    // tell succeeds.
    virtual Status check_extent(std::uint64_t end) const;

    // Whether reads fetch their bytes from elsewhere, so that a batch gathers them first.
    virtual bool gathers() const { return false; }
    // Brings in the bytes of spans[first], spans[first + 1], ... (sorted by begin; empty ones
    // need nothing) for as many of them as one round holds, at least one, and returns how many
    // that is. `into` keeps the blocks, or the failure that every read of them then reports.
    // May throw std::bad_alloc.
    virtual std::size_t gather(const std::vector<ByteSpan>& spans, std::size_t first,
                               Gathered& into) const;

protected:
    explicit Source(std::string path) : path_(std::move(path)) {}

private:
    std::string path_;
};

class MappedSource final : public Source {
public:
    // Maps `fd` (a file of `size` bytes, named `path` in errors) read-only and shared and keeps
    // the descriptor, to tell later whether the file has shrunk. Returns nullptr, leaving `fd`
    // alone, when the file cannot be mapped.
    static std::unique_ptr<MappedSource> map(Fd& fd, std::uint64_t size, std::string path);
    ~MappedSource() override;

    Result<std::uint64_t> size() const override { return map_.size(); }
    // A copy of the bytes, made under the guard. Bytes that the file lost within its last
    // page read as zeros (past that page the copy fails): a caller that cannot tell them from
    // data asks check_extent.
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    Status check_extent(std::uint64_t end) const override;
    // Straight out of the map (extract.cpp).
    Result<Extracted> extract(const ExtractionWindow& window, char* out, ReadScratch& scratch,
                              bool share) const override;
    bool reads_in_place() const override { return true; }
    bool ordered() const override { return false; }
    void prefetch(std::uint64_t pos, std::uint64_t bytes) const override;
    void release_before(std::uint64_t pos) const override;
    bool copy_plain(std::uint64_t pos, std::size_t n, char* out) const override;

    // The whole file. Read it only through guarded.
    std::string_view map() const { return map_; }
    // Runs fn(arg), which reads map(), under the bus guard: false when the file shrank under the
    // map and stopped fn part way (the caller fails with FaidxError::file_changed(path())).
    // `fn` must be a plain copy loop (see bus_guard.hpp).
    [[nodiscard]] bool guarded(void (*fn)(void*), void* arg) const;

private:
    MappedSource(std::string_view data, Fd fd, std::string path)
        : Source(std::move(path)), map_(data), fd_(std::move(fd)) {}
    std::string_view map_;
    Fd fd_;
};

class HandleSource final : public Source {
public:
    // `fd` holds a file of `size` bytes, named `path` in errors.
    HandleSource(Fd fd, std::uint64_t size, std::string path)
        : Source(std::move(path)), fd_(std::move(fd)), size_(size) {}

    Result<std::uint64_t> size() const override { return size_; }
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    Status check_extent(std::uint64_t end) const override;

private:
    Fd fd_;
    std::uint64_t size_;
};

}  // namespace nucla::engine
