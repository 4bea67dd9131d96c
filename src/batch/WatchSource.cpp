#include "batch/WatchSource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "batch/FileKey.h"
#include "batch/FolderWatch.h"
#include "imageio/ImageKind.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr Clock::time_point kNever = Clock::time_point::max();
// How often a watched folder that is gone is looked for.
constexpr milliseconds kLookAgain{1000};
// Input bytes that make a conversion worth a thread of its own.
constexpr int64_t kBytesPerJob = 1 << 20;
// A failed write is tried again after 1 s, 2 s, 4 s ... and at most this.
constexpr milliseconds kMostBackOff{60000};

struct FileStat {
    uint64_t dev = 0, ino = 0;
    int64_t size = -1, mtimeNs = 0, ctimeNs = 0;
    // Whether it holds fewer blocks than its size needs: given its size first
    // (ftruncate), it is written into afterwards. Not part of its state.
    bool sparse = false;
    bool operator==(const FileStat& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
    }
};

// Regular files only: a special file never becomes complete.
bool StatFile(const std::string& name, FileStat& out) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
           st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec,
           static_cast<int64_t>(st.st_blocks) * 512 < static_cast<int64_t>(st.st_size)};
    return true;
}

// What a file or pair was when it was taken: the same state is never
// converted twice, a rewritten one is.
struct Signature {
    FileStat first, second;  // a pair's .ipr and .rgb
    bool operator==(const Signature&) const = default;
    // A file moved or linked in keeps its modification time but not its change time.
    int64_t NewestNs() const { return std::max({first.mtimeNs, first.ctimeNs, second.mtimeNs, second.ctimeNs}); }
};

// A pair's member found by name alone: listing a folder of thousands of
// files for every event would cost more than the conversions. The name
// itself when it has the extension, else the extension in lower or upper case.
// Fills in its state; "" when there is none.
std::string MemberOf(const std::string& name, std::string_view upperExt, FileStat& st) {
    if (SameTextAscii(ExtractFileExt(name), upperExt) && StatFile(name, st)) return name;
    std::string member = ChangeFileExt(name, LowerAscii(upperExt));
    if (StatFile(member, st)) return member;
    member.replace(member.size() - upperExt.size(), upperExt.size(), upperExt);
    return StatFile(member, st) ? member : std::string();
}

// The folder a path is in, with its separator.
std::string_view FolderOf(const std::string& path) { return std::string_view(path).substr(0, path.rfind('/') + 1); }

// Whether a pair's .rgb is spelled as the batch looks for it first: its
// extension's letters in the case of the .ipr's ("x.ipr" with "x.rgb").
bool SpelledAsIpr(const std::string& ipr, const std::string& rgb) {
    const std::string iprExt = ExtractFileExt(ipr), rgbExt = ExtractFileExt(rgb);
    if (iprExt.size() != 4 || rgbExt.size() != 4) return false;
    for (size_t i = 1; i < 4; ++i)
        if ((iprExt[i] >= 'a' && iprExt[i] <= 'z') != (rgbExt[i] >= 'a' && rgbExt[i] <= 'z')) return false;
    return true;
}

// What a pair's .ipr says of its size: width and height once it holds its
// four values, 0 x 0 before. A value is whole once a blank follows it; a
// pair whose .ipr ends without one settles.
struct IprSize {
    int32_t width = 0, height = 0;
};

IprSize ReadIprSize(const std::string& ipr) {
    const int fd = ::open(ipr.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    char text[256];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    int32_t values[4];
    int found = 0;
    for (ssize_t at = 0; at < n && found < 4;) {
        while (at < n && static_cast<unsigned char>(text[at]) <= 32) ++at;
        const ssize_t start = at;
        while (at < n && static_cast<unsigned char>(text[at]) > 32) ++at;
        if (at == n) break;  // the token may still grow
        if (!ParseIprInteger(std::string_view(text + start, static_cast<size_t>(at - start)), values[found])) return {};
        ++found;
    }
    if (found < 4 || values[0] <= 0 || values[1] <= 0) return {};
    return {values[0], values[1]};
}

// Whether an .rgb of rgbBytes holds every byte of the size its .ipr gives.
bool RgbIsFull(const IprSize& size, int64_t rgbBytes) {
    return size.width > 0 && rgbBytes / 3 / size.width >= size.height;  // rgbBytes >= 3 * w * h, without overflow
}

// The real path with its separator; "" when it does not resolve.
std::string RealFolder(const std::string& path) {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return {};
    std::string out = real;
    AddBackslash(out);
    return out;
}

}  // namespace

std::string WatchRefusal(const WatchOptions& watch, const PlanOptions& plan) {
    // Outputs beside their sources would land in the watched folders,
    // where they could not be told from images dropped there.
    if (plan.outputDir.empty()) return Tr("a watch needs an output folder");
    // It names each output after its input to find what it converted before.
    if (plan.namePattern != "{name}" || plan.existing == ExistingOutput::Number)
        return Tr("a watch names its outputs after their inputs: no name pattern and no numbers");
    std::string out = plan.outputDir;
    AddBackslash(out);
    // An output folder not there yet is none of the watched ones.
    for (const std::string& root : watch.folders) {
        const FileKey rootKey = KeyOf(root);
        if (!rootKey.found) continue;
        if (KeyOf(out) == rootKey) return FormatText(Tr("the output folder %s is also a watched folder; give another one"), out.c_str());
        for (const std::string* moved : {&watch.doneDir, &watch.failedDir})
            if (!moved->empty() && KeyOf(*moved) == rootKey)
                return FormatText(Tr("the folder %s is also a watched folder; give another one"), moved->c_str());
    }
    return {};
}

class TWatchRun::TState {
public:
    TState(WatchOptions watch, PlanOptions plan, BatchOptions batch, LoadStep load, WatchEvents events)
        : options_(std::move(watch)), plan_(std::move(plan)), batch_(std::move(batch)), load_(std::move(load)),
          events_(std::move(events)) {
        watch_ = options_.poll.count() > 0 ? PollingFolderWatch(options_.poll) : KernelFolderWatch();
        batch_.onLoadFailure = OnLoadFailure::KeepGoing;
        batch_.cancelled = [this] { return stop_.load(); };
        plan_.shard = 0;
        plan_.shards = 1;
    }

    void Stop() {
        stop_ = true;
        watch_->Wake();
    }

    BatchResult Run() {
        if (std::string why = WatchRefusal(options_, plan_); !why.empty()) throw EQuenlo(why);
        // A watched folder is never made, not even as the output folder's
        // parent: a share not mounted yet would become a folder below it.
        for (const std::string& root : options_.folders) {
            struct stat st {};
            const int error = ::stat(root.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
            if (error) throw EQuenlo(FormatText(Tr("cannot watch %s: %s"), root.c_str(), std::strerror(error)));
        }
        outDir_ = plan_.outputDir;
        PrepareOutputDir(outDir_);
        Exclude(outDir_);
        for (std::string* moved : {&options_.doneDir, &options_.failedDir})
            if (!moved->empty()) {
                PrepareOutputDir(*moved);
                Exclude(*moved);
            }
        for (std::string root : options_.folders) {
            AddBackslash(root);
            if (!AddTree(root, "", true, false)) throw EQuenlo(FormatText(Tr("cannot watch %s: %s"), root.c_str(), std::strerror(errno)));
            roots_.push_back(root);
            Status("watching " + root);
        }
        lastActivity_ = Clock::now();
        std::vector<WatchNote> notes;
        while (!stop_) {
            if (TakeAndRun()) lastActivity_ = Clock::now();
            if (stop_) break;
            const Clock::time_point now = Clock::now();
            Clock::time_point wake = NextDue();
            const bool busy = wake != kNever;
            if (!gone_.empty()) wake = std::min(wake, now + kLookAgain);
            if (options_.idleExit.count() > 0 && !busy) {
                const Clock::time_point idleEnd = lastActivity_ + options_.idleExit;
                if (now >= idleEnd) break;
                wake = std::min(wake, idleEnd);
            }
            notes.clear();
            // A time already past (a file that settled while others were
            // converted) is no wait at all; a negative one would be none.
            watch_->Wait(wake == kNever ? milliseconds(-1) : std::max(milliseconds(0), std::chrono::ceil<milliseconds>(wake - now)),
                         notes);
            if (!notes.empty()) lastActivity_ = Clock::now();
            for (const WatchNote& note : notes) Note(note);
            LookForGoneRoots();
        }
        return total_;
    }

private:
    struct Folder {
        std::string subdir;  // below the output folder
        FileKey key;
    };
    struct Pending {
        std::string name;  // the file, or the pair's member last heard of
        // A pair's .ipr and .rgb as last heard of: in any case ("x.Ipr"), which
        // MemberOf's spellings would miss.
        std::string member[2];
        bool pair = false;
        // Written since it was last closed: the file or .ipr, and the .rgb.
        bool writing[2] = {false, false};
        bool touched = false;  // heard of since it was last looked at
        // Found by a scan and heard of by no event since: an output newer
        // than its last change means it was converted before.
        bool scanned = false;
        Clock::time_point due = kNever;  // kNever: waits for a change
        Signature seen;
        // The .ipr as it was when last read, and what it said: read again
        // only once it changed, as the settle rule tells a change.
        FileStat iprRead;
        IprSize iprSize;
        bool Open() const { return writing[0] || writing[1]; }
    };
    struct Taken {
        std::string key;
        Signature signature;
        PlanInput input;
        bool scanned = false;
    };
    // The input whose output a name last was.
    struct Source {
        std::string key, input;
    };
    // A folder the watch writes into: never watched, by its identity or its path.
    struct Excluded {
        std::string real;  // the real path when the watch began
        std::string given;
    };
    struct Retry {
        int attempts = 0;
    };

    void Status(const std::string& text) {
        if (events_.onStatus) events_.onStatus(text);
    }

    // Hidden names and partial downloads, which their writers rename when done.
    bool Hidden(const std::string& path) const {
        if (options_.includeHidden) return false;
        const std::string ext = ExtractFileExt(path);
        return ExtractFileName(path).starts_with('.') || SameTextAscii(ext, ".part") || SameTextAscii(ext, ".crdownload") ||
               SameTextAscii(ext, ".tmp");
    }
    // Whether the watch takes a name, and then whether it is a pair's member.
    bool Wanted(const std::string& name, bool& pair) const {
        if (Hidden(name)) return false;
        const ImageKind kind = KindByName(name);
        const bool raw = IsRawData(name, plan_.rawExt);
        pair = kind == ImageKind::RawPair && !raw;
        return kind != ImageKind::None || raw;
    }
    bool Wanted(const std::string& name) const {
        bool pair = false;
        return Wanted(name, pair);
    }
    // Which of a pending item's members a name is: 1 for a pair's .rgb.
    static int MemberIndex(const std::string& name, bool pair) {
        return pair && SameTextAscii(ExtractFileExt(name), ".rgb") ? 1 : 0;
    }

    void Exclude(const std::string& dir) { excluded_.push_back({RealFolder(dir), dir}); }
    bool IsExcluded(const std::string& path, const FileKey& key) const {
        const std::string real = RealFolder(path);
        for (const Excluded& e : excluded_)
            if (KeyOf(e.given) == key || (!e.real.empty() && real == e.real)) return true;
        return false;
    }

    // A folder that cannot be looked at: counted as failed, in the report.
    void LeftOut(const std::string& path, const std::string& why) { Fail({path, {}, why, {}, {}}); }

    void Fail(const BatchItem& item) {
        planned_ += 1;
        if (events_.onPlanned) events_.onPlanned(planned_);
        ++total_.failed;
        if (events_.batch.onFailed) events_.batch.onFailed(item, item.refusal, FailureKind::Save);
        ItemReport report;
        report.status = ItemStatus::Failed;
        report.error = item.refusal;
        if (events_.batch.onSettled) events_.batch.onSettled(item, report);
    }
    bool IsPair(const std::string& name) const {
        return KindByName(name) == ImageKind::RawPair && !IsRawData(name, plan_.rawExt);
    }
    // A pair's key ends with a separator, so it names no file.
    static std::string KeyFor(const std::string& name, bool pair) { return pair ? ChangeFileExt(name, "/") : name; }

    // Watches a folder (and with Recurse those below it) and takes note of
    // the images in it; arrived: it came while the watch ran, so its files
    // are new. False, with errno, when a root cannot be watched.
    bool AddTree(const std::string& path, const std::string& subdir, bool root, bool arrived) {
        const FileKey key = KeyOf(path);
        if (!key.found) return false;
        // The output folder below a watched one would feed the watch its own
        // outputs, and one made again has another identity.
        if (!root && IsExcluded(path, key)) return true;
        std::string renamed;
        for (const auto& [p, f] : folders_)
            if (f.key == key) {
                if (KeyOf(p) == key) return true;  // a link to a folder already watched
                renamed = p;  // not under that name any more
            }
        if (!renamed.empty()) DropFolder(renamed);
        const Watching how = watch_->Add(path);
        if (how == Watching::No) {
            if (root) return false;
            LeftOut(path, FormatText(Tr("cannot watch this folder: %s"), std::strerror(errno)));
            return true;
        }
        if (how == Watching::Scans && options_.poll.count() == 0 && !toldLimit_) {
            toldLimit_ = true;
            Status(FormatText(Tr("the kernel watches no more folders for this user (fs.inotify.max_user_watches): %s and any "
                                 "more are scanned every 2 s instead; raise the limit with sysctl fs.inotify.max_user_watches=N"),
                              path.c_str()));
        }
        folders_[path] = {subdir, key};
        Rescan(path, subdir, arrived);
        return true;
    }

    // A file found by a scan: one not changed for the settle time is taken at once.
    void Found(const std::string& name, const struct stat& st, bool arrived) {
        bool pair = false;
        if (!S_ISREG(st.st_mode) || !Wanted(name, pair)) return;
        const auto [it, added] = pending_.try_emplace(KeyFor(name, pair));
        Pending& p = it->second;
        if (added) p.scanned = !arrived;
        p.name = name;
        p.pair = pair;
        if (pair) p.member[MemberIndex(name, pair)] = name;
        // After lost events a close may be among them: the settle time decides.
        p.writing[0] = p.writing[1] = false;
        const auto mtime = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        const bool old = std::chrono::system_clock::now() - mtime >= options_.settle;
        p.due = std::min(p.due, old ? Clock::now() : Clock::now() + options_.settle);
        p.touched = true;
    }

    void Note(const WatchNote& note) {
        switch (note.change) {
            case WatchChange::Overflow:
                Status(Tr("too many changes at once; looking through the watched folders again"));
                for (const auto& [path, folder] : std::map(folders_)) Rescan(path, folder.subdir, false);
                return;
            case WatchChange::FolderAdded: {
                const auto parent = folders_.find(FolderOf(note.path));
                if (options_.recurse == Recurse::On && parent != folders_.end() && !Hidden(note.path))
                    AddTree(note.path + "/", parent->second.subdir + ExtractFileName(note.path) + "/", false, true);
                return;
            }
            case WatchChange::FolderGone: return FolderGone(note.path);
            case WatchChange::Written:
            case WatchChange::Closed:
            case WatchChange::Gone: break;
        }
        bool pair = false;
        if (!Wanted(note.path, pair) || !folders_.count(FolderOf(note.path))) return;
        const std::string key = KeyFor(note.path, pair);
        // A file changed: its failure to be written is news again.
        if (!retries_.empty()) retries_.erase(key);
        if (note.change == WatchChange::Gone) {
            // What a long watch remembers is only what is still there.
            done_.erase(key);
            if (const auto it = pending_.find(key); it != pending_.end()) {
                it->second.writing[MemberIndex(note.path, pair)] = false;
                it->second.touched = true;
            }
            return;
        }
        Pending& p = pending_[key];
        p.name = note.path;
        p.pair = pair;
        if (pair) p.member[MemberIndex(note.path, pair)] = note.path;
        p.scanned = false;
        p.writing[MemberIndex(note.path, pair)] = note.change == WatchChange::Written;
        p.due = Clock::now() + options_.settle;
        p.touched = true;
    }

    // Looks at every file again, and with Recurse takes in new folders.
    void Rescan(const std::string& path, const std::string& subdir, bool arrived) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            if (errno != ENOENT) LeftOut(path, FormatText(Tr("cannot read this folder: %s"), std::strerror(errno)));
            return;
        }
        std::vector<std::string> below;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            struct stat st {};
            // By the open folder: no walk down its path for every name.
            if (name == "." || name == ".." || ::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                if (!Hidden(name)) below.push_back(name);
            } else {
                Found(path + name, st, arrived);
            }
        }
        ::closedir(dir);
        if (options_.recurse == Recurse::On)
            for (const std::string& name : below)
                if (!folders_.count(path + name + "/")) AddTree(path + name + "/", subdir + name + "/", false, arrived);
    }

    void FolderGone(const std::string& path) {
        if (!folders_.count(path)) return;
        Status(FormatText(Tr("%s: the watched folder is gone; it is watched again when it comes back"), path.c_str()));
        DropFolder(path);
        // Below a watched folder, the folder's return is an event of its parent.
        if (std::find(roots_.begin(), roots_.end(), path) != roots_.end()) gone_.push_back(path);
    }

    // Forgets a folder and those below it.
    void DropFolder(const std::string& path) {
        // Folders below it that were moved away with it keep their watches.
        for (auto below = folders_.begin(); below != folders_.end();) {
            if (below->first.size() > path.size() && below->first.starts_with(path)) {
                watch_->Remove(below->first);
                below = folders_.erase(below);
            } else {
                ++below;
            }
        }
        watch_->Remove(path);
        folders_.erase(path);
    }

    void LookForGoneRoots() {
        for (auto it = gone_.begin(); it != gone_.end();) {
            if (AddTree(*it, "", true, false)) {
                Status("watching " + *it + " again");
                it = gone_.erase(it);
            } else {
                ++it;
            }
        }
    }

    Clock::time_point NextDue() const {
        Clock::time_point due = kNever;
        for (const auto& [key, p] : pending_) due = std::min(due, p.touched ? Clock::now() : p.due);
        return due;
    }

    // The members of a pending item as they are now; false when one is missing.
    bool Current(const Pending& p, std::string& input, std::string& rgb, Signature& now) const {
        if (!p.pair) {
            input = p.name;
            return StatFile(input, now.first);
        }
        input = HeardOrNamed(p, 0, ".IPR", now.first);
        rgb = HeardOrNamed(p, 1, ".RGB", now.second);
        return !input.empty() && !rgb.empty();
    }
    static std::string HeardOrNamed(const Pending& p, int i, std::string_view upperExt, FileStat& st) {
        if (!p.member[i].empty() && StatFile(p.member[i], st)) return p.member[i];
        return MemberOf(p.name, upperExt, st);
    }

    // Looks at what is due or was heard of: what is complete is taken,
    // what changed waits the settle time again.
    std::vector<Taken> TakeComplete() {
        std::vector<Taken> taken;
        const Clock::time_point now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            Pending& p = it->second;
            if (!p.touched && p.due > now) {
                ++it;
                continue;
            }
            std::string input, rgb;
            Signature current;
            if (!Current(p, input, rgb, current)) {
                // A pair waits for its other member; a file that left is forgotten.
                if (!p.pair || (input.empty() && rgb.empty())) {
                    it = pending_.erase(it);
                    continue;
                }
                p.touched = false;
                p.due = kNever;
                ++it;
                continue;
            }
            if (current != p.seen) {
                // Changed since it was last looked at: it must stay so for the settle time.
                if (!p.touched || p.seen.first.size >= 0) p.due = std::max(p.due, now + options_.settle);
                p.seen = current;
            }
            // Kernel events tell when a writer still has a member open;
            // scans do not, so there a pair settles as any file does. One
            // that has settled needs no look at its .ipr.
            bool complete = p.due <= now && !p.Open();
            if (!complete && p.pair && !p.Open() && options_.poll.count() == 0 && !current.second.sparse) {
                if (!(p.iprRead == current.first)) {
                    p.iprRead = current.first;
                    p.iprSize = ReadIprSize(input);
                }
                complete = RgbIsFull(p.iprSize, current.second.size);
            }
            p.touched = false;
            if (!complete) {
                if (p.Open() && p.due <= now) p.due = kNever;  // open for writing: its close is an event
                ++it;
                continue;
            }
            // p goes with its entry.
            const std::string key = it->first;
            const bool scanned = p.scanned, pair = p.pair;
            it = pending_.erase(it);
            if (const auto done = done_.find(key); done != done_.end() && done->second == current) continue;
            const auto folder = folders_.find(FolderOf(input));
            if (folder == folders_.end()) continue;
            taken.push_back({key, current, {input, folder->second.subdir}, scanned});
            taken.back().input.image = {current.first.dev, current.first.ino, true};
            if (pair && SpelledAsIpr(input, rgb)) taken.back().input.rgb = rgb;
        }
        return taken;
    }

    // Why an output must not be written: it would replace an image that
    // this watch also reads, through a link ("" when it may be written).
    std::string Refusal(const std::string& output) const {
        char real[PATH_MAX];
        if (!::realpath(output.c_str(), real) || !Wanted(real)) return {};
        const FileKey dir = KeyOf(ExtractFileDir(real));
        for (const auto& [path, folder] : folders_)
            if (folder.key == dir) return FormatText(Tr("would replace %s, which this watch also reads"), real);
        return {};
    }

    // The members of an input: a pair's two, or the file.
    static std::vector<std::string> Members(const BatchItem& item) {
        if (item.ipr.empty()) return {item.input};
        return {item.ipr, item.rgb};
    }

    // Moves an input into dir below its subfolder; a warning when it cannot.
    void MoveInto(const std::string& dir, const BatchItem& item, const std::string& subdir) {
        if (dir.empty()) return;
        for (const std::string& member : Members(item)) {
            const std::string to = dir + subdir + ExtractFileName(member);
            std::error_code ec;
            std::filesystem::create_directories(dir + subdir, ec);
            if (::rename(member.c_str(), to.c_str()) == 0) continue;
            // Another file system: a copy that is whole before the source goes.
            if (errno == EXDEV && std::filesystem::copy_file(member, to, std::filesystem::copy_options::overwrite_existing, ec) &&
                std::filesystem::remove(member, ec))
                continue;
            const std::string why = ec ? ec.message() : std::strerror(errno);
            if (events_.batch.onWarning)
                events_.batch.onWarning(item, FormatText(Tr("could not move %s to %s%s: %s"), member.c_str(), dir.c_str(),
                                                         subdir.c_str(), why.c_str()));
        }
    }

    // A BatchItem for an input not planned (its pair's members found by name).
    BatchItem ItemOf(const Taken& t, const std::string& output, std::string refusal) const {
        BatchItem item{t.input.name, output, std::move(refusal), {}, {}};
        if (IsPair(t.input.name)) {
            FileStat st;
            item.ipr = MemberOf(t.input.name, ".IPR", st);
            item.rgb = MemberOf(t.input.name, ".RGB", st);
            // Spelled in neither lower nor upper case ("x.Rgb"): the folder says.
            if (item.rgb.empty()) item.rgb = FindOtherCase(ChangeFileExt(t.input.name, ".rgb"), ".rgb");
        }
        return item;
    }

    // Why an output must not be written by this input: another input
    // that is still there wrote it while the watch ran ("" when it may).
    std::string Clash(const std::string& output, const std::string& key) const {
        const auto it = outputs_.find(output);
        if (it == outputs_.end() || it->second.key == key) return {};
        FileStat st;
        if (!StatFile(it->second.input, st)) return {};
        return FormatText(Tr("its output is also the output of %s"), it->second.input.c_str());
    }

    // Runs what became complete as one batch. True when anything was run.
    bool TakeAndRun() {
        std::vector<Taken> taken = TakeComplete();
        std::vector<PlanInput> inputs;
        std::vector<const Taken*> planned;  // beside inputs
        std::vector<std::pair<BatchItem, std::string>> refused;  // with the subfolder
        // Taken in the order of their keys, which is nearly always the inputs' order.
        const auto byName = [](const Taken& a, const Taken& b) { return a.input.name < b.input.name; };
        if (!std::is_sorted(taken.begin(), taken.end(), byName)) std::sort(taken.begin(), taken.end(), byName);
        for (const Taken& t : taken) {
            const std::string output = OutputNameFor(t.input.name, outDir_, t.input.subdir, plan_.outputExt);
            FileStat out;
            const bool exists = StatFile(output, out);
            // Converted before this run began: its output is newer than its last
            // change. What arrives while the watch runs is new, whatever its times.
            if (exists && t.scanned && !done_.count(t.key) && out.mtimeNs > t.signature.NewestNs()) {
                done_[t.key] = t.signature;
                outputs_[output] = {t.key, t.input.name};
                if (!options_.doneDir.empty()) MoveInto(options_.doneDir, ItemOf(t, output, {}), t.input.subdir);
                continue;
            }
            std::string why = Clash(output, t.key);
            if (why.empty() && exists) why = Refusal(output);
            if (!why.empty()) {
                done_[t.key] = t.signature;
                refused.emplace_back(ItemOf(t, output, std::move(why)), t.input.subdir);
                continue;
            }
            inputs.push_back(t.input);
            planned.push_back(&t);
        }
        for (const auto& [item, subdir] : refused) {
            Fail(item);
            MoveInto(options_.failedDir, item, subdir);
        }
        if (inputs.empty()) return !refused.empty();

        size_t at = 0;
        const TBatchPlan plan = PlanBatch([&](PlanInput& in) { return at < inputs.size() && (in = inputs[at++], true); }, plan_);
        planned_ += plan.Size();
        if (events_.onPlanned) events_.onPlanned(planned_);
        BatchEvents events = events_.batch;
        // A write that failed with the item itself fine (a full or read-only
        // disk, a folder removed) is tried again; only its first failure is told.
        int untold = 0;
        std::unordered_set<std::string> toRetry;  // keys
        // Items settle in the plan's order at -j1 and nearly so with more
        // jobs: the next one is tried before a lookup by name.
        size_t next = 0;
        std::unordered_map<std::string_view, size_t> byInput;  // into planned; made at the first one out of order
        const auto takenFor = [&](const std::string& input) -> size_t {
            if (next < planned.size() && planned[next]->input.name == input) return next;
            if (byInput.empty())
                for (size_t i = 0; i < planned.size(); ++i) byInput.emplace(planned[i]->input.name, i);
            const auto it = byInput.find(input);
            return it == byInput.end() ? planned.size() : it->second;
        };
        // What the watch remembers of the items done, filled in once the batch is.
        std::vector<std::pair<const Taken*, std::string>> finished;  // with the output written, if any
        finished.reserve(planned.size());
        events.onFailed = [&](const BatchItem& item, const std::string& reason, FailureKind kind) {
            const size_t t = takenFor(item.input);
            if (kind == FailureKind::Save && item.refusal.empty() && t < planned.size()) {
                toRetry.insert(planned[t]->key);
                if (retries_[planned[t]->key].attempts++ > 0) return;
            }
            if (events_.batch.onFailed) events_.batch.onFailed(item, reason, kind);
        };
        events.onSettled = [&](const BatchItem& item, const ItemReport& report) {
            const size_t t = takenFor(item.input);
            if (t == planned.size()) {
                if (events_.batch.onSettled) events_.batch.onSettled(item, report);
                return;
            }
            next = t + 1;
            const Taken& taken = *planned[t];
            if (report.status == ItemStatus::Failed && !toRetry.empty() && toRetry.count(taken.key)) {
                const int attempts = retries_[taken.key].attempts;
                Pending& p = pending_[taken.key];
                p.name = taken.input.name;
                p.pair = IsPair(taken.input.name);
                p.seen = taken.signature;
                p.due = Clock::now() + std::min(kMostBackOff, milliseconds(1000LL << std::min(attempts - 1, 6)));
                if (attempts > 1) {
                    ++untold;
                    return;
                }
                if (events_.batch.onSettled) events_.batch.onSettled(item, report);
                return;
            }
            if (report.status != ItemStatus::NotReached)
                finished.emplace_back(&taken, report.status != ItemStatus::Failed ? item.output : std::string());
            if (events_.batch.onSettled) events_.batch.onSettled(item, report);
            if (report.status == ItemStatus::Failed) MoveInto(options_.failedDir, item, taken.input.subdir);
            else if (report.status != ItemStatus::NotReached) MoveInto(options_.doneDir, item, taken.input.subdir);
        };
        // Starting a thread costs more than converting a few small files:
        // a group of small files runs on fewer threads than -j allows.
        int64_t bytes = 0;
        for (const Taken* t : planned) bytes += t->signature.first.size + std::max<int64_t>(t->signature.second.size, 0);
        BatchOptions options = batch_;
        options.jobs = static_cast<int>(std::clamp<int64_t>(bytes / kBytesPerJob, 1, std::max(batch_.jobs, 1)));
        const BatchResult r = RunBatch(plan, options, load_, events);
        for (const auto& [t, output] : finished) {
            if (!retries_.empty()) retries_.erase(t->key);
            done_[t->key] = t->signature;
            if (!output.empty()) outputs_[output] = {t->key, t->input.name};
        }
        total_.converted += r.converted;
        total_.skipped += r.skipped;
        total_.failed += r.failed - untold;
        total_.notStarted += r.notStarted;
        total_.cancelled = total_.cancelled || r.cancelled;
        return true;
    }

    WatchOptions options_;
    PlanOptions plan_;
    BatchOptions batch_;
    LoadStep load_;
    WatchEvents events_;
    std::unique_ptr<TFolderWatch> watch_;
    std::atomic<bool> stop_{false};

    std::string outDir_;  // with its separator; "" beside each source
    std::vector<Excluded> excluded_;  // the output, done and failed folders
    bool toldLimit_ = false;
    std::vector<std::string> roots_;
    std::vector<std::string> gone_;  // roots to look for again
    std::map<std::string, Folder, std::less<>> folders_;  // by path with its separator
    std::map<std::string, Pending> pending_;  // by KeyFor
    std::unordered_map<std::string, Signature> done_;  // by KeyFor
    std::unordered_map<std::string, Source> outputs_;  // by output name
    std::unordered_map<std::string, Retry> retries_;  // by KeyFor
    Clock::time_point lastActivity_;
    size_t planned_ = 0;
    BatchResult total_;
};

TWatchRun::TWatchRun(WatchOptions watch, PlanOptions plan, BatchOptions batch, LoadStep load, WatchEvents events)
    : state_(std::make_unique<TState>(std::move(watch), std::move(plan), std::move(batch), std::move(load),
                                      std::move(events))) {}

TWatchRun::~TWatchRun() = default;

BatchResult TWatchRun::Run() { return state_->Run(); }

void TWatchRun::Stop() { state_->Stop(); }

}  // namespace quenlo
