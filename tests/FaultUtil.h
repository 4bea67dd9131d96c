#pragma once
// Faults for the fault-injection tests: a file-size limit that makes a write
// fail half-way, a read-only mark that holds even for root, a header that
// arrives through a pipe, and a record of a folder to compare afterwards.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <map>
#include <fstream>
#include <poll.h>
#include <sys/inotify.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestUtil.h"

namespace quenlo::test {

// Writes past `bytes` fail with EFBIG for as long as this lives; root is
// held to it too. The limit is per process, so keep the scope short.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ok_ = ::getrlimit(RLIMIT_FSIZE, &saved_) == 0;
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        ok_ = ok_ && ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Ok() const { return ok_; }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = SIG_DFL;
    bool ok_ = false;
};

// Makes a file or folder unwritable while it lives. Permission bits do not
// stop root, so as root the immutable attribute is used instead; it needs
// CAP_LINUX_IMMUTABLE and a file system that keeps the flag (ext4, xfs,
// btrfs, tmpfs from Linux 6.0). Ok() says whether either worked.
class ReadOnlyMark {
public:
    explicit ReadOnlyMark(const std::string& path) : path_(path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return;
        if (::geteuid() != 0) {
            mode_ = st.st_mode & 07777;
            ok_ = ::chmod(path.c_str(), mode_ & ~mode_t{0222}) == 0;
            return;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable_ = ok_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
    }
    ~ReadOnlyMark() { Release(); }
    ReadOnlyMark(const ReadOnlyMark&) = delete;
    ReadOnlyMark& operator=(const ReadOnlyMark&) = delete;
    bool Ok() const { return ok_; }

    // Undone early so the checks that follow can read and clean up freely.
    void Release() {
        if (!ok_) return;
        ok_ = false;
        if (!immutable_) {
            ::chmod(path_.c_str(), mode_);
            return;
        }
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }

    static std::string SkipReason() {
        return "cannot make a file read-only here: running as root on a file system or in a container "
               "without the immutable attribute, and permission bits do not stop root";
    }

private:
    std::string path_;
    mode_t mode_ = 0;
    bool immutable_ = false;
    bool ok_ = false;
};

// A .ipr whose values follow 32 MiB of blanks, watched with inotify: as
// soon as a reader opens it, `between` runs, while the reader is still
// working through the blanks and before it can reach the pixels. Makes
// "the .rgb vanishes between header and pixels" happen every time instead
// of by luck (a named pipe would do it too, but readers refuse pipes).
class SlowHeader {
public:
    SlowHeader(const std::string& iprName, const std::string& text, std::function<void()> between) {
        {
            std::ofstream out(iprName, std::ios::binary);
            const std::string blanks(1 << 20, ' ');
            for (int i = 0; i < 32; ++i) out << blanks;
            out << text;
            if (!out) return;
        }
        inotify_ = ::inotify_init1(IN_CLOEXEC);
        if (inotify_ < 0 || ::inotify_add_watch(inotify_, iprName.c_str(), IN_OPEN) < 0) return;
        ok_ = true;
        thread_ = std::thread([this, between = std::move(between)] {
            // Give up after a while so a reader that never comes cannot hang the test.
            pollfd p{inotify_, POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1) return;
            opened_ = true;
            between();
        });
    }
    ~SlowHeader() {
        if (thread_.joinable()) thread_.join();
        if (inotify_ >= 0) ::close(inotify_);
    }
    SlowHeader(const SlowHeader&) = delete;
    SlowHeader& operator=(const SlowHeader&) = delete;
    bool Ok() const { return ok_; }
    // After the reader is done: whether it really opened the header.
    bool Served() {
        if (thread_.joinable()) thread_.join();
        return opened_;
    }

private:
    int inotify_ = -1;
    std::thread thread_;
    std::atomic<bool> opened_{false};
    bool ok_ = false;
};

// Every entry under a folder with the bytes of its files ("/" marks a
// folder), so a later snapshot shows any change, leftover or loss.
using FolderSnapshot = std::map<std::string, std::vector<uint8_t>>;

inline FolderSnapshot Snapshot(const std::string& dir) {
    namespace fs = std::filesystem;
    FolderSnapshot snap;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_directory()) snap[rel + "/"] = {};
        else if (e.is_regular_file()) snap[rel] = ReadBytes(e.path().string());
        else snap[rel + "?"] = {};
    }
    return snap;
}

// Bytes of an older file at a target that a failed conversion must leave alone.
inline const std::vector<uint8_t> kOld = {'o', 'l', 'd'};

// Two raw inputs and an empty out/: a.ipr, large enough to meet a small
// size limit (about 180 KB as a .bmp), and b.ipr, which meets no fault.
struct TwoInputBatch {
    TempDir dir;
    TwoInputBatch() {
        WritePair(dir / "a", 301, 200, 3);
        WritePair(dir / "b", 4, 3, 3);
        std::filesystem::create_directories(dir / "out");
    }
    // out/ as it is, leaving out b.bmp, the one output that should appear.
    FolderSnapshot Out() const {
        FolderSnapshot s = Snapshot(dir / "out");
        s.erase("b.bmp");
        return s;
    }
    // Puts kOld at out/a.bmp; returns Out() after that, which is all of out/.
    FolderSnapshot WithOldTarget() const {
        WriteBytes(dir / "out/a.bmp", kOld);
        return Out();
    }
};

// Faults that every front end must survive. TBatch is a TwoInputBatch with
// Run(), which converts both inputs into out/ as a user would, and
// ExpectReported(), which checks that only a.ipr's failure was reported and
// that b.bmp was written. Afterwards out/ must be as it was, b.bmp aside.
template <class TBatch>
void CheckAWriteThatFailsHalfWay() {
    TBatch b;
    const FolderSnapshot before = b.WithOldTarget();
    {
        FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.Ok());
        b.Run();
    }
    b.ExpectReported();
    EXPECT_EQ(b.Out(), before);
}

template <class TBatch>
void CheckAReadOnlyTarget() {
    TBatch b;
    const FolderSnapshot before = b.WithOldTarget();
    ReadOnlyMark mark(b.dir / "out/a.bmp");
    if (!mark.Ok()) GTEST_SKIP() << ReadOnlyMark::SkipReason();
    b.Run();
    mark.Release();
    b.ExpectReported();
    EXPECT_EQ(b.Out(), before);
}

template <class TBatch>
void CheckATargetNameThatIsAFolder() {
    TBatch b;
    std::filesystem::create_directories(b.dir / "out/a.bmp/inner");
    WriteBytes(b.dir / "out/a.bmp/inner/keep", kOld);
    const FolderSnapshot before = b.Out();
    b.Run();
    b.ExpectReported();
    EXPECT_EQ(b.Out(), before);
}

}  // namespace quenlo::test
