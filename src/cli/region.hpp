// Region requests of the command-line tool: samtools-style region strings and BED lines,
// resolved against an index into what to print.
//
// Region strings follow samtools faidx (htslib's region parser): "name", "name:start",
// "name:start-end", "name:-end", "{name}:start-end" for names holding colons; numbers may
// carry thousands separators, a fraction, an exponent or a k/m/g suffix. A whole string that
// names a sequence wins over reading its last colon as a separator, unless the part before
// that colon is a name too (then the region is ambiguous).
//
// Coordinates given by the user are 1-based and inclusive; BED intervals are 0-based and
// half-open and are converted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/reader.hpp"

namespace nucla::cli {

// What one request resolved to.
struct Request {
    enum class Kind : std::uint8_t {
        Fetch,  // print bases start..end (1-based, inclusive, within the sequence)
        Empty,  // print the header alone: the region holds no base of the sequence
        Error,  // print nothing; `error` says why
    };

    // The name looked up and the header printed both live in `text`.
    std::string text;
    std::size_t name_pos = 0, name_len = 0;
    std::size_t header_pos = 0, header_len = 0;

    Kind kind = Kind::Error;
    bool truncated = false;  // the region ran past the end of the sequence
    bool minus = false;      // a BED row on the reverse strand (read only under -s)
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string error;

    std::string_view name() const { return std::string_view(text).substr(name_pos, name_len); }
    std::string_view header() const {
        return std::string_view(text).substr(header_pos, header_len);
    }
    std::uint64_t size() const { return kind == Kind::Fetch ? end - start + 1 : 0; }
};

// A number as htslib reads one in a region: leading white space, a sign, digits with ','
// separators, then a fraction and an exponent or a k/m/g suffix; fractions are cut off and
// magnitudes saturate. `used` is 0 when there is no digit.
struct Decimal {
    std::int64_t value = 0;
    std::size_t used = 0;
};
Decimal parse_decimal(std::string_view text);

// Resolves a samtools region string; the header is the string as given.
void resolve_region(const engine::Faidx& reader, std::string_view region, Request& out);

// Resolves one BED line (chrom, start, end and optional name, score and strand columns,
// separated by tabs, or by spaces when the line has no tab). Returns false for lines that carry
// no interval (blank, "#...", "track ...", "browser ..."). The header is the name column when
// present and not ".", else "chrom:start-end" in 1-based coordinates. With `stranded`, a sixth
// column "-" sets `minus`; "+", "." or no such column leave the row forward, and anything else
// is an error.
bool resolve_bed_line(const engine::Faidx& reader, std::string_view line, Request& out,
                      bool stranded = false);

}  // namespace nucla::cli
