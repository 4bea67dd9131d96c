#pragma once
// A batch's report as JSON Lines: one object per input as it is settled,
// then one summary. Each line is flushed when written, so a run that is
// killed leaves a valid report of everything that finished. A run ended by
// SIGINT, SIGTERM or SIGHUP (through RemoveTemporariesOnSignals) still
// ends it with a summary: the items not settled count as not reached, and
// "signal" gives the signal's number. The signal is held off while a line
// is written, so the summary never splits one.
#include <atomic>
#include <cstdio>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "batch/BatchRun.h"

namespace quenlo {

const char* StatusName(ItemStatus status);  // "converted", "skipped", "failed", "not-reached"

class TBatchReport {
public:
    // "-" is standard output. Throws EFCreateError when the file cannot be created.
    explicit TBatchReport(const std::string& fileName);
    ~TBatchReport();
    TBatchReport(const TBatchReport&) = delete;
    TBatchReport& operator=(const TBatchReport&) = delete;

    // The number of items planned, for the summary a signal writes.
    void Planned(size_t items);
    void Item(const BatchItem& item, const ItemReport& report);
    // An input left out before the batch was planned (a link loop, a special file).
    void LeftOut(const std::string& input, const std::string& why);
    // Throws EQuenlo when any line of the report could not be written.
    void Summary(const BatchResult& result, double seconds);

private:
    // count: what the line adds to, for the summary a signal writes.
    void Write(const nlohmann::ordered_json& object, std::atomic<long long>* count);

    std::string name_;
    FILE* f_;
    bool owned_;
    std::atomic<int> writeErrno_{0};  // the first failed write's errno
    int leftOut_ = 0;
};

}  // namespace quenlo
