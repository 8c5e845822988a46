// Python classes FastaRecord (one named sequence of a Fasta) and MutableFastaRecord.
//
// A record is a name, its row in the index and a strong reference to its Fasta; it holds no
// bases. The row is found once, when the record is made: the Fasta's engine and its index never
// change, and the record keeps them alive. Every operation fetches through that engine, passing
// the stored name str so that fetched values reuse it instead of building a new one.
#include <algorithm>
#include <cstdint>

#include "binding.hpp"

namespace nucla::py {

namespace {

struct RecordObject {
    PyObject_HEAD
    PyObject* fasta;                  // strong reference: keeps the engine alive
    PyObject* name;                   // exact str, the text the creator passed
    std::string_view utf8;            // the name's UTF-8, held by `name`
    const engine::IndexEntry* entry;  // the name's row in the engine's index
};

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }

const EngineHolder& holder_of(const RecordObject* r) { return fasta_holder(r->fasta); }

void Record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_record(self)->name);
    Py_XDECREF(as_record(self)->fasta);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* fetch(const RecordObject* r, std::uint64_t start, std::uint64_t end) {
    return fetch_region(holder_of(r), *r->entry, r->name, r->utf8, start, end);
}

// Any object with __index__ that fits a signed machine word; false (no exception) otherwise.
bool as_i64(PyObject* obj, long long& out) {
    int overflow = 0;
    if (PyLong_CheckExact(obj)) {
        out = PyLong_AsLongLongAndOverflow(obj, &overflow);
        return !overflow;
    }
    if (!PyIndex_Check(obj)) return false;
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (index) out = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (!index || overflow || PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The host's slicing of a fetched span, taking every k-th base.
PyObject* step_through(Ref fetched, Py_ssize_t k) {
    if (!fetched) return nullptr;
    Ref step = Ref::steal(PyLong_FromSsize_t(k));
    if (!step) return nullptr;
    Ref slice = Ref::steal(PySlice_New(nullptr, nullptr, step.get()));
    if (!slice) return nullptr;
    return PyObject_GetItem(fetched.get(), slice.get());
}

PyObject* subscript_slice(const RecordObject* r, PyObject* key) {
    const std::uint64_t rlen = r->entry->rlen;
    const auto* s = reinterpret_cast<PySliceObject*>(key);
    long long v0, v1, v2;
    if (s->start == Py_None && s->stop == Py_None &&
        (s->step == Py_None || !as_i64(s->step, v2) || v2 == 1))
        return fetch_entire(holder_of(r), r->name, r->utf8);
    if (as_i64(s->start, v0) && as_i64(s->stop, v1) && as_i64(s->step, v2) && v0 == 0 &&
        v1 >= 0 && static_cast<std::uint64_t>(v1) == rlen && v2 == 1)
        return fetch_entire(holder_of(r), r->name, r->utf8);

    Py_ssize_t a, b, k;
    if (PySlice_Unpack(key, &a, &b, &k) < 0) return nullptr;
    const auto length = static_cast<Py_ssize_t>(
        std::min<std::uint64_t>(rlen, static_cast<std::uint64_t>(PY_SSIZE_T_MAX)));
    PySlice_AdjustIndices(length, &a, &b, k);
    // Bounds are left to the fetch: an empty slice asks for a start above its end.
    const auto ua = static_cast<std::uint64_t>(a);
    const auto ub = static_cast<std::uint64_t>(b);
    if (k == 1) return fetch(r, ua + 1, ub);
    // Fetch only the covered span, then step through it as the host would. A negative step
    // covers the 0-based positions b+1 .. a, b being exclusive.
    if (k > 1) return step_through(Ref::steal(fetch(r, ua + 1, ub)), k);
    return step_through(Ref::steal(fetch(r, ub + 2, ua + 1)), k);
}

PyObject* Record_subscript(PyObject* self, PyObject* key) {
    return guard([&]() -> PyObject* {
        const RecordObject* r = as_record(self);
        if (PySlice_Check(key)) return subscript_slice(r, key);
        long long i;
        if (!as_i64(key, i)) {
            PyErr_SetString(PyExc_TypeError, "Invalid index type");
            return nullptr;
        }
        // Wraps for i < -rlen - 1, so such a key reaches the fetch far beyond the end.
        const std::uint64_t rlen = r->entry->rlen;
        const std::uint64_t p = static_cast<std::uint64_t>(i) + 1 + (i < 0 ? rlen : 0);
        return fetch(r, p, p);
    });
}

Py_ssize_t Record_length(PyObject* self) {
    const std::uint64_t rlen = as_record(self)->entry->rlen;
    if (rlen > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(rlen);
}

// The whole sequence through the bounds-checked fetch (a zero-length record warns).
Ref fetch_all(const RecordObject* r) { return Ref::steal(fetch(r, 1, r->entry->rlen)); }

PyObject* Record_str(PyObject* self) {
    return guard([&]() -> PyObject* {
        Ref whole = fetch_all(as_record(self));
        if (!whole) return nullptr;
        return Ref::borrow(sequence_text(whole.get())).release();
    });
}

PyObject* Record_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastaRecord(\"%U\")", as_record(self)->name);
}

PyObject* Record_iter(PyObject* self) {
    const RecordObject* r = as_record(self);
    return new_sequence_iterator(r->fasta, r->name, *r->entry);
}

PyObject* Record_name(PyObject* self, void*) {
    return Ref::borrow(as_record(self)->name).release();
}

// Index names are the first word of the header, so the long name is the name.
PyObject* Record_long_name(PyObject* self, void*) {
    return Ref::borrow(as_record(self)->name).release();
}

PyObject* Record_unpadded_len(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        Ref whole = fetch_all(as_record(self));
        if (!whole) return nullptr;
        std::string_view bases;
        if (!utf8_of(sequence_text(whole.get()), bases)) return nullptr;
        const auto pad = [](char c) { return c == 'N' || c == 'n'; };
        std::size_t lead = 0;
        while (lead < bases.size() && pad(bases[lead])) ++lead;
        if (lead == bases.size()) return PyLong_FromLong(0);
        std::size_t trail = 0;
        while (pad(bases[bases.size() - 1 - trail])) ++trail;
        return PyLong_FromSize_t(bases.size() - lead - trail);
    });
}

PyObject* Record_reversed(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        const RecordObject* r = as_record(self);
        const std::uint64_t rlen = r->entry->rlen;
        // A row with no full line (lenc 0) would never advance: take it as one chunk.
        std::uint64_t chunk = r->entry->lenc;
        if (chunk == 0) chunk = rlen;
        if (rlen == 0) return PyList_New(0);
        const std::uint64_t n = rlen / chunk + (rlen % chunk != 0);
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        // Filled from the back: the last line comes first.
        auto slot = static_cast<Py_ssize_t>(n);
        for (std::uint64_t i = 1;;) {
            const std::uint64_t e = i - 1 + std::min(chunk, rlen - i + 1);
            Ref piece = Ref::steal(fetch(r, i, e));
            if (!piece) return nullptr;
            PyObject* reversed = sequence_reverse(piece.get());
            if (!reversed) return nullptr;
            PyList_SET_ITEM(list.get(), --slot, reversed);
            if (e == rlen) break;
            i = e + 1;
        }
        return list.release();
    });
}

// A record travels as its Fasta and name: unpickling asks the Fasta for the name again.
PyObject* Record_reduce(PyObject* self, PyObject*) {
    Ref op = Ref::steal(PyImport_ImportModule("operator"));
    Ref getitem = op ? Ref::steal(PyObject_GetAttrString(op.get(), "getitem")) : Ref();
    if (!getitem) return nullptr;
    return Py_BuildValue("(O(OO))", getitem.get(), as_record(self)->fasta, as_record(self)->name);
}

PyMethodDef kRecordMethods[] = {
    {"__reduce__", Record_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reversed__", Record_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRecordGetSet[] = {
    {"name", Record_name, nullptr, nullptr, nullptr},
    {"long_name", Record_long_name, nullptr, nullptr, nullptr},
    {"unpadded_len", Record_unpadded_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRecordSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Record_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Record_repr)},
    {Py_tp_str, reinterpret_cast<void*>(Record_str)},
    {Py_tp_iter, reinterpret_cast<void*>(Record_iter)},
    {Py_tp_methods, kRecordMethods},
    {Py_tp_getset, kRecordGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(Record_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(Record_length)},
    {0, nullptr},
};
PyType_Spec kRecordSpec = {"builtins.FastaRecord", sizeof(RecordObject), 0, Py_TPFLAGS_DEFAULT,
                           kRecordSlots};

// --- MutableFastaRecord: registered, but every change is refused ------------------------

void Mutable_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int Mutable_ass_subscript(PyObject*, PyObject*, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
        return -1;
    }
    if (!PyUnicode_Check(value)) return bad_argument("__setitem__", "_value", "str", value), -1;
    PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
    return -1;
}

PyType_Slot kMutableSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Mutable_dealloc)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(Mutable_ass_subscript)},
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

PyObject* new_fasta_record(PyObject* fasta, Ref name) {
    std::string_view utf8;
    if (!name || !utf8_of(name.get(), utf8)) return nullptr;
    const engine::IndexEntry* entry = fasta_engine(fasta).index().find(utf8);
    if (!entry) return raise(engine::FaidxError::sequence_not_found(utf8));
    return new_fasta_record(fasta, std::move(name), *entry);
}

PyObject* new_fasta_record(PyObject* fasta, Ref name, const engine::IndexEntry& entry) {
    if (name) name = exact_str(name.get());
    std::string_view utf8;
    if (!name || !utf8_of(name.get(), utf8)) return nullptr;
    PyTypeObject* type = fasta_record_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    RecordObject* r = as_record(self);
    Py_INCREF(fasta);
    r->fasta = fasta;
    r->name = name.release();
    r->utf8 = utf8;
    r->entry = &entry;
    return self;
}

}  // namespace nucla::py
