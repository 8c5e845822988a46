// Batches of regions: one driver for every consumer (Python strs, numpy arrays, the
// command-line tool). A sink plans each region (Faidx::plan), decides where its bases go and
// reads them there (Faidx::window, Faidx::extract, then the finishing step); the driver decides
// which thread reads what, in what order, and when to stop, as the caller's Execution says.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/reader.hpp"
#include "engine/execution.hpp"
#include "engine/sequence.hpp"

namespace nucla::engine {

// Batches of this many regions or more gain from running in parallel.
inline constexpr std::size_t kParallelThreshold = 1000;

// The Execution the engine advises for a batch of n regions.
inline Execution batch_execution(std::size_t n, Interrupt* interrupt = nullptr) {
    return Execution{n >= kParallelThreshold, true, interrupt};
}

class BatchSink {
public:
    // On the caller's thread, in request order: plans region i (and makes its destination).
    // False stops the batch before region i; the sink keeps why.
    virtual bool prepare(std::size_t i) = 0;
    // The bytes region i reads (Faidx::span_of its plan), once prepared; empty when it reads
    // none. Sources that are not memory-mapped are read in the order of their first bytes, so
    // that each block is read or decompressed once for all the regions in it, however the
    // request is ordered, and a remote file's blocks are gathered for them before any is read.
    virtual ByteSpan span(std::size_t i) const = 0;
    // On any thread, once region i is prepared: reads and finishes its bases. Must not throw
    // anything but std::bad_alloc (which ends the batch and is rethrown by run_batch).
    virtual void fill(std::size_t i, ReadScratch& scratch) = 0;

protected:
    ~BatchSink() = default;
};

struct BatchRun {
    std::size_t prepared = 0;  // regions [0, prepared) were prepared
    bool stopped = false;      // `interrupt` (or a Callback error) stopped the batch (some
                               // regions may be unfilled)
};

// Prepares and fills regions [0, n) of `faidx`. With execution.parallel, on the worker pool:
// where the source reads in any order the caller's thread prepares while the workers fill what
// is prepared; otherwise every region is prepared first, then filled in file order. Without it
// everything happens on the caller's thread, region by region. A remote file's regions are all
// prepared first, then, round by round, their blocks gathered on the caller's thread and the
// round's regions filled (on the pool with execution.parallel); a round that could not be
// gathered fails each of its regions' reads with its error, and one whose client reports an
// error of its own (Callback) stops the batch. execution.interrupt (polled on the caller's
// thread) may stop it.
BatchRun run_batch(const Faidx& faidx, std::size_t n, BatchSink& sink, const Execution& execution);

struct Region {
    std::string_view name;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// Fetches every region with the batch policy (silent clamping; see plan_batch_fetch), on the
// worker pool when there are many; outcome i belongs to region i.
std::vector<Result<Sequence>> fetch_many(const Faidx& faidx, const std::vector<Region>& regions);
std::vector<Result<Sequence>> fetch_many(const Faidx& faidx, const std::vector<Region>& regions,
                                         const Execution& execution);

// A region planned already, by any of the policies, and the name its value carries.
struct PlannedRegion {
    std::string_view name;
    Result<RegionPlan> plan;
};

// The values of planned regions, as fetch_many makes them (a failed or OutOfBounds plan is the
// region's error, the latter the batch policy's Region error).
std::vector<Result<Sequence>> fetch_planned(const Faidx& faidx,
                                            const std::vector<PlannedRegion>& regions);

}  // namespace nucla::engine
