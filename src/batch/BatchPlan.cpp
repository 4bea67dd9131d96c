#include "batch/BatchPlan.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>

#include "batch/FileKey.h"
#include "imageio/ImageKind.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"

namespace quenlo {

namespace fs = std::filesystem;

std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim, const std::string& subdir) {
    const std::string base = dirWithDelim.empty() ? input : dirWithDelim + subdir + ExtractFileName(input);
    return ChangeFileExt(base, ".bmp");
}

void BatchItem::SetPairNames(const std::string& ipr, const std::string& rgb) {
    const std::string iprExt = ExtractFileExt(ipr), rgbExt = ExtractFileExt(rgb);
    const bool swapped = ipr == ChangeFileExt(input, iprExt) && rgb == ChangeFileExt(input, rgbExt);
    pair_ = swapped && iprExt.size() == 4 && rgbExt.size() == 4 ? iprExt + rgbExt : ipr + '\0' + rgb;
}

std::string BatchItem::Member(int which) const {
    if (pair_.empty()) return {};
    if (const size_t nul = pair_.find('\0'); nul != std::string::npos)
        return which == 0 ? pair_.substr(0, nul) : pair_.substr(nul + 1);
    return ChangeFileExt(input, std::string_view(pair_).substr(which * 4, 4));
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

bool IsRawData(const std::string& name, const std::string& rawExt) {
    return !rawExt.empty() && SameTextAscii(ExtractFileExt(name), rawExt);
}

int ShardOf(const std::string& output, const std::string& dirWithDelim, int shards) {
    const bool below = !dirWithDelim.empty() && output.starts_with(dirWithDelim);
    const std::string_view rel = std::string_view(output).substr(below ? dirWithDelim.size() : 0);
    uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits: the same on every machine
    for (char c : rel) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return static_cast<int>(h % static_cast<uint64_t>(std::max(shards, 1)));
}

namespace {

// A name made absolute and tidy, with its existing folders' links resolved.
std::string PathKey(const std::string& name) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(name, ec), ec);
    return ec ? fs::absolute(name).lexically_normal().string() : p.string();
}

// A key and the item it belongs to; sorted by key, then in listed order.
struct Keyed {
    FileKey key;
    uint32_t item;
    bool operator<(const Keyed& o) const { return std::tie(key, item) < std::tie(o.key, o.item); }
};

// Where an output lands: the file it replaces (through any link), or for a
// new file its canonical folder and name. Folders are resolved once each
// and stand for themselves by number, so a key holds no text.
struct OutputKey {
    FileKey file;      // found: an existing file
    uint32_t folder;   // otherwise: the canonical folder's number
    uint32_t item;
};

class TOutputKeys {
public:
    OutputKey operator()(const std::string& output, uint32_t item) {
        if (FileKey id = KeyOf(output); id.found) return {id, 0, item};
        const std::string dir = ExtractFileDir(output);
        auto [hit, fresh] = folders_.try_emplace(dir);
        if (fresh) {
            auto [canon, added] = numbers_.try_emplace(PathKey(dir.empty() ? "." : dir),
                                                       static_cast<uint32_t>(numbers_.size()));
            hit->second = canon->second;
        }
        return {{}, hit->second, item};
    }

private:
    std::map<std::string, uint32_t> folders_;  // as spelled -> number
    std::map<std::string, uint32_t> numbers_;  // canonical -> number
};

// Drops the items not flagged to be kept, keeping the order.
template <class Keep>
void KeepItems(std::vector<BatchItem>& items, Keep keep) {
    size_t to = 0;
    for (size_t i = 0; i < items.size(); ++i)
        if (keep(i)) {
            if (to != i) items[to] = std::move(items[i]);
            ++to;
        }
    items.resize(to);
    items.shrink_to_fit();
}

}  // namespace

TBatchPlan PlanBatch(const InputSource& next, const PlanOptions& options) {
    TBatchPlan plan;
    plan.dir = options.outputDir;
    PrepareOutputDir(plan.dir);

    TFolderListings listings;  // each folder listed at most once for the pairs' partners
    std::vector<Keyed> images;  // image -> item; a pair is its .ipr
    std::vector<Keyed> readers;  // file read -> item reading it
    std::map<std::string, uint32_t> missing;  // images not on disk, by path; rare
    std::vector<bool> repeated;  // the image was listed before
    PlanInput in;
    while (next(in)) {
        if (plan.items.size() >= UINT32_MAX) throw EQuenlo("too many files in one batch");
        const auto index = static_cast<uint32_t>(plan.items.size());
        BatchItem item;
        item.output = OutputNameFor(in.name, plan.dir, in.subdir);
        item.input = std::move(in.name);
        const bool pair = KindByName(item.input) == ImageKind::RawPair && !IsRawData(item.input, options.rawExt);
        const std::string ipr = pair ? PairName(item.input, ".IPR", &listings) : std::string();
        const std::string rgb = pair ? PairName(item.input, ".RGB", &listings) : std::string();
        if (pair) item.SetPairNames(ipr, rgb);
        const FileKey image = KeyOf(pair ? ipr : item.input);
        bool again = false;
        if (image.found) {
            images.push_back({image, index});
        } else {
            const std::string path = PathKey(pair ? ChangeFileExt(item.input, "") + "\n" : item.input);
            again = !missing.try_emplace(path, index).second;
        }
        for (const std::string* read : pair ? std::vector{&ipr, &rgb} : std::vector<const std::string*>{&item.input})
            if (FileKey id = KeyOf(*read); id.found) readers.push_back({id, index});
        repeated.push_back(again);
        plan.items.push_back(std::move(item));
    }
    missing.clear();

    // Later mentions of an image are dropped; the first one is planned.
    std::sort(images.begin(), images.end());
    for (size_t i = 1; i < images.size(); ++i)
        if (images[i].key == images[i - 1].key) repeated[images[i].item] = true;
    std::vector<Keyed>().swap(images);
    std::vector<uint32_t> renumber(plan.items.size());
    uint32_t kept = 0;
    for (size_t i = 0; i < plan.items.size(); ++i) renumber[i] = repeated[i] ? UINT32_MAX : kept++;
    KeepItems(plan.items, [&](size_t i) { return !repeated[i]; });
    std::erase_if(readers, [&](const Keyed& r) { return repeated[r.item]; });
    for (Keyed& r : readers) r.item = renumber[r.item];
    std::vector<bool>().swap(repeated);
    std::vector<uint32_t>().swap(renumber);
    std::sort(readers.begin(), readers.end());  // the first item reading a file comes first

    // An output over another input destroys it before, or after, it is read.
    TOutputKeys outputKey;
    std::vector<OutputKey> outputs;
    for (uint32_t i = 0; i < plan.items.size(); ++i) {
        BatchItem& item = plan.items[i];
        const OutputKey key = outputKey(item.output, i);
        if (key.file.found) {
            const auto hit = std::lower_bound(readers.begin(), readers.end(), Keyed{key.file, 0});
            if (hit != readers.end() && hit->key == key.file && hit->item != i) {
                item.refusal = "would replace " + plan.items[hit->item].input + ", which this batch also reads";
                continue;
            }
        }
        outputs.push_back(key);
    }
    std::vector<Keyed>().swap(readers);

    // One output for several inputs: the last one listed is what stays.
    auto fileName = [&](const OutputKey& k) {
        const std::string& out = plan.items[k.item].output;
        return std::string_view(out).substr(out.size() - ExtractFileName(out).size());
    };
    auto sameOutput = [&](const OutputKey& a, const OutputKey& b) {
        if (a.file != b.file) return false;
        return a.file.found || (a.folder == b.folder && fileName(a) == fileName(b));
    };
    std::sort(outputs.begin(), outputs.end(), [&](const OutputKey& a, const OutputKey& b) {
        if (a.file != b.file) return a.file < b.file;
        if (!a.file.found && a.folder != b.folder) return a.folder < b.folder;
        if (!a.file.found)
            if (const int c = fileName(a).compare(fileName(b)); c != 0) return c < 0;
        return a.item < b.item;
    });
    for (size_t end = 0, begin = 0; begin < outputs.size(); begin = end) {
        for (end = begin + 1; end < outputs.size() && sameOutput(outputs[begin], outputs[end]);) ++end;
        const std::string& winner = plan.items[outputs[end - 1].item].input;
        for (size_t k = begin; k + 1 < end; ++k)
            plan.items[outputs[k].item].refusal = "its output is also the output of " + winner;
    }
    std::vector<OutputKey>().swap(outputs);

    if (options.shards > 1)
        KeepItems(plan.items, [&](size_t i) { return ShardOf(plan.items[i].output, plan.dir, options.shards) == options.shard; });
    return plan;
}

InputSource ListSource(const std::vector<std::string>& names) {
    return [&names, at = size_t{0}](PlanInput& in) mutable {
        if (at == names.size()) return false;
        in = {names[at++], {}};
        return true;
    };
}

TBatchPlan PlanBatch(const std::vector<std::string>& inputs, const std::string& outputDir) {
    PlanOptions options;
    options.outputDir = outputDir;
    return PlanBatch(ListSource(inputs), options);
}

}  // namespace quenlo
