// The array calls' arguments as the binding converts them, shared by the reference's array
// methods and the personal genome's.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/arrays.hpp"
#include "engine/reader.hpp"

namespace nucla::py {

// A buffer export, released (with the interpreter lock held) when this goes.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

struct Options {
    engine::ArrayFormat format;
    const char* dtype = "uint8";  // numpy's name of the element type
    char element = 'B';           // its buffer format code
    Py_ssize_t element_size = 1;
};

// Below this many output bytes a request stays on the calling thread.
constexpr std::uint64_t kParallelBytes = std::uint64_t{1} << 18;
// New outputs from this size on ask for huge pages (fresh memory: one fault per 2 MiB).
constexpr std::uint64_t kHugeBytes = std::uint64_t{32} << 20;

// numpy, or nullptr with an ImportError saying that `fname` needs it.
Ref import_numpy(const char* fname);
// encoding, dtype, upper and table as the array calls take them.
bool parse_format(const char* fname, PyObject* numpy, PyObject* encoding, PyObject* dtype,
                  PyObject* upper, PyObject* table, bool one_hot_allowed, Options& o);
// A column of integers (a sequence or a one-dimensional array; bools refused).
bool to_integers(const char* fname, const char* arg, PyObject* obj, std::vector<std::int64_t>& out,
                 bool bytes_ok = false);
// The regions of a request: names, starts, ends and strands, all of one length.
bool to_regions(const char* fname, const engine::Faidx& faidx, PyObject* names, PyObject* starts,
                PyObject* ends, PyObject* strands, std::vector<engine::ArrayRegion>& regions);
// A new numpy array of `shape` and `dtype`.
Ref new_array(PyObject* numpy, std::initializer_list<std::uint64_t> shape, const char* dtype);
// The writable, C-contiguous buffer of an output array, checked against `shape` and the element
// type of `o` before anything is written.
bool output_buffer(const char* fname, PyObject* out, const std::vector<std::uint64_t>& shape,
                   const Options& o, Buffer& buffer);
// The `length` of fixed windows: an int, not a bool.
bool to_window_length(const char* fname, PyObject* obj, std::uint64_t& length);
// That every region spans `length` bases (ValueError naming the first that does not).
bool check_spans(const char* fname, const std::vector<engine::ArrayRegion>& regions,
                 std::uint64_t length);
// The array windows go into: `out` when given (and not None), else a new one, of `shape` and
// the element type of `o`, its buffer checked and held in `buffer`; `bytes` is its size.
Ref window_output(const char* fname, PyObject* numpy, PyObject* out,
                  const std::vector<std::uint64_t>& shape, const Options& o, Buffer& buffer,
                  std::uint64_t& bytes);
// The (data, offsets) arrays of `entries` entries of span(e, n) bases each (false: too long),
// their buffers held.
bool packed_output(PyObject* numpy, std::size_t entries,
                   const std::function<bool(std::size_t, std::int64_t&)>& span, Ref& offsets,
                   Buffer& offsets_buffer, Ref& data, Buffer& data_buffer);
// Runs fill(execution) with the interpreter lock released, on the pool from kParallelBytes of
// output, Ctrl-C stopping it; whether it went through (if not, the exception is set).
bool fill_unlocked(std::uint64_t bytes,
                   const std::function<engine::ArrayRun(const engine::Execution&)>& fill);

}  // namespace nucla::py
