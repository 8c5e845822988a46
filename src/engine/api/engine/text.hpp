// Byte and text helpers shared by the index reader, the FASTA scanner and extraction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nucla::engine {

// True when every byte is below 0x80.
bool is_ascii(const char* data, std::size_t n);

// Strict UTF-8 validation (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Length of the longest valid UTF-8 prefix: the position of the first character that is
// invalid or cut off by the end of `text`, or text.size().
std::size_t utf8_valid_prefix(std::string_view text);

// Bytes of the UTF-8 character that `lead` starts (2 to 4), or 0 when it starts none of more
// than one byte.
std::size_t utf8_sequence_length(char lead);

// Trims Unicode white space (the White_Space property) from both ends of valid UTF-8.
std::string_view trim_white_space(std::string_view text);

// Position of the first Unicode white-space character, or text.size().
std::size_t find_white_space(std::string_view text);

// An optional "+" followed by one or more ASCII digits whose value is at most `max`.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max = UINT64_MAX);

}  // namespace nucla::engine
