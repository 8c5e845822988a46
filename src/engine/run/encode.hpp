// The last step of every array sink: a region's bases, upper-cased and reverse-complemented as
// asked, written encoded (bytes, integer codes or one-hot vectors) into the caller's row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/arrays.hpp"

namespace nucla::engine {

// The most bases of a region whose working buffer a thread keeps for later regions; a longer
// region's buffer is freed at once.
inline constexpr std::size_t kKeptBases = std::size_t{1} << 20;

// The one-hot vector of every byte, as raw element bits: A, C, G and T are unit vectors,
// everything else is all zeros.
struct OneHotTable {
    std::array<std::array<std::uint8_t, 16>, 256> vectors{};
    std::size_t size = 4;

    OneHotTable(OneHotType type, bool swap_bytes);
};

class Encoder {
public:
    // `always_upper`: the reader's sequence_always_upper.
    Encoder(const ArrayFormat& format, bool always_upper);

    // Finishes n bases in place (upper case, reverse complement with `minus`) and writes them
    // encoded at `row`, which may be where they are when one base takes one byte.
    void finish(char* bases, std::size_t n, bool minus, std::uint8_t* row) const;
    // Whether the bases must be gathered apart from the row (one-hot), not in it.
    bool apart() const { return format_.encoding == Encoding::OneHot; }

private:
    void encode(const char* bases, std::size_t n, std::uint8_t* row) const;

    const ArrayFormat& format_;
    const bool default_table_;
    const bool upper_;
    const OneHotTable one_hot_;
};

}  // namespace nucla::engine
