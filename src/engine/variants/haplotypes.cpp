// Haplotypes: the variant step between the reference's bases and the array sink. Planning (on
// the caller's thread) reads each region's records and checks them against the reference;
// filling (on the pool) reads each region's reference bases once and writes every haplotype of
// it, choosing its variants again as planning did.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "engine/run.hpp"
#include "engine/variants.hpp"
#include "read/source.hpp"
#include "run/encode.hpp"
#include "variants/records.hpp"

namespace nucla::engine {

namespace {


// An allele that names no sequence: symbolic (<DEL>, <*>), the deletion placeholder *, a
// breakend (G]17:198982], .A) or nothing.
bool symbolic(std::string_view allele) {
    if (allele.empty() || allele[0] == '<' || allele == "*") return true;
    if (allele.find_first_of("[]") != std::string_view::npos) return true;
    return allele.size() > 1 && (allele.front() == '.' || allele.back() == '.');
}

// A variant chosen for one haplotype: REF's positions [pos, end) give `alt`, and `tail` after
// it (an insertion that shares its anchor with this variant's last position).
struct Edit {
    std::int64_t pos;
    std::int64_t end;
    std::string_view alt;
    std::string_view tail;
};

// What reference position pos + k of an edit gives (see variants.hpp).
std::string_view piece(const Edit& e, std::int64_t k) {
    const auto la = static_cast<std::int64_t>(e.alt.size());
    if (k >= la) return {};
    if (k < e.end - e.pos - 1) return e.alt.substr(static_cast<std::size_t>(k), 1);
    return e.alt.substr(static_cast<std::size_t>(k));
}

// The records of one region: [first, last) of the plan's set.
struct Span {
    std::size_t first = 0;
    std::size_t last = 0;
};

// Where the bases of positions go as a haplotype is walked: counted, or copied.
class Output {
public:
    // Counts at most `room` bases; copies them to `dst` too when it is given, reference bases
    // from `ref` (the bases of positions from `ref_pos` on).
    Output(std::uint64_t room, char* dst, const char* ref, std::int64_t ref_pos)
        : room_(room), dst_(dst), ref_(ref), ref_pos_(ref_pos) {}

    bool full() const { return taken_ == room_; }
    std::uint64_t taken() const { return taken_; }

    // Reference positions [a, b); the first position not taken (b when all were).
    std::int64_t reference(std::int64_t a, std::int64_t b) {
        if (b <= a) return a;
        // (b - a as unsigned: b may be INT64_MAX and a negative.)
        const std::uint64_t n = std::min<std::uint64_t>(
            static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a), room_ - taken_);
        if (dst_ && n) std::memcpy(dst_ + taken_, ref_ + (a - ref_pos_), n);
        taken_ += n;
        return a + static_cast<std::int64_t>(n);
    }
    void literal(std::string_view bases) {
        const std::uint64_t n = std::min<std::uint64_t>(bases.size(), room_ - taken_);
        if (dst_ && n) std::memcpy(dst_ + taken_, bases.data(), n);
        taken_ += n;
    }

private:
    std::uint64_t room_;
    std::uint64_t taken_ = 0;
    char* dst_;
    const char* ref_;
    std::int64_t ref_pos_;
};

// The bases of positions [from, to) with `edits` applied, into `out` until it is full; the
// first position whose bases were not all taken (`to` when every one was).
std::int64_t walk(const std::vector<Edit>& edits, std::int64_t from, std::int64_t to,
                  Output& out) {
    std::int64_t q = from;
    for (const Edit& e : edits) {
        if (e.end <= q) continue;
        if (e.pos >= to || out.full()) break;
        if (e.pos > q) {
            q = out.reference(q, e.pos);
            if (out.full()) return q;
        }
        const std::int64_t stop = std::min(e.end, to);
        for (; q < stop; ++q) {
            if (out.full()) return q;
            out.literal(piece(e, q - e.pos));
            if (q == e.end - 1) out.literal(e.tail);
        }
    }
    if (out.full()) return q;
    return out.reference(q, to);
}

}  // namespace

struct Haplotypes::Impl {
    const Faidx& reference;
    const VariantFile& variants;
    const std::vector<ArrayRegion>& regions;
    std::vector<std::uint32_t> sample_of_row;  // empty: every sample
    std::uint64_t length = 0;                  // 0: packed
    std::size_t per_region = 0;                // entries of each region
    RecordSet set;
    std::vector<Span> spans;                // region i's records
    std::vector<std::int64_t> reach;        // windows: region i's last position read, exclusive
    std::vector<std::uint64_t> lengths;     // packed: each entry's bases
    std::vector<std::string> warnings;

    std::size_t sample_of(std::size_t region, std::size_t k) const {
        return sample_of_row.empty() ? k / 2 : sample_of_row[region];
    }
    // Region i's positions: windows from their start on, packed [start, end).
    std::int64_t to(std::size_t i) const {
        return length ? INT64_MAX : regions[i].end;
    }

    // The variants haplotype `hap` of `sample` applies in region i; records it skips for
    // overlapping are added to `overlapping` when given.
    //
    // Overlaps are decided as bcftools consensus decides them: a variant that starts before the
    // last position of the one applied before it is skipped; one that starts on that position
    // is skipped too, unless it is an indel anchored on it (its first REF and ALT bases agree)
    // and the one before was no insertion: then the anchor stays the earlier variant's, and the
    // rest of it applies after.
    void edits(std::size_t i, std::size_t sample, int hap, std::vector<Edit>& out,
               std::vector<std::size_t>* overlapping) const {
        out.clear();
        std::int64_t last_end = INT64_MIN;
        bool inserted = false;  // the last variant applied was an insertion
        for (std::size_t r = spans[i].first; r < spans[i].last; ++r) {
            const Record& rec = set.records[r];
            if (!rec.usable) continue;
            const std::int32_t* gt = set.gt.data() + rec.gt + 2 * sample;
            std::int32_t allele = gt[hap];
            if (hap == 1 && allele == kAbsent) allele = gt[0];  // haploid: the one allele
            if (allele <= 0) continue;                           // REF, missing or absent
            const std::string_view alt = rec.alleles[static_cast<std::size_t>(allele)];
            if (symbolic(alt)) continue;
            const std::string_view ref = rec.alleles[0];
            if (rec.pos < last_end) {
                const bool anchored = rec.pos == last_end - 1 && alt.size() != ref.size() &&
                                      (alt[0] | 0x20) == (ref[0] | 0x20) && !inserted;
                if (!anchored) {
                    if (overlapping) overlapping->push_back(r);
                    continue;
                }
                if (ref.size() == 1) {
                    out.back().tail = alt.substr(1);
                } else {
                    out.push_back(Edit{rec.pos + 1, rec.end(), alt.substr(1), {}});
                    last_end = rec.end();
                }
                inserted = alt.size() > ref.size();
                continue;
            }
            out.push_back(Edit{rec.pos, rec.end(), alt, {}});
            last_end = rec.end();
            inserted = alt.size() > ref.size();
        }
    }

    // The positions of region i's sequence whose reference bases are read.
    std::int64_t read_to(std::size_t i) const { return length ? reach[i] : regions[i].end; }
    RegionPlan reference_plan(std::size_t i) const {
        return reference.plan(*regions[i].entry, regions[i].start, read_to(i), Bounds::Padded);
    }

    // The reference's bases of positions [a, b) of region i's sequence, N outside it.
    Status reference_bases(std::size_t i, std::int64_t a, std::int64_t b, std::string& out,
                           ReadScratch& scratch) const {
        const auto n = static_cast<std::size_t>(b - a);
        out.assign(n, 'N');
        const RegionPlan plan = reference.plan(*regions[i].entry, a, b, Bounds::Padded);
        if (plan.kind != RegionPlan::Kind::Extract) return Ok{};
        Result<ExtractionWindow> window = reference.window(plan);
        if (!window.ok()) return window.take_error();
        Result<Extracted> got = reference.extract(*window, out.data() + plan.lead, scratch, false);
        if (!got.ok()) return got.take_error();
        return Ok{};
    }
};

namespace {

std::string label(std::string_view contig, const Record& r) {
    return std::string(contig) + ":" + std::to_string(r.pos + 1);
}

std::string shown(std::string_view bases) {
    constexpr std::size_t kShown = 24;
    if (bases.size() <= kShown) return std::string(bases);
    return std::string(bases.substr(0, kShown)) + "...";
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool same_bases(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const auto x = static_cast<unsigned char>(a[k]), y = static_cast<unsigned char>(b[k]);
        if ((x | 0x20) != (y | 0x20) && x != y) return false;
    }
    return true;
}

}  // namespace

Result<std::unique_ptr<Haplotypes>> Haplotypes::plan(const Faidx& reference,
                                                     const VariantFile& variants,
                                                     const HaplotypeRequest& request,
                                                     Interrupt* interrupt) {
    auto impl = std::unique_ptr<Impl>(new Impl{reference, variants, *request.regions, {}, 0, 0,
                                               {}, {}, {}, {}, {}});
    Impl& p = *impl;
    if (request.sample_of_row) p.sample_of_row = *request.sample_of_row;
    p.length = request.length;
    const std::size_t samples = variants.samples().size();
    p.per_region = p.sample_of_row.empty() ? 2 * samples : 2;
    const std::size_t n = p.regions.size();
    p.spans.resize(n);
    if (p.length) {
        p.reach.resize(n);
    } else {
        p.lengths.resize(n * p.per_region);
    }
    const VariantFile::Impl& file = variants.impl();
    // Once per call: a file rewritten under an open view is an error, not a mix of two files.
    if (Status same = file.check_unchanged(); !same.ok()) return same.take_error();
    const bool skip_mismatch = variants.options().skip_ref_mismatch;
    std::set<std::string> warned;
    std::string ref;
    std::vector<Edit> edits;
    std::vector<std::size_t> overlapping;
    ReadScratch& scratch = thread_scratch();

    // Regions in position order (by sequence, then start), so that the file is read forward
    // and each of its blocks decompressed once for all the regions in it.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const ArrayRegion& x = p.regions[a];
        const ArrayRegion& y = p.regions[b];
        return x.entry != y.entry ? x.entry->offset < y.entry->offset : x.start < y.start;
    });
    for (const std::size_t i : order) {
        if (interrupt && !interrupt->keep_going()) return FaidxError::value("interrupted");
        const ArrayRegion& region = p.regions[i];
        const std::string_view contig = Index::name_of(*region.entry);
        Span& span = p.spans[i];
        span.first = span.last = p.set.records.size();
        // Reads the records of positions [a, b), those from position `from` on, and checks them.
        const auto read = [&](std::int64_t a, std::int64_t b, std::int64_t from) -> Status {
            a = std::max<std::int64_t>(a, 0);
            if (b <= a) return Ok{};
            const std::size_t before = p.set.records.size();
            Status status = file.read(contig, a, b, p.set);
            if (!status.ok()) return status;
            std::size_t kept = before;
            for (std::size_t r = before; r < p.set.records.size(); ++r) {
                Record& rec = p.set.records[r];
                if (rec.pos < from) continue;
                if (rec.alleles[0].empty()) {
                    rec.usable = false;
                } else {
                    for (std::size_t k = 0; k < 2 * samples; ++k) {
                        const std::int32_t allele = p.set.gt[rec.gt + k];
                        if (allele >= static_cast<std::int32_t>(rec.alleles.size()))
                            return FaidxError::value(
                                "the variant at " + label(contig, rec) + " in " +
                                variants.path() + " calls allele " + std::to_string(allele) +
                                " of " + std::to_string(rec.alleles.size()));
                    }
                    Status got = p.reference_bases(i, rec.pos, rec.end(), ref, scratch);
                    if (!got.ok()) return got;
                    if (!same_bases(rec.alleles[0], ref)) {
                        const std::string what = "the REF of the variant at " +
                                                 label(contig, rec) + " (" +
                                                 shown(rec.alleles[0]) +
                                                 ") does not match the reference (" +
                                                 shown(ref) + ")";
                        if (!skip_mismatch)
                            return FaidxError::value(what + " in " + variants.path());
                        rec.usable = false;
                        if (warned.insert(label(contig, rec)).second)
                            p.warnings.push_back("WARNING: skipped: " + what + "\n");
                    }
                    // The ALT takes the case of the reference where it goes, as bcftools
                    // consensus writes it: soft-masked bases stay soft-masked.
                    const bool lower = ref[0] >= 'a' && ref[0] <= 'z';
                    for (std::size_t k = 1; k < rec.alleles.size(); ++k)
                        for (char& c : rec.alleles[k]) c = lower ? lower_ascii(c) : upper_ascii(c);
                }
                if (kept != r) {
                    p.set.records[kept] = std::move(rec);
                }
                ++kept;
            }
            p.set.records.resize(kept);
            // In position order whatever the file's (an unsorted plain VCF).
            std::stable_sort(p.set.records.begin() + static_cast<std::ptrdiff_t>(span.first),
                             p.set.records.end(),
                             [](const Record& x, const Record& y) { return x.pos < y.pos; });
            span.last = p.set.records.size();
            return Ok{};
        };
        if (p.length == 0) {
            Status status = read(region.start, region.end, INT64_MIN);
            if (!status.ok()) return status.take_error();
        } else {
            // A window reads on past its end where deletions take bases away: read the records
            // of further positions until every haplotype fills up within those read.
            const auto length = static_cast<std::int64_t>(
                std::min<std::uint64_t>(p.length, static_cast<std::uint64_t>(INT64_MAX / 4)));
            std::int64_t read_to = region.start + length;
            Status status = read(region.start, read_to, INT64_MIN);
            if (!status.ok()) return status.take_error();
            while (true) {
                overlapping.clear();
                std::int64_t reach = region.start + length;
                for (std::size_t k = 0; k < p.per_region; ++k) {
                    p.edits(i, p.sample_of(i, k), static_cast<int>(k % 2), edits, &overlapping);
                    Output count(p.length, nullptr, nullptr, 0);
                    reach = std::max(reach, walk(edits, region.start, INT64_MAX, count));
                }
                p.reach[i] = reach;
                if (reach <= read_to) break;
                status = read(read_to, reach, read_to);
                if (!status.ok()) return status.take_error();
                read_to = reach;
            }
        }
        // Packed: each entry's length. (Windows found theirs above, with the same edits.)
        if (p.length == 0) {
            overlapping.clear();
            for (std::size_t k = 0; k < p.per_region; ++k) {
                p.edits(i, p.sample_of(i, k), static_cast<int>(k % 2), edits, &overlapping);
                Output count(UINT64_MAX, nullptr, nullptr, 0);
                walk(edits, region.start, region.end, count);
                p.lengths[i * p.per_region + k] = count.taken();
            }
        }
        // The overlaps the haplotypes skip, said once per record.
        for (std::size_t r : overlapping) {
            const std::string where = label(contig, p.set.records[r]);
            if (warned.insert(where).second)
                p.warnings.push_back("WARNING: the variant at " + where +
                                     " overlaps one applied before it on a haplotype, and is "
                                     "skipped there\n");
        }
    }
    return std::unique_ptr<Haplotypes>(new Haplotypes(std::move(impl)));
}

namespace {

// Fills the haplotypes of region after region, each region's reference bases read once.
class HaplotypeSink final : public BatchSink {
public:
    HaplotypeSink(const Haplotypes::Impl& plan, const ArrayFormat& format, ArrayLayout layout,
                  std::uint8_t* out)
        : plan_(plan),
          format_(format),
          encoder_(format, plan.reference.options().sequence_always_upper),
          layout_(layout),
          out_(out),
          // (Only a source read in file order asks where regions lie.)
          spans_(plan.reference.source().ordered() ? plan.regions.size() : 0) {}

    bool prepare(std::size_t i) override {
        if (!spans_.empty()) spans_[i] = plan_.reference.span_of(plan_.reference_plan(i));
        return true;
    }
    ByteSpan span(std::size_t i) const override { return spans_[i]; }

    void fill(std::size_t i, ReadScratch& scratch) override {
        const ArrayRegion& region = plan_.regions[i];
        const std::int64_t from = region.start;
        const std::int64_t to = plan_.read_to(i);
        thread_local std::string ref, bases;
        thread_local std::vector<Edit> edits;
        Status status = plan_.reference_bases(i, from, to, ref, scratch);
        if (!status.ok()) return fail(i, status.take_error());
        for (std::size_t k = 0; k < plan_.per_region; ++k) {
            const std::size_t entry = i * plan_.per_region + k;
            std::size_t first, count;
            if (layout_.offsets) {
                first = static_cast<std::size_t>(layout_.offsets[entry]);
                count = static_cast<std::size_t>(layout_.offsets[entry + 1] - first);
            } else {
                count = static_cast<std::size_t>(layout_.length);
                first = entry * count;
            }
            std::uint8_t* row = out_ + first * format_.base_bytes();
            char* dst = reinterpret_cast<char*>(row);
            if (encoder_.apart()) {
                if (bases.size() < count) bases.resize(count);
                dst = bases.data();
            }
            plan_.edits(i, plan_.sample_of(i, k), static_cast<int>(k % 2), edits, nullptr);
            Output output(count, dst, ref.data(), from);
            walk(edits, from, to, output);
            std::memset(dst + output.taken(), 'N', count - output.taken());
            encoder_.finish(dst, count, region.minus, row);
        }
        if (bases.size() > kKeptBases) std::string().swap(bases);
        if (ref.size() > kKeptBases) std::string().swap(ref);
    }

    std::optional<RegionFailure> failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(failure_);
    }

private:
    void fail(std::size_t i, FaidxError error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_ || i < failure_->region) failure_.emplace(RegionFailure{i, std::move(error)});
    }

    const Haplotypes::Impl& plan_;
    const ArrayFormat& format_;
    const Encoder encoder_;
    const ArrayLayout layout_;
    std::uint8_t* const out_;
    std::vector<ByteSpan> spans_;
    std::mutex mutex_;
    std::optional<RegionFailure> failure_;
};

}  // namespace

ArrayRun Haplotypes::fill(const ArrayFormat& format, ArrayLayout layout, std::uint8_t* out,
                          const Execution& execution) const {
    HaplotypeSink sink(*impl_, format, layout, out);
    const BatchRun run = run_batch(impl_->reference, impl_->regions.size(), sink, execution);
    return ArrayRun{sink.failure(), run.stopped};
}

Haplotypes::Haplotypes(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Haplotypes::~Haplotypes() = default;

std::size_t Haplotypes::entries() const { return impl_->regions.size() * impl_->per_region; }

std::uint64_t Haplotypes::length(std::size_t entry) const {
    return impl_->length ? impl_->length : impl_->lengths[entry];
}

const std::vector<std::string>& Haplotypes::warnings() const { return impl_->warnings; }

}  // namespace nucla::engine
