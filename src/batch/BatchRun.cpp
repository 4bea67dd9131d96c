#include "batch/BatchRun.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "batch/FailureReason.h"
#include "batch/FileKey.h"
#include "imageio/AtomicFile.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Messages.h"

namespace quenlo {

bool StopsBatch(FailureKind kind, OnLoadFailure onLoadFailure) {
    return kind == FailureKind::Load && onLoadFailure == OnLoadFailure::Stop;
}

std::string NothingToSave(const std::string& input, long long width, long long height) {
    if (KindByName(input) == ImageKind::None) return Tr("unsupported file type; expected .ipr, .rgb, .bmp, .jpg, .png, .tif, .gif, .heic, .avif or .webp");
    if (width == 0 || height == 0)
        return FormatText(Tr("nothing to save: the image is empty (%lld x %lld)"), width, height);
    return {};
}

namespace {
// The text with each run of digits as one '#': warnings that differ only
// in their numbers (offsets, counts) are alike.
std::string Shape(const std::string& text) {
    std::string shape;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') shape += text[i];
        else if (shape.empty() || shape.back() != '#') shape += '#';
    return shape;
}
}  // namespace

void ItemNotes::Warn(const std::string& text) {
    const std::string shape = Shape(text);
    for (size_t i = 0; i < shapes_.size(); ++i)
        if (shapes_[i] == shape) {
            ++alike_[i];
            return;
        }
    if (warnings.size() >= kMaxWarnings) {
        ++others_;
        return;
    }
    warnings.push_back(text);
    shapes_.push_back(shape);
    alike_.push_back(0);
}

std::vector<std::string> ItemNotes::Lines() const {
    std::vector<std::string> lines;
    for (size_t i = 0; i < warnings.size(); ++i)
        lines.push_back(i < alike_.size() && alike_[i] > 0
                            ? warnings[i] + FormatText(Tr(" … and %lld more like it"), alike_[i])
                            : warnings[i]);
    if (others_ > 0) lines.push_back(FormatText(Tr("… and %lld more warnings"), others_));
    return lines;
}

namespace {

// An item after its load and save steps, waiting for its turn to be committed.
struct Outcome {
    enum class State { Pending, Ready, Skipped, Failed } state = State::Pending;
    // Spelled out for its steps, which keep a reference to it: held apart so
    // that moving the outcome keeps it in place.
    std::unique_ptr<BatchItem> item;
    CommitStep commit;
    std::string reason;
    const char* code = "";  // FailureReason's, for reports
    FailureKind kind = FailureKind::Save;
    ItemNotes notes;
    std::chrono::steady_clock::duration took{};
    // The save ran out of space (ENOSPC, EDQUOT): while later items hold
    // space of their own, that says nothing of this item alone.
    bool noSpace = false;
    uint64_t heldBytes = 0;  // in its temporary, about, while it waits
};

bool OutOfSpace(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const EInOutError& e) {
        return e.Code() == ENOSPC || e.Code() == EDQUOT;
    } catch (...) {
        return false;
    }
}

// Descriptors an item may hold while it is prepared (its sources and its
// output) and while it waits (its output), and those kept back for the rest.
constexpr uint64_t kFdsPreparing = 3, kFdsWaiting = 1, kFdsSpare = 16;

uint64_t OpenDescriptors() {
    std::error_code ec;
    uint64_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return ec || n == 0 ? 64 : n;
}

// What RLIMIT_NOFILE leaves for items in flight, beyond what is open now.
uint64_t FreeDescriptors() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return UINT32_MAX;
    const uint64_t used = OpenDescriptors() + kFdsSpare;
    return lim.rlim_cur > used ? lim.rlim_cur - used : 0;
}

using Clock = std::chrono::steady_clock;

// A tree mirrored below the output folder needs its folders as it goes.
// Those made here are added to `made`, parents first.
void EnsureFolderOf(const std::string& output, std::vector<std::string>& made) {
    const std::string dir = ExtractFileDir(output);
    // Each component opened without following a link the protected-symlinks rule forbids.
    if (!dir.empty()) const TFolder folder(dir, true, &made);
}

std::string Reason(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return DescribeError(e);
    } catch (...) {
        return Tr("unknown error");
    }
}

// Folders made for outputs, so that those no output was put in go again.
struct MadeFolders {
    std::mutex mutex;
    std::vector<std::string> names;
    void Add(const std::vector<std::string>& made) {
        if (made.empty()) return;
        std::lock_guard lock(mutex);
        names.insert(names.end(), made.begin(), made.end());
    }
    // Once no temporary is left in them: rmdir removes only empty folders.
    void RemoveEmpty() {
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        for (const std::string& name : names) ::rmdir(name.c_str());
    }
};

// The files a batch reads, by identity: with {w} or {h} in its names, an
// output is named only once its image is read, after the plan's checks.
using FileKeys = std::set<FileKey>;

FileKeys ReadsOf(const TBatchPlan& plan) {
    FileKeys reads;
    for (size_t i = 0; i < plan.Size(); ++i) {
        const BatchItem item = plan.Item(i);
        for (const std::string* name : {&item.input, &item.ipr, &item.rgb})
            if (const FileKey key = KeyOf(*name); key.found) reads.insert(key);
    }
    return reads;
}

// The load and save steps of one item (plan's i-th); failures are recorded, not thrown.
Outcome PrepareSteps(const TBatchPlan& plan, size_t i, BatchItem& item, const FileKeys& reads, const LoadStep& load,
                     MadeFolders& folders) {
    Outcome out;
    auto fail = [&](FailureKind kind, std::string reason, const char* code) {
        out.state = Outcome::State::Failed;
        out.kind = kind;
        out.reason = std::move(reason);
        out.code = code;
        return std::move(out);
    };
    // What went wrong; a file of no known type is unsupported whatever its reader said.
    auto failed = [&](FailureKind kind) {
        const std::exception_ptr e = std::current_exception();
        const char* code = FailureReason(e);
        if (KindByName(item.input) == ImageKind::None && std::string_view(code) == "error")
            code = "unsupported";
        return fail(kind, Reason(e), code);
    };
    if (!item.refusal.empty()) return fail(FailureKind::Save, item.refusal, item.refusalCode);
    if (plan.existing == ExistingOutput::Skip && !item.sized && FileExists(item.output)) {
        out.state = Outcome::State::Skipped;
        return out;
    }
    SaveStep save;
    // The save step writes the name the size completes.
    if (item.sized) out.notes.onSized = [&] { item.output = plan.SizedOutput(i, out.notes.width, out.notes.height); };
    try {
        save = load(item, out.notes);
    } catch (...) {
        out.notes.onSized = nullptr;
        return failed(FailureKind::Load);
    }
    out.notes.onSized = nullptr;
    if (item.sized) {
        // The output must not replace what this batch reads (its own source included).
        item.output = plan.SizedOutput(i, out.notes.width, out.notes.height);
        if (const FileKey key = KeyOf(item.output); key.found && reads.count(key))
            return fail(FailureKind::Save, FormatText(Tr("would replace %s, which this batch also reads"), item.output.c_str()), "clash");
        if (plan.existing == ExistingOutput::Skip && FileExists(item.output)) {
            out.state = Outcome::State::Skipped;
            out.notes.warnings.clear();
            return out;
        }
    }
    try {
        std::vector<std::string> made;
        try {
            EnsureFolderOf(item.output, made);
        } catch (...) {
            folders.Add(made);
            throw;
        }
        folders.Add(made);
        out.commit = save();
    } catch (const ESourceReadError&) {
        return failed(FailureKind::Load);
    } catch (...) {
        out.noSpace = OutOfSpace(std::current_exception());
        return failed(FailureKind::Save);
    }
    out.state = Outcome::State::Ready;
    if (out.notes.width > 0 && out.notes.height > 0)
        out.heldBytes = static_cast<uint64_t>(out.notes.width * 3 + 3) / 4 * 4 * static_cast<uint64_t>(out.notes.height);
    return out;
}

Outcome Prepare(const TBatchPlan& plan, size_t i, const FileKeys& reads, const LoadStep& load, MadeFolders& folders) {
    const Clock::time_point start = Clock::now();
    auto item = std::make_unique<BatchItem>(plan.Item(i));
    Outcome out = PrepareSteps(plan, i, *item, reads, load, folders);
    out.item = std::move(item);
    out.took = Clock::now() - start;
    return out;
}

class TBatchRunner {
public:
    TBatchRunner(const TBatchPlan& plan, const BatchOptions& options, const LoadStep& load, const BatchEvents& events,
                 MadeFolders& folders)
        : plan_(plan), options_(options), load_(load), events_(events), folders_(folders) {}

    ~TBatchRunner() { StopWorkers(); }  // prepared but uncommitted outputs are dropped with outcomes_

    BatchResult Run() {
        const size_t n = plan_.Size();
        uint64_t jobs = std::clamp<uint64_t>(static_cast<uint64_t>(std::max(options_.jobs, 1)), 1, std::max<size_t>(n, 1));
        // Each item in flight holds descriptors: as many as the limit
        // allows, so any -j writes what one job writes.
        const uint64_t fds = FreeDescriptors();
        jobs = std::max<uint64_t>(1, std::min(jobs, fds / kFdsPreparing));
        maxAhead_ = std::max<uint64_t>(jobs, jobs + (fds - std::min(fds, jobs * kFdsPreparing)) / kFdsWaiting);
        if (plan_.pattern.HasSize()) reads_ = ReadsOf(plan_);
        if (jobs > 1) {
            // Signals go to this thread, between its steps, never to a worker.
            const TSignalsHeld held;
            for (size_t i = 0; i < jobs; ++i) workers_.emplace_back([this] { Work(); });
        }
        for (size_t i = 0; i < n; ++i) {
            if (options_.cancelled && options_.cancelled()) {
                result_.cancelled = true;
                NotReached(i);
                break;
            }
            Outcome done = workers_.empty() ? Prepare(plan_, i, reads_, load_, folders_) : TakeWhenPrepared(i);
            if (done.noSpace && !workers_.empty()) {
                // Later items may hold the space this one lacked. From here
                // on one item at a time, as one job would run them.
                StopWorkers();
                done = Prepare(plan_, i, reads_, load_, folders_);
            }
            if (!Settle(*done.item, done)) {
                result_.stopped = true;
                NotReached(i + 1);
                break;
            }
        }
        return result_;
    }

private:
    // Joins the workers and drops what they prepared; their temporaries go.
    void StopWorkers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        workers_.clear();
        outcomes_.clear();
    }

    // Item i may be prepared: the next to commit always, later ones while
    // the outputs waiting ahead of it hold less than aheadBytes.
    bool MayPrepare(size_t i) const {
        return i == committed_ || (i < committed_ + maxAhead_ && heldBytes_ < options_.aheadBytes);
    }

    void Work() {
        for (;;) {
            std::unique_lock lock(mutex_);
            const size_t i = next_++;
            if (i >= plan_.Size()) return;
            changed_.wait(lock, [&] { return stop_ || MayPrepare(i); });
            if (stop_) return;
            lock.unlock();
            Outcome out = Prepare(plan_, i, reads_, load_, folders_);
            lock.lock();
            if (stop_) return;
            heldBytes_ += out.heldBytes;
            outcomes_.emplace(i, std::move(out));
            changed_.notify_all();
        }
    }

    Outcome TakeWhenPrepared(size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return outcomes_.contains(i); });
        auto node = outcomes_.extract(i);
        heldBytes_ -= node.mapped().heldBytes;
        committed_ = i + 1;
        changed_.notify_all();
        return std::move(node.mapped());
    }

    void NotReached(size_t from) {
        result_.notStarted = static_cast<int>(plan_.Size() - from);
        if (events_.onSettled)
            for (size_t i = from; i < plan_.Size(); ++i) events_.onSettled(plan_.Item(i), ItemReport{});
    }

    bool Settle(const BatchItem& item, Outcome& out) {
        const Clock::time_point start = Clock::now();
        if (item.sized) RefuseWrittenAgain(item, out);
        const ItemStatus status = Finish(item, out);
        if (item.sized && status == ItemStatus::Converted)
            if (const FileKey key = KeyOf(item.output); key.found) written_.try_emplace(key, item.input);
        if (events_.onSettled) {
            ItemReport report;
            report.status = status;
            report.width = out.notes.width;
            report.height = out.notes.height;
            if (status == ItemStatus::Failed) report.error = out.reason, report.reason = out.code;
            std::error_code ec;
            if (status == ItemStatus::Converted)
                if (const auto size = std::filesystem::file_size(item.output, ec); !ec) report.bytes = static_cast<long long>(size);
            report.ms = std::chrono::duration<double, std::milli>(out.took + (Clock::now() - start)).count();
            events_.onSettled(item, report);
        }
        return status != ItemStatus::Failed || !StopsBatch(out.kind, options_.onLoadFailure);
    }

    // Names completed by their sizes may meet where the plan saw two: the
    // first in input order keeps the file, whatever the number of jobs.
    void RefuseWrittenAgain(const BatchItem& item, Outcome& out) {
        if (out.state != Outcome::State::Ready && out.state != Outcome::State::Skipped) return;
        const FileKey key = KeyOf(item.output);
        const auto hit = key.found ? written_.find(key) : written_.end();
        if (hit == written_.end()) return;
        out.commit = nullptr;  // its temporary goes
        out.state = Outcome::State::Failed;
        out.kind = FailureKind::Save;
        out.reason = FormatText(Tr("its output %s is also the output of %s"), item.output.c_str(), hit->second.c_str());
        out.code = "clash";
    }

    // Reports an item and puts its output in place.
    ItemStatus Finish(const BatchItem& item, Outcome& out) {
        // A file that failed gets its one line, the reason, alone.
        if (out.state != Outcome::State::Failed)
            for (const std::string& text : out.notes.Lines())
                if (events_.onWarning) events_.onWarning(item, text);
        switch (out.state) {
            case Outcome::State::Skipped:
                ++result_.skipped;
                if (events_.onSkipped) events_.onSkipped(item);
                return ItemStatus::Skipped;
            case Outcome::State::Ready:
                try {
                    out.commit();
                } catch (...) {
                    out.state = Outcome::State::Failed;
                    out.reason = Reason(std::current_exception());
                    break;
                }
                ++result_.converted;
                if (events_.onConverted) events_.onConverted(item);
                return ItemStatus::Converted;
            case Outcome::State::Failed:
            case Outcome::State::Pending:
                break;
        }
        ++result_.failed;
        if (events_.onFailed) events_.onFailed(item, out.reason, out.kind);
        return ItemStatus::Failed;
    }

    const TBatchPlan& plan_;
    const BatchOptions& options_;
    const LoadStep& load_;
    const BatchEvents& events_;
    MadeFolders& folders_;
    BatchResult result_;
    FileKeys reads_;                           // with sized names
    std::map<FileKey, std::string> written_;  // sized names put in place, with their inputs

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<size_t, Outcome> outcomes_;  // prepared, not yet taken, by index
    size_t next_ = 0;
    size_t committed_ = 0;   // items taken by the committing thread
    uint64_t maxAhead_ = 1;  // items in flight at most: the descriptors they hold
    uint64_t heldBytes_ = 0;  // by the outcomes_ waiting
    bool stop_ = false;
    std::vector<std::jthread> workers_;  // last: joined before the rest goes
};

}  // namespace

BatchResult RunBatch(const TBatchPlan& plan, const BatchOptions& options, const LoadStep& load,
                     const BatchEvents& events) {
    // A folder is there when its first file is put in place: those made for
    // items never committed (a failed load, a later item prepared ahead of
    // the one that stopped the batch) go once every worker is done.
    MadeFolders folders;
    BatchResult result = TBatchRunner(plan, options, load, events, folders).Run();
    folders.RemoveEmpty();
    return result;
}

}  // namespace quenlo
