#include "system/platform.hpp"

#include <sched.h>
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <ctime>
#include <thread>

namespace nucla::engine {

namespace {

#ifdef NUCLA_PORTABLE
constexpr bool kPortable = true;
#else
constexpr bool kPortable = false;
#endif

struct FileTime {
    struct timespec time;
    bool whole_seconds;
};

// POSIX 2008 names the nanosecond time st_mtim, macOS st_mtimespec; older systems have only
// st_mtime. (A template, so that the member that does not exist is simply not chosen.)
template <class Stat>
FileTime modification_time(const Stat& st) {
    if constexpr (!kPortable && requires { st.st_mtim; }) {
        return {st.st_mtim, false};
    } else if constexpr (!kPortable && requires { st.st_mtimespec; }) {
        return {st.st_mtimespec, false};
    } else {
        struct timespec seconds{};
        seconds.tv_sec = st.st_mtime;
        return {seconds, true};
    }
}

// strerror_r comes in two kinds, told apart by its result: the XSI one (macOS, the BSDs, musl)
// returns 0 and fills the buffer, the GNU one returns the text, which may or may not live in
// the buffer.
[[maybe_unused]] const char* strerror_text(int status, const char* buf) {
    return status == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

bool valid(const struct timespec& t) { return t.tv_nsec >= 0 && t.tv_nsec < 1000000000; }

}  // namespace

bool modified_before(const struct stat& a, const struct stat& b) {
    const FileTime ta = modification_time(a);
    const FileTime tb = modification_time(b);
    if (!valid(ta.time) || !valid(tb.time)) return false;
    if (ta.time.tv_sec != tb.time.tv_sec) return ta.time.tv_sec < tb.time.tv_sec;
    return ta.whole_seconds || ta.time.tv_nsec < tb.time.tv_nsec;
}

std::size_t available_processors() {
#if defined(CPU_COUNT) && !defined(NUCLA_PORTABLE)
    // Linux and FreeBSD: the affinity mask, which taskset, cgroups' cpusets and batch
    // schedulers narrow.
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    const unsigned online = std::thread::hardware_concurrency();
    return online ? online : 1;
}

void prefault_mapping(const void* p, std::size_t bytes) {
#if defined(__linux__) && !defined(NUCLA_PORTABLE)
    // The value is Linux's own; C libraries older than the kernel call lack the name.
    constexpr int kPopulateRead = 22;  // MADV_POPULATE_READ
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(p) + bytes;
    if (bytes > 0) (void)::madvise(reinterpret_cast<void*>(start), end - start, kPopulateRead);
#else
    (void)p;
    (void)bytes;
#endif
}

std::string system_error_text(int code) {
    char buf[256];
    const char* text = strerror_text(strerror_r(code, buf, sizeof buf), buf);
    return text ? std::string(text) : "Unknown error " + std::to_string(code);
}

}  // namespace nucla::engine
