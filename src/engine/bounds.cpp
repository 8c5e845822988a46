// The bounds policy: what each kind of caller gets for a region that is not wholly inside its
// sequence, in one place (see Bounds in reader.hpp).
#include <algorithm>

#include "bounds.hpp"
#include "engine/reader.hpp"

namespace nucla::engine {

namespace {

// A single fetch: every problem named; under strict bounds the first one refuses the request.
RegionPlan plan_single(RegionPlan plan, std::uint64_t start, std::uint64_t end, bool strict) {
    const std::uint64_t length = plan.entry->rlen;
    if (strict) {
        plan.kind = RegionPlan::Kind::OutOfBounds;
        if (start > length || end > length) {
            plan.problems = RegionPlan::BeyondEnd;
        } else if (start == 0 || end == 0) {
            plan.problems = RegionPlan::ZeroCoordinate;
        } else if (start > end) {
            plan.problems = RegionPlan::StartAfterEnd;
        } else {
            plan.kind = RegionPlan::Kind::Extract;
        }
        plan.start = start;
        plan.end = end;
        return plan;
    }
    plan.kind = RegionPlan::Kind::Empty;
    if (start > length || end > length) {
        plan.problems |= RegionPlan::BeyondEnd;
        if (start > length) {
            plan.start = plan.end = start;
            return plan;
        }
        end = length;
    }
    plan.start = start;
    plan.end = end;
    if (start == 0 || end == 0) {
        plan.problems |= RegionPlan::ZeroCoordinate;
        return plan;
    }
    if (end < start) {
        plan.problems |= RegionPlan::StartAfterEnd;
        return plan;
    }
    plan.kind = RegionPlan::Kind::Extract;
    return plan;
}

// A batch: silent clamping; under strict bounds a region not wholly inside is refused.
RegionPlan plan_batch(RegionPlan plan, std::uint64_t start, std::uint64_t end, bool strict) {
    const std::uint64_t length = plan.entry->rlen;
    if (strict) {
        plan.start = start;
        plan.end = end;
        if (start < 1 || start > end || end > length) plan.kind = RegionPlan::Kind::OutOfBounds;
        return plan;
    }
    // A region holding no base of the sequence stays empty, with the coordinates a single
    // fetch reports for it; clamping it would return bases that were never asked for.
    plan.kind = RegionPlan::Kind::Empty;
    if (start > length) {
        plan.start = plan.end = start;
        return plan;
    }
    if (end == 0 || length == 0) {
        plan.start = start;
        plan.end = 0;
        return plan;
    }
    plan.start = std::min(std::max<std::uint64_t>(start, 1), length);
    plan.end = std::min(end, length);
    if (plan.end >= plan.start) plan.kind = RegionPlan::Kind::Extract;
    return plan;
}

}  // namespace

RegionPlan Faidx::plan(const IndexEntry& entry, std::uint64_t start, std::uint64_t end,
                       Bounds bounds) const {
    RegionPlan plan;
    plan.entry = &entry;
    switch (bounds) {
        case Bounds::Single:
            return plan_single(plan, start, end, options_.strict_bounds);
        case Bounds::Batch:
            return plan_batch(plan, start, end, options_.strict_bounds);
        case Bounds::Entire:
            plan.start = 1;
            plan.end = entry.rlen;
            plan.pad = false;
            return plan;
        case Bounds::Tool:
        case Bounds::Padded:
            break;
    }
    // 1-based coordinates given to a 0-based policy: as the same bases, 0-based.
    const auto to_signed = [](std::uint64_t v) {
        return static_cast<std::int64_t>(std::min<std::uint64_t>(v, INT64_MAX));
    };
    return this->plan(entry, start == 0 ? -1 : to_signed(start - 1), to_signed(end), bounds);
}

RegionPlan Faidx::plan(const IndexEntry& entry, std::int64_t start, std::int64_t end,
                       Bounds bounds) const {
    RegionPlan plan;
    plan.entry = &entry;
    plan.kind = RegionPlan::Kind::Empty;
    const std::uint64_t length = entry.rlen;
    if (bounds == Bounds::Tool) {
        // As samtools: a start past the end or before the first base gives an empty record, an
        // end past the end a shorter one.
        if (start < 0 || end <= start) return plan;
        const auto ubeg = static_cast<std::uint64_t>(start);
        const auto uend = static_cast<std::uint64_t>(end);
        const std::uint64_t clamped = std::min(uend, length);
        if (ubeg >= clamped) return plan;
        plan.kind = RegionPlan::Kind::Extract;
        plan.start = ubeg + 1;
        plan.end = clamped;
        plan.truncated = end != INT64_MAX && uend > length;
        return plan;
    }
    if (bounds != Bounds::Padded) {
        // 0-based coordinates given to a 1-based policy: as the same bases, 1-based.
        const auto to_unsigned = [](std::int64_t v) {
            return v < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(v);
        };
        return this->plan(entry, to_unsigned(start) + (start >= 0), to_unsigned(end), bounds);
    }
    return padded_plan(entry, start, end);
}

Result<RegionPlan> Faidx::plan(std::string_view name, std::uint64_t start, std::uint64_t end,
                               Bounds bounds) const {
    const IndexEntry* entry = index_.find(name);
    if (!entry) return FaidxError::sequence_not_found(name);
    RegionPlan planned = plan(*entry, start, end, bounds);
    if (bounds == Bounds::Batch && planned.kind == RegionPlan::Kind::OutOfBounds)
        return invalid_region(name, start, end, entry->rlen);
    return planned;
}

FaidxError invalid_region(std::string_view name, std::uint64_t start, std::uint64_t end,
                          std::uint64_t length) {
    return FaidxError::region("Invalid region " + std::string(name) + ":" + std::to_string(start) +
                              "-" + std::to_string(end) + " (sequence length: " +
                              std::to_string(length) + ")");
}

}  // namespace nucla::engine
