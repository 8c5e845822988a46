// BGZF-compressed FASTA, as bgzip writes it: a series of gzip members ("blocks") of at most
// 64 KiB each, every one recording its own compressed size in a "BC" extra field, so that a
// block can be found and decompressed without reading what comes before it.
//
// This file owns detection by magic bytes, the block layout and its samtools-compatible .gzi
// file, checked decompression (CRC32 and size of every block, so a damaged file gives an
// error naming the file and offset, never wrong bases) and BgzfSource, which serves
// uncompressed byte ranges by decompressing only the blocks they touch, keeping recently used
// blocks in the caller's ReadScratch.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bgzf_format.hpp"
#include "engine/errors.hpp"
#include "read/source.hpp"

namespace nucla::engine {

// Bytes of a file's start that detect_compression needs to see (a whole gzip header).
inline constexpr std::size_t kDetectBytes = 12 + 65535;

enum class Compression { None, Gzip, Bgzf };

// Whether `head`, a file's first bytes (up to kDetectBytes of them), starts a gzip file and
// whether that is BGZF.
Compression detect_compression(std::string_view head);

// The block layout that .gzi bytes give for `raw` (a BGZF file of `raw_size` bytes), or nothing
// when they are malformed or do not fit the file's last blocks (a .gzi of another file, say).
std::optional<BlockIndex> blocks_from_gzi(std::string_view gzi, const Source& raw,
                                          std::uint64_t raw_size);

// The block layout read from the block headers alone, without decompressing. Fails with Io
// naming `path` and the offset of a truncated or malformed block.
Result<BlockIndex> walk_blocks(const Source& raw, const std::string& path);

// Decompresses and checks every block in file order on a WorkerGroup and hands the data to
// `sink` in file order (one call at a time, not necessarily on this thread); `done(pos)` is
// told that the compressed bytes before `pos` will not be read again. The first failure in
// file order (a bad block, or the sink's own error) ends the walk. May throw std::bad_alloc.
Result<BlockIndex> inflate_blocks(const Source& raw, const std::string& path,
                                  const std::function<Status(std::string_view)>& sink,
                                  const std::function<void(std::uint64_t)>& done);

// Recently decompressed blocks of any BgzfSource, least recently used replaced first.
class BlockCache {
public:
    struct Slot {
        std::uint64_t source = 0;  // BgzfSource id; 0 for an empty slot
        std::size_t block = 0;
        std::size_t size = 0;
        std::uint64_t used = 0;
        std::unique_ptr<char[]> data;
    };

    const Slot* find(std::uint64_t source, std::size_t block);
    // The least recently used slot, emptied, with room for a whole block (may throw
    // std::bad_alloc). The caller fills it and sets `source` last.
    Slot& take();

private:
    std::array<Slot, 8> slots_;
    std::uint64_t clock_ = 0;
};

class BgzfSource final : public Source {
public:
    // `raw` holds the compressed file of `raw_size` bytes; `path` names it in errors, and
    // `gzi_path` the block index that `index` came from.
    BgzfSource(std::unique_ptr<Source> raw, std::uint64_t raw_size, std::string path,
               std::string gzi_path, BlockIndex index);

    Result<std::uint64_t> size() const override { return index_.usize; }
    // A view into one decompressed block: at most the rest of the block holding `pos`.
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    // A remote file's compressed blocks are gathered for the uncompressed spans.
    bool gathers() const override { return raw_->gathers(); }
    std::size_t gather(const std::vector<ByteSpan>& spans, std::size_t first,
                       Gathered& into) const override;

private:
    Status load(std::size_t block, BlockCache::Slot& slot, ReadScratch& scratch) const;

    std::unique_ptr<Source> raw_;
    std::uint64_t raw_size_;
    std::string gzi_path_;
    BlockIndex index_;
    // Unique for the life of the process, so that no cached block outlives its source.
    std::uint64_t id_;
};

}  // namespace nucla::engine
