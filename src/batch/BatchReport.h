#pragma once
// A batch's report as JSON Lines: one object per input as it is settled,
// then one summary. Each line is flushed when written, so a run that is
// killed leaves a valid report of everything that finished. A run ended by
// SIGINT, SIGTERM or SIGHUP (through RemoveTemporariesOnSignals) still
// ends it with a summary: the items not settled count as not reached, and
// "signal" gives the signal's number; before the batch is planned it also
// holds "planning": true. The signal is held off while a line is written,
// so the summary never splits one.
#include <atomic>
#include <cstdio>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "batch/BatchRun.h"
#include "batch/FileKey.h"

namespace quenlo {

const char* StatusName(ItemStatus status);  // "converted", "skipped", "failed", "not-reached"

class TBatchReport {
public:
    // "-" is standard output. A regular file that exists is only truncated
    // at Arm, once the batch is known not to read or write it: until then
    // its lines wait in memory, and a signal or failure leaves it as it was.
    // A new file is created at once (so that a planned output of that name
    // is seen to be it). Throws EFCreateError when the file cannot be created.
    explicit TBatchReport(const std::string& fileName);
    ~TBatchReport();
    TBatchReport(const TBatchReport&) = delete;
    TBatchReport& operator=(const TBatchReport&) = delete;

    // The file itself; not found for standard output.
    const FileKey& Identity() const { return id_; }
    // The batch is planned and does not touch the report: it may be written.
    // Throws EFCreateError.
    void Arm();
    // A usage error: a report this run created goes again.
    void Discard();
    // The run ends before its batch was planned: a summary saying why, in a
    // report this run may write.
    void Failed(const std::string& why);

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

    void Open(FILE* f);

    std::string fileName_;  // as given
    std::string name_;      // as messages say it
    FILE* f_ = nullptr;     // null until Arm for an existing file
    bool owned_;
    bool created_ = false;  // made by this run
    FileKey id_;
    std::string waiting_;  // lines written before Arm
    std::atomic<int> writeErrno_{0};  // the first failed write's errno
    int leftOut_ = 0;
};

}  // namespace quenlo
