#include "read/remote.hpp"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <list>
#include <mutex>
#include <numeric>
#include <unordered_map>

namespace nucla::engine {

namespace {

// Farthest a scan reads ahead, and the longest range one request asks for, in blocks (4 MiB
// and 1 MiB): a long read ahead goes out as several requests at once.
constexpr std::uint64_t kMaxAhead = (std::uint64_t{4} << 20) / kRemoteBlock;
constexpr std::uint64_t kMaxRun = (std::uint64_t{1} << 20) / kRemoteBlock;

// The process's remote blocks, least recently used dropped first. Never destroyed: a thread may
// still read when the process exits.
class BlockStore {
public:
    static BlockStore& instance() {
        static BlockStore* store = [] {
            auto* s = new BlockStore();
            // A child forks with the lock free and the cache whole, whatever another thread of
            // the parent was doing.
            ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                             [] { instance().mutex_.unlock(); });
            return s;
        }();
        return *store;
    }

    RemoteBlock find(std::uint64_t source, std::uint64_t block) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = map_.find(Key{source, block});
        if (it == map_.end()) return nullptr;
        lru_.splice(lru_.begin(), lru_, it->second);
        return it->second->data;
    }

    void put(std::uint64_t source, std::uint64_t block, RemoteBlock data) {
        std::lock_guard<std::mutex> lock(mutex_);
        const Key key{source, block};
        if (auto it = map_.find(key); it != map_.end()) drop(it->second);
        bytes_ += data->size();
        lru_.push_front(Entry{key, std::move(data)});
        map_.emplace(key, lru_.begin());
        trim();
    }

    void forget(std::uint64_t source) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = lru_.begin(); it != lru_.end();) {
            auto next = std::next(it);
            if (it->key.source == source) drop(it);
            it = next;
        }
    }

    std::uint64_t capacity() {
        std::lock_guard<std::mutex> lock(mutex_);
        return capacity_;
    }
    void set_capacity(std::uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        capacity_ = bytes;
        trim();
    }

private:
    struct Key {
        std::uint64_t source;
        std::uint64_t block;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const noexcept {
            return std::hash<std::uint64_t>()(k.source * 0x9E3779B97F4A7C15ull ^ k.block);
        }
    };
    struct Entry {
        Key key;
        RemoteBlock data;
    };

    void drop(std::list<Entry>::iterator it) {
        bytes_ -= it->data->size();
        map_.erase(it->key);
        lru_.erase(it);
    }
    void trim() {
        while (bytes_ > capacity_ && !lru_.empty()) drop(std::prev(lru_.end()));
    }

    std::mutex mutex_;
    std::list<Entry> lru_;  // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, Hash> map_;
    std::uint64_t bytes_ = 0;
    std::uint64_t capacity_ = std::uint64_t{256} << 20;
};

std::atomic<std::uint64_t> next_source_id{1};

FaidxError not_gathered(const std::string& path, std::uint64_t pos) {
    return FaidxError::io(
        IoError::other("byte " + std::to_string(pos) +
                       " lies outside what this batch fetched (the index does not match "
                       "the file's lines)"),
        path);
}

}  // namespace

std::uint64_t remote_cache_bytes() { return BlockStore::instance().capacity(); }
void set_remote_cache_bytes(std::uint64_t bytes) { BlockStore::instance().set_capacity(bytes); }

std::optional<std::uint64_t> parse_byte_size(std::string_view text) {
    std::uint64_t n = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(n, 10, &n) ||
            __builtin_add_overflow(n, static_cast<std::uint64_t>(text[i] - '0'), &n))
            return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    unsigned shift = 0;
    if (i < text.size()) {
        const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0;
        if (shift) ++i;
    }
    if (i < text.size() && (text[i] == 'B' || text[i] == 'b')) ++i;
    if (i != text.size() || (shift && n > (UINT64_MAX >> shift))) return std::nullopt;
    return n << shift;
}

Status set_remote_cache_from(const char* setting) {
    if (!setting || !*setting) return Ok{};
    const std::optional<std::uint64_t> bytes = parse_byte_size(setting);
    if (!bytes)
        return FaidxError::value(std::string("NUCLA_REMOTE_CACHE must be a size such as 512M or "
                                             "2G, not '") + setting + "'");
    set_remote_cache_bytes(*bytes);
    return Ok{};
}

bool is_remote_name(const std::string& name) {
    const std::size_t colon = name.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    struct stat st;
    return name.find('\0') != std::string::npos || ::stat(name.c_str(), &st) != 0;
}

FaidxError remote_failure(std::string_view kind, std::string message, const std::string& url) {
    if (kind == "missing") return FaidxError::fasta_not_found(url);
    if (kind == "changed")
        message = "the file changed since it was opened" +
                  (message.empty() ? std::string() : " (" + message + ")");
    return FaidxError::io(IoError::other(std::move(message)), url);
}

const RemoteBlock* Gathered::find(std::uint64_t block) const {
    auto it = std::lower_bound(blocks.begin(), blocks.end(), block,
                               [](const auto& entry, std::uint64_t b) { return entry.first < b; });
    return it != blocks.end() && it->first == block ? &it->second : nullptr;
}

std::size_t Source::gather(const std::vector<ByteSpan>& spans, std::size_t first,
                           Gathered&) const {
    return spans.size() - first;
}

RemoteSource::RemoteSource(std::shared_ptr<const RemoteFile> file, std::string path)
    : Source(std::move(path)), file_(std::move(file)), size_(file_->size()),
      id_(next_source_id.fetch_add(1)) {}

RemoteSource::~RemoteSource() { BlockStore::instance().forget(id_); }

Status RemoteSource::fetch_missing(const std::vector<std::uint64_t>& ids,
                                   std::vector<RemoteBlock>& have) const {
    // One range per run of consecutive missing blocks.
    std::vector<ByteSpan> ranges;
    std::vector<std::size_t> firsts;  // index in `ids` of each range's first block
    for (std::size_t i = 0; i < ids.size();) {
        if (have[i]) {
            ++i;
            continue;
        }
        std::size_t e = i + 1;
        while (e < ids.size() && e - i < kMaxRun && !have[e] && ids[e] == ids[e - 1] + 1) ++e;
        ranges.push_back({ids[i] * kRemoteBlock, std::min((ids[e - 1] + 1) * kRemoteBlock, size_)});
        firsts.push_back(i);
        i = e;
    }
    if (ranges.empty()) return Ok{};
    std::vector<std::string> out;
    Status fetched = file_->fetch(ranges, out);
    if (!fetched.ok()) return fetched;
    BlockStore& store = BlockStore::instance();
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const std::string& bytes = out[r];
        if (bytes.size() != ranges[r].end - ranges[r].begin)
            return FaidxError::io(IoError::other("a range request came back short"), path());
        std::size_t i = firsts[r];
        for (std::uint64_t off = 0; off < bytes.size(); off += kRemoteBlock, ++i) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kRemoteBlock,
                                                                            bytes.size() - off));
            auto block = std::make_shared<const std::string>(bytes.data() + off, n);
            store.put(id_, ids[i], block);
            have[i] = std::move(block);
        }
    }
    return Ok{};
}

Result<std::string_view> RemoteSource::read_at(std::uint64_t pos, std::size_t want,
                                               ReadScratch& scratch) const {
    if (pos >= size_ || want == 0) return std::string_view{};
    const std::uint64_t n = std::min<std::uint64_t>(want, size_ - pos);
    const std::uint64_t from = pos / kRemoteBlock;
    std::uint64_t to = (pos + n - 1) / kRemoteBlock + 1;
    std::vector<RemoteBlock> have;
    if (scratch.gathered && scratch.gathered->owner == this) {
        // A batch's round: what it holds, from `pos` on, and nothing fetched.
        const Gathered& round = *scratch.gathered;
        for (std::uint64_t b = from; b < to; ++b) {
            const RemoteBlock* block = round.find(b);
            if (!block) break;
            have.push_back(*block);
        }
        if (have.empty()) return round.failure ? *round.failure : not_gathered(path(), pos);
    } else {
        BlockStore& store = BlockStore::instance();
        const bool scan = from == next_run_.load(std::memory_order_relaxed);
        if (scan) {
            const std::uint64_t ahead = ahead_.load(std::memory_order_relaxed);
            to = std::min(blocks(), std::max(to, from + ahead));
        }
        have.resize(to - from);
        bool missing = false;
        for (std::uint64_t b = from; b < to; ++b) {
            have[b - from] = store.find(id_, b);
            missing |= !have[b - from];
        }
        if (missing) {
            std::vector<std::uint64_t> ids(to - from);
            std::iota(ids.begin(), ids.end(), from);
            Status fetched = fetch_missing(ids, have);
            if (!fetched.ok()) return fetched.take_error();
            const std::uint64_t ahead = ahead_.load(std::memory_order_relaxed);
            ahead_.store(scan ? std::min(ahead * 2, kMaxAhead) : 1, std::memory_order_relaxed);
            next_run_.store(to, std::memory_order_relaxed);
        }
    }
    // One block is viewed where it is; a read across blocks is copied together.
    const std::uint64_t offset = pos - from * kRemoteBlock;
    const RemoteBlock& first = have.front();
    if (offset + n <= first->size() || have.size() == 1) {
        const std::uint64_t len = std::min<std::uint64_t>(n, first->size() - offset);
        scratch.held = first;
        return std::string_view(first->data() + offset, static_cast<std::size_t>(len));
    }
    std::string& buffer = scratch.buffer;
    buffer.clear();
    std::uint64_t at = offset;
    for (const RemoteBlock& block : have) {
        if (buffer.size() >= n) break;
        const std::uint64_t len = std::min<std::uint64_t>(block->size() - at, n - buffer.size());
        buffer.append(block->data() + at, static_cast<std::size_t>(len));
        at = 0;
    }
    return std::string_view(buffer);
}

std::size_t RemoteSource::gather(const std::vector<ByteSpan>& spans, std::size_t first,
                                 Gathered& into) const {
    into.clear();
    into.owner = this;
    const std::uint64_t budget =
        std::max<std::uint64_t>(BlockStore::instance().capacity() / 2 / kRemoteBlock, 1);
    std::vector<std::uint64_t> ids;
    std::size_t k = first;
    for (; k < spans.size(); ++k) {
        const ByteSpan& s = spans[k];
        if (s.end <= s.begin || s.begin >= size_) continue;
        const std::uint64_t b0 = s.begin / kRemoteBlock;
        const std::uint64_t b1 = (std::min(s.end, size_) - 1) / kRemoteBlock;
        const std::uint64_t lo = ids.empty() ? b0 : std::max(b0, ids.back() + 1);
        if (lo > b1) continue;
        if (!ids.empty() && ids.size() + (b1 - lo + 1) > budget) break;
        for (std::uint64_t b = lo; b <= b1; ++b) ids.push_back(b);
    }
    if (ids.empty()) return std::max<std::size_t>(k - first, 1);
    std::vector<RemoteBlock> have(ids.size());
    BlockStore& store = BlockStore::instance();
    for (std::size_t i = 0; i < ids.size(); ++i) have[i] = store.find(id_, ids[i]);
    Status fetched = fetch_missing(ids, have);
    if (!fetched.ok()) into.failure.emplace(fetched.take_error());
    into.blocks.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (have[i]) into.blocks.emplace_back(ids[i], std::move(have[i]));
    }
    return std::max<std::size_t>(k - first, 1);
}

}  // namespace nucla::engine
