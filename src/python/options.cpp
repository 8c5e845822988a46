// Conversion and pickling of the sixteen constructor options, each by the kind its row in
// kOptions gives it, in the order of the caller's own signature.
#include <cstring>
#include <string>

#include "python/binding.hpp"

namespace nucla::py {

namespace {

const Option& option_named(const char* name) {
    const Option* option = find_option(name);
    // Every constructor signature is checked against the table when it is compiled.
    if (!option) throw std::logic_error(std::string("no option named ") + name);
    return *option;
}

bool convert(const char* fname, const Option& option, PyObject* v, OptionValues& values) {
    const char* arg = option.name;
    switch (option.kind) {
        case OptionKind::Path:
        case OptionKind::Action: {
            // Only omission gives an Action its default; the Path is required.
            if (!v) return true;
            std::string_view text;
            if (!to_str(fname, arg, v, text)) return false;
            (values.*std::get<std::string OptionValues::*>(option.member)).assign(text);
            return true;
        }
        case OptionKind::IndexPath:
        case OptionKind::Text: {
            std::optional<std::string_view> text;
            if (!to_opt_str(fname, arg, v, text)) return false;
            auto& field = values.*std::get<std::optional<std::string> OptionValues::*>(option.member);
            if (text) field.emplace(*text);
            return true;
        }
        case OptionKind::Flag:
            return !v || to_bool(fname, arg, v, values.*std::get<bool OptionValues::*>(option.member));
        case OptionKind::Object:
            if (v && v != Py_None) values.*std::get<Ref OptionValues::*>(option.member) = Ref::borrow(v);
            return true;
        case OptionKind::Count:
            return to_opt_u64(fname, arg, v,
                              values.*std::get<std::optional<std::uint64_t> OptionValues::*>(
                                  option.member));
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
            return values.*std::get<std::optional<std::string> OptionValues::*>(option.member)
                       ? make_str(faidx.absolute_index_path())
                       : or_none(nullptr);
        case OptionKind::Text: {
            const auto& text =
                values.*std::get<std::optional<std::string> OptionValues::*>(option.member);
            return text ? make_str(*text) : or_none(nullptr);
        }
        case OptionKind::Flag:
            return or_none(values.*std::get<bool OptionValues::*>(option.member) ? Py_True
                                                                                  : Py_False);
        case OptionKind::Object:
            return or_none((values.*std::get<Ref OptionValues::*>(option.member)).get());
        case OptionKind::Action:
            return make_str(values.*std::get<std::string OptionValues::*>(option.member));
        case OptionKind::Count: {
            const auto& count =
                values.*std::get<std::optional<std::uint64_t> OptionValues::*>(option.member);
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
    auto opened = engine::Faidx::open(values.filename, static_cast<const engine::Options&>(values));
    if (!opened.ok()) {
        raise(opened.error());
        return false;
    }
    holder.faidx = std::move(opened).value();
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
