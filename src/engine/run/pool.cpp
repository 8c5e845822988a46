#include "run/pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "system/platform.hpp"
#include "read/source.hpp"
#include "engine/text.hpp"

namespace nucla::engine {

namespace {

// How often the caller's thread polls its Interrupt while a batch runs.
constexpr auto kPollEvery = std::chrono::milliseconds(5);
// A thread works through the run it took in pieces of this many indices, and looks between
// pieces whether the batch was cancelled (the caller's thread also polls its Interrupt).
constexpr std::size_t kPiece = 64;

// The number of fork() calls that made this process, counted in each child (see below).
std::atomic<std::uint64_t> forks{0};

}  // namespace

Interrupt::Interrupt(std::function<bool()> poll)
    : poll_(std::move(poll)), due_(std::chrono::steady_clock::now()), forks_(forks.load()) {}

bool Interrupt::keep_going() {
    if (stopped_) return false;
    if (std::chrono::steady_clock::now() < due_) return true;
    const bool go = poll_();
    due_ = std::chrono::steady_clock::now() + kPollEvery;
    forked_ = forks.load() != forks_;
    stopped_ = !go || forked_;
    return !stopped_;
}

class Pool {
public:
    using Body = std::function<void(std::size_t, std::size_t)>;

    explicit Pool(std::size_t size) {
        // The caller's thread is one of the `size` workers; when the system refuses a thread,
        // the pool makes do with those it has.
        try {
            for (std::size_t i = 1; i < size; ++i) threads_.emplace_back([this] { start(); });
        } catch (...) {
        }
        // The pool is used once every thread has set itself up: a thread that starts takes
        // locks (the allocator's, the loader's), and a fork() from a batch's caller while one
        // holds them would leave them held for good in the child.
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return started_ == threads_.size(); });
    }

    // Stops and joins the threads (the process-wide pool is never destroyed).
    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            ++generation_;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // `max_run`: the most indices a thread takes at once (by default a share that balances
    // uneven regions while keeping runs cheap to hand out).
    void run(std::size_t n, const Body& body, const std::function<void()>* producer,
             Interrupt* interrupt, std::size_t max_run = SIZE_MAX) {
        const std::uint64_t forks_at_start = forks.load();
        const std::size_t workers = threads_.size() + 1;
        const std::size_t chunk =
            std::min(max_run, std::max<std::size_t>(1, n / (workers * 8)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = Job{n, chunk, &body};
            next_.store(0);
            cancelled_.store(false);
            failure_ = nullptr;
            open_ = true;
            ++generation_;
        }
        wake_.notify_all();

        // The workers use `body` and what it refers to on the caller's stack, so nothing the
        // caller's thread does may end this call before they have stopped.
        std::exception_ptr failure;
        try {
            if (producer) (*producer)();
            if (!(interrupt && interrupt->stopped())) drain(interrupt);
        } catch (...) {
            failure = std::current_exception();
        }
        if (forks.load() == forks_at_start) {
            if (failure || (interrupt && interrupt->stopped())) cancelled_.store(true);
            if (wait_for_workers(interrupt, forks_at_start)) {
                std::unique_lock<std::mutex> lock(mutex_);
                job_ = Job{};
                if (!failure) failure = failure_;
                lock.unlock();
                if (failure) std::rethrow_exception(failure);
                return;
            }
        }
        // This thread forked during the job: the child has none of the workers, and one of them
        // may have held mutex_ at the fork, so the job is left as it is.
        if (failure) std::rethrow_exception(failure);
        if (!(interrupt && interrupt->forked()))
            throw std::runtime_error("the process forked during a parallel batch");
    }

private:
    struct Job {
        std::size_t n = 0;
        std::size_t chunk = 1;
        const Body* body = nullptr;
    };

    // Takes runs until none is left or the batch is cancelled; on the caller's thread, polls
    // `interrupt` between pieces and stops when it says so.
    void drain(Interrupt* interrupt) {
        const Job job = job_;
        while (!cancelled_.load(std::memory_order_relaxed)) {
            const std::size_t begin = next_.fetch_add(job.chunk);
            if (begin >= job.n) return;
            const std::size_t end = std::min(job.n, begin + job.chunk);
            for (std::size_t piece = begin; piece < end;) {
                const std::size_t piece_end = piece + std::min(kPiece, end - piece);
                (*job.body)(piece, piece_end);
                piece = piece_end;
                if (cancelled_.load(std::memory_order_relaxed)) return;
                if (interrupt && !interrupt->keep_going()) return;
            }
        }
    }

    // Closes the job to workers that have not joined it yet (a thread that has not woken, or
    // whose processor is taken, is never waited for) and waits until none is left in it,
    // polling `interrupt` meanwhile (and cancelling the job when it says so). False when this
    // thread forked in a poll: the workers are the parent's.
    bool wait_for_workers(Interrupt* interrupt, std::uint64_t forks_at_start) {
        const auto idle = [this] { return busy_ == 0; };
        std::unique_lock<std::mutex> lock(mutex_);
        open_ = false;
        while (!idle()) {
            if (!interrupt || cancelled_.load()) {
                done_.wait(lock, idle);
                break;
            }
            if (done_.wait_for(lock, kPollEvery, idle)) break;
            lock.unlock();
            const bool go = interrupt->keep_going();
            if (forks.load() != forks_at_start) return false;
            if (!go) cancelled_.store(true);
            lock.lock();
        }
        return true;
    }

    // A thread keeps the priority it is made with, its creator's: which work yields to which is
    // the caller's to choose (nice(1) on the process, say), not the pool's.
    void start() {
        thread_scratch();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++started_;
        }
        done_.notify_all();
        work();
    }

    void work() {
        std::uint64_t seen = 0;
        while (true) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (stop_) return;
            if (!open_) continue;  // the job ended before this thread came to it
            ++busy_;
            lock.unlock();
            std::exception_ptr failure;
            try {
                drain(nullptr);
            } catch (...) {
                failure = std::current_exception();
                cancelled_.store(true);
            }
            lock.lock();
            if (failure && !failure_) failure_ = failure;
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job job_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> cancelled_{false};
    std::exception_ptr failure_;  // the first exception of a worker's body in this job
    bool open_ = false;     // the job takes workers
    std::size_t busy_ = 0;  // workers in the job
    std::size_t started_ = 0;  // threads set up and waiting for work
    std::uint64_t generation_ = 0;
    bool stop_ = false;
};

namespace {

// A plain decimal number of threads, as the environment gives it.
std::optional<std::uint64_t> thread_number(const char* value) {
    if (!value) return std::nullopt;
    std::string_view text(value);
    if (text.empty() || text[0] == '+') return std::nullopt;  // plain decimal only
    return parse_unsigned(text, 1 << 16);
}

// This process's pool, created by its first parallel batch, and the flag that gives it to one
// batch at a time. Neither is ever destroyed.
struct ProcessPool {
    std::atomic<bool> busy{false};
    Pool* pool = nullptr;
};

std::atomic<ProcessPool*> process_pool{nullptr};

// Run by fork() in every child, whatever process id it gets: the parent's pool has no threads
// here and its locks may be held by threads that are gone, so it is left untouched, and the
// child's first parallel batch makes a new one.
void forget_parent_pool() {
    process_pool.store(nullptr);
    forks.fetch_add(1);
}

[[maybe_unused]] const int fork_handler = ::pthread_atfork(nullptr, nullptr, forget_parent_pool);

ProcessPool& this_process() {
    ProcessPool* current = process_pool.load();
    if (current) return *current;
    auto fresh = std::make_unique<ProcessPool>();
    if (process_pool.compare_exchange_strong(current, fresh.get())) return *fresh.release();
    return *current;  // another thread's came first
}

}  // namespace

namespace {
std::atomic<std::size_t> chosen_size{SIZE_MAX};
std::atomic<std::optional<std::size_t> (*)()> sizer{nullptr};
}  // namespace

void set_pool_size(std::size_t threads) { chosen_size.store(threads); }

void set_pool_sizer(std::optional<std::size_t> (*ask)()) { sizer.store(ask); }

std::optional<std::size_t> pool_size_from(const char* rayon_num_threads,
                                          const char* rayon_rs_num_cpus) {
    if (auto n = thread_number(rayon_num_threads)) return static_cast<std::size_t>(*n);
    if (auto n = thread_number(rayon_rs_num_cpus); n && *n > 0) return static_cast<std::size_t>(*n);
    return std::nullopt;
}

std::size_t pool_size() {
    std::size_t n = chosen_size.load();
    if (n == SIZE_MAX) {
        const auto ask = sizer.load();
        n = ask ? ask().value_or(0) : 0;
    }
    return n > 0 ? n : available_processors();
}

namespace {

void run_job(std::size_t n, const Pool::Body& body, const std::function<void()>* producer,
             Interrupt* interrupt, std::size_t max_run = SIZE_MAX) {
    ProcessPool& shared = this_process();
    // One batch at a time has the pool. Another (a signal handler's, run by this thread's poll,
    // or one on a thread that got the interpreter while such a handler slept) runs on its
    // caller's thread alone: waiting for the pool could wait for ever.
    if (shared.busy.exchange(true)) {
        Pool alone(1);
        alone.run(n, body, producer, interrupt);
        return;
    }
    struct Release {
        ProcessPool& shared;
        ~Release() { shared.busy.store(false); }
    } release{shared};
    if (!shared.pool) shared.pool = new Pool(pool_size());
    shared.pool->run(n, body, producer, interrupt, max_run);
}

}  // namespace

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  Interrupt* interrupt) {
    if (n > 0) run_job(n, body, nullptr, interrupt);
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  const std::function<void()>& producer, Interrupt* interrupt) {
    if (n > 0) {
        run_job(n, body, &producer, interrupt);
    } else {
        producer();
    }
}

ShareSizes& share_sizes() {
    static ShareSizes sizes;
    return sizes;
}

void parallel_pieces(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n > 0) run_job(n, body, nullptr, nullptr, 1);
}

WorkerGroup::WorkerGroup() : pool_(std::make_unique<Pool>(pool_size())) {}

WorkerGroup::~WorkerGroup() = default;

void WorkerGroup::parallel_for(std::size_t n,
                               const std::function<void(std::size_t, std::size_t)>& body) {
    if (n > 0) pool_->run(n, body, nullptr, nullptr);
}

}  // namespace nucla::engine
