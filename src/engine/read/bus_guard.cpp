#include "read/bus_guard.hpp"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/ucontext.h>  // <ucontext.h> there is for the deprecated context routines only
#else
#include <ucontext.h>
#endif

#include <atomic>
#include <cstring>
#include <mutex>

namespace nucla::engine {

namespace {

struct Guard {
    sigjmp_buf env;
    const char* lo;
    const char* hi;
};

// The guard of the routine running on this thread, if any. The initial-exec model keeps the
// handler's read of it a plain load: the general model of a dlopen'ed module may allocate on a
// thread's first access, which a signal handler must never do.
thread_local Guard* active_guard __attribute__((tls_model("initial-exec"))) = nullptr;

// The handler that was installed before ours, set before ours is installed (again). Each is
// kept for the life of the process: a handler still running on another thread may read the
// one it replaced.
std::atomic<const struct sigaction*> previous_handler{nullptr};

bool is_ours(const siginfo_t* info, const Guard& guard) {
    if (info->si_code > 0) {  // raised by the kernel for a fault: si_addr says where
        const char* addr = static_cast<const char*>(info->si_addr);
        return addr >= guard.lo && addr < guard.hi;
    }
    // Raised again by a handler installed after ours, which saw our fault first: raise() sends
    // it as tgkill() on Linux, thr_kill() on FreeBSD, kill() elsewhere.
#if defined(SI_TKILL)
    constexpr int kRaised = SI_TKILL;
#elif defined(SI_LWP)
    constexpr int kRaised = SI_LWP;
#else
    constexpr int kRaised = SI_USER;
#endif
    return info->si_code == kRaised && info->si_pid == ::getpid();
}

void pass_on(int sig, siginfo_t* info, void* context) {
    const struct sigaction& previous = *previous_handler.load();
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(sig, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN && info->si_code <= 0) return;  // a sent signal, ignored
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
        // The default action: end the process with this signal, as without us (a fault cannot
        // be ignored). A core dump still shows the faulting frame below this handler's.
        struct sigaction dfl;
        std::memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(sig, &dfl, nullptr);
        ::raise(sig);
        return;
    }
    previous.sa_handler(sig);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    Guard* guard = active_guard;
    if (guard && is_ours(info, *guard)) {
        active_guard = nullptr;
        // Leave with the signal mask of the interrupted code, as returning would.
        ::pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t*>(context)->uc_sigmask, nullptr);
        siglongjmp(guard->env, 1);
    }
    pass_on(sig, info, context);
}

struct CopyJob {
    char* dst;
    const char* src;
    std::size_t n;
};

void copy_bytes(void* arg) {
    const auto* job = static_cast<const CopyJob*>(arg);
    std::memcpy(job->dst, job->src, job->n);
}

}  // namespace

void install_bus_guard() {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    struct sigaction current;
    if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
    if (previous_handler.load()) {
        // Installed before. Ours may have been replaced since: by the default action (Python's
        // faulthandler.disable() puts back what it found before ours), in which case ours goes
        // back in; or by a handler installed after ours, which passes our faults on to ours
        // (faulthandler.enable() does), or not, and is left alone either way.
        const bool ours_in_place =
            (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus;
        const bool default_action =
            !(current.sa_flags & SA_SIGINFO) &&
            (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN);
        if (ours_in_place || !default_action) return;
    }
    previous_handler.store(new struct sigaction(current));
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = on_sigbus;
    // SA_NODEFER: SIGBUS stays unblocked while the handler runs, so leaving it with
    // siglongjmp (which keeps the mask) leaves the thread ready for the next fault.
    ours.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&ours.sa_mask);
    ::sigaction(SIGBUS, &ours, nullptr);
}

bool run_guarded(void (*fn)(void*), void* arg, std::string_view region) {
    Guard guard;
    guard.lo = region.data();
    guard.hi = region.data() + region.size();
    // The mask is not saved (a system call each time); the handler restores it itself.
    if (sigsetjmp(guard.env, 0) != 0) return false;
    active_guard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    fn(arg);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    active_guard = nullptr;
    return true;
}

bool guarded_copy(char* dst, const char* src, std::size_t n, std::string_view region) {
    CopyJob job{dst, src, n};
    return run_guarded(copy_bytes, &job, region);
}

}  // namespace nucla::engine
