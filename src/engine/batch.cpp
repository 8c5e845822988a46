#include "engine/batch.hpp"

#include <cerrno>
#include <new>
#include <optional>

#include "engine/pool.hpp"

namespace nucla::engine {

std::vector<Result<Sequence>> fetch_many_parallel(const Faidx& faidx,
                                                  const std::vector<Region>& regions) {
    std::vector<std::optional<Result<Sequence>>> slots(regions.size());
    parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
        ReadScratch scratch;
        for (std::size_t i = begin; i < end; ++i) {
            const Region& r = regions[i];
            try {
                slots[i].emplace(faidx.fetch_single_optimized(r.name, r.start, r.end, scratch));
            } catch (const std::bad_alloc&) {
                slots[i].emplace(FaidxError::io(IoError::from_errno(ENOMEM)));
            }
        }
    });
    std::vector<Result<Sequence>> out;
    out.reserve(slots.size());
    for (auto& slot : slots) out.push_back(std::move(*slot));
    return out;
}

}  // namespace nucla::engine
