#include "engine/build.hpp"

#include "read/bgzf.hpp"
#include "system/simd.hpp"
#include "variants/records.hpp"

namespace nucla::engine {

const char* simd_path() {
#if NUCLA_SSE2
    return "SSE2";
#elif NUCLA_NEON
    return "NEON";
#else
    return "none";
#endif
}

std::vector<std::pair<std::string, std::string>> build_features() {
    return {{"BGZF", bgzf_library()}, {"VCF", htslib_version()}, {"SIMD", simd_path()}};
}

}  // namespace nucla::engine
