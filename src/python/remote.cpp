// FASTA files named by URL: the engine's RemoteFile over the Remote class of remote.py (compiled
// into the module), which reaches them through fsspec. The engine calls it on the thread that
// reads, with or without the interpreter lock held; it takes the lock when it must.
#include "remote.hpp"

#include <cstdlib>
#include <string>
#include <vector>

#include "binding.hpp"
#include "remote_py.hpp"
#include "unlocked.hpp"

namespace nucla::py {

extern "C" void nucla_restore_thread(PyThreadState* state);  // relock.cpp

namespace {

// The module that remote.py becomes, made on first use; nullptr with the exception set.
PyObject* remote_module() {
    static PyObject* module = nullptr;
    if (module) return module;
    Ref code = Ref::steal(
        Py_CompileString(embedded::kRemoteSource, "nucla/remote.py", Py_file_input));
    Ref made = code ? Ref::steal(PyModule_New("nucla._remote")) : Ref();
    if (!made) return nullptr;
    PyObject* dict = PyModule_GetDict(made.get());
    if (PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    Ref ran = Ref::steal(PyEval_EvalCode(code.get(), dict, dict));
    if (!ran) return nullptr;
    module = made.release();
    return module;
}

// The interpreter lock for a call into remote.py: taken when this thread does not hold it, and
// given back after. A thread Python does not know (a worker of the pool, which never fetches)
// cannot take it, nor can any once the interpreter is finalizing (see unlocked.hpp).
class Locked {
public:
    Locked() {
        if (PyGILState_Check()) return;
        PyThreadState* state = PyGILState_GetThisThreadState();
        if (!state || is_finalizing()) {
            refused_ = true;
            return;
        }
        nucla_restore_thread(state);
        taken_ = true;
    }
    ~Locked() {
        if (taken_) (void)PyEval_SaveThread();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    bool refused() const { return refused_; }

private:
    bool taken_ = false;
    bool refused_ = false;
};

// The engine's error for the exception set by a call into remote.py: a Failure becomes the
// error it names (and is cleared); anything else (KeyboardInterrupt, MemoryError) stays set
// for the caller to raise.
engine::FaidxError failure(const std::string& url) {
    // (Nothing may be asked of the interpreter while the exception is set: take it first.)
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value);
    Ref traceback_ref = Ref::steal(traceback);
    Ref failure_type = Ref::steal(PyObject_GetAttrString(remote_module(), "Failure"));
    if (!failure_type || !value || !PyErr_GivenExceptionMatches(value, failure_type.get())) {
        PyErr_Clear();
        PyErr_Restore(type_ref.release(), value_ref.release(), traceback_ref.release());
        return engine::FaidxError::callback("a remote read raised");
    }
    Ref kind = Ref::steal(PyObject_GetAttrString(value, "kind"));
    Ref message = Ref::steal(PyObject_GetAttrString(value, "message"));
    std::string_view kind_text, message_text;
    if (!kind || !message || !PyUnicode_Check(kind.get()) || !PyUnicode_Check(message.get()) ||
        !utf8_of(kind.get(), kind_text) || !utf8_of(message.get(), message_text)) {
        PyErr_Clear();
        return engine::FaidxError::io(engine::IoError::other("remote read failed"), url);
    }
    return engine::remote_failure(kind_text, std::string(message_text), url);
}

class PyRemoteFile final : public engine::RemoteFile {
public:
    PyRemoteFile(Ref remote, std::string url, std::uint64_t size)
        : remote_(std::move(remote)), url_(std::move(url)), size_(size) {}
    ~PyRemoteFile() override {
        // Dropped here, under the lock (members go after this body, when it is given back).
        Locked locked;
        if (locked.refused()) {
            (void)remote_.release();  // left to the process's end
        } else {
            remote_ = Ref();
        }
    }

    const std::string& name() const override { return url_; }
    std::uint64_t size() const override { return size_; }

    engine::Status fetch(const std::vector<engine::ByteSpan>& ranges,
                         std::vector<std::string>& out) const override {
        Locked locked;
        if (locked.refused()) return cannot_call();
        const auto n = static_cast<Py_ssize_t>(ranges.size());
        Ref starts = Ref::steal(PyList_New(n));
        Ref ends = Ref::steal(PyList_New(n));
        if (!starts || !ends) return failure(url_);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* start = PyLong_FromUnsignedLongLong(ranges[k].begin);
            PyObject* end = PyLong_FromUnsignedLongLong(ranges[k].end);
            if (start) PyList_SET_ITEM(starts.get(), k, start);
            if (end) PyList_SET_ITEM(ends.get(), k, end);
            if (!start || !end) return failure(url_);
        }
        Ref got = Ref::steal(
            PyObject_CallMethod(remote_.get(), "fetch", "OO", starts.get(), ends.get()));
        if (!got) return failure(url_);
        if (!PyList_Check(got.get()) || PyList_GET_SIZE(got.get()) != n)
            return bad_answer();
        out.resize(ranges.size());
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* bytes = PyList_GET_ITEM(got.get(), k);
            if (!PyBytes_Check(bytes)) return bad_answer();
            out[k].assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        }
        return engine::Ok{};
    }

    engine::Result<std::optional<std::string>> sibling(std::string_view suffix) const override {
        Locked locked;
        if (locked.refused()) return cannot_call();
        Ref got = Ref::steal(PyObject_CallMethod(remote_.get(), "sibling", "s#", suffix.data(),
                                                 static_cast<Py_ssize_t>(suffix.size())));
        if (!got) return failure(url_);
        if (got.get() == Py_None) return std::optional<std::string>();
        if (!PyBytes_Check(got.get())) return bad_answer();
        return std::optional<std::string>(std::in_place, PyBytes_AS_STRING(got.get()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(got.get())));
    }

private:
    engine::FaidxError cannot_call() const {
        return engine::FaidxError::io(
            engine::IoError::other("cannot read it from this thread (the interpreter is "
                                   "shutting down)"),
            url_);
    }
    engine::FaidxError bad_answer() const {
        return engine::FaidxError::io(engine::IoError::other("the remote layer gave no bytes"),
                                      url_);
    }

    Ref remote_;
    std::string url_;
    std::uint64_t size_;
};

}  // namespace

std::unique_ptr<engine::Faidx> open_remote(const std::string& url, const engine::Options& options) {
    if (options.mutable_file) {
        PyErr_Format(PyExc_ValueError, "mutable=True needs a local file, not the URL %s",
                     url.c_str());
        return nullptr;
    }
    engine::Status cache = engine::set_remote_cache_from(std::getenv("NUCLA_REMOTE_CACHE"));
    if (!cache.ok()) return raise(cache.error());
    PyObject* module = remote_module();
    if (!module) return nullptr;
    Ref remote = Ref::steal(PyObject_CallMethod(module, "Remote", "s#", url.data(),
                                                static_cast<Py_ssize_t>(url.size())));
    if (!remote) {
        raise(failure(url));
        return nullptr;
    }
    Ref size_obj = Ref::steal(PyObject_GetAttrString(remote.get(), "size"));
    const unsigned long long size = size_obj ? PyLong_AsUnsignedLongLong(size_obj.get()) : 0;
    if (PyErr_Occurred()) return nullptr;
    auto file = std::make_shared<const PyRemoteFile>(std::move(remote), url, size);
    auto opened = engine::Faidx::open_remote(std::move(file), options);
    if (!opened.ok()) {
        raise(opened.error());
        return nullptr;
    }
    return std::move(opened).value();
}

}  // namespace nucla::py
