#include "unlocked.hpp"

#include <optional>
#include <thread>

namespace nucla::py {

namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(5);

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Whether signal handlers can run on this thread (the main thread; with the lock held).
// Nothing, with the exception set, when asking raised: the Python code it runs may have run
// a signal handler that raised, and that exception must reach the caller.
std::optional<bool> handles_signals() {
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
    return id == PyThread_get_thread_ident();
}

[[noreturn]] void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

WithoutGil::WithoutGil()
    : state_(PyEval_SaveThread()), due_(std::chrono::steady_clock::now() + kPollEvery) {}

WithoutGil::~WithoutGil() { relock(); }

void WithoutGil::relock() {
    if (finalizing()) park();
    try {
        PyEval_RestoreThread(state_);
    } catch (...) {  // the forced unwind of pthread_exit: finalization began just now
        park();
    }
}

bool WithoutGil::keep_going() {
    if (finalizing()) return false;
    if (polls_ == Polls::No) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) return true;
    relock();
    bool go = true;
    if (polls_ == Polls::Unknown) {
        const std::optional<bool> main = handles_signals();
        go = main.has_value();
        polls_ = main.value_or(true) ? Polls::Yes : Polls::No;
    }
    if (go && polls_ == Polls::Yes) go = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    due_ = std::chrono::steady_clock::now() + kPollEvery;
    return go;
}

}  // namespace nucla::py
