// Python class Sequence: a name, the bases as an immutable str (created once and handed out
// without copying), optional start and end, and the complement flag. Operations treat the
// bases as bytes (UTF-8 for non-ASCII text); a result that would split a multi-byte
// character raises UnicodeDecodeError.
//
// Both texts are exact str objects (a subclass instance given is copied), so a value refers to
// nothing of its caller's. An operation that runs Python code (a key's __index__) before it
// reads the fields marks the value as being read; a setter called meanwhile raises
// RuntimeError, so every result comes from one state of the value.
#include <cstring>
#include <string>

#include "binding.hpp"

namespace nucla::py {

namespace {

struct SequenceObject {
    PyObject_HEAD
    PyObject* name;  // str
    PyObject* seq;   // str
    std::uint64_t start;
    std::uint64_t end;
    bool has_start;
    bool has_end;
    bool comp;
    std::uint32_t readers;  // operations under way that may run Python code before reading
};

SequenceObject* as_seq(PyObject* self) { return reinterpret_cast<SequenceObject*>(self); }

// Marks a value as being read for the lifetime of this object.
class Reading {
public:
    explicit Reading(PyObject* self) : s_(as_seq(self)) { ++s_->readers; }
    ~Reading() { --s_->readers; }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

private:
    SequenceObject* s_;
};

// True, with RuntimeError set, when an operation is reading the value.
bool refuse_in_use(const SequenceObject* s) {
    if (!s->readers) return false;
    PyErr_SetString(PyExc_RuntimeError, "cannot change a Sequence while an operation reads it");
    return true;
}

std::optional<std::uint64_t> start_of(const SequenceObject* s) {
    return s->has_start ? std::optional<std::uint64_t>(s->start) : std::nullopt;
}
std::optional<std::uint64_t> end_of(const SequenceObject* s) {
    return s->has_end ? std::optional<std::uint64_t>(s->end) : std::nullopt;
}

// The bases as bytes; fails only for a str holding lone surrogates.
bool bases(const SequenceObject* s, std::string_view& out) { return utf8_of(s->seq, out); }

// A new str of n bytes filled by `fill(char*)`; non-ASCII results are decoded as UTF-8.
template <class Fill>
Ref build_str(std::size_t n, bool ascii, Fill&& fill) {
    if (ascii) {
        Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        if (s && n) fill(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s.get())));
        return s;
    }
    std::string buf(n, '\0');
    fill(buf.data());
    return make_str(buf);
}

bool is_ascii_str(PyObject* str) { return PyUnicode_IS_ASCII(str); }

PyObject* derive(const SequenceObject* s, Ref seq, std::optional<std::uint64_t> start,
                 std::optional<std::uint64_t> end, bool comp) {
    if (!seq) return nullptr;
    return new_sequence(Ref::borrow(s->name), std::move(seq), start, end, comp);
}

constexpr Signature<5> kNewSig{"Sequence", {"name", "seq", "start", "end", "comp"}, 0};

PyObject* Sequence_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 5> a;
        if (!unpack(kNewSig, args, kwargs, a)) return nullptr;
        const auto held = hold_arguments(a);
        if (a[0] && !check_str("Sequence", "name", a[0])) return nullptr;
        if (a[1] && !check_str("Sequence", "seq", a[1])) return nullptr;
        std::optional<std::uint64_t> start, end;
        if (!to_opt_u64("Sequence", "start", a[2], start)) return nullptr;
        if (!to_opt_u64("Sequence", "end", a[3], end)) return nullptr;
        bool comp = false;
        if (a[4] && !to_bool("Sequence", "comp", a[4], comp)) return nullptr;
        Ref empty = Ref::steal(PyUnicode_New(0, 127));
        if (!empty) return nullptr;
        Ref name = a[0] ? Ref::borrow(a[0]) : Ref::borrow(empty.get());
        Ref seq = a[1] ? Ref::borrow(a[1]) : Ref::borrow(empty.get());
        return new_sequence(std::move(name), std::move(seq), start, end, comp);
    });
}

// Values freed lately, for the next ones to reuse (as CPython keeps floats and tuples): a loop
// that makes and drops one value per line or region then skips the allocator (a loop over a
// chromosome's lines that does little with each runs about 10% faster for it). Guarded by the
// interpreter lock, like every other use of a value.
constexpr int kFreeValues = 64;
SequenceObject* free_values[kFreeValues];
int free_count = 0;

void Sequence_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_seq(self)->name);
    Py_XDECREF(as_seq(self)->seq);
    if (free_count < kFreeValues) {
        free_values[free_count++] = as_seq(self);
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// --- attributes -------------------------------------------------------------------------

bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

PyObject* get_text(PyObject* self, void* field) {
    PyObject* s = field ? as_seq(self)->seq : as_seq(self)->name;
    Py_INCREF(s);
    return s;
}

int set_text(PyObject* self, PyObject* value, void* field) {
    if (refuse_delete(value)) return -1;
    const char* arg = field ? "seq" : "name";
    if (!check_str("Sequence", arg, value) || refuse_in_use(as_seq(self))) return -1;
    Ref text = exact_str(value);
    if (!text) return -1;
    PyObject*& slot = field ? as_seq(self)->seq : as_seq(self)->name;
    Py_SETREF(slot, text.release());
    return 0;
}

PyObject* get_coordinate(PyObject* self, void* field) {
    const SequenceObject* s = as_seq(self);
    const bool present = field ? s->has_end : s->has_start;
    if (!present) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(field ? s->end : s->start);
}

int set_coordinate(PyObject* self, PyObject* value, void* field) {
    if (refuse_delete(value)) return -1;
    std::optional<std::uint64_t> v;
    if (!to_opt_u64("Sequence", field ? "end" : "start", value, v)) return -1;
    SequenceObject* s = as_seq(self);
    if (refuse_in_use(s)) return -1;
    (field ? s->has_end : s->has_start) = v.has_value();
    (field ? s->end : s->start) = v.value_or(0);
    return 0;
}

PyObject* get_comp(PyObject* self, void*) { return PyBool_FromLong(as_seq(self)->comp); }

int set_comp(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    bool v;
    if (!to_bool("Sequence", "comp", value, v) || refuse_in_use(as_seq(self))) return -1;
    as_seq(self)->comp = v;
    return 0;
}

std::string fancy(const SequenceObject* s) {
    std::string_view name;
    if (!utf8_of(s->name, name)) PyErr_Clear();
    return engine::fancy_name(name, start_of(s), end_of(s), s->comp);
}

PyObject* get_fancy_name(PyObject* self, void*) {
    return guard([&]() -> PyObject* { return make_str(fancy(as_seq(self))).release(); });
}

PyObject* get_orientation(PyObject* self, void*) {
    const SequenceObject* s = as_seq(self);
    if (!s->has_start || !s->has_end) Py_RETURN_NONE;
    if (s->start < s->end && !s->comp) return PyLong_FromLong(1);
    if (s->start > s->end && s->comp) return PyLong_FromLong(-1);
    Py_RETURN_NONE;
}

// Exchanged coordinates when both are present, else copied.
void swapped(const SequenceObject* s, std::optional<std::uint64_t>& start,
             std::optional<std::uint64_t>& end) {
    start = start_of(s);
    end = end_of(s);
    if (start && end) std::swap(start, end);
}

PyObject* get_reverse(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const SequenceObject* s = as_seq(self);
        std::string_view b;
        if (!bases(s, b)) return nullptr;
        Ref seq = build_str(b.size(), is_ascii_str(s->seq),
                            [&](char* out) { engine::reverse_bytes(b.data(), b.size(), out); });
        std::optional<std::uint64_t> start, end;
        swapped(s, start, end);
        return derive(s, std::move(seq), start, end, s->comp);
    });
}

PyObject* get_complement(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const SequenceObject* s = as_seq(self);
        std::string_view b;
        if (!bases(s, b)) return nullptr;
        Ref seq = build_str(b.size(), true,
                            [&](char* out) { engine::complement_bytes(b.data(), b.size(), out); });
        return derive(s, std::move(seq), start_of(s), end_of(s), !s->comp);
    });
}

PyObject* Sequence_neg(PyObject* self) {
    return guard([&]() -> PyObject* {
        const SequenceObject* s = as_seq(self);
        std::string_view b;
        if (!bases(s, b)) return nullptr;
        Ref seq = build_str(b.size(), true, [&](char* out) {
            engine::reverse_complement_bytes(b.data(), b.size(), out);
        });
        std::optional<std::uint64_t> start, end;
        swapped(s, start, end);
        return derive(s, std::move(seq), start, end, !s->comp);
    });
}

template <double (*Measure)(std::string_view)>
PyObject* get_measure(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        std::string_view b;
        if (!bases(as_seq(self), b)) return nullptr;
        return PyFloat_FromDouble(Measure(b));
    });
}

// --- protocols --------------------------------------------------------------------------

PyObject* Sequence_str(PyObject* self) { return get_text(self, self); }

PyObject* Sequence_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const SequenceObject* s = as_seq(self);
        std::string_view b;
        if (!bases(s, b)) return nullptr;
        std::string text(1, '>');
        text += fancy(s);
        text += '\n';
        text.append(b);
        return make_str(text).release();
    });
}

Py_ssize_t Sequence_len(PyObject* self) {
    std::string_view b;
    if (!bases(as_seq(self), b)) return -1;
    return static_cast<Py_ssize_t>(b.size());
}

PyObject* item_at(PyObject* self, Py_ssize_t i) {
    const SequenceObject* s = as_seq(self);
    std::string_view b;
    if (!bases(s, b)) return nullptr;
    const auto n = static_cast<Py_ssize_t>(b.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "Index out of range");
        return nullptr;
    }
    Ref seq = make_str(b.substr(static_cast<std::size_t>(i), 1));
    std::optional<std::uint64_t> at;
    if (s->has_start) at = s->start + static_cast<std::uint64_t>(i);
    return derive(s, std::move(seq), at, at, s->comp);
}

PyObject* slice(PyObject* self, PyObject* key) {
    // The bounds' __index__ runs first; no Python code runs once the fields are read.
    Py_ssize_t a, stop, step;
    if (PySlice_Unpack(key, &a, &stop, &step) < 0) return nullptr;
    const SequenceObject* s = as_seq(self);
    std::string_view b;
    if (!bases(s, b)) return nullptr;
    const auto n = static_cast<Py_ssize_t>(b.size());
    const Py_ssize_t len = PySlice_AdjustIndices(n, &a, &stop, step);
    // Covered window, lowest position first, for the coordinates.
    Py_ssize_t lo, hi, first;
    if (step > 0) {
        lo = a;
        hi = stop - 1;
        first = a;
    } else {
        const Py_ssize_t h = a < 0 ? n - 1 : std::min(a, n - 1);
        first = h;
        if (a < 0 || stop > h) {
            // Nothing taken: an adjusted start of -1 means an empty slice (Python's own rule).
            lo = h;
            hi = h - 1;
        } else {
            lo = stop + 1;  // above hi when stop is h: empty
            hi = h;
        }
    }
    Ref seq = build_str(static_cast<std::size_t>(len), is_ascii_str(s->seq), [&](char* out) {
        // first + k * step stays within the text for every k taken, so nothing overflows.
        for (Py_ssize_t k = 0; k < len; ++k) out[k] = b[static_cast<std::size_t>(first + k * step)];
    });
    std::optional<std::uint64_t> start, end;
    if (s->has_start && s->has_end) {
        start = s->start + static_cast<std::uint64_t>(lo);
        end = s->start + static_cast<std::uint64_t>(hi);
    }
    return derive(s, std::move(seq), start, end, s->comp);
}

PyObject* Sequence_subscript(PyObject* self, PyObject* key) {
    return guard([&]() -> PyObject* {
        const Reading reading(self);
        if (PySlice_Check(key)) return slice(self, key);
        Py_ssize_t i = -1;
        if (PyIndex_Check(key)) i = PyNumber_AsSsize_t(key, PyExc_OverflowError);
        if (!PyIndex_Check(key) || (i == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Invalid index type");
            return nullptr;
        }
        return item_at(self, i);
    });
}

PyObject* Sequence_item(PyObject* self, Py_ssize_t i) {
    return guard([&]() -> PyObject* { return item_at(self, i); });
}

PyObject* Sequence_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) {
        const int eq = PyObject_RichCompareBool(self, other, Py_EQ);
        if (eq < 0) return nullptr;
        return PyBool_FromLong(!eq);
    }
    if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    std::string_view mine, theirs;
    if (!bases(as_seq(self), mine)) return nullptr;
    PyObject* other_text = nullptr;
    if (PyUnicode_Check(other)) {
        other_text = other;
    } else if (Py_TYPE(other) == sequence_type()) {
        other_text = as_seq(other)->seq;
    } else {
        Py_RETURN_FALSE;
    }
    if (!utf8_of(other_text, theirs)) return nullptr;
    return PyBool_FromLong(mine == theirs);
}

// A value pickles as its five fields.
PyObject* Sequence_reduce(PyObject* self, PyObject*) {
    const SequenceObject* s = as_seq(self);
    // Held: building the tuple may run the cyclic collector, and a finalizer may set a field.
    Ref name = Ref::borrow(s->name);
    Ref seq = Ref::borrow(s->seq);
    Ref start = Ref::steal(get_coordinate(self, nullptr));
    Ref end = Ref::steal(get_coordinate(self, reinterpret_cast<void*>(1)));
    if (!start || !end) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(OOOOO)", name.get(), seq.get(), start.get(), end.get(),
                                        s->comp ? Py_True : Py_False));
    return args ? reduce_by_name("Sequence", args.get()) : nullptr;
}

PyMethodDef kMethods[] = {
    {"__reduce__", Sequence_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"name", get_text, set_text, nullptr, nullptr},
    {"seq", get_text, set_text, nullptr, reinterpret_cast<void*>(1)},
    {"start", get_coordinate, set_coordinate, nullptr, nullptr},
    {"end", get_coordinate, set_coordinate, nullptr, reinterpret_cast<void*>(1)},
    {"comp", get_comp, set_comp, nullptr, nullptr},
    {"fancy_name", get_fancy_name, nullptr, nullptr, nullptr},
    {"long_name", get_fancy_name, nullptr, nullptr, nullptr},
    {"orientation", get_orientation, nullptr, nullptr, nullptr},
    {"reverse", get_reverse, nullptr, nullptr, nullptr},
    {"complement", get_complement, nullptr, nullptr, nullptr},
    {"gc", get_measure<engine::gc_fraction>, nullptr, nullptr, nullptr},
    {"gc_strict", get_measure<engine::gc_strict_fraction>, nullptr, nullptr, nullptr},
    {"gc_iupac", get_measure<engine::gc_iupac_fraction>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Sequence(name=..., seq=..., start=None, end=None, comp=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Sequence_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Sequence_dealloc)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_str, reinterpret_cast<void*>(Sequence_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Sequence_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Sequence_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_mp_subscript, reinterpret_cast<void*>(Sequence_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(Sequence_len)},
    {Py_sq_length, reinterpret_cast<void*>(Sequence_len)},
    {Py_sq_item, reinterpret_cast<void*>(Sequence_item)},
    {Py_nb_negative, reinterpret_cast<void*>(Sequence_neg)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Sequence", sizeof(SequenceObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* sequence_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kSpec);
    return type;
}

PyObject* new_sequence(Ref name, Ref seq, const std::optional<std::uint64_t>& start,
                       const std::optional<std::uint64_t>& end, bool comp) {
    if (name && !PyUnicode_CheckExact(name.get())) name = exact_str(name.get());
    if (seq && !PyUnicode_CheckExact(seq.get())) seq = exact_str(seq.get());
    if (!name || !seq) return nullptr;
    PyTypeObject* type = sequence_type();
    if (!type) return nullptr;
    // Every field is set below, and the class is not tracked by the collector: no zeroing.
    SequenceObject* s;
    if (free_count > 0) {
        s = free_values[--free_count];
        PyObject_Init(reinterpret_cast<PyObject*>(s), type);
    } else {
        s = PyObject_New(SequenceObject, type);
        if (!s) return nullptr;
    }
    PyObject* self = reinterpret_cast<PyObject*>(s);
    s->name = name.release();
    s->seq = seq.release();
    s->has_start = start.has_value();
    s->start = start.value_or(0);
    s->has_end = end.has_value();
    s->end = end.value_or(0);
    s->comp = comp;
    s->readers = 0;
    return self;
}

PyObject* sequence_text(PyObject* sequence) { return as_seq(sequence)->seq; }
void sequence_set_text(PyObject* sequence, Ref text) { Py_SETREF(as_seq(sequence)->seq, text.release()); }
std::optional<std::uint64_t> sequence_start(PyObject* sequence) { return start_of(as_seq(sequence)); }
std::optional<std::uint64_t> sequence_end(PyObject* sequence) { return end_of(as_seq(sequence)); }

PyObject* sequence_reverse(PyObject* sequence) { return get_reverse(sequence, nullptr); }

PyObject* reverse_complement_owned(Ref sequence) {
    SequenceObject* s = as_seq(sequence.get());
    PyObject* text = s->seq;
    // Nobody else can see the value or its text (fresh from a fetch), and no cache of the
    // text's hash would go stale: turn it over in place.
    if (Py_REFCNT(sequence.get()) == 1 && Py_REFCNT(text) == 1 && PyUnicode_CheckExact(text) &&
        PyUnicode_IS_COMPACT_ASCII(text) && !PyUnicode_CHECK_INTERNED(text) &&
        reinterpret_cast<PyASCIIObject*>(text)->hash == -1) {
        engine::reverse_complement_in_place(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        if (s->has_start && s->has_end) std::swap(s->start, s->end);
        s->comp = !s->comp;
        return sequence.release();
    }
    return Sequence_neg(sequence.get());
}

PyObject* new_sequence(const engine::Sequence& value) {
    return new_sequence(make_str(value.name), make_str(value.seq), value.start, value.end,
                        value.comp);
}

}  // namespace nucla::py
