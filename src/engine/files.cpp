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
#include <cstdlib>
#include <ctime>
#include <memory>

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

std::string temporary_name(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    return target + ".tmp." + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1));
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

// Writes `text` to `fd` and closes it; the errno of the first failure, or 0.
int write_and_close(Fd fd, std::string_view text) {
    if (int code = write_all(fd.get(), text)) return code;
    return ::close(fd.release()) == 0 ? 0 : errno;
}

Status renamed(const std::string& tmp, const std::string& target) {
    if (::rename(tmp.c_str(), target.c_str()) == 0) return Ok{};
    const int code = errno;
    ::unlink(tmp.c_str());
    return FaidxError::io_errno(code, target);
}

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

Status write_file_atomically(const std::string& path, std::string_view text) {
    if (has_nul(path)) return no_file(path);
    auto followed = follow_links(path);
    if (!followed.ok()) return followed.take_error();
    const std::string& target = *followed;
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return FaidxError::io(IoError::other(target + " is not a regular file"));
    const std::string dir = directory_part(target);
    remove_stale_temporaries(dir.empty() ? "." : dir, base_part(target));

    const std::string tmp = temporary_name(target);
#ifdef NUCLA_UNNAMED_TEMPORARIES
    Fd unnamed(::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (unnamed.valid()) {
        if (int code = write_all(unnamed.get(), text)) return FaidxError::io_errno(code, target);
        if (link_unnamed(unnamed.get(), tmp)) {
            if (::close(unnamed.release()) != 0) {
                const int code = errno;
                ::unlink(tmp.c_str());
                return FaidxError::io_errno(code, target);
            }
            return renamed(tmp, target);
        }
    }
#endif
    // No unnamed temporaries here (or no way to name one): a named temporary, which a writer
    // killed now leaves behind for the next writer to remove.
    Fd named(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!named.valid()) return FaidxError::io_errno(errno, target);
    if (int code = write_and_close(std::move(named), text)) {
        ::unlink(tmp.c_str());
        return FaidxError::io_errno(code, target);
    }
    return renamed(tmp, target);
}

bool is_read_only_failure(const FaidxError& error) {
    return error.kind() == FaidxError::Kind::Io && error.io_error().os_code == EROFS;
}

}  // namespace nucla::engine
