// Regions as arrays of numbers, for machine learning: each region's bases, padded with N where
// it lies outside its sequence, upper-cased and reverse-complemented as asked, then encoded as
// bytes, integer codes or one-hot vectors, written straight into a caller's buffer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/errors.hpp"
#include "engine/reader.hpp"
#include "engine/execution.hpp"

namespace nucla::engine {

enum class Encoding { Bytes, Codes, OneHot };
enum class OneHotType { U8, F16, F32 };

struct ArrayFormat {
    Encoding encoding = Encoding::Bytes;
    OneHotType one_hot = OneHotType::U8;
    bool swap_bytes = false;  // one-hot F16 and F32 elements in the other byte order
    bool upper = false;
    // Codes: the code of each byte (after upper-casing and reverse-complementing).
    std::array<std::uint8_t, 256> table{};

    // Bytes one base takes in the output.
    std::size_t base_bytes() const;
};

// A, C, G, T (either case) to 0..3, every other byte to 4.
std::array<std::uint8_t, 256> default_code_table();

// One region: bases [start, end) of a row, 0-based; parts before 0 or past the row's length
// are padding. `entry` must be a row of the Faidx the region is filled from.
struct ArrayRegion {
    const IndexEntry* entry = nullptr;
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool minus = false;  // reverse complement, as unary minus on a Sequence gives it
};

// What went wrong with the first region that failed.
struct RegionFailure {
    std::size_t region;
    FaidxError error;
};

// Where each region goes in the output, in bases: region i at offsets[i], spanning
// offsets[i + 1] - offsets[i] bases (its length); without offsets, at i * length.
struct ArrayLayout {
    const std::int64_t* offsets = nullptr;
    std::uint64_t length = 0;
};

// Fills region i into out + (its place in `layout`) * format.base_bytes(), on the worker pool
// as `execution` says. Nothing of the caller's is touched but `out`, and nothing
// else may write to it meanwhile. A failure names the first region that failed; the interrupt
// may stop the batch (the result then says nothing of the regions left). Throws std::bad_alloc.
struct ArrayRun {
    std::optional<RegionFailure> failure;
    bool stopped = false;
};
ArrayRun fill_regions(const Faidx& faidx, const std::vector<ArrayRegion>& regions,
                      ArrayLayout layout, const ArrayFormat& format, std::uint8_t* out,
                      const Execution& execution);

}  // namespace nucla::engine
