#include "engine/source.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "engine/bgzf.hpp"

namespace nucla::engine {

namespace {
// An empty file cannot be mapped; any non-null address serves as its empty map.
constexpr char kEmpty[1] = {0};
}  // namespace

ReadScratch::ReadScratch() = default;
ReadScratch::~ReadScratch() = default;

BlockCache& ReadScratch::blocks() {
    if (!blocks_) blocks_ = std::make_unique<BlockCache>();
    return *blocks_;
}

std::unique_ptr<MappedSource> MappedSource::map(int fd, std::uint64_t size) {
    if (size == 0) return std::unique_ptr<MappedSource>(new MappedSource({kEmpty, 0}));
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) return nullptr;
    return std::unique_ptr<MappedSource>(
        new MappedSource({static_cast<const char*>(addr), static_cast<std::size_t>(size)}));
}

MappedSource::~MappedSource() {
    if (!data_.empty()) ::munmap(const_cast<char*>(data_.data()), data_.size());
}

Result<std::string_view> MappedSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch&) const {
    if (pos >= data_.size()) return std::string_view{};
    return data_.substr(pos, want);
}

Result<std::uint64_t> HandleSource::size() const {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) return FaidxError::io_errno(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

Result<std::string_view> HandleSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch& scratch) const {
    if (pos > static_cast<std::uint64_t>(INT64_MAX)) return std::string_view{};
    std::string& buffer = scratch.buffer;
    if (buffer.size() < want) buffer.resize(want);
    while (true) {
        ssize_t n = ::pread(fd_.get(), buffer.data(), want, static_cast<off_t>(pos));
        if (n >= 0) return std::string_view(buffer.data(), static_cast<std::size_t>(n));
        if (errno != EINTR) return FaidxError::io_errno(errno);
    }
}

}  // namespace nucla::engine
