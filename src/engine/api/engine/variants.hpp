// Personal sequences: the haplotypes of a VCF or BCF file's samples applied to a reference, as
// arrays. The variants are read with htslib (the formats' reference library), through the
// file's index for the regions asked, so no step runs before the first call and memory stays
// bounded by the records of the regions asked.
//
// Haplotype h (0 or 1) of a sample takes the (h+1)-th allele of its GT, whatever the phasing; a
// missing allele, and the reference allele, leave the reference as it is; a haploid call gives
// its allele on both haplotypes. Symbolic and breakend alleles (<DEL>, <*>, *, ]chr:1]A) are
// skipped. On one haplotype, a variant that overlaps one applied before it is skipped, with a
// warning. A REF that does not match the reference is an error naming the record, unless the
// options skip such records.
//
// Where the bases of a haplotype lie, for the regions: a variant replaces the reference bases
// under its REF, position by position from the left: the k-th reference position of the REF
// gives the k-th base of the ALT, its last position the rest of the ALT (an insertion), and
// positions past the ALT's length give nothing (a deletion). A region [start, end) of the
// reference gives the bases of its positions, so a variant that crosses a region's end gives
// only the part of it that belongs to positions inside. A window reads positions from its start
// until it has `length` bases.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arrays.hpp"
#include "engine/errors.hpp"
#include "engine/execution.hpp"
#include "engine/reader.hpp"

namespace nucla::engine {

struct VariantOptions {
    // The samples to read, by name, in the order wanted; nothing: all, in the file's order.
    std::optional<std::vector<std::string>> samples;
    // Records whose REF does not match the reference are skipped (with a warning) rather than
    // an error.
    bool skip_ref_mismatch = false;
};

// A VCF or BCF file opened for reading by region: bgzipped with a .tbi or .csi index, a BCF
// with its .csi, or a plain (uncompressed) VCF, read whole for each call. May be read from
// several threads; reads of the file itself take turns.
class VariantFile {
public:
    static Result<std::unique_ptr<VariantFile>> open(const std::string& path,
                                                     VariantOptions options);
    ~VariantFile();
    VariantFile(const VariantFile&) = delete;
    VariantFile& operator=(const VariantFile&) = delete;

    const std::string& path() const;
    const std::vector<std::string>& samples() const;
    const VariantOptions& options() const;

    struct Impl;
    const Impl& impl() const { return *impl_; }

private:
    explicit VariantFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A request for haplotype arrays: regions of the reference (0-based, [start, end), strand), and
// for each region either every sample of the file (entry (i, s, h) at (i * S + s) * 2 + h) or
// one sample, sample_of_row[i] (entry (i, h) at i * 2 + h).
struct HaplotypeRequest {
    const std::vector<ArrayRegion>* regions = nullptr;
    const std::vector<std::uint32_t>* sample_of_row = nullptr;  // null or empty: every sample
    std::uint64_t length = 0;  // windows of `length` bases; 0: each region's own span (packed)
};

// The records of a request's regions, read and checked; what a fill needs, and each entry's
// length. Warnings (overlapping variants skipped, REF mismatches skipped) are lines to print.
class Haplotypes {
public:
    // Reads the records of every region on the caller's thread. `interrupt` may stop it (the
    // result is then an error of no consequence: the caller reports its own).
    static Result<std::unique_ptr<Haplotypes>> plan(const Faidx& reference,
                                                    const VariantFile& variants,
                                                    const HaplotypeRequest& request,
                                                    Interrupt* interrupt = nullptr);
    ~Haplotypes();

    std::size_t entries() const;
    // Entry e's number of bases (the request's length for windows).
    std::uint64_t length(std::size_t entry) const;
    const std::vector<std::string>& warnings() const;

    // Fills every entry into `out` (at layout's place for it, format.base_bytes() per base), as
    // `execution` says. Throws std::bad_alloc.
    ArrayRun fill(const ArrayFormat& format, ArrayLayout layout, std::uint8_t* out,
                  const Execution& execution) const;

    struct Impl;

private:
    explicit Haplotypes(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace nucla::engine
