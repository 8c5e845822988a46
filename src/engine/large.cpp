#include "engine/large.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace nucla::engine {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Huge pages are asked for from this size on. Below it the faults they save are a fraction of
// a millisecond, while a part page rounded up to a whole one can double the memory of an
// array (a 1 MB index would cost 2 MiB for its text and as much for each table, in every
// process that opens it).
constexpr std::size_t kHugeMinBytes = std::size_t{4} << 20;
// Beyond this, finding that many free huge pages at once costs more than the faults they
// save: measured on a 120 MB index, read into huge pages it opened three times slower, while
// its 100 MB of rows still gained from them.
constexpr std::size_t kHugeMaxBytes = std::size_t{100} << 20;

std::uintptr_t round_up(std::uintptr_t v, std::uintptr_t to) { return (v + to - 1) & ~(to - 1); }

bool wants_huge_pages(std::size_t bytes) {
    return bytes >= kHugeMinBytes && bytes <= kHugeMaxBytes;
}

// The bytes mapped for an array of `bytes`: with huge pages, a last part page of at least
// half a huge page is rounded up to a whole one (as small pages it would cost a fault for
// every 4 KiB of it); a shorter one stays in small pages, wasting less than it would save.
std::size_t mapped_bytes(std::size_t bytes) {
    if (!wants_huge_pages(bytes) || bytes % kHugePage < kHugePage / 2) return bytes;
    return round_up(bytes, kHugePage);
}

}  // namespace

void* map_large(std::size_t bytes) {
    if (bytes > SIZE_MAX / 4) return nullptr;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t used = mapped_bytes(bytes);
    // Map a huge page more than needed, then give back what lies around the aligned part.
    const std::size_t total = used + kHugePage;
    void* raw = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, kHugePage);
    const std::uintptr_t mapped_end = start + round_up(total, page);
    const std::uintptr_t used_end = round_up(aligned + used, page);
    if (aligned > start) ::munmap(raw, aligned - start);
    if (mapped_end > used_end) ::munmap(reinterpret_cast<void*>(used_end), mapped_end - used_end);
    void* p = reinterpret_cast<void*>(aligned);
    if (wants_huge_pages(bytes)) advise_huge_pages(p, used);
    return p;
}

void unmap_large(void* p, std::size_t bytes) { ::munmap(p, mapped_bytes(bytes)); }

void advise_huge_pages(void* p, std::size_t bytes) {
    // Transparent huge pages are Linux's; elsewhere, and in a portable build, plain pages.
#if defined(MADV_HUGEPAGE) && !defined(NUCLA_PORTABLE)
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace nucla::engine
