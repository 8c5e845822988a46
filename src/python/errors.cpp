// The one place where an engine error becomes a Python exception.
#include "binding.hpp"

namespace nucla::py {

namespace {

// "FetchError: Sequence 'chrX' not found" and friends: a plain Exception's text names the kind.
std::string python_message(const engine::FaidxError& error) {
    using Kind = engine::FaidxError::Kind;
    const char* kind = "";
    switch (error.kind()) {
        case Kind::FastaNotFound: kind = "FastaNotFoundError: "; break;
        case Kind::IndexNotFound: kind = "IndexNotFoundError: "; break;
        case Kind::Fetch: kind = "FetchError: "; break;
        case Kind::Indexing: kind = "FastaIndexingError: "; break;
        case Kind::Io: kind = "IOError: "; break;
        case Kind::Region: kind = "RegionError: "; break;
        case Kind::Value:
        case Kind::Key:
        case Kind::Os:
        case Kind::Callback:
            break;  // a Python exception type of their own says what they are
    }
    return kind + error.detail();
}

}  // namespace

std::nullptr_t raise(const engine::FaidxError& error) {
    using Kind = engine::FaidxError::Kind;
    // Python code of ours (a remote fetch) raised, and left its exception set for the caller.
    if (error.kind() == Kind::Callback && PyErr_Occurred()) return nullptr;
    if (error.kind() == Kind::Os) {
        // OSError(errno, text, filename) makes the subclass for the errno (FileNotFoundError).
        const engine::IoError& io = error.io_error();
        Ref text = make_str(error.detail());
        Ref path = make_str(error.payload());
        if (!text || !path) return nullptr;
        if (!io.os_code) {
            Ref whole = make_str(error.display());
            if (whole) PyErr_SetObject(PyExc_OSError, whole.get());
            return nullptr;
        }
        Ref value = Ref::steal(Py_BuildValue("(iOO)", io.os_code, text.get(), path.get()));
        if (value) PyErr_SetObject(PyExc_OSError, value.get());
        return nullptr;
    }
    const std::string message = python_message(error);
    Ref text = make_str(message);
    if (!text) {
        // Not valid UTF-8 (a name taken from a foreign index, say): keep the bytes visible.
        PyErr_Clear();
        text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()),
                                               "backslashreplace"));
        if (!text) return nullptr;
    }
    PyObject* type = error.kind() == Kind::Value ? PyExc_ValueError
                     : error.kind() == Kind::Key ? PyExc_KeyError
                                                 : PyExc_Exception;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace nucla::py
