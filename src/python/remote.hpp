// FASTA files named by URL, opened through fsspec (remote.cpp, remote.py).
#pragma once

#include <memory>
#include <string>

#include "engine/reader.hpp"
#include "py.hpp"

namespace nucla::py {

// Whether `filename` names a remote file: a URL ("scheme://...") that is not a local path
// that exists.
bool is_remote_name(const std::string& filename);

// Opens the remote file at `url`; nullptr with the exception set when it cannot be (ImportError
// without fsspec, the engine's errors for a missing or unreadable file).
std::unique_ptr<engine::Faidx> open_remote(const std::string& url, const engine::Options& options);

}  // namespace nucla::py
