// Memory for large arrays that are written once, soon after allocation (an index's rows and
// table, the text they view). Each such array gets a mapping of its own, aligned to 2 MiB and,
// within a range of sizes from a few MiB, made of transparent huge pages: a fresh page costs
// a fault, and one 2 MiB page instead of 512 small ones makes filling a 20 MB index markedly
// cheaper. Small arrays use the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace nucla::engine {

// Arrays from this size on are mapped on their own.
inline constexpr std::size_t kLargeBytes = std::size_t{1} << 20;

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

// A growable array of plain values (copied as bytes, never destroyed) in LargeAllocator memory,
// which, unlike a vector, can be lengthened without writing its new elements: parts of a large
// array can then be filled by different threads, each faulting in its own pages. Moves keep the
// elements where they are.
template <class T>
class LargeArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    LargeArray() = default;
    LargeArray(LargeArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    LargeArray& operator=(LargeArray&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;
    ~LargeArray() { release(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // Room for n elements in all (throws std::bad_alloc).
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        T* fresh = LargeAllocator<T>().allocate(n);
        const std::size_t size = size_;
        if (size) std::memcpy(static_cast<void*>(fresh), data_, size * sizeof(T));
        release();
        data_ = fresh;
        size_ = size;
        capacity_ = n;
    }
    void push_back(const T& value) {
        if (size_ == capacity_) reserve(capacity_ < 8 ? 16 : capacity_ * 2);
        data_[size_++] = value;
    }
    // n elements, those added left unwritten (within what was reserved, or after growing).
    void resize_for_overwrite(std::size_t n) {
        reserve(n);
        size_ = n;
    }

private:
    void release() {
        if (data_) LargeAllocator<T>().deallocate(data_, capacity_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace nucla::engine
