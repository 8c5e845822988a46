// Regions as numpy arrays: the columns of a request are converted whole (names to index rows,
// coordinates through the buffer protocol when they come as arrays), the output is created
// through numpy's Python API (no numpy headers at build time) or taken from the caller, and the
// bases are copied and encoded by the engine with the interpreter lock released.
#include "array_args.hpp"
#include "binding.hpp"
#include "unlocked.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "engine/arrays.hpp"
#include "engine/run.hpp"
#include "engine/large.hpp"

namespace nucla::py {

// The element of a buffer format: one item, its struct code and kind.
struct Element {
    char code = 0;
    char kind = 0;  // 'i' signed, 'u' unsigned, 'f' floating, '?' bool
    bool native = true;
};

Element element_of(const char* format) {
    constexpr bool little = std::endian::native == std::endian::little;
    Element e;
    if (!format) format = "B";
    if (*format == '@' || *format == '=') {
        ++format;
    } else if (*format == '<') {
        e.native = little;
        ++format;
    } else if (*format == '>' || *format == '!') {
        e.native = !little;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return e;
    const char c = e.code = *format;
    if (std::strchr("bhilqn", c)) {
        e.kind = 'i';
    } else if (std::strchr("BHILQN", c)) {
        e.kind = 'u';
    } else if (std::strchr("efd", c)) {
        e.kind = 'f';
    } else if (c == '?') {
        e.kind = '?';
    }
    return e;
}

bool is_text(PyObject* obj) {
    return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj);
}

// The buffer of `obj` when it exports one a column can be read from (`exported` says whether
// it did; bytes only with `bytes_ok`); false only with an exception set.
bool column_buffer(PyObject* obj, Buffer& buffer, bool& exported, bool bytes_ok = false) {
    exported = false;
    if ((bytes_ok ? PyUnicode_Check(obj) : is_text(obj)) || !PyObject_CheckBuffer(obj))
        return true;
    if (!buffer.get(obj, PyBUF_RECORDS_RO)) {
        // numpy arrays of objects, for one, refuse: read them as sequences.
        if (!PyErr_ExceptionMatches(PyExc_BufferError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            return false;
        PyErr_Clear();
        return true;
    }
    exported = true;
    return true;
}

// The items of a column that is not read through a buffer: numpy arrays (of str or objects)
// through tolist(), which makes every item in C, anything else as a tuple, which no caller
// code can change while it is read.
Ref column_items(const char* fname, const char* arg, PyObject* obj) {
    if (is_text(obj)) {
        bad_argument(fname, arg, "a sequence", obj);
        return Ref();
    }
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) &&
        PyObject_HasAttrString(obj, "tolist")) {
        Ref list = Ref::steal(PyObject_CallMethod(obj, "tolist", nullptr));
        if (!list) return Ref();
        if (!PyList_Check(list.get())) {
            bad_argument(fname, arg, "a one-dimensional array", obj);
            return Ref();
        }
        // A list that something else holds too could change while it is read.
        return Py_REFCNT(list.get()) == 1 ? std::move(list)
                                          : Ref::steal(PySequence_Tuple(list.get()));
    }
    Ref items = Ref::steal(PySequence_Tuple(obj));
    if (!items && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        bad_argument(fname, arg, "a sequence", obj);
    }
    return items;
}

bool check_one_dimensional(const char* fname, const char* arg, const Py_buffer& view) {
    if (view.ndim == 1) return true;
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be one-dimensional, not %d-dimensional",
                 fname, arg, view.ndim);
    return false;
}

// Element i of a one-dimensional integer or bool buffer.
std::int64_t read_integer(const Py_buffer& view, char kind, Py_ssize_t i, bool& fits) {
    const char* p =
        static_cast<const char*>(view.buf) + i * (view.strides ? view.strides[0] : view.itemsize);
    fits = true;
    if (kind == 'i' || kind == '?') {
        switch (view.itemsize) {
            case 1: {
                std::int8_t v;
                std::memcpy(&v, p, 1);
                return v;
            }
            case 2: {
                std::int16_t v;
                std::memcpy(&v, p, 2);
                return v;
            }
            case 4: {
                std::int32_t v;
                std::memcpy(&v, p, 4);
                return v;
            }
            default: {
                std::int64_t v;
                std::memcpy(&v, p, 8);
                return v;
            }
        }
    }
    std::uint64_t v = 0;
    switch (view.itemsize) {
        case 1: {
            std::uint8_t u;
            std::memcpy(&u, p, 1);
            v = u;
            break;
        }
        case 2: {
            std::uint16_t u;
            std::memcpy(&u, p, 2);
            v = u;
            break;
        }
        case 4: {
            std::uint32_t u;
            std::memcpy(&u, p, 4);
            v = u;
            break;
        }
        default:
            std::memcpy(&v, p, 8);
            break;
    }
    fits = v <= static_cast<std::uint64_t>(INT64_MAX);
    return static_cast<std::int64_t>(v);
}

bool bad_item_type(const char* fname, const char* arg, const char* expected, const char* type) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold %s, not %.200s", fname, arg,
                 expected, type);
    return false;
}

bool bad_item_type(const char* fname, const char* arg, const char* expected, PyObject* item) {
    return bad_item_type(fname, arg, expected, Py_TYPE(item)->tp_name);
}

bool out_of_range(const char* fname, const char* arg, Py_ssize_t i) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s': item %zd is out of range", fname, arg,
                 i);
    return false;
}

// Integers: an integer array (any width, either signedness, native byte order) read through
// the buffer protocol, or item by item through __index__ any other sequence, numpy arrays of
// objects or in the other byte order included. Bools are refused in either form, as numpy
// refuses them as indices (a bool array is a mask there). Bytes only with `bytes_ok`.
bool to_integers(const char* fname, const char* arg, PyObject* obj, std::vector<std::int64_t>& out,
                 bool bytes_ok) {
    {
        Buffer buffer;
        bool exported;
        if (!column_buffer(obj, buffer, exported, bytes_ok)) return false;
        if (exported) {
            const Py_buffer& view = buffer.view();
            if (!check_one_dimensional(fname, arg, view)) return false;
            const Element e = element_of(view.format);
            if (e.kind == '?') return bad_item_type(fname, arg, "integers", "bool");
            if (e.kind == 'f') return bad_item_type(fname, arg, "integers", "float");
            if ((e.kind == 'i' || e.kind == 'u') && e.native &&
                (view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4 ||
                 view.itemsize == 8)) {
                out.resize(static_cast<std::size_t>(view.shape[0]));
                for (Py_ssize_t i = 0; i < view.shape[0]; ++i) {
                    bool fits;
                    out[static_cast<std::size_t>(i)] = read_integer(view, e.kind, i, fits);
                    if (!fits) return out_of_range(fname, arg, i);
                }
                return true;
            }
        }
    }
    Ref items = column_items(fname, arg, obj);
    if (!items) return false;
    // A tuple, or a list that only this call holds; each item is held while its __index__ runs
    // and the size read again after it, whatever that code reaches.
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n && i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        if (PyBool_Check(item.get())) return bad_item_type(fname, arg, "integers", item.get());
        Ref index = PyLong_CheckExact(item.get()) ? Ref::borrow(item.get())
                                                  : Ref::steal(PyNumber_Index(item.get()));
        if (!index) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return bad_item_type(fname, arg, "integers", item.get());
            }
            return false;
        }
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            return out_of_range(fname, arg, i);
        }
        out[static_cast<std::size_t>(i)] = v;
    }
    if (PySequence_Fast_GET_SIZE(items.get()) != n) {
        PyErr_Format(PyExc_RuntimeError, "%s() argument '%s' changed size during conversion",
                     fname, arg);
        return false;
    }
    return true;
}

// Strands: None (all plus), a bool array (True is minus), or a sequence of "+", "-" (or "." for
// no strand, read as plus) and bools, numpy arrays of str or objects included.
bool to_strands(const char* fname, PyObject* obj, std::size_t n, std::vector<bool>& out) {
    out.assign(n, false);
    if (!obj || obj == Py_None) return true;
    {
        Buffer buffer;
        bool exported;
        if (!column_buffer(obj, buffer, exported)) return false;
        if (exported) {
            const Py_buffer& view = buffer.view();
            if (!check_one_dimensional(fname, "strands", view)) return false;
            if (element_of(view.format).kind == '?' && view.itemsize == 1) {
                out.clear();  // of another length than the other columns: the caller says so
                for (Py_ssize_t i = 0; i < view.shape[0]; ++i) {
                    bool fits;
                    out.push_back(read_integer(view, '?', i, fits) != 0);
                }
                return true;
            }
        }
    }
    Ref items = column_items(fname, "strands", obj);
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject* const* item = PySequence_Fast_ITEMS(items.get());
    out.assign(static_cast<std::size_t>(count), false);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* s = item[i];
        if (PyBool_Check(s)) {
            out[static_cast<std::size_t>(i)] = s == Py_True;
            continue;
        }
        std::string_view text;
        if (PyUnicode_Check(s) && utf8_of(s, text) && (text == "+" || text == "-" || text == ".")) {
            out[static_cast<std::size_t>(i)] = text == "-";
            continue;
        }
        if (PyErr_Occurred()) return false;
        PyErr_Format(PyExc_ValueError,
                     "%s() argument 'strands': strand of region %zd must be '+', '-', '.' or a "
                     "bool, not %R",
                     fname, i, s);
        return false;
    }
    return true;
}

// KeyError for the name of region i, saying what the file calls the sequence when it names it
// the other common way.
bool unknown_name(const engine::Faidx& faidx, PyObject* given, std::string_view name,
                  Py_ssize_t i) {
    const std::optional<std::string> other = engine::other_naming(faidx.index(), name);
    Ref hint = other ? make_str(*other) : Ref();
    if (other && !hint) return false;
    Ref message = Ref::steal(
        hint ? PyUnicode_FromFormat(
                   "sequence %R of region %zd is not in the index. Did you mean: %R?", given, i,
                   hint.get())
             : PyUnicode_FromFormat("sequence %R of region %zd is not in the index", given, i));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return false;
}

// Names to index rows, all looked up before anything else is converted.
bool to_rows(const char* fname, const engine::Faidx& faidx, PyObject* names,
             std::vector<engine::ArrayRegion>& out) {
    Ref items = column_items(fname, "names", names);
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject* const* item = PySequence_Fast_ITEMS(items.get());
    out.resize(static_cast<std::size_t>(n));
    PyObject* last = nullptr;  // neighbouring regions often share one name object
    const engine::IndexEntry* entry = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (item[i] != last) {
            if (!PyUnicode_Check(item[i])) return bad_item_type(fname, "names", "str", item[i]);
            std::string_view name;
            if (!utf8_of(item[i], name)) return false;
            entry = faidx.index().find(name);
            if (!entry) return unknown_name(faidx, item[i], name, i);
            last = item[i];
        }
        out[static_cast<std::size_t>(i)].entry = entry;
    }
    return true;
}

Ref import_numpy(const char* fname) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s() needs numpy: install it with 'pip install numpy'",
                     fname);
    }
    return numpy;
}


// The numpy name of a one-hot float type in the byte order that is not this machine's.
const char* swapped_float_dtype(int bits) {
    constexpr bool little = std::endian::native == std::endian::little;
    if (bits == 16) return little ? ">f2" : "<f2";
    return little ? ">f4" : "<f4";
}

bool parse_format(const char* fname, PyObject* numpy, PyObject* encoding, PyObject* dtype,
                  PyObject* upper, PyObject* table, bool one_hot_allowed, Options& o) {
    std::string_view name = "bytes";
    if (encoding && !to_str(fname, "encoding", encoding, name)) return false;
    if (name == "bytes") {
        o.format.encoding = engine::Encoding::Bytes;
    } else if (name == "codes") {
        o.format.encoding = engine::Encoding::Codes;
    } else if (name == "onehot" && one_hot_allowed) {
        o.format.encoding = engine::Encoding::OneHot;
    } else {
        PyErr_Format(PyExc_ValueError, "%s() argument 'encoding' must be %s, not %R", fname,
                     one_hot_allowed ? "'bytes', 'codes' or 'onehot'" : "'bytes' or 'codes'",
                     encoding);
        return false;
    }
    if (dtype && dtype != Py_None) {
        Ref resolved = Ref::steal(PyObject_CallMethod(numpy, "dtype", "O", dtype));
        Ref type_name =
            resolved ? Ref::steal(PyObject_GetAttrString(resolved.get(), "name")) : Ref();
        // '=' native, '|' for single bytes, '<' or '>' only when not native.
        Ref order =
            type_name ? Ref::steal(PyObject_GetAttrString(resolved.get(), "byteorder")) : Ref();
        std::string_view type, byteorder;
        if (!order || !utf8_of(type_name.get(), type) || !utf8_of(order.get(), byteorder))
            return false;
        const bool swapped = byteorder == "<" || byteorder == ">";
        const bool one_hot = o.format.encoding == engine::Encoding::OneHot;
        if (type == "uint8") {
            o.format.one_hot = engine::OneHotType::U8;
        } else if (one_hot && type == "float16") {
            o.format.one_hot = engine::OneHotType::F16;
            o.dtype = swapped ? swapped_float_dtype(16) : "float16";
            o.element = 'e';
            o.element_size = 2;
        } else if (one_hot && type == "float32") {
            o.format.one_hot = engine::OneHotType::F32;
            o.dtype = swapped ? swapped_float_dtype(32) : "float32";
            o.element = 'f';
            o.element_size = 4;
        } else {
            PyErr_Format(PyExc_ValueError,
                         "%s() argument 'dtype' must be %s for encoding %R, not %R", fname,
                         one_hot ? "uint8, float16 or float32" : "uint8",
                         encoding ? encoding : Py_None, type_name.get());
            return false;
        }
        o.format.swap_bytes = swapped && o.element_size > 1;
    }
    if (upper && !to_bool(fname, "upper", upper, o.format.upper)) return false;
    o.format.table = engine::default_code_table();
    if (table && table != Py_None) {
        if (o.format.encoding != engine::Encoding::Codes) {
            PyErr_Format(PyExc_ValueError,
                         "%s() argument 'table' is only used with encoding='codes'", fname);
            return false;
        }
        std::vector<std::int64_t> codes;
        if (!to_integers(fname, "table", table, codes, true)) return false;
        if (codes.size() != 256 ||
            std::any_of(codes.begin(), codes.end(), [](auto c) { return c < 0 || c > 255; })) {
            PyErr_Format(PyExc_ValueError,
                         "%s() argument 'table' must be 256 codes from 0 to 255, one per byte",
                         fname);
            return false;
        }
        std::copy(codes.begin(), codes.end(), o.format.table.begin());
    }
    return true;
}

// The regions of a request: names, starts, ends and strands, all of one length, converted
// before any view of them is kept.
bool to_regions(const char* fname, const engine::Faidx& faidx, PyObject* names, PyObject* starts,
                PyObject* ends, PyObject* strands, std::vector<engine::ArrayRegion>& regions) {
    std::vector<std::int64_t> first, last;
    std::vector<bool> minus;
    if (!to_rows(fname, faidx, names, regions) || !to_integers(fname, "starts", starts, first) ||
        !to_integers(fname, "ends", ends, last) ||
        !to_strands(fname, strands, regions.size(), minus))
        return false;
    if (first.size() != regions.size() || last.size() != regions.size() ||
        minus.size() != regions.size()) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): names, starts, ends and strands differ in length (%zu, %zu, %zu, %zu)",
                     fname, regions.size(), first.size(), last.size(),
                     strands && strands != Py_None ? minus.size() : regions.size());
        return false;
    }
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (last[i] < first[i]) {
            PyErr_Format(PyExc_ValueError, "%s(): region %zu ends (%lld) before it starts (%lld)",
                         fname, i, static_cast<long long>(last[i]),
                         static_cast<long long>(first[i]));
            return false;
        }
        regions[i].start = first[i];
        regions[i].end = last[i];
        regions[i].minus = minus[i];
    }
    return true;
}

// A new numpy array of `shape` and `dtype`.
Ref new_array(PyObject* numpy, std::initializer_list<std::uint64_t> shape, const char* dtype) {
    Ref dims = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return Ref();
    Py_ssize_t k = 0;
    for (std::uint64_t d : shape) {
        PyObject* v = PyLong_FromUnsignedLongLong(d);
        if (!v) return Ref();
        PyTuple_SET_ITEM(dims.get(), k++, v);
    }
    return Ref::steal(PyObject_CallMethod(numpy, "empty", "Os", dims.get(), dtype));
}

// The writable, C-contiguous buffer of an output array, checked against the shape and element
// type the request needs before anything is written.
bool output_buffer(const char* fname, PyObject* out, const std::vector<std::uint64_t>& shape,
                   const Options& o, Buffer& buffer) {
    if (!PyObject_CheckBuffer(out)) return bad_argument(fname, "out", "a writable array", out);
    if (!buffer.get(out, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = buffer.view();
    const Element e = element_of(view.format);
    if ((o.element_size > 1 && e.native == o.format.swap_bytes) || e.code != o.element ||
        view.itemsize != o.element_size) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'out' must have dtype %s, not format '%s'",
                     fname, o.dtype, view.format ? view.format : "B");
        return false;
    }
    bool same = static_cast<std::size_t>(view.ndim) == shape.size();
    for (std::size_t d = 0; same && d < shape.size(); ++d)
        same = static_cast<std::uint64_t>(view.shape[d]) == shape[d];
    if (!same) {
        std::string expected = "(";
        for (std::size_t d = 0; d < shape.size(); ++d)
            expected += (d ? ", " : "") + std::to_string(shape[d]);
        expected += shape.size() == 1 ? ",)" : ")";
        PyErr_Format(PyExc_ValueError, "%s() argument 'out' must have shape %s", fname,
                     expected.c_str());
        return false;
    }
    if (view.readonly || !PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'out' must be writable and C-contiguous",
                     fname);
        return false;
    }
    return true;
}


bool fill(const engine::Faidx& faidx, const std::vector<engine::ArrayRegion>& regions,
          engine::ArrayLayout layout, const engine::ArrayFormat& format, std::uint8_t* out,
          std::uint64_t bytes) {
    return fill_unlocked(bytes, [&](const engine::Execution& execution) {
        return engine::fill_regions(faidx, regions, layout, format, out, execution);
    });
}

bool fill_unlocked(std::uint64_t bytes,
                   const std::function<engine::ArrayRun(const engine::Execution&)>& fill) {
    engine::ArrayRun run;
    {
        WithoutGil unlocked;
        engine::Interrupt interrupt([&] { return unlocked.keep_going(); });
        run = fill(engine::Execution{bytes >= kParallelBytes, true, &interrupt});
    }
    if (run.stopped) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "the process forked during a parallel batch");
        return false;
    }
    if (run.failure) {
        raise(run.failure->error);
        return false;
    }
    return true;
}

bool to_window_length(const char* fname, PyObject* obj, std::uint64_t& length) {
    // A bool is no length, as it is no coordinate.
    if (PyBool_Check(obj)) return bad_argument(fname, "length", "int", obj);
    return to_u64(fname, "length", obj, length);
}

bool check_spans(const char* fname, const std::vector<engine::ArrayRegion>& regions,
                 std::uint64_t length) {
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const auto span = static_cast<std::uint64_t>(regions[i].end) -
                          static_cast<std::uint64_t>(regions[i].start);
        if (span != length) {
            PyErr_Format(PyExc_ValueError, "%s(): region %zu spans %llu bases, not length %llu",
                         fname, i, static_cast<unsigned long long>(span),
                         static_cast<unsigned long long>(length));
            return false;
        }
    }
    return true;
}

Ref window_output(const char* fname, PyObject* numpy, PyObject* out,
                  const std::vector<std::uint64_t>& shape, const Options& o, Buffer& buffer,
                  std::uint64_t& bytes) {
    bytes = o.element_size;
    for (std::uint64_t d : shape) {
        if (__builtin_mul_overflow(bytes, d, &bytes)) {
            PyErr_NoMemory();
            return Ref();
        }
    }
    if (bytes > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref result;
    if (out && out != Py_None) {
        result = Ref::borrow(out);
    } else {
        Ref dims = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
        if (!dims) return Ref();
        for (std::size_t d = 0; d < shape.size(); ++d) {
            PyObject* v = PyLong_FromUnsignedLongLong(shape[d]);
            if (!v) return Ref();
            PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(d), v);
        }
        result = Ref::steal(PyObject_CallMethod(numpy, "empty", "Os", dims.get(), o.dtype));
        if (!result) return Ref();
    }
    if (!output_buffer(fname, result.get(), shape, o, buffer)) return Ref();
    // Fresh memory this large asks for huge pages: one fault per 2 MiB.
    if ((!out || out == Py_None) && bytes >= kHugeBytes)
        engine::advise_huge_pages(buffer.view().buf, bytes);
    return result;
}

bool packed_output(PyObject* numpy, std::size_t entries,
                   const std::function<bool(std::size_t, std::int64_t&)>& span, Ref& offsets,
                   Buffer& offsets_buffer, Ref& data, Buffer& data_buffer) {
    offsets = new_array(numpy, {entries + 1}, "int64");
    if (!offsets || !offsets_buffer.get(offsets.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS))
        return false;
    auto* at = static_cast<std::int64_t*>(offsets_buffer.view().buf);
    at[0] = 0;
    for (std::size_t e = 0; e < entries; ++e) {
        std::int64_t n;
        if (!span(e, n) || __builtin_add_overflow(at[e], n, &at[e + 1]) ||
            at[e + 1] > PY_SSIZE_T_MAX) {
            PyErr_NoMemory();
            return false;
        }
    }
    const auto bytes = static_cast<std::uint64_t>(at[entries]);
    data = new_array(numpy, {bytes}, "uint8");
    if (!data || !data_buffer.get(data.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return false;
    if (bytes >= kHugeBytes) engine::advise_huge_pages(data_buffer.view().buf, bytes);
    return true;
}

const char kFetchWindowsDoc[] =
    "fetch_windows($self, names, starts, ends, length, *, strands=None, encoding='bytes',\n"
    "              dtype=None, upper=False, table=None, out=None)\n--\n\n"
    "Fixed-length windows as one numpy array of shape (N, length), or (N, length, 4) for\n"
    "one-hot.\n\n"
    "Region i is what fasta[names[i]][starts[i]:ends[i]] gives: 0-based, half-open, and\n"
    "every region must span exactly `length` bases. Parts before base 0 or past the end of\n"
    "the sequence are padding, never clamped: N for 'bytes', code 4 for 'codes', zeros for\n"
    "'onehot'. `names` is a list or array of str; `starts` and `ends` are integer arrays or\n"
    "sequences of ints (bools are refused); `strands` is None, a sequence or array of '+'/'-'\n"
    "strings, or a bool array (True: minus). A minus region is the reverse complement of the\n"
    "plus one, as unary minus on a Sequence gives it.\n\n"
    "encoding: 'bytes' (the file's bytes as uint8; upper=True upper-cases them), 'codes'\n"
    "(A/a 0, C/c 1, G/g 2, T/t 3, anything else 4, or a `table` of 256 codes, 0 to 255), or\n"
    "'onehot' (channels A, C, G, T; dtype uint8, float16 or float32, in either byte order;\n"
    "anything else zeros).\n"
    "out: a C-contiguous writable array of the right shape and dtype to fill and return.\n\n"
    "The interpreter lock is released while bases are copied. Needs numpy. An unknown name\n"
    "raises KeyError, a bad length or shape ValueError, a wrong type TypeError. On any\n"
    "error nothing is returned, but `out` may have been partly written.";

const char kFetchPackedDoc[] =
    "fetch_packed($self, names, starts, ends, *, strands=None, encoding='bytes', upper=False,\n"
    "             table=None)\n--\n\n"
    "Regions of any length, concatenated: (data, offsets), where data is uint8 and offsets\n"
    "an int64 array of N + 1 entries starting at 0; region i is data[offsets[i]:offsets[i+1]].\n\n"
    "Regions, strands, padding and encodings ('bytes' or 'codes') are as in fetch_windows.\n"
    "The interpreter lock is released while bases are copied. Needs numpy.";

PyObject* fetch_windows(const engine::Faidx& faidx, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kw) {
    static constexpr Signature<10> sig{"fetch_windows",
                                       {"names", "starts", "ends", "length", "strands", "encoding",
                                        "dtype", "upper", "table", "out"},
                                       4,
                                       4};
    const char* fname = sig.fname;
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 10> a;
        if (!unpack(sig, args, nargs, kw, a)) return nullptr;
        const std::array<Ref, 10> held = hold_arguments(a);
        Ref numpy = import_numpy(fname);
        std::uint64_t length;
        Options o;
        if (!to_window_length(fname, a[3], length) || !numpy ||
            !parse_format(fname, numpy.get(), a[5], a[6], a[7], a[8], true, o))
            return nullptr;
        std::vector<engine::ArrayRegion> regions;
        if (!to_regions(fname, faidx, a[0], a[1], a[2], a[4], regions) ||
            !check_spans(fname, regions, length))
            return nullptr;
        std::vector<std::uint64_t> shape{regions.size(), length};
        if (o.format.encoding == engine::Encoding::OneHot) shape.push_back(4);
        Buffer buffer;
        std::uint64_t bytes;
        Ref result = window_output(fname, numpy.get(), a[9], shape, o, buffer, bytes);
        if (!result) return nullptr;
        auto* data = static_cast<std::uint8_t*>(buffer.view().buf);
        if (!fill(faidx, regions, engine::ArrayLayout{nullptr, length}, o.format, data, bytes))
            return nullptr;
        return result.release();
    });
}

PyObject* fetch_packed(const engine::Faidx& faidx, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kw) {
    static constexpr Signature<7> sig{
        "fetch_packed", {"names", "starts", "ends", "strands", "encoding", "upper", "table"}, 3, 3};
    const char* fname = sig.fname;
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 7> a;
        if (!unpack(sig, args, nargs, kw, a)) return nullptr;
        const std::array<Ref, 7> held = hold_arguments(a);
        Ref numpy = import_numpy(fname);
        Options o;
        if (!numpy || !parse_format(fname, numpy.get(), a[4], nullptr, a[5], a[6], false, o))
            return nullptr;
        std::vector<engine::ArrayRegion> regions;
        if (!to_regions(fname, faidx, a[0], a[1], a[2], a[3], regions)) return nullptr;

        Ref offsets, data;
        Buffer offsets_buffer, data_buffer;
        const auto span = [&](std::size_t i, std::int64_t& n) {
            return !__builtin_sub_overflow(regions[i].end, regions[i].start, &n);
        };
        if (!packed_output(numpy.get(), regions.size(), span, offsets, offsets_buffer, data,
                           data_buffer))
            return nullptr;
        const auto* at = static_cast<const std::int64_t*>(offsets_buffer.view().buf);
        auto* out = static_cast<std::uint8_t*>(data_buffer.view().buf);
        const auto bytes = static_cast<std::uint64_t>(at[regions.size()]);
        if (!fill(faidx, regions, engine::ArrayLayout{at, 0}, o.format, out, bytes)) return nullptr;
        return PyTuple_Pack(2, data.get(), offsets.get());
    });
}

}  // namespace nucla::py
