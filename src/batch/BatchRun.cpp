#include "batch/BatchRun.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "imageio/AtomicFile.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "low/Errors.h"
#include "low/FileNames.h"

namespace quenlo {

bool StopsBatch(FailureKind kind, OnLoadFailure onLoadFailure) {
    return kind == FailureKind::Load && onLoadFailure == OnLoadFailure::Stop;
}

std::string NothingToSave(const std::string& input, long long width, long long height) {
    if (KindByName(input) == ImageKind::None) return "unsupported file type; expected .ipr, .rgb, .bmp, .jpg, .png or .tif";
    if (width == 0 || height == 0)
        return "nothing to save: the image is empty (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return {};
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
    FailureKind kind = FailureKind::Save;
    ItemNotes notes;
    std::chrono::steady_clock::duration took{};
};

using Clock = std::chrono::steady_clock;

// A tree mirrored below the output folder needs its folders as it goes.
void EnsureFolderOf(const std::string& output) {
    const std::string dir = ExtractFileDir(output);
    std::error_code ec;
    if (dir.empty() || std::filesystem::is_directory(dir, ec)) return;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) throw EQuenlo("Cannot create " + dir);
}

std::string Reason(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return DescribeError(e);
    } catch (...) {
        return "unknown error";
    }
}

// The load and save steps of one item; failures are recorded, not thrown.
Outcome PrepareSteps(const BatchItem& item, const BatchOptions& options, const LoadStep& load) {
    Outcome out;
    auto fail = [&](FailureKind kind, std::string reason) {
        out.state = Outcome::State::Failed;
        out.kind = kind;
        out.reason = std::move(reason);
        return std::move(out);
    };
    if (!item.refusal.empty()) return fail(FailureKind::Save, item.refusal);
    if (options.existing == ExistingOutput::Skip && FileExists(item.output)) {
        out.state = Outcome::State::Skipped;
        return out;
    }
    SaveStep save;
    try {
        save = load(item, out.notes);
    } catch (...) {
        return fail(FailureKind::Load, Reason(std::current_exception()));
    }
    try {
        EnsureFolderOf(item.output);
        out.commit = save();
    } catch (const ESourceReadError&) {
        return fail(FailureKind::Load, Reason(std::current_exception()));
    } catch (...) {
        return fail(FailureKind::Save, Reason(std::current_exception()));
    }
    out.state = Outcome::State::Ready;
    return out;
}

Outcome Prepare(const TBatchPlan& plan, size_t i, const BatchOptions& options, const LoadStep& load) {
    const Clock::time_point start = Clock::now();
    auto item = std::make_unique<BatchItem>(plan.Item(i));
    Outcome out = PrepareSteps(*item, options, load);
    out.item = std::move(item);
    out.took = Clock::now() - start;
    return out;
}

class TBatchRunner {
public:
    TBatchRunner(const TBatchPlan& plan, const BatchOptions& options, const LoadStep& load, const BatchEvents& events)
        : plan_(plan), options_(options), load_(load), events_(events) {}

    ~TBatchRunner() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        workers_.clear();  // joins; prepared but uncommitted outputs are dropped with outcomes_
    }

    BatchResult Run() {
        const size_t n = plan_.Size();
        const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(options_.jobs, 1)), 1, std::max<size_t>(n, 1));
        // Items prepared ahead of the one being committed: each holds an
        // open output, so keep them few. Only they are held, in slot i % window_.
        if (jobs > 1) window_ = jobs + std::min<size_t>(jobs, 16);
        outcomes_.resize(window_);
        {
            // Signals go to this thread, between its steps, never to a worker.
            const TSignalsHeld held;
            for (size_t i = 0; jobs > 1 && i < jobs; ++i) workers_.emplace_back([this] { Work(); });
        }
        for (size_t i = 0; i < n; ++i) {
            if (options_.cancelled && options_.cancelled()) {
                result_.cancelled = true;
                NotReached(i);
                break;
            }
            if (jobs == 1) outcomes_[0] = Prepare(plan_, i, options_, load_);
            Outcome done = TakeWhenPrepared(i);
            if (!Settle(*done.item, done)) {
                result_.stopped = true;
                NotReached(i + 1);
                break;
            }
        }
        return result_;
    }

private:
    void Work() {
        for (;;) {
            std::unique_lock lock(mutex_);
            const size_t i = next_++;
            if (i >= plan_.Size()) return;
            changed_.wait(lock, [&] { return stop_ || i < committed_ + window_; });
            if (stop_) return;
            lock.unlock();
            Outcome out = Prepare(plan_, i, options_, load_);
            lock.lock();
            outcomes_[i % window_] = std::move(out);
            changed_.notify_all();
        }
    }

    Outcome TakeWhenPrepared(size_t i) {
        std::unique_lock lock(mutex_);
        Outcome& slot = outcomes_[i % window_];
        changed_.wait(lock, [&] { return slot.state != Outcome::State::Pending; });
        Outcome out = std::exchange(slot, Outcome{});
        committed_ = i + 1;
        changed_.notify_all();
        return out;
    }

    void NotReached(size_t from) {
        result_.notStarted = static_cast<int>(plan_.Size() - from);
        if (events_.onSettled)
            for (size_t i = from; i < plan_.Size(); ++i) events_.onSettled(plan_.Item(i), ItemReport{});
    }

    bool Settle(const BatchItem& item, Outcome& out) {
        const Clock::time_point start = Clock::now();
        const ItemStatus status = Finish(item, out);
        if (events_.onSettled) {
            ItemReport report;
            report.status = status;
            report.width = out.notes.width;
            report.height = out.notes.height;
            if (status == ItemStatus::Failed) report.error = out.reason;
            std::error_code ec;
            if (status == ItemStatus::Converted)
                if (const auto size = std::filesystem::file_size(item.output, ec); !ec) report.bytes = static_cast<long long>(size);
            report.ms = std::chrono::duration<double, std::milli>(out.took + (Clock::now() - start)).count();
            events_.onSettled(item, report);
        }
        return status != ItemStatus::Failed || !StopsBatch(out.kind, options_.onLoadFailure);
    }

    // Reports an item and puts its output in place.
    ItemStatus Finish(const BatchItem& item, Outcome& out) {
        for (const std::string& text : out.notes.warnings)
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
    BatchResult result_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;  // the window's items, by index modulo window_
    size_t next_ = 0;
    size_t committed_ = 0;  // items taken by the committing thread
    size_t window_ = 1;
    bool stop_ = false;
    std::vector<std::jthread> workers_;  // last: joined before the rest goes
};

}  // namespace

BatchResult RunBatch(const TBatchPlan& plan, const BatchOptions& options, const LoadStep& load,
                     const BatchEvents& events) {
    return TBatchRunner(plan, options, load, events).Run();
}

}  // namespace quenlo
