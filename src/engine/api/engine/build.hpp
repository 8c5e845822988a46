// What this build of the engine was made with, for the tool's --version.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nucla::engine {

// The vector instructions that the scans for line ends and the array copies use: "SSE2" or
// "none" (portable loops).
const char* simd_path();

// One ("BGZF", "libdeflate 1.14")-like pair for each choice the build made, in a fixed order.
std::vector<std::pair<std::string, std::string>> build_features();

}  // namespace nucla::engine
