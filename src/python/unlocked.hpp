// The interpreter lock released around engine work that takes long (the array calls), with
// the two things such a call must still do: notice Ctrl-C promptly, and end quietly when the
// interpreter exits under a daemon thread.
#pragma once

#include "py.hpp"

#include <chrono>

namespace nucla::py {

// Whether the interpreter is finalizing: a thread that asks for the lock then is ended.
bool is_finalizing();

// Releases the lock for the life of this object (create it with the lock held).
//
// keep_going() is the engine's interrupt poll. Only the main thread can run signal handlers,
// so only there is the lock taken back, every 5 ms, to run them (which thread is the main one
// is known before the lock is released); another thread never takes it back before the end.
// Once the interpreter is finalizing, the poll says stop.
//
// Taking the lock back during finalization ends a thread: CPython (up to 3.13) calls
// pthread_exit, whose forced unwind would abort the process (or, with an unwinder other than
// the system's, crash it) when it met this destructor or the pool's handlers. So a thread that
// finds the interpreter finalizing never asks for the lock: it stays parked until the process
// exits, as CPython itself does with such threads from 3.14 on. Should finalization start
// while it waits for the lock, the thread ends in the frame that asked (relock.cpp), with no
// frame of the binding unwound; by then its batch is over.
class WithoutGil {
public:
    WithoutGil();
    ~WithoutGil();
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    bool keep_going();

private:
    void relock();

    PyThreadState* state_;
    // Whether this thread runs signal handlers; Failed: asking raised (the exception is set and
    // the batch stops at once).
    enum class Polls { Yes, No, Failed } polls_ = Polls::No;
    std::chrono::steady_clock::time_point due_;
};

}  // namespace nucla::py
