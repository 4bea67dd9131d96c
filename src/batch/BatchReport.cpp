#include "batch/BatchReport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "imageio/AtomicFile.h"
#include "low/Errors.h"

namespace quenlo {

using json = nlohmann::ordered_json;

namespace {

// What the summary at a signal needs, as numbers a handler may read. One
// report at a time has it: the one open.
struct SignalSummary {
    std::atomic<int> fd{-1};
    std::atomic<long long> planned{0}, converted{0}, skipped{0}, failed{0}, leftOut{0};
    std::atomic<long long> startNs{0};
};
SignalSummary gSummary;

long long MonotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// A line built in a fixed buffer: no allocation, no stdio, as in a handler.
class TSafeLine {
public:
    TSafeLine& operator<<(const char* text) {
        while (*text && n_ < sizeof buf_) buf_[n_++] = *text++;
        return *this;
    }
    TSafeLine& operator<<(long long v) {
        if (v < 0) *this << "-";
        unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        char digits[24];
        int k = 0;
        do digits[k++] = static_cast<char>('0' + u % 10);
        while (u /= 10);
        while (k > 0 && n_ < sizeof buf_) buf_[n_++] = digits[--k];
        return *this;
    }
    void WriteTo(int fd) const {
        for (size_t done = 0; done < n_;) {
            const ssize_t put = ::write(fd, buf_ + done, n_ - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return;
            done += static_cast<size_t>(put);
        }
    }

private:
    char buf_[512];
    size_t n_ = 0;
};

// Runs in the signal handler: the same keys as Summary, and the signal.
void WriteSummaryOnSignal(int sig) {
    const int fd = gSummary.fd.load();
    if (fd < 0) return;
    const long long converted = gSummary.converted, skipped = gSummary.skipped, failed = gSummary.failed;
    const long long settled = converted + skipped + failed;
    const long long ms = (MonotonicNs() - gSummary.startNs) / 1000000;
    const char* frac[] = {"00", "0", ""};
    const long long part = ms % 1000;
    TSafeLine line;
    line << "{\"summary\":true,\"converted\":" << converted << ",\"skipped\":" << skipped + gSummary.leftOut
         << ",\"failed\":" << failed << ",\"not-reached\":" << std::max(gSummary.planned - settled, 0LL)
         << ",\"stopped\":false,\"cancelled\":true,\"seconds\":" << ms / 1000 << "."
         << frac[part < 10 ? 0 : part < 100 ? 1 : 2] << part << ",\"signal\":" << static_cast<long long>(sig) << "}\n";
    line.WriteTo(fd);
}

}  // namespace

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
    : name_(fileName == "-" ? "standard output" : fileName), f_(fileName == "-" ? stdout : std::fopen(fileName.c_str(), "w")), owned_(fileName != "-") {
    if (!f_) throw EFCreateError(fileName);
    const TSignalsHeld held;
    gSummary.planned = gSummary.converted = gSummary.skipped = gSummary.failed = gSummary.leftOut = 0;
    gSummary.startNs = MonotonicNs();
    gSummary.fd = fileno(f_);
    SetSignalFarewell(WriteSummaryOnSignal);
}

TBatchReport::~TBatchReport() {
    {
        const TSignalsHeld held;
        SetSignalFarewell(nullptr);
        gSummary.fd = -1;
    }
    if (owned_) std::fclose(f_);
}

void TBatchReport::Planned(size_t items) { gSummary.planned = static_cast<long long>(items); }

void TBatchReport::Write(const json& object, std::atomic<long long>* count) {
    // Names need not be UTF-8: bytes that are not are replaced, not refused.
    const std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
    const TSignalsHeld held;
    // A full disk must not pass for a finished report: the first error is kept for Summary.
    if (std::fputs(line.c_str(), f_) < 0 || std::fputc('\n', f_) == EOF || std::fflush(f_) != 0) {
        int none = 0;
        writeErrno_.compare_exchange_strong(none, errno ? errno : EIO);
    }
    if (count) ++*count;
}

void TBatchReport::Item(const BatchItem& item, const ItemReport& report) {
    json j = {{"input", item.input}, {"output", item.output}, {"status", StatusName(report.status)},
              {"error", report.error}, {"width", nullptr}, {"height", nullptr},
              {"bytes", report.bytes}, {"ms", report.ms}};
    if (report.width >= 0) j["width"] = report.width;
    if (report.height >= 0) j["height"] = report.height;
    Write(j, report.status == ItemStatus::Converted ? &gSummary.converted
             : report.status == ItemStatus::Skipped ? &gSummary.skipped
             : report.status == ItemStatus::Failed  ? &gSummary.failed
                                                    : nullptr);
}

void TBatchReport::LeftOut(const std::string& input, const std::string& why) {
    ++leftOut_;
    const json j = {{"input", input}, {"output", ""},    {"status", StatusName(ItemStatus::Skipped)},
                    {"error", why},   {"width", nullptr}, {"height", nullptr}, {"bytes", 0}, {"ms", 0}};
    Write(j, &gSummary.leftOut);
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
    const TSignalsHeld held;  // one summary, this one
    Write(j, nullptr);
    SetSignalFarewell(nullptr);
    if (const int e = writeErrno_.load())
        throw EQuenlo("cannot write the report " + name_ + ": " + std::strerror(e));
}

}  // namespace quenlo
