// Python classes FastaRecord (one named sequence of a Fasta) and MutableFastaRecord.
#include "python/binding.hpp"

namespace nucla::py {

namespace {

PyType_Slot kRecordSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};
PyType_Spec kRecordSpec = {"builtins.FastaRecord", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                           kRecordSlots};

PyType_Slot kMutableSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};
PyType_Spec kMutableSpec = {"builtins.MutableFastaRecord", sizeof(PyObject), 0,
                            Py_TPFLAGS_DEFAULT, kMutableSlots};

}  // namespace

PyTypeObject* fasta_record_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kRecordSpec);
    return type;
}

PyTypeObject* mutable_fasta_record_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kMutableSpec);
    return type;
}

}  // namespace nucla::py
