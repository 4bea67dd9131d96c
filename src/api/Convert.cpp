#include <chrono>

#include "api/Options.h"
#include "api/Translate.h"
#include "batch/BatchInputs.h"
#include "batch/BatchPlan.h"
#include "batch/BatchReport.h"
#include "batch/BatchRun.h"
#include "batch/ItemLoader.h"
#include "low/Errors.h"
#include "quenlo/convert.h"
#include "quenlo/errors.h"

namespace quenlo {
inline namespace v0 {

ConvertResult Convert(const std::vector<std::string>& inputs, const ConvertOptions& options) {
    if (options.jobs < 1 || options.jobs > 1024) throw UsageError("jobs runs from 1 to 1024");
    ItemLoaderOptions load;
    load.output = InternalOptions(options.write);
    load.limit = InternalLimit(options.read);
    PlanOptions planOptions;
    planOptions.outputDir = options.outputDir;
    planOptions.outputExt = OutputExtension(load.output.format);
    using IfExists = ConvertOptions::IfExists;
    if (options.skipExisting && options.ifExists == IfExists::Number) throw UsageError("skipExisting and numbering contradict");
    planOptions.existing = options.skipExisting || options.ifExists == IfExists::Skip ? ExistingOutput::Skip
                           : options.ifExists == IfExists::Number                   ? ExistingOutput::Number
                                                                                    : ExistingOutput::Overwrite;
    try {
        planOptions.namePattern = options.namePattern;
        if (TNamePattern(options.namePattern).HasSize() && planOptions.existing == ExistingOutput::Number)
            throw UsageError("numbering takes no {w} or {h} in namePattern: numbers are given before the sizes are known");
    } catch (const EQuenlo& e) {
        throw UsageError(e.what());
    }
    BatchOptions batch;
    batch.jobs = options.jobs;
    batch.onLoadFailure = options.keepGoing ? OnLoadFailure::KeepGoing : OnLoadFailure::Stop;
    batch.cancelled = options.cancelled;

    ConvertResult result;
    return Translated([&] {
        FeedOptions feedOptions;
        feedOptions.recurse = options.recursive ? Recurse::On : Recurse::Off;
        feedOptions.outputDir = options.outputDir;
        // What a walk leaves out is a line of the report too.
        feedOptions.onSkipped = [&](const std::string& name, const std::string& why) {
            ItemResult r;
            r.input = name;
            r.status = StatusName(ItemStatus::Skipped);
            r.error = why;
            result.items.push_back(std::move(r));
            ++result.summary.skipped;
        };
        TInputFeed feed(feedOptions);
        feed.AddNames(inputs);
        const TBatchPlan plan = PlanBatch(feed.Source(), planOptions);
        BatchEvents events;
        events.onSettled = [&](const BatchItem& item, const ItemReport& report) {
            ItemResult r;
            r.input = item.input;
            r.output = item.output;
            r.status = StatusName(report.status);
            r.error = report.error;
            r.reason = report.reason;
            r.width = report.width;
            r.height = report.height;
            r.bytes = report.bytes;
            r.ms = report.ms;
            result.items.push_back(std::move(r));
        };
        const BatchResult run = RunBatch(plan, batch, ItemLoader(load), events);
        result.summary.converted = run.converted;
        result.summary.skipped += run.skipped;
        result.summary.failed = run.failed;
        result.summary.notReached = run.notStarted;
        result.summary.stopped = run.stopped;
        result.summary.cancelled = run.cancelled;
        return result;
    });
}

}  // namespace v0
}  // namespace quenlo
