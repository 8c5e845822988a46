// system/: what the engine asks of the operating system beyond POSIX. It includes nothing
// of the engine; every folder may include it.
//
// What the engine asks of the operating system that POSIX leaves to each system: file times
// finer than a second, the processors a process may use, mapping pages ahead of a copy and the
// text of an error number.
// Linux, macOS and the BSDs each get their own way, picked at compile time; other systems, and
// a build with -DNUCLA_PORTABLE=ON (which tries these fallbacks on Linux), the plain POSIX one.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace nucla::engine {

// True when the file of `a` was last modified before that of `b`, to the nanosecond where the
// system records it. Where it records whole seconds only, the same second counts as before:
// which came first cannot be told, and a caller deciding whether a derived file is stale had
// better rebuild it. A time that is out of range is never before anything.
bool modified_before(const struct stat& a, const struct stat& b);

// The processors this process may run on (its CPU affinity where the system has one), at least 1.
std::size_t available_processors();

// Asks the system to map the pages of [p, p + bytes) of a file mapping into this process in one
// call, where a copy would otherwise fault on them a few pages at a time (Linux 5.14 on). A
// hint: where it is refused (an older kernel, a file cut short under the map) the copy faults
// as usual, and the bus guard still catches a file that shrank.
void prefault_mapping(const void* p, std::size_t bytes);

// The system's description of an errno value ("No such file or directory").
std::string system_error_text(int code);

}  // namespace nucla::engine
