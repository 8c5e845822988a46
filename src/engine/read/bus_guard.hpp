// Reads of a memory map that survive the mapped file shrinking.
//
// When a mapped file is truncated (a pipeline rewriting a reference in place), touching a page
// past its new end raises SIGBUS, whose default action kills the process. Every read of a map
// runs inside run_guarded: a SIGBUS that the kernel raises for an address of the given range,
// on the thread that is running the guarded routine, makes run_guarded return false instead,
// and the caller reports that the file changed. Works on any thread (the worker pool's too),
// each thread with its own guard.
//
// Every other SIGBUS goes on to the handler that was installed before ours (Python's
// faulthandler, a sanitizer's) or, when there was none, gets the default action, exactly as if
// ours were not there. The handler is installed by the first call of install_bus_guard (when
// the first file is mapped, never at load time) and stays for the life of the process; a child
// made by fork() inherits it and its maps, and needs nothing more. Should the default action be
// put back in its place (Python's faulthandler.disable() does that), the next file mapped puts
// ours back. A SIGBUS that another
// handler of this process caught first and raised again with raise() (faulthandler does so
// after printing its traceback) counts as ours too while a guarded routine runs on the thread.
//
// The guarded routine is left with siglongjmp, skipping whatever it was doing: it must be a
// plain copy loop that takes no lock, allocates nothing and has no object with a destructor.
#pragma once

#include <cstddef>
#include <string_view>

namespace nucla::engine {

// Installs the SIGBUS handler, or installs it again where the default action has replaced it
// since; otherwise does nothing. Thread-safe.
void install_bus_guard();

// Runs fn(arg), which reads within `region` (a memory map); false when a SIGBUS for an address
// in `region` stopped it part way. install_bus_guard must have been called.
bool run_guarded(void (*fn)(void*), void* arg, std::string_view region);

// Copies `n` bytes from `src` (within `region`) to `dst`; false when the map failed under it.
bool guarded_copy(char* dst, const char* src, std::size_t n, std::string_view region);

}  // namespace nucla::engine
