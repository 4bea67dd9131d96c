#include "imageio/AtomicFile.h"

#include <algorithm>
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
#include <utility>
#include <vector>

#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "low/Messages.h"

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

// Set by the signal handler before it removes the temporaries; from then on
// no temporary gets a name. gNaming counts the threads between deciding to
// name one and having registered it, which the handler waits out, so no name
// appears behind its back.
std::atomic<bool> gDying{false};
std::atomic<int> gNaming{0};

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kHandledSignals) sigaddset(&set, sig);
    return set;
}

void RemoveTemporariesAndExit(int sig) {
    gDying.store(true);
    // Threads naming a temporary hold the handled signals, so none of them
    // is this thread; each is inside one open or link call.
    while (gNaming.load() > 0) {
        const timespec pause{0, 100000};  // 0.1 ms
        ::nanosleep(&pause, nullptr);
    }
    for (auto& slot : gTemps)
        if (char* name = slot.load()) ::unlink(name);
    if (void (*farewell)(int) = gFarewell.load()) farewell(sig);
    ::_exit(128 + sig);
}

// The kernel's protected-symlinks rule: in a folder others may write to
// (world-writable and sticky, as /tmp), a link is followed only when it
// belongs to the folder's owner or to whoever follows it.
bool MayFollow(const std::string& link, const struct stat& linkSt) {
    const std::string dir = ExtractFileDir(link);
    struct stat dirSt {};
    if (::stat(dir.empty() ? "." : dir.c_str(), &dirSt) != 0) return false;
    const bool shared = (dirSt.st_mode & S_ISVTX) && (dirSt.st_mode & S_IWOTH);
    return !shared || linkSt.st_uid == dirSt.st_uid || linkSt.st_uid == ::geteuid();
}
std::string NotFollowed(const std::string& link) {
    return FormatText(
        Tr("the link %s is in a folder others may write to and belongs to neither its owner nor this user; not followed"),
        link.c_str());
}

// The same rule for a link met at `name` in the folder open as parentFd.
bool MayFollowAt(int parentFd, const struct stat& linkSt) {
    struct stat dirSt {};
    if (::fstat(parentFd, &dirSt) != 0) return false;
    const bool shared = (dirSt.st_mode & S_ISVTX) && (dirSt.st_mode & S_IWOTH);
    return !shared || linkSt.st_uid == dirSt.st_uid || linkSt.st_uid == ::geteuid();
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// Opens dir (O_PATH) a component at a time, never following a link the rule
// forbids; -1 with errno set when it cannot, and *unsafe naming such a link.
int WalkFolder(const std::string& dir, bool create, std::vector<std::string>* made, std::string* unsafe) {
    const std::string name = dir.empty() ? "." : dir;
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name[0] == '/' ? "/" : ".", kFlags);
    if (fd < 0) return -1;
    std::vector<std::string> rest = Components(name);
    std::reverse(rest.begin(), rest.end());  // taken from the back
    std::string spelled = name[0] == '/' ? "/" : "";
    int hops = 0;
    auto fail = [&](int err) {
        ::close(fd);
        errno = err;
        return -1;
    };
    while (!rest.empty()) {
        const std::string c = std::move(rest.back());
        rest.pop_back();
        if (c == ".") continue;
        int next = ::openat(fd, c.c_str(), kFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(fd, c.c_str(), 0777) == 0 && made) made->push_back(spelled + c);
            next = ::openat(fd, c.c_str(), kFlags);
        }
        if (next >= 0) {
            ::close(fd);
            fd = next;
            spelled += c + "/";
            continue;
        }
        const int err = errno;
        struct stat st {};
        if ((err != ENOTDIR && err != ELOOP) || ::fstatat(fd, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return fail(err);
        if (!MayFollowAt(fd, st)) {
            if (unsafe) *unsafe = NotFollowed(spelled + c);
            return fail(EACCES);
        }
        char buf[PATH_MAX];
        const ssize_t n = ::readlinkat(fd, c.c_str(), buf, sizeof buf);
        if (++hops > 40 || n <= 0 || static_cast<size_t>(n) >= sizeof buf) return fail(ELOOP);  // the kernel's own limit
        const std::string target(buf, static_cast<size_t>(n));
        if (target[0] == '/') {
            ::close(fd);
            fd = ::open("/", kFlags);
            if (fd < 0) return -1;
        }
        const std::vector<std::string> parts = Components(target);
        rest.insert(rest.end(), parts.rbegin(), parts.rend());
        spelled += c + "/";
    }
    return fd;
}
}  // namespace

TFolder::TFolder(const std::string& dir, bool create, std::vector<std::string>* made) {
    std::string unsafe;
    fd_ = WalkFolder(dir, create, made, &unsafe);
    if (!unsafe.empty()) throw EQuenlo(unsafe);
    if (fd_ < 0) throw EQuenlo(FormatText(Tr("Cannot create %s"), dir.c_str()));
}

TFolder::~TFolder() {
    if (fd_ >= 0) ::close(fd_);
}

std::string ReplacedFile(const std::string& name) { return TReplacedFiles().Find(name).path; }

TReplacedFiles::Found TReplacedFiles::Find(const std::string& name) {
    Found found;
    std::string& path = found.path;
    path = name;
    char buf[PATH_MAX];
    for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
        // Every folder on the way too: a missing one is made later, by the same walk.
        const std::string dir = ExtractFileDir(path);
        auto [verdict, fresh] = unsafe_.try_emplace(dir);
        if (fresh)
            if (const int fd = WalkFolder(dir, false, nullptr, &verdict->second); fd >= 0) ::close(fd);
        if (!verdict->second.empty()) throw EQuenlo(verdict->second);
        struct stat& st = found.st;
        if (::lstat(path.c_str(), &st) != 0) return found;
        if (!S_ISLNK(st.st_mode)) {
            found.exists = true;  // lstat is stat for all but a link
            return found;
        }
        if (!MayFollow(path, st)) throw EQuenlo(NotFollowed(path));
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) break;
        std::string link(buf, static_cast<size_t>(n));
        path = link.front() == '/' || dir.empty() ? link : dir + kPathDelim + link;
    }
    found.exists = ::stat(path.c_str(), &found.st) == 0;
    return found;
}

namespace {
// Brackets the creation of a named temporary, which is registered first:
// the handled signals are held on this thread, and the handler waits for it
// to finish. Throws, creating nothing, once the handler has started.
class TNaming {
public:
    TNaming() {
        const sigset_t held = HandledSignals();
        ::pthread_sigmask(SIG_BLOCK, &held, &old_);
        gNaming.fetch_add(1);
        if (gDying.load()) {
            Leave();
            throw EInOutError::FromErrno(EINTR);
        }
    }
    ~TNaming() { Leave(); }
    TNaming(const TNaming&) = delete;
    TNaming& operator=(const TNaming&) = delete;

private:
    void Leave() {
        if (left_) return;
        left_ = true;
        gNaming.fetch_sub(1);
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    sigset_t old_;
    bool left_ = false;
};

// QUENLO_TEMP_FILES=named takes the path of file systems that refuse
// O_TMPFILE, so that path can be tried anywhere.
bool NamedTemporariesForced() {
    static const bool forced = [] {
        const char* v = std::getenv("QUENLO_TEMP_FILES");
        return v && std::strcmp(v, "named") == 0;
    }();
    return forced;
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
// A folder removed while its file was written is named, not taken for a missing input.
[[noreturn]] void ThrowCommitError(int err, const std::string& target) {
    const std::string dir = ExtractFileDir(target);
    struct stat st {};
    if (err == ENOENT && ::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) throw EQuenlo(FormatText(Tr("Cannot create %s"), dir.c_str()));
    throw EInOutError::FromErrno(err);
}
}  // namespace

TAtomicFile::TAtomicFile(const std::string& target, TempFile temp)
    : target_(ReplacedFile(target)), name_(ExtractFileName(target_)) {
    // Everything from here on is relative to the folder, opened once through
    // no link the protected-symlinks rule forbids.
    if (name_.empty()) throw EFCreateError(target);  // "dir/" names a folder
    std::string unsafe;
    dirFd_ = WalkFolder(ExtractFileDir(target_), false, nullptr, &unsafe);
    if (dirFd_ < 0) {
        if (!unsafe.empty()) throw EQuenlo(unsafe);
        throw EFCreateError(target);
    }
    // The destructor does not run for a constructor that throws.
    struct CloseOnThrow {
        int& fd;
        bool armed = true;
        ~CloseOnThrow() {
            if (armed) ::close(std::exchange(fd, -1));
        }
    } closeOnThrow{dirFd_};
    struct stat st {};
    const bool exists = ::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // A device or pipe is never written through: opening one may block, and
    // what it does with the bytes is not a file put in place.
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) throw EFCreateError(target);
        throw EQuenlo(NotRegularOutput(target));
    }
    // Renaming over a file needs only the folder's permission, so a
    // read-only (or immutable) target is checked for itself.
    if (exists && ::faccessat(dirFd_, name_.c_str(), W_OK, AT_EACCESS) != 0) throw EFCreateError(target);
    // Keep an existing file's permissions; a new file gets the usual ones.
    const mode_t mode = exists ? (st.st_mode & 07777) : DefaultFileMode();
    const std::string dir = ExtractFileDir(target_);
    if (temp == TempFile::Unnamed && !NamedTemporariesForced() && CanLinkUnnamed()) {
        fd_ = ::openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        unnamed_ = fd_ >= 0;
    }
    if (fd_ < 0) {
        for (int tries = 0; fd_ < 0 && tries < 100; ++tries) {
            std::string name = ShortTempName(dir);
            const TNaming naming;
            Register(name);
            fd_ = ::openat(dirFd_, ExtractFileName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd_ >= 0) {
                temp_ = std::move(name);
                break;
            }
            const int err = errno;
            Unregister(name);
            if (err != EEXIST) break;
        }
        if (fd_ < 0) throw EFCreateError(target);
    }
    ::fchmod(fd_, mode);
    closeOnThrow.armed = false;
}

TAtomicFile::~TAtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) {
        ::unlinkat(dirFd_, ExtractFileName(temp_).c_str(), 0);
        Unregister(temp_);
    }
    if (dirFd_ >= 0) ::close(dirFd_);
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

void TAtomicFile::WriteAt(const uint8_t* data, size_t n, uint64_t offset) {
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

// A target that does not exist yet gets the unnamed file in one step, so
// no other name ever appears. False when the target exists.
bool TAtomicFile::LinkAsTarget() {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    if (::linkat(AT_FDCWD, self, dirFd_, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno == EEXIST) return false;
        ThrowCommitError(errno, target_);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlinkat(dirFd_, name_.c_str(), 0);  // it did not exist before
        throw EInOutError::FromErrno(err);
    }
    return true;
}

// linkat cannot replace an existing file, so the unnamed file gets a short
// name of its own, which is then renamed like a named temporary.
void TAtomicFile::NameTheTemporary() {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    const std::string dir = ExtractFileDir(target_);
    for (int tries = 0; tries < 100; ++tries) {
        std::string name = ShortTempName(dir);
        const TNaming naming;
        Register(name);
        if (::linkat(AT_FDCWD, self, dirFd_, ExtractFileName(name).c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = std::move(name);
            unnamed_ = false;
            return;
        }
        const int err = errno;
        Unregister(name);
        if (err != EEXIST) ThrowCommitError(err, target_);
    }
    throw EInOutError::FromErrno(EEXIST);
}

void TAtomicFile::Commit() {
    if (unnamed_ && LinkAsTarget()) return;
    if (unnamed_) NameTheTemporary();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw EInOutError::FromErrno(errno);
#ifdef RENAME_EXCHANGE
    // Over an existing file, swap the two names and drop the old file. A
    // plain rename over it makes ext4 flush the new file's data at once,
    // which costs more than writing it did.
    const std::string temp = ExtractFileName(temp_);
    if (::renameat2(dirFd_, temp.c_str(), dirFd_, name_.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlinkat(dirFd_, temp.c_str(), 0);  // now the old content
        Unregister(temp_);
        temp_.clear();
        return;
    }
#endif
    if (::renameat(dirFd_, ExtractFileName(temp_).c_str(), dirFd_, name_.c_str()) != 0) ThrowCommitError(errno, target_);
    Unregister(temp_);
    temp_.clear();
}

std::string NotRegularOutput(const std::string& output) {
    return FormatText(Tr("the output %s is not a regular file; not written"), output.c_str());
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
