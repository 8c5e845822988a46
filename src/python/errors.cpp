// The one place where an engine error becomes a Python exception.
#include "python/binding.hpp"

namespace nucla::py {

std::nullptr_t raise(const engine::FaidxError& error) {
    const std::string message = error.python_message();
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
