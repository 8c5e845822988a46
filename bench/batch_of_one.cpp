// What a single fetch would pay to run as a batch of one through the engine's driver, against
// the direct path it takes (the same plan, window, extract and finishing calls, without a sink
// or the driver). Random 100-base regions of a FASTA, five rounds:
//
//   c++ -O2 -std=c++20 -I src/engine/api -I src/engine bench/batch_of_one.cpp
//       build/rel/libnucla_engine.a -ldeflate -lpthread -o /tmp/batch_of_one   (one line)
//   /tmp/batch_of_one ~/.cache/nucla-bench/genome.fa
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include "engine/reader.hpp"
#include "engine/run.hpp"

using namespace nucla::engine;
namespace {
// A str-like sink of one region: the same work a one-region batch does.
class OneSink final : public BatchSink {
public:
    OneSink(const Faidx& f, const RegionPlan& p, std::string& out) : f_(f), p_(p), out_(out) {}
    bool prepare(std::size_t) override {
        auto w = f_.window(p_);
        if (!w.ok()) return false;
        w_ = *w;
        out_.resize(w_.capacity);
        return true;
    }
    std::uint64_t position(std::size_t) const override { return w_.pos; }
    void fill(std::size_t, ReadScratch& scratch) override {
        auto got = f_.extract(w_, out_.data(), scratch);
        if (got.ok()) f_.finish_in_place(out_.data(), got->size);
    }
private:
    const Faidx& f_;
    const RegionPlan& p_;
    std::string& out_;
    ExtractionWindow w_;
};
}
int main(int, char** argv) {
    auto f = Faidx::open(argv[1], Options{});
    const Faidx& fa = **f;
    std::mt19937_64 rng(1);
    std::vector<RegionPlan> plans;
    const auto& rows = fa.index().rows();
    for (int i = 0; i < 200000; ++i) {
        const auto& row = rows[rng() % rows.size()];
        if (row.entry.rlen < 200) { --i; continue; }
        std::uint64_t s = 1 + rng() % (row.entry.rlen - 100);
        plans.push_back(fa.plan(row.entry, s, s + 99, Bounds::Single));
    }
    std::string out;
    for (int round = 0; round < 5; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        std::size_t sum = 0;
        for (const auto& p : plans) {
            auto w = fa.window(p);
            out.resize(w->capacity);
            auto got = fa.extract(*w, out.data(), thread_scratch());
            fa.finish_in_place(out.data(), got->size);
            sum += out[0];
        }
        auto t1 = std::chrono::steady_clock::now();
        for (const auto& p : plans) {
            OneSink sink(fa, p, out);
            run_batch(fa, 1, sink, Execution{false, true, nullptr});
            sum += out[0];
        }
        auto t2 = std::chrono::steady_clock::now();
        std::printf("direct %.1f ns  batch-of-one %.1f ns  (%zu)\n",
                    std::chrono::duration<double, std::nano>(t1 - t0).count() / plans.size(),
                    std::chrono::duration<double, std::nano>(t2 - t1).count() / plans.size(), sum);
    }
}
