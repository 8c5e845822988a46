// The personal genome of a reference and a VCF or BCF file (with_variants): its samples'
// haplotypes as numpy arrays. It holds a strong reference to the Fasta or Faidx it was made
// from, whose engine it reads; the variant file is its own.
#include "array_args.hpp"
#include "binding.hpp"
#include "unlocked.hpp"

#include <memory>
#include <string>
#include <vector>

#include "engine/fd.hpp"
#include "engine/variants.hpp"

namespace nucla::py {

namespace {

struct PersonalObject {
    PyObject_HEAD
    PyObject* owner;  // the Fasta or Faidx
    const engine::Faidx* reference;
    engine::VariantFile* variants;
};

PersonalObject* as_personal(PyObject* self) { return reinterpret_cast<PersonalObject*>(self); }

void Personal_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_personal(self)->variants;
    Py_XDECREF(as_personal(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Personal_samples(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const auto& samples = as_personal(self)->variants->samples();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(samples.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            Ref name = make_str(samples[i]);
            if (!name) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
        }
        return list.release();
    });
}

PyObject* Personal_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const PersonalObject* p = as_personal(self);
        const std::string text = "<personal genome of " +
                                 std::to_string(p->variants->samples().size()) +
                                 " samples from '" + p->variants->path() + "' on '" +
                                 p->reference->filename() + "'>";
        Ref repr = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
            text.data(), static_cast<Py_ssize_t>(text.size())));
        return repr.release();
    });
}

// sample_of_row: None (every sample for every row), or N indexes into the samples.
bool to_samples_of_rows(const char* fname, PyObject* obj, std::size_t rows, std::size_t samples,
                        std::vector<std::uint32_t>& out) {
    if (!obj || obj == Py_None) return true;
    std::vector<std::int64_t> values;
    if (!to_integers(fname, "sample_of_row", obj, values)) return false;
    if (values.size() != rows) {
        PyErr_Format(PyExc_ValueError, "%s(): sample_of_row has %zu entries for %zu regions",
                     fname, values.size(), rows);
        return false;
    }
    out.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        if (values[i] < 0 || static_cast<std::uint64_t>(values[i]) >= samples) {
            PyErr_Format(PyExc_IndexError,
                         "%s(): sample_of_row[%zu] is %lld, not a sample index below %zu",
                         fname, i, static_cast<long long>(values[i]), samples);
            return false;
        }
        out.push_back(static_cast<std::uint32_t>(values[i]));
    }
    return true;
}

// The records of the request, read with the interpreter lock released; nullptr with the
// exception set on failure. Warnings go to standard error, a line at a time.
std::unique_ptr<engine::Haplotypes> plan(const PersonalObject* p,
                                         const engine::HaplotypeRequest& request) {
    engine::Result<std::unique_ptr<engine::Haplotypes>> planned = engine::FaidxError::value("");
    {
        WithoutGil unlocked;
        engine::Interrupt interrupt([&] { return unlocked.keep_going(); });
        planned = engine::Haplotypes::plan(*p->reference, *p->variants, request, &interrupt);
    }
    if (PyErr_Occurred()) return nullptr;  // a signal handler's exception stopped it
    if (!planned.ok()) {
        raise(planned.error());
        return nullptr;
    }
    for (const std::string& line : (*planned)->warnings()) (void)engine::write_all(2, line);
    return std::move(planned).value();
}

bool fill(const engine::Haplotypes& haplotypes, const engine::ArrayFormat& format,
          engine::ArrayLayout layout, std::uint8_t* out, std::uint64_t bytes) {
    return fill_unlocked(bytes, [&](const engine::Execution& execution) {
        return haplotypes.fill(format, layout, out, execution);
    });
}

PyObject* Personal_fetch_windows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
    static constexpr Signature<11> sig{"fetch_windows",
                                       {"names", "starts", "ends", "length", "strands", "encoding",
                                        "dtype", "upper", "table", "out", "sample_of_row"},
                                       4,
                                       4};
    const char* fname = sig.fname;
    return guard([&]() -> PyObject* {
        const PersonalObject* p = as_personal(self);
        std::array<PyObject*, 11> a;
        if (!unpack(sig, args, nargs, kw, a)) return nullptr;
        const std::array<Ref, 11> held = hold_arguments(a);
        Ref numpy = import_numpy(fname);
        std::uint64_t length;
        Options o;
        if (!to_window_length(fname, a[3], length) || !numpy ||
            !parse_format(fname, numpy.get(), a[5], a[6], a[7], a[8], true, o))
            return nullptr;
        std::vector<engine::ArrayRegion> regions;
        std::vector<std::uint32_t> sample_of_row;
        const std::size_t samples = p->variants->samples().size();
        if (!to_regions(fname, *p->reference, a[0], a[1], a[2], a[4], regions) ||
            !check_spans(fname, regions, length) ||
            !to_samples_of_rows(fname, a[10], regions.size(), samples, sample_of_row))
            return nullptr;
        std::vector<std::uint64_t> shape{regions.size()};
        if (sample_of_row.empty()) shape.push_back(samples);
        shape.push_back(2);
        shape.push_back(length);
        if (o.format.encoding == engine::Encoding::OneHot) shape.push_back(4);
        Buffer buffer;
        std::uint64_t bytes;
        Ref result = window_output(fname, numpy.get(), a[9], shape, o, buffer, bytes);
        if (!result) return nullptr;
        const engine::HaplotypeRequest request{&regions, &sample_of_row, length};
        std::unique_ptr<engine::Haplotypes> haplotypes = plan(p, request);
        if (!haplotypes) return nullptr;
        auto* data = static_cast<std::uint8_t*>(buffer.view().buf);
        if (!fill(*haplotypes, o.format, engine::ArrayLayout{nullptr, length}, data, bytes))
            return nullptr;
        return result.release();
    });
}

PyObject* Personal_fetch_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
    static constexpr Signature<8> sig{"fetch_packed",
                                      {"names", "starts", "ends", "strands", "encoding", "upper",
                                       "table", "sample_of_row"},
                                      3,
                                      3};
    const char* fname = sig.fname;
    return guard([&]() -> PyObject* {
        const PersonalObject* p = as_personal(self);
        std::array<PyObject*, 8> a;
        if (!unpack(sig, args, nargs, kw, a)) return nullptr;
        const std::array<Ref, 8> held = hold_arguments(a);
        Ref numpy = import_numpy(fname);
        Options o;
        if (!numpy || !parse_format(fname, numpy.get(), a[4], nullptr, a[5], a[6], false, o))
            return nullptr;
        std::vector<engine::ArrayRegion> regions;
        std::vector<std::uint32_t> sample_of_row;
        if (!to_regions(fname, *p->reference, a[0], a[1], a[2], a[3], regions) ||
            !to_samples_of_rows(fname, a[7], regions.size(), p->variants->samples().size(),
                                sample_of_row))
            return nullptr;
        const engine::HaplotypeRequest request{&regions, &sample_of_row, 0};
        std::unique_ptr<engine::Haplotypes> haplotypes = plan(p, request);
        if (!haplotypes) return nullptr;
        Ref offsets, data;
        Buffer offsets_buffer, data_buffer;
        const auto span = [&](std::size_t e, std::int64_t& n) {
            const std::uint64_t length = haplotypes->length(e);
            n = static_cast<std::int64_t>(length);
            return length <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX);
        };
        if (!packed_output(numpy.get(), haplotypes->entries(), span, offsets, offsets_buffer,
                           data, data_buffer))
            return nullptr;
        const auto* at = static_cast<const std::int64_t*>(offsets_buffer.view().buf);
        auto* out = static_cast<std::uint8_t*>(data_buffer.view().buf);
        const auto bytes = static_cast<std::uint64_t>(at[haplotypes->entries()]);
        if (!fill(*haplotypes, o.format, engine::ArrayLayout{at, 0}, out, bytes)) return nullptr;
        return PyTuple_Pack(2, data.get(), offsets.get());
    });
}

const char kSamplesDoc[] =
    "The samples' names, in the order of the arrays' sample axis: the file's order, or the\n"
    "order given to with_variants.";

const char kPersonalWindowsDoc[] =
    "fetch_windows($self, names, starts, ends, length, *, strands=None, encoding='bytes',\n"
    "              dtype=None, upper=False, table=None, out=None, sample_of_row=None)\n--\n\n"
    "The samples' haplotypes over fixed-length windows: shape (N, S, 2, length), or\n"
    "(N, 2, length) with sample_of_row, plus (4,) for one-hot.\n\n"
    "Regions are reference coordinates, as in Fasta.fetch_windows (each spans `length`\n"
    "bases). Row (i, s, h) is haplotype h of sample s read from region i's start until\n"
    "`length` bases are filled: a net deletion reads on past the region's end, an insertion\n"
    "is cut, and what lies past the sequence's end is padding. A minus region is the reverse\n"
    "complement of the row. sample_of_row: N indexes into `samples`, one sample per region.\n"
    "Encodings, dtype, upper, table and out as in Fasta.fetch_windows.";

const char kPersonalPackedDoc[] =
    "fetch_packed($self, names, starts, ends, *, strands=None, encoding='bytes', upper=False,\n"
    "             table=None, sample_of_row=None)\n--\n\n"
    "The samples' haplotypes over regions of any length, concatenated: (data, offsets), with\n"
    "entry (i, s, h) at (i * S + s) * 2 + h (i * 2 + h with sample_of_row), data[offsets[e]:\n"
    "offsets[e + 1]].\n\n"
    "Entry (i, s, h) is the haplotype aligned to the reference span [start, end): the bases\n"
    "that the reference positions inside it give, so a variant crossing an end gives only the\n"
    "part that belongs to positions inside (a variant's k-th REF position gives its ALT's k-th\n"
    "base, its last position the rest of the ALT).";

PyMethodDef kPersonalMethods[] = {
    {"fetch_windows", method(Personal_fetch_windows), METH_FASTCALL | METH_KEYWORDS,
     kPersonalWindowsDoc},
    {"fetch_packed", method(Personal_fetch_packed), METH_FASTCALL | METH_KEYWORDS,
     kPersonalPackedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPersonalGetSet[] = {
    {"samples", Personal_samples, nullptr, kSamplesDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPersonalSlots[] = {
    {Py_tp_doc, const_cast<char*>("A reference with the variants of a VCF or BCF file's samples "
                                  "applied; made by Fasta.with_variants.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Personal_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Personal_repr)},
    {Py_tp_methods, kPersonalMethods},
    {Py_tp_getset, kPersonalGetSet},
    {0, nullptr},
};
PyType_Spec kPersonalSpec = {"builtins.PersonalGenome", sizeof(PersonalObject), 0,
                             Py_TPFLAGS_DEFAULT, kPersonalSlots};

PyTypeObject* personal_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(kPersonalSpec);
    return type;
}

}  // namespace

const char kWithVariantsDoc[] =
    "with_variants($self, path, samples=None, *, skip_ref_mismatch=False)\n--\n\n"
    "The personal genome of this reference and a VCF or BCF file: its samples' haplotypes,\n"
    "through fetch_windows and fetch_packed.\n\n"
    "path: a VCF or BCF file, bgzipped with its index (.tbi or .csi: `bcftools index FILE`),\n"
    "or a plain VCF (read whole). samples: names to use, in this order (default: all, in the\n"
    "file's order). Haplotype h takes the (h+1)-th allele of a sample's GT whatever the\n"
    "phasing; a missing allele keeps the reference; a haploid call gives its allele on both\n"
    "haplotypes; symbolic and breakend alleles are skipped; a variant overlapping one applied\n"
    "before it on a haplotype is skipped there, with a warning. A REF that does not match the\n"
    "reference raises ValueError naming the record, unless skip_ref_mismatch=True, which skips\n"
    "such records with a warning. Variants are read for the regions asked, at each call.";

PyObject* with_variants(PyObject* owner, const engine::Faidx& reference, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kw) {
    static constexpr Signature<3> sig{
        "with_variants", {"path", "samples", "skip_ref_mismatch"}, 1, 2};
    const char* fname = sig.fname;
    return guard([&]() -> PyObject* {
        std::array<PyObject*, 3> a;
        if (!unpack(sig, args, nargs, kw, a)) return nullptr;
        const std::array<Ref, 3> held = hold_arguments(a);
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(a[0], &encoded)) return nullptr;
        const Ref path_bytes = Ref::steal(encoded);
        engine::VariantOptions options;
        if (!to_opt_bool(fname, "skip_ref_mismatch", a[2], options.skip_ref_mismatch))
            return nullptr;
        if (a[1] && a[1] != Py_None) {
            if (PyUnicode_Check(a[1]) || !PySequence_Check(a[1])) {
                bad_argument(fname, "samples", "a sequence of str", a[1]);
                return nullptr;
            }
            Ref items = Ref::steal(PySequence_Tuple(a[1]));
            if (!items) return nullptr;
            std::vector<std::string> names;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
                std::string_view name;
                if (!to_str(fname, "samples", PyTuple_GET_ITEM(items.get(), i), name))
                    return nullptr;
                names.emplace_back(name);
            }
            options.samples = std::move(names);
        }
        const std::string path(PyBytes_AS_STRING(path_bytes.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes.get())));
        if (path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "with_variants(): embedded null byte in path");
            return nullptr;
        }
        engine::Result<std::unique_ptr<engine::VariantFile>> opened =
            engine::FaidxError::value("");
        {
            WithoutGil unlocked;
            opened = engine::VariantFile::open(path, std::move(options));
        }
        if (!opened.ok()) return raise(opened.error());
        PyTypeObject* type = personal_type();
        if (!type) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        PersonalObject* p = as_personal(self);
        Py_INCREF(owner);
        p->owner = owner;
        p->reference = &reference;
        p->variants = std::move(opened).value().release();
        return self;
    });
}

}  // namespace nucla::py
