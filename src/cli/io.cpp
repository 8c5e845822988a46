#include "io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nucla::cli {

namespace {
constexpr std::size_t kReadBlock = std::size_t{1} << 20;
}  // namespace

int LineReader::open(const std::string& path) {
    if (path == "-") {
        fd_ = 0;
        return 0;
    }
    owned_ = engine::Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!owned_.valid()) return errno;
    fd_ = owned_.get();
    return 0;
}

bool LineReader::next(std::string_view& line) {
    while (true) {
        const char* data = buf_.data() + begin_;
        const std::size_t left = buf_.size() - begin_;
        if (const void* nl = std::memchr(data, '\n', left)) {
            const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - data);
            line = std::string_view(data, len);
            begin_ += len + 1;
            ++line_number_;
            return true;
        }
        if (error_) return false;
        if (eof_) {
            if (left == 0) return false;
            line = std::string_view(data, left);
            begin_ = buf_.size();
            ++line_number_;
            return true;
        }
        // Keep the partial line and read more behind it.
        buf_.erase(0, begin_);
        begin_ = 0;
        const std::size_t old = buf_.size();
        buf_.resize(old + kReadBlock);
        ssize_t n;
        do {
            n = ::read(fd_, buf_.data() + old, kReadBlock);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            error_ = errno;
            n = 0;
        }
        if (n == 0) eof_ = true;
        buf_.resize(old + static_cast<std::size_t>(n));
    }
}

void Writer::flush() {
    if (!buf_.empty()) write_through(buf_);
    buf_.clear();
}

void Writer::finish() {
    flush();
    if (bgzf_ && !error_) error_ = bgzf_->finish();
}

void Writer::write_through(std::string_view s) {
    passed_ += s.size();
    if (error_) return;
    error_ = bgzf_ ? bgzf_->write(s) : engine::write_all(fd_, s);
}

}  // namespace nucla::cli
