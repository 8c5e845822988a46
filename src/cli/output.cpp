#include "output.hpp"

namespace nucla::cli {

namespace {

// White space as samtools reads a header (C's isspace in the C locale).
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

bool wants_bgzf(std::string_view path) {
    return ends_with(path, ".gz") || ends_with(path, ".bgz") || ends_with(path, ".bgzf");
}

void OutputIndex::add(std::string_view header, std::string_view mark, std::uint64_t offset,
                      std::uint64_t bases, std::uint64_t width) {
    if (bases == 0) return;
    std::string line(header);
    line.append(mark);
    std::size_t begin = 0;
    while (begin < line.size() && is_space(line[begin])) ++begin;
    std::size_t end = begin;
    while (end < line.size() && !is_space(line[end])) ++end;
    std::string name = line.substr(begin, end - begin);
    if (!names_.insert(name).second) return;
    const std::uint64_t per_line = width == 0 || bases < width ? bases : width;
    rows_.push_back({std::move(name), {bases, offset, per_line, per_line + 1}});
}

}  // namespace nucla::cli
