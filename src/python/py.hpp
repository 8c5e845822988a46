// The binding's toolkit: an owning reference, the exception guard around every entry point,
// argument unpacking with CPython's own error wording, and the converters every method uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

namespace nucla::py {

// An owned (strong) reference; move-only, released on destruction.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

template <class T>
constexpr T error_value() {
    if constexpr (std::is_pointer_v<T>) {
        return nullptr;
    } else {
        return static_cast<T>(-1);
    }
}

// Runs a binding body so that no C++ exception reaches the interpreter: allocation failure
// becomes MemoryError, anything else SystemError.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return error_value<R>();
}

// A callable's parameters: the first `positional` may come by position or by keyword, the
// rest by keyword only.
template <std::size_t N>
struct Signature {
    const char* fname;
    std::array<const char*, N> names;
    std::size_t required;
    std::size_t positional = N;
};

bool unpack_fast(const char* fname, const char* const* names, std::size_t n, std::size_t required,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                 std::size_t positional);
bool unpack_tuple(const char* fname, const char* const* names, std::size_t n, std::size_t required,
                  PyObject* args, PyObject* kwargs, PyObject** out);

// METH_FASTCALL | METH_KEYWORDS front end. Omitted arguments are left null.
template <std::size_t N>
bool unpack(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            std::array<PyObject*, N>& out) {
    out.fill(nullptr);
    return unpack_fast(sig.fname, sig.names.data(), N, sig.required, args, nargs, kwnames,
                       out.data(), sig.positional);
}

// tp_new front end (argument tuple and keyword dict).
template <std::size_t N>
bool unpack(const Signature<N>& sig, PyObject* args, PyObject* kwargs,
            std::array<PyObject*, N>& out) {
    out.fill(nullptr);
    return unpack_tuple(sig.fname, sig.names.data(), N, sig.required, args, kwargs, out.data());
}

// "fetch() argument 'start' must be int, not float"; always returns false.
bool bad_argument(const char* fname, const char* arg, const char* expected, PyObject* got);

// Strong references to unpacked arguments, for a callee that runs Python code (an __index__)
// while it converts them: a keyword dict reachable from Python could drop its values meanwhile.
template <std::size_t N>
std::array<Ref, N> hold_arguments(const std::array<PyObject*, N>& args) {
    std::array<Ref, N> held;
    for (std::size_t i = 0; i < N; ++i) held[i] = Ref::borrow(args[i]);
    return held;
}

// Converters: each returns false with a Python exception set.
// The type check of to_str alone, for callers that take the text's view only after every
// other argument is converted.
bool check_str(const char* fname, const char* arg, PyObject* obj);
bool to_str(const char* fname, const char* arg, PyObject* obj, std::string_view& out);
bool to_opt_str(const char* fname, const char* arg, PyObject* obj,
                std::optional<std::string_view>& out);
bool to_bool(const char* fname, const char* arg, PyObject* obj, bool& out);
// None and omission mean false.
bool to_opt_bool(const char* fname, const char* arg, PyObject* obj, bool& out);
// Any object with __index__; negative or too large values raise OverflowError.
bool to_u64(const char* fname, const char* arg, PyObject* obj, std::uint64_t& out);
bool to_opt_u64(const char* fname, const char* arg, PyObject* obj,
                std::optional<std::uint64_t>& out);

// UTF-8 view of a str (cached by the str; no copy for ASCII); nullptr data on failure.
bool utf8_of(PyObject* str, std::string_view& out);
// A str from bytes: ASCII fast path, else strict UTF-8 decoding (UnicodeDecodeError).
Ref make_str(std::string_view bytes);
// The name as a str: the caller's own object when it is an exact str, else a new one.
Ref name_str(PyObject* given, std::string_view name);
// An exact str with the text of `str` (a str or a subclass): `str` itself when it is exact,
// else a copy, so that no object keeps a caller's subclass instance (or what it refers to).
Ref exact_str(PyObject* str);

// Casts a fastcall/keywords function for a PyMethodDef table.
template <class F>
PyCFunction method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace nucla::py
