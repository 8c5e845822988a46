#include "engine/sequence.hpp"

#include <array>

namespace nucla::engine {

namespace {

// IUPAC G+C weights by uppercase code; a negative weight means "not counted".
constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> w{};
    for (auto& x : w) x = -1.0;
    for (char c : {'C', 'G', 'S'}) w[static_cast<unsigned char>(c)] = 1.0;
    for (char c : {'B', 'V'}) w[static_cast<unsigned char>(c)] = 0.67;
    for (char c : {'D', 'H'}) w[static_cast<unsigned char>(c)] = 0.33;
    for (char c : {'K', 'M', 'R', 'Y'}) w[static_cast<unsigned char>(c)] = 0.5;
    w['N'] = 0.25;
    for (char c : {'A', 'T', 'W'}) w[static_cast<unsigned char>(c)] = 0.0;
    for (int c = 'a'; c <= 'z'; ++c) w[c] = w[c - 32];
    return w;
}

constexpr auto kIupacWeights = make_iupac_weights();

}  // namespace

void reverse_bytes(const char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[n - 1 - i];
}

void complement_bytes(const char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(in[i])]);
}

void reverse_complement_bytes(const char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(in[n - 1 - i])]);
}

void reverse_complement_in_place(char* data, std::size_t n) {
    const auto comp = [](char c) {
        return static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
    };
    for (std::size_t i = 0, j = n; i < j--; ++i) {
        const char a = data[i];
        data[i] = comp(data[j]);
        data[j] = comp(a);
    }
}

double gc_fraction(std::string_view seq) {
    if (seq.empty()) return 0.0;
    std::size_t gc = 0;
    for (char c : seq) gc += c == 'G' || c == 'C' || c == 'g' || c == 'c';
    return static_cast<double>(gc) / static_cast<double>(seq.size());
}

double gc_strict_fraction(std::string_view seq) {
    std::size_t gc = 0, acgt = 0;
    for (char c : seq) {
        const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        const bool strong = u == 'G' || u == 'C';
        gc += strong;
        acgt += strong || u == 'A' || u == 'T';
    }
    return acgt == 0 ? 0.0 : static_cast<double>(gc) / static_cast<double>(acgt);
}

double gc_iupac_fraction(std::string_view seq) {
    double sum = 0.0;
    std::size_t counted = 0;
    for (char c : seq) {
        const double w = kIupacWeights[static_cast<unsigned char>(c)];
        if (w < 0.0) continue;
        sum += w;
        ++counted;
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

std::string fancy_name(std::string_view name, std::optional<std::uint64_t> start,
                       std::optional<std::uint64_t> end, bool comp) {
    std::string out(name);
    if (start && end) {
        out += ':';
        out += std::to_string(*start);
        out += '-';
        out += std::to_string(*end);
    }
    if (comp) out += " (complement)";
    return out;
}

}  // namespace nucla::engine
