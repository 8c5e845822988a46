// How the engine reaches a FASTA file's bytes: a read-only shared memory map of the whole
// file, or positioned reads (pread) on an open descriptor. Extraction only asks for views of
// byte ranges, so a further kind of source (compressed blocks, say) plugs in behind the same
// interface. Every method is safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/errors.hpp"
#include "engine/fd.hpp"

namespace nucla::engine {

class Source {
public:
    virtual ~Source() = default;

    // Bytes the source holds now.
    virtual Result<std::uint64_t> size() const = 0;

    // A view of at most `want` bytes starting at `pos`; empty at the end of the data. The view
    // stays valid until the next call with the same scratch buffer.
    virtual Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                             std::string& scratch) const = 0;

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
                                     std::string& scratch) const override;
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
                                     std::string& scratch) const override;

private:
    Fd fd_;
};

}  // namespace nucla::engine
