#include "cli/ConvertCli.h"

#include <CLI/CLI.hpp>
#include <thread>
#include <unistd.h>

#include "cli/Converter.h"
#include "cli/Progress.h"

namespace quenlo {

int RunConvertCli(int argc, const char* const* argv, FILE* out, FILE* err) {
    CLI::App app{"Converts .ipr/.rgb raw images, .bmp and .jpg files into 24-bit .bmp files.", "quenlo-convert"};
    std::vector<std::string> files;
    ConvertOptions options;
    options.batch.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool keepGoing = false, skipExisting = false, quiet = false;
    app.add_option("FILE", files, "Images to convert (.ipr or .rgb of a raw pair, .bmp, .jpg)")->required();
    app.add_option("-o,--output", options.outputDir,
                   "Folder for the .bmp files, created with its parents (default: beside each source)");
    app.add_option("-j,--jobs", options.batch.jobs, "Files converted in parallel (default: number of cores)")
        ->check(CLI::Range(1, 1024));
    app.add_flag("--keep-going", keepGoing, "Go on after a file that fails to load");
    app.add_flag("--skip-existing", skipExisting, "Leave outputs that already exist alone");
    app.add_flag("-q,--quiet", quiet, "No progress bar");
    app.set_version_flag("--version", std::string("quenlo-convert ") + QUENLO_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), out);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::fprintf(out, "%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(err, "quenlo-convert: %s\nRun with --help for usage.\n", e.what());
        return 2;
    }
    options.batch.onLoadFailure = keepGoing ? OnLoadFailure::KeepGoing : OnLoadFailure::Stop;
    options.batch.existing = skipExisting ? ExistingOutput::Skip : ExistingOutput::Overwrite;

    TProgress progress(err, static_cast<int>(files.size()), !quiet && isatty(fileno(err)));
    BatchEvents events;
    events.onConverted = [&](const BatchItem&) { progress.Step(); };
    events.onSkipped = events.onConverted;
    events.onFailed = [&](const BatchItem& item, const std::string& reason, FailureKind) {
        progress.Line("quenlo-convert: " + item.input + ": " + reason);
        progress.Step();
    };
    events.onWarning = [&](const BatchItem& item, const std::string& text) {
        progress.Line("quenlo-convert: " + item.input + ": warning: " + text);
    };
    BatchResult r;
    try {
        r = ConvertFiles(files, options, events);
    } catch (const std::exception& e) {
        std::fprintf(err, "quenlo-convert: %s\n", e.what());
        return 1;
    }
    progress.Finish();
    if (r.stopped && r.notStarted > 0)
        std::fprintf(err, "quenlo-convert: stopped after a failed load; %d file(s) not converted (--keep-going goes on)\n",
                     r.notStarted);
    return r.failed == 0 && r.notStarted == 0 ? 0 : 1;
}

}  // namespace quenlo
