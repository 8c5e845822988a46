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

Status check_size(int fd, std::uint64_t end, const std::string& path) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) < end)
        return FaidxError::file_changed(path);
    return Ok{};
}
}  // namespace

ReadScratch::ReadScratch() = default;
ReadScratch::~ReadScratch() = default;

ReadScratch& thread_scratch() {
    thread_local ReadScratch scratch;
    return scratch;
}

BlockCache& ReadScratch::blocks() {
    if (!blocks_) blocks_ = std::make_unique<BlockCache>();
    return *blocks_;
}

Status Source::check_extent(std::uint64_t) const { return Ok{}; }

std::unique_ptr<MappedSource> MappedSource::map(Fd& fd, std::uint64_t size, std::string path) {
    if (size == 0)
        return std::unique_ptr<MappedSource>(
            new MappedSource({kEmpty, 0}, std::move(fd), std::move(path)));
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return nullptr;
    install_bus_guard();
    return std::unique_ptr<MappedSource>(
        new MappedSource({static_cast<const char*>(addr), static_cast<std::size_t>(size)},
                         std::move(fd), std::move(path)));
}

MappedSource::~MappedSource() {
    if (!mapped().empty()) ::munmap(const_cast<char*>(mapped().data()), mapped().size());
}

Result<std::string_view> MappedSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch& scratch) const {
    const std::string_view map = mapped();
    if (pos >= map.size()) return std::string_view{};
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want, map.size() - pos));
    std::string& buffer = scratch.buffer;
    if (buffer.size() < n) buffer.resize(n);
    if (!guarded_copy(buffer.data(), map.data() + pos, n, map))
        return FaidxError::file_changed(path());
    return std::string_view(buffer.data(), n);
}

Status MappedSource::check_extent(std::uint64_t end) const {
    return check_size(fd_.get(), end, path());
}

Result<std::string_view> HandleSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch& scratch) const {
    if (pos >= size_ || pos > static_cast<std::uint64_t>(INT64_MAX) || want == 0)
        return std::string_view{};
    want = static_cast<std::size_t>(std::min<std::uint64_t>(want, size_ - pos));
    std::string& buffer = scratch.buffer;
    if (buffer.size() < want) buffer.resize(want);
    while (true) {
        ssize_t n = ::pread(fd_.get(), buffer.data(), want, static_cast<off_t>(pos));
        // The file held these bytes when it was opened.
        if (n == 0) return FaidxError::file_changed(path());
        if (n > 0) return std::string_view(buffer.data(), static_cast<std::size_t>(n));
        if (errno != EINTR) return FaidxError::io_errno(errno);
    }
}

Status HandleSource::check_extent(std::uint64_t end) const {
    return check_size(fd_.get(), end, path());
}

}  // namespace nucla::engine
