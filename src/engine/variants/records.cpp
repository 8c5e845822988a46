#include "variants/records.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#if NUCLA_HAVE_HTSLIB
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#endif

namespace nucla::engine {

namespace {

// What tells a file that changed since it was opened.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime_ns = 0;

    bool operator==(const Stamp&) const = default;
};

[[maybe_unused]] Result<Stamp> stamp_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FaidxError::os(path, IoError::from_errno(errno).text(), errno);
    return Stamp{st.st_dev, st.st_ino, st.st_size,
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

#if NUCLA_HAVE_HTSLIB

namespace {

// htslib's own messages stay quiet while it works for us: its failures become our errors. The
// level is htslib's, process-wide; it is put back afterwards for whoever else uses htslib.
class QuietHtslib {
public:
    QuietHtslib() : level_(hts_get_log_level()) { hts_set_log_level(HTS_LOG_OFF); }
    ~QuietHtslib() { hts_set_log_level(level_); }
    QuietHtslib(const QuietHtslib&) = delete;
    QuietHtslib& operator=(const QuietHtslib&) = delete;

private:
    htsLogLevel level_;
};

// Decompressed BGZF blocks of the variant file kept for the regions that follow.
constexpr int kBlockCacheBytes = 16 << 20;

FaidxError unreadable(const std::string& path) {
    return FaidxError::os(path, "cannot read it: the file is truncated or corrupt");
}

}  // namespace

struct VariantFile::Impl::Handle {
    htsFile* fp = nullptr;
    bcf_hdr_t* hdr = nullptr;
    tbx_t* tbx = nullptr;       // a bgzipped VCF's index
    hts_idx_t* idx = nullptr;   // a BCF's index
    bool bcf = false;
    Stamp stamp;
    bcf1_t* rec = nullptr;
    kstring_t line = {0, 0, nullptr};
    int32_t* gt = nullptr;
    int gt_size = 0;
    // A file without an index (a plain VCF), read whole once: its records by contig.
    bool scanned = false;
    std::map<std::string, RecordSet, std::less<>> all;

    ~Handle() {
        std::free(gt);
        std::free(line.s);
        if (rec) bcf_destroy(rec);
        if (tbx) tbx_destroy(tbx);
        if (idx) hts_idx_destroy(idx);
        if (hdr) bcf_hdr_destroy(hdr);
        if (fp) hts_close(fp);
    }

    // Appends `rec` to `out`, with the genotypes of the selected sample columns.
    void take(const std::vector<int>& wanted, RecordSet& out) {
        bcf_unpack(rec, BCF_UN_STR | BCF_UN_FMT);
        Record r;
        r.pos = rec->pos;
        r.alleles.reserve(rec->n_allele);
        for (int a = 0; a < rec->n_allele; ++a) r.alleles.emplace_back(rec->d.allele[a]);
        if (r.alleles.empty()) r.alleles.emplace_back();
        r.gt = static_cast<std::uint32_t>(out.gt.size());
        const int values = bcf_get_genotypes(hdr, rec, &gt, &gt_size);
        const int in_file = bcf_hdr_nsamples(hdr);
        const int ploidy = values > 0 && in_file > 0 ? values / in_file : 0;
        const auto decode = [](std::int32_t v) {
            if (v == bcf_int32_vector_end) return kAbsent;
            if (bcf_gt_is_missing(v)) return kMissing;
            return static_cast<std::int32_t>(bcf_gt_allele(v));
        };
        for (int column : wanted) {
            const int32_t* call = gt + static_cast<std::ptrdiff_t>(column) * ploidy;
            out.gt.push_back(ploidy > 0 ? decode(call[0]) : kMissing);
            out.gt.push_back(ploidy > 1 ? decode(call[1]) : kAbsent);
        }
        out.records.push_back(std::move(r));
    }

    // The next record of an iterator (or of the whole file, with itr null): 0, -1 at the end,
    // less on failure.
    int next(hts_itr_t* itr) {
        if (!itr) return bcf_read(fp, hdr, rec);
        if (bcf) return bcf_itr_next(fp, itr, rec);
        const int got = tbx_itr_next(fp, tbx, itr, &line);
        if (got < 0) return got;
        return vcf_parse1(&line, hdr, rec) < 0 ? -2 : 0;
    }
};

VariantFile::Impl::~Impl() { delete handle; }

Result<std::unique_ptr<VariantFile>> VariantFile::open(const std::string& path,
                                                       VariantOptions options) {
    auto stamp = stamp_of(path);
    if (!stamp.ok()) return stamp.take_error();
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->options = std::move(options);
    impl->handle = new Impl::Handle();
    Impl::Handle& h = *impl->handle;
    h.stamp = *stamp;
    QuietHtslib quiet;
    errno = 0;
    h.fp = hts_open(path.c_str(), "r");
    if (!h.fp) {
        const int code = errno;
        return FaidxError::os(path, code ? IoError::from_errno(code).text() : "cannot open it",
                              code);
    }
    const htsFormat* format = hts_get_format(h.fp);
    if (format->format != vcf && format->format != bcf)
        return FaidxError::value(path + " is not a VCF or BCF file");
    if (format->compression == gzip)
        return FaidxError::value(path + " is compressed with gzip, not bgzip: recompress it with "
                                        "`bgzip` and index it with `bcftools index`");
    h.bcf = format->format == bcf;
    h.hdr = bcf_hdr_read(h.fp);
    if (!h.hdr) return FaidxError::value(path + " has no VCF header that can be read");
    h.rec = bcf_init();
    if (!h.rec) throw std::bad_alloc();
    if (format->compression == bgzf) {
        if (h.bcf) {
            h.idx = bcf_index_load3(path.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
        } else {
            h.tbx = tbx_index_load3(path.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
        }
        if (!h.idx && !h.tbx)
            return FaidxError::value(path + " has no index (.tbi or .csi beside it): make one "
                                            "with `bcftools index " + path + "`");
        // Regions are read in position order, so neighbours share blocks: keep the recent
        // ones decompressed.
        hts_set_cache_size(h.fp, kBlockCacheBytes);
    }
    const int columns = bcf_hdr_nsamples(h.hdr);
    if (impl->options.samples) {
        for (const std::string& name : *impl->options.samples) {
            const int column = bcf_hdr_id2int(h.hdr, BCF_DT_SAMPLE, name.c_str());
            if (column < 0 || column >= columns)
                return FaidxError::key("sample '" + name + "' is not in " + path);
            impl->samples.push_back(name);
            impl->columns.push_back(column);
        }
    } else {
        for (int column = 0; column < columns; ++column) {
            impl->samples.emplace_back(h.hdr->samples[column]);
            impl->columns.push_back(column);
        }
    }
    return std::unique_ptr<VariantFile>(new VariantFile(std::move(impl)));
}

Status VariantFile::Impl::check_unchanged() const {
    auto now = stamp_of(path);
    if (!now.ok()) return now.take_error();
    if (!(*now == handle->stamp))
        return FaidxError::os(path, "the file changed since it was opened");
    return Ok{};
}

Status VariantFile::Impl::read(std::string_view contig, std::int64_t beg, std::int64_t end,
                               RecordSet& out) const {
    std::lock_guard<std::mutex> lock(mutex);
    Handle& h = *handle;
    QuietHtslib quiet;
    const auto keep = [&](const Record& r) { return r.pos < end && r.end() > beg; };
    if (!h.tbx && !h.idx) {
        // No index: the whole file, once, kept by contig.
        if (!h.scanned) {
            int got;
            while ((got = h.next(nullptr)) == 0) {
                const char* name = bcf_seqname_safe(h.hdr, h.rec);
                auto it = h.all.find(std::string_view(name));
                if (it == h.all.end()) it = h.all.emplace(name, RecordSet{}).first;
                h.take(columns, it->second);
            }
            if (got < -1) return unreadable(path);
            h.scanned = true;
        }
        const auto it = h.all.find(contig);
        if (it == h.all.end()) return Ok{};
        const RecordSet& all = it->second;
        for (const Record& r : all.records) {
            if (!keep(r)) continue;
            Record copy = r;
            copy.gt = static_cast<std::uint32_t>(out.gt.size());
            out.gt.insert(out.gt.end(), all.gt.begin() + r.gt,
                          all.gt.begin() + r.gt + 2 * columns.size());
            out.records.push_back(std::move(copy));
        }
        return Ok{};
    }
    const std::string name(contig);
    const int tid = h.bcf ? bcf_hdr_name2id(h.hdr, name.c_str()) : tbx_name2id(h.tbx, name.c_str());
    if (tid < 0) return Ok{};
    hts_itr_t* itr = h.bcf ? bcf_itr_queryi(h.idx, tid, beg, end)
                           : tbx_itr_queryi(h.tbx, tid, beg, end);
    if (!itr) return Ok{};  // nothing of the contig is indexed
    int got;
    while ((got = h.next(itr)) >= 0) {
        const std::size_t before = out.records.size();
        h.take(columns, out);
        if (!keep(out.records.back())) {
            out.gt.resize(out.records.back().gt);
            out.records.resize(before);
        }
    }
    hts_itr_destroy(itr);
    if (got < -1) return unreadable(path);
    return Ok{};
}

#else  // no htslib in this build

struct VariantFile::Impl::Handle {};

VariantFile::Impl::~Impl() = default;

Status VariantFile::Impl::check_unchanged() const { return Ok{}; }

Result<std::unique_ptr<VariantFile>> VariantFile::open(const std::string& path,
                                                       VariantOptions) {
    return FaidxError::os(path, "this build of nucla has no htslib, which reads VCF and BCF "
                                "files: install htslib's headers (libhts-dev) and reinstall");
}

Status VariantFile::Impl::read(std::string_view, std::int64_t, std::int64_t, RecordSet&) const {
    return Ok{};
}

#endif

VariantFile::VariantFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VariantFile::~VariantFile() = default;
const std::string& VariantFile::path() const { return impl_->path; }
const std::vector<std::string>& VariantFile::samples() const { return impl_->samples; }
const VariantOptions& VariantFile::options() const { return impl_->options; }

std::string htslib_version() {
#if NUCLA_HAVE_HTSLIB
    return std::string("htslib ") + hts_version();
#else
    return "none";
#endif
}

}  // namespace nucla::engine
