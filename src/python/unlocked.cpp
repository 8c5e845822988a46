#include "python/unlocked.hpp"

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
bool handles_signals() {
    Ref module_name = Ref::steal(PyUnicode_FromString("threading"));
    Ref threading = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (!threading) {
        PyErr_Clear();
        return true;  // no thread was started through threading: most likely the main one
    }
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return id == PyThread_get_thread_ident();
}

[[noreturn]] void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

WithoutGil::WithoutGil()
    : polls_(handles_signals()), due_(std::chrono::steady_clock::now() + kPollEvery) {
    state_ = PyEval_SaveThread();
}

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
    if (!polls_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < due_) return true;
    relock();
    const bool go = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    due_ = std::chrono::steady_clock::now() + kPollEvery;
    return go;
}

}  // namespace nucla::py
