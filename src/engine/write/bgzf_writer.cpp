#include "engine/bgzf_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "engine/fd.hpp"
#include "run/pool.hpp"

#if NUCLA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#define ZLIB_CONST
#include <zlib.h>
#endif

namespace nucla::engine {

namespace {

constexpr std::size_t kHeaderSize = 18;
constexpr std::size_t kFooterSize = 8;
// Most deflate bytes a block can carry.
constexpr std::size_t kMaxDeflate = kMaxBlockSize - kHeaderSize - kFooterSize;
// Blocks compressed together: enough to keep every worker busy, about 4 MB of input.
constexpr std::size_t kBatchBlocks = 64;

void put_le16(char* p, std::uint32_t v) {
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>((v >> 8) & 0xff);
}

void put_le32(char* p, std::uint32_t v) {
    put_le16(p, v & 0xffff);
    put_le16(p + 2, v >> 16);
}

// One compressor per thread and level, reused for every block.
class Deflater {
public:
    explicit Deflater(int level) : level_(level) {
#if NUCLA_HAVE_LIBDEFLATE
        // htslib's mapping of zlib's levels onto libdeflate's 1 to 12, so that a block comes
        // out as bgzip would write it with the same libdeflate.
        static constexpr int kLibdeflateLevel[10] = {0, 1, 2, 3, 5, 6, 7, 8, 10, 12};
        c_ = libdeflate_alloc_compressor(kLibdeflateLevel[level]);
        if (!c_) throw std::bad_alloc();
#else
        std::memset(&z_, 0, sizeof z_);
        if (deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
#endif
    }
    ~Deflater() {
#if NUCLA_HAVE_LIBDEFLATE
        libdeflate_free_compressor(c_);
#else
        deflateEnd(&z_);
#endif
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    int level() const { return level_; }

    // Raw deflate data for `in` in at most `capacity` bytes; 0 when it does not fit.
    std::size_t deflate(std::string_view in, char* out, std::size_t capacity) {
#if NUCLA_HAVE_LIBDEFLATE
        return libdeflate_deflate_compress(c_, in.data(), in.size(), out, capacity);
#else
        if (deflateReset(&z_) != Z_OK) return 0;
        z_.next_in = reinterpret_cast<const Bytef*>(in.data());
        z_.avail_in = static_cast<uInt>(in.size());
        z_.next_out = reinterpret_cast<Bytef*>(out);
        z_.avail_out = static_cast<uInt>(capacity);
        if (::deflate(&z_, Z_FINISH) != Z_STREAM_END) return 0;
        return capacity - z_.avail_out;
#endif
    }

private:
    int level_;
#if NUCLA_HAVE_LIBDEFLATE
    libdeflate_compressor* c_;
#else
    z_stream z_;
#endif
};

Deflater& thread_deflater(int level) {
    thread_local std::unique_ptr<Deflater> deflater;
    if (!deflater || deflater->level() != level) {
        deflater.reset();
        deflater = std::make_unique<Deflater>(level);
    }
    return *deflater;
}

// Writes the block for `data` (at most kBlockInput bytes) into `out`, which has room for
// kMaxBlockSize bytes; returns the block's size.
std::size_t compress_into(std::string_view data, int level, char* out) {
    char* body = out + kHeaderSize;
    std::size_t size = level > 0 ? thread_deflater(level).deflate(data, body, kMaxDeflate) : 0;
    if (size == 0) {
        // A single stored deflate block: what would not shrink goes in as it is.
        body[0] = 1;  // final block, stored
        put_le16(body + 1, static_cast<std::uint32_t>(data.size()));
        put_le16(body + 3, static_cast<std::uint32_t>(~data.size() & 0xffff));
        std::memcpy(body + 5, data.data(), data.size());
        size = 5 + data.size();
    }
    static constexpr unsigned char kHeader[kHeaderSize - 2] = {
        31, 139, 8, 4, 0, 0, 0, 0, 0, 255, 6, 0, 'B', 'C', 2, 0};
    std::memcpy(out, kHeader, sizeof kHeader);
    const std::size_t total = kHeaderSize + size + kFooterSize;
    put_le16(out + 16, static_cast<std::uint32_t>(total - 1));
    put_le32(body + size, gzip_crc32(data));
    put_le32(body + size + 4, static_cast<std::uint32_t>(data.size()));
    return total;
}

}  // namespace

std::string_view bgzf_eof_block() {
    static constexpr unsigned char kEof[28] = {31, 139, 8, 4, 0, 0, 0, 0, 0, 255, 6, 0, 'B', 'C',
                                               2,  0,   27, 0, 3, 0, 0, 0, 0, 0,   0, 0, 0,   0};
    return std::string_view(reinterpret_cast<const char*>(kEof), sizeof kEof);
}

BgzfWriter::BgzfWriter(int fd, int level) : fd_(fd), level_(std::clamp(level, 0, 9)) {}

BgzfWriter::~BgzfWriter() = default;

int BgzfWriter::write(std::string_view data) {
    constexpr std::size_t kBatchInput = kBatchBlocks * kBlockInput;
    while (!data.empty() && !error_) {
        if (pending_.capacity() < kBatchInput) pending_.reserve(kBatchInput);
        const std::size_t take = std::min(data.size(), kBatchInput - pending_.size());
        pending_.append(data.substr(0, take));
        data.remove_prefix(take);
        if (pending_.size() == kBatchInput) error_ = compress_and_write();
    }
    return error_;
}

int BgzfWriter::finish() {
    if (!error_ && !pending_.empty()) error_ = compress_and_write();
    if (!error_) error_ = write_all(fd_, bgzf_eof_block());
    return error_;
}

std::string BgzfWriter::gzi() const {
    // htslib counts the entries less the implicit first one, so a file without data says -1.
    if (blocks_.uoffset.empty()) return std::string(8, '\xff');
    return format_gzi(blocks_);
}

int BgzfWriter::compress_and_write() {
    const std::size_t n = (pending_.size() + kBlockInput - 1) / kBlockInput;
    if (compressed_.size() < n) compressed_.resize(n);
    for (std::size_t i = 0; i < n; ++i) compressed_[i].resize(kMaxBlockSize);
    std::atomic<bool> out_of_memory{false};
    const auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::string_view data =
                std::string_view(pending_).substr(i * kBlockInput, kBlockInput);
            try {
                compressed_[i].resize(compress_into(data, level_, compressed_[i].data()));
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
        }
    };
    if (n == 1) {
        body(0, 1);  // a small file needs no pool
    } else {
        parallel_for(n, body);
    }
    if (out_of_memory) throw std::bad_alloc();

    out_.clear();
    for (std::size_t i = 0; i < n; ++i) out_ += compressed_[i];
    if (int code = write_all(fd_, out_)) return code;
    for (std::size_t i = 0; i < n; ++i) {
        blocks_.coffset.push_back(written_);
        blocks_.uoffset.push_back(blocks_.usize);
        written_ += compressed_[i].size();
        blocks_.usize += std::min(kBlockInput, pending_.size() - i * kBlockInput);
    }
    pending_.clear();
    return 0;
}

}  // namespace nucla::engine
