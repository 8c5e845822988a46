#include "engine/build.hpp"

#include "read/bgzf.hpp"
#include "variants/records.hpp"

namespace nucla::engine {

const char* simd_path() {
#if defined(__SSE2__)
    return "SSE2";
#else
    return "none";
#endif
}

std::vector<std::pair<std::string, std::string>> build_features() {
    return {{"BGZF", bgzf_library()}, {"VCF", htslib_version()}, {"SIMD", simd_path()}};
}

}  // namespace nucla::engine
