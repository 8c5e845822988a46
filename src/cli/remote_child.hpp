// FASTA files named by URL, for a tool that links no Python: a Python child process runs the
// module's own remote.py (embedded here as text) as a server of byte ranges over two pipes, so
// that the URLs, credentials and settings fsspec knows work as they do in the module. The
// protocol is described at the end of remote.py.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "engine/fd.hpp"
#include "engine/remote.hpp"

namespace nucla::cli {

// The interpreter run for URLs: NUCLA_PYTHON when set, else python3 beside the tool's own
// executable (in a venv, the venv's), else python3 found on PATH.
struct Interpreter {
    std::string program;  // as given to posix_spawnp
    std::string shown;    // how messages name it
};
Interpreter find_python();

class RemoteChild final : public engine::RemoteFile {
public:
    // Starts the child on `url` and takes its first answer: the file's size, or why it cannot
    // be read (a child that cannot start or has no fsspec: a message saying what to install).
    static engine::Result<std::shared_ptr<const RemoteChild>> start(const std::string& url);
    // Closes the pipes, which ends the child, and reaps it (killed if it lingers).
    ~RemoteChild() override;

    RemoteChild(const RemoteChild&) = delete;
    RemoteChild& operator=(const RemoteChild&) = delete;

    const std::string& name() const override { return url_; }
    std::uint64_t size() const override { return size_; }
    engine::Status fetch(const std::vector<engine::ByteSpan>& ranges,
                         std::vector<std::string>& out) const override;
    engine::Result<std::optional<std::string>> sibling(std::string_view suffix) const override;

private:
    struct Head {
        char tag = 0;
        std::uint64_t length = 0;
    };

    RemoteChild(std::string url, Interpreter python, pid_t pid, engine::Fd to_child,
                engine::Fd from_child)
        : url_(std::move(url)), python_(std::move(python)), pid_(pid),
          to_child_(std::move(to_child)), from_child_(std::move(from_child)) {}

    // The next reply's head; else why none came (the child's end, a failed read), with the
    // child reaped when it is gone.
    std::optional<Head> read_head(std::string& why) const;
    // A payload that is text (an error's kind and message, a sibling file) of `length` bytes.
    std::optional<std::string> read_text(std::uint64_t length, std::string& why) const;
    // The engine's error for an E reply of `length` bytes.
    engine::FaidxError error_reply(std::uint64_t length) const;
    // Sends a request, head and payload; false with `why` set when the child no longer reads.
    bool send(std::string_view frame, std::string& why) const;
    // Marks the conversation lost for good (the child gone, or out of step): this call and
    // every later one fail with this error.
    engine::FaidxError lost(const std::string& why) const;
    // How the child ended, waiting a little for it; "" while it runs on.
    std::string reap(int patience_ms) const;

    std::string url_;
    Interpreter python_;
    std::uint64_t size_ = 0;
    // The engine asks on one thread only, but nothing here relies on it.
    mutable std::mutex mutex_;
    mutable pid_t pid_;  // -1 once reaped
    engine::Fd to_child_;
    engine::Fd from_child_;
    mutable std::optional<engine::FaidxError> broken_;
};

}  // namespace nucla::cli
