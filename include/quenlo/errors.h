#pragma once
// The exceptions every call of the library may throw: the message a person
// reads, and a code that stays the same whatever the message's language.
#include <stdexcept>
#include <string>

namespace quenlo {
inline namespace v0 {

class Error : public std::runtime_error {
public:
    // reason: "not-found", "access-denied", "not-regular", "too-large",
    // "bad-size", "invalid", "unsupported", "out-of-memory", "cannot-create",
    // "no-space", "io", "clash", "unsafe-link", "usage", "script",
    // "cancelled" or "error": the codes of the batch report.
    Error(const std::string& reason, const std::string& message);
    const std::string& Reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

// A file could not be read as an image, or an image could not be written.
class ImageError : public Error {
public:
    using Error::Error;
};

// A scene script that cannot be read or rendered; Line() is 1-based, 0 for none.
class ScriptError : public Error {
public:
    ScriptError(const std::string& message, long long line);
    long long Line() const noexcept { return line_; }

private:
    long long line_;
};

// Options that contradict each other or are out of range.
class UsageError : public Error {
public:
    explicit UsageError(const std::string& message);
};

}  // namespace v0
}  // namespace quenlo
