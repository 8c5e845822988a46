// How a call runs, as its caller decides: on this thread or on the process-wide worker pool,
// whether a single long call may share its work with the pool, and what may stop it. The pool's
// size is the caller's too (set_pool_size, or a sizer asked when the pool is made); the engine
// reads no environment and changes no thread's priority: pool threads run at the priority of
// the thread that made them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace nucla::engine {

// Number of threads a new pool would have: the size set by set_pool_size, else what the sizer
// says now, else the processors available. 0 means "the processors available" throughout.
std::size_t pool_size();

// Sets the size of the pools created from now on, in place of the sizer's.
void set_pool_size(std::size_t threads);
// Sets what is asked, whenever a pool is about to be made, for its size; nothing means the
// processors available. (The Python binding reads its environment variables there.)
void set_pool_sizer(std::optional<std::size_t> (*sizer)());

// The size RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS ask for, given their values (null when
// unset): the first a positive number, or 0 ("the processors available") for
// RAYON_NUM_THREADS=0; nothing when neither says anything usable.
std::optional<std::size_t> pool_size_from(const char* rayon_num_threads,
                                          const char* rayon_rs_num_cpus);

// A way for the caller's thread to stop a batch: `poll` runs on that thread only, every few
// milliseconds while the batch runs, and returns false to stop it. It may run any code of the
// caller's (a signal handler, another batch, even fork()); the workers only see the batch end.
class Interrupt {
public:
    explicit Interrupt(std::function<bool()> poll);

    // On the caller's thread: polls when a poll is due; false once the batch is to stop, which
    // is also when the process forked since the batch began (its workers are the parent's).
    bool keep_going();
    bool stopped() const noexcept { return stopped_; }
    // True when the batch stopped because the process forked (in a poll) while it ran.
    bool forked() const noexcept { return forked_; }

private:
    std::function<bool()> poll_;
    std::chrono::steady_clock::time_point due_;
    std::uint64_t forks_;
    bool stopped_ = false;
    bool forked_ = false;
};

// What a call may use. A batch runs on the pool when `parallel` (else on the caller's thread);
// a single call long enough to gain from it (a whole chromosome) shares its copy with the pool
// when `share`; `interrupt`, polled on the caller's thread, may stop a batch.
struct Execution {
    bool parallel = false;
    bool share = true;
    Interrupt* interrupt = nullptr;
};

}  // namespace nucla::engine
