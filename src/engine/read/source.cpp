#include "read/source.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "read/bgzf.hpp"
#include "read/bus_guard.hpp"
#include "read/extract.hpp"

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
    if (!map_.empty()) ::munmap(const_cast<char*>(map_.data()), map_.size());
}

bool MappedSource::guarded(void (*fn)(void*), void* arg) const {
    return run_guarded(fn, arg, map_);
}

void MappedSource::prefetch(std::uint64_t pos, std::uint64_t bytes) const {
    // The first lines only: the hardware follows on from there, and asking for more only
    // stalls on the misses in flight.
    if (pos >= map_.size()) return;
    const std::uint64_t end = std::min<std::uint64_t>({map_.size() - pos, bytes, 256});
    for (std::uint64_t off = 0; off < end; off += 64) __builtin_prefetch(map_.data() + pos + off);
}

void MappedSource::release_before(std::uint64_t pos) const {
    // The pages stay in the page cache: a scan's resident set stays small, and later reads
    // fault them back cheaply.
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t length = std::min<std::uint64_t>(pos, map_.size()) / page * page;
    if (length) ::madvise(const_cast<char*>(map_.data()), length, MADV_DONTNEED);
}

bool MappedSource::copy_plain(std::uint64_t pos, std::size_t n, char* out) const {
    if (pos > map_.size() || n > map_.size() - pos) return false;
    struct Copy {
        char* dst;
        const char* src;
        std::size_t n;
        bool plain;
    } copy{out, map_.data() + pos, n, false};
    const auto run = [](void* arg) {
        auto* c = static_cast<Copy*>(arg);
        c->plain = copy_plain_bases(c->dst, c->src, c->n);
    };
    return guarded(run, &copy) && copy.plain;
}

Result<std::string_view> MappedSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch& scratch) const {
    const std::string_view map = map_;
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
