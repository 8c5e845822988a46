// write/: what the engine writes, index files (files.hpp: written whole, under a temporary
// name, or not at all) and BGZF output (bgzf_writer.hpp). It may include the public headers,
// run/ (the pool that compresses) and system/.
#include "engine/files.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
// getrandom() came with glibc 2.25; the wheels are built for 2.17, and use /dev/urandom.
#if defined(__linux__) && !defined(NUCLA_PORTABLE) && __has_include(<sys/random.h>) && \
    (!defined(__GLIBC__) || __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
#include <sys/random.h>
#define NUCLA_HAVE_GETRANDOM 1
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "engine/fd.hpp"

namespace nucla::engine {

namespace {

// Links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

FaidxError no_file(const std::string& path) {
    return FaidxError::io(IoError::other("the path holds a NUL byte, so it names no file"), path);
}

// "dir/" for "dir/name", "" for "name".
std::string directory_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file that writing to `path` would reach: `path` with every symbolic link at its end
// followed (a dangling link gives the missing file it points to).
Result<std::string> follow_links(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), target, sizeof target);
        if (n < 0) return FaidxError::io_errno(errno, p);
        if (static_cast<std::size_t>(n) == sizeof target)
            return FaidxError::io_errno(ENAMETOOLONG, p);
        const std::string link(target, static_cast<std::size_t>(n));
        p = link.front() == '/' ? link : directory_part(p) + link;
    }
    return FaidxError::io_errno(ELOOP, path);
}

// Names tried for a temporary before giving up: a taken one is a one in 2^64 chance.
constexpr int kNameTries = 8;

// 64 bits that no other process can foresee. A pid names no writer on a volume shared between
// containers (each has its pid 1) or hosts, nor after the pid is reused, so the names of
// temporaries come from here.
std::uint64_t unpredictable() {
    std::uint64_t v = 0;
#ifdef NUCLA_HAVE_GETRANDOM
    if (::getrandom(&v, sizeof v, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof v)) return v;
#endif
    Fd urandom(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (urandom.valid() && ::read(urandom.get(), &v, sizeof v) == static_cast<ssize_t>(sizeof v))
        return v;
    // No randomness to be had: the clock, the pid and a count, mixed (splitmix64). A clash
    // then costs only another try, as every temporary is created exclusively.
    static std::atomic<std::uint64_t> count{0};
    struct timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    v = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
        static_cast<std::uint64_t>(now.tv_nsec) + (static_cast<std::uint64_t>(::getpid()) << 40) +
        count.fetch_add(1) * 0x9e3779b97f4a7c15u;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9u;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebu;
    return v ^ (v >> 31);
}

std::string temporary_name(const std::string& target) {
    std::string name = target + ".tmp.";
    std::uint64_t v = unpredictable();
    for (int digit = 0; digit < 16; ++digit, v >>= 4) name += "0123456789abcdef"[v & 15];
    return name;
}

// Calls make(name) with fresh temporary names for `target`, leaving the last in `tmp`, until it
// fails otherwise than because the name is taken; returns its errno, or 0.
template <class Make>
int with_fresh_name(const std::string& target, std::string& tmp, Make make) {
    int code = EEXIST;
    for (int tries = 0; tries < kNameTries && code == EEXIST; ++tries) {
        tmp = temporary_name(target);
        code = make(tmp);
    }
    return code;
}

// Unnamed temporaries are Linux's (O_TMPFILE); elsewhere, and in a portable build, every
// index goes through a named temporary.
#if defined(O_TMPFILE) && defined(AT_EMPTY_PATH) && !defined(NUCLA_PORTABLE)
#define NUCLA_UNNAMED_TEMPORARIES 1

// Gives the unnamed temporary `fd` the name `tmp`: 0, or the errno of the failure.
int link_unnamed(int fd, const std::string& tmp) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno == EEXIST) return EEXIST;
    // Without /proc, linking by descriptor needs a privilege the process may have.
    return ::linkat(fd, "", AT_FDCWD, tmp.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}
#endif

}  // namespace

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

std::string absolute_path(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
    if (!cwd) return path;
    std::string out = cwd.get();
    if (out.empty() || out.back() != '/') out += '/';
    return out + path;
}

Status read_index_file(const std::string& path, FileBytes& out) {
    if (has_nul(path)) return FaidxError::index_not_found(path);
    // Not blocking, so that a FIFO is opened only to be refused.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return FaidxError::index_not_found(path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FaidxError::io_errno(errno, path);
    if (!S_ISREG(st.st_mode))
        return FaidxError::io(IoError::other(path + " is not a regular file"));
    // Straight into the buffer, one byte more than the size seen so that a file that has
    // grown since is noticed (and read to its end) without an extra pass.
    out.resize(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1);
    std::size_t filled = 0;
    while (true) {
        if (filled == out.size()) out.resize(out.size() * 2);
        const ssize_t n = ::read(fd.get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FaidxError::io_errno(errno, path);
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return Ok{};
}

Result<std::string> read_index_text(const std::string& path) {
    FileBytes bytes;
    Status read = read_index_file(path, bytes);
    if (!read.ok()) return read.take_error();
    return std::string(bytes.data(), bytes.size());
}

Result<Replacement> Replacement::begin(const std::string& path) {
    if (has_nul(path)) return no_file(path);
    auto followed = follow_links(path);
    if (!followed.ok()) return followed.take_error();
    Replacement r;
    r.target_ = std::move(*followed);
    struct stat st;
    if (::lstat(r.target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return FaidxError::io(IoError::other(r.target_ + " is not a regular file"));
    const std::string dir = directory_part(r.target_);

#ifdef NUCLA_UNNAMED_TEMPORARIES
    // Named at finish() through /proc (or a privilege the process may have), so only where
    // /proc is there to do it.
    if (::access("/proc/self/fd", F_OK) == 0) {
        r.fd_ = Fd(::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (r.fd_.valid()) return r;
    }
#endif
    // No unnamed temporaries here: a named one, which a writer killed now leaves behind.
    // Nothing removes such files: no writer can tell that another one, perhaps on another host,
    // is done with its temporary.
    const int code = with_fresh_name(r.target_, r.tmp_, [&r](const std::string& name) {
        r.fd_ = Fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        return r.fd_.valid() ? 0 : errno;
    });
    if (code != 0) return FaidxError::io_errno(code, r.target_);
    r.named_ = true;
    return r;
}

Replacement::Replacement(Replacement&& other) noexcept
    : target_(std::move(other.target_)),
      tmp_(std::move(other.tmp_)),
      fd_(std::move(other.fd_)),
      named_(std::exchange(other.named_, false)) {}

Replacement& Replacement::operator=(Replacement&& other) noexcept {
    if (this != &other) {
        discard();
        target_ = std::move(other.target_);
        tmp_ = std::move(other.tmp_);
        fd_ = std::move(other.fd_);
        named_ = std::exchange(other.named_, false);
    }
    return *this;
}

Replacement::~Replacement() { discard(); }

void Replacement::discard() {
    fd_.reset();
    if (named_) ::unlink(tmp_.c_str());
    named_ = false;
}

Status Replacement::finish() {
    if (!fd_.valid()) return FaidxError::io_errno(EBADF, target_);
#ifdef NUCLA_UNNAMED_TEMPORARIES
    if (!named_) {
        const int fd = fd_.get();
        const int code = with_fresh_name(target_, tmp_, [fd](const std::string& name) {
            return link_unnamed(fd, name);
        });
        if (code != 0) return FaidxError::io_errno(code, target_);
        named_ = true;
    }
#endif
    if (::close(fd_.release()) != 0) return FaidxError::io_errno(errno, target_);
    return Ok{};
}

Status Replacement::commit() {
    if (fd_.valid() || !named_) return FaidxError::io_errno(EBADF, target_);
    if (::rename(tmp_.c_str(), target_.c_str()) != 0) return FaidxError::io_errno(errno, target_);
    named_ = false;
    return Ok{};
}

Status write_file_atomically(const std::string& path, std::string_view text) {
    auto replacement = Replacement::begin(path);
    if (!replacement.ok()) return replacement.take_error();
    Replacement& r = *replacement;
    if (int code = write_all(r.fd(), text)) return FaidxError::io_errno(code, r.target());
    if (Status finished = r.finish(); !finished.ok()) return finished;
    return r.commit();
}

bool is_refused_write(const FaidxError& error) {
    if (error.kind() != FaidxError::Kind::Io) return false;
    switch (error.io_error().os_code) {
        case 0:             // our own refusals: no regular file, a NUL in the path
        case ENOENT:        // a directory that is not there
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return false;
        default:
            return true;
    }
}


}  // namespace nucla::engine
