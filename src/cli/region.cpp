// Parsing and resolution of region strings and BED lines. The region grammar copies what
// htslib accepts (checked against samtools faidx), quirks included, so that a region list
// prints the same with either tool.
#include "region.hpp"

#include <algorithm>
#include <limits>

#include "engine/text.hpp"

namespace nucla::cli {

namespace {

// Magnitudes saturate here: far past any sequence, yet -(x + 1) cannot overflow.
constexpr std::int64_t kCap = std::numeric_limits<std::int64_t>::max() / 4;
// The end of "name" and "name:start": the rest of the sequence.
// "To the end of the sequence", as the engine's policy for this tool takes it.
constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::uint64_t push_digit(std::uint64_t n, char c) {
    if (n >= static_cast<std::uint64_t>(kCap) / 10) return static_cast<std::uint64_t>(kCap);
    return n * 10 + static_cast<std::uint64_t>(c - '0');
}

void reset(Request& out) {
    out.text.clear();
    out.error.clear();
    out.name_pos = out.name_len = out.header_pos = out.header_len = 0;
    out.kind = Request::Kind::Error;
    out.truncated = false;
    out.minus = false;
    out.start = out.end = 0;
}

void fail(Request& out, std::string message) {
    out.kind = Request::Kind::Error;
    out.error = std::move(message);
}

std::string quoted(std::string_view s) {
    std::string q = "'";
    q.append(s);
    q += '\'';
    return q;
}

// A name the index lacks, and the name it has for the same sequence under the other common
// naming, if any.
std::string not_found(const engine::Index& index, std::string_view name) {
    std::string message = "sequence " + quoted(name) + " not found";
    if (const auto other = engine::other_naming(index, name))
        message += "; did you mean " + quoted(*other) + "?";
    return message;
}

// Coordinates after the colon, as htslib reads them: `beg` 0-based (negative when the
// region holds no base), `end` exclusive or kNoEnd. Returns an error text, or "" when fine.
std::string parse_coordinates(std::string_view c, std::int64_t& beg, std::int64_t& end) {
    const Decimal first = parse_decimal(c);
    const std::int64_t b = first.value - 1;
    const char h = first.used < c.size() ? c[first.used] : '\0';
    const auto unexpected = [](std::string_view rest) {
        return "unexpected text \"" + std::string(rest) + "\" in coordinates";
    };
    if (b < 0) {
        if (b != -1 && h == '-' && !c.empty()) return "coordinates must be > 0";
        // "name:-100" means "name:1-100", and "name:0" the whole sequence.
        if (is_digit(h) || h == '\0' || h == ',') {
            end = b == -1 ? kNoEnd : -(b + 1);
            beg = 0;
            return {};
        }
        if (b < -1) return unexpected(c.substr(first.used));
    }
    if (h == '\0') {
        end = kNoEnd;
    } else if (h == '-') {
        const std::string_view rest = c.substr(first.used + 1);
        const Decimal second = parse_decimal(rest);
        const char h2 = second.used < rest.size() ? rest[second.used] : '\0';
        if (h2 != '\0' && h2 != ',') return unexpected(rest.substr(second.used));
        end = second.value;
    } else {
        return unexpected(c.substr(first.used));
    }
    if (end == 0) end = kNoEnd;  // "name:100-0" and "name:100-" run to the end
    if (b >= end) return "start is after end";
    beg = b;
    return {};
}

// The request for [beg, end) of a sequence, by the engine's policy for this tool (as samtools
// does it: a start past the end or before the first base gives an empty record, an end past the
// end a shorter one).
void settle(Request& out, const engine::Faidx& reader, const engine::IndexEntry& entry,
            std::int64_t beg, std::int64_t end) {
    const engine::RegionPlan plan = reader.plan(entry, beg, end, engine::Bounds::Tool);
    if (plan.kind != engine::RegionPlan::Kind::Extract) {
        out.kind = Request::Kind::Empty;
        return;
    }
    out.kind = Request::Kind::Fetch;
    out.start = plan.start;
    out.end = plan.end;
    out.truncated = plan.truncated;
}

// Plain decimal digits only, as BED columns are written.
bool parse_bed_number(std::string_view s, std::int64_t& value) {
    if (s.empty() || !is_digit(s[0])) return false;
    auto v = engine::parse_unsigned(s, static_cast<std::uint64_t>(kCap));
    if (!v) return false;
    value = static_cast<std::int64_t>(*v);
    return true;
}

bool starts_with_word(std::string_view line, std::string_view word) {
    return line.substr(0, word.size()) == word &&
           (line.size() == word.size() || is_space(line[word.size()]));
}

}  // namespace

Decimal parse_decimal(std::string_view t) {
    std::size_t i = 0;
    const std::size_t n = t.size();
    while (i < n && is_space(t[i])) ++i;
    bool negative = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';

    std::uint64_t m = 0;
    std::size_t digits = 0;
    std::int64_t decimals = 0;
    for (; i < n; ++i) {
        if (is_digit(t[i])) {
            ++digits;
            m = push_digit(m, t[i]);
        } else if (t[i] != ',') {
            break;
        }
    }
    if (i < n && t[i] == '.') {
        for (++i; i < n && is_digit(t[i]); ++i) {
            ++digits;
            // Digits past the precision only matter to the fraction, which is cut off.
            if (m < static_cast<std::uint64_t>(kCap) / 10) {
                m = push_digit(m, t[i]);
                ++decimals;
            }
        }
    }
    std::int64_t e = 0;
    if (i < n) {
        switch (t[i]) {
            case 'e':
            case 'E': {
                bool e_negative = false;
                if (++i < n && (t[i] == '+' || t[i] == '-')) e_negative = t[i++] == '-';
                for (; i < n && is_digit(t[i]); ++i)
                    e = std::min<std::int64_t>(e * 10 + (t[i] - '0'), 1000);
                if (e_negative) e = -e;
                break;
            }
            case 'k':
            case 'K': e = 3, ++i; break;
            case 'm':
            case 'M': e = 6, ++i; break;
            case 'g':
            case 'G': e = 9, ++i; break;
            default: break;
        }
    }
    e -= decimals;
    const auto cap = static_cast<std::uint64_t>(kCap);
    for (; e > 0 && m != 0 && m < cap; --e) m = m >= cap / 10 ? cap : m * 10;
    for (; e < 0 && m != 0; ++e) m /= 10;
    if (m > cap) m = cap;

    Decimal d;
    d.value = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
    d.used = digits ? i : 0;
    return d;
}

void resolve_region(const engine::Faidx& reader, std::string_view r, Request& out) {
    const engine::Index& index = reader.index();
    reset(out);
    out.text.assign(r);
    out.header_len = r.size();

    std::string_view name = r, coords;
    std::size_t name_pos = 0;
    bool has_coords = false;
    if (!r.empty() && r[0] == '{') {
        const std::size_t close = r.find('}');
        if (close == r.npos) return fail(out, "mismatched braces");
        name_pos = 1;
        if (close + 1 < r.size() && r[close + 1] == ':') {
            name = r.substr(1, close - 1);
            coords = r.substr(close + 2);
            has_coords = true;
        } else {
            name = r.substr(1, r.size() - 2);
        }
    } else if (const std::size_t colon = r.rfind(':'); colon != r.npos) {
        if (index.contains(r)) {
            if (index.contains(r.substr(0, colon))) {
                return fail(out, "ambiguous; use {" + std::string(r) + "} or {" +
                                     std::string(r.substr(0, colon)) + "}" +
                                     std::string(r.substr(colon)) + " instead");
            }
        } else {
            name = r.substr(0, colon);
            coords = r.substr(colon + 1);
            has_coords = true;
        }
    }
    out.name_pos = name_pos;
    out.name_len = name.size();

    const engine::IndexEntry* entry = index.find(name);
    if (!entry) return fail(out, not_found(index, name));
    std::int64_t beg = 0, end = kNoEnd;
    if (has_coords) {
        std::string problem = parse_coordinates(coords, beg, end);
        if (!problem.empty()) return fail(out, std::move(problem));
    }
    settle(out, reader, *entry, beg, end);
}

bool resolve_bed_line(const engine::Faidx& reader, std::string_view line, Request& out,
                      bool stranded) {
    const engine::Index& index = reader.index();
    while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
    std::size_t lead = 0;
    while (lead < line.size() && is_space(line[lead])) ++lead;
    const std::string_view body = line.substr(lead);
    if (body.empty() || body[0] == '#' || starts_with_word(body, "track") ||
        starts_with_word(body, "browser"))
        return false;

    reset(out);
    const auto bad = [&](std::string message) {
        fail(out, std::move(message));
        return true;
    };
    std::string_view fields[6];
    const std::size_t wanted = stranded ? 6 : 4;
    std::size_t count = 0;
    const bool tabs = body.find('\t') != body.npos;
    for (std::size_t pos = 0; pos <= body.size() && count < wanted;) {
        if (!tabs) {
            while (pos < body.size() && body[pos] == ' ') ++pos;
            if (pos == body.size()) break;
        }
        const std::size_t stop = std::min(body.find(tabs ? '\t' : ' ', pos), body.size());
        fields[count++] = body.substr(pos, stop - pos);
        pos = stop + 1;
    }

    out.text.assign(body);  // for messages until the header is known
    out.header_len = body.size();
    if (count < 3) return bad("expected chrom, start and end");
    std::int64_t beg = 0, end = 0;
    if (!parse_bed_number(fields[1], beg)) return bad("bad start " + quoted(fields[1]));
    if (!parse_bed_number(fields[2], end)) return bad("bad end " + quoted(fields[2]));
    if (end < beg) return bad("end is before start");
    if (count == 6) {
        const std::string_view strand = fields[5];
        if (strand == "-") {
            out.minus = true;
        } else if (strand != "+" && strand != ".") {
            return bad("bad strand " + quoted(strand) + " (expected +, - or .)");
        }
    }

    const std::string_view chrom = fields[0];
    const bool named = count >= 4 && !fields[3].empty() && fields[3] != ".";
    out.text.assign(chrom);
    out.name_len = chrom.size();
    if (named) {
        out.text.append(fields[3]);
        out.header_pos = chrom.size();
        out.header_len = fields[3].size();
    } else {
        out.text += ':';
        out.text += std::to_string(beg + 1);
        out.text += '-';
        out.text += std::to_string(end);
        out.header_len = out.text.size();
    }

    const engine::IndexEntry* entry = index.find(chrom);
    if (!entry) return bad(not_found(index, chrom));
    settle(out, reader, *entry, beg, end);
    return true;
}

}  // namespace nucla::cli
