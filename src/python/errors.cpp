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
    }
    return kind + error.detail();
}

}  // namespace

std::nullptr_t raise(const engine::FaidxError& error) {
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
    PyErr_SetObject(PyExc_Exception, text.get());
    return nullptr;
}

}  // namespace nucla::py
