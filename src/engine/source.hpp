// How the engine reaches a FASTA file's bytes: a read-only shared memory map of the whole
// file, positioned reads (pread) on an open descriptor, or decompressed BGZF blocks
// (bgzf.hpp). Extraction only asks for views of byte ranges. Every method is safe to call
// from several threads at once, each thread with its own ReadScratch.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

class Source {
public:
    virtual ~Source() = default;

    // Bytes the source holds now.
    virtual Result<std::uint64_t> size() const = 0;

    // A view of at most `want` bytes starting at `pos` (possibly fewer even before the end);
    // empty at the end of the data. The view stays valid until the next call with the same
    // scratch. May throw std::bad_alloc.
    virtual Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                             ReadScratch& scratch) const = 0;

    // The whole file when it is memory-mapped, else an empty view with a null data pointer.
    virtual std::string_view mapped() const { return {}; }
};

class MappedSource final : public Source {
public:
    // Maps `fd` read-only and shared; returns nullptr when the file cannot be mapped.
    static std::unique_ptr<MappedSource> map(int fd, std::uint64_t size);
    ~MappedSource() override;

    Result<std::uint64_t> size() const override { return data_.size(); }
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    std::string_view mapped() const override { return data_; }

private:
    explicit MappedSource(std::string_view data) : data_(data) {}
    std::string_view data_;
};

class HandleSource final : public Source {
public:
    explicit HandleSource(Fd fd) : fd_(std::move(fd)) {}

    Result<std::uint64_t> size() const override;
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;

private:
    Fd fd_;
};

}  // namespace nucla::engine
