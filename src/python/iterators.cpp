// Python classes FastaIterator (the records of a Fasta) and SequenceIterator (the lines of a
// record, fetched one at a time). Both hold a strong reference to their Fasta and, once
// exhausted, stay exhausted.
#include <algorithm>
#include <cstdint>

#include "binding.hpp"

namespace nucla::py {

namespace {

// --- FastaIterator ----------------------------------------------------------------------

struct FastaIteratorObject {
    PyObject_HEAD
    PyObject* fasta;
    // Position in the engine's rows. The rows never change after the engine is built, so
    // they serve as the snapshot of the key list without copying every name up front.
    std::size_t next_index;
};

FastaIteratorObject* as_fasta_iterator(PyObject* self) {
    return reinterpret_cast<FastaIteratorObject*>(self);
}

void FastaIterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_fasta_iterator(self)->fasta);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* FastaIterator_next(PyObject* self) {
    return guard([&]() -> PyObject* {
        FastaIteratorObject* it = as_fasta_iterator(self);
        const auto& rows = fasta_engine(it->fasta).index().rows();
        if (it->next_index >= rows.size()) return nullptr;  // StopIteration
        PyObject* record = new_fasta_record(it->fasta, make_str(rows[it->next_index].name));
        if (record) ++it->next_index;
        return record;
    });
}

PyType_Slot kFastaIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(FastaIterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(FastaIterator_next)},
    {0, nullptr},
};
PyType_Spec kFastaIteratorSpec = {"builtins.FastaIterator", sizeof(FastaIteratorObject), 0,
                                  Py_TPFLAGS_DEFAULT, kFastaIteratorSlots};

// --- SequenceIterator -------------------------------------------------------------------

struct SequenceIteratorObject {
    PyObject_HEAD
    PyObject* fasta;
    PyObject* name;  // str
    // The name's row, from the record. Rows never move once the engine is built, and the strong
    // reference to the Fasta keeps the engine alive, so each chunk skips the hash lookup.
    const engine::IndexEntry* entry;
    std::uint64_t chunk_size;
    std::uint64_t length;
    std::uint64_t data_bases;     // how many of the row's bases the data holds
    std::uint64_t next_position;  // 1-based
    std::uint64_t next_line;      // 0-based, when the chunks are lines
    bool plain_lines;             // the engine may copy lines as they stand (see plain_line)
};

SequenceIteratorObject* as_sequence_iterator(PyObject* self) {
    return reinterpret_cast<SequenceIteratorObject*>(self);
}

void SequenceIterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_sequence_iterator(self)->name);
    Py_XDECREF(as_sequence_iterator(self)->fasta);
    type->tp_free(self);
    Py_DECREF(type);
}

// Ends the iteration for good.
void exhaust(SequenceIteratorObject* it) {
    it->length = 0;
    it->next_position = 1;
}

// The line-sized chunk [start, end], when the engine can copy it cheaply as plain bases of one
// line. `declined` (and nullptr) when it cannot (a source that is not a map, a foreign index
// that does not fit the file, a file that shrank): the general fetch then gives the chunk, or
// the error.
PyObject* plain_line(const SequenceIteratorObject* it, const EngineHolder& holder,
                     std::uint64_t start, std::uint64_t end, bool& declined) {
    declined = true;
    const std::uint64_t count = end - start + 1;
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(count), 127));
    if (!text) {
        declined = false;
        return nullptr;
    }
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    if (!holder.faidx->read_plain(*it->entry, it->next_line, static_cast<std::size_t>(count),
                                  data))
        return nullptr;
    declined = false;
    engine::RegionPlan plan;
    plan.kind = engine::RegionPlan::Kind::Extract;
    plan.start = start;
    plan.end = end;
    std::optional<std::uint64_t> first, last;
    report(holder.options, plan, first, last);
    Ref name_ref = exact_str(it->name);
    if (!name_ref) return nullptr;
    return new_sequence(std::move(name_ref), std::move(text), first, last, false);
}

PyObject* SequenceIterator_next(PyObject* self) {
    return guard([&]() -> PyObject* {
        SequenceIteratorObject* it = as_sequence_iterator(self);
        if (it->next_position > it->length) return nullptr;  // StopIteration
        const std::uint64_t start = it->next_position;
        const std::uint64_t end = start - 1 + std::min(it->chunk_size, it->length - start + 1);
        // The data ends before the row does (a foreign index, a file cut short before it was
        // opened): stop there rather than hand out empty chunks up to the row's end, unless
        // default_seq pads the row, whose chunks then cover what str(record) does.
        const EngineHolder& holder = fasta_holder(it->fasta);
        const auto& pad = holder.options.default_seq;
        if (start > it->data_bases && !(pad && !pad->empty())) {
            exhaust(it);
            return nullptr;
        }
        bool declined = true;
        PyObject* chunk = it->plain_lines ? plain_line(it, holder, start, end, declined) : nullptr;
        if (declined) {
            std::string_view name;
            if (!utf8_of(it->name, name)) return nullptr;
            chunk = fetch_region(holder, *it->entry, it->name, name, start, end);
        }
        // A failed fetch leaves the position alone: the next call asks for the same chunk.
        if (!chunk) return nullptr;
        if (end == it->length) {
            exhaust(it);  // end + 1 would wrap for a row of 2^64 - 1 bases
        } else {
            it->next_position = end + 1;
            ++it->next_line;
        }
        return chunk;
    });
}

PyType_Slot kSequenceIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SequenceIterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(SequenceIterator_next)},
    {0, nullptr},
};
PyType_Spec kSequenceIteratorSpec = {"builtins.SequenceIterator", sizeof(SequenceIteratorObject),
                                     0, Py_TPFLAGS_DEFAULT, kSequenceIteratorSlots};

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

PyObject* new_fasta_iterator(PyObject* fasta) {
    PyTypeObject* type = fasta_iterator_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(fasta);
    as_fasta_iterator(self)->fasta = fasta;
    as_fasta_iterator(self)->next_index = 0;
    return self;
}

PyObject* new_sequence_iterator(PyObject* fasta, PyObject* name, const engine::IndexEntry& entry) {
    return guard([&]() -> PyObject* {
        PyTypeObject* type = sequence_iterator_type();
        if (!type) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        SequenceIteratorObject* it = as_sequence_iterator(self);
        Py_INCREF(fasta);
        it->fasta = fasta;
        Py_INCREF(name);
        it->name = name;
        it->entry = &entry;
        it->length = entry.rlen;
        it->data_bases = fasta_engine(fasta).bases_held(entry);
        it->plain_lines = entry.lenc > 0 && fasta_engine(fasta).reads_plain();
        // A row with no full line (lenc 0) would never advance: serve it as one chunk.
        it->chunk_size = entry.lenc ? entry.lenc : it->length;
        it->next_position = 1;
        it->next_line = 0;
        return self;
    });
}

}  // namespace nucla::py
