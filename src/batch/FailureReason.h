#pragma once
// A stable, machine-readable code for why an item failed, beside the text a
// person reads, so that scripts reading a report never parse messages.
#include <exception>
#include <string>

namespace quenlo {

// One of: "not-found", "access-denied", "not-regular", "too-large",
// "bad-size", "invalid", "unsupported", "out-of-memory", "cannot-create",
// "no-space", "io", "clash", "unsafe-link", "error".
const char* FailureReason(const std::exception& e);
const char* FailureReason(std::exception_ptr error);

}  // namespace quenlo
