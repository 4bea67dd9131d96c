#include "batch/FailureReason.h"

#include <cerrno>
#include <new>

#include "low/Errors.h"

namespace quenlo {

const char* FailureReason(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "out-of-memory";
    if (dynamic_cast<const ENotRegularFile*>(&e)) return "not-regular";
    if (const auto* io = dynamic_cast<const EInOutError*>(&e)) {
        switch (io->Code()) {
            case 2: return "not-found";
            case 5: return "access-denied";
            case ENOSPC: case EDQUOT: return "no-space";
            default: return "io";
        }
    }
    if (dynamic_cast<const EImageTooLarge*>(&e)) return "too-large";
    if (dynamic_cast<const EInvalidImageSize*>(&e)) return "bad-size";
    if (dynamic_cast<const EInvalidGraphic*>(&e) || dynamic_cast<const EJpegError*>(&e)) return "invalid";
    if (dynamic_cast<const EFCreateError*>(&e)) return "cannot-create";
    return "error";
}

const char* FailureReason(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return FailureReason(e);
    } catch (...) {
        return "error";
    }
}

}  // namespace quenlo
