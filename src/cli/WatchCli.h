#pragma once
// quenlo-convert --watch: a hot folder run with a batch's messages and
// report, until a signal or the idle time.
#include "batch/BatchPlan.h"
#include "batch/BatchReport.h"
#include "batch/BatchRun.h"
#include "batch/WatchSource.h"
#include "cli/Progress.h"

namespace quenlo {

// events: the batch's messages and report lines; lines: where the run's own
// lines go. Converted files are named there too unless quiet. The exit
// status: 0, or 1 when any file failed.
int RunWatchConvert(WatchOptions watch, const PlanOptions& plan, const BatchOptions& batch, const LoadStep& load,
                    BatchEvents events, TProgress& lines, TBatchReport* report, bool quiet);

}  // namespace quenlo
