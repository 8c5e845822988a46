// nucla: the command-line tool. Prints regions of a FASTA file as FASTA records through its
// .fai index, following samtools faidx (same region syntax, headers, line wrapping, clamping
// and strand marks), on the Python-free engine only.
//
// Requests are read and resolved in batches; a batch's regions are fetched on the engine's
// worker pool when it is large, then printed in request order through one large output buffer
// (compressed as BGZF on the same pool when the output file's name asks for it). A record is
// printed only once its bases are in hand, so a failed region never leaves a partial record
// behind.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "destination.hpp"
#include "io.hpp"
#include "output.hpp"
#include "region.hpp"
#include "remote_child.hpp"
#include "engine/run.hpp"
#include "engine/bgzf_writer.hpp"
#include "engine/build.hpp"
#include "engine/reader.hpp"
#include "engine/variants.hpp"
#include "engine/files.hpp"
#include "engine/index.hpp"
#include "engine/execution.hpp"
#include "engine/text.hpp"

#ifndef NUCLA_VERSION
#define NUCLA_VERSION "unknown"
#endif

namespace nucla::cli {

namespace {

using engine::Faidx;

constexpr const char* kUsage =
    "Usage: nucla [options] FASTA [REGION...]\n"
    "\n"
    "Prints regions of FASTA as FASTA records, through its samtools-compatible index\n"
    "(FASTA.fai, built when missing and rebuilt when older than FASTA). Without regions,\n"
    "builds the index afresh and reports where it was written.\n"
    "\n"
    "Regions are NAME, NAME:START, NAME:START-END or NAME:-END, 1-based and inclusive,\n"
    "as in samtools faidx; numbers may use thousands separators (chr1:1,000-2,000), and\n"
    "{NAME}:START-END quotes a name that holds colons. The header is the region as given.\n"
    "\n"
    "FASTA may be a URL (https://, s3://, gs://, file:// or any other that fsspec knows),\n"
    "read through a Python child process with fsspec (NUCLA_PYTHON chooses the interpreter;\n"
    "else python3 beside nucla, else on PATH); its indexes are read from beside it, or from\n"
    "--fai-idx, and nothing is written beside it.\n"
    "\n"
    "Options:\n"
    "  -r, --region-file FILE    read regions from FILE, one per line (- for standard input)\n"
    "      --bed FILE            read BED intervals (0-based, half-open) from FILE (- for\n"
    "                            standard input); a name column becomes the header\n"
    "  -s, --strand              reverse complement BED rows whose strand (6th column) is -\n"
    "  -o, --output FILE         write to FILE instead of standard output; FILE.gz, .bgz\n"
    "                            and .bgzf are written BGZF-compressed (as bgzip does)\n"
    "      --write-index         also write FILE.fai (and FILE.gzi when compressed)\n"
    "  -n, --length N            bases per output line [60]; 0 for no wrapping\n"
    "  -i, --reverse-complement  print reverse complements\n"
    "      --mark-strand TYPE    strand mark added to headers: rc (/rc on reverse\n"
    "                            complements; the default), no, sign ((+) and (-)),\n"
    "                            or custom,POS,NEG\n"
    "      --upper               print bases in upper case\n"
    "      --fai-idx PATH        index file [FASTA.fai]\n"
    "      --gzi-idx PATH        block index of a bgzip-compressed FASTA [FASTA.gzi]\n"
    "      --no-rebuild          use an existing index even when it is older than FASTA\n"
    "  -c, --continue            report a bad region and go on with the next one\n"
    "      --vcf FILE            print a haplotype of a sample of the VCF or BCF FILE\n"
    "                            (bgzipped and indexed, or plain) instead of the reference\n"
    "      --sample NAME         the sample, with --vcf\n"
    "      --haplotype 1|2       the haplotype: the first or second allele of each GT,\n"
    "                            whatever the phasing (a haploid call's allele on both)\n"
    "      --skip-ref-mismatch   skip variants whose REF is not the reference's (else an\n"
    "                            error)\n"
    "  -@, --threads N           threads for large region lists and compression; 0 means\n"
    "                            every processor [RAYON_NUM_THREADS, else every processor]\n"
    "  -h, --help                print this help and exit\n"
    "      --version             print the version and exit\n";

struct Config {
    std::string fasta;
    std::vector<std::string> regions;
    std::optional<std::string> region_file;
    std::optional<std::string> bed_file;
    std::optional<std::string> output;
    std::optional<std::string> index;
    std::optional<std::string> gzi_index;
    std::size_t width = 60;  // 0: no wrapping
    bool reverse = false;
    bool strand = false;  // reverse complement BED rows on the - strand
    bool write_index = false;
    bool upper = false;
    bool no_rebuild = false;
    bool keep_going = false;
    std::string mark_forward;
    std::string mark_reverse = "/rc";
    std::optional<std::size_t> threads;
    std::optional<std::string> vcf;
    std::optional<std::string> sample;
    int haplotype = 0;  // 1 or 2, with vcf
    bool skip_ref_mismatch = false;
};

// Diagnostics go through one buffer so a long run of warnings costs few system calls; it is
// flushed after every batch and before exit.
Writer& diagnostics() {
    static Writer w(2);
    return w;
}

void say(std::string_view message) {
    Writer& w = diagnostics();
    w.put("nucla: ");
    w.put(message);
    w.put('\n');
}

int failed(std::string_view message) {
    say(message);
    return 1;
}

int usage_error(std::string_view message) {
    say(message);
    diagnostics().put("Try 'nucla --help' for more information.\n");
    diagnostics().flush();
    return 1;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse_arguments(int argc, char** argv, Config& cfg) {
    enum {
        kBed = 256, kMarkStrand, kFaiIdx, kGziIdx, kNoRebuild, kUpper, kWriteIndex, kVersion,
        kVcf, kSample, kHaplotype, kSkipRefMismatch,
    };
    static const struct option kLong[] = {
        {"region-file", required_argument, nullptr, 'r'},
        {"bed", required_argument, nullptr, kBed},
        {"strand", no_argument, nullptr, 's'},
        {"output", required_argument, nullptr, 'o'},
        {"write-index", no_argument, nullptr, kWriteIndex},
        {"length", required_argument, nullptr, 'n'},
        {"reverse-complement", no_argument, nullptr, 'i'},
        {"mark-strand", required_argument, nullptr, kMarkStrand},
        {"upper", no_argument, nullptr, kUpper},
        {"fai-idx", required_argument, nullptr, kFaiIdx},
        {"gzi-idx", required_argument, nullptr, kGziIdx},
        {"no-rebuild", no_argument, nullptr, kNoRebuild},
        {"continue", no_argument, nullptr, 'c'},
        {"threads", required_argument, nullptr, '@'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {"vcf", required_argument, nullptr, kVcf},
        {"sample", required_argument, nullptr, kSample},
        {"haplotype", required_argument, nullptr, kHaplotype},
        {"skip-ref-mismatch", no_argument, nullptr, kSkipRefMismatch},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":r:so:n:ic@:h", kLong, nullptr)) != -1) {
        const std::string_view arg = optarg ? optarg : "";
        switch (c) {
            case 'r': cfg.region_file = std::string(arg); break;
            case kBed: cfg.bed_file = std::string(arg); break;
            case 's': cfg.strand = true; break;
            case 'o': cfg.output = std::string(arg); break;
            case kWriteIndex: cfg.write_index = true; break;
            case 'n': {
                if (arg.empty() || arg[0] < '0' || arg[0] > '9')
                    return usage_error("bad line length '" + std::string(arg) + "'");
                auto n = engine::parse_unsigned(arg, SIZE_MAX);
                if (!n) return usage_error("bad line length '" + std::string(arg) + "'");
                cfg.width = static_cast<std::size_t>(*n);
                break;
            }
            case 'i': cfg.reverse = true; break;
            case kMarkStrand:
                if (arg == "rc") {
                    cfg.mark_forward.clear();
                    cfg.mark_reverse = "/rc";
                } else if (arg == "no") {
                    cfg.mark_forward.clear();
                    cfg.mark_reverse.clear();
                } else if (arg == "sign") {
                    cfg.mark_forward = "(+)";
                    cfg.mark_reverse = "(-)";
                } else if (arg.substr(0, 7) == "custom," &&
                           arg.find(',', 7) != std::string_view::npos) {
                    const std::size_t comma = arg.find(',', 7);
                    cfg.mark_forward = std::string(arg.substr(7, comma - 7));
                    cfg.mark_reverse = std::string(arg.substr(comma + 1));
                } else {
                    return usage_error("bad strand mark '" + std::string(arg) +
                                       "' (expected rc, no, sign or custom,POS,NEG)");
                }
                break;
            case kUpper: cfg.upper = true; break;
            case kFaiIdx: cfg.index = std::string(arg); break;
            case kGziIdx: cfg.gzi_index = std::string(arg); break;
            case kNoRebuild: cfg.no_rebuild = true; break;
            case 'c': cfg.keep_going = true; break;
            case kVcf: cfg.vcf = std::string(arg); break;
            case kSample: cfg.sample = std::string(arg); break;
            case kHaplotype:
                if (arg != "1" && arg != "2")
                    return usage_error("bad haplotype '" + std::string(arg) + "' (expected 1 or 2)");
                cfg.haplotype = arg == "1" ? 1 : 2;
                break;
            case kSkipRefMismatch: cfg.skip_ref_mismatch = true; break;
            case '@':
                if (arg.empty() || arg[0] < '0' || arg[0] > '9' ||
                    !engine::parse_unsigned(arg, 1024))
                    return usage_error("bad thread count '" + std::string(arg) +
                                       "' (expected 0 to 1024)");
                cfg.threads = static_cast<std::size_t>(*engine::parse_unsigned(arg, 1024));
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return std::fflush(stdout) == 0 ? 0 : 1;
            case kVersion:
                // The version alone on the first line, then what the build was made with.
                std::fputs("nucla " NUCLA_VERSION "\n", stdout);
                for (const auto& [what, which] : engine::build_features())
                    std::printf("%s: %s\n", what.c_str(), which.c_str());
                std::printf("Remote: fsspec through %s\n", find_python().shown.c_str());
                return std::fflush(stdout) == 0 ? 0 : 1;
            case ':':
                return usage_error("option '" + std::string(argv[optind - 1]) +
                                   "' needs an argument");
            default:
                if (optopt) {
                    return usage_error("unknown option '-" +
                                       std::string(1, static_cast<char>(optopt)) + "'");
                }
                return usage_error("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind >= argc) return usage_error("no FASTA file given");
    cfg.fasta = argv[optind++];
    cfg.regions.assign(argv + optind, argv + argc);
    if (cfg.region_file && cfg.bed_file && *cfg.region_file == "-" && *cfg.bed_file == "-")
        return usage_error("standard input can serve only one of -r and --bed");
    if (cfg.strand && !cfg.bed_file)
        return usage_error("-s reads the strand of BED rows: give --bed");
    if (cfg.write_index && !cfg.output)
        return usage_error("--write-index indexes an output file: give -o");
    if (cfg.vcf && (!cfg.sample || !cfg.haplotype))
        return usage_error("--vcf prints a sample's haplotype: give --sample and --haplotype");
    if (!cfg.vcf && (cfg.sample || cfg.haplotype || cfg.skip_ref_mismatch))
        return usage_error("--sample, --haplotype and --skip-ref-mismatch go with --vcf");
    return -1;
}

// The FASTA of the command line: a local file, or a URL read through a Python child.
engine::Result<std::unique_ptr<Faidx>> open_fasta(const Config& cfg, engine::Options options) {
    if (!engine::is_remote_name(cfg.fasta)) return Faidx::open(cfg.fasta, std::move(options));
    engine::Status cache = engine::set_remote_cache_from(std::getenv("NUCLA_REMOTE_CACHE"));
    if (!cache.ok()) return cache.take_error();
    auto file = RemoteChild::start(cfg.fasta);
    if (!file.ok()) return file.take_error();
    return Faidx::open_remote(std::move(file).value(), std::move(options));
}

// `nucla FASTA`: scans the FASTA and writes its index, as samtools faidx does, whatever
// index is already there (unless --no-rebuild keeps one).
int build_index(const Config& cfg, const engine::Options& options) {
    // Nothing is written beside a URL, and an index kept only in memory would be no result.
    if (!options.indexname && engine::is_remote_name(cfg.fasta))
        return usage_error("an index of a URL is written to a local file: give --fai-idx PATH");
    const std::string path = options.indexname ? *options.indexname : cfg.fasta + ".fai";
    struct stat st;
    if (cfg.no_rebuild && ::stat(path.c_str(), &st) == 0) {
        auto faidx = open_fasta(cfg, options);
        if (!faidx.ok()) return failed(faidx.error().display());
        say("kept the existing index " + path + " (" +
            std::to_string(faidx.value()->index().size()) + " sequences)");
        return 0;
    }
    engine::Options build = options;
    build.always_build = true;
    auto faidx = open_fasta(cfg, build);
    if (!faidx.ok()) return failed(faidx.error().display());
    const Faidx& built = *faidx.value();
    const std::string count = " (" + std::to_string(built.index().size()) + " sequences)";
    if (built.compressed()) {
        say("wrote the index " + path + " and the block index " + built.gzi_path() + count);
    } else {
        say("wrote the index " + path + count);
    }
    return 0;
}

class Extractor {
public:
    // Rows of what is printed go to `index` when it is given.
    // With `variants` (opened on the one sample of --sample), it prints cfg.haplotype of it.
    Extractor(const Faidx& faidx, const Config& cfg, Writer& out, OutputIndex* index,
              const engine::VariantFile* variants = nullptr)
        : faidx_(faidx), cfg_(cfg), out_(out), index_(index), variants_(variants) {}

    // A slot for the next request, read from `source` (line 0: the command line).
    Request& slot(const std::string* source, std::size_t line) {
        if (count_ == batch_.size()) {
            batch_.emplace_back();
            origins_.emplace_back();
        }
        origins_[count_] = Origin{source, line};
        return batch_[count_];
    }
    // Queues the request in the current slot; runs the batch when it is full.
    void add() {
        bytes_ += batch_[count_].size();
        if (++count_ >= kBatchRequests || bytes_ >= kBatchBytes) run();
    }

    // Fetches and prints the queued requests in order.
    void run();

    bool stopped() const { return stopped_; }
    std::size_t failures() const { return failures_; }

private:
    struct Origin {
        const std::string* source = nullptr;
        std::size_t line = 0;
    };
    static constexpr std::size_t kBatchRequests = 1 << 16;
    // Bases held at once; a single larger region still goes through on its own.
    static constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 26;

    void fail(std::size_t i, std::string_view what);
    void print(const Request& r, std::string* bases);

    // The bases of the batch's Fetch requests, in order, as a haplotype of the sample; false
    // (the batch stopped, or failed as a whole) with the reason said.
    bool haplotypes();

    const Faidx& faidx_;
    const Config& cfg_;
    Writer& out_;
    OutputIndex* index_;
    const engine::VariantFile* variants_;
    std::vector<Request> batch_;
    std::vector<Origin> origins_;
    std::size_t count_ = 0;
    std::uint64_t bytes_ = 0;
    std::vector<engine::Region> regions_;
    std::vector<engine::Result<engine::Sequence>> results_;
    bool stopped_ = false;
    std::size_t failures_ = 0;
};

void Extractor::fail(std::size_t i, std::string_view what) {
    const Origin& o = origins_[i];
    std::string message;
    if (o.source) message = (*o.source == "-" ? "(standard input)" : *o.source) + ":" +
                            std::to_string(o.line) + ": ";
    message += "region '";
    message.append(batch_[i].header());
    message += "': ";
    message.append(what);
    say(message);
    ++failures_;
    if (!cfg_.keep_going) stopped_ = true;
}

void Extractor::print(const Request& r, std::string* bases) {
    // -i turns every record round; a BED row on the - strand turns once more.
    const bool reversed = cfg_.reverse != r.minus;
    const std::string& mark = reversed ? cfg_.mark_reverse : cfg_.mark_forward;
    out_.put('>');
    out_.put(r.header());
    out_.put(mark);
    out_.put('\n');
    if (index_)
        index_->add(r.header(), mark, out_.position(), bases ? bases->size() : 0, cfg_.width);
    if (!bases || bases->empty()) return;
    if (reversed)
        engine::reverse_complement_in_place(bases->data(), bases->size(),
                                            engine::SAMTOOLS_COMPLEMENT_TABLE);
    const std::string_view s = *bases;
    const std::size_t width = cfg_.width ? cfg_.width : s.size();
    for (std::size_t pos = 0; pos < s.size(); pos += width) {
        out_.put(s.substr(pos, width));
        out_.put('\n');
    }
}

bool Extractor::haplotypes() {
    std::vector<engine::ArrayRegion> regions;
    regions.reserve(regions_.size());
    for (const engine::Region& r : regions_) {
        regions.push_back({faidx_.index().find(r.name), static_cast<std::int64_t>(r.start - 1),
                           static_cast<std::int64_t>(r.end), false});
    }
    const std::vector<std::uint32_t> sample(regions.size(), 0);
    auto planned = engine::Haplotypes::plan(faidx_, *variants_, {&regions, &sample, 0});
    if (!planned.ok()) {
        say(planned.error().detail());
        ++failures_;
        stopped_ = true;
        return false;
    }
    const engine::Haplotypes& haplotypes = **planned;
    for (const std::string& line : haplotypes.warnings())
        say(std::string_view(line).substr(0, line.size() - 1));
    std::vector<std::int64_t> offsets{0};
    for (std::size_t e = 0; e < haplotypes.entries(); ++e)
        offsets.push_back(offsets.back() + static_cast<std::int64_t>(haplotypes.length(e)));
    std::string bases(static_cast<std::size_t>(offsets.back()), '\0');
    const engine::ArrayRun run = haplotypes.fill(
        engine::ArrayFormat{}, engine::ArrayLayout{offsets.data(), 0},
        reinterpret_cast<std::uint8_t*>(bases.data()), engine::batch_execution(regions.size()));
    results_.clear();
    for (std::size_t k = 0; k < regions.size(); ++k) {
        if (run.failure && run.failure->region == k) {
            results_.emplace_back(run.failure->error);
            continue;
        }
        const std::size_t e = 2 * k + static_cast<std::size_t>(cfg_.haplotype - 1);
        engine::Sequence value;
        value.seq = bases.substr(static_cast<std::size_t>(offsets[e]),
                                 static_cast<std::size_t>(offsets[e + 1] - offsets[e]));
        results_.emplace_back(std::move(value));
    }
    return true;
}

void Extractor::run() {
    regions_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        const Request& r = batch_[i];
        if (r.kind == Request::Kind::Fetch) regions_.push_back({r.name(), r.start, r.end});
    }
    if (variants_) {
        if (!haplotypes()) return;
    } else {
        results_ = engine::fetch_many(faidx_, regions_);
    }

    std::size_t k = 0;
    for (std::size_t i = 0; i < count_ && !stopped_; ++i) {
        const Request& r = batch_[i];
        switch (r.kind) {
            case Request::Kind::Error: fail(i, r.error); break;
            case Request::Kind::Empty:
                say("Zero length sequence: " + std::string(r.header()));
                print(r, nullptr);
                break;
            case Request::Kind::Fetch: {
                auto& got = results_[k++];
                if (!got.ok()) {
                    fail(i, got.error().display());
                    break;
                }
                if (r.truncated) say("Truncated sequence: " + std::string(r.header()));
                print(r, &got->seq);
                break;
            }
        }
    }
    count_ = 0;
    bytes_ = 0;
    results_.clear();
    if (out_.error()) stopped_ = true;  // nothing more can be written; the caller says why
    diagnostics().flush();
}

// Feeds every line of `path` to `take` until the extractor stops; returns false (after
// saying why) when the file cannot be read.
template <class Take>
bool read_lines(const std::string& path, Extractor& ex, Take take) {
    LineReader reader;
    if (int code = reader.open(path)) {
        say(path + ": " + os_error(code));
        return false;
    }
    std::string_view line;
    while (!ex.stopped() && reader.next(line)) take(line, reader.line_number());
    if (reader.error()) {
        say((path == "-" ? "(standard input)" : path) + ": " + os_error(reader.error()));
        return false;
    }
    return true;
}

// The FASTA, its indexes and the region lists (standard input too, when a file is redirected
// to it). Pipes and terminals cannot be destroyed by writing and are left out.
std::vector<Input> input_files(const Config& cfg, const Faidx& faidx) {
    std::vector<Input> inputs;
    const auto add = [&](const std::string& path, bool stdin_allowed) {
        struct stat st;
        const bool is_stdin = stdin_allowed && path == "-";
        if ((is_stdin ? ::fstat(0, &st) : ::stat(path.c_str(), &st)) == 0 && S_ISREG(st.st_mode))
            inputs.push_back({st.st_dev, st.st_ino});
    };
    add(faidx.filename(), false);
    add(faidx.index_path(), false);
    if (faidx.compressed()) add(faidx.gzi_path(), false);
    if (cfg.region_file) add(*cfg.region_file, true);
    if (cfg.bed_file) add(*cfg.bed_file, true);
    return inputs;
}

// Opens the output file, refusing it (or, with --write-index, its index files) when it is one
// of the inputs. Returns false after saying why.
bool open_output(const Config& cfg, const Faidx& faidx, Destination& destination) {
    const std::string& path = *cfg.output;
    const std::vector<Input> inputs = input_files(cfg, faidx);
    if (cfg.write_index) {
        for (const char* suffix : {".fai", ".gzi"}) {
            struct stat st;
            const std::string index = path + suffix;
            if (::stat(index.c_str(), &st) == 0 && is_input(st, inputs)) {
                say(index + ": the output would overwrite the input");
                return false;
            }
        }
    }
    const std::string failure = destination.open(path, inputs);
    if (!failure.empty()) say(failure);
    return failure.empty();
}

int extract(const Config& cfg, const engine::Options& options) {
    auto opened = open_fasta(cfg, options);
    if (!opened.ok()) return failed(opened.error().display());
    const Faidx& faidx = *opened.value();

    Destination destination;
    int fd = 1;
    std::unique_ptr<engine::BgzfWriter> bgzf;
    if (cfg.output) {
        if (!open_output(cfg, faidx, destination)) return 1;
        fd = destination.fd();
        if (wants_bgzf(*cfg.output)) bgzf = std::make_unique<engine::BgzfWriter>(fd);
    }
    std::optional<OutputIndex> rows;
    if (cfg.write_index) rows.emplace();

    std::unique_ptr<engine::VariantFile> variants;
    if (cfg.vcf) {
        engine::VariantOptions chosen;
        chosen.samples = std::vector<std::string>{*cfg.sample};
        chosen.skip_ref_mismatch = cfg.skip_ref_mismatch;
        auto opened_variants = engine::VariantFile::open(*cfg.vcf, std::move(chosen));
        if (!opened_variants.ok()) return failed(opened_variants.error().display());
        variants = std::move(opened_variants).value();
    }

    Writer out(fd, bgzf.get());
    Extractor ex(faidx, cfg, out, rows ? &*rows : nullptr, variants.get());
    bool read_ok = true;
    if (cfg.region_file) {
        const std::string& path = *cfg.region_file;
        read_ok = read_lines(path, ex, [&](std::string_view line, std::size_t n) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' ||
                                     line.back() == '\t'))
                line.remove_suffix(1);
            if (line.empty()) return;
            resolve_region(faidx, line, ex.slot(&path, n));
            ex.add();
        });
    }
    if (read_ok && !ex.stopped() && cfg.bed_file) {
        const std::string& path = *cfg.bed_file;
        read_ok = read_lines(path, ex, [&](std::string_view line, std::size_t n) {
            if (resolve_bed_line(faidx, line, ex.slot(&path, n), cfg.strand)) ex.add();
        });
    }
    for (const std::string& region : cfg.regions) {
        if (!read_ok || ex.stopped()) break;
        resolve_region(faidx, region, ex.slot(nullptr, 0));
        ex.add();
    }
    if (!ex.stopped()) ex.run();

    // What was printed before a failed region still makes a whole file (and is indexed), as
    // samtools leaves it; an output that could not be written whole replaces nothing.
    out.finish();
    int status = (read_ok && !ex.stopped()) ? 0 : 1;
    if (out.error()) {
        say((cfg.output ? *cfg.output : std::string("standard output")) + ": " +
            os_error(out.error()));
        status = 1;
    } else if (cfg.output) {
        std::string fai, gzi;
        if (rows) fai = rows->text();
        if (rows && bgzf) gzi = bgzf->gzi();
        const std::string failure =
            destination.commit(rows ? &fai : nullptr, rows && bgzf ? &gzi : nullptr);
        if (!failure.empty()) {
            say(failure);
            status = 1;
        }
    }
    if (cfg.keep_going && ex.failures())
        say(std::to_string(ex.failures()) + " region(s) could not be printed");
    return status;
}

int run(int argc, char** argv) {
    Config cfg;
    if (int status = parse_arguments(argc, argv, cfg); status >= 0) return status;
    engine::set_pool_size(cfg.threads.value_or(
        engine::pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"))
            .value_or(0)));

    engine::Options options;
    options.indexname = cfg.index;
    options.gzi_indexname = cfg.gzi_index;
    options.rebuild = !cfg.no_rebuild;
    options.sequence_always_upper = cfg.upper;
    options.warn = [](std::string_view line) { diagnostics().put(line); };

    if (cfg.regions.empty() && !cfg.region_file && !cfg.bed_file)
        return build_index(cfg, options);
    return extract(cfg, options);
}

// Opens /dev/null on each of the standard descriptors that the caller left closed: the first
// file opened would take it otherwise, and the tool's messages (or its reading of standard
// input) would go to that file. False when that cannot be done.
bool fill_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != fd) return false;  // the lowest free descriptor, unless the open failed
    }
    return true;
}

}  // namespace

}  // namespace nucla::cli

int main(int argc, char** argv) {
    if (!nucla::cli::fill_closed_standard_descriptors()) return 1;
    int status;
    try {
        status = nucla::cli::run(argc, argv);
    } catch (const std::bad_alloc&) {
        nucla::cli::say("out of memory");
        status = 1;
    } catch (const std::exception& e) {
        nucla::cli::say(e.what());
        status = 1;
    }
    nucla::cli::diagnostics().flush();
    return status;
}
