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
#include <time.h>
#include <unistd.h>
#include <thread>
#include <unordered_map>

#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TFolderWatch::TFolderWatch() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (wakeFd_ < 0) throw EQuenlo(FormatText(Tr("cannot watch folders: %s"), std::strerror(errno)));
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
// How often a scan lists every folder, changed or not.
constexpr std::chrono::seconds kListAll{30};
// Folder times coarser than this (FAT, some shares) are not trusted to move.
constexpr int64_t kTimeSlackNs = 2'000'000'000;

int64_t NsOf(const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

int64_t WallNs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return NsOf(t);
}

// Folders watched by listing them and comparing with the last listing.
class TFolderScans {
public:
    bool Empty() const { return folders_.empty(); }

    bool Add(const std::string& folder) {
        Listed listed;
        if (!List(folder, listed)) return false;
        folders_[folder] = std::move(listed);
        return true;
    }

    void Remove(const std::string& folder) { folders_.erase(folder); }

    void Scan(std::vector<WatchNote>& notes) {
        const Clock::time_point now = Clock::now();
        const bool all = now >= nextListAll_;
        if (all) nextListAll_ = now + kListAll;
        for (auto it = folders_.begin(); it != folders_.end();) {
            Listed& was = it->second;
            struct stat st {};
            if (::stat(it->first.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                notes.push_back({WatchChange::FolderGone, it->first});
                it = folders_.erase(it);
                continue;
            }
            // A name added, removed or renamed moves the folder's own times;
            // one changed within the time slack of the last listing may
            // have changed again since, unseen.
            const bool same = FolderState(st) == was.state && was.state.mtimeNs < was.listedNs - kTimeSlackNs;
            if (same && was.honest && !all) {
                ++it;
                continue;
            }
            Listed now;
            if (!List(it->first, now)) {
                notes.push_back({WatchChange::FolderGone, it->first});
                it = folders_.erase(it);
                continue;
            }
            bool namesChanged = false;
            for (const auto& [name, seen] : now.names) {
                const auto before = was.names.find(name);
                namesChanged = namesChanged || before == was.names.end();
                if (before != was.names.end() && before->second == seen) continue;
                if (seen.folder) {
                    if (before == was.names.end() || !before->second.folder) notes.push_back({WatchChange::FolderAdded, it->first + name});
                } else {
                    notes.push_back({WatchChange::Closed, it->first + name});
                }
            }
            for (const auto& [name, seen] : was.names) {
                if (now.names.count(name)) continue;
                namesChanged = true;
                if (!seen.folder) notes.push_back({WatchChange::Gone, it->first + name});
            }
            now.honest = was.honest && !(same && namesChanged);
            was = std::move(now);
            ++it;
        }
    }

private:
    struct Seen {
        uint64_t ino = 0;
        int64_t size = 0, mtimeNs = 0;
        bool folder = false;
        bool operator==(const Seen&) const = default;
    };
    struct State {
        int64_t mtimeNs = 0, size = 0;
        uint64_t links = 0;
        bool operator==(const State&) const = default;
    };
    struct Listed {
        std::unordered_map<std::string, Seen> names;
        State state;
        int64_t listedNs = 0;  // the wall clock when the listing began
        bool honest = true;    // the folder's times have told every change of names
    };

    static State FolderState(const struct stat& st) {
        return {NsOf(st.st_mtim), static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_nlink)};
    }

    static bool List(const std::string& folder, Listed& out) {
        out.listedNs = WallNs();
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return false;
        struct stat self {};
        if (::fstat(::dirfd(dir), &self) == 0) out.state = FolderState(self);
        while (const dirent* e = ::readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0) continue;
            out.names[e->d_name] = {static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size), NsOf(st.st_mtim),
                                    S_ISDIR(st.st_mode)};
        }
        ::closedir(dir);
        return true;
    }

    Clock::time_point nextListAll_ = Clock::now() + kListAll;
    std::unordered_map<std::string, Listed> folders_;
};

class TInotifyWatch final : public TFolderWatch {
public:
    TInotifyWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ < 0) throw EQuenlo(FormatText(Tr("cannot watch folders: %s"), std::strerror(errno)));
    }
    ~TInotifyWatch() override { ::close(fd_); }

    Watching Add(const std::string& folder) override {
        const uint32_t mask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                              IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
        if (wd < 0) {
            // ENOSPC: the user's limit of watches is reached.
            if (errno != ENOSPC) return Watching::No;
            if (!scans_.Add(folder)) return Watching::No;
            return Watching::Scans;
        }
        folders_.try_emplace(wd, folder);  // one folder under two names keeps its first
        return Watching::Events;
    }

    void Remove(const std::string& folder) override {
        scans_.Remove(folder);
        for (auto it = folders_.begin(); it != folders_.end(); ++it)
            if (it->second == folder) {
                ::inotify_rm_watch(fd_, it->first);
                folders_.erase(it);  // its IN_IGNORED then names no folder
                return;
            }
    }

    void Wait(milliseconds timeout, std::vector<WatchNote>& notes) override {
        const Clock::time_point now = Clock::now();
        if (!scans_.Empty()) {
            if (now >= nextScan_) {
                nextScan_ = now + kOverLimitScan;
                scans_.Scan(notes);
                if (!notes.empty()) return;
            }
            const milliseconds untilScan = std::chrono::ceil<milliseconds>(nextScan_ - now);
            timeout = timeout.count() < 0 ? untilScan : std::min(timeout, untilScan);
        }
        if (!Sleep(fd_, timeout)) return;
        // A writer dropping many files raises events one by one: a moment's
        // wait takes them in one wake-up rather than one each.
        std::this_thread::sleep_for(kGather);
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return SettleCreated(notes);  // EAGAIN: all read
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                Translate(*e, notes);
            }
        }
    }

private:
    void Translate(const inotify_event& e, std::vector<WatchNote>& notes) {
        if (e.mask & IN_Q_OVERFLOW) return Push(notes, {WatchChange::Overflow, {}});
        const auto it = folders_.find(e.wd);
        if (it == folders_.end()) return;
        if (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            // Moved away, the watch would follow the folder to its new name.
            if (e.mask & IN_MOVE_SELF) ::inotify_rm_watch(fd_, e.wd);
            Push(notes, {WatchChange::FolderGone, it->second});
            folders_.erase(it);
            return;
        }
        // A write of the file last noted needs no new note, nor its name spelled out.
        if (!notes.empty() && !(e.mask & IN_ISDIR) && (e.mask & (IN_CLOSE_WRITE | IN_MODIFY)) && !(e.mask & IN_CREATE) &&
            Writes(notes.back().change) && IsPathOf(notes.back().path, it->second, e.name)) {
            notes.back().change = e.mask & IN_CLOSE_WRITE ? WatchChange::Closed : WatchChange::Written;
            created_ = 0;
            return;
        }
        const std::string path = it->second + e.name;
        if (e.mask & IN_ISDIR) {
            // A folder that leaves reports itself through its own watch.
            if (e.mask & (IN_CREATE | IN_MOVED_TO)) Push(notes, {WatchChange::FolderAdded, path});
            return;
        }
        if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
            Push(notes, {WatchChange::Closed, path});
        } else if (e.mask & IN_CREATE) {
            // Written, or linked in when no write of it follows (SettleCreated).
            Push(notes, {WatchChange::Written, path});
            created_ = notes.size();
        } else if (e.mask & IN_MODIFY) {
            Push(notes, {WatchChange::Written, path});
        } else if (e.mask & (IN_DELETE | IN_MOVED_FROM)) {
            Push(notes, {WatchChange::Gone, path});
        }
    }

    static bool Writes(WatchChange change) { return change == WatchChange::Written || change == WatchChange::Closed; }
    static bool IsPathOf(const std::string& path, const std::string& folder, const char* name) {
        return path.size() > folder.size() && path.starts_with(folder) && path.compare(folder.size(), std::string::npos, name) == 0;
    }

    // A write or close right after another of the same file replaces it:
    // a file's state is what its last one says (three events a file for a
    // writer's create, write and close).
    void Push(std::vector<WatchNote>& notes, WatchNote note) {
        if (!notes.empty() && Writes(note.change) && Writes(notes.back().change) && notes.back().path == note.path) {
            notes.back().change = note.change;
            created_ = 0;
            return;
        }
        SettleCreated(notes);
        notes.push_back(std::move(note));
    }

    // A created file that nothing wrote since is a link (it is done), or a
    // file its writer has not written yet: only then is it looked at.
    void SettleCreated(std::vector<WatchNote>& notes) {
        if (created_ != 0 && created_ == notes.size() && Linked(notes.back().path)) notes.back().change = WatchChange::Closed;
        created_ = 0;
    }

    // A hard or symbolic link raises its create event alone: no writer
    // holds it open, so no close follows.
    static bool Linked(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1));
    }

    int fd_;
    size_t created_ = 0;  // notes.size() just after a create event's note, else 0
    std::unordered_map<int, std::string> folders_;  // by watch descriptor
    TFolderScans scans_;  // beyond the limit of watches
    Clock::time_point nextScan_ = Clock::now() + kOverLimitScan;
};

class TPollingWatch final : public TFolderWatch {
public:
    explicit TPollingWatch(milliseconds interval) : interval_(std::max(interval, milliseconds(1))) {}

    Watching Add(const std::string& folder) override { return scans_.Add(folder) ? Watching::Scans : Watching::No; }

    void Remove(const std::string& folder) override { scans_.Remove(folder); }

    void Wait(milliseconds timeout, std::vector<WatchNote>& notes) override {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            Clock::time_point now = Clock::now();
            if (now >= nextScan_) {
                scans_.Scan(notes);
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
    milliseconds interval_;
    Clock::time_point nextScan_ = Clock::now();
    TFolderScans scans_;
};

}  // namespace

std::unique_ptr<TFolderWatch> KernelFolderWatch() { return std::make_unique<TInotifyWatch>(); }

std::unique_ptr<TFolderWatch> PollingFolderWatch(milliseconds interval) {
    return std::make_unique<TPollingWatch>(interval);
}

}  // namespace quenlo
