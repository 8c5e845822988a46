// What the binding files share: the cached class objects, the one converter from engine
// errors to Python exceptions, the engine holder of Faidx and Fasta, and the constructors of
// Sequence objects from fetched regions.
#pragma once

#include "py.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors.hpp"
#include "engine/reader.hpp"
#include "engine/sequence.hpp"
#include "options.hpp"

namespace nucla::py {

// Class objects, created once per process on first use; nullptr with an exception set when
// creation fails.
PyTypeObject* fasta_type();
PyTypeObject* faidx_type();
PyTypeObject* sequence_type();
PyTypeObject* fasta_record_type();
PyTypeObject* fasta_iterator_type();
PyTypeObject* sequence_iterator_type();
PyTypeObject* mutable_fasta_record_type();

// Creates a final heap type "builtins.<name>" from its slot table; caches nothing itself.
PyTypeObject* make_type(PyType_Spec& definition);
// A pickle reduction that rebuilds nucla.<class_name>(*args) on the receiving side.
PyObject* reduce_by_name(const char* class_name, PyObject* args);
// tp_new of the classes that Python code cannot construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Sets the Python exception for an engine error (always the built-in Exception, with the
// kind's prefix) and returns nullptr.
std::nullptr_t raise(const engine::FaidxError& error);

// A new Python Sequence. (The coordinates by reference: a value set field by field and then
// read whole, as passing it by value does, stalls the read until every store has landed.)
PyObject* new_sequence(Ref name, Ref seq, const std::optional<std::uint64_t>& start,
                       const std::optional<std::uint64_t>& end, bool comp);
PyObject* new_sequence(const engine::Sequence& value);

// The bases of a Python Sequence (borrowed str), and its reverse (a new Sequence).
PyObject* sequence_text(PyObject* sequence);
// Replaces the text of a Sequence that nothing else has seen yet.
void sequence_set_text(PyObject* sequence, Ref text);
std::optional<std::uint64_t> sequence_start(PyObject* sequence);
std::optional<std::uint64_t> sequence_end(PyObject* sequence);
PyObject* sequence_reverse(PyObject* sequence);
// The reverse complement (unary minus) of a value the caller owns; done in place when nothing
// else holds the value or its text.
PyObject* reverse_complement_owned(Ref sequence);

// The coordinates a value fetched by `plan` reports: none as_raw, 0-based starts without
// one_based_attributes, and an empty plan's as they were asked for. (Inline: set field by
// field in a caller's frame and then passed on whole, they would stall the copy that reads them.)
inline void report(const OptionValues& options, const engine::RegionPlan& plan,
                   std::optional<std::uint64_t>& start, std::optional<std::uint64_t>& end) {
    if (plan.kind == engine::RegionPlan::Kind::Empty) {
        start = plan.start;
        end = plan.end;
    } else if (options.as_raw) {
        start.reset();
        end.reset();
    } else {
        start = options.one_based_attributes ? plan.start : plan.start - 1;
        end = plan.end;
    }
}

// Single-region fetch with the bounds policy (warnings, or IndexError under strict bounds).
// `name_obj` may be null; when it is an exact str it becomes the result's name as is.
PyObject* fetch_region(const EngineHolder& holder, PyObject* name_obj, std::string_view name,
                       std::uint64_t start, std::uint64_t end);
// The same for a row the caller has already looked up.
PyObject* fetch_region(const EngineHolder& holder, const engine::IndexEntry& entry,
                       PyObject* name_obj, std::string_view name, std::uint64_t start,
                       std::uint64_t end);
// A new list with one item per index row, in file order: make(row) returns a new reference.
template <class Make>
PyObject* row_list(const engine::Faidx& faidx, Make&& make) {
    return guard([&]() -> PyObject* {
        const auto& rows = faidx.index().rows();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            PyObject* item = make(rows[i]);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// The names of the index, in file order, as a new list of str.
PyObject* key_list(const engine::Faidx& faidx);

// Whole sequence, no checks.
PyObject* fetch_entire(const EngineHolder& holder, PyObject* name_obj, std::string_view name);

}  // namespace nucla::py

namespace nucla::py {

// The engine of a Fasta object (with its options), and its filename str (borrowed).
const EngineHolder& fasta_holder(PyObject* fasta);
const engine::Faidx& fasta_engine(PyObject* fasta);
PyObject* fasta_filename(PyObject* fasta);

// Records and iterators hold a strong reference to `fasta`, so the engine outlives them.
// `name` must be a str naming a row of the engine's index (else the engine's FetchError).
PyObject* new_fasta_record(PyObject* fasta, Ref name);
// The same for a name whose row the caller has looked up.
PyObject* new_fasta_record(PyObject* fasta, Ref name, const engine::IndexEntry& entry);
PyObject* new_fasta_iterator(PyObject* fasta);
PyObject* new_sequence_iterator(PyObject* fasta, PyObject* name,
                                const engine::IndexEntry& entry);

}  // namespace nucla::py

namespace nucla::py {

// One region of a batch request. `name_obj` is a str that outlives the call: held by `held`,
// by the RequestHold of the conversion, or the caller's own argument.
struct Request {
    PyObject* name_obj;
    std::string_view name;
    std::uint64_t start;
    std::uint64_t end;
    // Taken for a name read from a list in place, whose item caller code could yet drop; the
    // value made for the region takes it over.
    Ref held;
};

// What converted requests borrow from, kept for the whole call: a tuple of the regions when
// they are not a list, or what was left of a list when caller code could first run.
struct RequestHold {
    Ref tuple;
    std::vector<Ref> pinned;
};

// Converts a sequence (not a str) of tuples of `arity` items: (name, start, end) when arity is
// 3, else (start, end) on `shared_name`, a str. The request is taken as it stands when the call
// begins, whatever a coordinate's __index__ does to the caller's list, and each name's view is
// taken once its region's coordinates are converted.
bool convert_requests(const char* fname, const char* arg, PyObject* regions, std::size_t arity,
                      PyObject* shared_name, RequestHold& hold, std::vector<Request>& out);

// Batch fetches over converted requests; `fname` names the method in argument errors.
// With `rc`, every value is the reverse complement of what a plain fetch returns.
// `name_obj` must be a str.
PyObject* batch_fetch_many(const EngineHolder& holder, const char* fname, PyObject* regions,
                           bool rc = false);
PyObject* batch_fetch_many_same_chr(const EngineHolder& holder, const char* fname,
                                    PyObject* name_obj, PyObject* regions, bool rc = false);

}  // namespace nucla::py

namespace nucla::py {

// The array methods of Faidx and Fasta, over the engine of `self` (which the caller holds for
// the call, while the lock is released).
PyObject* fetch_windows(const engine::Faidx& faidx, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kw);
PyObject* fetch_packed(const engine::Faidx& faidx, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kw);
extern const char kFetchWindowsDoc[];
extern const char kFetchPackedDoc[];

// with_variants of Faidx and Fasta: a personal genome over `reference`, the engine of `owner`,
// which it holds.
PyObject* with_variants(PyObject* owner, const engine::Faidx& reference, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kw);
extern const char kWithVariantsDoc[];

}  // namespace nucla::py
