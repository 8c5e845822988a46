// The sixteen options shared by Faidx and Fasta: converted by name, in the order of the
// caller's own signature, then handed to the engine.
#include <cstring>
#include <string>

#include "python/binding.hpp"

namespace nucla::py {

namespace {

bool is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

std::optional<std::string> owned(std::optional<std::string_view> v) {
    return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
}

bool held_object(PyObject* obj, Ref& out) {
    if (obj && obj != Py_None) out = Ref::borrow(obj);
    return true;
}

}  // namespace

bool open_engine_impl(const char* fname, const char* const* names, PyObject* const* args,
                      std::size_t n, EngineHolder& holder) {
    std::string filename;
    engine::Options opt;
    for (std::size_t i = 0; i < n; ++i) {
        const char* arg = names[i];
        PyObject* v = args[i];
        std::optional<std::string_view> text;
        bool ok = true;
        if (is(arg, "filename")) {
            std::string_view path;
            ok = to_str(fname, arg, v, path);
            filename.assign(path);
        } else if (is(arg, "indexname") || is(arg, "default_seq") || is(arg, "split_char")) {
            ok = to_opt_str(fname, arg, v, text);
            (is(arg, "indexname") ? opt.indexname
             : is(arg, "default_seq") ? opt.default_seq
                                      : opt.split_char) = owned(text);
        } else if (is(arg, "key_function")) {
            ok = held_object(v, holder.key_function);
        } else if (is(arg, "filt_function")) {
            ok = held_object(v, holder.filt_function);
        } else if (is(arg, "duplicate_action")) {
            std::string_view action = "stop";
            ok = !v || to_str(fname, arg, v, action);
            opt.duplicate_action.assign(action);
        } else if (is(arg, "read_ahead")) {
            ok = to_opt_u64(fname, arg, v, opt.read_ahead);
        } else {
            bool* flag = is(arg, "as_raw")                  ? &opt.as_raw
                         : is(arg, "strict_bounds")         ? &opt.strict_bounds
                         : is(arg, "sequence_always_upper") ? &opt.sequence_always_upper
                         : is(arg, "rebuild")               ? &opt.rebuild
                         : is(arg, "build_index")           ? &opt.build_index
                         : is(arg, "one_based_attributes")  ? &opt.one_based_attributes
                         : is(arg, "mutable")               ? &opt.mutable_file
                                                            : &opt.read_long_names;
            if (v) ok = to_bool(fname, arg, v, *flag);
        }
        if (!ok) return false;
    }
    auto opened = engine::Faidx::open(std::move(filename), std::move(opt));
    if (!opened.ok()) {
        raise(opened.error());
        return false;
    }
    holder.faidx = std::move(opened).value();
    return true;
}

namespace {

Ref opt_text(const std::optional<std::string>& v) {
    return v ? make_str(*v) : Ref::borrow(Py_None);
}

Ref held(const Ref& v) { return Ref::borrow(v ? v.get() : Py_None); }

}  // namespace

PyObject* reduce_engine_impl(PyObject* self, const char* const* names, std::size_t n,
                             const EngineHolder& holder) {
    const engine::Faidx& faidx = *holder.faidx;
    const engine::Options& opt = faidx.options();
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!args) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const char* arg = names[i];
        Ref v;
        if (is(arg, "filename")) {
            v = make_str(faidx.absolute_filename());
        } else if (is(arg, "indexname")) {
            v = opt.indexname ? make_str(faidx.absolute_index_path()) : Ref::borrow(Py_None);
        } else if (is(arg, "default_seq")) {
            v = opt_text(opt.default_seq);
        } else if (is(arg, "split_char")) {
            v = opt_text(opt.split_char);
        } else if (is(arg, "key_function")) {
            v = held(holder.key_function);
        } else if (is(arg, "filt_function")) {
            v = held(holder.filt_function);
        } else if (is(arg, "duplicate_action")) {
            v = make_str(opt.duplicate_action);
        } else if (is(arg, "read_ahead")) {
            v = opt.read_ahead ? Ref::steal(PyLong_FromUnsignedLongLong(*opt.read_ahead))
                               : Ref::borrow(Py_None);
        } else {
            const bool flag = is(arg, "as_raw")                  ? opt.as_raw
                              : is(arg, "strict_bounds")         ? opt.strict_bounds
                              : is(arg, "sequence_always_upper") ? opt.sequence_always_upper
                              : is(arg, "rebuild")               ? opt.rebuild
                              : is(arg, "build_index")           ? opt.build_index
                              : is(arg, "one_based_attributes")  ? opt.one_based_attributes
                              : is(arg, "mutable")               ? opt.mutable_file
                                                                 : opt.read_long_names;
            v = Ref::borrow(flag ? Py_True : Py_False);
        }
        if (!v) return nullptr;
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    const char* dot = std::strrchr(Py_TYPE(self)->tp_name, '.');
    return reduce_by_name(dot ? dot + 1 : Py_TYPE(self)->tp_name, args.get());
}

}  // namespace nucla::py
