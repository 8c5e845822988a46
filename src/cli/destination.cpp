#include "destination.hpp"
#include "io.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace nucla::cli {

namespace {


// Signals that end the run. While the output's temporary has a name, they remove it first; while
// the output's files are being created or put in place, they wait until that is done, so that
// whatever ends the run (short of SIGKILL) leaves no stray temporary and never a new output
// beside old indexes.
constexpr int kFatalSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM, SIGXFSZ};

// Read by the handler, on whichever thread the signal lands.
static_assert(std::atomic<int>::is_always_lock_free);
char g_temporary[PATH_MAX];
std::atomic<int> g_named{0};      // g_temporary holds a name to remove
std::atomic<int> g_deferring{0};  // a signal now only records itself ...
std::atomic<int> g_deferred{0};   // ... here

[[noreturn]] void end_by(int sig) {
    if (g_named.load()) ::unlink(g_temporary);
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // a handler runs with its signal blocked
    ::raise(sig);
    ::_exit(128 + sig);  // not reached
}

extern "C" void on_fatal_signal(int sig) {
    if (g_deferring.load()) {
        g_deferred.store(sig);
        return;
    }
    end_by(sig);
}

// Installs the handler for the signals that would end the run now (an ignored one stays
// ignored, as nohup wants).
void catch_fatal_signals() {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            ::sigaction(sig, &action, nullptr);
    }
}

// Holds back fatal signals for its lifetime, then ends the run by the one that came, if any.
class Deferral {
public:
    Deferral() { g_deferring.store(1); }
    ~Deferral() {
        g_deferring.store(0);
        if (const int sig = g_deferred.exchange(0)) end_by(sig);
    }
    Deferral(const Deferral&) = delete;
    Deferral& operator=(const Deferral&) = delete;
};

void remember_temporary(const char* name) {
    const std::size_t n = std::strlen(name);
    if (n == 0 || n >= sizeof g_temporary) return;
    std::memcpy(g_temporary, name, n + 1);
    g_named.store(1);
}

using IndexFile = std::pair<const char*, const std::string*>;  // suffix, text (or none)

std::array<IndexFile, 2> indexes_of(const std::string* fai, const std::string* gzi) {
    return {IndexFile{".fai", fai}, IndexFile{".gzi", gzi}};
}


}  // namespace

bool is_input(const struct stat& st, const std::vector<Input>& inputs) {
    for (const Input& in : inputs)
        if (in.dev == st.st_dev && in.ino == st.st_ino) return true;
    return false;
}

Destination::~Destination() {
    replacement_.reset();
    g_named.store(0);
}

std::string Destination::open(const std::string& path, const std::vector<Input>& inputs) {
    path_ = path;
    inputs_ = inputs;
    if (path.empty()) return ": " + os_error(ENOENT);
    const std::string refused = path + ": the output would overwrite the input";
    // An existing file is opened for writing, without O_TRUNC, and checked through the
    // descriptor: an input reached by another name (a hard or symbolic link) is refused before
    // it loses a byte, and a file the user may not write is not replaced either.
    engine::Fd existing(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    struct stat st {};
    if (existing.valid()) {
        if (::fstat(existing.get(), &st) != 0) return path + ": " + os_error(errno);
        if (is_input(st, inputs)) return refused;
    } else if (errno != ENOENT) {
        return path + ": " + os_error(errno);
    }

    // Names under /dev (but for the files of /dev/shm) and /proc stand for descriptors and
    // devices: /dev/stdout may reach a regular file that the shell holds open, which is to be
    // written, not replaced. They are written straight, as is anything not regular.
    const bool straight =
        (path.starts_with("/dev/") && !path.starts_with("/dev/shm/")) ||
        path.starts_with("/proc/") || (existing.valid() && !S_ISREG(st.st_mode));
    if (!straight) {
        catch_fatal_signals();
        Deferral defer;
        auto begun = engine::Replacement::begin(path);
        if (begun.ok()) {
            replacement_.emplace(std::move(*begun));
            remember_temporary(replacement_->temporary());
            // The new file keeps the permissions of the one it replaces.
            if (existing.valid()) (void)::fchmod(replacement_->fd(), st.st_mode & 07777);
            return "";
        }
        // A directory that takes no new file: an existing file is rewritten in place.
        if (!existing.valid()) return begun.error().display();
    }
    if (!existing.valid()) {
        existing = engine::Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        if (!existing.valid() || ::fstat(existing.get(), &st) != 0)
            return path + ": " + os_error(errno);
        if (is_input(st, inputs)) return refused;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(existing.get(), 0) != 0)
        return path + ": " + os_error(errno);
    fd_ = std::move(existing);
    return "";
}

std::string Destination::commit(const std::string* fai, const std::string* gzi) {
    if (!replacement_) {
        // Written straight: the indexes follow the closed output, so that neither is older.
        if (fd_.valid() && ::close(fd_.release()) != 0) return path_ + ": " + os_error(errno);
        for (const auto& [suffix, text] : indexes_of(fai, gzi)) {
            if (!text) continue;
            engine::Status written = engine::write_file_atomically(path_ + suffix, *text);
            if (!written.ok()) return written.error().display();
        }
        return "";
    }

    Deferral defer;
    if (engine::Status s = replacement_->finish(); !s.ok()) return s.error().display();
    remember_temporary(replacement_->temporary());
    // The indexes are written whole under temporary names of their own, after the output, so
    // that they are never older than it.
    std::vector<engine::Replacement> indexes;
    for (const auto& [suffix, text] : indexes_of(fai, gzi)) {
        if (!text) continue;
        auto begun = engine::Replacement::begin(path_ + suffix);
        if (!begun.ok()) return begun.error().display();
        engine::Replacement& r = *begun;
        if (int code = engine::write_all(r.fd(), *text))
            return engine::FaidxError::io_errno(code, r.target()).display();
        if (engine::Status s = r.finish(); !s.ok()) return s.error().display();
        indexes.push_back(std::move(r));
    }
    // An input swapped in at the output's name since it was opened is not replaced either.
    struct stat st;
    if (::stat(replacement_->target().c_str(), &st) == 0 && is_input(st, inputs_))
        return path_ + ": the output would overwrite the input";
    // Every moment leaves the old output with its old indexes or none, or the new output with
    // its new indexes or none: the old indexes go first, the new ones follow the output. A
    // reader that finds no index builds one; none pairs old bases with new offsets.
    for (const engine::Replacement& r : indexes)
        if (::unlink(r.target().c_str()) != 0 && errno != ENOENT)
            return r.target() + ": " + os_error(errno);
    if (engine::Status s = replacement_->commit(); !s.ok()) return s.error().display();
    g_named.store(0);
    for (engine::Replacement& r : indexes)
        if (engine::Status s = r.commit(); !s.ok()) return s.error().display();
    return "";
}

}  // namespace nucla::cli
