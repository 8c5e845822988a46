// Batch fetches: the request is converted whole before anything is read; small batches go
// through the single-region fetch on this thread, large ones through the worker pool.
//
// For a parallel batch this thread plans every region and creates each result str at its final
// size; the workers then only copy bases into those reserved byte buffers (no interpreter call,
// no reference count touched) while this thread waits holding the GIL, so nothing else can see
// the strings before they are complete. The bases are copied once.
#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/batch.hpp"
#include "engine/pool.hpp"
#include "python/binding.hpp"

namespace nucla::py {

namespace {

}  // namespace

bool convert_requests(const char* fname, const char* arg, PyObject* regions, std::size_t arity,
             PyObject* shared_name, std::string_view name, Ref& holder,
             std::vector<Request>& out) {
    if (PyUnicode_Check(regions) || !PySequence_Check(regions))
        return bad_argument(fname, arg, "a sequence of tuples", regions);
    holder = Ref::steal(PySequence_Fast(regions, "regions must be a sequence"));
    if (!holder) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(holder.get());
    PyObject** items = PySequence_Fast_ITEMS(holder.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyTuple_Check(item)) return bad_argument(fname, arg, "a sequence of tuples", item);
        const Py_ssize_t len = PyTuple_GET_SIZE(item);
        if (len != static_cast<Py_ssize_t>(arity)) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length %zu, but got tuple of length %zd",
                         arity, len);
            return false;
        }
        Request r{shared_name, name, 0, 0};
        Py_ssize_t k = 0;
        if (arity == 3) {
            r.name_obj = PyTuple_GET_ITEM(item, 0);
            if (!to_str(fname, arg, r.name_obj, r.name)) return false;
            k = 1;
        }
        if (!to_u64(fname, arg, PyTuple_GET_ITEM(item, k), r.start) ||
            !to_u64(fname, arg, PyTuple_GET_ITEM(item, k + 1), r.end))
            return false;
        out.push_back(r);
    }
    return true;
}

namespace {

PyObject* sequential(const engine::Faidx& faidx, const std::vector<Request>& requests) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(requests.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Request& r = requests[i];
        PyObject* value = fetch_region(faidx, r.name_obj, r.name, r.start, r.end);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

struct Slot {
    engine::RegionPlan plan;
    engine::ExtractionWindow window;
    Ref text;
    char* data = nullptr;
    engine::Extracted got;
    std::unique_ptr<engine::FaidxError> error;
};

PyObject* runtime_error(std::size_t position, const char* context, std::string_view name,
                        const engine::FaidxError& error) {
    std::string message = "Error fetching region " + std::to_string(position);
    if (context) {
        message += context;
        message.append(name);
    }
    message += ": " + error.display();
    Ref text = make_str(message);
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
}

PyObject* parallel(const engine::Faidx& faidx, const std::vector<Request>& requests,
                   const char* context, std::string_view context_name) {
    const std::size_t n = requests.size();
    std::vector<Slot> slots(n);
    // Plan on this thread; a region that cannot be planned ends the batch, but earlier regions
    // are still read so that a read failure before it is the one reported.
    std::size_t limit = n;
    for (std::size_t i = 0; i < n; ++i) {
        const Request& r = requests[i];
        Slot& slot = slots[i];
        auto plan = faidx.plan_batch_fetch(r.name, r.start, r.end);
        if (!plan.ok()) {
            slot.error = std::make_unique<engine::FaidxError>(plan.take_error());
            limit = i;
            break;
        }
        slot.plan = std::move(plan).value();
        if (slot.plan.kind != engine::RegionPlan::Kind::Extract) continue;
        auto window = faidx.window(slot.plan);
        if (!window.ok()) {
            slot.error = std::make_unique<engine::FaidxError>(window.take_error());
            continue;
        }
        slot.window = *window;
        slot.text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(window->capacity), 127));
        if (!slot.text) return nullptr;
        slot.data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(slot.text.get()));
    }

    // Without a memory map (a compressed file, or reads through a descriptor) regions are read
    // in file order, so that a worker decompresses or reads each block once for all the
    // regions in it, however the request is ordered; results keep their slots.
    const bool ordered = !faidx.source().mapped().data();
    std::vector<std::size_t> order;
    if (ordered) {
        order.reserve(limit);
        for (std::size_t i = 0; i < limit; ++i)
            if (slots[i].data) order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return slots[a].window.pos < slots[b].window.pos;
        });
    }
    const std::size_t count = ordered ? order.size() : limit;

    const bool upper = faidx.options().sequence_always_upper;
    std::atomic<bool> out_of_memory{false};
    engine::parallel_for(count, [&](std::size_t begin, std::size_t end) {
        // Each worker reads through its own buffers and block cache.
        for (std::size_t k = begin; k < end; ++k) {
            Slot& slot = slots[ordered ? order[k] : k];
            if (!slot.data) continue;
            try {
                auto got = faidx.extract(slot.window, slot.data, thread_scratch());
                if (!got.ok()) {
                    slot.error = std::make_unique<engine::FaidxError>(got.take_error());
                    continue;
                }
                slot.got = *got;
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
                return;
            }
            if (upper && slot.got.size == slot.plan.count()) engine::upper_case(slot.data, slot.got.size);
        }
    });
    if (out_of_memory) throw std::bad_alloc();

    for (std::size_t i = 0; i <= limit && i < n; ++i) {
        if (slots[i].error) return runtime_error(i, context, context_name, *slots[i].error);
    }

    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Slot& slot = slots[i];
        const Request& r = requests[i];
        std::optional<std::uint64_t> start, end;
        faidx.report(slot.plan, start, end);
        Ref text;
        if (slot.plan.kind == engine::RegionPlan::Kind::Empty) {
            text = make_str({});
        } else if (slot.got.size == slot.plan.count() && slot.got.ascii) {
            text = std::move(slot.text);
        } else {
            std::string bases(slot.data, slot.got.size);
            faidx.finish_bases(bases, slot.plan);
            slot.text = Ref();
            text = make_str(bases);
        }
        if (!text) return nullptr;
        PyObject* value = new_sequence(name_str(r.name_obj, r.name), std::move(text), start, end, false);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

}  // namespace

PyObject* batch_fetch_many(const engine::Faidx& faidx, const char* fname, PyObject* regions) {
    return guard([&]() -> PyObject* {
        Ref holder;
        std::vector<Request> requests;
        if (!convert_requests(fname, "regions", regions, 3, nullptr, {}, holder, requests)) return nullptr;
        if (requests.size() < engine::kParallelThreshold) return sequential(faidx, requests);
        return parallel(faidx, requests, nullptr, {});
    });
}

PyObject* batch_fetch_many_same_chr(const engine::Faidx& faidx, const char* fname,
                                    PyObject* name_obj, std::string_view name,
                                    PyObject* regions) {
    return guard([&]() -> PyObject* {
        Ref holder;
        std::vector<Request> requests;
        if (!convert_requests(fname, "regions", regions, 2, name_obj, name, holder, requests))
            return nullptr;
        if (requests.empty()) return PyList_New(0);
        if (!faidx.index().contains(name)) return raise(engine::FaidxError::sequence_not_found(name));
        if (requests.size() < engine::kParallelThreshold) return sequential(faidx, requests);
        return parallel(faidx, requests, " from ", name);
    });
}

}  // namespace nucla::py
