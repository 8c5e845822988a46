// Index files on disk. The paths the engine is given are checked before any use (a NUL inside
// names no file; a FIFO or device is no index), and an index (or the tool's output) is
// replaced atomically, through symbolic links, by way of an unnamed temporary, so that a
// writer killed half-way leaves neither a partial file nor a stray one behind.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/fd.hpp"
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
using FileBytes = std::vector<char, LargeAllocator<char>>;
Status read_index_file(const std::string& path, FileBytes& out);

// A regular file written under a temporary name beside the file it replaces, so that readers
// see the old file or the whole new one, never a part of either. A symbolic link at `path` is
// followed and its target replaced within the target's directory. The temporary is unnamed
// while it is written (a writer killed then leaves nothing behind) where the system has
// unnamed temporaries; elsewhere it is named "<target>.tmp.<16 random hex digits>" (a pid would
// name no writer on a volume shared between containers or hosts), and one that a killed writer
// leaves is left for good. Dropped before commit(), the temporary is removed. Errors are Io
// naming the file.
class Replacement {
public:
    // Refuses a path with a NUL and an existing file that is not a regular one; the temporary
    // gets mode 0666 before umask.
    static Result<Replacement> begin(const std::string& path);

    Replacement(Replacement&& other) noexcept;
    Replacement& operator=(Replacement&& other) noexcept;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement();

    // Where the new contents go, until finish().
    int fd() const { return fd_.get(); }
    // The file that commit() replaces (`path` with its links followed).
    const std::string& target() const { return target_; }
    // The temporary's name while it has one on disk, else "".
    const char* temporary() const { return named_ ? tmp_.c_str() : ""; }

    // Closes the written temporary and gives it its name: afterwards it is whole on disk, and
    // commit() has only to rename it.
    Status finish();
    // Renames the finished temporary over the target.
    Status commit();

private:
    Replacement() = default;
    void discard();

    std::string target_;
    std::string tmp_;
    Fd fd_;
    bool named_ = false;  // tmp_ is on disk and ours to remove
};

// Replaces the file at `path` with `text` through a Replacement.
Status write_file_atomically(const std::string& path, std::string_view text);

// Whether a write_file_atomically error is the place refusing the file (a read-only file
// system, a directory the user may not write, a full disk, a file size limit), rather than a
// path that leads to no place for it (a missing directory, something that is no regular file).
bool is_refused_write(const FaidxError& error);

}  // namespace nucla::engine
