// The process-wide worker pool for large batches.
//
// Created by the first parallel batch (never at load time) and kept for the life of the
// process. Its size comes from RAYON_NUM_THREADS (a positive number; 0 means "the processors
// available"), else RAYON_RS_NUM_CPUS (a positive number), else the processors available to
// this process (its CPU affinity). After fork() the child gets a fresh pool: the parent's
// threads do not exist there and are never waited on.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace nucla::engine {

class Pool;

// Number of threads a new pool would have, read from the environment now.
std::size_t pool_size_from_environment();

// Calls body(begin, end) over contiguous runs covering [0, n), each index exactly once, on the
// pool's threads (the caller's thread takes part), and returns when all runs are done. `body`
// must not throw.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// The same, but the caller's thread first runs `producer` (which must not throw) while the other
// threads start on the runs; a body that needs the producer's output waits for it itself.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  const std::function<void()>& producer);

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
