// run/: the worker pool, the batch driver and the sinks that belong to the engine (Sequence
// values, arrays). It may include the public headers, index/ and read/; nothing outside the
// engine includes it.
//
// The process-wide worker pool for large batches (and single calls long enough to share).
//
// Created by the first parallel batch, or the first single call long enough to share its work
// (never at load time), and kept for the life of the process. Its size is the caller's choice
// (set_pool_size, or a sizer asked when the pool is made), else the processors available to
// this process (its CPU affinity); the engine reads no environment of its own. A fork() child
// forgets the pool it inherited (a handler run by fork itself, so a reused process id cannot
// fool it): the parent's threads do not exist there and its locks may be held, so the child's
// first batch starts a pool of its own.
//
// A batch never leaves its caller while a worker still runs it: when the caller's part throws
// or is interrupted, the batch is cancelled (no run is handed out any more, each worker ends
// the piece it holds) and parallel_for returns or rethrows once every worker has stopped. A
// worker that has not joined a job by the time the caller's thread has run out of work is not
// waited for: the job is closed to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/execution.hpp"

namespace nucla::engine {

class Pool;

// Calls body(begin, end) over contiguous runs covering [0, n), each index exactly once, on the
// pool's threads (the caller's thread takes part), and returns when all runs are done; when
// `interrupt` stops the batch, it returns once every worker has stopped, some indices unvisited.
// An exception thrown by `body` cancels the batch and is rethrown here once every worker has
// stopped.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  Interrupt* interrupt = nullptr);

// The same, but the caller's thread first runs `producer` while the other threads start on the
// runs; a body that needs the producer's output waits for it itself, so the producer must let
// such waits end however it returns (normally, stopped by `interrupt`, or by an exception,
// which cancels the batch and is rethrown once every worker has stopped).
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  const std::function<void()>& producer, Interrupt* interrupt = nullptr);

// Sizes from which a single call shares its work with the pool. In use they never change;
// tests and fuzzing lower them (between calls, on the calling thread) to reach the shared
// paths with small inputs, which must give what the one-thread paths give.
struct ShareSizes {
    // Index text parsed in parts: each part's rows, and the fresh pages they fill, take a
    // processor of their own.
    std::size_t index_bytes = std::size_t{1} << 20;
    // A fetch copied in pieces of piece_bases: a whole chromosome costs a fault for every page
    // of the file and of the new buffer (whose pages the kernel zeroes first) besides the
    // copy, and all of that divides between processors.
    std::size_t fetch_bases = std::size_t{16} << 20;
    std::size_t piece_bases = std::size_t{2} << 20;
};
ShareSizes& share_sizes();

// As parallel_for, for the pieces of one job within a single call (copying a long sequence,
// reading a long index): they are handed out one at a time, so that the caller's thread, which
// takes part, never waits for more than the piece that another thread holds (a worker whose
// processor is taken by another program, or not yet awake, does not hold the call up).
void parallel_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// Threads of their own for one long job (building the index of a compressed FASTA), sized like
// the pool and joined when the group is destroyed, so that no thread outlives the job and the
// process-wide pool still starts with the first large batch.
class WorkerGroup {
public:
    WorkerGroup();
    ~WorkerGroup();
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    // As parallel_for, on this group's threads and the caller's.
    void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

private:
    std::unique_ptr<Pool> pool_;
};

}  // namespace nucla::engine
