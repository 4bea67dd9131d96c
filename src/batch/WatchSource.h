#pragma once
// A hot folder: converts the images already in some folders that have no
// output newer than their last change yet, then each image written, moved
// or linked into them once it is complete, and again when it is rewritten. It is a source of items for the
// batch runner: each group of files that became complete together is
// planned and run as one small batch, so outputs, clashes, messages and
// report lines are a batch's.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "batch/BatchInputs.h"
#include "batch/BatchRun.h"

namespace quenlo {

struct WatchOptions {
    std::vector<std::string> folders;
    // On: folders below them too, also those created later.
    Recurse recurse = Recurse::Off;
    // How long a file must stay unchanged before it is taken. A raw pair
    // whose .rgb already holds width x height x 3 bytes does not wait.
    std::chrono::milliseconds settle{1000};
    // Not zero: scan the folders this often instead of taking the kernel's
    // events, which miss what other machines write to a network share.
    std::chrono::milliseconds poll{0};
    // Not zero: Run returns after this long with nothing to do.
    std::chrono::milliseconds idleExit{0};
    // False: hidden names (".name", "._name", hidden folders below a
    // watched one) and partial downloads (.part, .crdownload, .tmp) are
    // left alone.
    bool includeHidden = false;
    // Not empty: each input is moved there, below its subfolder, once it
    // is converted (done) or has failed for good (failed).
    std::string doneDir, failedDir;
};

struct WatchEvents {
    // Each item as a batch reports it, on the thread that runs the watch.
    BatchEvents batch;
    // The number of items planned so far, before they are run.
    std::function<void(size_t planned)> onPlanned;
    // "watching DIR", a folder that is gone or back, a rescan.
    std::function<void(const std::string& text)> onStatus;
};

// Why a watch of these folders into plan's output folder cannot start: no
// output folder, or one (or a done or failed folder) that is also
// watched. "" when it can.
std::string WatchRefusal(const WatchOptions& watch, const PlanOptions& plan);

class TWatchRun {
public:
    // plan: the output folder and raw-data rules (shards are not used).
    // batch: jobs and existing outputs; a failed load never ends the watch.
    // Throws EQuenlo when the kernel offers no folder events.
    TWatchRun(WatchOptions watch, PlanOptions plan, BatchOptions batch, LoadStep load, WatchEvents events);
    ~TWatchRun();
    TWatchRun(const TWatchRun&) = delete;
    TWatchRun& operator=(const TWatchRun&) = delete;

    // Watches and converts on the calling thread until Stop or the idle
    // time; returns the totals. Throws EQuenlo when a watched folder does
    // not exist or cannot be watched at the start (it is never created),
    // or the output folder cannot be created. Folders below that cannot be
    // watched count as failed; beyond the kernel's limit they are scanned.
    // A failure to write an output is tried again, after 1 s, 2 s, ... up
    // to a minute, and reported once; a file that failed to load is tried
    // again only once it changes.
    BatchResult Run();
    // From any thread: Run returns once the file in hand is done.
    void Stop();

private:
    class TState;
    std::unique_ptr<TState> state_;
};

}  // namespace quenlo
