// Batches of regions served on the worker pool.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/faidx.hpp"
#include "engine/sequence.hpp"

namespace nucla::engine {

// Batches of this many regions or more run in parallel.
inline constexpr std::size_t kParallelThreshold = 1000;

struct Region {
    std::string_view name;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// Fetches every region with the batch policy (silent clamping; see plan_batch_fetch) on the
// worker pool; outcome i belongs to region i.
std::vector<Result<Sequence>> fetch_many_parallel(const Faidx& faidx,
                                                  const std::vector<Region>& regions);

}  // namespace nucla::engine
