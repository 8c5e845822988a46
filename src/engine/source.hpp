// How the engine reaches a FASTA file's bytes: a read-only shared memory map of the whole
// file, positioned reads (pread) on an open descriptor, or decompressed BGZF blocks
// (bgzf.hpp). Extraction only asks for views of byte ranges. Every method is safe to call
// from several threads at once, each thread with its own ReadScratch.
//
// A source serves the file as it was when it was opened: the size is taken then, and a read
// that finds the file shorter (truncated or rewritten while open) fails with
// FaidxError::file_changed naming it, never with a short result or a crash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/bus_guard.hpp"
#include "engine/errors.hpp"
#include "engine/fd.hpp"

namespace nucla::engine {

class BlockCache;

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
    // Created on first use; throws std::bad_alloc when it cannot be.
    BlockCache& blocks();

private:
    std::unique_ptr<BlockCache> blocks_;
};

// This thread's ReadScratch, kept for the thread's life so that neighbouring reads of one
// batch, and of the next, reuse blocks.
ReadScratch& thread_scratch();

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

    // The whole file when it is memory-mapped, else an empty view with a null data pointer.
    // Read it only through read_mapped.
    std::string_view mapped() const { return mapped_; }

    // Runs fn(arg), which reads mapped(), under the bus guard: false when the file shrank under
    // the map and stopped fn part way (the caller fails with FaidxError::file_changed(path())).
    // `fn` must be a plain copy loop (see bus_guard.hpp).
    [[nodiscard]] bool read_mapped(void (*fn)(void*), void* arg) const {
        return run_guarded(fn, arg, mapped_);
    }

    // Fails with file_changed when the file now ends before byte `end`; a source that cannot
    // tell succeeds.
    virtual Status check_extent(std::uint64_t end) const;

protected:
    explicit Source(std::string path, std::string_view mapped = {})
        : path_(std::move(path)), mapped_(mapped) {}

private:
    std::string path_;
    std::string_view mapped_;
};

class MappedSource final : public Source {
public:
    // Maps `fd` (a file of `size` bytes, named `path` in errors) read-only and shared and keeps
    // the descriptor, to tell later whether the file has shrunk. Returns nullptr, leaving `fd`
    // alone, when the file cannot be mapped.
    static std::unique_ptr<MappedSource> map(Fd& fd, std::uint64_t size, std::string path);
    ~MappedSource() override;

    Result<std::uint64_t> size() const override { return mapped().size(); }
    // A copy of the bytes, made under the guard. Bytes that the file lost within its last
    // page read as zeros (past that page the copy fails): a caller that cannot tell them from
    // data asks check_extent.
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    Status check_extent(std::uint64_t end) const override;

private:
    MappedSource(std::string_view data, Fd fd, std::string path)
        : Source(std::move(path), data), fd_(std::move(fd)) {}
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
