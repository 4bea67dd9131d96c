#include "batch/WatchSource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

namespace quenlo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr Clock::time_point kNever = Clock::time_point::max();
// How often a watched folder that is gone is looked for.
constexpr milliseconds kLookAgain{1000};
// Input bytes that make a conversion worth a thread of its own.
constexpr int64_t kBytesPerJob = 1 << 20;

struct FileStat {
    uint64_t dev = 0, ino = 0;
    int64_t size = -1, mtimeNs = 0;
    bool operator==(const FileStat&) const = default;
};

// Regular files only: a special file never becomes complete.
bool StatFile(const std::string& name, FileStat& out) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
           st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    return true;
}

// What a file or pair was when it was taken: the same state is never
// converted twice, a rewritten one is.
struct Signature {
    FileStat first, second;  // a pair's .ipr and .rgb
    bool operator==(const Signature&) const = default;
    int64_t NewestNs() const { return std::max(first.mtimeNs, second.mtimeNs); }
};

// A pair's member found by name alone: listing a folder of thousands of
// files for every event would cost more than the conversions. The name
// itself when it has the extension, else the extension in lower or upper case.
// Fills in its state; "" when there is none.
std::string MemberOf(const std::string& name, std::string_view upperExt, FileStat& st) {
    if (UpperAscii(ExtractFileExt(name)) == upperExt && StatFile(name, st)) return name;
    for (const std::string& ext : {LowerAscii(upperExt), std::string(upperExt)})
        if (const std::string member = ChangeFileExt(name, ext); StatFile(member, st)) return member;
    return {};
}

// Whether a pair's .ipr holds its four values and its .rgb every byte of
// the size they give, so the pair need not settle. A value is whole once a
// blank follows it; a pair whose .ipr ends without one settles.
bool PairIsFull(const std::string& ipr, int64_t rgbBytes) {
    const int fd = ::open(ipr.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
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
        if (!ParseIprInteger(std::string_view(text + start, static_cast<size_t>(at - start)), values[found])) return false;
        ++found;
    }
    if (found < 4 || values[0] <= 0 || values[1] <= 0) return false;
    return rgbBytes / 3 / values[0] >= values[1];  // rgbBytes >= 3 * w * h, without overflow
}

}  // namespace

std::string WatchRefusal(const WatchOptions& watch, const PlanOptions& plan) {
    // Outputs beside their sources would land in the watched folders,
    // where they could not be told from images dropped there.
    if (plan.outputDir.empty()) return "a watch needs an output folder";
    std::string out = plan.outputDir;
    AddBackslash(out);
    // An output folder not there yet is none of the watched ones.
    const FileKey outKey = KeyOf(out);
    for (const std::string& root : watch.folders)
        if (outKey.found && KeyOf(root) == outKey)
            return "the output folder " + out + " is also a watched folder; give another one";
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
        outDir_ = plan_.outputDir;
        PrepareOutputDir(outDir_);
        outKey_ = KeyOf(outDir_);
        for (std::string root : options_.folders) {
            AddBackslash(root);
            if (!AddTree(root, "", true)) throw EQuenlo("cannot watch " + root + ": " + std::strerror(errno));
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
            watch_->Wait(wake == kNever ? milliseconds(-1) : std::chrono::ceil<milliseconds>(wake - now), notes);
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
        bool pair = false;
        bool writing = false;  // written since it was last closed
        bool touched = false;  // heard of since it was last looked at
        Clock::time_point due = kNever;  // kNever: waits for a change
        Signature seen;
    };
    struct Taken {
        std::string key;
        Signature signature;
        PlanInput input;
    };

    void Status(const std::string& text) {
        if (events_.onStatus) events_.onStatus(text);
    }

    bool Wanted(const std::string& name) const {
        return KindByName(ExtractFileName(name)) != ImageKind::None || IsRawData(name, plan_.rawExt);
    }
    bool IsPair(const std::string& name) const {
        return KindByName(name) == ImageKind::RawPair && !IsRawData(name, plan_.rawExt);
    }
    // A pair's key ends with a separator, so it names no file.
    std::string KeyFor(const std::string& name) const { return IsPair(name) ? ChangeFileExt(name, "") + "/" : name; }

    // Watches a folder (and with Recurse those below it) and takes note of
    // the images in it. False, with errno, when it cannot be watched.
    bool AddTree(const std::string& path, const std::string& subdir, bool root) {
        const FileKey key = KeyOf(path);
        if (!key.found) return false;
        // The output folder below a watched one would feed the watch its own outputs.
        if (!root && outKey_.found && key == outKey_) return true;
        for (const auto& [p, f] : folders_)
            if (f.key == key) return true;  // a link to a folder already watched
        if (!watch_->Add(path)) {
            if (root) return false;
            Status("cannot watch " + path + ": " + std::strerror(errno));
            return true;
        }
        folders_[path] = {subdir, key};
        Rescan(path, subdir);
        return true;
    }

    // A file found by a scan: one not changed for the settle time is taken at once.
    void Found(const std::string& name, const struct stat& st) {
        if (!S_ISREG(st.st_mode) || !Wanted(name)) return;
        Pending& p = pending_[KeyFor(name)];
        p.name = name;
        p.pair = IsPair(name);
        // After lost events a close may be among them: the settle time decides.
        p.writing = false;
        const auto mtime = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        const bool old = std::chrono::system_clock::now() - mtime >= options_.settle;
        p.due = std::min(p.due, old ? Clock::now() : Clock::now() + options_.settle);
        p.touched = true;
    }

    void Note(const WatchNote& note) {
        switch (note.change) {
            case WatchChange::Overflow:
                Status("too many changes at once; looking through the watched folders again");
                for (const auto& [path, folder] : std::map(folders_)) Rescan(path, folder.subdir);
                return;
            case WatchChange::FolderAdded: {
                const auto parent = folders_.find(ExtractFileDir(note.path) + "/");
                if (options_.recurse == Recurse::On && parent != folders_.end())
                    AddTree(note.path + "/", parent->second.subdir + ExtractFileName(note.path) + "/", false);
                return;
            }
            case WatchChange::FolderGone: return FolderGone(note.path);
            case WatchChange::Written:
            case WatchChange::Closed:
            case WatchChange::Gone: break;
        }
        if (!Wanted(note.path) || !folders_.count(ExtractFileDir(note.path) + "/")) return;
        const std::string key = KeyFor(note.path);
        if (note.change == WatchChange::Gone) {
            // What a long watch remembers is only what is still there.
            done_.erase(key);
            if (const auto it = pending_.find(key); it != pending_.end()) it->second.touched = true;
            return;
        }
        Pending& p = pending_[key];
        p.name = note.path;
        p.pair = IsPair(note.path);
        p.writing = note.change == WatchChange::Written;
        p.due = Clock::now() + options_.settle;
        p.touched = true;
    }

    // Looks at every file again, and with Recurse takes in new folders.
    void Rescan(const std::string& path, const std::string& subdir) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) return;
        std::vector<std::string> below;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            struct stat st {};
            if (name == "." || name == ".." || ::stat((path + name).c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) below.push_back(name);
            else Found(path + name, st);
        }
        ::closedir(dir);
        if (options_.recurse == Recurse::On)
            for (const std::string& name : below)
                if (!folders_.count(path + name + "/")) AddTree(path + name + "/", subdir + name + "/", false);
    }

    void FolderGone(const std::string& path) {
        const auto it = folders_.find(path);
        if (it == folders_.end()) return;
        Status(path + ": the watched folder is gone; it is watched again when it comes back");
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
        // Below a watched folder, the folder's return is an event of its parent.
        if (std::find(roots_.begin(), roots_.end(), path) != roots_.end()) gone_.push_back(path);
    }

    void LookForGoneRoots() {
        for (auto it = gone_.begin(); it != gone_.end();) {
            if (AddTree(*it, "", true)) {
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
        input = MemberOf(p.name, ".IPR", now.first);
        rgb = MemberOf(p.name, ".RGB", now.second);
        return !input.empty() && !rgb.empty();
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
            // Kernel events tell when a writer still has a member open.
            const bool full = p.pair && !p.writing && PairIsFull(input, current.second.size);
            bool complete = full;
            if (!full && current != p.seen) {
                // Changed since it was last looked at: it must stay so for the settle time.
                if (!p.touched || p.seen.first.size >= 0) p.due = std::max(p.due, now + options_.settle);
                p.seen = current;
            }
            complete = complete || (p.due <= now && !p.writing && current == p.seen);
            p.touched = false;
            if (!complete) {
                if (p.writing && p.due <= now) p.due = kNever;  // open for writing: its close is an event
                ++it;
                continue;
            }
            const std::string key = it->first;
            it = pending_.erase(it);
            if (const auto done = done_.find(key); done != done_.end() && done->second == current) continue;
            const auto folder = folders_.find(ExtractFileDir(input) + "/");
            if (folder == folders_.end()) continue;
            taken.push_back({key, current, {input, folder->second.subdir}});
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
            if (folder.key == dir) return "would replace " + std::string(real) + ", which this watch also reads";
        return {};
    }

    // Runs what became complete as one batch. True when anything was run.
    bool TakeAndRun() {
        std::vector<Taken> taken = TakeComplete();
        std::vector<PlanInput> inputs;
        std::unordered_map<std::string, const Taken*> byInput;
        std::vector<BatchItem> refused;
        std::sort(taken.begin(), taken.end(), [](const Taken& a, const Taken& b) { return a.input.name < b.input.name; });
        for (const Taken& t : taken) {
            const std::string output = OutputNameFor(t.input.name, outDir_, t.input.subdir);
            FileStat out;
            // Converted before this run began: its output is newer than it.
            const bool exists = StatFile(output, out);
            if (exists && !done_.count(t.key) && out.mtimeNs > t.signature.NewestNs()) {
                done_[t.key] = t.signature;
                continue;
            }
            if (std::string why = exists ? Refusal(output) : std::string(); !why.empty()) {
                done_[t.key] = t.signature;
                refused.push_back({t.input.name, output, std::move(why), {}, {}});
                continue;
            }
            inputs.push_back(t.input);
            byInput[t.input.name] = &t;
        }
        for (const BatchItem& item : refused) {
            planned_ += 1;
            if (events_.onPlanned) events_.onPlanned(planned_);
            ++total_.failed;
            if (events_.batch.onFailed) events_.batch.onFailed(item, item.refusal, FailureKind::Save);
            ItemReport report;
            report.status = ItemStatus::Failed;
            report.error = item.refusal;
            if (events_.batch.onSettled) events_.batch.onSettled(item, report);
        }
        if (inputs.empty()) return !refused.empty();

        size_t at = 0;
        const TBatchPlan plan = PlanBatch([&](PlanInput& in) { return at < inputs.size() && (in = inputs[at++], true); }, plan_);
        planned_ += plan.Size();
        if (events_.onPlanned) events_.onPlanned(planned_);
        BatchEvents events = events_.batch;
        events.onSettled = [&](const BatchItem& item, const ItemReport& report) {
            if (report.status != ItemStatus::NotReached)
                if (const auto t = byInput.find(item.input); t != byInput.end()) done_[t->second->key] = t->second->signature;
            if (events_.batch.onSettled) events_.batch.onSettled(item, report);
        };
        // Starting a thread costs more than converting a few small files:
        // a group of small files runs on fewer threads than -j allows.
        int64_t bytes = 0;
        for (const auto& [input, t] : byInput) bytes += t->signature.first.size + std::max<int64_t>(t->signature.second.size, 0);
        BatchOptions options = batch_;
        options.jobs = static_cast<int>(std::clamp<int64_t>(bytes / kBytesPerJob, 1, std::max(batch_.jobs, 1)));
        const BatchResult r = RunBatch(plan, options, load_, events);
        total_.converted += r.converted;
        total_.skipped += r.skipped;
        total_.failed += r.failed;
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
    FileKey outKey_;
    std::vector<std::string> roots_;
    std::vector<std::string> gone_;  // roots to look for again
    std::map<std::string, Folder> folders_;  // by path with its separator
    std::map<std::string, Pending> pending_;  // by KeyFor
    std::unordered_map<std::string, Signature> done_;  // by KeyFor
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
