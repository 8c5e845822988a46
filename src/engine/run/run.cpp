#include "engine/run.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <optional>

#include "read/remote.hpp"
#include "read/source.hpp"
#include "run/pool.hpp"

namespace nucla::engine {

namespace {

// The caller's thread looks at its Interrupt once every this many regions it prepares.
constexpr std::size_t kPollEvery = 64;

// std::stable_sort in steps (sorted runs, then merges of ever longer runs), polling `interrupt`
// between them: sorting millions of regions takes long enough for Ctrl-C to matter.
template <class Less>
void stable_sort_polling(std::vector<std::size_t>& v, Less less, Interrupt* interrupt) {
    constexpr std::size_t kRun = std::size_t{1} << 14;
    const auto going = [&] { return !interrupt || interrupt->keep_going(); };
    const std::size_t n = v.size();
    for (std::size_t i = 0; i < n; i += kRun) {
        std::stable_sort(v.begin() + i, v.begin() + std::min(n, i + kRun), less);
        if (!going()) return;
    }
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t i = 0; n - i > width; i += std::min(n - i, 2 * width)) {
            const auto first = v.begin() + i;
            std::inplace_merge(first, first + width, first + std::min(n - i, 2 * width), less);
            if (!going()) return;
        }
    }
}

BatchRun run_serial(std::size_t n, BatchSink& sink, Interrupt* interrupt) {
    BatchRun run;
    ReadScratch& scratch = thread_scratch();
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kPollEvery == 0 && interrupt && !interrupt->keep_going()) {
            run.stopped = true;
            break;
        }
        if (!sink.prepare(i)) break;
        run.prepared = i + 1;
        sink.fill(i, scratch);
    }
    return run;
}

// Regions [0, count) prepared on the caller's thread, and their order by where their bytes
// begin (each region's span asked once), unless the batch was stopped first.
struct Prepared {
    std::size_t count = 0;
    std::vector<std::size_t> order;
    std::vector<ByteSpan> spans;
};

Prepared prepare_in_file_order(std::size_t n, BatchSink& sink, Interrupt* interrupt) {
    Prepared p;
    for (; p.count < n; ++p.count) {
        if (p.count % kPollEvery == 0 && interrupt && !interrupt->keep_going()) break;
        if (!sink.prepare(p.count)) break;
    }
    if (interrupt && interrupt->stopped()) return p;
    p.order.resize(p.count);
    p.spans.resize(p.count);
    for (std::size_t i = 0; i < p.count; ++i) {
        p.order[i] = i;
        p.spans[i] = sink.span(i);
    }
    stable_sort_polling(
        p.order,
        [&](std::size_t a, std::size_t b) { return p.spans[a].begin < p.spans[b].begin; },
        interrupt);
    return p;
}

// Every region planned first, then read in file order.
BatchRun run_ordered(std::size_t n, BatchSink& sink, Interrupt* interrupt) {
    const auto stopped = [&] { return interrupt && interrupt->stopped(); };
    const Prepared p = prepare_in_file_order(n, sink, interrupt);
    if (!stopped()) {
        parallel_for(
            p.order.size(),
            [&](std::size_t begin, std::size_t end) {
                ReadScratch& scratch = thread_scratch();
                for (std::size_t k = begin; k < end; ++k) sink.fill(p.order[k], scratch);
            },
            interrupt);
    }
    return BatchRun{p.count, stopped()};
}

// The caller's thread prepares while the workers fill the regions already prepared, so the
// two overlap.
BatchRun run_overlapped(std::size_t n, BatchSink& sink, Interrupt* interrupt) {
    std::atomic<std::size_t> published{0};  // regions below this are prepared
    std::atomic<std::size_t> limit{n};      // regions from here on are not needed
    const auto produce = [&] {
        // However the loop ends (a refused region, an interruption, an exception), the workers
        // waiting for regions must learn that nothing more will come.
        struct PublishAll {
            std::atomic<std::size_t>& published;
            std::size_t n;
            ~PublishAll() {
                published.store(n, std::memory_order_release);
                published.notify_all();
            }
        } publish_all{published, n};
        constexpr std::size_t kPublishEvery = 64;
        for (std::size_t i = 0; i < n; ++i) {
            if ((i % kPollEvery == 0 && interrupt && !interrupt->keep_going()) ||
                !sink.prepare(i)) {
                limit.store(i, std::memory_order_relaxed);
                return;
            }
            if ((i + 1) % kPublishEvery == 0) {
                published.store(i + 1, std::memory_order_release);
                published.notify_all();
            }
        }
    };
    // `limit` is lowered before everything is published, so a worker that has waited for a
    // region it may not fill sees it.
    parallel_for(
        n,
        [&](std::size_t begin, std::size_t end) {
            ReadScratch& scratch = thread_scratch();
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t seen; (seen = published.load(std::memory_order_acquire)) <= i;)
                    published.wait(seen, std::memory_order_acquire);
                if (i >= limit.load(std::memory_order_relaxed)) return;
                sink.fill(i, scratch);
            }
        },
        produce, interrupt);
    return BatchRun{limit.load(), interrupt && interrupt->stopped()};
}

// A remote file's regions: every one prepared, then round by round (in file order) the blocks
// they read gathered on this thread, which alone may fetch, and the round's regions filled.
BatchRun run_gathered(const Source& source, std::size_t n, BatchSink& sink,
                      const Execution& execution) {
    Interrupt* const interrupt = execution.interrupt;
    const auto stopped = [&] { return interrupt && interrupt->stopped(); };
    const Prepared p = prepare_in_file_order(n, sink, interrupt);
    const BatchRun stop{p.count, true};
    if (stopped()) return stop;
    const std::vector<std::size_t>& order = p.order;
    std::vector<ByteSpan> sorted(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) sorted[k] = p.spans[order[k]];
    Gathered round;
    for (std::size_t k = 0; k < order.size();) {
        const std::size_t count = source.gather(sorted, k, round);
        if (round.failure && round.failure->kind() == FaidxError::Kind::Callback)
            return stop;
        if (interrupt && !interrupt->keep_going()) return stop;
        const auto fill = [&](std::size_t begin, std::size_t end) {
            ReadScratch& scratch = thread_scratch();
            scratch.gathered = &round;
            struct Release {
                ReadScratch& scratch;
                ~Release() {
                    scratch.gathered = nullptr;
                    scratch.held.reset();
                }
            } release{scratch};
            for (std::size_t j = begin; j < end; ++j) sink.fill(order[k + j], scratch);
        };
        if (execution.parallel) {
            parallel_for(count, fill, interrupt);
        } else {
            fill(0, count);
        }
        if (stopped()) return stop;
        k += count;
    }
    return BatchRun{p.count, false};
}

}  // namespace

BatchRun run_batch(const Faidx& faidx, std::size_t n, BatchSink& sink,
                   const Execution& execution) {
    Interrupt* const interrupt = execution.interrupt;
    if (faidx.source().gathers()) return run_gathered(faidx.source(), n, sink, execution);
    if (!execution.parallel) return run_serial(n, sink, interrupt);
    if (faidx.source().ordered()) return run_ordered(n, sink, interrupt);
    return run_overlapped(n, sink, interrupt);
}

namespace {

// Engine Sequence values, region i planned by plan(i, name), which also names its value. An
// OutOfBounds plan is the batch policy's Region error.
class SequenceSink final : public BatchSink {
public:
    using Planner = std::function<Result<RegionPlan>(std::size_t, std::string_view&)>;

    SequenceSink(const Faidx& faidx, std::size_t n, Planner plan)
        : faidx_(faidx), plan_(std::move(plan)), slots_(n) {}

    bool prepare(std::size_t i) override {
        Slot& slot = slots_[i];
        try {
            std::string_view name;
            Result<RegionPlan> plan = plan_(i, name);
            if (!plan.ok()) return fail(slot, plan.take_error());
            if (plan->kind == RegionPlan::Kind::OutOfBounds)
                return fail(slot, invalid_region(name, plan->start, plan->end, plan->entry->rlen));
            slot.plan = std::move(plan).value();
            slot.value.name.assign(name);
            slot.value.start = slot.plan.start;
            slot.value.end = slot.plan.end;
            if (slot.plan.kind != RegionPlan::Kind::Extract) return true;
            Result<ExtractionWindow> window = faidx_.window(slot.plan);
            if (!window.ok()) return fail(slot, window.take_error());
            slot.window = *window;
            slot.value.seq.resize(slot.window.capacity);
            slot.read = true;
        } catch (const std::bad_alloc&) {
            return fail(slot, FaidxError::io_errno(ENOMEM));
        }
        return true;
    }

    ByteSpan span(std::size_t i) const override {
        return slots_[i].read ? faidx_.span_of(slots_[i].plan) : ByteSpan{};
    }

    void fill(std::size_t i, ReadScratch& scratch) override {
        Slot& slot = slots_[i];
        if (!slot.read) return;
        slot.filled = true;
        try {
            Result<Extracted> got = faidx_.extract(slot.window, slot.value.seq.data(), scratch);
            if (!got.ok()) {
                fail(slot, got.take_error());
                return;
            }
            slot.value.seq.resize(got->size);
            faidx_.finish_bases(slot.value.seq, slot.plan);
        } catch (const std::bad_alloc&) {
            fail(slot, FaidxError::io_errno(ENOMEM));
        }
    }

    // The outcomes; a region that a stopped batch left unread is an error, never empty bases.
    std::vector<Result<Sequence>> results(const BatchRun& run) {
        std::vector<Result<Sequence>> out;
        out.reserve(slots_.size());
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            Slot& slot = slots_[i];
            if (!slot.error && (i >= run.prepared || (slot.read && !slot.filled)))
                slot.error.emplace(FaidxError::io(IoError::other("the batch was stopped")));
            if (slot.error) {
                out.push_back(std::move(*slot.error));
            } else {
                out.push_back(std::move(slot.value));
            }
        }
        return out;
    }

private:
    struct Slot {
        RegionPlan plan;
        ExtractionWindow window;
        Sequence value;
        std::optional<FaidxError> error;
        bool read = false;
        bool filled = false;
    };

    // A region that fails does not stop the others.
    static bool fail(Slot& slot, FaidxError error) {
        slot.error.emplace(std::move(error));
        slot.read = false;
        return true;
    }

    const Faidx& faidx_;
    Planner plan_;
    std::vector<Slot> slots_;
};

std::vector<Result<Sequence>> run_sequences(const Faidx& faidx, std::size_t n,
                                            SequenceSink::Planner plan,
                                            const Execution& execution) {
    SequenceSink sink(faidx, n, std::move(plan));
    const BatchRun run = run_batch(faidx, n, sink, execution);
    return sink.results(run);
}

}  // namespace

std::vector<Result<Sequence>> fetch_many(const Faidx& faidx, const std::vector<Region>& regions,
                                         const Execution& execution) {
    return run_sequences(
        faidx, regions.size(),
        [&](std::size_t i, std::string_view& name) {
            const Region& r = regions[i];
            name = r.name;
            return faidx.plan(r.name, r.start, r.end, Bounds::Batch);
        },
        execution);
}

std::vector<Result<Sequence>> fetch_many(const Faidx& faidx, const std::vector<Region>& regions) {
    return fetch_many(faidx, regions, batch_execution(regions.size()));
}

std::vector<Result<Sequence>> fetch_planned(const Faidx& faidx,
                                            const std::vector<PlannedRegion>& regions) {
    return run_sequences(
        faidx, regions.size(),
        [&](std::size_t i, std::string_view& name) {
            name = regions[i].name;
            return regions[i].plan;
        },
        batch_execution(regions.size()));
}

}  // namespace nucla::engine
