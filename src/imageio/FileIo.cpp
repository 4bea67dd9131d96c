#include "imageio/FileIo.h"

#include <cerrno>
#include <sys/stat.h>

#include "low/Errors.h"

namespace quenlo {

TInputFile::TInputFile(const std::string& name) {
    errno = 0;
    f_ = std::fopen(name.c_str(), "rb");
    if (!f_) throw EInOutError::FromErrno(errno ? errno : ENOENT);
    // A folder opens on POSIX but reads fail; refuse it the way a failed open would.
    struct stat st {};
    if (fstat(fileno(f_), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f_);
        f_ = nullptr;
        throw EInOutError::FromErrno(EISDIR);
    }
}

TInputFile::~TInputFile() {
    if (f_) std::fclose(f_);
}

size_t TInputFile::Read(void* dst, size_t n) {
    const size_t got = std::fread(dst, 1, n, f_);
    if (got < n && std::ferror(f_)) throw EInOutError::FromErrno(errno ? errno : EIO);
    return got;
}

std::vector<uint8_t> ReadFileBytes(const std::string& name, size_t maxBytes) {
    TInputFile in(name);
    std::vector<uint8_t> bytes;
    struct stat st {};
    if (fstat(fileno(in.Handle()), &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > maxBytes) throw EInOutError::FromErrno(EFBIG);
        bytes.reserve(static_cast<size_t>(st.st_size));
    }
    uint8_t chunk[1 << 16];
    for (;;) {
        const size_t got = in.Read(chunk, sizeof chunk);
        if (bytes.size() + got > maxBytes) throw EInOutError::FromErrno(EFBIG);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    return bytes;
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace quenlo
