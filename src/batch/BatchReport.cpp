#include "batch/BatchReport.h"

#include <nlohmann/json.hpp>

#include "low/Errors.h"

namespace quenlo {

using json = nlohmann::ordered_json;

const char* StatusName(ItemStatus status) {
    switch (status) {
        case ItemStatus::Converted: return "converted";
        case ItemStatus::Skipped: return "skipped";
        case ItemStatus::Failed: return "failed";
        case ItemStatus::NotReached: break;
    }
    return "not-reached";
}

TBatchReport::TBatchReport(const std::string& fileName)
    : f_(fileName == "-" ? stdout : std::fopen(fileName.c_str(), "w")), owned_(fileName != "-") {
    if (!f_) throw EFCreateError(fileName);
}

TBatchReport::~TBatchReport() {
    if (owned_) std::fclose(f_);
}

void TBatchReport::Write(const json& object) {
    // Names need not be UTF-8: bytes that are not are replaced, not refused.
    const std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fputs(line.c_str(), f_);
    std::fputc('\n', f_);
    std::fflush(f_);
}

void TBatchReport::Item(const BatchItem& item, const ItemReport& report) {
    json j = {{"input", item.input}, {"output", item.output}, {"status", StatusName(report.status)},
              {"error", report.error}, {"width", nullptr}, {"height", nullptr},
              {"bytes", report.bytes}, {"ms", report.ms}};
    if (report.width >= 0) j["width"] = report.width;
    if (report.height >= 0) j["height"] = report.height;
    Write(j);
}

void TBatchReport::LeftOut(const std::string& input, const std::string& why) {
    ++leftOut_;
    const json j = {{"input", input}, {"output", ""},    {"status", StatusName(ItemStatus::Skipped)},
                    {"error", why},   {"width", nullptr}, {"height", nullptr}, {"bytes", 0}, {"ms", 0}};
    Write(j);
}

void TBatchReport::Summary(const BatchResult& result, double seconds) {
    const json j = {{"summary", true},
                    {"converted", result.converted},
                    {"skipped", result.skipped + leftOut_},
                    {"failed", result.failed},
                    {"not-reached", result.notStarted},
                    {"stopped", result.stopped},
                    {"cancelled", result.cancelled},
                    {"seconds", seconds}};
    Write(j);
}

}  // namespace quenlo
