#pragma once
// Batches of files converted with the converter's own plan and rules: output
// names decided before anything is read, clashes refused, outputs put in
// place in input order whatever the number of jobs.
#include <functional>
#include <string>
#include <vector>

#include "quenlo/image.h"

namespace quenlo {
inline namespace v0 {

struct ConvertOptions {
    std::string outputDir;  // "": beside each source
    bool recursive = false;  // folders stand for the images below them, mirrored below outputDir
    int jobs = 1;            // files converted at once
    bool keepGoing = false;  // a failed file does not stop the batch
    bool skipExisting = false;  // the same as ifExists = IfExists::Skip
    // The outputs' names before the format's extension, as quenlo-convert
    // --name: text and {name}, {ext}, {n} ({n:3} for 001), {date}, {w}, {h}.
    std::string namePattern = "{name}";
    // An output that exists, or that an earlier input also gets: replaced,
    // left alone ("skipped"), or named "NAME (2)", "NAME (3)"... instead.
    enum class IfExists { Replace, Skip, Number };
    IfExists ifExists = IfExists::Replace;
    WriteOptions write;
    ReadOptions read;
    // Asked before each file on the calling thread; true ends the batch
    // after the file in hand (the rest are "not-reached").
    std::function<bool()> cancelled;
};

// How one input ended: the fields of a line of quenlo-convert's report.
struct ItemResult {
    std::string input, output;
    std::string status;  // "converted", "skipped", "failed" or "not-reached"
    std::string error;   // the message, when failed
    std::string reason;  // its code (see Error), when failed
    long long width = -1, height = -1;  // pixels; -1 unknown
    long long bytes = 0;                // of the output
    double ms = 0;
};

struct ConvertSummary {
    int converted = 0, skipped = 0, failed = 0, notReached = 0;
    bool stopped = false;    // by a failed file, without keepGoing
    bool cancelled = false;  // by ConvertOptions::cancelled
};

struct ConvertResult {
    std::vector<ItemResult> items;  // in input order
    ConvertSummary summary;
};

// Failures of single files are results, not exceptions. Throws UsageError
// for contradicting options and Error when the output folder cannot be made.
ConvertResult Convert(const std::vector<std::string>& inputs, const ConvertOptions& options = {});

}  // namespace v0
}  // namespace quenlo
