#pragma once
// The batch: each input is loaded and written as a 24-bit .bmp, into the
// output folder or beside its source.
#include <functional>
#include <string>
#include <vector>

namespace quenlo {

enum class OnLoadFailure { Stop, KeepGoing };
enum class ExistingOutput { Overwrite, Skip };

struct ConvertOptions {
    std::string outputDir;  // empty: beside each source
    int jobs = 1;
    OnLoadFailure onLoadFailure = OnLoadFailure::Stop;
    ExistingOutput existing = ExistingOutput::Overwrite;
};

struct ConvertEvents {
    // One call per finished file, in any order when jobs > 1; all calls are serialised.
    std::function<void(const std::string& input, const std::string& output)> onConverted;
    std::function<void(const std::string& input, const std::string& output)> onSkipped;
    std::function<void(const std::string& input, const std::string& reason)> onFailed;
    std::function<void(const std::string& input, const std::string& text)> onWarning;
};

struct ConvertResult {
    int converted = 0;
    int skipped = 0;
    int failed = 0;
    int notStarted = 0;  // after a load failure without KeepGoing
};

// Output name: folder (with its trailing separator) plus the input's file
// name, or the input itself when there is no folder; extension ".bmp".
std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim);

// Creates the output folder with its parents. Throws EQuenlo "Cannot create <dir>".
void PrepareOutputDir(std::string& dir);

ConvertResult ConvertFiles(const std::vector<std::string>& inputs, const ConvertOptions& options,
                           const ConvertEvents& events);

}  // namespace quenlo
