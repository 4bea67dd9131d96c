#include "imageio/FileIo.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "low/Errors.h"

namespace quenlo {

int OpenRegularFile(const std::string& name) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for a writer or
    // a carrier; anything but a regular file is refused before it is read.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw EInOutError::FromErrno(errno ? errno : ENOENT);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw EInOutError::FromErrno(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        // A folder is refused the way a failed open would be.
        if (S_ISDIR(st.st_mode)) throw EInOutError::FromErrno(EISDIR);
        throw ENotRegularFile();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

TInputFile::TInputFile(const std::string& name) {
    const int fd = OpenRegularFile(name);
    f_ = ::fdopen(fd, "rb");
    if (!f_) {
        const int err = errno;
        ::close(fd);
        throw EInOutError::FromErrno(err ? err : ENOMEM);
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
    if (fstat(fileno(in.Handle()), &st) == 0) {
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
