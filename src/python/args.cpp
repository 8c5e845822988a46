// Argument unpacking and conversion, worded as CPython's own argument parser words it.
#include "py.hpp"

#include <cstring>

#include "engine/text.hpp"

namespace nucla::py {

namespace {

bool too_many(const char* fname, std::size_t n, std::size_t required, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zu argument%s (%zd given)", fname,
                 required == n ? "exactly" : "at most", n, n == 1 ? "" : "s", given);
    return false;
}

bool check_required(const char* fname, const char* const* names, std::size_t required,
                    PyObject** out) {
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool place_keyword(const char* fname, const char* const* names, std::size_t n, PyObject* key,
                   PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    Py_ssize_t len;
    const char* k = PyUnicode_AsUTF8AndSize(key, &len);
    if (!k) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::strlen(names[i]) == static_cast<std::size_t>(len) &&
            std::memcmp(names[i], k, static_cast<std::size_t>(len)) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError,
                             "argument for %s() given by name ('%s') and position (%zu)", fname,
                             names[i], i + 1);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, fname);
    return false;
}

}  // namespace

bool unpack_fast(const char* fname, const char* const* names, std::size_t n, std::size_t required,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                 std::size_t positional) {
    nargs = PyVectorcall_NARGS(nargs);
    if (positional < n && static_cast<std::size_t>(nargs) > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)",
                     fname, positional, nargs);
        return false;
    }
    if (static_cast<std::size_t>(nargs) > n) return too_many(fname, n, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!place_keyword(fname, names, n, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out))
                return false;
        }
    }
    return check_required(fname, names, required, out);
}

bool unpack_tuple(const char* fname, const char* const* names, std::size_t n, std::size_t required,
                  PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > n) return too_many(fname, n, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(fname, names, n, key, value, out)) return false;
        }
    }
    return check_required(fname, names, required, out);
}

bool bad_argument(const char* fname, const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.50s", fname, arg,
                 expected, got == Py_None ? "None" : Py_TYPE(got)->tp_name);
    return false;
}

bool utf8_of(PyObject* str, std::string_view& out) {
    Py_ssize_t len;
    const char* data = PyUnicode_AsUTF8AndSize(str, &len);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

bool check_str(const char* fname, const char* arg, PyObject* obj) {
    return PyUnicode_Check(obj) || bad_argument(fname, arg, "str", obj);
}

bool to_str(const char* fname, const char* arg, PyObject* obj, std::string_view& out) {
    return check_str(fname, arg, obj) && utf8_of(obj, out);
}

bool to_opt_str(const char* fname, const char* arg, PyObject* obj,
                std::optional<std::string_view>& out) {
    out.reset();
    if (!obj || obj == Py_None) return true;
    std::string_view s;
    if (!to_str(fname, arg, obj, s)) return false;
    out = s;
    return true;
}

bool to_bool(const char* fname, const char* arg, PyObject* obj, bool& out) {
    if (!PyBool_Check(obj)) return bad_argument(fname, arg, "bool", obj);
    out = obj == Py_True;
    return true;
}

bool to_opt_bool(const char* fname, const char* arg, PyObject* obj, bool& out) {
    out = false;
    if (!obj || obj == Py_None) return true;
    return to_bool(fname, arg, obj, out);
}

bool to_u64(const char* fname, const char* arg, PyObject* obj, std::uint64_t& out) {
    if (PyLong_CheckExact(obj)) {
        out = PyLong_AsUnsignedLongLong(obj);
        return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
    }
    if (!PyIndex_Check(obj)) return bad_argument(fname, arg, "int", obj);
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_opt_u64(const char* fname, const char* arg, PyObject* obj,
                std::optional<std::uint64_t>& out) {
    out.reset();
    if (!obj || obj == Py_None) return true;
    std::uint64_t v;
    if (!to_u64(fname, arg, obj, v)) return false;
    out = v;
    return true;
}

Ref make_str(std::string_view bytes) {
    if (engine::is_ascii(bytes.data(), bytes.size())) {
        Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127));
        if (s && !bytes.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), bytes.data(), bytes.size());
        return s;
    }
    return Ref::steal(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
}

Ref name_str(PyObject* given, std::string_view name) {
    if (given && PyUnicode_CheckExact(given)) return Ref::borrow(given);
    return make_str(name);
}

Ref exact_str(PyObject* str) {
    if (PyUnicode_CheckExact(str)) return Ref::borrow(str);
    return Ref::steal(PyUnicode_FromObject(str));  // copies the text; runs no Python code
}

}  // namespace nucla::py
