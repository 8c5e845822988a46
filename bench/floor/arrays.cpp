// The floor for the array workloads: what a plain C++ program needs to copy the same regions
// out of the same FASTA file into one array, on two threads.
//
//   arrays GENOME.fa REGIONS MODE [OUT]
//
// REGIONS (written by bench/arrays.py): int64 count, int64 width (0: variable lengths), then
// int32 fai row[count], int64 start[count], int64 end[count] (0-based, half-open; fixed windows
// may reach outside their sequence, where they get padding).  MODE is bytes, codes, onehot
// (fixed windows) or packed (variable lengths, file bytes, int64 offsets).
//
// The file is mapped and read once untimed (so its pages are in the page table, as they would
// be for a program that has been running), then the work is timed twice: into a new buffer
// (malloc: its pages fault in as they are written) and again into that same, now reused,
// buffer.  Each region is copied a whole line at a time by the index's layout, through a
// 256-entry table.  Prints "NEW_SECONDS REUSED_SECONDS"; with OUT, writes the result there
// (data, then the offsets for packed).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kThreads = 2;

struct Row {
    int64_t length, offset, line_bases, line_width;
};

struct Job {
    std::vector<int32_t> row;
    std::vector<int64_t> start, end;
    int64_t width = 0;
};

enum class Mode { bytes, codes, onehot, packed };

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "arrays: %s\n", what.c_str());
    std::exit(1);
}

std::vector<Row> read_fai(const std::string& path) {
    std::ifstream in(path);
    if (!in) die("cannot read " + path);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string name;
        Row r{};
        if (std::getline(f, name, '\t') && f >> r.length >> r.offset >> r.line_bases >> r.line_width)
            rows.push_back(r);
    }
    return rows;
}

Job read_job(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) die("cannot read " + path);
    int64_t head[2];
    if (std::fread(head, sizeof head, 1, f) != 1) die("short regions file");
    Job j;
    j.width = head[1];
    const auto n = static_cast<size_t>(head[0]);
    j.row.resize(n);
    j.start.resize(n);
    j.end.resize(n);
    if (std::fread(j.row.data(), 4, n, f) != n || std::fread(j.start.data(), 8, n, f) != n ||
        std::fread(j.end.data(), 8, n, f) != n)
        die("short regions file");
    std::fclose(f);
    return j;
}

struct Tables {
    uint8_t codes[256];
    uint32_t onehot[256];
    Tables() {
        std::memset(codes, 4, sizeof codes);
        std::memset(onehot, 0, sizeof onehot);
        const char* acgt = "ACGT";
        for (int i = 0; i < 4; ++i) {
            uint8_t unit[4] = {0, 0, 0, 0};
            unit[i] = 1;
            for (unsigned char c : {static_cast<unsigned char>(acgt[i]),
                                    static_cast<unsigned char>(acgt[i] | 0x20)}) {
                codes[c] = static_cast<uint8_t>(i);
                std::memcpy(&onehot[c], unit, 4);
            }
        }
    }
};
const Tables kTables;

// Bytes of one element in the output, and the padding written outside a sequence.
size_t item_size(Mode m) { return m == Mode::onehot ? 4 : 1; }

void pad(Mode m, uint8_t* dst, int64_t n) {
    if (n <= 0) return;
    if (m == Mode::onehot)
        std::memset(dst, 0, static_cast<size_t>(n) * 4);
    else
        std::memset(dst, m == Mode::codes ? 4 : 'N', static_cast<size_t>(n));
}

void translate(Mode m, const uint8_t* src, uint8_t* dst, size_t n) {
    switch (m) {
    case Mode::bytes:
    case Mode::packed:
        std::memcpy(dst, src, n);
        break;
    case Mode::codes:
        for (size_t i = 0; i < n; ++i) dst[i] = kTables.codes[src[i]];
        break;
    case Mode::onehot:
        for (size_t i = 0; i < n; ++i) std::memcpy(dst + 4 * i, &kTables.onehot[src[i]], 4);
        break;
    }
}

// Region i into dst: padding before base 0, whole-line copies, padding past the end.
void copy_region(Mode m, const uint8_t* file, const Row& r, int64_t start, int64_t end,
                 uint8_t* dst) {
    const size_t z = item_size(m);
    const int64_t lo = std::clamp<int64_t>(start, 0, r.length);
    const int64_t hi = std::clamp<int64_t>(end, lo, r.length);
    pad(m, dst, std::min(lo, end) - start);
    uint8_t* out = dst + static_cast<size_t>(lo - start) * z;
    for (int64_t p = lo; p < hi;) {
        const int64_t col = p % r.line_bases;
        const int64_t take = std::min(r.line_bases - col, hi - p);
        const uint8_t* src = file + r.offset + p / r.line_bases * r.line_width + col;
        translate(m, src, out, static_cast<size_t>(take));
        out += static_cast<size_t>(take) * z;
        p += take;
    }
    pad(m, out, end - std::max(hi, start));
}

void fill(Mode m, const uint8_t* file, const std::vector<Row>& rows, const Job& j,
          const std::vector<int64_t>& offsets, uint8_t* buf) {
    const size_t n = j.row.size();
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
        pool.emplace_back([&, t] {
            for (size_t i = n * t / kThreads; i < n * (t + 1) / kThreads; ++i)
                copy_region(m, file, rows[static_cast<size_t>(j.row[i])], j.start[i], j.end[i],
                            buf + offsets[i] * static_cast<int64_t>(item_size(m)));
        });
    }
    for (auto& th : pool) th.join();
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) die("usage: arrays GENOME.fa REGIONS MODE [OUT]");
    const std::string mode_name = argv[3];
    const Mode mode = mode_name == "bytes"    ? Mode::bytes
                      : mode_name == "codes"  ? Mode::codes
                      : mode_name == "onehot" ? Mode::onehot
                      : mode_name == "packed" ? Mode::packed
                                              : (die("unknown mode " + mode_name), Mode::bytes);
    const auto rows = read_fai(std::string(argv[1]) + ".fai");
    const Job job = read_job(argv[2]);
    for (int32_t r : job.row)
        if (r < 0 || static_cast<size_t>(r) >= rows.size()) die("row out of range");

    const int fd = open(argv[1], O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) die(std::string("cannot open ") + argv[1]);
    const auto size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) die("mmap failed");
    const auto* file = static_cast<const uint8_t*>(map);

    const size_t n = job.row.size();
    std::vector<int64_t> offsets(n + 1, 0);
    auto make_offsets = [&] {
        for (size_t i = 0; i < n; ++i)
            offsets[i + 1] = offsets[i] + (job.width ? job.width : job.end[i] - job.start[i]);
    };
    make_offsets();
    const size_t bytes = static_cast<size_t>(offsets[n]) * item_size(mode);

    // Untimed: map the file's pages in (a scratch buffer, given back before the timed runs).
    {
        auto* scratch = static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
        if (!scratch) die("out of memory");
        fill(mode, file, rows, job, offsets, scratch);
        std::free(scratch);
    }

    auto t0 = std::chrono::steady_clock::now();
    if (mode == Mode::packed) make_offsets();
    auto* buf = static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
    if (!buf) die("out of memory");
    fill(mode, file, rows, job, offsets, buf);
    const double fresh = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    if (mode == Mode::packed) make_offsets();
    fill(mode, file, rows, job, offsets, buf);
    const double reused = seconds_since(t0);

    if (argc > 4) {
        std::FILE* out = std::fopen(argv[4], "wb");
        if (!out || std::fwrite(buf, 1, bytes, out) != bytes) die("cannot write output");
        if (mode == Mode::packed && std::fwrite(offsets.data(), 8, n + 1, out) != n + 1)
            die("cannot write output");
        std::fclose(out);
    }
    std::printf("%.9f %.9f\n", fresh, reused);
    std::free(buf);
    munmap(map, size);
    close(fd);
    return 0;
}
