// Python classes FastaIterator (the records of a Fasta) and SequenceIterator (the lines of a
// record, fetched one at a time).
#include "python/binding.hpp"

namespace nucla::py {

namespace {

PyType_Slot kFastaIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};
PyType_Spec kFastaIteratorSpec = {"builtins.FastaIterator", sizeof(PyObject), 0,
                                  Py_TPFLAGS_DEFAULT, kFastaIteratorSlots};

PyType_Slot kSequenceIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};
PyType_Spec kSequenceIteratorSpec = {"builtins.SequenceIterator", sizeof(PyObject), 0,
                                     Py_TPFLAGS_DEFAULT, kSequenceIteratorSlots};

}  // namespace

PyTypeObject* fasta_iterator_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kFastaIteratorSpec);
    return type;
}

PyTypeObject* sequence_iterator_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kSequenceIteratorSpec);
    return type;
}

}  // namespace nucla::py
