// Writing BGZF, block for block as htslib (bgzip, samtools) writes it: every block a gzip
// member carrying its size in a "BC" extra field, holding 0xff00 bytes of input (the last one
// fewer), with an mtime of 0 and OS 255, and the 28-byte empty block that marks the end of the
// file. Blocks are compressed on the worker pool (sized as pool.hpp says), a batch at a time,
// and written in order; what was written is described by a BlockIndex, ready for the .gzi.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bgzf_format.hpp"

namespace nucla::engine {

// Input bytes per block, as htslib cuts them (room is left for data that does not compress).
inline constexpr std::size_t kBlockInput = 0xff00;

// Levels are zlib's (0 to 9). The default is the level samtools 1.24 writes its faidx output
// at: a third of the time of bgzip's default (6) for output 1.5% larger.
inline constexpr int kDefaultCompressionLevel = 4;

// The block that ends every BGZF file.
std::string_view bgzf_eof_block();

class BgzfWriter {
public:
    // Writes to `fd`, which stays the caller's to close.
    explicit BgzfWriter(int fd, int level = kDefaultCompressionLevel);
    ~BgzfWriter();
    BgzfWriter(const BgzfWriter&) = delete;
    BgzfWriter& operator=(const BgzfWriter&) = delete;

    // Takes `data` for the file. Full batches of blocks are compressed and written at once;
    // returns 0, or the errno of the first failed write (after which everything is dropped).
    // May throw std::bad_alloc.
    int write(std::string_view data);
    // Writes what is held, then the end-of-file block; returns 0 or the first errno.
    int finish();
    // The data blocks written so far (all of them after finish()).
    const BlockIndex& blocks() const { return blocks_; }
    // The .gzi of the finished file, as bgzip -r writes it.
    std::string gzi() const;

private:
    int compress_and_write();

    int fd_;
    int level_;
    std::string pending_;  // input not yet compressed, up to a batch of blocks
    std::vector<std::string> compressed_;
    std::string out_;
    BlockIndex blocks_;
    std::uint64_t written_ = 0;  // compressed bytes written so far
    int error_ = 0;
};

}  // namespace nucla::engine
