#include "batch/FolderWatch.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <unordered_map>

#include "low/Errors.h"

namespace quenlo {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TFolderWatch::TFolderWatch() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (wakeFd_ < 0) throw EQuenlo(std::string("cannot watch folders: ") + std::strerror(errno));
}

TFolderWatch::~TFolderWatch() { ::close(wakeFd_); }

void TFolderWatch::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool TFolderWatch::Sleep(int fd, milliseconds timeout) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ms = timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
    if (::poll(fds, fd >= 0 ? 2 : 1, ms) <= 0) return false;
    if (fds[0].revents) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
    return fd >= 0 && (fds[1].revents & POLLIN);
}

namespace {

constexpr milliseconds kGather{2};

class TInotifyWatch final : public TFolderWatch {
public:
    TInotifyWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0) throw EQuenlo(std::string("cannot watch folders: ") + std::strerror(errno));
    }
    ~TInotifyWatch() override { ::close(fd_); }

    bool Add(const std::string& folder) override {
        const uint32_t mask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                              IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
        if (wd < 0) return false;
        folders_.try_emplace(wd, folder);  // one folder under two names keeps its first
        return true;
    }

    void Remove(const std::string& folder) override {
        for (auto it = folders_.begin(); it != folders_.end(); ++it)
            if (it->second == folder) {
                ::inotify_rm_watch(fd_, it->first);
                folders_.erase(it);  // its IN_IGNORED then names no folder
                return;
            }
    }

    void Wait(milliseconds timeout, std::vector<WatchNote>& notes) override {
        if (!Sleep(fd_, timeout)) return;
        // A writer dropping many files raises events one by one: a moment's
        // wait takes them in one wake-up rather than one each.
        std::this_thread::sleep_for(kGather);
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;  // EAGAIN: all read
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                Translate(*e, notes);
            }
        }
    }

private:
    void Translate(const inotify_event& e, std::vector<WatchNote>& notes) {
        if (e.mask & IN_Q_OVERFLOW) return notes.push_back({WatchChange::Overflow, {}});
        const auto it = folders_.find(e.wd);
        if (it == folders_.end()) return;
        if (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            // Moved away, the watch would follow the folder to its new name.
            if (e.mask & IN_MOVE_SELF) ::inotify_rm_watch(fd_, e.wd);
            notes.push_back({WatchChange::FolderGone, it->second});
            folders_.erase(it);
            return;
        }
        const std::string path = it->second + e.name;
        if (e.mask & IN_ISDIR) {
            // A folder that leaves reports itself through its own watch.
            if (e.mask & (IN_CREATE | IN_MOVED_TO)) notes.push_back({WatchChange::FolderAdded, path});
            return;
        }
        if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) notes.push_back({WatchChange::Closed, path});
        else if (e.mask & (IN_CREATE | IN_MODIFY)) notes.push_back({WatchChange::Written, path});
        else if (e.mask & (IN_DELETE | IN_MOVED_FROM)) notes.push_back({WatchChange::Gone, path});
    }

    int fd_;
    std::unordered_map<int, std::string> folders_;  // by watch descriptor
};

class TPollingWatch final : public TFolderWatch {
public:
    explicit TPollingWatch(milliseconds interval) : interval_(std::max(interval, milliseconds(1))) {}

    bool Add(const std::string& folder) override {
        Listing listing;
        if (!List(folder, listing)) return false;
        folders_[folder] = std::move(listing);
        return true;
    }

    void Remove(const std::string& folder) override { folders_.erase(folder); }

    void Wait(milliseconds timeout, std::vector<WatchNote>& notes) override {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            Clock::time_point now = Clock::now();
            if (now >= nextScan_) {
                Scan(notes);
                nextScan_ = now + interval_;
                if (!notes.empty()) return;
            }
            Clock::time_point until = nextScan_;
            if (timeout.count() >= 0) {
                if (now >= deadline) return;
                until = std::min(until, deadline);
            }
            Sleep(-1, std::chrono::ceil<milliseconds>(until - now));
            // A wake ends the wait; a timer that ran out only loops.
            if (Clock::now() < until) return;
        }
    }

private:
    struct Seen {
        uint64_t ino = 0;
        int64_t size = 0, mtimeNs = 0;
        bool folder = false;
        bool operator==(const Seen&) const = default;
    };
    using Listing = std::unordered_map<std::string, Seen>;

    static bool List(const std::string& folder, Listing& out) {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return false;
        while (const dirent* e = ::readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0) continue;
            out[e->d_name] = {static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
                              st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, S_ISDIR(st.st_mode)};
        }
        ::closedir(dir);
        return true;
    }

    void Scan(std::vector<WatchNote>& notes) {
        for (auto it = folders_.begin(); it != folders_.end();) {
            Listing now;
            if (!List(it->first, now)) {
                notes.push_back({WatchChange::FolderGone, it->first});
                it = folders_.erase(it);
                continue;
            }
            for (const auto& [name, seen] : now) {
                const auto was = it->second.find(name);
                if (was != it->second.end() && was->second == seen) continue;
                if (seen.folder) {
                    if (was == it->second.end() || !was->second.folder) notes.push_back({WatchChange::FolderAdded, it->first + name});
                } else {
                    notes.push_back({WatchChange::Closed, it->first + name});
                }
            }
            for (const auto& [name, seen] : it->second)
                if (!seen.folder && !now.count(name)) notes.push_back({WatchChange::Gone, it->first + name});
            it->second = std::move(now);
            ++it;
        }
    }

    milliseconds interval_;
    Clock::time_point nextScan_ = Clock::now();
    std::unordered_map<std::string, Listing> folders_;
};

}  // namespace

std::unique_ptr<TFolderWatch> KernelFolderWatch() { return std::make_unique<TInotifyWatch>(); }

std::unique_ptr<TFolderWatch> PollingFolderWatch(milliseconds interval) {
    return std::make_unique<TPollingWatch>(interval);
}

}  // namespace quenlo
