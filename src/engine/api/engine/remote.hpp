// FASTA files that live elsewhere (a web server, an object store), read through a client that
// knows how to reach them: the engine asks it for byte ranges and keeps what came back in a
// process-wide cache of fixed-size blocks, so that neighbouring reads cost nothing more.
//
// The engine never asks on a worker thread: a single read fetches what it misses on the
// thread that reads, and a batch fetches every block its regions need on the caller's thread,
// in one request per run of adjacent blocks, before any worker fills a region. A client whose
// fetch needs a lock of the caller's (Python's) can take it there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"

namespace nucla::engine {

// Bytes [begin, end) of a file.
struct ByteSpan {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// Size of the blocks remote files are read and cached in, aligned to multiples of it: small,
// since a batch of scattered regions fetches a block for each (10,000 regions of the bench
// genome over a 1 ms link: 64 KiB blocks moved 466 MiB in 3.9 s, 16 KiB ones 148 MiB in
// 3.1 s), and long reads fetch runs of them at once anyway.
inline constexpr std::uint64_t kRemoteBlock = std::uint64_t{16} << 10;

class RemoteFile {
public:
    virtual ~RemoteFile() = default;

    // The file as named in errors (its URL).
    virtual const std::string& name() const = 0;
    // Its size when it was opened.
    virtual std::uint64_t size() const = 0;
    // Sets out[k] to exactly the bytes of ranges[k], for every k, fetching them as concurrently
    // as the client can. Fails when any range cannot be had (the file changed since it was
    // opened, the server refused, ...), with an error naming the file.
    virtual Status fetch(const std::vector<ByteSpan>& ranges, std::vector<std::string>& out) const = 0;
    // The whole of the small file named like this one plus `suffix` (".fai", ".gzi"), or nothing
    // when there is no such file.
    virtual Result<std::optional<std::string>> sibling(std::string_view suffix) const = 0;
};

// Bytes of remote blocks the process keeps, least recently used dropped first (256 MiB unless
// set). A batch holds the blocks of its current round besides, up to half this much.
std::uint64_t remote_cache_bytes();
void set_remote_cache_bytes(std::uint64_t bytes);
// A size as people write it for the cache: a number of bytes with an optional K, M or G
// (powers of 1024) and an optional B ("512M", "2G", "65536"); nothing when it is not one.
std::optional<std::uint64_t> parse_byte_size(std::string_view text);
// Sets the cache's size from NUCLA_REMOTE_CACHE's value, as the clients read it (null or empty:
// left as it is); a Value error saying what it should be when it is not a size.
Status set_remote_cache_from(const char* setting);

// Whether `name` names a remote file rather than a local one: "scheme://..." (the scheme a
// letter, then letters, digits, "+", "-" or ".") that is not a local path that exists. The
// module and the tool decide alike, so that one name means one file to both.
bool is_remote_name(const std::string& name);

// The error a client reports for a failure its own layer named by `kind`: "changed" (the file
// is not what it was when opened), "missing", "denied", anything else an I/O error; `message`
// says what happened, and the error names `url`.
FaidxError remote_failure(std::string_view kind, std::string message, const std::string& url);

}  // namespace nucla::engine
