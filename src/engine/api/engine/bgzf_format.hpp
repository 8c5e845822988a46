// The BGZF format as both sides of the engine see it: the block size, where a file's blocks
// lie (what a .gzi records) and the library that does the (de)compression.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nucla::engine {

// Most bytes a block holds, compressed or not.
inline constexpr std::size_t kMaxBlockSize = 65536;

// Where the data blocks of a BGZF file are (blocks without data are left out).
struct BlockIndex {
    std::vector<std::uint64_t> coffset;  // file position of block i (or of empty blocks before it)
    std::vector<std::uint64_t> uoffset;  // uncompressed position of block i's first byte
    std::uint64_t usize = 0;             // uncompressed size of the whole file
};

// The CRC-32 that a gzip member's trailer carries for `data`.
std::uint32_t gzip_crc32(std::string_view data);

// The library that compresses and decompresses blocks in this build, with its version:
// "libdeflate 1.14" or "zlib 1.2.13" (the zlib loaded at run time).
std::string bgzf_library();

// The .gzi file: a little-endian 64-bit entry count, then a (compressed, uncompressed) pair of
// little-endian 64-bit offsets for every data block but the first.
std::string format_gzi(const BlockIndex& index);

}  // namespace nucla::engine
