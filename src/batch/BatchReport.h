#pragma once
// A batch's report as JSON Lines: one object per input as it is settled,
// then one summary. Each line is flushed when written, so a run that is
// killed leaves a valid report of everything that finished.
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

    void Item(const BatchItem& item, const ItemReport& report);
    // An input left out before the batch was planned (a link loop, a special file).
    void LeftOut(const std::string& input, const std::string& why);
    void Summary(const BatchResult& result, double seconds);

private:
    void Write(const nlohmann::ordered_json& object);

    FILE* f_;
    bool owned_;
    int leftOut_ = 0;
};

}  // namespace quenlo
