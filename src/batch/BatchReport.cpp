#include "batch/BatchReport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch/BatchPlan.h"
#include "imageio/AtomicFile.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Messages.h"

namespace quenlo {

using json = nlohmann::ordered_json;

namespace {

// What the summary at a signal needs, as numbers a handler may read. One
// report at a time has it: the one open.
struct SignalSummary {
    std::atomic<int> fd{-1};
    std::atomic<long long> planned{0}, converted{0}, skipped{0}, failed{0}, leftOut{0};
    std::atomic<long long> startNs{0};
    std::atomic<bool> planning{true};
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
         << frac[part < 10 ? 0 : part < 100 ? 1 : 2] << part;
    // Before the plan is made, nothing is known to be not reached: say so.
    if (gSummary.planning) line << ",\"planning\":true";
    line << ",\"signal\":" << static_cast<long long>(sig) << "}\n";
    line.WriteTo(fd);
}

// Whether text is valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool ValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int n = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
        if (n < 0 || i + static_cast<size_t>(n) > text.size() - 1) return false;  // i < size
        uint32_t cp = n == 0 ? b : b & (0x3F >> n);
        for (int k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(n) + 1;
    }
    return true;
}

// A name that is not UTF-8 reads with U+FFFD for its bad bytes; its exact
// bytes go beside it in hex under key + "-bytes", so two such names stay apart.
void PutName(json& j, const char* key, const std::string& name) {
    j[key] = name;
    if (ValidUtf8(name)) return;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const char c : name) {
        hex += kHex[static_cast<unsigned char>(c) >> 4];
        hex += kHex[static_cast<unsigned char>(c) & 15];
    }
    j[std::string(key) + "-bytes"] = hex;
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
    : fileName_(fileName), name_(fileName == "-" ? Tr("standard output") : fileName), owned_(fileName != "-") {
    {
        const TSignalsHeld held;
        gSummary.planned = gSummary.converted = gSummary.skipped = gSummary.failed = gSummary.leftOut = 0;
        gSummary.planning = true;
        gSummary.startNs = MonotonicNs();
        SetSignalFarewell(WriteSummaryOnSignal);
    }
    if (!owned_) {
        Open(stdout);
        return;
    }
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0) {
        id_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
        if (S_ISREG(st.st_mode)) return;  // truncated at Arm
        // A pipe or terminal is no input and no output of a batch. A FIFO
        // that no one reads would block the open: refused at once.
        const int fd = ::open(fileName.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENXIO) throw EQuenlo(FormatText(Tr("cannot write the report %s: a FIFO with no reader"), fileName.c_str()));
        FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
        if (!f) {
            if (fd >= 0) ::close(fd);
            throw EFCreateError(fileName);
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        Open(f);
        return;
    }
    // Its folder is made as the output folder is, with its parents.
    if (std::string dir = ExtractFileDir(fileName); !dir.empty()) PrepareOutputDir(dir);
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!f) {
        if (fd >= 0) ::close(fd);
        throw EFCreateError(fileName);
    }
    created_ = true;
    if (::fstat(fd, &st) == 0) id_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
    Open(f);
}

void TBatchReport::Open(FILE* f) {
    f_ = f;
    const TSignalsHeld held;
    gSummary.fd = fileno(f_);
}

TBatchReport::~TBatchReport() {
    {
        const TSignalsHeld held;
        SetSignalFarewell(nullptr);
        gSummary.fd = -1;
    }
    if (owned_ && f_) std::fclose(f_);
}

void TBatchReport::Arm() {
    if (!f_) {
        FILE* f = std::fopen(fileName_.c_str(), "w");
        if (!f) throw EFCreateError(fileName_);
        Open(f);
    }
    if (!waiting_.empty()) {
        const TSignalsHeld held;
        if (std::fputs(waiting_.c_str(), f_) < 0 || std::fflush(f_) != 0) {
            int none = 0;
            writeErrno_.compare_exchange_strong(none, errno ? errno : EIO);
        }
        std::string().swap(waiting_);
    }
}

void TBatchReport::Discard() {
    if (!created_) return;
    {
        const TSignalsHeld held;
        gSummary.fd = -1;
    }
    std::fclose(f_);
    f_ = nullptr;
    ::unlink(fileName_.c_str());
    created_ = false;
}

void TBatchReport::Failed(const std::string& why) {
    if (!f_) return;  // an existing file that the batch might have read
    Arm();
    const json j = {{"summary", true}, {"converted", 0},     {"skipped", leftOut_}, {"failed", 0},
                    {"not-reached", 0}, {"stopped", true},   {"cancelled", false},
                    {"seconds", static_cast<double>(MonotonicNs() - gSummary.startNs) / 1e9},
                    {"planning", true}, {"error", why}};
    const TSignalsHeld held;
    Write(j, nullptr);
    SetSignalFarewell(nullptr);
}

void TBatchReport::Planned(size_t items) {
    gSummary.planned = static_cast<long long>(items);
    gSummary.planning = false;
}

void TBatchReport::Write(const json& object, std::atomic<long long>* count) {
    // Names need not be UTF-8: bytes that are not are replaced, not refused.
    const std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
    const TSignalsHeld held;
    if (!f_) {
        waiting_ += line + "\n";
        if (count) ++*count;
        return;
    }
    // A full disk must not pass for a finished report: the first error is kept for Summary.
    if (std::fputs(line.c_str(), f_) < 0 || std::fputc('\n', f_) == EOF || std::fflush(f_) != 0) {
        int none = 0;
        writeErrno_.compare_exchange_strong(none, errno ? errno : EIO);
    }
    if (count) ++*count;
}

void TBatchReport::Item(const BatchItem& item, const ItemReport& report) {
    json j;
    PutName(j, "input", item.input);
    PutName(j, "output", item.output);
    j.update(json{{"status", StatusName(report.status)}, {"error", report.error},
                  {"reason", report.reason.empty() ? json(nullptr) : json(report.reason)}, {"width", nullptr},
                  {"height", nullptr}, {"bytes", report.bytes}, {"ms", report.ms}});
    if (report.width >= 0) j["width"] = report.width;
    if (report.height >= 0) j["height"] = report.height;
    Write(j, report.status == ItemStatus::Converted ? &gSummary.converted
             : report.status == ItemStatus::Skipped ? &gSummary.skipped
             : report.status == ItemStatus::Failed  ? &gSummary.failed
                                                    : nullptr);
}

void TBatchReport::LeftOut(const std::string& input, const std::string& why) {
    ++leftOut_;
    json j;
    PutName(j, "input", input);
    j.update(json{{"output", ""}, {"status", StatusName(ItemStatus::Skipped)}, {"error", why},
                  {"width", nullptr}, {"height", nullptr}, {"bytes", 0}, {"ms", 0}});
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
        throw EQuenlo(FormatText(Tr("cannot write the report %s: %s"), name_.c_str(), std::strerror(e)));
}

}  // namespace quenlo
