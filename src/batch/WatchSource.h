#pragma once
// A hot folder: converts the images already in some folders that have no
// newer output yet, then each image written or moved into them once it is
// complete, and again when it is rewritten. It is a source of items for the
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
// output folder, or one that is also watched. "" when it can.
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
    // time; returns the totals. Throws EQuenlo when a folder cannot be
    // watched at the start or the output folder cannot be created.
    BatchResult Run();
    // From any thread: Run returns once the file in hand is done.
    void Stop();

private:
    class TState;
    std::unique_ptr<TState> state_;
};

}  // namespace quenlo
