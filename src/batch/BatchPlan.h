#pragma once
// The batch decided before any file is read: each input's output name, the
// output folder, and the inputs that must not be converted because of
// another one. The window and quenlo-convert both plan with this.
#include <string>
#include <vector>

namespace quenlo {

struct BatchItem {
    std::string input;  // as listed
    std::string output;
    // For a raw pair, its two members as found on disk (PairName).
    std::string iprName, rgbName;
    // Not empty: the item is not converted, and counts as a failed save.
    std::string refusal;
};

struct TBatchPlan {
    std::string dir;  // the output folder with its trailing separator; "" beside each source
    std::vector<BatchItem> items;
};

// Output name: folder (with its trailing separator) plus the input's file
// name, or the input itself when there is no folder; extension ".bmp".
std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim);

// Creates the output folder with its parents and appends the separator.
// Throws EQuenlo "Cannot create <dir>", also when the folder cannot even be checked.
void PrepareOutputDir(std::string& dir);

// Prepares the folder and plans the inputs in their order:
// - the same image listed again (the same file, or the other member of a
//   pair) is converted once, silently: later mentions are dropped;
// - an input whose output would replace another input of the batch is
//   refused ("would replace X, which this batch also reads"); a .bmp
//   rewritten in place replaces only itself and is planned;
// - of inputs sharing one output the last listed wins, as converting them
//   one by one would; each earlier one is refused ("its output is also the
//   output of X").
// Throws what PrepareOutputDir throws.
TBatchPlan PlanBatch(const std::vector<std::string>& inputs, const std::string& outputDir);

}  // namespace quenlo
