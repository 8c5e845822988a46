#include "engine/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <utility>

#include "engine/fd.hpp"
#include "engine/text.hpp"

namespace nucla::engine {

namespace {

// Links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

// A named temporary untouched for this long, whose writer is not a live process here, was
// left by a writer that died: a live one finishes its index in one go.
constexpr std::time_t kStaleSeconds = 60;

FaidxError no_file(const std::string& path) {
    return FaidxError::io(IoError::other("the path holds a NUL byte, so it names no file"), path);
}

// "dir/" for "dir/name", "" for "name".
std::string directory_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Names tried for a temporary before giving up: another one is taken only by a writer that
// chose the same random number.
constexpr int kNameTries = 8;

// "<target>.tmp.<pid>.<n>": the pid tells later writers whether its writer still lives, and n is
// random, so that no one can take the name first.
std::string temporary_name(const std::string& target) {
    static std::atomic<std::uint64_t> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::uint64_t n = (counter.fetch_add(1) + static_cast<std::uint64_t>(now)) * 0x9e3779b97f4a7c15;
    try {
        static std::mutex lock;
        const std::lock_guard<std::mutex> hold(lock);
        static std::random_device device;
        n ^= (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // No source of entropy: the clock and the counter still vary the name.
    }
    return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(n);
}

// The writer's pid in "<base>.tmp.<pid>.<n>", or 0 when `name` is not such a temporary.
pid_t writer_of(std::string_view name, std::string_view base) {
    const std::string_view prefix = ".tmp.";
    if (name.size() <= base.size() + prefix.size() || name.substr(0, base.size()) != base ||
        name.substr(base.size(), prefix.size()) != prefix)
        return 0;
    name.remove_prefix(base.size() + prefix.size());
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return 0;
    const std::string_view pid = name.substr(0, dot), serial = name.substr(dot + 1);
    for (std::string_view digits : {pid, serial})
        if (digits.empty() || digits.front() < '0' || digits.front() > '9' ||
            !parse_unsigned(digits))
            return 0;
    const auto value = parse_unsigned(pid, INT_MAX);
    return value ? static_cast<pid_t>(*value) : 0;
}

// Removes the named temporaries of `base` in `dir` whose writers died (see kStaleSeconds).
void remove_stale_temporaries(const std::string& dir, const std::string& base) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(d.get())) {
        const pid_t pid = writer_of(entry->d_name, base);
        if (pid == 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
        struct stat st;
        if (::fstatat(::dirfd(d.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime + kStaleSeconds < now)
            (void)::unlinkat(::dirfd(d.get()), entry->d_name, 0);
    }
}

// Unnamed temporaries are Linux's (O_TMPFILE); elsewhere, and in a portable build, every
// index goes through a named temporary.
#if defined(O_TMPFILE) && defined(AT_EMPTY_PATH) && !defined(NUCLA_PORTABLE)
#define NUCLA_UNNAMED_TEMPORARIES 1

// Gives the unnamed temporary `fd` the name `tmp`; false when it cannot be done here.
bool link_unnamed(int fd, const std::string& tmp) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    // Without /proc, linking by descriptor needs a privilege the process may have.
    return ::linkat(fd, "", AT_FDCWD, tmp.c_str(), AT_EMPTY_PATH) == 0;
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

Status read_index_file(const std::string& path, Bytes& out) {
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
    Bytes bytes;
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
    remove_stale_temporaries(dir.empty() ? "." : dir, base_part(r.target_));

#ifdef NUCLA_UNNAMED_TEMPORARIES
    // Named at finish() through /proc (or a privilege the process may have), so only where
    // /proc is there to do it.
    if (::access("/proc/self/fd", F_OK) == 0) {
        r.fd_ = Fd(::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (r.fd_.valid()) return r;
    }
#endif
    // No unnamed temporaries here: a named one, which a writer killed now leaves behind for the
    // next writer to remove.
    for (int tries = 0; tries < kNameTries; ++tries) {
        r.tmp_ = temporary_name(r.target_);
        r.fd_ = Fd(::open(r.tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (r.fd_.valid()) {
            r.named_ = true;
            return r;
        }
        if (errno != EEXIST) break;
    }
    return FaidxError::io_errno(errno, r.target_);
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
    for (int tries = 0; !named_ && tries < kNameTries; ++tries) {
        tmp_ = temporary_name(target_);
        if (link_unnamed(fd_.get(), tmp_)) {
            named_ = true;
        } else if (errno != EEXIST) {
            return FaidxError::io_errno(errno, target_);
        }
    }
    if (!named_) return FaidxError::io_errno(EEXIST, target_);
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

bool is_read_only_failure(const FaidxError& error) {
    return error.kind() == FaidxError::Kind::Io && error.io_error().os_code == EROFS;
}

}  // namespace nucla::engine
