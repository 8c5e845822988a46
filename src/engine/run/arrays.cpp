#include "engine/arrays.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bounds.hpp"
#include "engine/run.hpp"
#include "engine/sequence.hpp"
#include "index/layout.hpp"
#include "read/source.hpp"

namespace nucla::engine {

std::size_t ArrayFormat::base_bytes() const {
    if (encoding != Encoding::OneHot) return 1;
    switch (one_hot) {
        case OneHotType::U8:
            return 4;
        case OneHotType::F16:
            return 8;
        case OneHotType::F32:
            return 16;
    }
    return 4;
}

std::array<std::uint8_t, 256> default_code_table() {
    std::array<std::uint8_t, 256> t;
    t.fill(4);
    const char* bases = "ACGT";
    for (std::uint8_t code = 0; code < 4; ++code) {
        t[static_cast<unsigned char>(bases[code])] = code;
        t[static_cast<unsigned char>(bases[code] + 32)] = code;
    }
    return t;
}

namespace {

// The most bases of a region whose one-hot buffer a thread keeps for later regions.
constexpr std::size_t kKeptBases = std::size_t{1} << 20;

// The one-hot vector of every byte, as raw element bits: A, C, G and T are unit vectors,
// everything else is all zeros.
struct OneHotTable {
    std::array<std::array<std::uint8_t, 16>, 256> vectors{};
    std::size_t size = 4;

    OneHotTable(OneHotType type, bool swap_bytes) {
        const auto codes = default_code_table();
        std::uint8_t one[4] = {1};
        std::size_t width = 1;
        if (type == OneHotType::F16) {
            const std::uint16_t half = 0x3c00;  // 1.0 in IEEE half precision
            width = 2;
            std::memcpy(one, &half, width);
        } else if (type == OneHotType::F32) {
            const float single = 1.0f;
            width = 4;
            std::memcpy(one, &single, width);
        }
        if (swap_bytes) std::reverse(one, one + width);
        size = 4 * width;
        for (std::size_t c = 0; c < 256; ++c) {
            if (codes[c] < 4) std::memcpy(&vectors[c][codes[c] * width], one, width);
        }
    }
};

#if defined(__SSE2__)
// Masks of the bytes that are A, C, G and T in either case.
struct BaseMasks {
    __m128i a, c, g, t;
};

inline BaseMasks base_masks(const char* p) {
    const __m128i folded =
        _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8(0x20));
    return {_mm_cmpeq_epi8(folded, _mm_set1_epi8('a')), _mm_cmpeq_epi8(folded, _mm_set1_epi8('c')),
            _mm_cmpeq_epi8(folded, _mm_set1_epi8('g')), _mm_cmpeq_epi8(folded, _mm_set1_epi8('t'))};
}
#endif

// The default codes (A 0, C 1, G 2, T 3, else 4), 16 bytes at a time where it can.
void default_codes(const char* bases, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        const __m128i any = _mm_or_si128(_mm_or_si128(m.a, m.c), _mm_or_si128(m.g, m.t));
        __m128i code = _mm_andnot_si128(any, _mm_set1_epi8(4));
        code = _mm_or_si128(code, _mm_and_si128(m.c, _mm_set1_epi8(1)));
        code = _mm_or_si128(code, _mm_and_si128(m.g, _mm_set1_epi8(2)));
        code = _mm_or_si128(code, _mm_and_si128(m.t, _mm_set1_epi8(3)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), code);
    }
#endif
    static const std::array<std::uint8_t, 256> table = default_code_table();
    for (; i < n; ++i) out[i] = table[static_cast<unsigned char>(bases[i])];
}

// One-hot uint8 vectors, 16 bases (64 bytes out) at a time where it can.
std::size_t one_hot_u8(const char* bases, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i one = _mm_set1_epi8(1);
    for (; i + 16 <= n; i += 16) {
        const BaseMasks m = base_masks(bases + i);
        // Interleave the four channels: bytes (a, c, g, t) of base 0, then of base 1, ...
        const __m128i ac_lo = _mm_unpacklo_epi8(m.a, m.c), ac_hi = _mm_unpackhi_epi8(m.a, m.c);
        const __m128i gt_lo = _mm_unpacklo_epi8(m.g, m.t), gt_hi = _mm_unpackhi_epi8(m.g, m.t);
        auto* dst = reinterpret_cast<__m128i*>(out + i * 4);
        _mm_storeu_si128(dst + 0, _mm_and_si128(_mm_unpacklo_epi16(ac_lo, gt_lo), one));
        _mm_storeu_si128(dst + 1, _mm_and_si128(_mm_unpackhi_epi16(ac_lo, gt_lo), one));
        _mm_storeu_si128(dst + 2, _mm_and_si128(_mm_unpacklo_epi16(ac_hi, gt_hi), one));
        _mm_storeu_si128(dst + 3, _mm_and_si128(_mm_unpackhi_epi16(ac_hi, gt_hi), one));
    }
#else
    (void)bases;
    (void)n;
    (void)out;
#endif
    return i;
}

template <std::size_t Size>
void expand(const char* bases, std::size_t n, const OneHotTable& table, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i)
        std::memcpy(out + i * Size, table.vectors[static_cast<unsigned char>(bases[i])].data(),
                    Size);
}

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
          default_table_(format.table == default_code_table()),
          // The codes and vectors of A, C, G and T do not depend on case.
          upper_((format.upper || faidx.options().sequence_always_upper) &&
                 (format.encoding == Encoding::Bytes ||
                  (format.encoding == Encoding::Codes && !default_table_))),
          one_hot_(format.one_hot, format.swap_bytes),
          out_(out) {
        if (faidx.source().ordered()) positions_.resize(regions.size());
    }

    bool prepare(std::size_t i) override {
        if (!positions_.empty()) {
            const RegionPlan plan = planned(regions_[i]);
            const bool read = plan.kind == RegionPlan::Kind::Extract;
            positions_[i] = read ? base_position(*plan.entry, plan.start - 1).value_or(0) : 0;
        }
        return true;
    }

    std::uint64_t position(std::size_t i) const override { return positions_[i]; }

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
        if (upper_) upper_case(bases, count);
        if (r.minus) reverse_complement_in_place(bases, count);
        encode(bases, count, row);
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

    void encode(const char* bases, std::size_t n, std::uint8_t* row) const {
        switch (format_.encoding) {
            case Encoding::Bytes:
                return;
            case Encoding::Codes:
                if (default_table_) return default_codes(bases, n, row);
                for (std::size_t k = 0; k < n; ++k)
                    row[k] = format_.table[static_cast<unsigned char>(bases[k])];
                return;
            case Encoding::OneHot:
                switch (one_hot_.size) {
                    case 4: {
                        const std::size_t done = one_hot_u8(bases, n, row);
                        return expand<4>(bases + done, n - done, one_hot_, row + done * 4);
                    }
                    case 8:
                        return expand<8>(bases, n, one_hot_, row);
                    default:
                        return expand<16>(bases, n, one_hot_, row);
                }
        }
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
    const bool default_table_;
    const bool upper_;
    const OneHotTable one_hot_;
    std::uint8_t* const out_;
    std::vector<std::uint64_t> positions_;  // for reading in file order
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
