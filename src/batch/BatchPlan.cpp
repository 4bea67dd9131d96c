#include "batch/BatchPlan.h"

#include <filesystem>
#include <map>
#include <sys/stat.h>

#include "imageio/ImageKind.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"

namespace quenlo {

namespace fs = std::filesystem;

std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim) {
    const std::string base = dirWithDelim.empty() ? input : dirWithDelim + ExtractFileName(input);
    return ChangeFileExt(base, ".bmp");
}

void PrepareOutputDir(std::string& dir) {
    if (dir.empty()) return;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir, ec)) throw EQuenlo("Cannot create " + dir);
    }
    AddBackslash(dir);
}

namespace {

// A file's identity, so that two spellings of one file (links, "./",
// another case of a pair's extension) are one file. "" when it does not exist.
std::string FileId(const std::string& name) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// A name made absolute and tidy, with its existing folders' links resolved.
std::string PathKey(const std::string& name) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(name, ec), ec);
    return ec ? fs::absolute(name).lexically_normal().string() : p.string();
}

// Where an output lands: the file it replaces (through any link), or for a
// new file its canonical folder and name. Folders are resolved once each.
class TOutputKeys {
public:
    std::string operator()(const std::string& output) {
        if (std::string id = FileId(output); !id.empty()) return "id " + id;
        const std::string dir = ExtractFileDir(output);
        auto [hit, fresh] = folders_.try_emplace(dir);
        if (fresh) hit->second = PathKey(dir.empty() ? "." : dir);
        return "path " + hit->second + "/" + ExtractFileName(output);
    }

private:
    std::map<std::string, std::string> folders_;
};

// What a listed input is as an image: both members of a pair are one image.
std::string ImageKey(const BatchItem& item, bool pair) {
    const std::string first = pair ? item.iprName : item.input;
    if (std::string id = FileId(first); !id.empty()) return "id " + id;
    return "path " + PathKey(pair ? ChangeFileExt(item.input, "") + "\n" : item.input);
}

}  // namespace

TBatchPlan PlanBatch(const std::vector<std::string>& inputs, const std::string& outputDir) {
    TBatchPlan plan;
    plan.dir = outputDir;
    PrepareOutputDir(plan.dir);

    TFolderListings listings;  // each folder listed at most once for the pairs' partners
    std::map<std::string, size_t> images;  // image -> item
    std::map<std::string, size_t> readers;  // file read -> item reading it
    for (const std::string& input : inputs) {
        BatchItem item;
        item.input = input;
        item.output = OutputNameFor(input, plan.dir);
        const bool pair = KindByName(input) == ImageKind::RawPair;
        if (pair) {
            item.iprName = PairName(input, ".IPR", &listings);
            item.rgbName = PairName(input, ".RGB", &listings);
        }
        if (!images.try_emplace(ImageKey(item, pair), plan.items.size()).second) continue;
        for (const std::string& read : pair ? std::vector{item.iprName, item.rgbName} : std::vector{input})
            if (std::string id = FileId(read); !id.empty()) readers.try_emplace(id, plan.items.size());
        plan.items.push_back(std::move(item));
    }

    // An output over another input destroys it before, or after, it is read.
    for (size_t i = 0; i < plan.items.size(); ++i) {
        BatchItem& item = plan.items[i];
        const auto hit = readers.find(FileId(item.output));
        if (hit != readers.end() && hit->second != i)
            item.refusal = "would replace " + plan.items[hit->second].input + ", which this batch also reads";
    }
    // One output for several inputs: the last one listed is what stays.
    TOutputKeys outputKey;
    std::vector<std::string> keys(plan.items.size());
    std::map<std::string, size_t> lastFor;
    for (size_t i = 0; i < plan.items.size(); ++i)
        if (plan.items[i].refusal.empty()) lastFor[keys[i] = outputKey(plan.items[i].output)] = i;
    for (size_t i = 0; i < plan.items.size(); ++i) {
        BatchItem& item = plan.items[i];
        if (!item.refusal.empty()) continue;
        const size_t winner = lastFor[keys[i]];
        if (winner != i) item.refusal = "its output is also the output of " + plan.items[winner].input;
    }
    return plan;
}

}  // namespace quenlo
