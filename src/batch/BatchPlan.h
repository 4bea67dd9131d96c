#pragma once
// The batch decided before any file is read: each input's output name, the
// output folder, and the inputs that must not be converted because of
// another one. The window and quenlo-convert both plan with this.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/FileKey.h"
#include "batch/NamePattern.h"
#include "low/TextArena.h"

namespace quenlo {

// One planned input with its names spelled out. The plan holds its items
// packed and spells out only the few in hand.
struct BatchItem {
    std::string input;  // as listed
    std::string output;
    // Not empty: the item is not converted, and counts as a failed save.
    std::string refusal;
    // For a raw pair, its two members as found on disk (PairName); else empty.
    std::string ipr, rgb;
    const char* refusalCode = "";  // FailureReason's code for it: "clash", "not-regular", "unsafe-link", "no-name"
    // The output's name holds {w} or {h}, filled in once the image is read.
    bool sized = false;
};

// What an output that exists already, or that an earlier item of the batch
// also writes, gets: replaced, left alone (the item is skipped), or a new
// name with " (2)", " (3)"... before the extension.
enum class ExistingOutput : uint8_t { Overwrite, Skip, Number };

class TBatchPlan {
public:
    std::string dir;  // the output folder with its trailing separator; "" beside each source
    std::string ext = ".bmp";  // the outputs' extension
    ExistingOutput existing = ExistingOutput::Overwrite;
    TNamePattern pattern;

    size_t Size() const { return items_.size(); }
    // Builds the names and the refusal's text. Safe from several threads.
    BatchItem Item(size_t i) const;
    // Item i's output with the output's size in its name (the pattern's {w} and {h}).
    std::string SizedOutput(size_t i, long long width, long long height) const;
    // Item i's {n}: its place in the batch as first listed, from 1; a run again
    // of some items passes it on (PlanInput::n) so that their names stay.
    uint32_t Number(size_t i) const;

private:
    friend class TPlanner;

    // Why an item is not converted; the other item is named in the text.
    enum class Refusal : uint8_t { None, WouldReplace, SharedOutput, NotRegular, UnsafeLink, OneFile, NoName };
    // A raw pair's members: nearly always the input with the extension
    // swapped, kept as which letters are upper case; else spelled out in
    // the arena after the input, each after its length.
    enum PairBits : uint8_t { kPair = 0x80, kSpelledOut = 0x40, kIprUpper = 0x07, kRgbUpper = 0x38 };
    // 24 bytes beside the name.
    struct Entry {
        uint64_t at = 0;  // the input's TTextArena::Ref, unpacked so the entry packs
        uint32_t size = 0;
        uint32_t subdir = 0;  // in subdirs_
        // The refusal's other item; with kOutsider, in outsiders_. Unrefused
        // with ExistingOutput::Number: the number added to the name (0: none).
        uint32_t other = 0;
        Refusal refusal = Refusal::None;
        uint8_t pair = 0;     // PairBits
    };
    static constexpr uint32_t kOutsider = 0x80000000u;

    std::string_view Input(const Entry& e) const { return names_.View({e.at, e.size}); }
    // With a pattern, the input's {n} (4 bytes) and {date} (kNoDate's size)
    // follow it in the arena, after a pair's members.
    std::pair<uint32_t, std::string_view> Numbered(const Entry& e) const;
    // The name the pattern gives, with no number added; "" for none.
    std::string Base(const Entry& e, long long width = -1, long long height = -1) const;
    std::string Output(const Entry& e) const;
    // What picks an item's shard: its name, or with numbers, the name every
    // number of it shares.
    std::string ShardName(const Entry& e) const;
    std::string OtherInput(const Entry& e) const;
    // A pair's members when kSpelledOut.
    std::pair<std::string_view, std::string_view> Members(const Entry& e) const;

    TTextArena names_;
    std::deque<Entry> items_;  // grows by small blocks, never by copying
    std::vector<std::string> subdirs_;
    // Inputs named by a refusal whose item another shard converts.
    std::vector<std::string> outsiders_;
};

// One listed input and the folder below the output folder its output goes
// to ("a/b/" for a tree walked from its root; "" for none).
struct PlanInput {
    PlanInput() = default;
    PlanInput(std::string n, std::string s) : name(std::move(n)), subdir(std::move(s)) {}
    std::string name;
    std::string subdir;
    // Decided before, by a plan made for shards: the item is not converted
    // because of `other`, an input of another shard, named as listed.
    enum class Refused : uint8_t { No, WouldReplace, SharedOutput } refused = Refused::No;
    std::string other;
    // Found: the file of the image (a pair's .ipr, named as the input) as
    // the caller found it just now, which the plan then takes without a look;
    // so too the pair's .rgb when not empty, if PairName would try it first.
    FileKey image;
    std::string rgb;
    // Decided by a plan made for shards, for the name pattern: {n} (0: its place in this
    // list) and {date} ("": the input's own).
    uint32_t n = 0;
    std::string date;
};
// Fills in the next input; false when there are no more.
using InputSource = std::function<bool(PlanInput&)>;
// The names of a list, in order; the list must outlive the source.
InputSource ListSource(const std::vector<std::string>& names);

struct PlanOptions {
    std::string outputDir;  // "" beside each source
    // The outputs' file names before the extension (see NamePattern.h).
    std::string namePattern = "{name}";
    ExistingOutput existing = ExistingOutput::Overwrite;
    // Not empty (".rgb"): files with this extension, in any case, are
    // headerless raw data rather than members of a pair.
    std::string rawExt;
    // Keep only the items of shard `shard` (0-based) of `shards`.
    int shard = 0;
    int shards = 1;
    // The outputs' extension, which follows the output format.
    std::string outputExt = ".bmp";
};

// Output name: folder (with its trailing separator) plus subdir plus the
// input's file name, or the input itself when there is no folder; extension ext.
std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim, const std::string& subdir = {},
                          const std::string& ext = ".bmp");
// The same with the name the pattern gives from the input's fields
// (OutputNameFor's for a plain pattern); "" when it gives none.
std::string OutputNameFor(const TNamePattern& pattern, const NameFields& fields, const std::string& input,
                          const std::string& dirWithDelim, const std::string& subdir, const std::string& ext);

// Creates the output folder with its parents and appends the separator.
// Throws EQuenlo "Cannot create <dir>", also when the folder cannot even be checked.
void PrepareOutputDir(std::string& dir);

// Whether a name has the extension of headerless raw data (rawExt, ignoring case).
bool IsRawData(const std::string& name, const std::string& rawExt);

// FNV-1a, 64 bits: the same on every machine. A text hashed in parts gives
// each part the hash of those before it.
constexpr uint64_t kStableHashStart = 14695981039346656037ull;
uint64_t StableHash(std::string_view text, uint64_t h = kStableHashStart);

// The shard (0-based, of `shards`) an output belongs to: a stable hash of its
// path below the output folder, so every machine splitting one list agrees.
int ShardOf(const std::string& output, const std::string& dirWithDelim, int shards);

// Prepares the folder and plans the inputs in their order:
// - outputs are the files they really replace, through symbolic links
//   (ReplacedFile); one that exists but is no regular file (a pipe, a
//   device), or is reached by a link the protected-symlinks rule does not
//   follow, is refused;
// - the same image listed again (the same file, or the other member of a
//   pair) with the same output is converted once, silently: later mentions
//   are dropped. One file under two names with two outputs gives both;
// - an input whose output would replace another input of the batch is
//   refused ("would replace X, which this batch also reads"); a .bmp
//   rewritten in place replaces only itself and is planned; a hard link to
//   an earlier input, rewritten in place, is that input under another name
//   and is refused as such ("one file with X");
// - of inputs sharing one output the last listed wins, as converting them
//   one by one would; each earlier one is refused ("its output is also the
//   output of X");
// - an input that comes refused keeps its refusal and is left out of the rules
//   for outputs (it writes none);
// - with ExistingOutput::Number the two rules above give way to numbers: no
//   output replaces a file. In input order, an output whose name is taken
//   (a file or link on disk, an earlier item's output, or another item's
//   own name) gets the first free " (N)", from 2;
// - an input the name pattern gives no name is refused ("no-name");
// - last, only the items of the chosen shard are kept: the rules above hold
//   over the whole list, whichever shard is run. With numbers, an item's
//   shard is that of its name with the numbers taken out (UnnumberedName),
//   so all the items that may number one name are in one shard.
// Names with {w} or {h} are planned with the fields as written: two that
// differ only in them are one output.
// Besides the names, the plan holds 24 bytes per input (38 with a pattern),
// and planning 16 more for a while.
// Throws what PrepareOutputDir throws, and EQuenlo for a name pattern
// TNamePattern refuses or one with {w} or {h} under ExistingOutput::Number.
TBatchPlan PlanBatch(const InputSource& next, const PlanOptions& options);
TBatchPlan PlanBatch(const std::vector<std::string>& inputs, const std::string& outputDir);

}  // namespace quenlo
