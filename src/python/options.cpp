// Conversion and pickling of the sixteen constructor options, each by the kind its row in
// kOptions gives it, in the order of the caller's own signature.
#include <cstring>
#include <string>

#include "engine/fd.hpp"
#include "binding.hpp"
#include "remote.hpp"

namespace nucla::py {

namespace {

const Option& option_named(const char* name) {
    const std::size_t i = option_index(name);
    // Every constructor signature is checked against the table when it is compiled.
    if (i == kOptionCount) throw std::logic_error(std::string("no option named ") + name);
    return kOptions[i];
}

// The member an option's row names, in `values` (const or not); T is the member's type.
template <class T, class Values>
auto& field(Values& values, const Option& option) {
    return values.*std::get<T OptionValues::*>(option.member);
}

using Text = std::optional<std::string>;
using Count = std::optional<std::uint64_t>;

bool convert(const char* fname, const Option& option, PyObject* v, OptionValues& values) {
    const char* arg = option.name;
    switch (option.kind) {
        case OptionKind::Path:
        case OptionKind::Action: {
            // Only omission gives an Action its default; the Path is required.
            if (!v) return true;
            std::string_view text;
            if (!to_str(fname, arg, v, text)) return false;
            field<std::string>(values, option).assign(text);
            return true;
        }
        case OptionKind::IndexPath:
        case OptionKind::Text: {
            std::optional<std::string_view> text;
            if (!to_opt_str(fname, arg, v, text)) return false;
            if (text) field<Text>(values, option).emplace(*text);
            return true;
        }
        case OptionKind::Flag:
            return !v || to_bool(fname, arg, v, field<bool>(values, option));
        case OptionKind::Object:
            if (v && v != Py_None) field<Ref>(values, option) = Ref::borrow(v);
            return true;
        case OptionKind::Count:
            return to_opt_u64(fname, arg, v, field<Count>(values, option));
    }
    return true;
}

Ref or_none(PyObject* v) { return Ref::borrow(v ? v : Py_None); }

Ref pickled(const Option& option, const EngineHolder& holder) {
    const engine::Faidx& faidx = *holder.faidx;
    const OptionValues& values = holder.options;
    switch (option.kind) {
        case OptionKind::Path:
            return make_str(faidx.absolute_filename());
        case OptionKind::IndexPath:
            return field<Text>(values, option) ? make_str(faidx.absolute_index_path())
                                               : or_none(nullptr);
        case OptionKind::Text: {
            const Text& text = field<Text>(values, option);
            return text ? make_str(*text) : or_none(nullptr);
        }
        case OptionKind::Flag:
            return or_none(field<bool>(values, option) ? Py_True : Py_False);
        case OptionKind::Object:
            return or_none(field<Ref>(values, option).get());
        case OptionKind::Action:
            return make_str(field<std::string>(values, option));
        case OptionKind::Count: {
            const Count& count = field<Count>(values, option);
            return count ? Ref::steal(PyLong_FromUnsignedLongLong(*count)) : or_none(nullptr);
        }
    }
    return or_none(nullptr);
}

}  // namespace

bool open_engine_impl(const char* fname, const char* const* names, PyObject* const* args,
                      std::size_t n, EngineHolder& holder) {
    OptionValues values;
    for (std::size_t i = 0; i < n; ++i) {
        if (!convert(fname, option_named(names[i]), args[i], values)) return false;
    }
    // Unbuffered, one write per line, straight to the process's standard error.
    values.warn = [](std::string_view line) { (void)engine::write_all(2, line); };
    if (engine::is_remote_name(values.filename)) {
        holder.faidx = open_remote(values.filename, values);
        if (!holder.faidx) return false;
    } else {
        auto opened =
            engine::Faidx::open(values.filename, static_cast<const engine::Options&>(values));
        if (!opened.ok()) {
            raise(opened.error());
            return false;
        }
        holder.faidx = std::move(opened).value();
    }
    holder.options = std::move(values);
    return true;
}

PyObject* reduce_engine_impl(PyObject* self, const char* const* names, std::size_t n,
                             const EngineHolder& holder) {
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!args) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Ref v = pickled(option_named(names[i]), holder);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    const char* dot = std::strrchr(Py_TYPE(self)->tp_name, '.');
    return reduce_by_name(dot ? dot + 1 : Py_TYPE(self)->tp_name, args.get());
}

}  // namespace nucla::py
