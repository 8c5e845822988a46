// libFuzzer targets for the engine, selected at build time:
//   NUCLA_FUZZ_INDEX  the .fai reader on arbitrary bytes, in one pass and in parts
//   NUCLA_FUZZ_SCAN   the FASTA scanner on arbitrary bytes
//   NUCLA_FUZZ_FETCH  fetches with arbitrary coordinates and options against an arbitrary
//                     (foreign) index over a small arbitrary FASTA, each copied in one pass
//                     and in pieces, and read again from the same FASTA in BGZF blocks;
//                     now and then also as a batch on the pool; and as byte arrays
// The shared paths (in parts, in pieces) are reached with small inputs by lowering the sizes
// from which they are taken, and must give what the one-thread paths give.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "engine/arrays.hpp"
#include "engine/bgzf_writer.hpp"
#include "engine/index.hpp"
#include "engine/reader.hpp"
#include "engine/run.hpp"
#include "read/bgzf.hpp"
#include "read/source.hpp"
#include "run/pool.hpp"

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

// A pool of three threads, whatever the machine has, for the shared paths.
[[maybe_unused]] const bool pool_sized = (set_pool_size(3), true);

#if defined(NUCLA_FUZZ_INDEX)
Result<Index> parse_from(std::string_view text, std::size_t shared_bytes, std::size_t& skipped) {
    share_sizes().index_bytes = shared_bytes;
    return Index::parse(Index::Text(text.begin(), text.end()), &skipped);
}

bool same_entry(const IndexEntry* a, const IndexEntry& b) {
    return a && a->rlen == b.rlen && a->offset == b.offset && a->lenc == b.lenc &&
           a->lenb == b.lenb;
}
#endif

#if defined(NUCLA_FUZZ_FETCH)
void write_file(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// "+" and the bases, or "-" and the error (for an I/O error, without the path of the file,
// which differs between the files compared).
std::string describe(const Result<Sequence>& seq) {
    if (seq.ok()) return "+" + seq.value().seq;
    const FaidxError& e = seq.error();
    if (e.kind() == FaidxError::Kind::Io) return "-io " + e.io_error().text();
    return "-" + e.display();
}

// What a fetch gives.
std::string outcome(const Faidx& faidx, std::string_view name, const Result<RegionPlan>& plan) {
    auto seq = std::move(fetch_planned(faidx, {{name, plan}}).front());
    const std::size_t pad = faidx.options().default_seq.value_or("x").size();
    if (seq.ok() && plan.ok() && plan.value().kind == RegionPlan::Kind::Extract &&
        seq->seq.size() > plan.value().count() * pad)
        std::abort();  // never more bases than asked for (padding aside)
    return describe(seq);
}

// A batch large enough to run on the pool gives what its regions fetched one by one give.
void compare_batch(const Faidx& faidx, std::uint64_t start, std::uint64_t end) {
    const auto& rows = faidx.index().rows();
    if (rows.empty()) return;
    std::vector<Region> regions;
    for (std::uint64_t k = 0; k < kParallelThreshold; ++k)
        regions.push_back({rows[k % rows.size()].name, (start + 7 * k) % 4096,
                           (end + 13 * k) % 4096});
    try {
        const auto batch = fetch_many(faidx, regions);
        for (std::size_t k = 0; k < regions.size(); ++k) {
            const Region& r = regions[k];
            if (describe(batch[k]) !=
                outcome(faidx, r.name, faidx.plan(r.name, r.start, r.end, Bounds::Batch)))
                std::abort();
        }
    } catch (const std::bad_alloc&) {
    }
}

// `data` in BGZF blocks of `block` bytes each (stored, not deflated: they inflate all the
// same), then the end-of-file block.
std::string as_bgzf(std::string_view data, std::size_t block) {
    std::string out;
    const auto le = [&out](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    for (std::size_t at = 0; at < data.size(); at += block) {
        const std::string_view part = data.substr(at, block);
        const auto n = static_cast<std::uint32_t>(part.size());
        const std::size_t begin = out.size();
        out.append("\x1f\x8b\x08\x04\0\0\0\0\0\xff", 10);  // gzip, with an extra field
        le(6, 2);
        out += "BC";
        le(2, 2);
        le(static_cast<std::uint32_t>(12 + 6 + 5 + n + 8 - 1), 2);  // the block's size, less one
        out += '\x01';  // the last deflate block, stored
        le(n, 2);
        le(~n & 0xffff, 2);
        out += part;
        le(gzip_crc32(part), 4);
        le(n, 4);
        if (out.size() - begin != 12 + 6 + 5 + n + 8) std::abort();
    }
    return out += bgzf_eof_block();
}

// What the same fetches give from two ways of reading the same bases.
void compare(const Faidx& one, const Faidx& other, std::uint64_t start, std::uint64_t end) {
    for (const Index::Row& row : one.index().rows()) {
        try {
            for (bool entire : {false, true}) {
                const auto plan = [&](const Faidx& f) {
                    return entire ? f.plan(row.name, 0, 0, Bounds::Entire)
                                  : f.plan(row.name, start, end, Bounds::Batch);
                };
                if (outcome(one, row.name, plan(one)) != outcome(other, row.name, plan(other)))
                    std::abort();
            }
        } catch (const std::bad_alloc&) {
        }
    }
}

// Each row's region, 0-based and half-open, reaching past either end of the row, as a byte
// array: N for the parts outside the row, then the bases a fetch of the part inside gives,
// then N for those the index promises but the file does not hold.
void compare_arrays(const Faidx& faidx, std::uint64_t start, std::uint64_t end) {
    const auto& rows = faidx.index().rows();
    std::vector<ArrayRegion> regions;
    for (const Index::Row& row : rows) {
        const auto lo = static_cast<std::int64_t>(start % 4096) - 8;
        regions.push_back({&row.entry, lo, lo + static_cast<std::int64_t>(end % 64), false});
    }
    ArrayFormat format;
    format.upper = faidx.options().sequence_always_upper;
    std::vector<std::int64_t> offsets{0};
    for (const ArrayRegion& r : regions) offsets.push_back(offsets.back() + (r.end - r.start));
    std::string out(static_cast<std::size_t>(offsets.back()), '\0');
    const auto run = fill_regions(faidx, regions, ArrayLayout{offsets.data(), 0}, format,
                                  reinterpret_cast<std::uint8_t*>(out.data()), Execution{});
    if (run.failure) return;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ArrayRegion& r = regions[i];
        const auto rlen = static_cast<std::int64_t>(
            std::min<std::uint64_t>(rows[i].entry.rlen, INT64_MAX));
        const std::int64_t lo = std::max<std::int64_t>(r.start, 0);
        const std::int64_t hi = std::min(r.end, rlen);
        std::string expected;
        if (lo < hi) {
            const auto plan = faidx.plan(rows[i].name, static_cast<std::uint64_t>(lo + 1),
                                         static_cast<std::uint64_t>(hi), Bounds::Batch);
            auto seq = std::move(fetch_planned(faidx, {{rows[i].name, plan}}).front());
            if (!seq.ok()) continue;
            expected = std::string(static_cast<std::size_t>(lo - r.start), 'N') + seq->seq;
        }
        expected.resize(static_cast<std::size_t>(r.end - r.start), 'N');
        if (out.compare(static_cast<std::size_t>(offsets[i]), expected.size(), expected) != 0)
            std::abort();
    }
}

void exercise(const Faidx& faidx, std::uint64_t start, std::uint64_t end,
              std::size_t piece_bases) {
    for (const Index::Row& row : faidx.index().rows()) {
        for (auto plan : {faidx.plan(row.name, start, end, Bounds::Batch),
                          faidx.plan(row.name, 0, 0, Bounds::Entire)}) {
            try {
                share_sizes() = ShareSizes{};
                const std::string one_pass = outcome(faidx, row.name, plan);
                share_sizes().fetch_bases = 1;
                share_sizes().piece_bases = piece_bases;
                if (outcome(faidx, row.name, plan) != one_pass) std::abort();
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
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t skipped = 0, skipped_in_parts = 0;
    auto index = parse_from(text, SIZE_MAX, skipped);
    auto in_parts = parse_from(text, 0, skipped_in_parts);
    if (index.ok() != in_parts.ok()) std::abort();
    if (!index.ok()) {
        // The same first faulty row decides.
        if (index.error().display() != in_parts.error().display()) std::abort();
    } else {
        if (index->size() != in_parts->size() || skipped != skipped_in_parts ||
            index->last_byte() != in_parts->last_byte())
            std::abort();
        // Every name read is found again, with its row's entry (the last row of a repeated
        // name; the merged row in key order carries that same entry), in both.
        for (const Index::Row& row : index->rows())
            if (!same_entry(index->find(row.name), row.entry) ||
                !same_entry(in_parts->find(row.name), row.entry))
                std::abort();
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
    const std::size_t piece_bases = 1 + in.take<std::uint8_t>() % 128;
    const std::size_t block = 1 + in.take<std::uint8_t>();
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
    opt.mutable_file = flags & 16;
    if (flags & 32) opt.default_seq = (flags & 64) ? "NN" : "N";
    auto faidx = Faidx::open(fasta, opt);
    if (faidx.ok()) exercise(**faidx, start, end, piece_bases);
    // (With the sizes still lowered, the arrays' copies are shared too.)
    if (faidx.ok() && !opt.default_seq) compare_arrays(**faidx, start, end);
    share_sizes() = ShareSizes{};

    // A map, a handle and BGZF all read on to the end of the data where the layout does not
    // hold: the three give the same bases.
    const std::string gz = dir + "/y.fa.gz";
    write_file(gz, as_bgzf(payload.substr(cut), block));
    write_file(gz + ".fai", payload.substr(0, cut));
    ::unlink((gz + ".gzi").c_str());
    opt.mutable_file = false;
    auto compressed = Faidx::open(gz, opt);
    opt.mutable_file = true;
    auto handle = Faidx::open(fasta, opt);
    if (handle.ok() != compressed.ok()) std::abort();
    if (handle.ok()) compare(**handle, **compressed, start, end);
    if (handle.ok() && faidx.ok() && !(flags & 16)) compare(**faidx, **handle, start, end);
    if (flags & 128) {
        for (auto* f : {&faidx, &handle, &compressed})
            if (f->ok()) compare_batch(***f, start, end);
    }
#endif
    return 0;
}
