// Buffered input and output for the command-line tool: a line reader over a descriptor and a
// writer that gathers output into large blocks, so that printing a record costs a memcpy and
// not a system call, and that can compress what it writes as BGZF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/bgzf_writer.hpp"
#include "engine/errors.hpp"
#include "engine/fd.hpp"

namespace nucla::cli {

// The system's words for an errno, as every message of the tool gives them.
inline std::string os_error(int code) { return engine::IoError::from_errno(code).text(); }

// Reads lines from a file or standard input ("-"). A line excludes its LF; a final line
// without one is still a line.
class LineReader {
public:
    // Returns 0, or the errno of the failed open.
    int open(const std::string& path);

    // The next line, valid until the next call; false at the end of input. Sets `error` to an
    // errno when reading fails.
    bool next(std::string_view& line);
    int error() const { return error_; }
    std::size_t line_number() const { return line_number_; }

private:
    engine::Fd owned_;
    int fd_ = -1;
    std::string buf_;
    std::size_t begin_ = 0;  // start of unread data in buf_
    bool eof_ = false;
    int error_ = 0;
    std::size_t line_number_ = 0;
};

class Writer {
public:
    // Writes to `fd` as it is, or through `bgzf` (which writes to the same descriptor).
    explicit Writer(int fd, engine::BgzfWriter* bgzf = nullptr) : fd_(fd), bgzf_(bgzf) {
        buf_.reserve(kBlock);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void put(std::string_view s) {
        if (buf_.size() + s.size() > kBlock) {
            flush();
            if (s.size() >= kBlock) {
                write_through(s);
                return;
            }
        }
        buf_.append(s);
    }
    void put(char c) {
        if (buf_.size() >= kBlock) flush();
        buf_ += c;
    }

    // Writes what is buffered. The first failure is kept (and later writes are dropped).
    void flush();
    // Flushes, then ends a BGZF stream with its end-of-file block.
    void finish();
    int error() const { return error_; }
    // Bytes taken so far (before compression).
    std::uint64_t position() const { return passed_ + buf_.size(); }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 22;
    void write_through(std::string_view s);

    int fd_;
    engine::BgzfWriter* bgzf_;
    std::string buf_;
    std::uint64_t passed_ = 0;  // bytes handed on by flush() and write_through()
    int error_ = 0;
};

}  // namespace nucla::cli
