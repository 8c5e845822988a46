#include "engine/reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "engine/files.hpp"
#include "index/layout.hpp"
#include "read/bgzf.hpp"
#include "read/extract.hpp"
#include "read/remote.hpp"
#include "read/source.hpp"
#include "system/platform.hpp"

namespace nucla::engine {

namespace {

// `error`, from reading `source`, or file_changed when the file has shrunk since it was opened:
// the bytes it lost within its last page read as zeros, which look like damage or data.
FaidxError shrunk_or(const Source& source, FaidxError error) {
    auto size = source.size();
    Status extent = source.check_extent(size.ok() ? *size : 0);
    return extent.ok() ? std::move(error) : extent.take_error();
}

// Scans an uncompressed FASTA in pieces, dropping a map's pages from this process as it goes.
Result<std::vector<IndexRow>> scan_pieces(const Source& source) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    constexpr std::uint64_t kReleaseStep = std::uint64_t{64} << 20;
    FastaScanner scanner;
    ReadScratch scratch;
    while (true) {
        auto view = source.read_at(scanner.position(), kPiece, scratch);
        if (!view.ok()) return view.take_error();
        if (view->empty()) break;
        Status status = scanner.feed(*view);
        if (!status.ok()) return status.take_error();
        if (scanner.position() % kReleaseStep == 0) source.release_before(scanner.position());
    }
    return scanner.finish();
}

Result<std::vector<IndexRow>> scan_plain(const Source& source) {
    auto rows = scan_pieces(source);
    if (!rows.ok()) return shrunk_or(source, rows.take_error());
    auto size = source.size();
    Status extent = source.check_extent(size.ok() ? *size : 0);
    if (!extent.ok()) return extent.take_error();
    return rows;
}

// An index trusted by its time stamp whose rows reach past the end of the data belongs to
// another file (or to this one before it was cut short): it is as stale as an older one.
bool stale_by_rows(const Options& opt, const Index& index, std::uint64_t data_size) {
    return opt.build_index && opt.rebuild && !rows_fit(index, data_size);
}

// Whether the data of an uncompressed FASTA holds a record; false when it cannot be read.
bool holds_record(const Source& source) {
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    RecordFinder finder;
    ReadScratch scratch;
    for (std::uint64_t pos = 0;;) {
        auto view = source.read_at(pos, kPiece, scratch);
        if (!view.ok() || view->empty()) break;
        if (finder.feed(*view)) return true;
        pos += view->size();
    }
    return finder.finish();
}

// The same for a BGZF file, decompressed no further than the first record.
bool bgzf_holds_record(const Source& raw, const std::string& path) {
    RecordFinder finder;
    bool found = false;
    (void)inflate_blocks(
        raw, path,
        [&](std::string_view piece) -> Status {
            if (!finder.feed(piece)) return Ok{};
            found = true;
            return FaidxError::io(IoError::other("found"));  // ends the walk
        },
        {});
    return found || finder.finish();
}

// The index file (or .gzi) at `path`: its metadata when a regular file other than the FASTA
// stands there, nothing when no file can be seen (a path with a NUL names none). A FIFO or a
// device is no index, and the FASTA itself must never be read as one, let alone replaced.
Result<std::optional<struct stat>> index_file_at(const std::string& path,
                                                 const struct stat& fasta) {
    struct stat st;
    if (has_nul(path) || ::stat(path.c_str(), &st) != 0) return std::optional<struct stat>();
    if (st.st_dev == fasta.st_dev && st.st_ino == fasta.st_ino)
        return FaidxError::io(IoError::other("index path " + path + " is the FASTA file itself"));
    if (!S_ISREG(st.st_mode))
        return FaidxError::io(IoError::other(path + " is not a regular file"));
    return std::optional<struct stat>(st);
}

bool stale(const struct stat& index, const struct stat& fasta) {
    return modified_before(index, fasta);
}

// One line for every file that could not be written, each run of files refused for the same
// reason followed by it.
void warn_unsaved(const Options& options, const std::vector<Faidx::Unsaved>& unsaved) {
    if (unsaved.empty() || !options.warn) return;
    std::string line = "WARNING: could not write ";
    for (std::size_t i = 0; i < unsaved.size(); ++i) {
        line += (i ? ", " : "") + unsaved[i].path;
        if (i + 1 < unsaved.size() && unsaved[i + 1].os_code == unsaved[i].os_code) continue;
        std::string reason = system_error_text(unsaved[i].os_code);
        if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') reason[0] += 'a' - 'A';
        line += " (" + reason + ")";
    }
    options.warn(line + "; using the index scanned in memory\n");
}

}  // namespace

Result<std::unique_ptr<Faidx>> Faidx::open(std::string filename, Options options) {
    std::unique_ptr<Faidx> f(new Faidx());
    f->index_path_ = options.indexname ? *options.indexname : filename + ".fai";
    f->gzi_path_ = options.gzi_indexname ? *options.gzi_indexname : filename + ".gzi";
    f->filename_ = std::move(filename);
    f->options_ = std::move(options);
    const Options& opt = f->options_;

    struct stat fasta_st;
    if (has_nul(f->filename_) || ::stat(f->filename_.c_str(), &fasta_st) != 0)
        return FaidxError::fasta_not_found(f->filename_);
    // A FIFO or device would block or never end; only files and directories are opened
    // (a directory then fails with the system's own error when read).
    if (!S_ISREG(fasta_st.st_mode) && !S_ISDIR(fasta_st.st_mode))
        return FaidxError::io(IoError::other(f->filename_ + " is not a regular file"));

    Fd fd(::open(f->filename_.c_str(), (opt.mutable_file ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!fd.valid()) return FaidxError::io_errno(errno, f->filename_);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FaidxError::io_errno(errno, f->filename_);
    f->absolute_filename_ = absolute_path(f->filename_);
    f->absolute_index_path_ = absolute_path(f->index_path_);
    // A directory's size means nothing here: reading it fails with the system's own error.
    const std::uint64_t size = S_ISREG(st.st_mode)
                                   ? static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0))
                                   : UINT64_MAX;
    if (!opt.mutable_file && S_ISREG(st.st_mode))
        f->source_ = MappedSource::map(fd, size, f->filename_);
    if (!f->source_) f->source_ = std::make_unique<HandleSource>(std::move(fd), size, f->filename_);

    // Compression is told by the first bytes, never by the name. A source that cannot be read
    // here (a directory) fails later, where it always has.
    Compression compression = Compression::None;
    {
        ReadScratch scratch;
        auto head = f->source_->read_at(0, kDetectBytes, scratch);
        if (head.ok()) compression = detect_compression(*head);
    }
    if (compression == Compression::Gzip)
        return FaidxError::io(IoError::other(
            f->filename_ + " is gzip-compressed but not BGZF; recompress it with bgzip"));

    auto index_st = index_file_at(f->index_path_, fasta_st);
    if (!index_st.ok()) return index_st.take_error();
    bool build = false;
    if (!*index_st) {
        build = opt.build_index;
    } else if (opt.build_index && opt.rebuild) {
        build = stale(**index_st, fasta_st);
    }
    build = build || opt.always_build;

    std::optional<std::string> old_gzi;
    if (compression == Compression::Bgzf) {
        // The block index is fresh unless it is older than the FASTA; an unknown time counts
        // as fresh, as for the .fai.
        auto gzi_st = index_file_at(f->gzi_path_, fasta_st);
        if (!gzi_st.ok()) return gzi_st.take_error();
        if (*gzi_st && !stale(**gzi_st, fasta_st)) {
            auto bytes = read_index_text(f->gzi_path_);
            if (bytes.ok()) old_gzi = std::move(bytes).value();
        }
    }
    Status opened =
        f->open_indexes(compression == Compression::Bgzf, size, build, std::move(old_gzi));
    if (!opened.ok()) return opened.take_error();
    return f;
}

Result<std::unique_ptr<Faidx>> Faidx::open_remote(std::shared_ptr<const RemoteFile> file,
                                                  Options options) {
    std::unique_ptr<Faidx> f(new Faidx());
    const std::string& url = file->name();
    if (options.mutable_file)
        return FaidxError::value(url + " is a remote file: it cannot be opened for writing");
    f->filename_ = url;
    f->absolute_filename_ = url;
    // A local index path given holds the indexes; else they are read from beside the file and
    // built, when they must be, in memory only.
    f->writable_indexes_ = options.indexname.has_value();
    if (f->writable_indexes_) {
        f->index_path_ = *options.indexname;
        f->absolute_index_path_ = absolute_path(f->index_path_);
        std::string stem = f->index_path_;
        if (stem.size() > 4 && stem.ends_with(".fai")) stem.resize(stem.size() - 4);
        f->gzi_path_ = options.gzi_indexname ? *options.gzi_indexname : stem + ".gzi";
    } else {
        f->index_path_ = f->absolute_index_path_ = url + ".fai";
        f->gzi_path_ = url + ".gzi";
    }
    f->options_ = std::move(options);
    const Options& opt = f->options_;
    const std::uint64_t size = file->size();
    f->source_ = std::make_unique<RemoteSource>(file, url);

    Compression compression = Compression::None;
    {
        ReadScratch scratch;
        auto head = f->source_->read_at(0, std::min<std::uint64_t>(kDetectBytes, kRemoteBlock),
                                        scratch);
        if (!head.ok()) return head.take_error();
        compression = detect_compression(*head);
    }
    if (compression == Compression::Gzip)
        return FaidxError::io(IoError::other(
            url + " is gzip-compressed but not BGZF; recompress it with bgzip"));

    // Which indexes there are: a local one at the path given, else the one beside the file
    // (the one request that asks for it brings its text too).
    const auto local = [](const std::string& path) -> Result<std::optional<std::string>> {
        struct stat st;
        if (has_nul(path) || ::stat(path.c_str(), &st) != 0) return std::optional<std::string>();
        auto text = read_index_text(path);
        if (!text.ok()) return text.take_error();
        return std::optional<std::string>(std::move(text).value());
    };
    const auto find = [&](const std::string& path,
                          std::string_view suffix) -> Result<std::optional<std::string>> {
        if (f->writable_indexes_) {
            auto here = local(path);
            if (!here.ok() || *here) return here;
        }
        return file->sibling(suffix);
    };
    bool build = opt.always_build;
    if (!build) {
        auto fai = find(f->index_path_, ".fai");
        if (!fai.ok()) return fai.take_error();
        if (*fai) {
            f->index_text_ = std::move(*fai);
        } else if (opt.build_index) {
            build = true;
        } else {
            return FaidxError::index_not_found(f->index_path_);
        }
    }
    std::optional<std::string> old_gzi;
    if (compression == Compression::Bgzf && !build) {
        auto gzi = find(f->gzi_path_, ".gzi");
        if (!gzi.ok()) return gzi.take_error();
        old_gzi = std::move(*gzi);
    }
    if (opt.warn && !f->writable_indexes_ &&
        (build || (compression == Compression::Bgzf && !old_gzi)))
        opt.warn("WARNING: " + url + " has no " + (build ? "index" : "block index (.gzi)") +
                 " beside it; reading the whole file to build one in memory (a local index "
                 "path given keeps it)\n");
    Status opened =
        f->open_indexes(compression == Compression::Bgzf, size, build, std::move(old_gzi));
    if (!opened.ok()) return opened.take_error();
    return f;
}

Status Faidx::open_indexes(bool bgzf, std::uint64_t raw_size, bool build,
                           std::optional<std::string> old_gzi) {
    std::vector<Unsaved> unsaved;
    if (bgzf) {
        Status opened = open_bgzf(raw_size, build, std::move(old_gzi), unsaved);
        if (!opened.ok()) return opened;
        compressed_ = true;
        warn_unsaved(options_, unsaved);
        return Ok{};
    }
    if (!build) {
        bool blank = false;
        Status read = read_index(blank);
        if (!read.ok()) return read;
        build = stale_by_rows(options_, index_, raw_size) ||
                lacks_records(blank, [&] { return holds_record(*source_); });
    }
    if (build) {
        auto rows = scan_plain(*source_);
        if (!rows.ok()) return rows.take_error().about(filename_);
        Status written = save(index_path_, format_index(*rows), unsaved);
        if (!written.ok()) return written;
        index_ = Index(std::move(rows).value());
    }
    warn_unsaved(options_, unsaved);
    return Ok{};
}

Status Faidx::save(const std::string& path, std::string_view text,
                   std::vector<Unsaved>& unsaved) const {
    if (!writable_indexes_) return Ok{};
    Status written = write_file_atomically(path, text);
    if (written.ok() || options_.always_build || !is_refused_write(written.error()))
        return written;
    const std::string& where = written.error().payload();
    unsaved.push_back({where.empty() ? path : where, written.error().io_error().os_code});
    return Ok{};
}

Status Faidx::read_index(bool& blank) {
    Index::Text text;
    if (index_text_) {
        text.assign(index_text_->begin(), index_text_->end());
        index_text_.reset();
    } else {
        Status read = read_index_file(index_path_, text);
        if (!read.ok()) return read;
    }
    std::size_t skipped = 0;
    auto index = Index::parse(std::move(text), &skipped);
    if (!index.ok()) return index.take_error().about(index_path_);
    // Rows are skipped as the format allows, but not silently: an index made of such rows is
    // something else's, and the FASTA would open without its sequences.
    if (skipped && options_.warn)
        options_.warn("WARNING: skipped " + std::to_string(skipped) + " malformed row" +
             (skipped == 1 ? "" : "s") + " (not 5 tab-separated fields) of the index " +
             index_path_ + "\n");
    index_ = std::move(index).value();
    blank = index_.empty() && skipped == 0;
    return Ok{};
}

bool Faidx::lacks_records(bool blank, const std::function<bool()>& holds_record) const {
    if (!blank || !holds_record()) return false;
    if (options_.build_index && options_.rebuild) return true;
    if (options_.warn)
        options_.warn("WARNING: the index " + index_path_ + " has no rows, but " + filename_ +
                      " has records; they cannot be read until the index is rebuilt\n");
    return false;
}

Status Faidx::open_bgzf(std::uint64_t raw_size, bool build, std::optional<std::string> old_gzi,
                        std::vector<Unsaved>& unsaved) {
    std::unique_ptr<Source> raw = std::move(source_);
    const std::string& gzi_path = gzi_path_;

    BlockIndex blocks;
    bool blank = false;
    if (!build) {
        Status read = read_index(blank);
        if (!read.ok()) return read;
        std::optional<BlockIndex> loaded;
        if (old_gzi) loaded = blocks_from_gzi(*old_gzi, *raw, raw_size);
        if (loaded) {
            blocks = std::move(*loaded);
        } else {
            auto walked = walk_blocks(*raw, filename_);
            if (!walked.ok()) return shrunk_or(*raw, walked.take_error().about(filename_));
            blocks = std::move(walked).value();
            // The block index only saves the next walk; a directory that cannot take it costs
            // nothing more.
            if (options_.build_index) (void)save(gzi_path, format_gzi(blocks), unsaved);
        }
        build = stale_by_rows(options_, index_, blocks.usize) ||
                lacks_records(blank, [&] { return bgzf_holds_record(*raw, filename_); });
    }
    if (build) {
        FastaScanner scanner;
        auto inflated = inflate_blocks(
            *raw, filename_, [&](std::string_view piece) { return scanner.feed(piece); },
            [&](std::uint64_t pos) { raw->release_before(pos); });
        if (!inflated.ok()) return shrunk_or(*raw, inflated.take_error().about(filename_));
        auto rows = scanner.finish();
        if (!rows.ok()) return rows.take_error().about(filename_);
        blocks = std::move(inflated).value();
        const std::string gzi = format_gzi(blocks);
        if (!old_gzi || *old_gzi != gzi) {
            Status written = save(gzi_path, gzi, unsaved);
            if (!written.ok()) return written;
        }
        Status written = save(index_path_, format_index(*rows), unsaved);
        if (!written.ok()) return written;
        index_ = Index(std::move(rows).value());
    }
    source_ = std::make_unique<BgzfSource>(std::move(raw), raw_size, filename_, gzi_path_,
                                           std::move(blocks));
    return Ok{};
}

Faidx::~Faidx() = default;

Result<ExtractionWindow> Faidx::window(const IndexEntry& entry, std::uint64_t start,
                                       std::uint64_t count) const {
    Result<ExtractionWindow> w = plan_window(*source_, entry, start, count);
    if (!w.ok()) w = w.take_error().about(filename_);
    return w;
}

Result<Extracted> Faidx::extract(const ExtractionWindow& w, char* out, ReadScratch& scratch,
                                 bool share) const {
    Result<Extracted> got = source_->extract(w, out, scratch, share);
    if (!got.ok()) got = got.take_error().about(filename_);
    return got;
}

bool Faidx::read_plain(const IndexEntry& entry, std::uint64_t line, std::size_t count,
                       char* out) const {
    std::uint64_t first;
    if (count > entry.lenc || __builtin_mul_overflow(line, entry.lenc, &first)) return false;
    const std::optional<Place> place = place_of(entry, first, line);
    if (!place) return false;
    if (!source_->copy_plain(place->pos, count, out)) return false;
    if (options_.sequence_always_upper) upper_case(out, count);
    return true;
}

bool Faidx::reads_plain() const { return source_->reads_in_place(); }

std::uint64_t Faidx::bases_held(const IndexEntry& entry) const {
    auto size = source_->size();
    return size.ok() ? bases_within(entry, *size) : entry.rlen;
}

ByteSpan Faidx::span_of(const RegionPlan& plan) const {
    if (plan.kind != RegionPlan::Kind::Extract || !plan.entry || plan.start == 0) return {};
    const std::optional<std::uint64_t> pos = base_position(*plan.entry, plan.start - 1);
    if (!pos) return {};
    std::uint64_t end;
    if (__builtin_add_overflow(*pos, regular_span(*plan.entry, plan.count()), &end))
        end = UINT64_MAX;
    return {*pos, end};
}

bool Faidx::remote() const { return source_->gathers(); }

Status Faidx::prefetch(std::vector<ByteSpan> spans) const {
    if (!source_->gathers()) return Ok{};
    std::sort(spans.begin(), spans.end(),
              [](const ByteSpan& a, const ByteSpan& b) { return a.begin < b.begin; });
    Gathered round;
    for (std::size_t k = 0; k < spans.size();) {
        k += source_->gather(spans, k, round);
        if (round.failure) return std::move(*round.failure);
    }
    return Ok{};
}

void Faidx::finish_bases(std::string& bases, const RegionPlan& plan, bool reverse) const {
    const std::uint64_t count = plan.count();
    if (plan.pad && bases.size() < count && options_.default_seq && !options_.default_seq->empty()) {
        const std::string& pad = *options_.default_seq;
        const std::uint64_t missing = count - bases.size();
        std::uint64_t extra, total;
        if (__builtin_mul_overflow(missing, pad.size(), &extra) ||
            __builtin_add_overflow(extra, bases.size(), &total) || total > bases.max_size())
            throw std::bad_alloc();
        bases.reserve(static_cast<std::size_t>(total));
        for (std::uint64_t i = 0; i < missing; ++i) bases += pad;
    }
    finish_in_place(bases.data(), bases.size(), reverse);
}

}  // namespace nucla::engine
