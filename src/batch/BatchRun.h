#pragma once
// Runs a planned batch: loads and writes each item, possibly several at
// once, and puts the outputs in place strictly in input order. Nothing
// listed after a failed load is put in place unless the batch keeps going,
// so every number of jobs gives the files, messages and counts of one job.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "batch/BatchPlan.h"

namespace quenlo {

enum class OnLoadFailure { Stop, KeepGoing };

struct BatchOptions {
    int jobs = 1;  // 1: everything on the calling thread
    OnLoadFailure onLoadFailure = OnLoadFailure::Stop;
    // Asked on the calling thread before each item; true ends the batch there
    // (the item in hand is finished first, the rest are not reached).
    std::function<bool()> cancelled;
    // Bytes of finished outputs that may wait for their turn while the jobs
    // go on ahead: their temporaries hold that much disk (memory on tmpfs).
    uint64_t aheadBytes = uint64_t{256} << 20;
};

// A failed load ends the batch (without KeepGoing); a failed save never does.
enum class FailureKind { Load, Save };

// One item's work in three steps. What the first throws is a failed load;
// what the second and third throw is a failed save, except an
// ESourceReadError (a source read while its output is written), which is a
// failed load. The last step must not be run for an item after a failed load.
using CommitStep = std::function<void()>;
using SaveStep = std::function<CommitStep()>;
using WarningSink = std::function<void(const std::string&)>;

// What the load step tells about its item, for reports; written on the
// thread that loads it.
struct ItemNotes {
    // One line each: a warning like an earlier one (the same but for its
    // numbers) only adds to that one's count, and past kMaxWarnings
    // different ones the rest are only counted.
    std::vector<std::string> warnings;
    long long width = -1, height = -1;  // pixels; -1 unknown
    // Called by SetSize: the batch completes a name with {w} and {h} here,
    // before the load step hands the image on (ItemLoaderOptions::keepImage).
    std::function<void()> onSized;

    void SetSize(long long w, long long h) {
        width = w;
        height = h;
        if (onSized) onSized();
    }
    void Warn(const std::string& text);
    // The lines to show, each with "… and N more like it" where it repeats.
    std::vector<std::string> Lines() const;

    static constexpr size_t kMaxWarnings = 20;

private:
    std::vector<std::string> shapes_;  // of each warning, its numbers masked
    std::vector<long long> alike_;     // more like each warning
    long long others_ = 0;          // past kMaxWarnings
};
using LoadStep = std::function<SaveStep(const BatchItem&, ItemNotes&)>;

enum class ItemStatus { Converted, Skipped, Failed, NotReached };

// How one item ended, for reports and progress.
struct ItemReport {
    ItemStatus status = ItemStatus::NotReached;
    std::string error;
    std::string reason;  // FailureReason's code when failed; "" otherwise
    long long width = -1, height = -1;
    long long bytes = 0;  // of the output written
    double ms = 0;        // milliseconds spent loading and writing it
};

struct BatchEvents {
    // Called on the calling thread, in input order.
    std::function<void(const BatchItem&)> onConverted;
    std::function<void(const BatchItem&)> onSkipped;
    std::function<void(const BatchItem&, const std::string& reason, FailureKind)> onFailed;
    std::function<void(const BatchItem&, const std::string& text)> onWarning;
    // After the above for every item, and for each item not reached.
    std::function<void(const BatchItem&, const ItemReport&)> onSettled;
};

struct BatchResult {
    int converted = 0;
    int skipped = 0;
    int failed = 0;
    int notStarted = 0;  // after the failed load that stopped the batch, or the cancel
    bool stopped = false;
    bool cancelled = false;
};

// Whether a failure ends the batch.
bool StopsBatch(FailureKind kind, OnLoadFailure onLoadFailure);

// Why an image that loaded is not written when it is empty, or when its
// name's extension has no reader ("unsupported file type; ..."); "" when
// it can be saved.
std::string NothingToSave(const std::string& input, long long width, long long height);

BatchResult RunBatch(const TBatchPlan& plan, const BatchOptions& options, const LoadStep& load,
                     const BatchEvents& events);

}  // namespace quenlo
