// What the tool knows about the FASTA it writes: whether a file name asks for BGZF, and the
// .fai of the records printed so far, so that --write-index needs no second pass over the
// output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/index.hpp"

namespace nucla::cli {

// Output to a file named *.gz, *.bgz or *.bgzf is written as BGZF, as samtools does.
bool wants_bgzf(std::string_view path);

// The rows that samtools faidx would give the finished output: the name is the first word of
// the header, a record without bases is left out, and a repeated name keeps its first row.
class OutputIndex {
public:
    // A record whose header line held `header` followed by `mark`, and whose `bases` bases
    // begin at byte `offset` (uncompressed) in lines of `width` bases (0: a single line).
    void add(std::string_view header, std::string_view mark, std::uint64_t offset,
             std::uint64_t bases, std::uint64_t width);

    std::string text() const { return engine::format_index(rows_); }

private:
    std::vector<engine::IndexRow> rows_;
    std::unordered_set<std::string> names_;
};

}  // namespace nucla::cli
