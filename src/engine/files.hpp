// Index files on disk. The paths the engine is given are checked before any use (a NUL inside
// names no file; a FIFO or device is no index), and an index is replaced atomically, through
// symbolic links, by way of an unnamed temporary, so that a writer killed half-way leaves
// neither a partial index nor a stray file behind.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/large.hpp"

namespace nucla::engine {

// Whether `path` holds a NUL byte. The system would take the part before it for the path, so
// such a path names no file at all.
bool has_nul(std::string_view path);

// `path` made absolute against the current directory (no link resolved, no ".." removed), so
// that it names the same file after a change of directory; `path` itself when it is absolute
// or the current directory cannot be found.
std::string absolute_path(const std::string& path);

// Reads a whole index file: IndexNotFound when it cannot be opened (a path with a NUL cannot);
// Io naming `path` when it is not a regular file (a FIFO would block, a device never end) or
// cannot be read.
Result<std::string> read_index_text(const std::string& path);
// The same into `out`, large files in memory of their own (see large.hpp).
using Bytes = std::vector<char, LargeAllocator<char>>;
Status read_index_file(const std::string& path, Bytes& out);

// Replaces the file at `path` with `text` (mode 0666 before umask) so that readers see the old
// file or the new one, never a part of either. A symbolic link is followed and its target
// replaced within the target's directory. Refuses a path with a NUL and an existing file that
// is not a regular one. The text goes to an unnamed temporary, named only once complete and
// then renamed over the target; where the file system has no unnamed temporaries, to a named
// one. Temporaries are named "<target>.tmp.<16 random hex digits>", so that no two writers
// share one, whatever their pids. Errors are Io naming the file.
Status write_file_atomically(const std::string& path, std::string_view text);

// Whether a write_file_atomically error is the place refusing the file (a read-only file
// system, a directory the user may not write, a full disk, a file size limit), rather than a
// path that leads to no place for it (a missing directory, something that is no regular file).
bool is_refused_write(const FaidxError& error);

}  // namespace nucla::engine
