#pragma once
// The library's internal errors as the public classes of quenlo/errors.h.
#include <exception>
#include <string>

namespace quenlo {

// Rethrows the exception in hand as an Error subclass: a script error as
// ScriptError, anything else as ImageError with its report code. A message
// not naming its file is prefixed with about ("a.png: ...") unless empty.
[[noreturn]] void ThrowPublic(std::exception_ptr error, const std::string& about = {});

// Runs f, translating whatever it throws.
template <class F>
auto Translated(F&& f, const std::string& about = {}) -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        ThrowPublic(std::current_exception(), about);
    }
}

}  // namespace quenlo
