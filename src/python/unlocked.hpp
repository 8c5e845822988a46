// The interpreter lock released around engine work that takes long (the array calls), with
// the two things such a call must still do: notice Ctrl-C promptly, and end quietly when the
// interpreter exits under a daemon thread.
#pragma once

#include "py.hpp"

#include <chrono>

namespace nucla::py {

// Releases the lock for the life of this object (create it with the lock held).
//
// keep_going() is the engine's interrupt poll. Only the main thread can run signal handlers,
// so only there is the lock taken back, every 5 ms, to run them; another thread takes it once,
// at its first poll, to learn that it is not the main one (a call shorter than a poll never
// asks). Once the interpreter is finalizing, the poll says stop.
//
// Taking the lock back during finalization ends a thread: CPython (up to 3.13) calls
// pthread_exit, whose forced unwind would abort the process when it met this destructor or
// the pool's handlers. So a thread that finds the interpreter finalizing never asks for the
// lock: it stays parked until the process exits, as CPython itself does with such threads
// from 3.14 on. The same happens if finalization starts during the request.
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
    enum class Polls { Unknown, Yes, No } polls_ = Polls::Unknown;
    std::chrono::steady_clock::time_point due_;
};

}  // namespace nucla::py
