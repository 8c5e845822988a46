// FASTA files named by URL, opened through fsspec (remote.cpp, remote.py).
#pragma once

#include <memory>
#include <string>

#include "engine/reader.hpp"
#include "py.hpp"

namespace nucla::py {

// Opens the remote file at `url`; nullptr with the exception set when it cannot be (ImportError
// without fsspec, the engine's errors for a missing or unreadable file).
std::unique_ptr<engine::Faidx> open_remote(const std::string& url, const engine::Options& options);

}  // namespace nucla::py
