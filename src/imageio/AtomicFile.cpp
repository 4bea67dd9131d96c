#include "imageio/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"

namespace quenlo {

namespace {
// The mode a plainly created file would get (0666 less the umask). umask
// can only be read by setting it, so do that once.
mode_t DefaultFileMode() {
    static std::once_flag once;
    static mode_t mode = 0644;
    std::call_once(once, [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        mode = 0666 & ~mask;
    });
    return mode;
}
}  // namespace

TAtomicFile::TAtomicFile(const std::string& target) : target_(target) {
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes cannot be replaced by renaming; write them in place.
        fd_ = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw EFCreateError(target);
        return;
    }
    // Renaming over a file needs only the folder's permission, so a
    // read-only (or immutable) target is checked for itself.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) throw EFCreateError(target);
    std::string dir = ExtractFileDir(target);
    std::string pattern = (dir.empty() ? std::string() : dir + kPathDelim) + "." + ExtractFileName(target) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) throw EFCreateError(target);
    temp_ = name.data();
    // Keep an existing file's permissions; a new file gets the usual ones.
    ::fchmod(fd_, exists ? (st.st_mode & 07777) : DefaultFileMode());
}

TAtomicFile::~TAtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void TAtomicFile::Write(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd_, data, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw EInOutError::FromErrno(errno);
        }
        if (put == 0) throw EInOutError::FromErrno(ENOSPC);
        data += put;
        n -= static_cast<size_t>(put);
    }
}

void TAtomicFile::Commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw EInOutError::FromErrno(errno);
    if (temp_.empty()) return;
#ifdef RENAME_EXCHANGE
    // Over an existing file, swap the two names and drop the old file. A
    // plain rename over it makes ext4 flush the new file's data at once,
    // which costs more than writing it did.
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(temp_.c_str());  // now the old content
        temp_.clear();
        return;
    }
#endif
    if (::rename(temp_.c_str(), target_.c_str()) != 0) throw EInOutError::FromErrno(errno);
    temp_.clear();
}

}  // namespace quenlo
