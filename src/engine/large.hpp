// Memory for large arrays that are written once, soon after allocation (an index's rows and
// table, the text they view). Each such array gets a mapping of its own, aligned to and (up to
// a size) asking for transparent huge pages: a fresh page costs a fault, and one 2 MiB page
// instead of 512 small ones makes filling a 20 MB index markedly cheaper. Small arrays use the
// heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace nucla::engine {

// Arrays from this size on are mapped on their own.
inline constexpr std::size_t kLargeBytes = std::size_t{4} << 20;

// `bytes` (at least kLargeBytes) of fresh zeroed memory aligned to 2 MiB, or nullptr.
void* map_large(std::size_t bytes);
void unmap_large(void* p, std::size_t bytes);

// Asks for huge pages on the whole 2 MiB pages inside [p, p + bytes), before they are first
// written (memory from anywhere: a part of a heap block qualifies too). A hint only.
void advise_huge_pages(void* p, std::size_t bytes);

// A std::allocator that maps large arrays as above, and that default-initialises (a resized
// array of bytes or numbers is not zeroed first: the caller writes every element).
template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargeBytes) return static_cast<T*>(::operator new(bytes));
        void* p = map_large(bytes);
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargeBytes) {
            ::operator delete(p);
        } else {
            unmap_large(p, bytes);
        }
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) {
            ::new (static_cast<void*>(p)) U;
        } else {
            ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
        }
    }
    friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace nucla::engine
