// libFuzzer targets for the engine, selected at build time:
//   NUCLA_FUZZ_INDEX  the .fai reader on arbitrary bytes
//   NUCLA_FUZZ_SCAN   the FASTA scanner on arbitrary bytes
//   NUCLA_FUZZ_FETCH  fetches with arbitrary coordinates and options against an arbitrary
//                     (foreign) index over a small arbitrary FASTA
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "engine/faidx.hpp"
#include "engine/index.hpp"

using namespace nucla::engine;

namespace {

// Pulls fixed-size values off the end of the input, leaving the rest as payload.
struct Input {
    const std::uint8_t* data;
    std::size_t size;

    template <class T>
    T take() {
        T value{};
        if (size >= sizeof(T)) {
            size -= sizeof(T);
            std::memcpy(&value, data + size, sizeof(T));
        }
        return value;
    }
};

#if defined(NUCLA_FUZZ_FETCH)
void write_file(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void exercise(const Faidx& faidx, std::uint64_t start, std::uint64_t end) {
    ReadScratch scratch;
    for (const Index::Row& row : faidx.index().rows()) {
        for (auto plan : {faidx.plan_batch_fetch(row.name, start, end), faidx.plan_entire(row.name)}) {
            try {
                auto seq = faidx.realize(row.name, plan, scratch);
                if (seq.ok() && plan.ok() && plan->kind == RegionPlan::Kind::Extract &&
                    seq->seq.size() > plan->count() * faidx.options().default_seq.value_or("x").size())
                    std::abort();  // never more bases than asked for (padding aside)
            } catch (const std::bad_alloc&) {
                // Padding that cannot fit in memory is reported, not a crash.
            }
        }
    }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#if defined(NUCLA_FUZZ_INDEX)
    const auto* text = reinterpret_cast<const char*>(data);
    auto index = Index::parse(Index::Text(text, text + size));
    if (index.ok()) {
        // Every name read is found again, with its row's entry (the last row of a repeated
        // name; the merged row in key order carries that same entry).
        for (const Index::Row& row : index->rows()) {
            const IndexEntry* found = index->find(row.name);
            if (!found || found->rlen != row.entry.rlen || found->offset != row.entry.offset ||
                found->lenc != row.entry.lenc || found->lenb != row.entry.lenb)
                std::abort();
        }
    }
#elif defined(NUCLA_FUZZ_SCAN)
    auto rows = scan_fasta(std::string_view(reinterpret_cast<const char*>(data), size));
    if (rows.ok()) {
        // What the scanner writes, the reader reads back unchanged.
        auto back = parse_index(format_index(*rows));
        if (!back.ok() || back->size() != rows->size()) std::abort();
    }
#elif defined(NUCLA_FUZZ_FETCH)
    Input in{data, size};
    const auto start = in.take<std::uint64_t>() % 4096;
    const auto end = in.take<std::uint64_t>() % 4096;
    const auto flags = in.take<std::uint8_t>();
    const auto split = in.take<std::uint16_t>();
    const std::string_view payload(reinterpret_cast<const char*>(in.data), in.size);
    const std::size_t cut = payload.empty() ? 0 : split % (payload.size() + 1);
    static const std::string dir = [] {
        std::string d = "/tmp/nucla-fuzz-" + std::to_string(::getpid());
        ::mkdir(d.c_str(), 0700);
        return d;
    }();
    const std::string fasta = dir + "/x.fa";
    write_file(fasta, payload.substr(cut));
    write_file(fasta + ".fai", payload.substr(0, cut));
    Options opt;
    opt.rebuild = false;
    opt.strict_bounds = flags & 1;
    opt.sequence_always_upper = flags & 2;
    opt.as_raw = flags & 4;
    opt.one_based_attributes = flags & 8;
    opt.mutable_file = flags & 16;
    if (flags & 32) opt.default_seq = (flags & 64) ? "NN" : "N";
    auto faidx = Faidx::open(fasta, opt);
    if (faidx.ok()) exercise(**faidx, start, end);
#endif
    return 0;
}
