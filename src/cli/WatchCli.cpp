#include "cli/WatchCli.h"

#include <chrono>

#include "low/Messages.h"

namespace quenlo {

int RunWatchConvert(WatchOptions watch, const PlanOptions& plan, const BatchOptions& batch, const LoadStep& load,
                    BatchEvents events, TProgress& lines,
                    TBatchReport* report, bool quiet) {
    const auto start = std::chrono::steady_clock::now();
    WatchEvents watchEvents;
    watchEvents.batch = std::move(events);
    // Nothing else tells a watching user that a file was done.
    if (!quiet)
        watchEvents.batch.onConverted = [&lines](const BatchItem& item) {
            lines.Line(FormatText(Tr("quenlo-convert: %s: converted to %s"), item.input.c_str(), item.output.c_str()));
        };
    watchEvents.onStatus = [&lines](const std::string& text) { lines.Line("quenlo-convert: " + text); };
    watchEvents.onPlanned = [report](size_t planned) {
        if (report) report->Planned(planned);
    };
    TWatchRun run(std::move(watch), plan, batch, load, std::move(watchEvents));
    const BatchResult r = run.Run();
    if (report) report->Summary(r, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return r.failed == 0 ? 0 : 1;
}

}  // namespace quenlo
