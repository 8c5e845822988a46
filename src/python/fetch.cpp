// From engine region plans to Python Sequence objects. The single fetch's bounds policy is put
// in words here (warnings on standard error, or IndexError under strict bounds). The bases are
// extracted straight into the buffer of a new str, so the common path copies them exactly once.
#include <string>

#include "engine/run.hpp"
#include "engine/fd.hpp"
#include "engine/large.hpp"
#include "binding.hpp"

namespace nucla::py {

namespace {

constexpr std::size_t kOwnMappingBytes = std::size_t{32} << 20;

// The words of the single fetch's bounds policy for one problem of `plan`, made of the
// coordinates as requested (`start`, `end`) or as adjusted (the plan's).
std::string describe(engine::RegionPlan::Problem problem, const engine::RegionPlan& plan,
                     std::string_view name, std::uint64_t start, std::uint64_t end) {
    using Plan = engine::RegionPlan;
    switch (problem) {
        case Plan::BeyondEnd:
            return "coordinates " + std::to_string(start) + "-" + std::to_string(end) +
                   " are out of bounds for sequence '" + std::string(name) + "' of length " +
                   std::to_string(plan.entry->rlen);
        case Plan::ZeroCoordinate:
            return "coordinates cannot be 0 (1-based indexing)";
        case Plan::StartAfterEnd:
            return "start coordinate " + std::to_string(plan.start) +
                   " is greater than end coordinate " + std::to_string(plan.end);
    }
    return {};
}

// Says what the policy found: the IndexError of a refused plan (false), or a warning line on
// standard error for each adjustment (one unbuffered write each, before the value is made).
bool speak(const engine::RegionPlan& plan, std::string_view name, std::uint64_t start,
           std::uint64_t end) {
    using Plan = engine::RegionPlan;
    for (Plan::Problem problem : {Plan::BeyondEnd, Plan::ZeroCoordinate, Plan::StartAfterEnd}) {
        if (!(plan.problems & problem)) continue;
        const std::string text = describe(problem, plan, name, start, end);
        if (plan.kind == Plan::Kind::OutOfBounds) {
            PyErr_SetString(PyExc_IndexError, text.c_str());
            return false;
        }
        (void)engine::write_all(2, "WARNING: " + text + "\n");
    }
    return true;
}

// A Python Sequence for a plan that is not OutOfBounds.
PyObject* realize(const EngineHolder& holder, PyObject* name_obj, std::string_view name,
                  const engine::RegionPlan& plan) {
    using Kind = engine::RegionPlan::Kind;
    const engine::Faidx& faidx = *holder.faidx;
    std::optional<std::uint64_t> start, end;
    report(holder.options, plan, start, end);
    Ref name_ref = name_str(name_obj, name);
    if (!name_ref) return nullptr;
    if (plan.kind == Kind::Empty)
        return new_sequence(std::move(name_ref), make_str({}), start, end, false);

    auto window = faidx.window(plan);
    if (!window.ok()) return raise(window.error());
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(window->capacity), 127));
    if (!text) return nullptr;
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    // A str this big has a mapping of its own (the C allocator maps blocks from 32 MiB on)
    // and is fresh memory: one fault per 2 MiB page instead of one per 4 KiB halves the time
    // a whole chromosome takes, on first and later calls alike.
    if (window->capacity >= kOwnMappingBytes) engine::advise_huge_pages(data, window->capacity);
    auto got = faidx.extract(*window, data, engine::thread_scratch());
    if (!got.ok()) return raise(got.error());
    if (got->size == plan.count() && got->ascii) {
        faidx.finish_in_place(data, got->size);
    } else {
        // Short (padding may follow) or not ASCII: finish in a byte buffer.
        std::string bases(data, got->size);
        faidx.finish_bases(bases, plan);
        text = make_str(bases);
        if (!text) return nullptr;
    }
    return new_sequence(std::move(name_ref), std::move(text), start, end, false);
}

}  // namespace

PyObject* fetch_region(const EngineHolder& holder, PyObject* name_obj, std::string_view name,
                       std::uint64_t start, std::uint64_t end) {
    return guard([&]() -> PyObject* {
        auto plan = holder.faidx->plan(name, start, end, engine::Bounds::Single);
        if (!plan.ok()) return raise(plan.error());
        if (!speak(*plan, name, start, end)) return nullptr;
        return realize(holder, name_obj, name, *plan);
    });
}

PyObject* fetch_region(const EngineHolder& holder, const engine::IndexEntry& entry,
                       PyObject* name_obj, std::string_view name, std::uint64_t start,
                       std::uint64_t end) {
    return guard([&]() -> PyObject* {
        const engine::RegionPlan plan = holder.faidx->plan(entry, start, end, engine::Bounds::Single);
        if (!speak(plan, name, start, end)) return nullptr;
        return realize(holder, name_obj, name, plan);
    });
}

PyObject* fetch_entire(const EngineHolder& holder, PyObject* name_obj, std::string_view name) {
    return guard([&]() -> PyObject* {
        auto plan = holder.faidx->plan(name, 0, 0, engine::Bounds::Entire);
        if (!plan.ok()) return raise(plan.error());
        return realize(holder, name_obj, name, *plan);
    });
}

}  // namespace nucla::py
