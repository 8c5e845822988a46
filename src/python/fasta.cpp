// Python class Fasta: the dictionary-like face of one FASTA file. It owns one engine for its
// whole life; records and iterators it hands out hold a reference to it.
#include <new>
#include <string>
#include <vector>

#include "binding.hpp"

namespace nucla::py {

namespace {

struct FastaObject {
    PyObject_HEAD
    EngineHolder holder;
    PyObject* filename;  // exact str, the text the caller passed
};

FastaObject* as_fasta(PyObject* self) { return reinterpret_cast<FastaObject*>(self); }

constexpr Signature<16> kNewSig{
    "Fasta",
    {"filename", "indexname", "default_seq", "key_function", "as_raw", "strict_bounds",
     "read_ahead", "mutable", "split_char", "filt_function", "one_based_attributes",
     "read_long_names", "duplicate_action", "sequence_always_upper", "rebuild", "build_index"},
    1};

static_assert(names_every_option(kNewSig));

PyObject* Fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 16> a;
        if (!unpack(kNewSig, args, kwargs, a)) return nullptr;
        const auto held = hold_arguments(a);
        EngineHolder holder;
        if (!open_engine(kNewSig, a, holder)) return nullptr;
        Ref filename = exact_str(a[0]);
        if (!filename) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_fasta(self)->holder) EngineHolder(std::move(holder));
        as_fasta(self)->filename = filename.release();
        return self;
    });
}

void Fasta_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_fasta(self)->holder.~EngineHolder();
    Py_XDECREF(as_fasta(self)->filename);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Fasta_filename(PyObject* self, void*) {
    Py_INCREF(as_fasta(self)->filename);
    return as_fasta(self)->filename;
}

PyObject* Fasta_keys(PyObject* self, PyObject*) { return key_list(fasta_engine(self)); }

// fasta[name] or fasta[position]; positions follow the order of keys().
PyObject* Fasta_subscript(PyObject* self, PyObject* key) {
    return guard([&]() -> PyObject* {
        const auto& index = fasta_engine(self).index();
        if (PyUnicode_Check(key)) {
            std::string_view name;
            // A str that cannot be encoded (lone surrogates) names no row either.
            if (utf8_of(key, name)) {
                if (const auto* entry = index.find(name))
                    return new_fasta_record(self, Ref::borrow(key), *entry);
            } else {
                PyErr_Clear();
            }
            Ref message = Ref::steal(
                PyUnicode_FromFormat("%U not in %U.", key, as_fasta(self)->filename));
            if (message) PyErr_SetObject(PyExc_KeyError, message.get());
            return nullptr;
        }
        unsigned long long i = 0;
        Ref position = PyIndex_Check(key) ? Ref::steal(PyNumber_Index(key)) : Ref();
        if (position) i = PyLong_AsUnsignedLongLong(position.get());
        if (!position || PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
            return nullptr;
        }
        const auto& rows = index.rows();
        if (i >= rows.size()) {
            PyErr_SetString(PyExc_IndexError, "Index out of range");
            return nullptr;
        }
        return new_fasta_record(self, make_str(rows[i].name));
    });
}

PyObject* Fasta_values(PyObject* self, PyObject*) {
    return row_list(fasta_engine(self), [&](const engine::Index::Row& row) {
        return new_fasta_record(self, make_str(row.name));
    });
}

PyObject* Fasta_items(PyObject* self, PyObject*) {
    return row_list(fasta_engine(self), [&](const engine::Index::Row& row) -> PyObject* {
        Ref name = make_str(row.name);
        if (!name) return nullptr;
        Ref record = Ref::steal(new_fasta_record(self, Ref::borrow(name.get())));
        if (!record) return nullptr;
        return PyTuple_Pack(2, name.get(), record.get());
    });
}

PyObject* Fasta_iter(PyObject* self) { return new_fasta_iterator(self); }

int Fasta_contains(PyObject* self, PyObject* key) {
    return guard([&]() -> int {
        std::string_view name;
        if (!to_str("__contains__", "name", key, name)) return -1;
        return fasta_engine(self).index().contains(name);
    });
}

Py_ssize_t Fasta_len(PyObject* self) {
    return guard([&]() -> Py_ssize_t {
        std::uint64_t total = 0;
        for (const auto& row : fasta_engine(self).index().rows()) {
            if (__builtin_add_overflow(total, row.entry.rlen, &total) ||
                total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
                PyErr_SetNone(PyExc_OverflowError);
                return -1;
            }
        }
        return static_cast<Py_ssize_t>(total);
    });
}

PyObject* Fasta_repr(PyObject* self) {
    return PyUnicode_FromFormat("Fasta(\"%U\")", as_fasta(self)->filename);
}

PyObject* Fasta_close(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* Fasta_enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

constexpr Signature<3> kExitSig{"__exit__", {"_exc_type", "_exc_value", "_traceback"}, 0};

PyObject* Fasta_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!unpack(kExitSig, args, nargs, kw, a)) return nullptr;
    Py_RETURN_NONE;
}

// --- retrieval ----------------------------------------------------------------------------

bool to_rc(const char* fname, PyObject* obj, bool& rc) { return to_opt_bool(fname, "rc", obj, rc); }

constexpr Signature<4> kGetSeqSig{"get_seq", {"name", "start", "end", "rc"}, 3};

PyObject* Fasta_get_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 4> a;
        if (!unpack(kGetSeqSig, args, nargs, kw, a)) return nullptr;
        std::string_view name;
        std::uint64_t start, end;
        bool rc;
        if (!check_str("get_seq", "name", a[0]) || !to_u64("get_seq", "start", a[1], start) ||
            !to_u64("get_seq", "end", a[2], end) || !to_rc("get_seq", a[3], rc) ||
            !utf8_of(a[0], name))
            return nullptr;
        Ref value = Ref::steal(fetch_region(fasta_holder(self), a[0], name, start, end));
        if (!value || !rc) return value.release();
        return reverse_complement_owned(std::move(value));
    });
}

constexpr Signature<3> kSplicedSig{"get_spliced_seq", {"name", "intervals", "rc"}, 2};

PyObject* Fasta_get_spliced_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 3> a;
        if (!unpack(kSplicedSig, args, nargs, kw, a)) return nullptr;
        bool rc;
        if (!check_str("get_spliced_seq", "name", a[0])) return nullptr;
        RequestHold hold;
        std::vector<Request> intervals;
        std::string_view name;
        if (!convert_requests("get_spliced_seq", "intervals", a[1], 2, a[0], hold, intervals) ||
            !to_rc("get_spliced_seq", a[2], rc) || !utf8_of(a[0], name))
            return nullptr;
        std::vector<Ref> segments;
        segments.reserve(intervals.size());
        for (const Request& r : intervals) {
            segments.push_back(Ref::steal(fetch_region(fasta_holder(self), a[0], name, r.start, r.end)));
            if (!segments.back()) return nullptr;
        }
        std::optional<std::uint64_t> start, end;
        if (!segments.empty()) {
            start = sequence_start(segments.front().get());
            end = sequence_end(segments.back().get());
        }
        std::string joined;
        if (rc) {
            for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
                Ref turned = Ref::steal(reverse_complement_owned(std::move(*it)));
                std::string_view part;
                if (!turned || !utf8_of(sequence_text(turned.get()), part)) return nullptr;
                joined.append(part);
            }
        } else {
            std::size_t total = 0;
            std::vector<std::string_view> parts(segments.size());
            for (std::size_t i = 0; i < segments.size(); ++i) {
                if (!utf8_of(sequence_text(segments[i].get()), parts[i])) return nullptr;
                total += parts[i].size();
            }
            joined.reserve(total);
            for (std::string_view part : parts) joined.append(part);
        }
        return new_sequence(name_str(a[0], name), make_str(joined), start, end, false);
    });
}

constexpr Signature<2> kManySig{"fetch_many", {"regions", "rc"}, 1};

PyObject* Fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 2> a;
    bool rc;
    if (!unpack(kManySig, args, nargs, kw, a) || !to_rc("fetch_many", a[1], rc)) return nullptr;
    return batch_fetch_many(fasta_holder(self), "fetch_many", a[0], rc);
}

constexpr Signature<3> kSameChrSig{"fetch_many_same_chr", {"name", "regions", "rc"}, 2};

PyObject* Fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    std::array<PyObject*, 3> a;
    bool rc;
    if (!unpack(kSameChrSig, args, nargs, kw, a) ||
        !check_str("fetch_many_same_chr", "name", a[0]) ||
        !to_rc("fetch_many_same_chr", a[2], rc))
        return nullptr;
    return batch_fetch_many_same_chr(fasta_holder(self), "fetch_many_same_chr", a[0], a[1], rc);
}

PyObject* Fasta_reduce(PyObject* self, PyObject*) {
    return guard([&] { return reduce_engine(self, kNewSig, as_fasta(self)->holder); });
}

PyObject* Fasta_fetch_windows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
    return fetch_windows(fasta_engine(self), args, nargs, kw);
}

PyObject* Fasta_fetch_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
    return fetch_packed(fasta_engine(self), args, nargs, kw);
}

PyObject* Fasta_with_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
    return with_variants(self, fasta_engine(self), args, nargs, kw);
}

PyMethodDef kMethods[] = {
    {"__reduce__", Fasta_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"keys", Fasta_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"values", Fasta_values, METH_NOARGS, "values($self)\n--\n\n"},
    {"items", Fasta_items, METH_NOARGS, "items($self)\n--\n\n"},
    {"close", Fasta_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", Fasta_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method(Fasta_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"get_seq", method(Fasta_get_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_seq($self, name, start, end, rc=None)\n--\n\n"},
    {"get_spliced_seq", method(Fasta_get_spliced_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"},
    {"fetch_many", method(Fasta_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions, rc=None)\n--\n\n"
     "High-performance batch fetch for many sequences\n"
     "\n"
     "This method is optimized for genomics workloads where you need to fetch\n"
     "many sequences at once (e.g., 200,000+ regions). It uses parallel processing\n"
     "and optimized memory access patterns for maximum throughput.\n"
     "\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "    rc: Optional boolean to reverse complement all sequences\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = fasta.fetch_many(regions)"},
    {"fetch_many_same_chr", method(Fasta_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n"
     "\n"
     "This method is optimized for BED file processing where many regions\n"
     "come from the same chromosome. It's significantly faster than fetch_many\n"
     "when all regions are from the same chromosome.\n"
     "\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "    rc: Optional boolean to reverse complement all sequences\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)"},
    {"fetch_windows", method(Fasta_fetch_windows), METH_FASTCALL | METH_KEYWORDS, kFetchWindowsDoc},
    {"fetch_packed", method(Fasta_fetch_packed), METH_FASTCALL | METH_KEYWORDS, kFetchPackedDoc},
    {"with_variants", method(Fasta_with_variants), METH_FASTCALL | METH_KEYWORDS,
     kWithVariantsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"filename", Fasta_filename, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Fasta(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
         "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, "
         "filt_function=None, one_based_attributes=True, read_long_names=False, "
         "duplicate_action=..., sequence_always_upper=False, rebuild=True, "
         "build_index=True)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Fasta_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Fasta_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Fasta_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_iter, reinterpret_cast<void*>(Fasta_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(Fasta_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(Fasta_contains)},
    {Py_sq_length, reinterpret_cast<void*>(Fasta_len)},
    {Py_mp_length, reinterpret_cast<void*>(Fasta_len)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Fasta", sizeof(FastaObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* fasta_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kSpec);
    return type;
}

const EngineHolder& fasta_holder(PyObject* fasta) { return as_fasta(fasta)->holder; }
const engine::Faidx& fasta_engine(PyObject* fasta) { return *fasta_holder(fasta).faidx; }
PyObject* fasta_filename(PyObject* fasta) { return as_fasta(fasta)->filename; }

}  // namespace nucla::py
