// The arrays' bounds policy, inline for the array sink, which plans every region twice (to
// prefetch it, then to fill it): the rest of the one policy is in bounds.cpp.
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/reader.hpp"

namespace nucla::engine {

// Bounds::Padded: the part of [start, end) (0-based) within the row is read; the rest is
// padding, `lead` bases of it before.
inline RegionPlan padded_plan(const IndexEntry& entry, std::int64_t start, std::int64_t end) {
    RegionPlan plan;
    plan.entry = &entry;
    plan.kind = RegionPlan::Kind::Empty;
    const std::uint64_t length = entry.rlen;
    const auto signed_length = static_cast<std::int64_t>(
        std::min<std::uint64_t>(length, static_cast<std::uint64_t>(INT64_MAX)));
    const std::int64_t lo = std::clamp<std::int64_t>(start, 0, signed_length);
    const std::int64_t hi = std::clamp<std::int64_t>(end, 0, signed_length);
    if (hi <= lo) return plan;
    plan.kind = RegionPlan::Kind::Extract;
    plan.start = static_cast<std::uint64_t>(lo) + 1;
    plan.end = static_cast<std::uint64_t>(hi);
    plan.lead = static_cast<std::uint64_t>(lo - start);
    return plan;
}

}  // namespace nucla::engine
