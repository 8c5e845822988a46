#include "engine/errors.hpp"

#include "system/platform.hpp"

namespace nucla::engine {

std::string IoError::text() const {
    if (os_code == 0) return message;
    return system_error_text(os_code) + " (os error " + std::to_string(os_code) + ")";
}

FaidxError FaidxError::about(const std::string& path) && {
    if (kind_ == Kind::Io && payload_.empty()) payload_ = path;
    return std::move(*this);
}

std::string FaidxError::detail() const {
    if (kind_ == Kind::Os) return io_.message.empty() ? io_.text() : io_.message;
    if (kind_ != Kind::Io) return payload_;
    return payload_.empty() ? io_.text() : payload_ + ": " + io_.text();
}

FaidxError FaidxError::sequence_not_found(std::string_view name) {
    std::string message = "Sequence '";
    message.append(name);
    message += "' not found";
    return fetch(std::move(message));
}

FaidxError FaidxError::file_changed(std::string_view path) {
    return io(IoError::other("the file ended early (it was truncated or changed while open)"),
              std::string(path));
}

std::string FaidxError::display() const {
    switch (kind_) {
        case Kind::FastaNotFound: return "FASTA file not found: " + detail();
        case Kind::IndexNotFound: return "Index file not found: " + detail();
        case Kind::Fetch: return "Fetch error: " + detail();
        case Kind::Indexing: return "Indexing error: " + detail();
        case Kind::Io: return "IO error: " + detail();
        case Kind::Region: return "Invalid region: " + detail();
        case Kind::Value:
        case Kind::Key:
        case Kind::Callback:
            return detail();
        case Kind::Os: return payload_ + ": " + detail();
    }
    return detail();
}

}  // namespace nucla::engine
