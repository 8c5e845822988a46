#include "engine/arrays.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "bounds.hpp"
#include "engine/run.hpp"
#include "engine/sequence.hpp"
#include "index/layout.hpp"
#include "read/source.hpp"
#include "run/encode.hpp"

namespace nucla::engine {

namespace {


class ArraySink final : public BatchSink {
public:
    ArraySink(const Faidx& faidx, const std::vector<ArrayRegion>& regions, ArrayLayout layout,
              const ArrayFormat& format, std::uint8_t* out, const Execution& execution)
        : faidx_(faidx),
          execution_(execution),
          prefetch_(!faidx.source().ordered()),
          regions_(regions),
          layout_(layout),
          format_(format),
          encoder_(format, faidx.options().sequence_always_upper),
          out_(out) {
        if (faidx.source().ordered()) spans_.resize(regions.size());
    }

    bool prepare(std::size_t i) override {
        if (!spans_.empty()) spans_[i] = faidx_.span_of(planned(regions_[i]));
        return true;
    }

    ByteSpan span(std::size_t i) const override { return spans_[i]; }

    void fill(std::size_t i, ReadScratch& scratch) override {
        // Ask for a later region's bytes while this one is copied.
        if (prefetch_ && i + 2 < regions_.size()) prefetch(regions_[i + 2]);
        const ArrayRegion& r = regions_[i];
        std::size_t first, count;
        if (layout_.offsets) {
            first = static_cast<std::size_t>(layout_.offsets[i]);
            count = static_cast<std::size_t>(layout_.offsets[i + 1] - layout_.offsets[i]);
        } else {
            count = static_cast<std::size_t>(layout_.length);
            first = i * count;
        }
        std::uint8_t* row = out_ + first * format_.base_bytes();
        char* bases = reinterpret_cast<char*>(row);
        // One-hot codes are made from the bases in a buffer of their own: the thread keeps it
        // for the windows models take, and frees one made for a longer region at once.
        std::unique_ptr<char[]> long_bases;
        if (format_.encoding == Encoding::OneHot) {
            thread_local std::string buffer;
            if (count <= kKeptBases) {
                if (buffer.size() < count) buffer.resize(count);
                bases = buffer.data();
            } else {
                long_bases.reset(new char[count]);
                bases = long_bases.get();
            }
        }
        const RegionPlan plan = planned(r);
        const auto left = static_cast<std::size_t>(plan.lead);
        std::memset(bases, 'N', left);
        std::size_t got = 0;
        if (plan.kind == RegionPlan::Kind::Extract) {
            Result<ExtractionWindow> window = faidx_.window(plan);
            if (!window.ok()) return fail(i, window.take_error());
            Result<Extracted> extracted =
                faidx_.extract(*window, bases + left, scratch, execution_.share);
            if (!extracted.ok()) return fail(i, extracted.take_error());
            got = extracted->size;
        }
        // Bases an index promises but the file does not hold read as padding too.
        std::memset(bases + left + got, 'N', count - left - got);
        encoder_.finish(bases, count, r.minus, row);
    }

    std::optional<RegionFailure> failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(failure_);
    }

private:
    RegionPlan planned(const ArrayRegion& r) const {
        return padded_plan(*r.entry, r.start, r.end);
    }

    // Starts loading the first lines of a region's bytes into the cache: regions lie at random
    // in a large file, so each one's bytes are far from any cache.
    void prefetch(const ArrayRegion& r) const {
        const RegionPlan plan = planned(r);
        if (plan.kind != RegionPlan::Kind::Extract) return;
        const std::optional<std::uint64_t> pos = base_position(*plan.entry, plan.start - 1);
        if (pos) faidx_.source().prefetch(*pos, regular_span(*plan.entry, plan.count()));
    }

    void fail(std::size_t i, FaidxError error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_ || i < failure_->region) failure_.emplace(RegionFailure{i, std::move(error)});
    }

    const Faidx& faidx_;
    const Execution execution_;
    const bool prefetch_;  // the source reads in place, where a hint helps
    const std::vector<ArrayRegion>& regions_;
    const ArrayLayout layout_;
    const ArrayFormat& format_;
    const Encoder encoder_;
    std::uint8_t* const out_;
    std::vector<ByteSpan> spans_;  // for reading in file order
    std::mutex mutex_;
    std::optional<RegionFailure> failure_;
};

}  // namespace

ArrayRun fill_regions(const Faidx& faidx, const std::vector<ArrayRegion>& regions,
                      ArrayLayout layout, const ArrayFormat& format, std::uint8_t* out,
                      const Execution& execution) {
    ArraySink sink(faidx, regions, layout, format, out, execution);
    const BatchRun run = run_batch(faidx, regions.size(), sink, execution);
    return ArrayRun{sink.failure(), run.stopped};
}

}  // namespace nucla::engine
