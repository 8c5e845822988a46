// The engine's one error type and the Result<T> that every fallible engine routine returns.
// Nothing here knows about Python: the binding converts a FaidxError exactly once, at the
// method that called the engine, in words of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace nucla::engine {

// An I/O failure: either an operating-system error number or a message of our own.
struct IoError {
    int os_code = 0;       // errno; 0 when `message` says it all
    std::string message;   // used when os_code is 0

    static IoError from_errno(int code) { return IoError{code, {}}; }
    static IoError other(std::string text) { return IoError{0, std::move(text)}; }

    // "<strerror> (os error N)" for system errors, the message otherwise.
    std::string text() const;
};

class FaidxError {
public:
    enum class Kind {
        FastaNotFound, IndexNotFound, Fetch, Indexing, Io, Region,
        // The variant files' errors, in the words any Python library would use: a bad value
        // (ValueError), an unknown key (KeyError), a file that cannot be read (OSError, with
        // its errno when there is one).
        Value, Key, Os,
        // A client's callback (a remote file's fetch) failed and keeps its own error, which
        // the client reports itself (the binding: a Python exception left set).
        Callback,
    };

    static FaidxError fasta_not_found(std::string path) { return {Kind::FastaNotFound, std::move(path)}; }
    static FaidxError index_not_found(std::string path) { return {Kind::IndexNotFound, std::move(path)}; }
    static FaidxError fetch(std::string message) { return {Kind::Fetch, std::move(message)}; }
    static FaidxError indexing(std::string message) { return {Kind::Indexing, std::move(message)}; }
    static FaidxError region(std::string message) { return {Kind::Region, std::move(message)}; }
    static FaidxError value(std::string message) { return {Kind::Value, std::move(message)}; }
    static FaidxError key(std::string message) { return {Kind::Key, std::move(message)}; }
    static FaidxError callback(std::string message) { return {Kind::Callback, std::move(message)}; }
    // An OSError about `path`: `message` says what, `os_code` is the errno (0 when none).
    static FaidxError os(std::string path, std::string message, int os_code = 0) {
        FaidxError e{Kind::Os, std::move(path)};
        e.io_ = IoError{os_code, std::move(message)};
        return e;
    }
    // `path` names the file concerned, when there is one and the error's text does not.
    static FaidxError io(IoError error, std::string path = {}) {
        FaidxError e{Kind::Io, std::move(path)};
        e.io_ = std::move(error);
        return e;
    }
    static FaidxError io_errno(int code, std::string path = {}) {
        return io(IoError::from_errno(code), std::move(path));
    }
    static FaidxError sequence_not_found(std::string_view name);
    // An Io error: a read found the file at `path` shorter than it was when it was opened.
    static FaidxError file_changed(std::string_view path);

    Kind kind() const { return kind_; }
    // The text of the kind; for Io, the path concerned (empty when unknown).
    const std::string& payload() const { return payload_; }
    const IoError& io_error() const { return io_; }
    // An Io error that names no file yet is about `path`; any other error stays as it is.
    FaidxError about(const std::string& path) &&;

    // What went wrong, without the kind: the payload, or for Io "<path>: <text of the I/O
    // error>" (the text alone when no path is known). Each client puts its own words for the
    // kind before it.
    std::string detail() const;
    // "Fetch error: Sequence 'chrX' not found" and friends: the engine's own wording, embedded
    // in batch messages and the tool's.
    std::string display() const;

private:
    FaidxError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    std::string payload_;
    IoError io_;
};

// A value or a FaidxError, in the spirit of absl::StatusOr.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(FaidxError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }
    const FaidxError& error() const { return std::get<1>(v_); }
    FaidxError&& take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, FaidxError> v_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace nucla::engine
