// variants/: VCF and BCF records read with htslib (records.cpp, the only file that includes
// htslib) and the haplotypes made from them (haplotypes.cpp). It may include the public headers,
// index/, read/ and run/.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/variants.hpp"

namespace nucla::engine {

// A record as the haplotypes need it.
struct Record {
    std::int64_t pos = 0;                // 0-based position of REF's first base
    std::vector<std::string> alleles;    // REF first, as written
    std::uint32_t gt = 0;                // where its genotypes start in the record set's `gt`
    bool usable = true;                  // false: skipped (REF does not match, and skipping)
    std::int64_t ref_len() const { return static_cast<std::int64_t>(alleles[0].size()); }
    std::int64_t end() const { return pos + ref_len(); }
};

// Genotype values: an allele index, or one of these.
inline constexpr std::int32_t kMissing = -1;  // "."
inline constexpr std::int32_t kAbsent = -2;   // no such allele: the call is haploid

// Records with the genotypes of the file's selected samples, two values per sample.
struct RecordSet {
    std::vector<Record> records;
    std::vector<std::int32_t> gt;
};

// "htslib 1.16", or "none" in a build without it.
std::string htslib_version();

struct VariantFile::Impl {
    ~Impl();

    std::string path;
    VariantOptions options;
    std::vector<std::string> samples;
    std::vector<int> columns;  // the file's sample column of each selected sample

    // Fails when the file changed since it was opened (its size, time or inode), or is gone.
    Status check_unchanged() const;
    // Appends the records overlapping [beg, end) of `contig` (none when the file has no such
    // contig), in file order. Fails when the file cannot be read.
    Status read(std::string_view contig, std::int64_t beg, std::int64_t end,
                RecordSet& out) const;

    struct Handle;  // htslib's state, behind `mutex`
    Handle* handle = nullptr;
    mutable std::mutex mutex;
};

}  // namespace nucla::engine
