// Native tests of the engine, run under ThreadSanitizer in CI: the worker pool visits every
// index exactly once, never outlives a batch that fails or is interrupted on the caller's side,
// survives fork(), parallel batches equal one-by-one fetches, in both source modes (and fail
// cleanly once the file has been emptied under them), a long fetch copied in pieces by the pool
// comes out whole, so does a long index parsed in parts, and BGZF compressed on the pool reads
// back as written. Then table cases worked out by hand: number parsing and white-space
// trimming, the index row reader on good and malformed rows, and the bounds policies.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/arrays.hpp"
#include "engine/bgzf_writer.hpp"
#include "engine/fd.hpp"
#include "engine/reader.hpp"
#include "engine/remote.hpp"
#include "engine/run.hpp"
#include "engine/text.hpp"
#include "read/bgzf.hpp"
#include "read/source.hpp"
#include "run/pool.hpp"

using namespace nucla::engine;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NUCLA_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(NUCLA_TSAN)
// The fork test's children start threads of their own, which ThreadSanitizer refuses by default.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

void pool_visits_every_index_once() {
    for (std::size_t n : {1, 2, 7, 999, 1000, 12345}) {
        std::vector<std::atomic<int>> seen(n);
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
        });
        bool once = true;
        for (auto& s : seen) once = once && s.load() == 1;
        check(once, "parallel_for visits each index once");
    }
}

void producer_runs_before_the_caller_drains() {
    const std::size_t n = 5000;
    std::atomic<std::size_t> ready{0};
    std::vector<int> values(n, 0);
    std::vector<int> copies(n, -1);
    parallel_for(
        n,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t r; (r = ready.load(std::memory_order_acquire)) <= i;)
                    ready.wait(r, std::memory_order_acquire);
                copies[i] = values[i];
            }
        },
        [&] {
            for (std::size_t i = 0; i < n; ++i) {
                values[i] = static_cast<int>(i);
                ready.store(i + 1, std::memory_order_release);
                ready.notify_all();
            }
        });
    bool same = true;
    for (std::size_t i = 0; i < n; ++i) same = same && copies[i] == static_cast<int>(i);
    check(same, "workers see what the producer published");
}

// A body slow enough that the batch is still running when the caller's side fails or stops it;
// counts the calls in progress and the visits of each index.
struct SlowBatch {
    explicit SlowBatch(std::size_t n) : visits(n) {}
    std::vector<std::atomic<int>> visits;
    std::atomic<int> active{0};
    std::atomic<bool> started{false};

    void operator()(std::size_t begin, std::size_t end) {
        ++active;
        started = true;
        for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --active;
    }
    bool at_most_once() const {
        for (auto& v : visits)
            if (v.load() > 1) return false;
        return true;
    }
};

enum class Thrower { Producer, CallerBody, WorkerBody };

void failures_wait_for_the_workers(Thrower thrower) {
    const bool workers = pool_size() > 1;
    if (thrower == Thrower::WorkerBody && !workers) return;
    const auto caller = std::this_thread::get_id();
    std::atomic<int> active{0};
    int active_at_catch = -1;
    try {
        SlowBatch batch(200000);  // on this frame: gone once the exception leaves it
        const auto body = [&](std::size_t begin, std::size_t end) {
            const bool mine = std::this_thread::get_id() == caller;
            if ((thrower == Thrower::CallerBody && mine) ||
                (thrower == Thrower::WorkerBody && !mine))
                throw std::bad_alloc();
            ++active;
            batch(begin, end);
            --active;
        };
        if (thrower == Thrower::Producer) {
            parallel_for(batch.visits.size(), body, [&] {
                while (workers && !batch.started) std::this_thread::yield();
                throw std::bad_alloc();
            });
        } else {
            parallel_for(batch.visits.size(), body);
        }
    } catch (const std::bad_alloc&) {
        active_at_catch = active;
    }
    check(active_at_catch == 0, "a failed batch raises after its workers have stopped");
}

void interrupt_stops_the_batch(bool with_producer) {
    const auto caller = std::this_thread::get_id();
    SlowBatch batch(400000);  // far more than the polls below leave time for
    int polls = 0;
    bool polled_elsewhere = false;
    bool nested_ok = false;
    Interrupt interrupt([&] {
        polled_elsewhere = polled_elsewhere || std::this_thread::get_id() != caller;
        if (++polls == 2) {
            // What a signal handler may do: run a batch of its own.
            std::vector<std::atomic<int>> seen(5000);
            parallel_for(seen.size(), [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
            });
            nested_ok = true;
            for (auto& v : seen) nested_ok = nested_ok && v.load() == 1;
        }
        return polls < 4;
    });
    const auto body = [&](std::size_t begin, std::size_t end) { batch(begin, end); };
    if (with_producer) {
        parallel_for(batch.visits.size(), body, [&] {
            while (interrupt.keep_going()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }, &interrupt);
    } else {
        parallel_for(batch.visits.size(), body, &interrupt);
    }
    std::size_t visited = 0;
    for (auto& v : batch.visits) visited += v.load() > 0;
    check(interrupt.stopped() && !interrupt.forked(), "the interrupt stopped the batch");
    check(batch.active == 0, "an interrupted batch returns after its workers have stopped");
    check(visited < batch.visits.size() && batch.at_most_once(), "no index after the interrupt");
    check(!polled_elsewhere, "only the caller's thread polls");
    check(nested_ok, "a batch run by a poll completes");
}

// fork() while another thread is inside a batch, holding the pool: each child (where that thread
// does not exist) runs batches of its own and must neither hang nor miss an index.
void fork_during_batches() {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            SlowBatch batch(20000);
            parallel_for(batch.visits.size(), [&](std::size_t b, std::size_t e) { batch(b, e); });
        }
    });
    bool ok = true;
    for (int round = 0; round < 10 && ok; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);  // a hang ends the child by SIGALRM
            bool once = true;
            for (std::size_t n : {2000, 30000}) {
                std::vector<std::atomic<int>> seen(n);
                parallel_for(n, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
                });
                for (auto& v : seen) once = once && v.load() == 1;
            }
            ::_exit(once ? 0 : 1);
        }
        int status = 0;
        ok = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
             WEXITSTATUS(status) == 0;
    }
    stop = true;
    busy.join();
    check(ok, "a child forked during a batch runs batches of its own");
}

// FASTA text of `records` sequences s0, s1, ... of least + (0 to spread - 1) random bases, in
// lines of 60; their names and lengths go to `seqs`.
std::string random_fasta(std::mt19937& rng, int records, std::size_t least, std::size_t spread,
                         std::vector<std::pair<std::string, std::size_t>>& seqs) {
    std::string text;
    for (int r = 0; r < records; ++r) {
        const std::string name = "s" + std::to_string(r);
        const std::size_t len = least + rng() % spread;
        text += ">" + name + "\n";
        for (std::size_t i = 0; i < len; ++i) {
            text += "ACGTacgtN"[rng() % 9];
            if ((i + 1) % 60 == 0 || i + 1 == len) text += '\n';
        }
        seqs.emplace_back(name, len);
    }
    return text;
}

void batches_equal_single_fetches(bool mutable_file) {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + "/g.fa";
    std::mt19937 rng(7);
    std::vector<std::pair<std::string, std::size_t>> seqs;
    const std::string text = random_fasta(rng, 8, 100, 5000, seqs);
    FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);

    Options opt;
    opt.mutable_file = mutable_file;
    auto faidx = Faidx::open(path, opt);
    check(faidx.ok(), "open");
    if (!faidx.ok()) return;
    std::vector<Region> regions;
    for (int i = 0; i < 5000; ++i) {
        const auto& [name, len] = seqs[rng() % seqs.size()];
        const std::uint64_t a = 1 + rng() % len;
        regions.push_back({name, a, a + rng() % (len - a + 1)});
    }
    auto parallel = fetch_many(**faidx, regions);
    bool same = parallel.size() == regions.size();
    for (std::size_t i = 0; same && i < regions.size(); ++i) {
        const Region& r = regions[i];
        auto one = std::move(
            fetch_planned(**faidx, {{r.name, (*faidx)->plan(r.name, r.start, r.end, Bounds::Batch)}})
                .front());
        same = one.ok() && parallel[i].ok() && one->seq == parallel[i]->seq &&
               one->seq.size() == regions[i].end - regions[i].start + 1;
    }
    check(same, mutable_file ? "parallel batch, file handle" : "parallel batch, memory map");

    // Two threads filling arrays at once (one has the pool, the other runs alone) get the
    // same bytes, and bases past a sequence's end as padding.
    std::vector<ArrayRegion> rows;
    for (const Region& r : regions) {
        const IndexEntry* row = (*faidx)->index().find(r.name);
        const auto end = static_cast<std::int64_t>(r.end + (r.end == row->rlen ? 50 : 0));
        rows.push_back({row, static_cast<std::int64_t>(r.start) - 1, end, false});
    }
    ArrayFormat bytes;
    std::vector<std::int64_t> offsets{0};
    for (const ArrayRegion& r : rows) offsets.push_back(offsets.back() + (r.end - r.start));
    std::vector<std::uint8_t> out[2];
    std::vector<std::thread> fillers;
    for (auto& o : out) {
        o.resize(static_cast<std::size_t>(offsets.back()));
        fillers.emplace_back([&] {
            fill_regions(**faidx, rows, ArrayLayout{offsets.data(), 0}, bytes, o.data(),
                         Execution{true, true, nullptr});
        });
    }
    for (std::thread& t : fillers) t.join();
    bool arrays_same = out[0] == out[1];
    for (std::size_t i = 0; arrays_same && i < regions.size(); ++i) {
        const std::string& seq = parallel[i]->seq;
        const auto* at = out[0].data() + offsets[i];
        arrays_same = std::string(reinterpret_cast<const char*>(at), seq.size()) == seq &&
                      std::string(reinterpret_cast<const char*>(at) + seq.size(),
                                  static_cast<std::size_t>(offsets[i + 1] - offsets[i]) - seq.size())
                              .find_first_not_of('N') == std::string::npos;
    }
    check(arrays_same, mutable_file ? "arrays, file handle" : "arrays, memory map");

    // Emptied while open: every region fails with the error naming the file, on every worker.
    check(::truncate(path.c_str(), 0) == 0, "truncate");
    const std::string changed = FaidxError::file_changed(path).display();
    bool failed = true;
    for (const auto& outcome : fetch_many(**faidx, regions))
        failed = failed && !outcome.ok() && outcome.error().display() == changed;
    check(failed, mutable_file ? "emptied file, file handle" : "emptied file, memory map");

    std::remove((path + ".fai").c_str());
    std::remove(path.c_str());
    ::rmdir(dir);
}

// Level 0 stores the data, as a block that would not shrink is stored at any level.
void bgzf_written_on_the_pool_reads_back(int level) {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + "/w.gz";
    std::mt19937 rng(11);
    std::string text(3 * 64 * kBlockInput + 12345, '\0');
    for (char& c : text) c = "ACGTacgtN\n"[rng() % 10];
    BlockIndex written;
    {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        BgzfWriter writer(fd.get(), level);
        // Pieces of every size, so that blocks and batches are cut inside them.
        for (std::size_t pos = 0; pos < text.size();) {
            const std::size_t n = std::min<std::size_t>(text.size() - pos, rng() % 300000);
            check(writer.write(std::string_view(text).substr(pos, n)) == 0, "bgzf write");
            pos += n;
        }
        check(writer.finish() == 0, "bgzf finish");
        written = writer.blocks();
    }
    struct stat st;
    check(::stat(path.c_str(), &st) == 0, "bgzf written");
    HandleSource raw(Fd(::open(path.c_str(), O_RDONLY)), static_cast<std::uint64_t>(st.st_size),
                     path);
    std::string back;
    auto read = inflate_blocks(
        raw, path, [&](std::string_view piece) -> Status { return back.append(piece), Ok{}; }, {});
    check(read.ok() && back == text, "bgzf round trip");
    check(read.ok() && read->coffset == written.coffset && read->uoffset == written.uoffset &&
              read->usize == text.size() && written.usize == text.size(),
          "bgzf block layout");
    std::remove(path.c_str());
    ::rmdir(dir);
}

}  // namespace

// A sequence long enough to be copied in pieces by the pool's threads comes out whole.
void long_fetch_shared_by_the_pool() {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + "/long.fa";
    std::mt19937 rng(11);
    const std::size_t len = (std::size_t{17} << 20) + 99;
    std::string bases(len, 'A'), text = ">long\n";
    for (char& c : bases) c = "ACGTacgtN"[rng() % 9];
    for (std::size_t i = 0; i < len; i += 70) text += bases.substr(i, 70) + "\n";
    FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    auto faidx = Faidx::open(path, Options{});
    check(faidx.ok(), "open long");
    if (faidx.ok()) {
        for (std::uint64_t start : {std::uint64_t{1}, std::uint64_t{71}, std::uint64_t{5}}) {
            const auto plan = (*faidx)->plan("long", start, len, Bounds::Batch);
            auto one = std::move(fetch_planned(**faidx, {{"long", plan}}).front());
            check(one.ok() && one->seq == bases.substr(start - 1), "long fetch, shared");
        }
    }
    std::remove((path + ".fai").c_str());
    std::remove(path.c_str());
    ::rmdir(dir);
}

// A long index text is parsed in parts by the pool: the rows of the one-pass reading.
void long_index_parsed_by_the_pool() {
    std::mt19937 rng(5);
    std::string text;
    for (int i = 0; i < 60000; ++i) {
        if (i % 997 == 0) text += "\n";  // blank lines leave gaps to close
        text += "seq" + std::to_string(i) + "\t" + std::to_string(rng() % 100000) + "\t" +
                std::to_string(rng()) + "\t60\t61\n";
    }
    auto rows = parse_index(text);
    auto index = Index::parse(Index::Text(text.begin(), text.end()));
    bool same = rows.ok() && index.ok() && index->size() == rows->size();
    for (std::size_t i = 0; same && i < rows->size(); ++i) {
        const auto& [name, e] = index->rows()[i];
        const IndexRow& r = (*rows)[i];
        same = name == r.name && e.rlen == r.entry.rlen && e.offset == r.entry.offset &&
               e.lenc == r.entry.lenc && e.lenb == r.entry.lenb;
    }
    check(same, "long index, parsed in parts");
}

// --- text, the index row reader and the bounds policy: table cases worked out by hand ------

void text_numbers_and_white_space() {
    constexpr std::uint64_t kMax = UINT64_MAX;
    const struct {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> want;
    } numbers[] = {
        {"0", kMax, 0},
        {"+42", kMax, 42},
        {"0000000000000000000000012", kMax, 12},  // more digits than a word holds, all zeros
        {"18446744073709551615", kMax, kMax},
        {"18446744073709551616", kMax, std::nullopt},
        {"65536", 65536, 65536},
        {"65537", 65536, std::nullopt},
        {"5", 3, std::nullopt},  // a digit above a small limit
        {"3", 3, 3},
        {"", kMax, std::nullopt},
        {"+", kMax, std::nullopt},
        {"-1", kMax, std::nullopt},
        {" 1", kMax, std::nullopt},
        {"1 2", kMax, std::nullopt},
        {"1e3", kMax, std::nullopt},
    };
    for (const auto& c : numbers) {
        const std::string what = std::string("parse_unsigned ") + c.text;
        check(parse_unsigned(c.text, c.max) == c.want, what.c_str());
    }

    // Unicode White_Space, which is not Python's isspace: U+001C..U+001F are not white space,
    // U+0085 and U+00A0 are; U+200B (zero width) is not.
    const struct {
        std::string_view text, trimmed;
        std::size_t first_space;
    } spaces[] = {
        {" \t a b \r\n", "a b", 0},
        {"\xC2\x85\xC2\xA0x\xE3\x80\x80", "x", 0},
        {"\x1Cx\x1F", "\x1Cx\x1F", 3},
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx", 4},
        {"ab\xE2\x80\x83" "c", "ab\xE2\x80\x83" "c", 2},
        {"   ", "", 0},
        {"", "", 0},
    };
    for (const auto& c : spaces) {
        const std::string what = "white space in '" + std::string(c.text) + "'";
        check(trim_white_space(c.text) == c.trimmed && find_white_space(c.text) == c.first_space,
              what.c_str());
    }
}

// Each text is read alone and then followed by rows enough for the vectorized reader to take
// its first row too; both must give the same rows, skip count or error.
void index_rows() {
    constexpr std::uint64_t kMax = UINT64_MAX;
    struct Want {
        std::string name;
        IndexEntry entry;
    };
    const struct {
        std::string_view text;
        std::vector<Want> rows;
        std::size_t skipped;
        const char* error;  // the Indexing message, "io" for an Io error, or null
    } cases[] = {
        {"chr1\t248956422\t112\t70\t71\n", {{"chr1", {248956422, 112, 70, 71}}}, 0, nullptr},
        {"a b\t1\t2\t3\t4\r\n", {{"a b", {1, 2, 3, 4}}}, 0, nullptr},
        {" a\t1\t2\t3\t4\n", {{"a", {1, 2, 3, 4}}}, 0, nullptr},
        {" \xC2\xA0" "a\t+1\t2\t3\t4 \n", {{"a", {1, 2, 3, 4}}}, 0, nullptr},
        {"\xC3\xA9\t18446744073709551615\t0\t0\t0\n", {{"\xC3\xA9", {kMax, 0, 0, 0}}}, 0, nullptr},
        {"a\t0000000000000000000007\t1\t1\t2\n", {{"a", {7, 1, 1, 2}}}, 0, nullptr},
        {"a\t1\t2\t3\t4", {{"a", {1, 2, 3, 4}}}, 0, nullptr},
        // Four fields, a comment, six fields, a leading tab (trimmed away: four fields left);
        // blank and white lines are not counted.
        {"a\t1\t2\t3\n\n  \n# x\na\t1\t2\t3\t4\t5\n\t1\t2\t3\t4\n", {}, 4, nullptr},
        {"a\t-5\t2\t3\t4\n", {}, 0, "Invalid rlen"},
        {"a\t1\t\t3\t4\n", {}, 0, "Invalid offset"},
        {"a\t1\t2\t3 \t4\n", {}, 0, "Invalid lenc"},
        {"a\t1\t2\t3\t18446744073709551616\n", {}, 0, "Invalid lenb"},
        {"a\tx\t2\t3\t4\nb\t1\t2\t3\ty\n", {}, 0, "Invalid rlen"},
        {"a\t1\t2\t3\t4\n\xFF\t1\t2\t3\t4\n", {}, 0, "io"},
    };
    std::string filler;
    for (int i = 0; i < 8; ++i) filler += "f" + std::to_string(i) + "\t1\t2\t3\t4\n";
    for (const auto& c : cases) {
        for (const bool followed : {false, true}) {
            if (followed && c.text.back() != '\n') continue;
            const std::string text = std::string(c.text) + (followed ? filler : "");
            std::size_t skipped = 0;
            auto rows = parse_index(text, &skipped);
            bool ok;
            if (c.error) {
                ok = !rows.ok() && (std::string_view(c.error) == "io"
                                        ? rows.error().kind() == FaidxError::Kind::Io
                                        : rows.error().kind() == FaidxError::Kind::Indexing &&
                                              rows.error().payload() == c.error);
            } else {
                ok = rows.ok() && skipped == c.skipped &&
                     rows->size() == c.rows.size() + (followed ? 8 : 0);
                for (std::size_t i = 0; ok && i < c.rows.size(); ++i) {
                    const IndexRow& r = (*rows)[i];
                    const IndexEntry& w = c.rows[i].entry;
                    ok = r.name == c.rows[i].name && r.entry.rlen == w.rlen &&
                         r.entry.offset == w.offset && r.entry.lenc == w.lenc &&
                         r.entry.lenb == w.lenb;
                }
            }
            const std::string what = std::string("index row ") + (followed ? "(followed) " : "") +
                                     std::string(c.text.substr(0, c.text.find('\n')));
            check(ok, what.c_str());
        }
    }
}

// chr1 has 10 bases (lines ACGT, ACGT, AC), "empty" none.
void bounds_policy() {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + "/b.fa";
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(">chr1 desc\nACGT\nACGT\nAC\n>empty\n", f);
    std::fclose(f);
    Options strict;
    strict.strict_bounds = true;
    auto lenient = Faidx::open(path, Options{});
    auto refusing = Faidx::open(path, strict);
    check(lenient.ok() && refusing.ok(), "open for the bounds policy");
    if (!lenient.ok() || !refusing.ok()) return;

    using K = RegionPlan::Kind;
    constexpr std::uint8_t B = RegionPlan::BeyondEnd, Z = RegionPlan::ZeroCoordinate,
                           A = RegionPlan::StartAfterEnd;
    struct Plan {
        K kind;
        std::uint64_t start, end;
        std::uint8_t problems;  // ignored by the batch policy, which names none
    };
    const Plan kRefused{K::OutOfBounds, 0, 0, 0};  // batch, strict: a Region error
    const struct {
        const char* name;
        std::uint64_t start, end;
        Plan single, single_strict, batch, batch_strict;
    } cases[] = {
        {"chr1", 1, 10, {K::Extract, 1, 10, 0}, {K::Extract, 1, 10, 0}, {K::Extract, 1, 10, 0},
         {K::Extract, 1, 10, 0}},
        {"chr1", 10, 10, {K::Extract, 10, 10, 0}, {K::Extract, 10, 10, 0},
         {K::Extract, 10, 10, 0}, {K::Extract, 10, 10, 0}},
        {"chr1", 8, 12, {K::Extract, 8, 10, B}, {K::OutOfBounds, 8, 12, B},
         {K::Extract, 8, 10, 0}, kRefused},
        {"chr1", 11, 12, {K::Empty, 11, 11, B}, {K::OutOfBounds, 11, 12, B},
         {K::Empty, 11, 11, 0}, kRefused},
        {"chr1", 12, 3, {K::Empty, 12, 12, B}, {K::OutOfBounds, 12, 3, B},
         {K::Empty, 12, 12, 0}, kRefused},
        {"chr1", 0, 5, {K::Empty, 0, 5, Z}, {K::OutOfBounds, 0, 5, Z}, {K::Extract, 1, 5, 0},
         kRefused},
        {"chr1", 5, 0, {K::Empty, 5, 0, Z}, {K::OutOfBounds, 5, 0, Z}, {K::Empty, 5, 0, 0},
         kRefused},
        {"chr1", 0, 0, {K::Empty, 0, 0, Z}, {K::OutOfBounds, 0, 0, Z}, {K::Empty, 0, 0, 0},
         kRefused},
        // Out of bounds is checked first, and the end is clamped before the zero check.
        {"chr1", 0, 12, {K::Empty, 0, 10, B | Z}, {K::OutOfBounds, 0, 12, B},
         {K::Extract, 1, 10, 0}, kRefused},
        {"chr1", 6, 3, {K::Empty, 6, 3, A}, {K::OutOfBounds, 6, 3, A}, {K::Empty, 6, 3, 0},
         kRefused},
        {"empty", 1, 1, {K::Empty, 1, 1, B}, {K::OutOfBounds, 1, 1, B}, {K::Empty, 1, 1, 0},
         kRefused},
        {"empty", 0, 5, {K::Empty, 0, 0, B | Z}, {K::OutOfBounds, 0, 5, B}, {K::Empty, 0, 0, 0},
         kRefused},
        {"empty", 0, 0, {K::Empty, 0, 0, Z}, {K::OutOfBounds, 0, 0, Z}, {K::Empty, 0, 0, 0},
         kRefused},
    };
    const auto same = [](Result<RegionPlan> got, const Plan& want, bool batch) {
        if (!got.ok()) return false;
        return got->kind == want.kind && got->start == want.start && got->end == want.end &&
               got->pad && (batch || got->problems == want.problems);
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.name) + ":" + std::to_string(c.start) + "-" +
                                 std::to_string(c.end);
        const Faidx& l = **lenient;
        const Faidx& s = **refusing;
        check(same(l.plan(c.name, c.start, c.end, Bounds::Single), c.single, false),
              ("single " + what).c_str());
        check(same(s.plan(c.name, c.start, c.end, Bounds::Single), c.single_strict, false),
              ("single, strict " + what).c_str());
        check(same(l.plan(c.name, c.start, c.end, Bounds::Batch), c.batch, true),
              ("batch " + what).c_str());
        auto batch = s.plan(c.name, c.start, c.end, Bounds::Batch);
        check(c.batch_strict.kind == K::OutOfBounds
                  ? !batch.ok() && batch.error().kind() == FaidxError::Kind::Region
                  : same(batch, c.batch_strict, true),
              ("batch, strict " + what).c_str());
    }
    const auto refused = (*refusing)->plan("chr1", 8, 12, Bounds::Batch);
    check(!refused.ok() &&
              refused.error().payload() == "Invalid region chr1:8-12 (sequence length: 10)",
          "the batch policy's refusal names the region");

    // A whole sequence: every base, never padded; an empty record gives a plan of no bases.
    for (const Faidx* faidx : {lenient->get(), refusing->get()}) {
        auto whole = faidx->plan("chr1", 0, 0, Bounds::Entire);
        auto none = faidx->plan("empty", 0, 0, Bounds::Entire);
        check(whole.ok() && whole->kind == K::Extract && whole->start == 1 && whole->end == 10 &&
                  !whole->pad,
              "plan_entire");
        check(none.ok() && none->kind == K::Extract && none->count() == 0, "plan_entire, empty");
        for (const auto& missing : {faidx->plan("chr2", 1, 1, Bounds::Single),
                                    faidx->plan("chr2", 1, 1, Bounds::Batch),
                                    faidx->plan("chr2", 0, 0, Bounds::Entire)})
            check(!missing.ok() && missing.error().kind() == FaidxError::Kind::Fetch &&
                      missing.error().payload() == "Sequence 'chr2' not found",
                  "an unknown name");
    }

    // The 0-based policies, [start, end) of chr1 (10 bases): the tool's (samtools'), whatever
    // the strictness, and the arrays' padding, whose lead and read bases a 0-based slice of
    // the padded sequence gives.
    constexpr std::int64_t kToEnd = INT64_MAX;
    const struct {
        std::int64_t start, end;
        bool read;
        std::uint64_t first, last;
        bool truncated;
    } tool[] = {
        {0, 10, true, 1, 10, false}, {7, 12, true, 8, 10, true},  {3, kToEnd, true, 4, 10, false},
        {10, 12, false, 0, 0, false}, {5, 5, false, 0, 0, false}, {-1, 4, false, 0, 0, false},
        {6, 3, false, 0, 0, false},
    };
    for (const Faidx* faidx : {lenient->get(), refusing->get()}) {
        const IndexEntry& chr1 = *faidx->index().find("chr1");
        for (const auto& c : tool) {
            const RegionPlan got = faidx->plan(chr1, c.start, c.end, Bounds::Tool);
            const bool read = got.kind == K::Extract;
            check(read == c.read && (!read || (got.start == c.first && got.end == c.last &&
                                               got.truncated == c.truncated)),
                  ("tool " + std::to_string(c.start) + "-" + std::to_string(c.end)).c_str());
        }
        const std::string padded = std::string(5, 'N') + "ACGTACGTAC" + std::string(5, 'N');
        for (std::int64_t start = -5; start <= 15; ++start) {
            for (std::int64_t end = start; end <= 15; ++end) {
                const RegionPlan got = faidx->plan(chr1, start, end, Bounds::Padded);
                std::string made(static_cast<std::size_t>(got.lead), 'N');
                if (got.kind == K::Extract)
                    made += std::string("ACGTACGTAC").substr(got.start - 1, got.count());
                made.resize(static_cast<std::size_t>(end - start), 'N');
                check(made == padded.substr(static_cast<std::size_t>(start + 5),
                                            static_cast<std::size_t>(end - start)),
                      ("padded " + std::to_string(start) + "-" + std::to_string(end)).c_str());
            }
        }
    }
    std::remove((path + ".fai").c_str());
    std::remove(path.c_str());
    ::rmdir(dir);
}

// A remote file served from memory, which records what it is asked and on which threads.
class FakeRemote final : public RemoteFile {
public:
    FakeRemote(std::string bytes, std::map<std::string, std::string> siblings)
        : bytes_(std::move(bytes)), siblings_(std::move(siblings)) {}
    const std::string& name() const override { return url_; }
    std::uint64_t size() const override { return bytes_.size(); }
    Status fetch(const std::vector<ByteSpan>& ranges, std::vector<std::string>& out) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++calls;
        threads.insert(std::this_thread::get_id());
        if (failing) return FaidxError::io(IoError::other("HTTP 500 (after 4 tries)"), url_);
        out.clear();
        for (const ByteSpan& r : ranges) {
            aligned = aligned && r.begin % kRemoteBlock == 0 &&
                      (r.end % kRemoteBlock == 0 || r.end == bytes_.size()) && r.end > r.begin;
            for (std::uint64_t b = r.begin / kRemoteBlock; b * kRemoteBlock < r.end; ++b)
                twice = !blocks.insert(b).second || twice;
            out.push_back(bytes_.substr(r.begin, r.end - r.begin));
        }
        return Ok{};
    }
    Result<std::optional<std::string>> sibling(std::string_view suffix) const override {
        auto it = siblings_.find(std::string(suffix));
        if (it == siblings_.end()) return std::optional<std::string>();
        return std::optional<std::string>(it->second);
    }

    mutable std::mutex mutex_;
    mutable int calls = 0;
    mutable std::set<std::thread::id> threads;
    mutable std::set<std::uint64_t> blocks;
    mutable bool aligned = true, twice = false;
    bool failing = false;

private:
    std::string url_ = "https://example.org/g.fa";
    std::string bytes_;
    std::map<std::string, std::string> siblings_;
};

std::string file_bytes(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    std::fclose(f);
    return out;
}

// A remote file's batches read what the local file gives, fetching every block on the caller's
// thread, aligned, each once per batch; with a small cache in several rounds; and a failed
// fetch fails each region that needed it, naming the URL.
void remote_batches_equal_local(bool bgzf) {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + (bgzf ? "/g.fa.gz" : "/g.fa");
    std::mt19937 rng(bgzf ? 5 : 6);
    std::vector<std::pair<std::string, std::size_t>> seqs;
    const std::string text = random_fasta(rng, 6, 20000, 200000, seqs);
    {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        if (bgzf) {
            BgzfWriter writer(fd.get(), kDefaultCompressionLevel);
            check(writer.write(text) == 0 && writer.finish() == 0, "remote: bgzf write");
        } else {
            check(write_all(fd.get(), text) == 0, "remote: write");
        }
    }
    auto local = Faidx::open(path, Options{});
    check(local.ok(), "remote: local open");
    if (!local.ok()) return;
    std::map<std::string, std::string> siblings{{".fai", file_bytes(path + ".fai")}};
    if (bgzf) siblings[".gzi"] = file_bytes(path + ".gzi");
    std::vector<Region> regions;
    for (int i = 0; i < 3000; ++i) {
        const auto& [name, len] = seqs[rng() % seqs.size()];
        const std::uint64_t a = 1 + rng() % len;
        regions.push_back({name, a, a + rng() % 600});
    }
    const auto expected = fetch_many(**local, regions);
    const auto same = [&](const std::vector<Result<Sequence>>& got) {
        bool ok = got.size() == expected.size();
        for (std::size_t i = 0; ok && i < got.size(); ++i)
            ok = got[i].ok() && expected[i].ok() && got[i].value().seq == expected[i].value().seq;
        return ok;
    };
    for (std::uint64_t cache : {std::uint64_t{256} << 20, 2 * kRemoteBlock}) {
        set_remote_cache_bytes(cache);
        auto file = std::make_shared<FakeRemote>(file_bytes(path), siblings);
        auto remote = Faidx::open_remote(file, Options{});
        check(remote.ok(), "remote: open");
        if (!remote.ok()) break;
        const int opening = file->calls;
        file->blocks.clear();
        check(same(fetch_many(**remote, regions)), "remote: a batch reads what the file holds");
        const bool once = !file->twice;
        const int rounds = file->calls - opening;
        check(same(fetch_many(**remote, regions, Execution{false, true, nullptr})),
              "remote: a serial batch too");
        check(file->threads.size() == 1 && *file->threads.begin() == std::this_thread::get_id(),
              "remote: fetched on the caller's thread only");
        check(file->aligned, "remote: ranges of whole blocks");
        if (cache > 2 * kRemoteBlock) {
            check(once && rounds == 1, "remote: one round for the batch, each block once");
        } else {
            check(rounds >= 3, "remote: a small cache takes several rounds");
        }
    }
    // A batch whose round cannot be fetched fails each region, naming the file.
    auto file = std::make_shared<FakeRemote>(file_bytes(path), siblings);
    auto remote = Faidx::open_remote(file, Options{});
    check(remote.ok(), "remote: open");
    if (remote.ok()) {
        file->failing = true;
        set_remote_cache_bytes(0);  // (the open read the first blocks)
        bool named = true;
        for (const auto& r : fetch_many(**remote, regions))
            named = named && !r.ok() && r.error().display().find("example.org") != std::string::npos;
        check(named, "remote: a failed round fails its regions, naming the file");
    }
    set_remote_cache_bytes(std::uint64_t{256} << 20);
    for (const char* suffix : {"", ".fai", ".gzi"}) std::remove((path + suffix).c_str());
    ::rmdir(dir);
}

void byte_sizes() {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"512M", std::uint64_t{512} << 20}, {"2g", std::uint64_t{2} << 30}, {"65536", 65536},
        {"1KB", 1024}, {"0", 0}, {"", std::nullopt}, {"M", std::nullopt}, {"-1", std::nullopt},
        {"1T", std::nullopt}, {"1 G", std::nullopt}, {"18446744073709551616", std::nullopt},
        {"17179869184G", std::nullopt}, {"17179869183G", std::uint64_t{17179869183} << 30},
    };
    for (const auto& [text, bytes] : cases)
        check(parse_byte_size(text) == bytes, (std::string("byte size ") + text).c_str());
}

int main() {
    // Sized as CI asks (RAYON_NUM_THREADS=4), whatever the processors.
    set_pool_size(pool_size_from(std::getenv("RAYON_NUM_THREADS"), nullptr).value_or(0));
    pool_visits_every_index_once();
    producer_runs_before_the_caller_drains();
    for (Thrower t : {Thrower::Producer, Thrower::CallerBody, Thrower::WorkerBody})
        failures_wait_for_the_workers(t);
    interrupt_stops_the_batch(false);
    interrupt_stops_the_batch(true);
    fork_during_batches();
    pool_visits_every_index_once();
    batches_equal_single_fetches(false);
    batches_equal_single_fetches(true);
    long_fetch_shared_by_the_pool();
    long_index_parsed_by_the_pool();
    bgzf_written_on_the_pool_reads_back(kDefaultCompressionLevel);
    bgzf_written_on_the_pool_reads_back(0);
    text_numbers_and_white_space();
    index_rows();
    bounds_policy();
    byte_sizes();
    remote_batches_equal_local(false);
    remote_batches_equal_local(true);
    if (failures == 0) std::puts("engine tests passed");
    return failures == 0 ? 0 : 1;
}
