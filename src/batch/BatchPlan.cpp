#include "batch/BatchPlan.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "batch/FileKey.h"
#include "imageio/AtomicFile.h"
#include "imageio/ImageKind.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "low/Messages.h"

namespace quenlo {

namespace fs = std::filesystem;

uint64_t StableHash(std::string_view text, uint64_t h) {
    for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

namespace {
uint64_t HashOf(std::string_view text) { return StableHash(text); }
}  // namespace

std::string OutputNameFor(const std::string& input, const std::string& dirWithDelim, const std::string& subdir,
                          const std::string& ext) {
    const std::string base = dirWithDelim.empty() ? input : dirWithDelim + subdir + ExtractFileName(input);
    return ChangeFileExt(base, ext);
}

std::string OutputNameFor(const TNamePattern& pattern, const NameFields& fields, const std::string& input,
                          const std::string& dirWithDelim, const std::string& subdir, const std::string& ext) {
    if (pattern.Plain()) return OutputNameFor(input, dirWithDelim, subdir, ext);
    const std::string fileName = ExtractFileName(input);
    NameFields own = fields;
    own.fileName = fileName;
    const std::string name = pattern.Expand(own);
    if (name.empty()) return {};
    const std::string folder = dirWithDelim.empty() ? input.substr(0, input.size() - fileName.size()) : dirWithDelim + subdir;
    return folder + name + ext;
}

void PrepareOutputDir(std::string& dir) {
    if (dir.empty()) return;
    // Made a component at a time, through no link the protected-symlinks rule forbids.
    const TFolder folder(dir, true);
    AddBackslash(dir);
}

bool IsRawData(const std::string& name, const std::string& rawExt) {
    return !rawExt.empty() && SameTextAscii(ExtractFileExt(name), rawExt);
}

int ShardOf(const std::string& output, const std::string& dirWithDelim, int shards) {
    const bool below = !dirWithDelim.empty() && output.starts_with(dirWithDelim);
    const std::string_view rel = std::string_view(output).substr(below ? dirWithDelim.size() : 0);
    return static_cast<int>(HashOf(rel) % static_cast<uint64_t>(std::max(shards, 1)));
}

namespace {

// A name made absolute and tidy, with its existing folders' links resolved.
std::string PathKey(const std::string& name) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(name, ec), ec);
    return ec ? fs::absolute(name).lexically_normal().string() : p.string();
}

// PathKey of names that are not on disk, each folder resolved once: the key
// of a missing name is its folder's key and the name. Where the folder
// cannot be searched, or the name is too long, the name's own lookup fails
// otherwise and PathKey is asked.
class TMissingKeys {
public:
    std::string operator()(const std::string& name) {
        const std::string file = ExtractFileName(name);
        if (file.empty() || file == "." || file == ".." || file.size() > NAME_MAX || name.size() >= PATH_MAX)
            return PathKey(name);
        auto [folder, fresh] = folders_.try_emplace(ExtractFileDir(name));
        if (fresh) {
            const std::string dir = folder->first.empty() ? "." : folder->first;
            // A folder that is missing, or no folder, finds no name either.
            const bool searchable = ::faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) == 0 || errno == ENOENT || errno == ENOTDIR;
            folder->second = {PathKey(dir), searchable};
        }
        if (!folder->second.second) return PathKey(name);
        return (fs::path(folder->second.first) / file).string();
    }

private:
    std::unordered_map<std::string, std::pair<std::string, bool>> folders_;  // as spelled -> key, searchable
};

// Items are numbered in 31 bits: a reader's tag and an outsider's mark take the last.
constexpr uint32_t kMaxItems = 0x7fffffffu;
// Set in OutputKey::where for an output that does not exist yet.
constexpr uint32_t kNewFile = 0x80000000u;

// Devices are few: each gets a small number, so a file's identity packs in 12 bytes.
class TDevices {
public:
    uint32_t Number(const FileKey& key) {  // from 1
        auto [hit, fresh] = numbers_.try_emplace(key.dev, static_cast<uint32_t>(numbers_.size() + 1));
        if (fresh && numbers_.size() >= kNewFile) throw EQuenlo(Tr("too many devices in one batch"));
        return hit->second;
    }

private:
    std::unordered_map<uint64_t, uint32_t> numbers_;
};

// A file an item reads; sorted by file, then in listed order.
struct Reader {
    uint64_t ino;
    uint32_t dev;     // TDevices number
    uint32_t tagged;  // item * 2, plus 1 for the item's image (a pair's .ipr)
    uint32_t Item() const { return tagged >> 1; }
    bool Image() const { return tagged & 1; }
    bool SameFile(const Reader& o) const { return ino == o.ino && dev == o.dev; }
    bool operator<(const Reader& o) const { return std::tie(dev, ino, tagged) < std::tie(o.dev, o.ino, o.tagged); }
};

// An image that is not on disk, by the hash of its PathKey; sorted by hash, then in listed order.
struct Missing {
    uint64_t hash;
    uint32_t item;
    bool operator<(const Missing& o) const { return std::tie(hash, item) < std::tie(o.hash, o.item); }
};

// Where an output lands: the file it replaces (through any link), or for a
// new file its canonical folder and its name. Folders are resolved once each
// and stand for themselves by number, and names by a hash, so a key holds no text.
struct OutputKey {
    uint64_t id;     // existing: the inode; new: the hash of the file name
    uint32_t where;  // existing: the device's number; new: kNewFile | the folder's number
    uint32_t item;
    bool Exists() const { return !(where & kNewFile); }
};

// The key of an output that does not exist yet.
class TNewOutputKeys {
public:
    OutputKey operator()(const std::string& output, uint32_t item) {
        const std::string dir = ExtractFileDir(output);
        auto [hit, fresh] = folders_.try_emplace(dir);
        if (fresh) {
            auto [canon, added] = numbers_.try_emplace(PathKey(dir.empty() ? "." : dir),
                                                       static_cast<uint32_t>(numbers_.size()));
            if (added && numbers_.size() >= kNewFile) throw EQuenlo(Tr("too many folders in one batch"));
            hit->second = canon->second;
        }
        return {HashOf(ExtractFileName(output)), kNewFile | hit->second, item};
    }

private:
    std::map<std::string, uint32_t> folders_;  // as spelled -> number
    std::map<std::string, uint32_t> numbers_;  // canonical -> number
};

// Collects many small records in blocks of 1 MiB, then joins them into one
// vector of the final size: a doubling vector would briefly hold them twice.
// Pages are resident once written, so joining holds them once and a block more.
template <class T>
class TCollector {
public:
    void push_back(const T& value) {
        if (blocks_.empty() || blocks_.back().size() == kPerBlock) blocks_.emplace_back().reserve(kPerBlock);
        blocks_.back().push_back(value);
    }

    std::vector<T> Join() {
        size_t n = 0;
        for (const std::vector<T>& block : blocks_) n += block.size();
        std::vector<T> all;
        all.reserve(n);
        for (std::vector<T>& block : blocks_) {
            all.insert(all.end(), block.begin(), block.end());
            std::vector<T>().swap(block);
        }
        blocks_.clear();
        return all;
    }

private:
    static constexpr size_t kPerBlock = (size_t{1} << 20) / sizeof(T);
    std::vector<std::vector<T>> blocks_;
};

// ".IPR" with the letters whose bits are set in upper case, the rest in lower.
std::string ExtSpelled(std::string_view upperExt, unsigned upperBits) {
    std::string ext(upperExt);
    for (size_t k = 1; k < ext.size(); ++k)
        if (!(upperBits >> (k - 1) & 1) && ext[k] >= 'A' && ext[k] <= 'Z') ext[k] = static_cast<char>(ext[k] - 'A' + 'a');
    return ext;
}

// Which letters of a 4-character extension are upper case; -1 when the
// member is not the input with its extension swapped for that one.
int UpperBits(const std::string& input, const std::string& member, std::string_view upperExt) {
    const std::string ext = ExtractFileExt(member);
    if (!SameTextAscii(ext, upperExt) || ext.size() != 4) return -1;
    int bits = 0;
    for (size_t k = 1; k < 4; ++k)
        if (ext[k] >= 'A' && ext[k] <= 'Z') bits |= 1 << (k - 1);
    return ChangeFileExt(input, ExtSpelled(upperExt, static_cast<unsigned>(bits))) == member ? bits : -1;
}

void PutLength(std::string& out, size_t n) {
    const auto v = static_cast<uint32_t>(n);
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// A length put after the input, then as many bytes.
std::string_view TakeSized(const char*& at) {
    uint32_t n = 0;
    std::memcpy(&n, at, sizeof n);
    const std::string_view text(at + sizeof n, n);
    at += sizeof n + n;
    return text;
}

}  // namespace

std::pair<uint32_t, std::string_view> TBatchPlan::Numbered(const Entry& e) const {
    const char* at = Input(e).data() + e.size;
    if (e.pair & kSpelledOut) TakeSized(at), TakeSized(at);
    uint32_t n = 0;
    std::memcpy(&n, at, sizeof n);
    return {n, std::string_view(at + sizeof n, kNoDate.size())};
}

std::string TBatchPlan::Base(const Entry& e, long long width, long long height) const {
    const std::string input(Input(e));
    if (pattern.Plain()) return OutputNameFor(input, dir, subdirs_[e.subdir], ext);
    NameFields fields;
    std::tie(fields.n, fields.date) = Numbered(e);
    fields.width = width;
    fields.height = height;
    return OutputNameFor(pattern, fields, input, dir, subdirs_[e.subdir], ext);
}

std::string TBatchPlan::Output(const Entry& e) const {
    std::string base = Base(e);
    if (existing == ExistingOutput::Number && e.refusal == Refusal::None && e.other > 1) return NumberedName(base, e.other);
    return base;
}

std::string TBatchPlan::ShardName(const Entry& e) const {
    return existing == ExistingOutput::Number ? UnnumberedName(Base(e)) : Output(e);
}

std::string TBatchPlan::SizedOutput(size_t i, long long width, long long height) const {
    const Entry& e = items_[i];
    std::string base = Base(e, width, height);
    if (existing == ExistingOutput::Number && e.refusal == Refusal::None && e.other > 1) return NumberedName(base, e.other);
    return base;
}

uint32_t TBatchPlan::Number(size_t i) const {
    return pattern.Plain() ? static_cast<uint32_t>(i + 1) : Numbered(items_[i]).first;
}

std::string TBatchPlan::OtherInput(const Entry& e) const {
    return e.other & kOutsider ? outsiders_[e.other & ~kOutsider] : std::string(Input(items_[e.other]));
}

std::pair<std::string_view, std::string_view> TBatchPlan::Members(const Entry& e) const {
    const char* at = Input(e).data() + e.size;
    const std::string_view ipr = TakeSized(at);
    return {ipr, TakeSized(at)};
}

BatchItem TBatchPlan::Item(size_t i) const {
    const Entry& e = items_[i];
    BatchItem item;
    item.input = Input(e);
    item.output = Output(e);
    item.sized = pattern.HasSize();
    item.refusalCode = e.refusal == Refusal::NotRegular   ? "not-regular"
                       : e.refusal == Refusal::UnsafeLink ? "unsafe-link"
                       : e.refusal == Refusal::NoName     ? "no-name"
                       : e.refusal == Refusal::None       ? ""
                                                          : "clash";
    if (e.refusal == Refusal::NoName) item.refusal = FormatText(Tr("the name pattern \"%s\" gives it no name"), pattern.Text().c_str());
    if (e.refusal == Refusal::WouldReplace) item.refusal = FormatText(Tr("would replace %s, which this batch also reads"), OtherInput(e).c_str());
    if (e.refusal == Refusal::SharedOutput) item.refusal = FormatText(Tr("its output is also the output of %s"), OtherInput(e).c_str());
    if (e.refusal == Refusal::OneFile)
        item.refusal = FormatText(Tr("one file with %s (hard links), which this batch rewrites already"), OtherInput(e).c_str());
    if (e.refusal == Refusal::NotRegular) item.refusal = NotRegularOutput(item.output);
    if (e.refusal == Refusal::UnsafeLink) {
        try {
            ReplacedFile(item.output);
        } catch (const EQuenlo& why) {
            item.refusal = why.what();
        }
        if (item.refusal.empty()) item.refusal = FormatText(Tr("the link %s is not followed"), item.output.c_str());
    }
    if (e.pair & kSpelledOut) {
        const auto [ipr, rgb] = Members(e);
        item.ipr = ipr;
        item.rgb = rgb;
    } else if (e.pair & kPair) {
        item.ipr = ChangeFileExt(item.input, ExtSpelled(".IPR", e.pair & kIprUpper));
        item.rgb = ChangeFileExt(item.input, ExtSpelled(".RGB", (e.pair & kRgbUpper) >> 3));
    }
    return item;
}

class TPlanner {
public:
    TPlanner(TBatchPlan& plan, const PlanOptions& options) : plan_(plan), items_(plan.items_), options_(options) {}

    void Plan(const InputSource& next) {
        {
            TCollector<Reader> readers;
            TCollector<Missing> missing;
            Read(next, readers, missing);
            readers_ = readers.Join();
            missing_ = missing.Join();
        }
        DropRepeated();
        if (plan_.existing == ExistingOutput::Number) NumberOutputs();
        else RefuseClashes();
        if (options_.shards > 1) KeepShard();
    }

private:
    using Entry = TBatchPlan::Entry;
    using Refusal = TBatchPlan::Refusal;

    // Takes the inputs in, with what is needed to find the same image listed
    // twice and an output over another input.
    void Read(const InputSource& next, TCollector<Reader>& readers, TCollector<Missing>& missing) {
        TFolderListings listings;  // each folder listed at most once for the pairs' partners
        // A walk yields each folder's names together, coming back to a folder
        // only from below it: the folders on the current path are enough to
        // find a subdir again. One seen twice elsewhere is only stored twice.
        std::vector<uint32_t> recent;
        PlanInput in;
        std::string stored;
        while (next(in)) {
            if (items_.size() >= kMaxItems) throw EQuenlo(Tr("too many files in one batch"));
            const auto index = static_cast<uint32_t>(items_.size());
            Entry e;
            e.subdir = SubdirNumber(in.subdir, recent);
            const bool pair = KindByName(in.name) == ImageKind::RawPair && !IsRawData(in.name, options_.rawExt);
            // A pair named by its .ipr, found by the caller, is that .ipr; else the
            // image's identity comes with its member: a pair's .ipr is stat'ed once.
            const bool known = in.image.found && (!pair || SameTextAscii(ExtractFileExt(in.name), ".ipr"));
            const PairMember image = pair && !known ? FindPairMember(in.name, ".IPR", &listings) : PairMember{};
            const std::string ipr = !pair ? std::string() : known ? in.name : image.name;
            const std::string rgb = !pair ? std::string() : known && !in.rgb.empty() ? in.rgb : PairName(in.name, ".RGB", &listings);
            stored = in.name;
            if (pair) {
                const int iprBits = UpperBits(in.name, ipr, ".IPR"), rgbBits = UpperBits(in.name, rgb, ".RGB");
                if (iprBits >= 0 && rgbBits >= 0) {
                    e.pair = static_cast<uint8_t>(TBatchPlan::kPair | iprBits | rgbBits << 3);
                } else {
                    e.pair = TBatchPlan::kPair | TBatchPlan::kSpelledOut;
                    for (const std::string* member : {&ipr, &rgb}) PutLength(stored, member->size()), stored += *member;
                }
            }
            if (!plan_.pattern.Plain()) {
                PutLength(stored, in.n ? in.n : index + 1);
                stored += !in.date.empty() ? in.date : plan_.pattern.HasDate() ? FileDate(in.name) : std::string(kNoDate);
            }
            if (in.refused != PlanInput::Refused::No) {
                e.refusal = in.refused == PlanInput::Refused::WouldReplace ? Refusal::WouldReplace : Refusal::SharedOutput;
                e.other = kOutsider | static_cast<uint32_t>(plan_.outsiders_.size());
                plan_.outsiders_.push_back(in.other);
            }
            const TTextArena::Ref ref = plan_.names_.Add(stored);
            e.at = ref.at;
            e.size = static_cast<uint32_t>(in.name.size());
            if (e.refusal == Refusal::None && plan_.Output(e).empty()) e.refusal = Refusal::NoName;
            const FileKey id = known ? in.image : !pair ? KeyOf(in.name) : image.exists ? KeyOf(image.st) : FileKey{};
            if (id.found)
                readers.push_back({id.ino, devices_.Number(id), index * 2 + 1});
            else
                missing.push_back({HashOf(missingKey_(pair ? ChangeFileExt(in.name, "") + "\n" : in.name)), index});
            items_.push_back(e);
        }
    }

    // The number of a subdir in the plan; `recent` holds those of the folders
    // above it and its own, outermost first.
    uint32_t SubdirNumber(const std::string& subdir, std::vector<uint32_t>& recent) {
        while (!recent.empty()) {
            const std::string& last = plan_.subdirs_[recent.back()];
            if (last == subdir) return recent.back();
            if (subdir.starts_with(last)) break;  // below it
            recent.pop_back();
        }
        if (plan_.subdirs_.size() >= kMaxItems) throw EQuenlo(Tr("too many folders in one batch"));
        recent.push_back(static_cast<uint32_t>(plan_.subdirs_.size()));
        plan_.subdirs_.push_back(subdir);
        return recent.back();
    }

    // The same image listed again is converted once: later mentions are dropped.
    void DropRepeated() {
        std::vector<bool> repeated(items_.size());
        std::sort(readers_.begin(), readers_.end());
        for (size_t end = 0, begin = 0; begin < readers_.size(); begin = end) {
            for (end = begin + 1; end < readers_.size() && readers_[end].SameFile(readers_[begin]);) ++end;
            if (end - begin == 1) continue;
            std::set<std::string> outputs;
            for (size_t k = begin; k < end; ++k)
                if (readers_[k].Image()) repeated[readers_[k].Item()] = !outputs.insert(OutputPath(readers_[k].Item())).second;
        }
        // Images not on disk are told apart by path; hashes that agree are checked by it.
        std::sort(missing_.begin(), missing_.end());
        for (size_t end = 0, begin = 0; begin < missing_.size(); begin = end) {
            for (end = begin + 1; end < missing_.size() && missing_[end].hash == missing_[begin].hash;) ++end;
            if (end - begin == 1) continue;
            std::set<std::pair<std::string, std::string>> paths;
            for (size_t k = begin; k < end; ++k) {
                const Entry& e = items_[missing_[k].item];
                const std::string name(plan_.Input(e));
                repeated[missing_[k].item] =
                    !paths.emplace(missingKey_(e.pair & TBatchPlan::kPair ? ChangeFileExt(name, "") + "\n" : name), OutputPath(missing_[k].item)).second;
            }
        }
        std::vector<Missing>().swap(missing_);

        if (std::find(repeated.begin(), repeated.end(), true) == repeated.end()) return;
        std::vector<uint32_t> renumber(items_.size());
        uint32_t kept = 0;
        for (size_t i = 0; i < items_.size(); ++i) {
            renumber[i] = kept;
            if (!repeated[i]) items_[kept++] = items_[i];
        }
        items_.resize(kept);
        items_.shrink_to_fit();
        std::erase_if(readers_, [&](const Reader& r) { return repeated[r.Item()]; });
        // Still sorted: the new numbers keep the order.
        for (Reader& r : readers_) r.tagged = renumber[r.Item()] * 2 + (r.tagged & 1);
    }

    void RefuseClashes() {
        // An output over another input destroys it before, or after, it is
        // read. Only an output that exists can be another input.
        std::vector<OutputKey> existing;
        std::vector<bool> direct(items_.size());  // reached through no link: its own RealOutput
        {
            TCollector<OutputKey> found;
            for (uint32_t i = 0; i < items_.size(); ++i) {
                if (items_[i].refusal != Refusal::None) continue;  // refused before: writes nothing
                const std::string output = plan_.Output(items_[i]);
                TReplacedFiles::Found real;
                try {
                    real = replaced_.Find(output);
                } catch (const EQuenlo&) {
                    items_[i].refusal = Refusal::UnsafeLink;
                    continue;
                }
                direct[i] = real.path == output;
                // stat only: a pipe or device is never opened here.
                if (!real.exists) continue;
                const struct stat& st = real.st;
                if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                    items_[i].refusal = Refusal::NotRegular;
                    continue;
                }
                const FileKey id = KeyOf(st);
                found.push_back({id.ino, devices_.Number(id), i});
            }
            existing = found.Join();
        }
        AddPartnersAmong(existing);
        std::vector<bool> exists(items_.size());
        std::erase_if(existing, [&](const OutputKey& k) {
            const Reader key{k.id, k.where, 0};
            const auto hit = std::lower_bound(readers_.begin(), readers_.end(), key);
            if (hit != readers_.end() && hit->SameFile(key) && hit->Item() != k.item) {
                // Its own input too: two names of one file, not another input.
                bool own = false;
                for (auto r = hit; r != readers_.end() && r->SameFile(key) && !own; ++r) own = r->Image() && r->Item() == k.item;
                items_[k.item].refusal = own ? Refusal::OneFile : Refusal::WouldReplace;
                items_[k.item].other = hit->Item();
                return true;
            }
            exists[k.item] = true;
            return false;
        });
        // Freed before the outputs' keys are made: the two are the largest.
        std::vector<Reader>().swap(readers_);

        // The existing outputs' keys, then the new ones: they are sorted next.
        TNewOutputKeys newOutputKey;
        std::vector<OutputKey> outputs = std::move(existing);
        size_t written = 0;  // existing or new
        for (const Entry& e : items_) written += e.refusal == Refusal::None;
        outputs.reserve(written);
        auto realOutput = [&](uint32_t i) { return direct[i] ? plan_.Output(items_[i]) : RealOutput(i); };
        for (uint32_t i = 0; i < items_.size(); ++i)
            if (!exists[i] && items_[i].refusal == Refusal::None) outputs.push_back(newOutputKey(realOutput(i), i));

        // One output for several inputs: the last one listed is what stays.
        // New files' names are compared only where their hashes agree.
        auto fileName = [&](const OutputKey& k) { return ExtractFileName(realOutput(k.item)); };
        auto sameOutput = [&](const OutputKey& a, const OutputKey& b) {
            return a.where == b.where && a.id == b.id && (a.Exists() || fileName(a) == fileName(b));
        };
        std::sort(outputs.begin(), outputs.end(), [&](const OutputKey& a, const OutputKey& b) {
            if (a.where != b.where) return a.where < b.where;
            if (a.id != b.id) return a.id < b.id;
            if (!a.Exists() && a.item != b.item)
                if (const int c = fileName(a).compare(fileName(b)); c != 0) return c < 0;
            return a.item < b.item;
        });
        for (size_t end = 0, begin = 0; begin < outputs.size(); begin = end) {
            for (end = begin + 1; end < outputs.size() && sameOutput(outputs[begin], outputs[end]);) ++end;
            for (size_t k = begin; k + 1 < end; ++k) {
                items_[outputs[k].item].refusal = Refusal::SharedOutput;
                items_[outputs[k].item].other = outputs[end - 1].item;
            }
        }
    }

    // The file an item's output replaces: through its links, as far as they lead.
    std::string RealOutput(uint32_t i) {
        const std::string output = plan_.Output(items_[i]);
        try {
            return replaced_.Find(output).path;
        } catch (const EQuenlo&) {
            return output;  // refused when the clashes are decided
        }
    }
    // The same, absolute and tidy, to tell whether two items write one file.
    std::string OutputPath(uint32_t i) { return PathKey(RealOutput(i)); }

    // A pair's .rgb is read too, and an output may be it through a link. Only
    // the .rgb files that are existing outputs are looked for, so a batch
    // into a new folder keeps no key of them.
    void AddPartnersAmong(const std::vector<OutputKey>& existing) {
        if (existing.empty()) return;
        std::vector<std::pair<uint32_t, uint64_t>> outputs;  // device, inode
        for (const OutputKey& k : existing) outputs.emplace_back(k.where, k.id);
        std::sort(outputs.begin(), outputs.end());
        const size_t before = readers_.size();
        for (uint32_t i = 0; i < items_.size(); ++i) {
            if (!(items_[i].pair & TBatchPlan::kPair)) continue;
            const FileKey id = KeyOf(plan_.Item(i).rgb);
            if (!id.found) continue;
            const uint32_t dev = devices_.Number(id);
            if (std::binary_search(outputs.begin(), outputs.end(), std::pair{dev, id.ino}))
                readers_.push_back({id.ino, dev, i * 2});
        }
        if (readers_.size() != before) std::sort(readers_.begin(), readers_.end());
    }

    // Only the chosen shard's items stay, with their names in an arena of
    // their own; a refusal naming an item of another shard keeps its name.
    void KeepShard() {
        TBatchPlan kept;
        kept.dir = plan_.dir;
        kept.ext = plan_.ext;
        kept.existing = plan_.existing;
        kept.pattern = plan_.pattern;
        kept.subdirs_ = plan_.subdirs_;
        std::vector<uint32_t> renumber(items_.size(), UINT32_MAX);
        for (size_t i = 0, n = 0; i < items_.size(); ++i)
            if (ShardOf(plan_.ShardName(items_[i]), plan_.dir, options_.shards) == options_.shard)
                renumber[i] = static_cast<uint32_t>(n++);
        for (size_t i = 0; i < items_.size(); ++i) {
            if (renumber[i] == UINT32_MAX) continue;
            Entry e = items_[i];
            const TTextArena::Ref ref = kept.names_.Add(plan_.names_.View({e.at, static_cast<uint32_t>(e.size + TailSize(e))}));
            e.at = ref.at;
            if (e.refusal == Refusal::WouldReplace || e.refusal == Refusal::SharedOutput || e.refusal == Refusal::OneFile) {
                if (!(e.other & kOutsider) && renumber[e.other] != UINT32_MAX) {
                    e.other = renumber[e.other];
                } else {
                    kept.outsiders_.push_back(plan_.OtherInput(e));
                    e.other = kOutsider | static_cast<uint32_t>(kept.outsiders_.size() - 1);
                }
            }
            kept.items_.push_back(e);
        }
        plan_ = std::move(kept);
    }

    // Bytes stored after the input: the spelled-out members of a pair, then the pattern's fields.
    size_t TailSize(const Entry& e) const {
        size_t n = plan_.pattern.Plain() ? 0 : sizeof(uint32_t) + kNoDate.size();
        if (!(e.pair & TBatchPlan::kSpelledOut)) return n;
        const auto [ipr, rgb] = plan_.Members(e);
        return n + 2 * sizeof(uint32_t) + ipr.size() + rgb.size();
    }

    // No output replaces a file: in input order, each takes its own name
    // when it is free, else the first free numbered one. Another item's own
    // name is never given as a number, so that item still gets it.
    void NumberOutputs() {
        std::map<std::string, std::string> folders;  // as spelled -> canonical, with a separator
        auto key = [&](const std::string& output) {
            const std::string dir = ExtractFileDir(output);
            auto [hit, fresh] = folders.try_emplace(dir);
            if (fresh) hit->second = PathKey(dir.empty() ? "." : dir) + "/";
            return hit->second + ExtractFileName(output);
        };
        auto onDisk = [](const std::string& name) {
            struct stat st {};
            return ::lstat(name.c_str(), &st) == 0;  // a link, dangling or not, is taken
        };
        std::unordered_set<std::string> own, taken;
        for (const Entry& e : items_)
            if (e.refusal == Refusal::None) own.insert(key(plan_.Base(e)));
        for (Entry& e : items_) {
            if (e.refusal != Refusal::None) continue;
            const std::string base = plan_.Base(e);
            std::string name = base, k = key(base);
            uint32_t number = 1;
            while (taken.count(k) || (number > 1 && own.count(k)) || onDisk(name)) {
                if (++number == kOutsider) throw EQuenlo(FormatText(Tr("too many numbered names for %s"), base.c_str()));
                name = NumberedName(base, number);
                k = key(name);
            }
            taken.insert(std::move(k));
            e.other = number > 1 ? number : 0;
        }
    }

    static constexpr uint32_t kOutsider = TBatchPlan::kOutsider;

    TBatchPlan& plan_;
    std::deque<Entry>& items_;
    const PlanOptions& options_;
    TDevices devices_;
    std::vector<Reader> readers_;  // images read, then the .rgb files that are outputs
    std::vector<Missing> missing_;  // images not on disk
    TMissingKeys missingKey_;
    TReplacedFiles replaced_;  // each output folder walked once
};

TBatchPlan PlanBatch(const InputSource& next, const PlanOptions& options) {
    TBatchPlan plan;
    plan.dir = options.outputDir;
    plan.ext = options.outputExt;
    plan.existing = options.existing;
    plan.pattern = TNamePattern(options.namePattern);
    if (plan.existing == ExistingOutput::Number && plan.pattern.HasSize())
        throw EQuenlo(Tr("numbers are given before the sizes are known: a name pattern with {w} or {h} is not numbered"));
    PrepareOutputDir(plan.dir);
    TPlanner(plan, options).Plan(next);
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
