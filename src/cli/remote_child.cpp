#include "remote_child.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "io.hpp"
#include "remote_py.hpp"

extern char** environ;

namespace nucla::cli {

namespace {

constexpr const char* kNeedsPython =
    "reading URLs needs Python with fsspec (pip install 'nucla[remote]'); set NUCLA_PYTHON "
    "to choose the interpreter";
constexpr std::size_t kHeadBytes = 9;  // tag, then a u64 length
// How long a child that has been told to go may take to exit before it is killed.
constexpr int kPatienceMs = 2000;
// Longest text payload believed (a sibling .fai or .gzi, an error's message): anything longer
// is a child out of step, not a file.
constexpr std::uint64_t kMaxText = std::uint64_t{1} << 32;

void put_u64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint64_t get_u64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string frame_head(char tag, std::uint64_t length) {
    std::string frame(1, tag);
    put_u64(frame, length);
    return frame;
}

// Reads exactly `n` bytes: 0, -1 when the input ends first, else the errno.
int read_exact(int fd, char* out, std::size_t n) {
    while (n) {
        const ssize_t got = ::read(fd, out, n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return -1;
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return 0;
}

// Writes everything with SIGPIPE held back on this thread: a child that died makes the write
// fail with EPIPE, for a message, instead of killing the tool without one. Standard output
// keeps the default, so that `nucla ... | head` ends quietly as it should.
int write_without_sigpipe(int fd, std::string_view data) {
    sigset_t pipe_signal, old;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
    const int error = engine::write_all(fd, data);
    if (error == EPIPE && !was_pending) {
        // Take back the SIGPIPE this write raised, before unblocking delivers it.
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return error;
}

// Starts `python -c <remote.py> <url>` reading child_in and writing child_out; 0 or the errno.
int spawn(const Interpreter& python, const std::string& url, int child_in, int child_out,
          pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (int e = posix_spawn_file_actions_init(&actions)) return e;
    if (int e = posix_spawnattr_init(&attr)) {
        posix_spawn_file_actions_destroy(&actions);
        return e;
    }
    // Every other descriptor of the tool is close-on-exec, the pipes' other ends too.
    int e = posix_spawn_file_actions_adddup2(&actions, child_in, 0);
    if (!e) e = posix_spawn_file_actions_adddup2(&actions, child_out, 1);
    // A process group of its own: Ctrl-C at the terminal stops the tool alone, and the child,
    // finding its input closed, leaves quietly instead of printing a KeyboardInterrupt.
    if (!e) e = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    if (!e) e = posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    if (!e) e = posix_spawnattr_setsigmask(&attr, &none);
    std::string program = python.program, flag = "-c", code = embedded::kRemoteSource,
                target = url;
    char* argv[] = {program.data(), flag.data(), code.data(), target.data(), nullptr};
    if (!e) e = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return e;
}

}  // namespace

Interpreter find_python() {
    if (const char* chosen = std::getenv("NUCLA_PYTHON"); chosen && *chosen)
        return {chosen, chosen};
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    if (n > 0 && static_cast<std::size_t>(n) < self.size()) {
        self.resize(static_cast<std::size_t>(n));
        const std::size_t slash = self.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = self.substr(0, slash + 1) + "python3";
            if (::access(beside.c_str(), X_OK) == 0) return {beside, beside};
        }
    }
    return {"python3", "python3 on PATH"};
}

engine::Result<std::shared_ptr<const RemoteChild>> RemoteChild::start(const std::string& url) {
    Interpreter python = find_python();
    const auto unusable = [&](const std::string& reason) {
        return engine::FaidxError::value(std::string(kNeedsPython) + " (" + reason + ")");
    };
    int to[2], from[2];
    if (::pipe2(to, O_CLOEXEC) != 0) return unusable("no pipe: " + os_error(errno));
    engine::Fd child_in(to[0]), to_child(to[1]);
    if (::pipe2(from, O_CLOEXEC) != 0) return unusable("no pipe: " + os_error(errno));
    engine::Fd from_child(from[0]), child_out(from[1]);
    pid_t pid = -1;
    if (int code = spawn(python, url, child_in.get(), child_out.get(), pid))
        return unusable("cannot start " + python.shown + ": " + os_error(code));
    // Only the child keeps these ends, so that each side sees the other's end as an EOF.
    child_in.reset();
    child_out.reset();
    std::shared_ptr<RemoteChild> child(
        new RemoteChild(url, python, pid, std::move(to_child), std::move(from_child)));

    std::string why;
    const std::optional<Head> head = child->read_head(why);
    if (!head) return unusable(python.shown + " " + why + " before answering");
    if (head->tag == 'E') {
        std::optional<std::string> text = child->read_text(head->length, why);
        const std::size_t tab = text ? text->find('\t') : std::string::npos;
        if (tab == std::string::npos)
            return unusable(python.shown + " " + (text ? "answered out of step" : why));
        std::string message = text->substr(tab + 1);
        // Python runs, but fsspec (or the back end the URL needs) is not there.
        if (text->compare(0, tab, "setup") == 0) return unusable(python.shown + ": " + message);
        return engine::remote_failure(std::string_view(*text).substr(0, tab), std::move(message),
                                      url);
    }
    unsigned char size[8];
    if (head->tag != 'O' || head->length != sizeof size)
        return unusable(python.shown + " answered out of step");
    if (int r = read_exact(child->from_child_.get(), reinterpret_cast<char*>(size), sizeof size))
        return unusable(python.shown + " " + (r < 0 ? child->reap(kPatienceMs) : os_error(r)));
    child->size_ = get_u64(size);
    return std::shared_ptr<const RemoteChild>(std::move(child));
}

RemoteChild::~RemoteChild() {
    to_child_.reset();
    from_child_.reset();
    (void)reap(kPatienceMs);
}

engine::Status RemoteChild::fetch(const std::vector<engine::ByteSpan>& ranges,
                                  std::vector<std::string>& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_) return *broken_;
    std::string request = frame_head('F', 16 * std::uint64_t{ranges.size()});
    std::uint64_t total = 0;
    for (const engine::ByteSpan& r : ranges) {
        put_u64(request, r.begin);
        put_u64(request, r.end);
        total += r.end - r.begin;
    }
    std::string why;
    if (!send(request, why)) return lost(why);
    const std::optional<Head> head = read_head(why);
    if (!head) return lost(why);
    if (head->tag == 'E') return error_reply(head->length);
    if (head->tag != 'O' || head->length != total) return lost("answered out of step");
    out.resize(ranges.size());
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        out[k].resize(static_cast<std::size_t>(ranges[k].end - ranges[k].begin));
        if (int r = read_exact(from_child_.get(), out[k].data(), out[k].size()))
            return lost(r < 0 ? reap(kPatienceMs) : "cannot be read from: " + os_error(r));
    }
    return engine::Ok{};
}

engine::Result<std::optional<std::string>> RemoteChild::sibling(std::string_view suffix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_) return *broken_;
    std::string request = frame_head('S', suffix.size());
    request.append(suffix);
    std::string why;
    if (!send(request, why)) return lost(why);
    const std::optional<Head> head = read_head(why);
    if (!head) return lost(why);
    if (head->tag == 'E') return error_reply(head->length);
    if (head->tag == 'N' && head->length == 0) return std::optional<std::string>();
    if (head->tag != 'O') return lost("answered out of step");
    std::optional<std::string> text = read_text(head->length, why);
    if (!text) return lost(why);
    return text;
}

bool RemoteChild::send(std::string_view frame, std::string& why) const {
    const int error = write_without_sigpipe(to_child_.get(), frame);
    if (error == EPIPE) why = reap(kPatienceMs);
    else if (error) why = "cannot be written to: " + os_error(error);
    return error == 0;
}

std::optional<RemoteChild::Head> RemoteChild::read_head(std::string& why) const {
    unsigned char raw[kHeadBytes];
    if (int r = read_exact(from_child_.get(), reinterpret_cast<char*>(raw), sizeof raw)) {
        why = r < 0 ? reap(kPatienceMs) : "cannot be read from: " + os_error(r);
        return std::nullopt;
    }
    return Head{static_cast<char>(raw[0]), get_u64(raw + 1)};
}

std::optional<std::string> RemoteChild::read_text(std::uint64_t length, std::string& why) const {
    if (length > kMaxText) {
        why = "answered out of step";
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    if (int r = read_exact(from_child_.get(), text.data(), text.size())) {
        why = r < 0 ? reap(kPatienceMs) : "cannot be read from: " + os_error(r);
        return std::nullopt;
    }
    return text;
}

engine::FaidxError RemoteChild::error_reply(std::uint64_t length) const {
    std::string why;
    const std::optional<std::string> text = read_text(length, why);
    if (!text) return lost(why);
    const std::size_t tab = text->find('\t');
    if (tab == std::string::npos) return lost("answered out of step");
    return engine::remote_failure(std::string_view(*text).substr(0, tab), text->substr(tab + 1),
                                  url_);
}

engine::FaidxError RemoteChild::lost(const std::string& why) const {
    broken_ = engine::FaidxError::io(
        engine::IoError::other("the Python reading it (" + python_.shown + ") " + why), url_);
    return *broken_;
}

std::string RemoteChild::reap(int patience_ms) const {
    if (pid_ < 0) return "ended";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
    int status = 0;
    bool killed = false;
    while (true) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {  // not ours to wait for any more
            pid_ = -1;
            return "ended";
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            killed = true;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        const timespec pause{0, 5'000'000};
        ::nanosleep(&pause, nullptr);
    }
    pid_ = -1;
    if (killed) return "stopped answering";
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

}  // namespace nucla::cli
