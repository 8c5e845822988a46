// The module nucla: single-phase initialisation registering the seven classes, in order, and
// the version.
#include <cstdlib>
#include <cstring>

#include "engine/execution.hpp"
#include "binding.hpp"

namespace nucla::py {

PyTypeObject* make_type(PyType_Spec& definition) {
    Ref type = Ref::steal(PyType_FromSpec(&definition));
#if PY_VERSION_HEX < 0x030A0000
    // Before 3.10 a heap type keeps its docstring without the signature line, which then
    // leaves __text_signature__ empty; put the whole text back.
    for (const PyType_Slot* slot = definition.slots; type && slot->slot; ++slot) {
        if (slot->slot != Py_tp_doc || !slot->pfunc) continue;
        const char* doc = static_cast<const char*>(slot->pfunc);
        const std::size_t size = std::strlen(doc) + 1;
        char* copy = static_cast<char*>(PyObject_Malloc(size));
        if (!copy) {
            PyErr_NoMemory();
            return nullptr;
        }
        std::memcpy(copy, doc, size);
        auto* made = reinterpret_cast<PyTypeObject*>(type.get());
        PyObject_Free(const_cast<char*>(made->tp_doc));
        made->tp_doc = copy;
    }
#endif
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const char* dot = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : type->tp_name);
    return nullptr;
}

namespace {

// The classes report the module "builtins", so pickle cannot find them by name. Values travel
// instead as methodcaller(<class name>, *args) applied to a token that unpickles as
// importlib.import_module("nucla").
PyObject* ModuleToken_reduce(PyObject*, PyObject*) {
    Ref importlib = Ref::steal(PyImport_ImportModule("importlib"));
    Ref import_module =
        importlib ? Ref::steal(PyObject_GetAttrString(importlib.get(), "import_module")) : Ref();
    if (!import_module) return nullptr;
    return Py_BuildValue("(O(s))", import_module.get(), "nucla");
}

PyMethodDef kTokenMethods[] = {
    {"__reduce__", ModuleToken_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTokenSlots[] = {
    {Py_tp_methods, kTokenMethods},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

PyType_Spec kTokenSpec = {"builtins.ModuleToken", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                          kTokenSlots};

}  // namespace

PyObject* reduce_by_name(const char* class_name, PyObject* args) {
    static PyObject* token = nullptr;
    if (!token) {
        // The instance holds its type: this reference goes when the block ends.
        Ref held = Ref::steal(reinterpret_cast<PyObject*>(make_type(kTokenSpec)));
        if (!held) return nullptr;
        auto* type = reinterpret_cast<PyTypeObject*>(held.get());
        token = type->tp_alloc(type, 0);
        if (!token) return nullptr;
    }
    Ref op = Ref::steal(PyImport_ImportModule("operator"));
    Ref methodcaller = op ? Ref::steal(PyObject_GetAttrString(op.get(), "methodcaller")) : Ref();
    if (!methodcaller) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(class_name));
    if (!name) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    Ref call_args = Ref::steal(PyTuple_New(n + 1));
    if (!call_args) return nullptr;
    PyTuple_SET_ITEM(call_args.get(), 0, name.release());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(call_args.get(), i + 1, item);
    }
    Ref caller = Ref::steal(PyObject_Call(methodcaller.get(), call_args.get(), nullptr));
    if (!caller) return nullptr;
    return Py_BuildValue("(O(O))", caller.get(), token);
}

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "nucla",
    "Compiled extension: random access to FASTA files through samtools-compatible .fai indexes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool initialised = false;

// PyModule_AddObjectRef arrived in 3.10.
int add_object(PyObject* module, const char* name, PyObject* value) {
    Ref ref = Ref::borrow(value);
    if (PyModule_AddObject(module, name, ref.get()) < 0) return -1;
    (void)ref.release();  // stolen by the module
    return 0;
}

PyObject* init() {
    if (initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "nucla may be initialised only once per interpreter process");
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    // The distribution's version, taken from pyproject.toml when the module was built.
    if (PyModule_AddStringConstant(module.get(), "__version__", NUCLA_VERSION) < 0) return nullptr;
    Ref all = Ref::steal(PyList_New(0));
    if (!all || add_object(module.get(), "__all__", all.get()) < 0) return nullptr;
    struct Entry {
        const char* name;
        PyTypeObject* (*get)();
    };
    const Entry classes[] = {
        {"Fasta", fasta_type},
        {"Faidx", faidx_type},
        {"Sequence", sequence_type},
        {"FastaRecord", fasta_record_type},
        {"FastaIterator", fasta_iterator_type},
        {"SequenceIterator", sequence_iterator_type},
        {"MutableFastaRecord", mutable_fasta_record_type},
    };
    for (const Entry& c : classes) {
        PyTypeObject* type = c.get();
        if (!type) return nullptr;
        Ref name = Ref::steal(PyUnicode_FromString(c.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
        if (add_object(module.get(), c.name, reinterpret_cast<PyObject*>(type)) < 0)
            return nullptr;
    }
    // The worker pool is sized by RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS as they stand when it
    // is made (by the first large batch), not as they stood at import.
    engine::set_pool_sizer([] {
        return engine::pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                      std::getenv("RAYON_RS_NUM_CPUS"));
    });
    initialised = true;
    return module.release();
}

}  // namespace

}  // namespace nucla::py

PyMODINIT_FUNC PyInit_nucla(void) {
    return nucla::py::guard([] { return nucla::py::init(); });
}
