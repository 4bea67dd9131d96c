#pragma once
// The batch decided before any file is read: each input's output name, the
// output folder, and the inputs that must not be converted because of
// another one. The window and quenlo-convert both plan with this.
#include <functional>
#include <string>
#include <vector>

namespace quenlo {

struct BatchItem {
    std::string input;  // as listed
    std::string output;
    // Not empty: the item is not converted, and counts as a failed save.
    std::string refusal;

    // For a raw pair, its two members as found on disk (PairName).
    std::string IprName() const { return Member(0); }
    std::string RgbName() const { return Member(1); }
    void SetPairNames(const std::string& ipr, const std::string& rgb);

private:
    std::string Member(int which) const;
    // A batch may hold millions of items: when the members are the input
    // with its extension swapped, as they nearly always are, only their
    // two extensions are kept (".ipr.RGB", held inside the string object);
    // otherwise both names with a NUL between them.
    std::string pair_;
};

struct TBatchPlan {
    std::string dir;  // the output folder with its trailing separator; "" beside each source
    std::vector<BatchItem> items;
};

// One listed input and the folder below the output folder its output goes
// to ("a/b/" for a tree walked from its root; "" for none).
struct PlanInput {
    std::string name;
    std::string subdir;
};
// Fills in the next input; false when there are no more.
using InputSource = std::function<bool(PlanInput&)>;
// The names of a list, in order; the list must outlive the source.
InputSource ListSource(const std::vector<std::string>& names);

struct PlanOptions {
    std::string outputDir;  // "" beside each source
    // Not empty (".rgb"): files with this extension, in any case, are
    // headerless raw data rather than members of a pair.
    std::string rawExt;
    // Keep only the items of shard `shard` (0-based) of `shards`.
    int shard = 0;
    int shards = 1;
};

// Output name: folder (with its trailing separator) plus subdir plus the
// input's file name, or the input itself when there is no folder; extension ".bmp".
std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim, const std::string& subdir = {});

// Creates the output folder with its parents and appends the separator.
// Throws EQuenlo "Cannot create <dir>", also when the folder cannot even be checked.
void PrepareOutputDir(std::string& dir);

// Whether a name has the extension of headerless raw data (rawExt, ignoring case).
bool IsRawData(const std::string& name, const std::string& rawExt);

// The shard (0-based, of `shards`) an output belongs to: a stable hash of its
// path below the output folder, so every machine splitting one list agrees.
int ShardOf(const std::string& output, const std::string& dirWithDelim, int shards);

// Prepares the folder and plans the inputs in their order:
// - the same image listed again (the same file, or the other member of a
//   pair) is converted once, silently: later mentions are dropped;
// - an input whose output would replace another input of the batch is
//   refused ("would replace X, which this batch also reads"); a .bmp
//   rewritten in place replaces only itself and is planned;
// - of inputs sharing one output the last listed wins, as converting them
//   one by one would; each earlier one is refused ("its output is also the
//   output of X");
// - last, only the items of the chosen shard are kept: the rules above hold
//   over the whole list, whichever shard is run.
// Besides the names, planning holds a few hundred bytes per input.
// Throws what PrepareOutputDir throws.
TBatchPlan PlanBatch(const InputSource& next, const PlanOptions& options);
TBatchPlan PlanBatch(const std::vector<std::string>& inputs, const std::string& outputDir);

}  // namespace quenlo
