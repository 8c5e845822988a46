// Native tests of the engine, run under ThreadSanitizer in CI: the worker pool visits every
// index exactly once, parallel batches equal one-by-one fetches, in both source modes (and
// fail cleanly once the file has been emptied under them), and BGZF compressed on the pool
// reads back as written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/batch.hpp"
#include "engine/bgzf_writer.hpp"
#include "engine/faidx.hpp"
#include "engine/pool.hpp"

using namespace nucla::engine;

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

void batches_equal_single_fetches(bool mutable_file) {
    char dir[] = "/tmp/nucla-engine-test-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    const std::string path = std::string(dir) + "/g.fa";
    std::mt19937 rng(7);
    std::string text;
    std::vector<std::pair<std::string, std::size_t>> seqs;
    for (int r = 0; r < 8; ++r) {
        const std::string name = "s" + std::to_string(r);
        const std::size_t len = 100 + rng() % 5000;
        text += ">" + name + "\n";
        for (std::size_t i = 0; i < len; ++i) {
            text += "ACGTacgtN"[rng() % 9];
            if ((i + 1) % 60 == 0 || i + 1 == len) text += '\n';
        }
        seqs.emplace_back(name, len);
    }
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
    auto parallel = fetch_many_parallel(**faidx, regions);
    ReadScratch scratch;
    bool same = parallel.size() == regions.size();
    for (std::size_t i = 0; same && i < regions.size(); ++i) {
        auto one = (*faidx)->fetch_single_optimized(regions[i].name, regions[i].start,
                                                    regions[i].end, scratch);
        same = one.ok() && parallel[i].ok() && one->seq == parallel[i]->seq &&
               one->seq.size() == regions[i].end - regions[i].start + 1;
    }
    check(same, mutable_file ? "parallel batch, file handle" : "parallel batch, memory map");

    // Emptied while open: every region fails with the error naming the file, on every worker.
    check(::truncate(path.c_str(), 0) == 0, "truncate");
    const std::string changed = FaidxError::file_changed(path).display();
    bool failed = true;
    for (const auto& outcome : fetch_many_parallel(**faidx, regions))
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

int main() {
    pool_visits_every_index_once();
    producer_runs_before_the_caller_drains();
    batches_equal_single_fetches(false);
    batches_equal_single_fetches(true);
    bgzf_written_on_the_pool_reads_back(kDefaultCompressionLevel);
    bgzf_written_on_the_pool_reads_back(0);
    if (failures == 0) std::puts("engine tests passed");
    return failures == 0 ? 0 : 1;
}
