#include "engine/text.hpp"

#include <cstring>

namespace nucla::engine {

bool is_ascii(const char* data, std::size_t n) {
    std::uint64_t acc = 0;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, data + i, 32);
        acc |= w[0] | w[1] | w[2] | w[3];
        if (acc & 0x8080808080808080ULL) return false;
    }
    for (; i < n; ++i) acc |= static_cast<unsigned char>(data[i]);
    return (acc & 0x8080808080808080ULL) == 0 && (acc & 0x80) == 0;
}

namespace {

// Decodes one UTF-8 character at text[i]; returns its length, or 0 when invalid.
std::size_t decode_one(std::string_view text, std::size_t i, char32_t& out) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const std::size_t left = text.size() - i;
    const unsigned char c = b(0);
    if (c < 0x80) {
        out = c;
        return 1;
    }
    const auto cont = [&](std::size_t k) { return (b(k) & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
        if (left < 2 || !cont(1)) return 0;
        out = ((c & 0x1Fu) << 6) | (b(1) & 0x3Fu);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(1) || !cont(2)) return 0;
        out = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
        if (out < 0x800 || (out >= 0xD800 && out <= 0xDFFF)) return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
        out = ((c & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) |
              (b(3) & 0x3Fu);
        if (out < 0x10000 || out > 0x10FFFF) return 0;
        return 4;
    }
    return 0;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view text) { return utf8_valid_prefix(text) == text.size(); }

std::size_t utf8_sequence_length(char lead) {
    const unsigned char c = static_cast<unsigned char>(lead);
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 0;
}

std::size_t utf8_valid_prefix(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Skip ASCII eight bytes at a time.
        if (i + 8 <= text.size()) {
            std::uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        char32_t c;
        const std::size_t len = decode_one(text, i, c);
        if (len == 0) return i;
        i += len;
    }
    return text.size();
}

std::size_t find_white_space(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c;
        std::size_t len = decode_one(text, i, c);
        if (len == 0) len = 1;  // not reached for validated text
        else if (is_white_space(c)) return i;
        i += len;
    }
    return text.size();
}

std::string_view trim_white_space(std::string_view text) {
    // Leading: decode forwards.
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c;
        const std::size_t len = decode_one(text, begin, c);
        if (len == 0 || !is_white_space(c)) break;
        begin += len;
    }
    // Trailing: step back over continuation bytes to the start of each character.
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        char32_t c;
        const std::size_t len = decode_one(text, start, c);
        if (len != end - start || !is_white_space(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace nucla::engine
