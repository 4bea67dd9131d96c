#include "api/Translate.h"

#include "batch/FailureReason.h"
#include "low/Errors.h"
#include "quenlo/errors.h"
#include "scene/script/SceneRead.h"

namespace quenlo {

inline namespace v0 {

Error::Error(const std::string& reason, const std::string& message) : std::runtime_error(message), reason_(reason) {}
ScriptError::ScriptError(const std::string& message, long long line) : Error("script", message), line_(line) {}
UsageError::UsageError(const std::string& message) : Error("usage", message) {}

}  // namespace v0

void ThrowPublic(std::exception_ptr error, const std::string& about) {
    auto named = [&](const std::string& message) {
        return about.empty() || message.find(about) != std::string::npos ? message : about + ": " + message;
    };
    try {
        std::rethrow_exception(error);
    } catch (const Error&) {
        throw;
    } catch (const EScriptError& e) {
        throw ScriptError(e.what(), e.Line());
    } catch (const std::exception& e) {
        throw ImageError(FailureReason(e), named(DescribeError(e)));
    } catch (...) {
        throw Error("error", "unknown error");
    }
}

}  // namespace quenlo
