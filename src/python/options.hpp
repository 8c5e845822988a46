// The sixteen constructor options of Faidx and Fasta: one table says, for each, its name, how
// it is converted and pickled, and where its value lives. Each class keeps its own argument
// order in its Signature; conversion and pickling walk that order and find each name here.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/reader.hpp"
#include "py.hpp"

namespace nucla::py {

// What the constructor options become: the engine's options, plus what only the binding
// keeps. The held ones are accepted and handed back by pickling; nothing gives them a meaning.
struct OptionValues : engine::Options {
    std::string filename;
    // How fetched values report their coordinates; the engine has no such notion.
    bool as_raw = false;
    bool one_based_attributes = true;
    Ref key_function;
    Ref filt_function;
    std::optional<std::string> split_char;
    bool read_long_names = false;
    std::string duplicate_action = "stop";
    std::optional<std::uint64_t> read_ahead;
};

enum class OptionKind {
    Path,       // str; pickled as the path made absolute at open
    IndexPath,  // str or None; pickled as the index path made absolute at open
    Text,       // str or None
    Flag,       // True or False; None is a TypeError
    Object,     // any object, held; None means none
    Action,     // str; the default applies only when omitted (None is a TypeError)
    Count,      // non-negative int or None
};

struct Option {
    const char* name;
    OptionKind kind;
    std::variant<std::string OptionValues::*, std::optional<std::string> OptionValues::*,
                 bool OptionValues::*, Ref OptionValues::*,
                 std::optional<std::uint64_t> OptionValues::*>
        member;
};

inline constexpr Option kOptions[] = {
    {"filename", OptionKind::Path, &OptionValues::filename},
    {"indexname", OptionKind::IndexPath, &OptionValues::indexname},
    {"as_raw", OptionKind::Flag, &OptionValues::as_raw},
    {"strict_bounds", OptionKind::Flag, &OptionValues::strict_bounds},
    {"sequence_always_upper", OptionKind::Flag, &OptionValues::sequence_always_upper},
    {"rebuild", OptionKind::Flag, &OptionValues::rebuild},
    {"build_index", OptionKind::Flag, &OptionValues::build_index},
    {"one_based_attributes", OptionKind::Flag, &OptionValues::one_based_attributes},
    {"default_seq", OptionKind::Text, &OptionValues::default_seq},
    {"mutable", OptionKind::Flag, &OptionValues::mutable_file},
    {"key_function", OptionKind::Object, &OptionValues::key_function},
    {"split_char", OptionKind::Text, &OptionValues::split_char},
    {"filt_function", OptionKind::Object, &OptionValues::filt_function},
    {"read_long_names", OptionKind::Flag, &OptionValues::read_long_names},
    {"duplicate_action", OptionKind::Action, &OptionValues::duplicate_action},
    {"read_ahead", OptionKind::Count, &OptionValues::read_ahead},
};
inline constexpr std::size_t kOptionCount = std::size(kOptions);

// The kind of each row matches the type of its member.
consteval bool options_consistent() {
    for (const Option& o : kOptions) {
        using enum OptionKind;
        const std::size_t want = o.kind == Path || o.kind == Action ? 0
                                 : o.kind == IndexPath || o.kind == Text ? 1
                                 : o.kind == Flag                        ? 2
                                 : o.kind == Object                      ? 3
                                                                         : 4;
        if (o.member.index() != want) return false;
    }
    return true;
}
static_assert(options_consistent());

// The row of the option called `name`, or kOptionCount when there is none. (An index, not a
// pointer: sanitizer builds cannot compare a table's address with null in a constant.)
constexpr std::size_t option_index(std::string_view name) {
    std::size_t i = 0;
    while (i < kOptionCount && kOptions[i].name != name) ++i;
    return i;
}

// A constructor signature names every option exactly once.
template <std::size_t N>
consteval bool names_every_option(const Signature<N>& sig) {
    if (N != kOptionCount) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (option_index(sig.names[i]) == kOptionCount) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (std::string_view(sig.names[i]) == sig.names[j]) return false;
        }
    }
    return true;
}

// An engine Faidx and the options it was opened with, as the caller gave them: what every
// fetch of a Faidx or Fasta works from.
struct EngineHolder {
    std::unique_ptr<engine::Faidx> faidx;
    OptionValues options;
};

// Converts the options named in `sig` (in the order they appear there, each by its kind) and
// opens the engine.
bool open_engine_impl(const char* fname, const char* const* names, PyObject* const* args,
                      std::size_t n, EngineHolder& holder);
template <std::size_t N>
bool open_engine(const Signature<N>& sig, const std::array<PyObject*, N>& args,
                 EngineHolder& holder) {
    return open_engine_impl(sig.fname, sig.names.data(), args.data(), N, holder);
}

// (class, args) for pickle: the options this engine was opened with, in the order of `sig`,
// with the FASTA and index paths made absolute at open, so that a copy opens the same files
// from any working directory.
PyObject* reduce_engine_impl(PyObject* self, const char* const* names, std::size_t n,
                             const EngineHolder& holder);
template <std::size_t N>
PyObject* reduce_engine(PyObject* self, const Signature<N>& sig, const EngineHolder& holder) {
    return reduce_engine_impl(self, sig.names.data(), N, holder);
}

}  // namespace nucla::py
