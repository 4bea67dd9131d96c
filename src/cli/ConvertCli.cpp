#include "cli/ConvertCli.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <unistd.h>

#include "batch/BatchInputs.h"
#include "batch/BatchReport.h"
#include "cli/Converter.h"
#include "cli/Progress.h"
#include "cli/ToolArgs.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// "K/N" with 1 <= K <= N: shard K-1 of N. Throws CLI::ValidationError.
std::pair<int, int> ParseShard(const std::string& text) {
    int k = 0, n = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%d/%d%c", &k, &n, &end) != 2 || n < 1 || k < 1 || k > n)
        throw CLI::ValidationError("--shard", "expected K/N with 1 <= K <= N, got \"" + text + "\"");
    return {k - 1, n};
}

// "WxH", both positive. Throws CLI::ValidationError.
RawLayout ParseRawSize(const std::string& text) {
    long long w = 0, h = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%lldx%lld%c", &w, &h, &end) != 2 || !BmpCanHold(w, h))
        throw CLI::ValidationError("--raw-size", "expected WIDTHxHEIGHT that a .bmp can hold, got \"" + text + "\"");
    RawLayout layout;
    layout.width = static_cast<int32_t>(w);
    layout.height = static_cast<int32_t>(h);
    return layout;
}

// A list file, closed when done; "-" is standard input, not closed.
struct ListFile {
    FILE* f = nullptr;
    bool owned = false;
    ~ListFile() {
        if (owned && f) std::fclose(f);
    }
};

}  // namespace

int RunConvertCli(int argc, const char* const* argv, FILE* out, FILE* err) {
    CLI::App app{"Converts .ipr/.rgb raw images, .bmp and .jpg files into 24-bit .bmp files.", "quenlo-convert"};
    std::vector<std::string> files;
    ConvertOptions options;
    options.batch.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool keepGoing = false, skipExisting = false, quiet = false, recursive = false, nulSeparated = false;
    std::string filesFrom, reportName, shard, rawSize, rawExt = "rgb", rawOrder = "rgb";
    app.add_option("FILE", files, "Images to convert (.ipr or .rgb of a raw pair, .bmp, .jpg), or folders with -r");
    app.add_option("-o,--output", options.plan.outputDir,
                   "Folder for the .bmp files, created with its parents (default: beside each source)");
    app.add_flag("-r,--recursive", recursive,
                 "Convert every image file below a folder, in path order; with -o the tree is mirrored");
    app.add_option("--files-from", filesFrom, "Read more names from FILE, one per line (- for standard input)");
    app.add_flag("-0,--null", nulSeparated, "Names in --files-from end with a NUL byte, not a newline");
    app.add_option("--report", reportName, "Write a JSON Lines report: one object per input, then a summary");
    app.add_option("--shard", shard, "Convert only shard K of N (1 <= K <= N), split by output name");
    app.add_option("--raw-size", rawSize, "Files with the --raw-ext extension are headerless WIDTHxHEIGHT data");
    app.add_option("--raw-ext", rawExt, "Extension of headerless raw data (default: rgb)");
    app.add_option("--raw-order", rawOrder, "Channel order of headerless raw data: rgb or bgr (default: rgb)")
        ->check(CLI::IsMember({"rgb", "bgr"}));
    app.add_option("-j,--jobs", options.batch.jobs, "Files converted in parallel (default: number of cores)")
        ->check(CLI::Range(1, 1024));
    app.add_flag("--keep-going", keepGoing, "Go on after a file that fails to load");
    app.add_flag("--skip-existing", skipExisting, "Leave outputs that already exist alone");
    app.add_flag("-q,--quiet", quiet, "No progress bar");
    const std::optional<int> usage = ParseToolArgs(app, argc, argv, out, err, [&] {
        if (files.empty() && filesFrom.empty()) throw CLI::RequiredError("FILE or --files-from");
        if (!shard.empty()) std::tie(options.plan.shard, options.plan.shards) = ParseShard(shard);
        if (!rawSize.empty()) {
            options.raw = ParseRawSize(rawSize);
            options.raw->order = rawOrder == "bgr" ? RawOrder::Bgr : RawOrder::Rgb;
            options.plan.rawExt = rawExt.starts_with('.') ? rawExt : "." + rawExt;
        } else if (app.count("--raw-ext") || app.count("--raw-order")) {
            throw CLI::ValidationError("--raw-ext and --raw-order", "need --raw-size");
        }
        if (nulSeparated && filesFrom.empty()) throw CLI::ValidationError("-0", "needs --files-from");
    });
    if (usage) return *usage;
    options.batch.onLoadFailure = keepGoing ? OnLoadFailure::KeepGoing : OnLoadFailure::Stop;
    options.batch.existing = skipExisting ? ExistingOutput::Skip : ExistingOutput::Overwrite;

    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<TBatchReport> report;
    ListFile list;
    BatchResult r;
    int unreadable = 0;
    try {
        if (!reportName.empty()) report = std::make_unique<TBatchReport>(reportName);
        if (!filesFrom.empty()) {
            list.owned = filesFrom != "-";
            list.f = list.owned ? std::fopen(filesFrom.c_str(), "rb") : stdin;
            if (!list.f) throw EQuenlo("cannot read " + filesFrom + ": " + std::strerror(errno));
        }
        FeedOptions feedOptions;
        feedOptions.recurse = recursive ? Recurse::On : Recurse::Off;
        feedOptions.rawExt = options.plan.rawExt;
        feedOptions.onSkipped = [&](const std::string& name, const std::string& why) {
            std::fprintf(err, "quenlo-convert: %s: skipped: %s\n", name.c_str(), why.c_str());
            if (report) report->LeftOut(name, why);
        };
        TInputFeed feed(feedOptions);
        feed.AddNames(std::move(files));
        if (list.f) feed.AddList(list.f, nulSeparated ? NameDelim::Nul : NameDelim::Newline);
        const TBatchPlan plan = PlanBatch(feed.Source(), options.plan);
        unreadable = feed.Unreadable();
        if (report) report->Planned(plan.Size());

        TProgress progress(err, static_cast<long long>(plan.Size()), !quiet && isatty(fileno(err)));
        BatchEvents events;
        events.onFailed = [&](const BatchItem& item, const std::string& reason, FailureKind) {
            progress.Line("quenlo-convert: " + item.input + ": " + reason);
        };
        events.onWarning = [&](const BatchItem& item, const std::string& text) {
            progress.Line("quenlo-convert: " + item.input + ": warning: " + text);
        };
        events.onSettled = [&](const BatchItem& item, const ItemReport& done) {
            if (done.status != ItemStatus::NotReached) progress.Step(done.bytes);
            if (report) report->Item(item, done);
        };
        r = RunBatch(plan, options.batch, ConvertLoader(options), events);
        progress.Finish();
    } catch (const std::exception& e) {
        std::fprintf(err, "quenlo-convert: %s\n", e.what());
        return 1;
    }
    if (report) report->Summary(r, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (r.stopped && r.notStarted > 0)
        std::fprintf(err, "quenlo-convert: stopped after a failed load; %d file(s) not converted (--keep-going goes on)\n",
                     r.notStarted);
    return r.failed == 0 && r.notStarted == 0 && unreadable == 0 ? 0 : 1;
}

}  // namespace quenlo
