// Taking the interpreter lock back, in a frame without unwind tables (CMakeLists.txt compiles
// this file so): during finalization CPython ends a thread that asks for the lock with
// pthread_exit, and the forced unwind of that must stop here rather than run through the
// binding's frames (see unlocked.hpp).
#include <Python.h>

// (A call, not a jump: the frame must exist when the lock is awaited.)
extern "C" void nucla_restore_thread(PyThreadState* state) {
    PyEval_RestoreThread(state);
    __asm__ volatile("" ::: "memory");
}
