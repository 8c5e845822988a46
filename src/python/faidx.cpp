// Python class Faidx: the index engine with its sixteen options, the key list, membership,
// and the single-region fetches.
#include <new>
#include <string>

#include "binding.hpp"

namespace nucla::py {

namespace {

struct FaidxObject {
    PyObject_HEAD
    EngineHolder holder;
};

FaidxObject* as_faidx(PyObject* self) { return reinterpret_cast<FaidxObject*>(self); }
const EngineHolder& holder_of(PyObject* self) { return as_faidx(self)->holder; }
const engine::Faidx& engine_of(PyObject* self) { return *holder_of(self).faidx; }

constexpr Signature<16> kNewSig{"Faidx",
                                {"filename", "indexname", "as_raw", "strict_bounds",
                                 "sequence_always_upper", "rebuild", "build_index",
                                 "one_based_attributes", "default_seq", "mutable", "key_function",
                                 "split_char", "filt_function", "read_long_names",
                                 "duplicate_action", "read_ahead"},
                                1};

static_assert(names_every_option(kNewSig));

PyObject* Faidx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 16> a;
        if (!unpack(kNewSig, args, kwargs, a)) return nullptr;
        const auto held = hold_arguments(a);
        EngineHolder holder;
        if (!open_engine(kNewSig, a, holder)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_faidx(self)->holder) EngineHolder(std::move(holder));
        return self;
    });
}

void Faidx_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_faidx(self)->holder.~EngineHolder();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Faidx_keys(PyObject* self, void*) { return key_list(engine_of(self)); }

int Faidx_contains(PyObject* self, PyObject* key) {
    return guard([&]() -> int {
        std::string_view name;
        if (!to_str("__contains__", "name", key, name)) return -1;
        return engine_of(self).index().contains(name);
    });
}

PyObject* Faidx_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        return make_str("Faidx(\"" + engine_of(self).filename() + "\")").release();
    });
}

constexpr Signature<3> kFetchSig{"fetch", {"name", "start", "end"}, 3};

PyObject* Faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 3> a;
    if (!unpack(kFetchSig, args, nargs, kw, a)) return nullptr;
    std::string_view name;
    std::uint64_t start, end;
    if (!check_str("fetch", "name", a[0]) || !to_u64("fetch", "start", a[1], start) ||
        !to_u64("fetch", "end", a[2], end) || !utf8_of(a[0], name))
        return nullptr;
    return fetch_region(holder_of(self), a[0], name, start, end);
}

constexpr Signature<1> kEntireSig{"fetch_entire_sequence", {"name"}, 1};

PyObject* Faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!unpack(kEntireSig, args, nargs, kw, a)) return nullptr;
    std::string_view name;
    if (!to_str("fetch_entire_sequence", "name", a[0], name)) return nullptr;
    return fetch_entire(holder_of(self), a[0], name);
}

constexpr Signature<1> kManySig{"fetch_many", {"regions"}, 1};

PyObject* Faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    std::array<PyObject*, 1> a;
    if (!unpack(kManySig, args, nargs, kw, a)) return nullptr;
    return batch_fetch_many(holder_of(self), "fetch_many", a[0]);
}

constexpr Signature<2> kSameChrSig{"fetch_many_same_chr", {"name", "regions"}, 2};

PyObject* Faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    std::array<PyObject*, 2> a;
    if (!unpack(kSameChrSig, args, nargs, kw, a) ||
        !check_str("fetch_many_same_chr", "name", a[0]))
        return nullptr;
    return batch_fetch_many_same_chr(holder_of(self), "fetch_many_same_chr", a[0], a[1]);
}

PyObject* Faidx_reduce(PyObject* self, PyObject*) {
    return guard([&] { return reduce_engine(self, kNewSig, as_faidx(self)->holder); });
}

PyObject* Faidx_fetch_windows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
    return fetch_windows(engine_of(self), args, nargs, kw);
}

PyObject* Faidx_fetch_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
    return fetch_packed(engine_of(self), args, nargs, kw);
}

PyObject* Faidx_with_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
    return with_variants(self, engine_of(self), args, nargs, kw);
}

PyMethodDef kMethods[] = {
    {"__reduce__", Faidx_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"fetch", method(Faidx_fetch), METH_FASTCALL | METH_KEYWORDS,
     "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence", method(Faidx_fetch_entire_sequence), METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\n"
     "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"},
    {"fetch_many", method(Faidx_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\n"
     "High-performance batch fetch for many sequences\n"
     "\n"
     "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
     "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
     "- Parallel processing for large batches to maximize throughput\n"
     "\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = faidx.fetch_many(regions)"},
    {"fetch_many_same_chr", method(Faidx_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n"
     "\n"
     "Optimized for BED file processing where many regions come from the same chromosome.\n"
     "Uses smart batching like fetch_many but optimized for single chromosome access.\n"
     "\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)"},
    {"fetch_windows", method(Faidx_fetch_windows), METH_FASTCALL | METH_KEYWORDS, kFetchWindowsDoc},
    {"fetch_packed", method(Faidx_fetch_packed), METH_FASTCALL | METH_KEYWORDS, kFetchPackedDoc},
    {"with_variants", method(Faidx_with_variants), METH_FASTCALL | METH_KEYWORDS,
     kWithVariantsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"keys", Faidx_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, "
         "sequence_always_upper=False, rebuild=True, build_index=True, "
         "one_based_attributes=True, default_seq=None, mutable=False, key_function=None, "
         "split_char=None, filt_function=None, read_long_names=False, duplicate_action=..., "
         "read_ahead=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Faidx_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Faidx_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Faidx_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_contains, reinterpret_cast<void*>(Faidx_contains)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Faidx", sizeof(FaidxObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* key_list(const engine::Faidx& faidx) {
    return row_list(faidx, [](const auto& row) { return make_str(row.name).release(); });
}

PyTypeObject* faidx_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kSpec);
    return type;
}

}  // namespace nucla::py
