// Batch fetches: the request is converted whole before anything is read; small batches go
// through the single-region fetch on this thread, large ones through the engine's batch driver
// on the worker pool.
#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/run.hpp"
#include "engine/execution.hpp"
#include "binding.hpp"

namespace nucla::py {

namespace {
// Regions converted between two looks at pending signals.
constexpr Py_ssize_t kSignalEvery = 32768;
}  // namespace

bool convert_requests(const char* fname, const char* arg, PyObject* regions, std::size_t arity,
                      PyObject* shared_name, RequestHold& hold, std::vector<Request>& out) {
    if (PyUnicode_Check(regions) || !PySequence_Check(regions))
        return bad_argument(fname, arg, "a sequence of tuples", regions);
    // The regions as they stand now. A list is read in place for as long as no caller code can
    // run (converting an exact int runs none); before the first coordinate that is not one, what
    // is left of the list is held, since its __index__ may change the list. Any other sequence
    // is read from a tuple, which nothing can change.
    bool in_place = PyList_CheckExact(regions);
    if (!in_place) {
        hold.tuple = Ref::steal(PySequence_Tuple(regions));
        if (!hold.tuple) return false;
    }
    PyObject* const source = in_place ? regions : hold.tuple.get();
    PyObject* const* const items = PySequence_Fast_ITEMS(source);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(source);
    Py_ssize_t pinned_from = 0;
    const auto item_at = [&](Py_ssize_t i) {
        return hold.pinned.empty() ? items[i] : hold.pinned[i - pinned_from].get();
    };
    // The shared name is the caller's argument, which the caller holds for the whole call.
    std::string_view shared;
    if (shared_name && !utf8_of(shared_name, shared)) return false;
    // Holds what is left of a list before caller code can run.
    const auto pin_rest = [&](Py_ssize_t i) {
        if (!in_place) return;
        hold.pinned.reserve(static_cast<std::size_t>(n - i));
        for (Py_ssize_t j = i; j < n; ++j) hold.pinned.push_back(Ref::borrow(items[j]));
        pinned_from = i;
        in_place = false;
    };
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Ctrl-C during the conversion of millions of regions; a handler may change the list.
        if (i % kSignalEvery == 0 && i > 0) {
            pin_rest(i);
            if (PyErr_CheckSignals() < 0) return false;
        }
        PyObject* item = item_at(i);
        if (!PyTuple_Check(item)) return bad_argument(fname, arg, "a sequence of tuples", item);
        const Py_ssize_t len = PyTuple_GET_SIZE(item);
        if (len != static_cast<Py_ssize_t>(arity)) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length %zu, but got tuple of length %zd", arity, len);
            return false;
        }
        Request r{shared_name, shared, 0, 0, Ref()};
        const Py_ssize_t k = arity == 3 ? 1 : 0;
        if (arity == 3) {
            r.name_obj = PyTuple_GET_ITEM(item, 0);
            if (!check_str(fname, arg, r.name_obj)) return false;
        }
        PyObject* start = PyTuple_GET_ITEM(item, k);
        PyObject* end = PyTuple_GET_ITEM(item, k + 1);
        if (!(PyLong_CheckExact(start) && PyLong_CheckExact(end))) pin_rest(i);
        if (!to_u64(fname, arg, start, r.start) || !to_u64(fname, arg, end, r.end)) return false;
        if (arity == 3) {
            if (in_place) r.held = Ref::borrow(r.name_obj);
            if (!utf8_of(r.name_obj, r.name)) return false;
        }
        out.push_back(std::move(r));
    }
    return true;
}

namespace {

// The name for the value of region `r`, an exact str: the reference the region holds when it
// can be (no count touched), else as for any fetch.
Ref take_name(Request& r) {
    if (r.held && PyUnicode_CheckExact(r.held.get())) return std::move(r.held);
    return name_str(r.name_obj, r.name);
}

// The blocks of a remote file that the requests read, fetched in one round before the first of
// them is read (regions the policy refuses or adjusts read what it says, or nothing).
bool prefetch(const engine::Faidx& faidx, const std::vector<Request>& requests) {
    std::vector<engine::ByteSpan> spans;
    spans.reserve(requests.size());
    for (const Request& r : requests) {
        auto plan = faidx.plan(r.name, r.start, r.end, engine::Bounds::Single);
        if (plan.ok()) spans.push_back(faidx.span_of(*plan));
    }
    engine::Status fetched = faidx.prefetch(std::move(spans));
    if (fetched.ok()) return true;
    raise(fetched.error());
    return false;
}

// One fetch after another on this thread, then (with rc) each value replaced by its reverse
// complement, in place when nothing else holds it.
PyObject* sequential(const EngineHolder& holder, const std::vector<Request>& requests, bool rc) {
    if (holder.faidx->remote() && !prefetch(*holder.faidx, requests)) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(requests.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Request& r = requests[i];
        PyObject* value = fetch_region(holder, r.name_obj, r.name, r.start, r.end);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    for (std::size_t i = 0; rc && i < requests.size(); ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        Ref value = Ref::steal(PyList_GET_ITEM(list.get(), at));  // take the list's reference
        PyList_SET_ITEM(list.get(), at, nullptr);
        PyObject* turned = reverse_complement_owned(std::move(value));
        if (!turned) return nullptr;
        PyList_SET_ITEM(list.get(), at, turned);
    }
    return list.release();
}

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

// The str sink of the engine's batch driver. This thread plans every region and creates its
// Sequence and its str at the final size; the workers only copy bases into those reserved byte
// buffers (no interpreter call, no reference count touched) while this thread holds the GIL,
// so nothing else can see a string before it is complete. The bases are copied once. With
// `rc` the workers also reverse-complement each region while its bases are still in cache: the
// values are exactly those that unary minus would give.
class StrSink final : public engine::BatchSink {
public:
    StrSink(const EngineHolder& holder, std::vector<Request>& requests, bool rc)
        : faidx_(*holder.faidx),
          options_(holder.options),
          requests_(requests),
          rc_(rc),
          slots_(requests.size()) {}

    // Plans a region, creates its Sequence and the str its bases go into. A region the batch
    // policy refuses stops the batch (slot.error says why); a read error found here (slot.error
    // too) does not, as one found by a worker does not. slot.data is set last, once the str is
    // held by slot.value: until then no worker writes into the slot, whatever fails here.
    bool prepare(std::size_t i) override {
        Slot& slot = slots_.construct(i);
        Request& r = requests_[i];
        auto plan = faidx_.plan(r.name, r.start, r.end, engine::Bounds::Batch);
        if (!plan.ok()) {
            slot.error = std::make_unique<engine::FaidxError>(plan.take_error());
            return false;
        }
        slot.plan = std::move(plan).value();
        Ref text;
        char* data = nullptr;
        if (slot.plan.kind == engine::RegionPlan::Kind::Extract) {
            auto window = faidx_.window(slot.plan);
            if (!window.ok()) {
                slot.error = std::make_unique<engine::FaidxError>(window.take_error());
                return true;
            }
            slot.window = *window;
            text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(window->capacity), 127));
            if (!text) return python_error();
            data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
        } else {
            text = make_str({});
        }
        std::optional<std::uint64_t> start, end;
        report(options_, slot.plan, start, end);
        if (rc_ && start && end) std::swap(start, end);  // the workers turn the bases over
        slot.value = Ref::steal(new_sequence(take_name(r), std::move(text), start, end, rc_));
        if (!slot.value) return python_error();
        slot.data = data;
        return true;
    }

    engine::ByteSpan span(std::size_t i) const override {
        const Slot& slot = slots_[i];
        return slot.data && !slot.error ? faidx_.span_of(slot.plan) : engine::ByteSpan{};
    }

    void fill(std::size_t i, engine::ReadScratch& scratch) override {
        Slot& slot = slots_[i];
        if (!slot.data || slot.error) return;
        try {
            auto got = faidx_.extract(slot.window, slot.data, scratch);
            if (!got.ok()) {
                slot.error = std::make_unique<engine::FaidxError>(got.take_error());
                return;
            }
            slot.got = *got;
        } catch (const std::bad_alloc&) {  // a block cache that could not grow
            out_of_memory_ = true;
            return;
        }
        if (complete(slot)) faidx_.finish_in_place(slot.data, slot.got.size, rc_);
    }

    // The list of values once the batch has run over `prepared` regions; nullptr with an
    // exception set when the batch failed.
    PyObject* finish(std::size_t prepared, const char* context, std::string_view context_name) {
        if (python_error_) return nullptr;
        if (out_of_memory_) throw std::bad_alloc();
        const std::size_t n = requests_.size();
        for (std::size_t i = 0; i <= prepared && i < slots_.constructed(); ++i) {
            if (slots_[i].error) return runtime_error(i, context, context_name, *slots_[i].error);
        }
        if (slots_.constructed() != n) throw std::logic_error("batch finished before its end");
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            Slot& slot = slots_[i];
            if (slot.data && !complete(slot)) {
                // Short (padding may follow) or not ASCII: finish in a byte buffer.
                std::string bases(slot.data, slot.got.size);
                faidx_.finish_bases(bases, slot.plan, rc_);
                Ref text = make_str(bases);
                if (!text) return nullptr;
                sequence_set_text(slot.value.get(), std::move(text));
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), slot.value.release());
        }
        return list.release();
    }

private:
    struct Slot {
        engine::RegionPlan plan;
        engine::ExtractionWindow window;
        Ref value;             // the Sequence, its text not yet filled
        char* data = nullptr;  // the text's bytes, filled by a worker
        engine::Extracted got;
        std::unique_ptr<engine::FaidxError> error;
    };

    static bool complete(const Slot& slot) {
        return slot.got.size == slot.plan.count() && slot.got.ascii;
    }
    bool python_error() {
        python_error_ = true;
        return false;
    }

    const engine::Faidx& faidx_;
    const OptionValues& options_;
    std::vector<Request>& requests_;
    const bool rc_;
    // Made one by one as the regions are prepared, not all up front: the memory of millions of
    // slots is then touched while Ctrl-C is looked at, and while the workers already copy.
    class Slots {
    public:
        explicit Slots(std::size_t n) : data_(std::allocator<Slot>().allocate(n)), n_(n) {}
        ~Slots() {
            std::destroy_n(data_, made_);
            std::allocator<Slot>().deallocate(data_, n_);
        }
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        // Slot i, made now: slots are made in order, each once.
        Slot& construct(std::size_t i) {
            if (i != made_) throw std::logic_error("batch slots made out of order");
            Slot* slot = std::construct_at(data_ + i);
            ++made_;
            return *slot;
        }
        std::size_t constructed() const { return made_; }
        Slot& operator[](std::size_t i) { return data_[i]; }
        const Slot& operator[](std::size_t i) const { return data_[i]; }

    private:
        Slot* data_;
        std::size_t n_;
        std::size_t made_ = 0;
    };
    Slots slots_;
    bool python_error_ = false;
    std::atomic<bool> out_of_memory_{false};
};

// Signals are checked every few milliseconds meanwhile, on this thread: an exception from a
// handler (KeyboardInterrupt for Ctrl-C) stops the batch, and stays pending until the workers
// have stopped and the partial results are released.
PyObject* parallel(const EngineHolder& holder, std::vector<Request>& requests, bool rc,
                   const char* context, std::string_view context_name) {
    StrSink sink(holder, requests, rc);
    // An exception this thread already set (the sink's) stops the batch too: no handler may
    // run over it.
    engine::Interrupt interrupt([] { return !PyErr_Occurred() && PyErr_CheckSignals() == 0; });
    const engine::BatchRun run = engine::run_batch(*holder.faidx, requests.size(), sink,
                                                   engine::Execution{true, true, &interrupt});
    if (run.stopped) {
        // A handler's exception is pending, or a handler forked and this is the child, whose
        // process has none of the workers that held part of the batch.
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "the process forked during a parallel batch");
        return nullptr;
    }
    return sink.finish(run.prepared, context, context_name);
}

}  // namespace

PyObject* batch_fetch_many(const EngineHolder& holder, const char* fname, PyObject* regions,
                           bool rc) {
    return guard([&]() -> PyObject* {
        RequestHold hold;
        std::vector<Request> requests;
        if (!convert_requests(fname, "regions", regions, 3, nullptr, hold, requests))
            return nullptr;
        if (requests.size() < engine::kParallelThreshold) return sequential(holder, requests, rc);
        return parallel(holder, requests, rc, nullptr, {});
    });
}

PyObject* batch_fetch_many_same_chr(const EngineHolder& holder, const char* fname,
                                    PyObject* name_obj, PyObject* regions, bool rc) {
    return guard([&]() -> PyObject* {
        RequestHold hold;
        std::vector<Request> requests;
        if (!convert_requests(fname, "regions", regions, 2, name_obj, hold, requests))
            return nullptr;
        if (requests.empty()) return PyList_New(0);
        const std::string_view name = requests.front().name;
        if (!holder.faidx->index().contains(name))
            return raise(engine::FaidxError::sequence_not_found(name));
        if (requests.size() < engine::kParallelThreshold) return sequential(holder, requests, rc);
        return parallel(holder, requests, rc, " from ", name);
    });
}

}  // namespace nucla::py
