#include "engine/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/text.hpp"

namespace nucla::engine {

class Pool {
public:
    explicit Pool(std::size_t size) {
        // The caller's thread is one of the `size` workers; when the system refuses a thread,
        // the pool makes do with those it has.
        try {
            for (std::size_t i = 1; i < size; ++i) threads_.emplace_back([this] { work(); });
        } catch (...) {
        }
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

    void run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
             const std::function<void()>* producer) {
        const std::size_t workers = threads_.size() + 1;
        // Several runs per worker balance uneven regions; runs stay large enough to be cheap.
        const std::size_t chunk = std::max<std::size_t>(1, n / (workers * 8));
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = Job{n, chunk, &body};
        next_.store(0);
        busy_ = threads_.size();
        ++generation_;
        lock.unlock();
        wake_.notify_all();
        if (producer) (*producer)();
        drain();
        lock.lock();
        done_.wait(lock, [this] { return busy_ == 0; });
        job_ = Job{};
    }

private:
    struct Job {
        std::size_t n = 0;
        std::size_t chunk = 1;
        const std::function<void(std::size_t, std::size_t)>* body = nullptr;
    };

    void drain() {
        while (true) {
            const std::size_t begin = next_.fetch_add(job_.chunk);
            if (begin >= job_.n) return;
            (*job_.body)(begin, std::min(job_.n, begin + job_.chunk));
        }
    }

    void work() {
        std::uint64_t seen = 0;
        while (true) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (stop_) return;
            lock.unlock();
            drain();
            lock.lock();
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job job_;
    std::atomic<std::size_t> next_{0};
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
    bool stop_ = false;
};

namespace {

std::size_t available_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

std::optional<std::uint64_t> env_number(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    std::string_view text(value);
    if (text.empty() || text[0] == '+') return std::nullopt;  // plain decimal only
    return parse_unsigned(text, 1 << 16);
}

Pool* pool = nullptr;
pid_t pool_pid = 0;

Pool& current_pool() {
    // A pool inherited through fork() has no threads in this process: leave it (its threads
    // and locks belong to the parent) and start a new one.
    if (!pool || pool_pid != ::getpid()) {
        pool = new Pool(pool_size_from_environment());
        pool_pid = ::getpid();
    }
    return *pool;
}

}  // namespace

std::size_t pool_size_from_environment() {
    if (auto n = env_number("RAYON_NUM_THREADS")) return *n > 0 ? *n : available_processors();
    if (auto n = env_number("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
    return available_processors();
}

namespace {

void run_job(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
             const std::function<void()>* producer) {
    // One batch at a time: the pool runs a single job.
    static std::mutex batch;
    std::lock_guard<std::mutex> lock(batch);
    current_pool().run(n, body, producer);
}

}  // namespace

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n > 0) run_job(n, body, nullptr);
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  const std::function<void()>& producer) {
    if (n > 0) {
        run_job(n, body, &producer);
    } else {
        producer();
    }
}

WorkerGroup::WorkerGroup() : pool_(std::make_unique<Pool>(pool_size_from_environment())) {}

WorkerGroup::~WorkerGroup() = default;

void WorkerGroup::parallel_for(std::size_t n,
                               const std::function<void(std::size_t, std::size_t)>& body) {
    if (n > 0) pool_->run(n, body, nullptr);
}

}  // namespace nucla::engine
