// A remote file as a source: its bytes in aligned blocks of kRemoteBlock, fetched through the
// client's RemoteFile and kept in the process-wide block cache. Reads outside a batch fetch the
// blocks they miss, one request per run of missing blocks (a run that follows the last one
// fetched reads ahead, for scans, iteration and long fetches); a batch gathers all its blocks
// first, in one round per half-cache of blocks (or per region, for a region longer than that),
// and its reads take them from the round (Gathered) alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/remote.hpp"
#include "read/source.hpp"

namespace nucla::engine {

using RemoteBlock = std::shared_ptr<const std::string>;

// The blocks one round of a batch holds, whatever the cache drops meanwhile, and the failure
// that fetching them met.
class Gathered {
public:
    const void* owner = nullptr;  // the RemoteSource they belong to
    std::vector<std::pair<std::uint64_t, RemoteBlock>> blocks;  // by block number, ascending
    std::optional<FaidxError> failure;

    const RemoteBlock* find(std::uint64_t block) const;
    void clear() {
        owner = nullptr;
        blocks.clear();
        failure.reset();
    }
};

class RemoteSource final : public Source {
public:
    RemoteSource(std::shared_ptr<const RemoteFile> file, std::string path);
    ~RemoteSource() override;

    Result<std::uint64_t> size() const override { return size_; }
    // Outside a batch: all of the `want` bytes (up to the end), fetching what the cache lacks.
    // Within one: the bytes from `pos` on that the round holds, contiguously.
    Result<std::string_view> read_at(std::uint64_t pos, std::size_t want,
                                     ReadScratch& scratch) const override;
    // A window reads no byte past its bases: the cache keeps whole blocks anyway, and a byte
    // more may cost a block more.
    std::size_t least_read() const override { return 1; }
    bool gathers() const override { return true; }
    std::size_t gather(const std::vector<ByteSpan>& spans, std::size_t first,
                       Gathered& into) const override;

private:
    // Fetches the blocks ids[i] (ascending) for which have[i] is empty, one request per run of
    // consecutive ones, and fills them in, adding them to the cache.
    Status fetch_missing(const std::vector<std::uint64_t>& ids,
                         std::vector<RemoteBlock>& have) const;
    std::uint64_t blocks() const { return (size_ + kRemoteBlock - 1) / kRemoteBlock; }

    std::shared_ptr<const RemoteFile> file_;
    std::uint64_t size_;
    std::uint64_t id_;  // the cache's key for this source's blocks
    // The block after the last run fetched outside a batch: a miss there is a scan's next
    // step, and reads ahead, twice as far as the step before (up to kMaxAhead blocks).
    mutable std::atomic<std::uint64_t> next_run_{UINT64_MAX};
    mutable std::atomic<std::uint64_t> ahead_{1};
};

}  // namespace nucla::engine
