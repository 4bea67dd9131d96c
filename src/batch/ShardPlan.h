#pragma once
// A batch planned once for N machines: one pass decides the whole batch on
// its names alone and writes each shard's part to a file of its own, so that
// a machine reads only its part and starts at once, however large the batch.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch/BatchPlan.h"

namespace quenlo {

struct ShardPlanOptions {
    std::string outputDir;  // as given; "" beside each source
    std::string outputExt = ".bmp";
    TNamePattern pattern;
    ExistingOutput existing = ExistingOutput::Overwrite;
    std::string rawExt;  // headerless raw data (".rgb"); "" for none
    int shards = 1;
    std::string planDir;  // created with its parents
    // The options the shards run with, as command-line words.
    std::vector<std::string> settings;
};

struct ShardPlanCounts {
    uint64_t listed = 0;
    uint64_t planned = 0;  // items in the plan files, refused ones included
    uint64_t repeats = 0;  // the same image with the same output again: dropped
    uint64_t wouldReplace = 0, sharedOutput = 0;
    uint64_t largestShard = 0;
};

// Plans the inputs, in bounded memory, into planDir/K-of-N.plan (each shard's
// items in the batch's order, with their {n} and {date}) and planDir/plan.json.
// Nothing is looked up on disk but the inputs' dates for a pattern with
// {date}: names are compared as absolute paths with "." and ".." taken out, and
// - the same image listed again with the same output is dropped;
// - an item whose output is another item's input is refused;
// - of items sharing one output the last listed wins, the others are refused;
// with ExistingOutput::Number the last two are left to the shards, which
// number what is taken. Links and hard links are left to the shards too,
// which check their own items. An item's shard is that of PlanBatch with
// --shard K/N: ShardOf its output, or with numbers of its UnnumberedName. The names go
// through files in planDir twice; memory holds about a 256th of them (all
// the names that share one output are held together).
// Throws EQuenlo (an unwritable folder, a full disk).
ShardPlanCounts WriteShardPlans(const InputSource& next, const ShardPlanOptions& options);

// "3-of-8.plan" for shard 2 (0-based) of 8.
std::string ShardPlanName(int shard, int shards);

// One shard's plan file, checked whole before anything is taken from it: a
// truncated or edited file throws EQuenlo "the plan X is damaged: ...".
class TShardPlanFile {
public:
    explicit TShardPlanFile(const std::string& fileName);
    ~TShardPlanFile();
    TShardPlanFile(const TShardPlanFile&) = delete;
    TShardPlanFile& operator=(const TShardPlanFile&) = delete;

    int Shard() const { return shard_; }  // 0-based
    int Shards() const { return shards_; }
    const std::vector<std::string>& Settings() const { return settings_; }
    // The items in the batch's order, read as the shard plans them; refusals
    // decided by the planning pass come with them. Throws as the constructor.
    InputSource Source();

private:
    std::string Field();
    uint64_t Number(uint64_t max);
    [[noreturn]] void Damaged(const std::string& why) const;

    struct Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::string name_;
    std::unique_ptr<FILE, Closer> file_;  // closed also when the constructor throws
    FILE* f_ = nullptr;                   // file_'s
    uint64_t left_ = 0;  // bytes before the trailer not yet read
    int shard_ = 0, shards_ = 1;
    std::vector<std::string> settings_;
};

}  // namespace quenlo
