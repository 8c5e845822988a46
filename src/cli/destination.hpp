// Where the tool's output goes with -o. A regular file, or a new one, is written under a
// temporary name and put in place only once it is whole, its new indexes with it, so that a
// run that fails or is killed half-way leaves the old file and its old indexes as they were;
// a FIFO, a terminal or a device (or a name under /dev or /proc, such as /dev/stdout) is
// written straight. A replaced file keeps its permissions; a hard link to it keeps the old
// contents, as with any file replaced by renaming.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/fd.hpp"
#include "engine/files.hpp"

namespace nucla::cli {

// A regular file that the run reads; no output may replace or truncate it.
struct Input {
    dev_t dev;
    ino_t ino;
};

bool is_input(const struct stat& st, const std::vector<Input>& inputs);

class Destination {
public:
    Destination() = default;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    // Removes the temporary of an output never put in place.
    ~Destination();

    // Opens `path` for the output, refusing it when it is one of `inputs`. Returns "" or why
    // it failed.
    std::string open(const std::string& path, const std::vector<Input>& inputs);

    int fd() const { return replacement_ ? replacement_->fd() : fd_.get(); }

    // Puts the written output in place (or closes it), with `fai` and `gzi`, those given, as its
    // .fai and .gzi. Returns "" or what failed; the old file is then left as it was, with its
    // old indexes or without them.
    std::string commit(const std::string* fai, const std::string* gzi);

private:
    std::string path_;
    std::vector<Input> inputs_;
    engine::Fd fd_;  // written straight
    std::optional<engine::Replacement> replacement_;
};

}  // namespace nucla::cli
