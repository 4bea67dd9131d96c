#include "imageio/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
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

// Named temporaries that a signal handler may have to remove. Slots hold
// heap copies of the names, published and taken back atomically, so the
// handler reads them without a lock.
constexpr size_t kTempSlots = 4096;
std::atomic<char*> gTemps[kTempSlots];

void Register(const std::string& name) {
    char* copy = ::strdup(name.c_str());
    if (!copy) return;
    for (auto& slot : gTemps) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, copy)) return;
    }
    std::free(copy);  // more temporaries than slots: this one is not removed on a signal
}

void Unregister(const std::string& name) {
    for (auto& slot : gTemps) {
        char* held = slot.load();
        if (held && name == held && slot.compare_exchange_strong(held, nullptr)) {
            std::free(held);
            return;
        }
    }
}

std::atomic<void (*)(int)> gFarewell{nullptr};

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kHandledSignals) sigaddset(&set, sig);
    return set;
}

void RemoveTemporariesAndExit(int sig) {
    for (auto& slot : gTemps)
        if (char* name = slot.load()) ::unlink(name);
    if (void (*farewell)(int) = gFarewell.load()) farewell(sig);
    ::_exit(128 + sig);
}

// A symbolic link's final target, so that writing replaces that file and
// keeps the link. A name that is no link (or a dangling link's end) stays.
std::string ResolveLinks(const std::string& name) {
    std::string path = name;
    char buf[PATH_MAX];
    for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return path;
        std::string link(buf, static_cast<size_t>(n));
        const std::string dir = ExtractFileDir(path);
        path = link.front() == '/' || dir.empty() ? link : dir + kPathDelim + link;
    }
    return path;
}

// Linking an unnamed file needs /proc (linkat with AT_EMPTY_PATH needs a capability).
bool CanLinkUnnamed() {
    static const bool ok = ::access("/proc/self/fd", X_OK) == 0;
    return ok;
}

// ".quenlo-" and six random letters in dir: short, so any target name fits.
std::string ShortTempName(const std::string& dir) {
    static std::atomic<uint64_t> counter{std::random_device{}()};
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint64_t v = counter.fetch_add(0x9E3779B97F4A7C15ull) ^ static_cast<uint64_t>(::getpid()) << 32;
    std::string name = ".quenlo-";
    for (int i = 0; i < 6; ++i, v /= 62) name += kLetters[v % 62];
    return dir.empty() ? name : dir + kPathDelim + name;
}
}  // namespace

TAtomicFile::TAtomicFile(const std::string& target, TempFile temp) : target_(ResolveLinks(target)) {
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes cannot be replaced by renaming; write them in place.
        fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw EFCreateError(target);
        inPlace_ = true;
        return;
    }
    // Renaming over a file needs only the folder's permission, so a
    // read-only (or immutable) target is checked for itself.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) throw EFCreateError(target);
    // Keep an existing file's permissions; a new file gets the usual ones.
    const mode_t mode = exists ? (st.st_mode & 07777) : DefaultFileMode();
    const std::string dir = ExtractFileDir(target_);
    if (temp == TempFile::Unnamed && CanLinkUnnamed()) {
        fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        unnamed_ = fd_ >= 0;
    }
    if (fd_ < 0) {
        for (int tries = 0; fd_ < 0 && tries < 100; ++tries) {
            temp_ = ShortTempName(dir);
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) {
            temp_.clear();
            throw EFCreateError(target);
        }
        Register(temp_);
    }
    ::fchmod(fd_, mode);
}

TAtomicFile::~TAtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        Unregister(temp_);
    }
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

void TAtomicFile::WriteAt(uint64_t offset, const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t put = ::pwrite(fd_, data, n, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            throw EInOutError::FromErrno(errno);
        }
        if (put == 0) throw EInOutError::FromErrno(ENOSPC);
        data += put;
        offset += static_cast<uint64_t>(put);
        n -= static_cast<size_t>(put);
    }
}

// linkat cannot replace an existing file, so the unnamed file gets a short
// name of its own, which is then renamed like a named temporary.
void TAtomicFile::NameTheTemporary() {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    const std::string dir = ExtractFileDir(target_);
    for (int tries = 0; tries < 100; ++tries) {
        std::string name = ShortTempName(dir);
        Register(name);
        if (::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = std::move(name);
            unnamed_ = false;
            return;
        }
        const int err = errno;
        Unregister(name);
        if (err != EEXIST) throw EInOutError::FromErrno(err);
    }
    throw EInOutError::FromErrno(EEXIST);
}

void TAtomicFile::Commit() {
    if (unnamed_) NameTheTemporary();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw EInOutError::FromErrno(errno);
    if (inPlace_) return;
#ifdef RENAME_EXCHANGE
    // Over an existing file, swap the two names and drop the old file. A
    // plain rename over it makes ext4 flush the new file's data at once,
    // which costs more than writing it did.
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(temp_.c_str());  // now the old content
        Unregister(temp_);
        temp_.clear();
        return;
    }
#endif
    if (::rename(temp_.c_str(), target_.c_str()) != 0) throw EInOutError::FromErrno(errno);
    Unregister(temp_);
    temp_.clear();
}

void SetSignalFarewell(void (*farewell)(int sig)) { gFarewell.store(farewell); }

void RemoveTemporariesOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = RemoveTemporariesAndExit;
    sa.sa_mask = HandledSignals();
    for (const int sig : kHandledSignals) ::sigaction(sig, &sa, nullptr);
}

TSignalsHeld::TSignalsHeld() {
    const sigset_t held = HandledSignals();
    ::pthread_sigmask(SIG_BLOCK, &held, &old_);
}

TSignalsHeld::~TSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

}  // namespace quenlo
