// The module nucla: single-phase initialisation registering the seven classes, in order.
#include <cstring>

#include "python/binding.hpp"

namespace nucla::py {

PyTypeObject* make_type(PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const char* dot = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : type->tp_name);
    return nullptr;
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
    initialised = true;
    return module.release();
}

}  // namespace

}  // namespace nucla::py

PyMODINIT_FUNC PyInit_nucla(void) {
    return nucla::py::guard([] { return nucla::py::init(); });
}
