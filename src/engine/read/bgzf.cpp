#include "read/bgzf.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "run/pool.hpp"

#if NUCLA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#define ZLIB_CONST
#include <zlib.h>
#endif

namespace nucla::engine {

namespace {

// Compressed bytes looked at in one go when walking the whole file.
constexpr std::size_t kBatchInput = std::size_t{4} << 20;

std::uint32_t le16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (std::uint32_t{b[1]} << 8);
}

std::uint32_t le32(const char* p) { return le16(p) | (le16(p + 2) << 16); }

std::uint64_t le64(const char* p) { return le32(p) | (std::uint64_t{le32(p + 4)} << 32); }

void put_le64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

FaidxError io_error(const std::string& path, std::string text) {
    return FaidxError::io(IoError::other(std::move(text)), path);
}

FaidxError corrupt(const std::string& path, std::uint64_t offset, const char* why) {
    return io_error(path,
                    "corrupt BGZF block at offset " + std::to_string(offset) + " (" + why + ")");
}

FaidxError truncated(const std::string& path, std::uint64_t offset) {
    return io_error(path, "truncated BGZF block at offset " + std::to_string(offset));
}

enum class Parse { Ok, Short, Malformed };

struct Header {
    std::uint32_t size = 0;        // whole block, header and trailer included
    std::uint32_t data_start = 0;  // first byte of the deflate data
};

// A gzip member header with the BGZF "BC" field. Short when `bytes` end before it does.
Parse parse_header(std::string_view bytes, Header& out) {
    const char* b = bytes.data();
    const std::size_t n = bytes.size();
    static constexpr unsigned char kMagic[3] = {31, 139, 8};
    for (std::size_t i = 0; i < 3 && i < n; ++i)
        if (static_cast<unsigned char>(b[i]) != kMagic[i]) return Parse::Malformed;
    if (n < 12) return Parse::Short;
    // FEXTRA must be set; FHCRC, FNAME and FCOMMENT would move the data and never occur.
    const unsigned flags = static_cast<unsigned char>(b[3]);
    if ((flags & 4) == 0 || (flags & ~5u) != 0) return Parse::Malformed;
    const std::uint32_t extra_end = 12 + le16(b + 10);
    if (n < extra_end) return Parse::Short;
    std::optional<std::uint32_t> bsize;
    std::uint32_t i = 12;
    while (i + 4 <= extra_end) {
        const std::uint32_t len = le16(b + i + 2);
        if (i + 4 + len > extra_end) return Parse::Malformed;
        if (b[i] == 'B' && b[i + 1] == 'C' && len == 2) bsize = le16(b + i + 4);
        i += 4 + len;
    }
    if (i != extra_end || !bsize) return Parse::Malformed;
    out.size = *bsize + 1;
    out.data_start = extra_end;
    if (out.size < extra_end + 8) return Parse::Malformed;
    return Parse::Ok;
}

struct RawBlock {
    std::uint64_t coffset = 0;
    std::uint32_t size = 0;
    std::uint32_t data_start = 0;
    std::uint32_t crc = 0;
    std::uint32_t isize = 0;
    std::size_t out = 0;       // where its data goes in a batch's output
    const char* what = nullptr;  // why it failed to decompress
};

// The block at the start of `rest` (found at file position `pos`; `at_end` when the file ends
// with `rest`), or nothing when `rest` ends before the block does and the file goes on.
Result<std::optional<RawBlock>> parse_block(std::string_view rest, std::uint64_t pos, bool at_end,
                                            const std::string& path) {
    Header h;
    const Parse parsed = parse_header(rest, h);
    if (parsed == Parse::Malformed) return corrupt(path, pos, "bad header");
    if (parsed == Parse::Short || h.size > rest.size()) {
        if (at_end) return truncated(path, pos);
        return std::optional<RawBlock>{};
    }
    RawBlock block;
    block.coffset = pos;
    block.size = h.size;
    block.data_start = h.data_start;
    block.crc = le32(rest.data() + h.size - 8);
    block.isize = le32(rest.data() + h.size - 4);
    if (block.isize > kMaxBlockSize) return corrupt(path, pos, "bad size");
    return std::optional<RawBlock>{block};
}

// Calls `fn` for each block from file position `start` on, in order, until it returns false,
// reading `window` bytes (more than a block) at a time. A fault is found only when reached.
template <class Fn>
Status for_each_block(const Source& raw, std::uint64_t start, const std::string& path,
                      std::size_t window, Fn fn) {
    ReadScratch scratch;
    std::uint64_t pos = start;
    while (true) {
        auto view = raw.read_at(pos, window, scratch);
        if (!view.ok()) return view.take_error();
        const bool at_end = view->size() < window;
        std::size_t off = 0;
        while (off < view->size()) {
            auto block = parse_block(view->substr(off), pos + off, at_end, path);
            if (!block.ok()) return block.take_error();
            if (!*block) break;
            if (!fn(**block)) return Ok{};
            off += (*block)->size;
        }
        if (at_end) return Ok{};
        pos += off;
    }
}

// One decompressor per thread, reused for every block.
class Inflater {
public:
    Inflater() {
#if NUCLA_HAVE_LIBDEFLATE
        d_ = libdeflate_alloc_decompressor();
        if (!d_) throw std::bad_alloc();
#else
        std::memset(&z_, 0, sizeof z_);
        if (inflateInit2(&z_, -15) != Z_OK) throw std::bad_alloc();
#endif
    }
    ~Inflater() {
#if NUCLA_HAVE_LIBDEFLATE
        libdeflate_free_decompressor(d_);
#else
        inflateEnd(&z_);
#endif
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Raw deflate data that must fill exactly `out_size` bytes.
    bool inflate(const char* in, std::size_t in_size, char* out, std::size_t out_size) {
#if NUCLA_HAVE_LIBDEFLATE
        std::size_t got = 0;
        return libdeflate_deflate_decompress(d_, in, in_size, out, out_size, &got) ==
                   LIBDEFLATE_SUCCESS &&
               got == out_size;
#else
        char dummy;
        if (inflateReset(&z_) != Z_OK) return false;
        z_.next_in = reinterpret_cast<const Bytef*>(in);
        z_.avail_in = static_cast<uInt>(in_size);
        z_.next_out = reinterpret_cast<Bytef*>(out_size ? out : &dummy);
        z_.avail_out = static_cast<uInt>(out_size);
        return ::inflate(&z_, Z_FINISH) == Z_STREAM_END && z_.avail_out == 0;
#endif
    }

private:
#if NUCLA_HAVE_LIBDEFLATE
    libdeflate_decompressor* d_;
#else
    z_stream z_;
#endif
};

Inflater& thread_inflater() {
    thread_local Inflater inflater;
    return inflater;
}

// Decompresses `block`, whose bytes start at `bytes`, into `out`; the reason on failure.
const char* inflate_block(const RawBlock& block, const char* bytes, char* out) {
    const std::size_t data_size = block.size - block.data_start - 8;
    if (!thread_inflater().inflate(bytes + block.data_start, data_size, out, block.isize))
        return "bad deflate data";
    if (gzip_crc32({out, block.isize}) != block.crc) return "CRC32 mismatch";
    return nullptr;
}

std::atomic<std::uint64_t> next_source_id{1};

}  // namespace

Compression detect_compression(std::string_view head) {
    if (head.size() < 2 || static_cast<unsigned char>(head[0]) != 31 ||
        static_cast<unsigned char>(head[1]) != 139)
        return Compression::None;
    Header h;
    return parse_header(head, h) == Parse::Ok ? Compression::Bgzf : Compression::Gzip;
}

std::uint32_t gzip_crc32(std::string_view data) {
#if NUCLA_HAVE_LIBDEFLATE
    return libdeflate_crc32(0, data.data(), data.size());
#else
    return static_cast<std::uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
#endif
}

std::string bgzf_library() {
#if NUCLA_HAVE_LIBDEFLATE
    return "libdeflate " LIBDEFLATE_VERSION_STRING;
#else
    return std::string("zlib ") + ::zlibVersion();
#endif
}

std::string format_gzi(const BlockIndex& index) {
    const std::size_t n = index.uoffset.empty() ? 0 : index.uoffset.size() - 1;
    std::string out;
    out.reserve(8 + 16 * n);
    put_le64(out, n);
    for (std::size_t i = 1; i < index.uoffset.size(); ++i) {
        put_le64(out, index.coffset[i]);
        put_le64(out, index.uoffset[i]);
    }
    return out;
}

std::optional<BlockIndex> blocks_from_gzi(std::string_view gzi, const Source& raw,
                                          std::uint64_t raw_size) {
    if (gzi.size() < 8 || (gzi.size() - 8) % 16 != 0) return std::nullopt;
    const std::uint64_t n = le64(gzi.data());
    if (n != (gzi.size() - 8) / 16) return std::nullopt;
    BlockIndex index;
    index.coffset.reserve(n + 1);
    index.uoffset.reserve(n + 1);
    index.coffset.push_back(0);
    index.uoffset.push_back(0);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t c = le64(gzi.data() + 8 + 16 * i);
        const std::uint64_t u = le64(gzi.data() + 16 + 16 * i);
        if (c <= index.coffset.back() || u <= index.uoffset.back() || c >= raw_size ||
            u - index.uoffset.back() > kMaxBlockSize)
            return std::nullopt;
        index.coffset.push_back(c);
        index.uoffset.push_back(u);
    }
    // From the last listed block on there must be that one data block and empty blocks only;
    // its size completes the layout.
    std::size_t seen = 0, data_blocks = 0;
    bool fits = true;
    std::uint64_t last_size = 0;
    constexpr std::size_t kPeek = 2 * kMaxBlockSize;
    Status walked = for_each_block(raw, index.coffset.back(), {}, kPeek, [&](const RawBlock& b) {
        if (seen++ == 0 && n > 0 && b.isize == 0) fits = false;  // not a data block's start
        if (b.isize > 0 && ++data_blocks > 1) fits = false;
        if (b.isize > 0) last_size = b.isize;
        return fits;
    });
    if (!walked.ok() || !fits || (n > 0 && data_blocks == 0)) return std::nullopt;
    if (data_blocks == 0) return BlockIndex{};
    index.usize = index.uoffset.back() + last_size;
    // The first data block anchors the list: its size must be where the second one starts.
    // Later entries are trusted as a .fai is, and each block read checks its own size.
    if (n > 0) {
        std::uint64_t first_size = 0;
        walked = for_each_block(raw, 0, {}, kPeek, [&](const RawBlock& b) {
            first_size = b.isize;
            return b.isize == 0;
        });
        if (!walked.ok() || first_size != index.uoffset[1]) return std::nullopt;
    }
    return index;
}

Result<BlockIndex> walk_blocks(const Source& raw, const std::string& path) {
    BlockIndex index;
    std::uint64_t u = 0;
    Status walked = for_each_block(raw, 0, path, kBatchInput, [&](const RawBlock& b) {
        if (b.isize > 0) {
            index.coffset.push_back(b.coffset);
            index.uoffset.push_back(u);
            u += b.isize;
        }
        return true;
    });
    if (!walked.ok()) return walked.take_error();
    index.usize = u;
    return index;
}

Result<BlockIndex> inflate_blocks(const Source& raw, const std::string& path,
                                  const std::function<Status(std::string_view)>& sink,
                                  const std::function<void(std::uint64_t)>& done) {
    struct Batch {
        std::vector<RawBlock> blocks;
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
    };
    const auto feed = [&](const Batch& batch, std::size_t count) -> Status {
        for (std::size_t i = 0; i < count; ++i) {
            const RawBlock& b = batch.blocks[i];
            if (b.isize == 0) continue;
            Status status = sink(std::string_view(batch.data.get() + b.out, b.isize));
            if (!status.ok()) return status;
        }
        return Ok{};
    };

    BlockIndex index;
    ReadScratch scratch;
    WorkerGroup workers;
    Batch cur, prev;
    std::uint64_t pos = 0, u = 0;
    bool more = true;
    // Each round decompresses one batch while one of the threads scans the batch before it.
    while (more || !prev.blocks.empty()) {
        cur.blocks.clear();
        std::string_view view;
        if (more) {
            auto got = raw.read_at(pos, kBatchInput, scratch);
            if (!got.ok()) return got.take_error();
            view = *got;
            const bool at_end = view.size() < kBatchInput;
            std::size_t used = 0;
            while (used < view.size()) {
                auto block = parse_block(view.substr(used), pos + used, at_end, path);
                if (!block.ok()) return block.take_error();
                if (!*block) break;
                cur.blocks.push_back(**block);
                used += (*block)->size;
            }
            std::size_t total = 0;
            for (RawBlock& b : cur.blocks) {
                b.out = total;
                total += b.isize;
            }
            if (total > cur.capacity || !cur.data) {
                cur.data.reset();
                cur.data.reset(new char[std::max<std::size_t>(total, 1)]);
                cur.capacity = total;
            }
            more = !at_end;
            pos += used;
        }

        const std::size_t scan = prev.blocks.empty() ? 0 : 1;
        Status scanned = Ok{};
        std::atomic<bool> out_of_memory{false};
        workers.parallel_for(cur.blocks.size() + scan, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                try {
                    if (i < scan) {
                        scanned = feed(prev, prev.blocks.size());
                        continue;
                    }
                    RawBlock& b = cur.blocks[i - scan];
                    b.what = inflate_block(b, view.data() + (b.coffset - cur.blocks[0].coffset),
                                           cur.data.get() + b.out);
                } catch (const std::bad_alloc&) {
                    out_of_memory = true;
                }
            }
        });
        if (out_of_memory) throw std::bad_alloc();
        if (!scanned.ok()) return scanned.take_error();
        for (std::size_t i = 0; i < cur.blocks.size(); ++i) {
            const RawBlock& b = cur.blocks[i];
            if (!b.what) continue;
            // Data before the bad block comes first in the file, so its faults win.
            Status status = feed(cur, i);
            if (!status.ok()) return status.take_error();
            return corrupt(path, b.coffset, b.what);
        }
        for (const RawBlock& b : cur.blocks) {
            if (b.isize == 0) continue;
            index.coffset.push_back(b.coffset);
            index.uoffset.push_back(u);
            u += b.isize;
        }
        if (done && !cur.blocks.empty()) done(cur.blocks.back().coffset + cur.blocks.back().size);
        std::swap(cur, prev);
    }
    index.usize = u;
    return index;
}

const BlockCache::Slot* BlockCache::find(std::uint64_t source, std::size_t block) {
    for (Slot& slot : slots_) {
        if (slot.source == source && slot.block == block) {
            slot.used = ++clock_;
            return &slot;
        }
    }
    return nullptr;
}

BlockCache::Slot& BlockCache::take() {
    Slot* oldest = &slots_[0];
    for (Slot& slot : slots_)
        if (slot.used < oldest->used) oldest = &slot;
    oldest->source = 0;
    if (!oldest->data) oldest->data.reset(new char[kMaxBlockSize]);
    oldest->used = ++clock_;
    return *oldest;
}

BgzfSource::BgzfSource(std::unique_ptr<Source> raw, std::uint64_t raw_size, std::string path,
                       std::string gzi_path, BlockIndex index)
    : Source(std::move(path)),
      raw_(std::move(raw)),
      raw_size_(raw_size),
      gzi_path_(std::move(gzi_path)),
      index_(std::move(index)),
      id_(next_source_id.fetch_add(1)) {}

Result<std::string_view> BgzfSource::read_at(std::uint64_t pos, std::size_t want,
                                             ReadScratch& scratch) const {
    if (pos >= index_.usize) return std::string_view{};
    const auto& u = index_.uoffset;
    const auto block =
        static_cast<std::size_t>(std::upper_bound(u.begin(), u.end(), pos) - u.begin()) - 1;
    BlockCache& cache = scratch.blocks();
    const BlockCache::Slot* slot = cache.find(id_, block);
    if (!slot) {
        BlockCache::Slot& fresh = cache.take();
        Status loaded = load(block, fresh, scratch);
        if (!loaded.ok()) {
            // A block cut short or zeroed by the file shrinking under us says so.
            Status extent = raw_->check_extent(raw_size_);
            return extent.ok() ? loaded.take_error() : extent.take_error();
        }
        fresh.block = block;
        fresh.source = id_;
        slot = &fresh;
    }
    const auto offset = static_cast<std::size_t>(pos - u[block]);
    return std::string_view(slot->data.get() + offset, std::min(want, slot->size - offset));
}

std::size_t BgzfSource::gather(const std::vector<ByteSpan>& spans, std::size_t first,
                              Gathered& into) const {
    const auto& u = index_.uoffset;
    const auto& c = index_.coffset;
    const auto block_of = [&](std::uint64_t pos) {
        return static_cast<std::size_t>(std::upper_bound(u.begin(), u.end(), pos) - u.begin()) - 1;
    };
    // The compressed bytes of the blocks each span touches (in the same order: the blocks'
    // places grow with their data's).
    std::vector<ByteSpan> raw(spans.size());
    for (std::size_t k = first; k < spans.size(); ++k) {
        const ByteSpan& s = spans[k];
        if (s.end <= s.begin || s.begin >= index_.usize) continue;
        const std::size_t last = block_of(std::min(s.end, index_.usize) - 1);
        raw[k] = {c[block_of(s.begin)], last + 1 < c.size() ? c[last + 1] : raw_size_};
    }
    return raw_->gather(raw, first, into);
}

Status BgzfSource::load(std::size_t block, BlockCache::Slot& slot, ReadScratch& scratch) const {
    const auto& c = index_.coffset;
    const auto& u = index_.uoffset;
    const bool last = block + 1 == u.size();
    const std::uint64_t expected = (last ? index_.usize : u[block + 1]) - u[block];
    // The block must end before the next one listed.
    const std::uint64_t limit = last ? raw_size_ : c[block + 1];
    std::uint64_t at = c[block];
    while (true) {
        const auto mismatch = [&] {
            return io_error(path(), "BGZF block at offset " + std::to_string(at) +
                                        " does not match the block index " + gzi_path_);
        };
        if (at >= limit) return mismatch();
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kMaxBlockSize, limit - at));
        auto view = raw_->read_at(at, want, scratch);
        if (!view.ok()) return view.take_error();
        Header h;
        const Parse parsed = parse_header(*view, h);
        if (parsed == Parse::Malformed) return corrupt(path(), at, "bad header");
        if (parsed == Parse::Short || h.size > view->size())
            return at + view->size() >= raw_size_ ? truncated(path(), at) : mismatch();
        RawBlock b;
        b.size = h.size;
        b.data_start = h.data_start;
        b.crc = le32(view->data() + h.size - 8);
        b.isize = le32(view->data() + h.size - 4);
        if (b.isize > kMaxBlockSize) return corrupt(path(), at, "bad size");
        if (b.isize == 0 && expected > 0) {  // an empty block before the data
            at += h.size;
            continue;
        }
        if (b.isize != expected) return mismatch();
        if (const char* what = inflate_block(b, view->data(), slot.data.get()))
            return corrupt(path(), at, what);
        slot.size = b.isize;
        return Ok{};
    }
}

}  // namespace nucla::engine
