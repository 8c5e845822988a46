#include "unlocked.hpp"

#include <unistd.h>

#include <optional>
#include <thread>

namespace nucla::py {

extern "C" void nucla_restore_thread(PyThreadState* state);  // relock.cpp

bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(5);

// Whether signal handlers can run on this thread: whether it is the main thread. Asked of the
// threading module once per process (and again in a forked child, whose main thread is the
// one that forked); nothing, with the exception set, when asking raised.
std::optional<bool> handles_signals() {
    static pid_t asked_in = 0;
    static unsigned long main_thread = 0;
    if (asked_in != ::getpid()) {
        Ref module_name = Ref::steal(PyUnicode_FromString("threading"));
        if (!module_name) return std::nullopt;
        Ref threading = Ref::steal(PyImport_GetModule(module_name.get()));
        if (!threading) {
            if (PyErr_Occurred()) return std::nullopt;
            return true;  // no thread was started through threading: most likely the main one
        }
        Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
        const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (PyErr_Occurred()) return std::nullopt;
        main_thread = id;
        asked_in = ::getpid();
    }
    return main_thread == PyThread_get_thread_ident();
}

[[noreturn]] void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

WithoutGil::WithoutGil() {
    const std::optional<bool> main = handles_signals();
    polls_ = !main ? Polls::Failed : *main ? Polls::Yes : Polls::No;
    state_ = PyEval_SaveThread();
    due_ = std::chrono::steady_clock::now() + kPollEvery;
}

WithoutGil::~WithoutGil() { relock(); }

void WithoutGil::relock() {
    if (is_finalizing()) park();
    // Should finalization begin while this thread waits for the lock, CPython ends the thread
    // with pthread_exit. Its forced unwind stops at this call's frame, which has no unwind
    // tables, and the thread ends there: nothing of ours runs on the way, so no destructor or
    // handler of ours can abort the process, whichever unwinder a build links.
    nucla_restore_thread(state_);
}

bool WithoutGil::keep_going() {
    if (is_finalizing() || polls_ == Polls::Failed) return false;
    if (polls_ == Polls::No) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) return true;
    relock();
    const bool go = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    due_ = std::chrono::steady_clock::now() + kPollEvery;
    return go;
}

}  // namespace nucla::py
