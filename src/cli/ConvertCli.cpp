#include "cli/ConvertCli.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "batch/BatchInputs.h"
#include "batch/BatchReport.h"
#include "batch/ItemLoader.h"
#include "batch/ShardPlan.h"
#include "cli/Progress.h"
#include "cli/ToolArgs.h"
#include "cli/WatchCli.h"
#include "low/Errors.h"
#include "low/Low.h"
#include "low/Messages.h"
#include "pixelmap/ColorText.h"

namespace quenlo {

namespace {

// At most this many shards: far more machines than a batch is split over,
// and small enough that no count wraps.
constexpr int kMaxShards = 1000000;

// "K/N" with 1 <= K <= N <= kMaxShards, digits only: shard K-1 of N. Throws CLI::ValidationError.
std::pair<int, int> ParseShard(const std::string& text) {
    int k = 0, n = 0;
    const char* const end = text.data() + text.size();
    const auto [slash, kErr] = std::from_chars(text.data(), end, k);
    // A digit after the slash: from_chars would take a sign there.
    bool ok = kErr == std::errc() && slash != end && *slash == '/' && std::isdigit(static_cast<unsigned char>(slash[1]));
    if (ok) {
        const auto [last, nErr] = std::from_chars(slash + 1, end, n);
        ok = nErr == std::errc() && last == end;
    }
    if (!ok || n < 1 || n > kMaxShards || k < 1 || k > n)
        throw CLI::ValidationError("--shard", FormatText(Tr("expected K/N with 1 <= K <= N <= %d, got \"%s\""), kMaxShards,
                                                             text.c_str()));
    return {k - 1, n};
}

// "WxH", both positive. Throws CLI::ValidationError.
RawLayout ParseRawSize(const std::string& text) {
    long long w = 0, h = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%lldx%lld%c", &w, &h, &end) != 2 || !BmpCanHold(w, h))
        throw CLI::ValidationError("--raw-size",
                                   FormatText(Tr("expected WIDTHxHEIGHT that a .bmp can hold, got \"%s\""), text.c_str()));
    RawLayout layout;
    layout.width = static_cast<int32_t>(w);
    layout.height = static_cast<int32_t>(h);
    return layout;
}

// "N" with 1 <= N <= INT64_MAX, digits only. Throws CLI::ValidationError.
int64_t ParseMaxPixels(const std::string& text) {
    int64_t n = 0;
    const char* const end = text.data() + text.size();
    const auto [last, err] = std::from_chars(text.data(), end, n);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || err != std::errc() || last != end || n < 1)
        throw CLI::ValidationError("--max-pixels", FormatText(Tr("expected a whole number from 1 to %lld, got \"%s\""),
                                                              static_cast<long long>(INT64_MAX), text.c_str()));
    return n;
}

// Opens a list file without waiting for a writer: a named FIFO that no one
// writes to is refused at once, rather than blocking the run. Null with
// errno set when it cannot be opened. Throws EQuenlo for such a FIFO.
FILE* OpenListFile(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        return nullptr;
    }
    struct stat st {};
    int waiting = 0;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0) {
        // With O_NONBLOCK, an empty FIFO reads 0 bytes when it has no
        // writer and fails with EAGAIN when one is still to write.
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        struct stat named {};
        if (got == 0 && ::lstat(name.c_str(), &named) == 0 && S_ISFIFO(named.st_mode)) {
            std::fclose(f);
            throw EQuenlo(FormatText(Tr("cannot read the list %s: a FIFO with no writer"), name.c_str()));
        }
        if (got == 1) std::ungetc(static_cast<unsigned char>(c), f);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return f;
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

namespace {

struct ConvertOptions {
    PlanOptions plan;  // the output folder ("" beside each source), raw data, shard
    BatchOptions batch;
    ItemLoaderOptions load;
};

// What the command line asks for.
struct ConvertArgs {
    std::vector<std::string> files;
    ConvertOptions options;
    bool recursive = false, nulSeparated = false, quiet = false;
    std::string filesFrom, reportName;
    bool watching = false;
    WatchOptions watch;
    // A plan made once for shards, or one shard of it.
    int planShards = 0;
    std::string planDir, planFile;
    // The options a plan records, as "--name=value" or "--flag" words, and
    // the names of those this command line gave.
    std::vector<std::string> settings;
    std::set<std::string> given;
};

// Fills args from argv; gives the exit status when the run ends here
// (help, version or a usage error).
std::optional<int> ParseConvertArgs(int argc, const char* const* argv, FILE* out, FILE* err, ConvertArgs& args) {
    CLI::App app{Tr("Converts .ipr/.rgb raw images, .bmp, .jpg, .png and .tif files into 24-bit .bmp, .png or .tif files."),
                 "quenlo-convert"};
    ConvertOptions& options = args.options;
    options.batch.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool keepGoing = false, skipExisting = false;
    std::string shard, rawSize, rawExt = "rgb", rawOrder = "rgb";
    app.add_option("FILE", args.files,
                   Tr("Images to convert (.ipr or .rgb of a raw pair, .bmp, .jpg, .png, .tif, .gif, .heic, .avif, .webp), or folders with -r"));
    app.add_option("-o,--output", options.plan.outputDir,
                   Tr("Folder for the .bmp files, created with its parents (default: beside each source)"));
    app.add_flag("-r,--recursive", args.recursive,
                 Tr("Convert every image file below a folder, in path order; with -o the tree is mirrored"));
    app.add_option("--files-from", args.filesFrom, Tr("Read more names from FILE, one per line (- for standard input)"));
    app.add_flag("-0,--null", args.nulSeparated, Tr("Names in --files-from end with a NUL byte, not a newline"));
    app.add_option("--report", args.reportName, Tr("Write a JSON Lines report: one object per input, then a summary"));
    app.add_option("--shard", shard, Tr("Convert only shard K of N (1 <= K <= N), split by output name"));
    app.add_option("--plan-shards", args.planShards, Tr("Plan the batch once for N shards into --plan-dir, then stop"))
        ->check(CLI::Range(1, kMaxShards));
    app.add_option("--plan-dir", args.planDir, Tr("Folder for the plan: DIR/K-of-N.plan for each shard, and DIR/plan.json"));
    app.add_option("--plan", args.planFile, Tr("Convert the shard planned in FILE (DIR/K-of-N.plan) with the plan's options"));
    app.add_option("--raw-size", rawSize, Tr("Files with the --raw-ext extension are headerless WIDTHxHEIGHT data"));
    app.add_option("--raw-ext", rawExt, Tr("Extension of headerless raw data (default: rgb)"));
    app.add_option("--raw-order", rawOrder, Tr("Channel order of headerless raw data: rgb or bgr (default: rgb)"))
        ->check(CLI::IsMember({"rgb", "bgr"}));
    app.add_option("-j,--jobs", options.batch.jobs, Tr("Files converted in parallel (default: number of cores)"))
        ->check(CLI::Range(1, 1024));
    app.add_flag("--keep-going", keepGoing, Tr("Go on after a file that fails to load"));
    app.add_flag("--skip-existing", skipExisting, Tr("Leave outputs that already exist alone (as --if-exists skip)"));
    std::string namePattern = "{name}", ifExists;
    app.add_option("--name", namePattern,
                   Tr("Name each output PATTERN and the format's extension: text and the fields {name}, {ext}, {n} "
                      "(place in the batch; {n:3} gives 001), {date} (the input's, YYYY-MM-DD), {w} and {h} (default: {name})"));
    app.add_option("--if-exists", ifExists,
                   Tr("When an output exists or another file of the batch has its name: replace, skip, or number "
                      "(NAME (2), NAME (3)... where taken) (default: replace)"))
        ->check(CLI::IsMember({"replace", "skip", "number"}));
    app.add_flag("--in-place", options.load.replaceSources,
                 Tr("Let an output replace its own source even where that loses alpha, deep samples, pages or metadata"));
    app.add_flag("-q,--quiet", args.quiet, Tr("No progress bar"));
    std::string maxPixels;
    app.add_option("--max-pixels", maxPixels,
                   Tr("Refuse images of more than N pixels, before reading them (default: 268435456, at most 9223372036854775807)"));
    app.add_flag("--auto-orient", options.load.autoOrient,
                 Tr("Turn images upright by their orientation (TIFF tag, EXIF in JPEG, HEIC, AVIF) and state 1 "
                    "(default: pixels as stored, the orientation carried to TIFF outputs)"));
    std::string format = "bmp", tiffCompression = "none";
    app.add_option("--format", format, Tr("Output format: bmp, png, tiff, jpg or webp (default: bmp)"))
        ->check(CLI::IsMember({"bmp", "png", "tiff", "jpg", "webp"}));
    app.add_option("--png-level", options.load.output.pngLevel, Tr("PNG compression level, 0 (none) to 9 (smallest) (default: 6)"))
        ->check(CLI::Range(0, 9));
    app.add_option("--tiff-compression", tiffCompression, Tr("TIFF compression: none, lzw or deflate (default: none)"))
        ->check(CLI::IsMember({"none", "lzw", "deflate"}));
    // What an image carries besides its pixels: alpha, colour profile, orientation.
    std::string background, icc = "keep";
    app.add_option("--background", background,
                   Tr("Lay transparent pixels over COLOR (a name such as white or black, or #rrggbb) in every output; "
                      "without it PNG, TIFF and WebP keep alpha and other formats use white"));
    app.add_option("--icc", icc, Tr("ICC profiles: keep (in outputs that hold one), strip, or srgb (convert the pixels "
                                    "to sRGB and write none) (default: keep)"))
        ->check(CLI::IsMember({"keep", "strip", "srgb"}));
    std::string resize, thumbnail, filter;
    app.add_option("--resize", resize,
                   Tr("Resize every image to GEOMETRY: WxH (fit inside), W or xH (one side), N% (scale), WxH! (exact), "
                      "WxH^ (fill); a trailing > only shrinks, < only enlarges"));
    app.add_option("--thumbnail", thumbnail,
                   Tr("Make thumbnails that fit inside GEOMETRY (WxH, W or xH), never enlarged; JPEGs shrink while they load"));
    app.add_option("--filter", filter, Tr("Resize filter: lanczos, bicubic, bilinear, box or nearest "
                                          "(default: lanczos; bicubic for --thumbnail)"))
        ->check(CLI::IsMember({"lanczos", "bicubic", "bilinear", "box", "nearest"}));
    std::string subsampling = "420";
    app.add_option("--quality", options.load.output.quality, Tr("JPEG and lossy WebP quality, 1 to 100 (default: 90)"))
        ->check(CLI::Range(1, 100));
    app.add_option("--jpeg-subsampling", subsampling, Tr("JPEG chroma subsampling: 444, 422 or 420 (default: 420)"))
        ->check(CLI::IsMember({"444", "422", "420"}));
    app.add_flag("--progressive", options.load.output.progressive, Tr("Progressive JPEG (holds the image's coefficients)"));
    app.add_flag("--lossless", options.load.output.lossless, Tr("Lossless WebP"));
    long long settleMs = 1000;
    double pollSeconds = 0, idleSeconds = 0;
    app.add_flag("--watch", args.watching, Tr("Convert the images in each folder FILE, then each new one once complete, until a signal"));
    app.add_option("--settle", settleMs, Tr("With --watch: milliseconds a file must stay unchanged (default: 1000)"))
        ->check(CLI::Range(0LL, 3600000LL));
    app.add_option("--poll", pollSeconds, Tr("With --watch: scan every SECONDS instead of taking kernel events (network shares)"))
        ->check(CLI::Range(0.001, 86400.0));
    app.add_option("--idle-exit", idleSeconds, Tr("With --watch: end after SECONDS with nothing to do"))
        ->check(CLI::Range(0.001, 1e9));
    app.add_flag("--include-hidden", args.watch.includeHidden,
                 Tr("With --watch: also take hidden names (.name) and partial downloads (.part, .crdownload, .tmp)"));
    app.add_option("--done", args.watch.doneDir, Tr("With --watch: move each input into DIR once it is converted"));
    app.add_option("--failed", args.watch.failedDir, Tr("With --watch: move each input into DIR once it has failed"));
    const std::optional<int> usage = ParseToolArgs(app, argc, argv, out, err, [&] {
        if (args.files.empty() && args.filesFrom.empty() && args.planFile.empty()) throw CLI::RequiredError("FILE or --files-from");
        if ((args.planShards > 0) != !args.planDir.empty()) throw CLI::ValidationError("--plan-shards and --plan-dir", Tr("go together"));
        if (args.planShards > 0 && (!shard.empty() || args.watching || !args.reportName.empty() || !args.planFile.empty()))
            throw CLI::ValidationError("--plan-shards", Tr("takes no --shard, --watch, --report or --plan"));
        if (!args.planFile.empty() && (!args.files.empty() || !args.filesFrom.empty() || args.recursive || !shard.empty() || args.watching))
            throw CLI::ValidationError("--plan", Tr("takes its inputs and its shard from the plan: no FILE, --files-from, -r, --shard or --watch"));
        if (!shard.empty()) std::tie(options.plan.shard, options.plan.shards) = ParseShard(shard);
        if (app.count("--max-pixels")) options.load.limit.maxPixels = ParseMaxPixels(maxPixels);
        if (!rawSize.empty()) {
            options.load.raw = ParseRawSize(rawSize);
            options.load.raw->order = rawOrder == "bgr" ? RawOrder::Bgr : RawOrder::Rgb;
            options.plan.rawExt = rawExt.starts_with('.') ? rawExt : "." + rawExt;
            options.load.rawExt = options.plan.rawExt;
        } else if (app.count("--raw-ext") || app.count("--raw-order")) {
            throw CLI::ValidationError("--raw-ext and --raw-order", Tr("need --raw-size"));
        }
        if (args.nulSeparated && args.filesFrom.empty()) throw CLI::ValidationError("-0", Tr("needs --files-from"));
        try {
            options.plan.namePattern = TNamePattern(namePattern).Text();
        } catch (const EQuenlo& e) {
            throw CLI::ValidationError("--name", e.what());
        }
        if (skipExisting && !ifExists.empty() && ifExists != "skip")
            throw CLI::ValidationError("--skip-existing", FormatText(Tr("is --if-exists skip, not %s"), ifExists.c_str()));
        options.plan.existing = skipExisting || ifExists == "skip" ? ExistingOutput::Skip
                                : ifExists == "number"             ? ExistingOutput::Number
                                                                   : ExistingOutput::Overwrite;
        if (options.plan.existing == ExistingOutput::Number && TNamePattern(namePattern).HasSize())
            throw CLI::ValidationError("--if-exists number",
                                       Tr("takes no {w} or {h} in --name: numbers are given before the sizes are known"));
        if (args.watching && (namePattern != "{name}" || options.plan.existing == ExistingOutput::Number))
            throw CLI::ValidationError("--watch", Tr("names outputs after their inputs: no --name or --if-exists number"));
        options.load.output.format = format == "png"    ? OutputFormat::Png
                                     : format == "tiff" ? OutputFormat::Tiff
                                     : format == "jpg"  ? OutputFormat::Jpeg
                                     : format == "webp" ? OutputFormat::WebP
                                                        : OutputFormat::Bmp;
        options.load.output.jpegSubsampling = subsampling == "444"   ? JpegSubsampling::S444
                                              : subsampling == "422" ? JpegSubsampling::S422
                                                                     : JpegSubsampling::S420;
        options.load.output.tiffCompression = tiffCompression == "lzw"       ? TiffCompression::Lzw
                                         : tiffCompression == "deflate" ? TiffCompression::Deflate
                                                                        : TiffCompression::None;
        options.plan.outputExt = OutputExtension(options.load.output.format);
        if (!background.empty()) {
            options.load.background = ColorFromText(background);
            if (!options.load.background) throw CLI::ValidationError("--background", Tr("takes a colour name or #rrggbb"));
        }
        options.load.icc = icc == "strip" ? IccMode::Strip : icc == "srgb" ? IccMode::Srgb : IccMode::Keep;
        if (!resize.empty() || !thumbnail.empty()) {
            if (!resize.empty() && !thumbnail.empty()) throw CLI::ValidationError("--resize and --thumbnail", Tr("take one of the two"));
            const char* const name = resize.empty() ? "--thumbnail" : "--resize";
            ResizeRequest request;
            request.thumbnail = resize.empty();
            try {
                request.geometry = ParseResizeGeometry(request.thumbnail ? thumbnail : resize);
                if (request.thumbnail) CheckThumbnailGeometry(request.geometry);
            } catch (const EQuenlo& e) {
                throw CLI::ValidationError(name, e.what());
            }
            request.filter = filter.empty() ? (request.thumbnail ? ResampleFilter::Bicubic : ResampleFilter::Lanczos)
                                            : *ResampleFilterByName(filter);
            options.load.resize = request;
        } else if (!filter.empty()) {
            throw CLI::ValidationError("--filter", Tr("needs --resize or --thumbnail"));
        }
        if (!args.watching && (app.count("--settle") || app.count("--poll") || app.count("--idle-exit") ||
                               app.count("--include-hidden") || app.count("--done") || app.count("--failed")))
            throw CLI::ValidationError("--settle, --poll, --idle-exit, --include-hidden, --done and --failed", Tr("need --watch"));
        if (args.watching && (!args.filesFrom.empty() || !shard.empty() || options.plan.outputDir.empty()))
            throw CLI::ValidationError("--watch", Tr("takes folders and -o OUT, and no --files-from or --shard"));
    });
    options.batch.onLoadFailure = keepGoing ? OnLoadFailure::KeepGoing : OnLoadFailure::Stop;
    args.watch.recurse = args.recursive ? Recurse::On : Recurse::Off;
    args.watch.settle = std::chrono::milliseconds(settleMs);
    args.watch.poll = std::chrono::milliseconds(std::llround(pollSeconds * 1000));
    args.watch.idleExit = std::chrono::milliseconds(std::llround(idleSeconds * 1000));
    // What a plan records: every option that shapes the outputs, defaults too.
    auto setting = [&](const std::string& name, const std::string& value, bool record) {
        if (record) args.settings.push_back(value.empty() ? name : name + "=" + value);
        if (app.count(name)) args.given.insert(name);
    };
    setting("--output", options.plan.outputDir, !options.plan.outputDir.empty());
    setting("--format", format, true);
    setting("--png-level", std::to_string(options.load.output.pngLevel), true);
    setting("--tiff-compression", tiffCompression, true);
    setting("--max-pixels", std::to_string(options.load.limit.maxPixels), true);
    const bool raw = options.load.raw.has_value();
    setting("--raw-size", raw ? std::to_string(options.load.raw->width) + "x" + std::to_string(options.load.raw->height) : "", raw);
    setting("--raw-ext", options.plan.rawExt, raw);
    setting("--raw-order", rawOrder, raw);
    setting("--resize", resize, !resize.empty());
    setting("--thumbnail", thumbnail, !thumbnail.empty());
    setting("--filter", filter, !filter.empty());
    setting("--quality", std::to_string(options.load.output.quality), true);
    setting("--jpeg-subsampling", subsampling, true);
    setting("--progressive", "", options.load.output.progressive);
    setting("--lossless", "", options.load.output.lossless);
    setting("--background", background, !background.empty());
    setting("--icc", icc, true);
    setting("--auto-orient", "", options.load.autoOrient);
    setting("--keep-going", "", keepGoing);
    const ExistingOutput existing = options.plan.existing;
    setting("--if-exists", existing == ExistingOutput::Skip ? "skip" : existing == ExistingOutput::Number ? "number" : "replace", true);
    if (app.count("--skip-existing")) args.given.insert("--if-exists");
    setting("--name", namePattern, true);
    setting("--in-place", "", options.load.replaceSources);
    return usage;
}

// Each settled file moves the bar and goes into the report; messages are
// printed as whole lines above the bar, control characters quoted.
BatchEvents ProgressEvents(TProgress& progress, TBatchReport* report) {
    BatchEvents events;
    events.onFailed = [&progress](const BatchItem& item, const std::string& reason, FailureKind) {
        progress.Line(FormatText(Tr("quenlo-convert: %s: %s"), QuoteControls(item.input).c_str(), QuoteControls(reason).c_str()));
    };
    events.onWarning = [&progress](const BatchItem& item, const std::string& text) {
        progress.Line(
            FormatText(Tr("quenlo-convert: %s: warning: %s"), QuoteControls(item.input).c_str(), QuoteControls(text).c_str()));
    };
    events.onSettled = [&progress, report](const BatchItem& item, const ItemReport& done) {
        if (done.status != ItemStatus::NotReached) progress.Step(done.bytes);
        if (report) report->Item(item, done);
    };
    return events;
}

// A usage error found after the command line was read: exit status 2.
class EUsage : public EQuenlo {
public:
    using EQuenlo::EQuenlo;
};

// The list named by --files-from; "-" is standard input. Throws EQuenlo.
FILE* OpenList(const std::string& name, bool& owned) {
    owned = name != "-";
    FILE* f = owned ? OpenListFile(name) : stdin;
    struct stat st {};
    if (f && ::fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (owned) std::fclose(f);
        throw EQuenlo(FormatText(Tr("cannot read the list %s: it is a folder"), name.c_str()));
    }
    if (!f) throw EQuenlo(FormatText(Tr("cannot read the list %s: %s"), name.c_str(), std::strerror(errno)));
    return f;
}

// A shard of a plan runs with the plan's options: those given again must
// agree (a flag that goes on, --keep-going or --if-exists skip over replace, may be added).
// Replaces args by the plan's, keeping this run's -j, --report and -q.
// Gives the exit status when the run ends here. Throws EUsage.
std::optional<int> TakePlanSettings(const TShardPlanFile& plan, ConvertArgs& args, FILE* out, FILE* err) {
    auto nameOf = [](const std::string& word) { return word.substr(0, word.find('=')); };
    auto find = [&](const std::vector<std::string>& words, const std::string& name) {
        const auto hit = std::find_if(words.begin(), words.end(), [&](const std::string& w) { return nameOf(w) == name; });
        return hit == words.end() ? FormatText(Tr("%s (not given)"), name.c_str()) : *hit;
    };
    // Only the words a plan records: an edited plan gives no other option.
    static const std::set<std::string> recordable = {"--output",   "--format",   "--png-level",  "--tiff-compression", "--max-pixels",
                                                     "--raw-size", "--raw-ext",  "--raw-order", "--keep-going",       "--if-exists",
                                                     "--resize",   "--thumbnail", "--filter",   "--name",             "--in-place",
                                                     "--quality",  "--jpeg-subsampling", "--progressive", "--lossless",
                                                     "--background", "--icc",  "--auto-orient"};
    for (const std::string& word : plan.Settings())
        if (!recordable.count(nameOf(word))) throw EQuenlo(FormatText(Tr("the plan %s is damaged: it records %s"), args.planFile.c_str(), word.c_str()));
    for (const std::string& name : args.given) {
        if (name == "--keep-going") continue;
        const std::string mine = find(args.settings, name), theirs = find(plan.Settings(), name);
        if (mine == "--if-exists=skip" && theirs == "--if-exists=replace") continue;
        if (mine != theirs) throw EUsage(FormatText(Tr("%s differs from the plan's %s"), mine.c_str(), theirs.c_str()));
    }
    std::vector<std::string> words = {"quenlo-convert"};
    words.insert(words.end(), plan.Settings().begin(), plan.Settings().end());
    words.push_back("--plan=" + args.planFile);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    ConvertArgs planned;
    if (const std::optional<int> usage = ParseConvertArgs(static_cast<int>(argv.size()), argv.data(), out, err, planned))
        return usage;
    planned.options.batch.jobs = args.options.batch.jobs;
    if (args.options.batch.onLoadFailure == OnLoadFailure::KeepGoing) planned.options.batch.onLoadFailure = OnLoadFailure::KeepGoing;
    if (args.options.plan.existing == ExistingOutput::Skip) planned.options.plan.existing = ExistingOutput::Skip;
    planned.reportName = args.reportName;
    planned.quiet = args.quiet;
    args = std::move(planned);
    return std::nullopt;
}

// The report must destroy nothing: it is neither the list or the plan, nor a file the
// batch reads, nor one it writes. Files are compared by identity, and the
// report already exists (a new one is created empty), so an output of the
// same name that is still to be written is found too. Throws EUsage.
void CheckReportPath(const TBatchReport& report, const std::string& reportName, const TBatchPlan& plan,
                     const std::string& listName, FILE* list, const std::string& planName) {
    const FileKey& self = report.Identity();
    if (!self.found) return;
    const std::string who = "--report " + reportName;
    struct stat st {};
    if (list && ::fstat(fileno(list), &st) == 0 && FileKey{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true} == self)
        throw EUsage(listName == "-" ? FormatText(Tr("%s is the list on standard input (--files-from)"), who.c_str())
                                     : FormatText(Tr("%s is the list %s (--files-from)"), who.c_str(), listName.c_str()));
    if (!planName.empty() && KeyOf(planName) == self)
        throw EUsage(FormatText(Tr("%s is the plan %s (--plan)"), who.c_str(), planName.c_str()));
    for (size_t i = 0; i < plan.Size(); ++i) {
        const BatchItem item = plan.Item(i);
        for (const std::string* read : {&item.input, &item.ipr, &item.rgb})
            if (!read->empty() && KeyOf(*read) == self)
                throw EUsage(FormatText(Tr("%s is %s, an input of this batch"), who.c_str(), read->c_str()));
        if (KeyOf(item.output) == self)
            throw EUsage(FormatText(Tr("%s is %s, the output of %s"), who.c_str(), item.output.c_str(), item.input.c_str()));
    }
}

// Plans the batch from the names, the list and the folders, and runs it.
// Throws what stops the whole run (an unreadable list, an unwritable report).
int RunConvert(ConvertArgs& args, FILE* err, TShardPlanFile* shardPlan) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<TBatchReport> report;
    if (!args.reportName.empty()) report = std::make_unique<TBatchReport>(args.reportName);
    if (args.watching) {
        if (report) report->Arm();  // no plan to check it against: the watch takes only folders
        TProgress lines(err, 0, false);
        args.watch.folders = std::move(args.files);
        return RunWatchConvert(std::move(args.watch), args.options.plan, args.options.batch, ItemLoader(args.options.load),
                               ProgressEvents(lines, report.get()), lines, report.get(), args.quiet);
    }
    TBatchPlan plan;
    ListFile list;
    FeedOptions feedOptions;
    feedOptions.recurse = args.recursive ? Recurse::On : Recurse::Off;
    feedOptions.rawExt = args.options.plan.rawExt;
    feedOptions.outputDir = args.options.plan.outputDir;
    feedOptions.onSkipped = [&](const std::string& name, const std::string& why) {
        std::fprintf(err, Tr("quenlo-convert: %s: skipped: %s\n"), QuoteControls(name).c_str(), QuoteControls(why).c_str());
        if (report) report->LeftOut(name, why);
    };
    feedOptions.lookUpNames = args.planShards == 0 || args.recursive;
    TInputFeed feed(feedOptions);
    if (args.planShards > 0) {
        ShardPlanOptions o;
        o.outputDir = args.options.plan.outputDir;
        o.outputExt = args.options.plan.outputExt;
        o.pattern = TNamePattern(args.options.plan.namePattern);
        o.existing = args.options.plan.existing;
        o.rawExt = args.options.plan.rawExt;
        o.shards = args.planShards;
        o.planDir = args.planDir;
        o.settings = args.settings;
        ListFile names;
        if (!args.filesFrom.empty()) names.f = OpenList(args.filesFrom, names.owned);
        feed.AddNames(std::move(args.files));
        if (names.f) feed.AddList(names.f, args.nulSeparated ? NameDelim::Nul : NameDelim::Newline, args.filesFrom);
        const ShardPlanCounts c = WriteShardPlans(feed.Source(), o);
        if (!args.quiet)
            std::fprintf(err, Tr("quenlo-convert: planned %llu of %llu files into %d shards in %s (%llu refused, %llu listed again)\n"),
                         static_cast<unsigned long long>(c.planned), static_cast<unsigned long long>(c.listed), o.shards,
                         QuoteControls(o.planDir).c_str(), static_cast<unsigned long long>(c.wouldReplace + c.sharedOutput),
                         static_cast<unsigned long long>(c.repeats));
        return feed.Unreadable() == 0 ? 0 : 1;
    }
    try {
        if (!args.filesFrom.empty()) list.f = OpenList(args.filesFrom, list.owned);
        feed.AddNames(std::move(args.files));
        if (list.f) feed.AddList(list.f, args.nulSeparated ? NameDelim::Nul : NameDelim::Newline, args.filesFrom);
        plan = PlanBatch(shardPlan ? shardPlan->Source() : feed.Source(), args.options.plan);
        if (report) {
            CheckReportPath(*report, args.reportName, plan, args.filesFrom, list.f, args.planFile);
            report->Arm();
        }
    } catch (const EUsage&) {
        if (report) report->Discard();
        throw;
    } catch (const std::exception& e) {
        if (report) report->Failed(e.what());
        throw;
    }
    if (report) report->Planned(plan.Size());

    TProgress progress(err, static_cast<long long>(plan.Size()), !args.quiet && isatty(fileno(err)));
    const BatchResult r = RunBatch(plan, args.options.batch, ItemLoader(args.options.load), ProgressEvents(progress, report.get()));
    progress.Finish();
    if (report) report->Summary(r, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (r.stopped && r.notStarted > 0)
        std::fprintf(err, Tr("quenlo-convert: stopped after a failed load; %d file(s) not converted (--keep-going goes on)\n"),
                     r.notStarted);
    return r.failed == 0 && r.notStarted == 0 && feed.Unreadable() == 0 ? 0 : 1;
}

}  // namespace

int RunConvertCli(int argc, const char* const* argv, FILE* out, FILE* err) {
    ConvertArgs args;
    if (const std::optional<int> usage = ParseConvertArgs(argc, argv, out, err, args)) return *usage;
    try {
        std::unique_ptr<TShardPlanFile> plan;
        if (!args.planFile.empty()) {
            plan = std::make_unique<TShardPlanFile>(args.planFile);
            if (const std::optional<int> usage = TakePlanSettings(*plan, args, out, err)) return *usage;
        }
        return RunConvert(args, err, plan.get());
    } catch (const EUsage& e) {
        std::fprintf(err, Tr("%s: %s\nRun with --help for usage.\n"), "quenlo-convert", QuoteControls(e.what()).c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(err, "quenlo-convert: %s\n", QuoteControls(e.what()).c_str());
        return 1;
    }
}

}  // namespace quenlo
