#pragma once
// Where a batch's names come from: names given, lists read one name at a
// time from a stream (so a list of any length costs only the names the plan
// keeps), and folders walked in path order.
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "batch/BatchPlan.h"
#include "batch/FileKey.h"

namespace quenlo {

enum class Recurse { Off, On };
enum class NameDelim : char { Newline = '\n', Nul = '\0' };

struct FeedOptions {
    // On: a folder stands for every image file below it, and its output
    // goes to the same place below the output folder.
    Recurse recurse = Recurse::Off;
    std::string rawExt;  // headerless raw data: also an image file in folders
    // The output folder: a walk does not go into it, so a rerun never reads
    // what the last one wrote. Looked up when the first folder is entered.
    std::string outputDir;
    // What a walk leaves out, and why: link loops, unreadable folders,
    // special files. The walk goes on.
    std::function<void(const std::string& name, const std::string& why)> onSkipped;
    // Off: names are taken as files without a look at the disk (a plan made
    // for shards, whose shards check them), so a listed folder is not walked.
    bool lookUpNames = true;
};

class TInputFeed {
public:
    explicit TInputFeed(FeedOptions options);
    ~TInputFeed();
    TInputFeed(const TInputFeed&) = delete;
    TInputFeed& operator=(const TInputFeed&) = delete;

    // Sources are read in the order they are added.
    void AddNames(std::vector<std::string> names);
    // Read as the batch is planned; not closed here. Empty names are ignored.
    // `name` is what read errors name.
    void AddList(FILE* in, NameDelim delim, const std::string& name = "the list");

    // The next input; false at the end. Throws EQuenlo naming the list when it cannot be read.
    bool Next(PlanInput& in);
    InputSource Source() {
        return [this](PlanInput& in) { return Next(in); };
    }

    // Folders that could not be read, and folders named without Recurse::On.
    int Unreadable() const { return unreadable_; }

private:
    struct Origin;
    struct Level;
    bool NextName(std::string& name);
    bool NextInTree(PlanInput& in);
    void Enter(const std::string& path, const std::string& subdir);

    FeedOptions options_;
    std::vector<Origin> sources_;
    size_t source_ = 0;
    std::vector<Level> tree_;  // the folders being walked, outermost first
    // Every folder this walk entered, by identity, with its first path: each
    // is walked once, so chains of links cost their folders, not their paths.
    std::map<FileKey, std::string> walked_;
    FileKey outputDir_;
    bool outputDirKnown_ = false;
    std::string lineBuffer_;
    int unreadable_ = 0;
};

}  // namespace quenlo
