#include "batch/ShardPlan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <queue>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "imageio/AtomicFile.h"
#include "imageio/ImageKind.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "low/Messages.h"

namespace quenlo {

namespace fs = std::filesystem;

std::string ShardPlanName(int shard, int shards) {
    return std::to_string(shard + 1) + "-of-" + std::to_string(shards) + ".plan";
}

namespace {

constexpr char kMagic[] = "quenlo-plan 2\n";
constexpr char kMagicName[] = "quenlo-plan ";  // before the version
constexpr size_t kMagicSize = sizeof kMagic - 1;
// "end " and the hash of every byte before it in 16 hex digits, then "\n".
constexpr size_t kTrailerSize = 4 + 16 + 1;
// The partitions the names are spread over by their output's path: a 256th
// of the names is what planning holds at once.
constexpr int kParts = 256;
constexpr int kMaxShards = 1000000;

enum class Verdict : uint8_t { Convert, WouldReplace, SharedOutput };
const char* const kVerdictNames[] = {"-", "would-replace", "shared-output"};

// Absolute, with empty, "." and ".." parts taken out by their text alone: two
// spellings of one path give one key without asking the disk.
class TPathKeys {
public:
    TPathKeys() {
        char* here = ::getcwd(nullptr, 0);
        if (!here) throw EQuenlo(FormatText(Tr("cannot find the current folder: %s"), std::strerror(errno)));
        cwd_ = here;
        std::free(here);
    }

    std::string Key(std::string_view name) {
        std::string key;
        starts_.clear();
        if (name.empty() || name[0] != '/') Add(key, cwd_);
        Add(key, name);
        return key.empty() ? "/" : key;
    }

private:
    void Add(std::string& key, std::string_view path) {
        for (size_t i = 0; i <= path.size();) {
            size_t j = path.find('/', i);
            if (j == std::string_view::npos) j = path.size();
            const std::string_view part = path.substr(i, j - i);
            if (part == "..") {
                if (!starts_.empty()) key.resize(starts_.back()), starts_.pop_back();
            } else if (!part.empty() && part != ".") {
                starts_.push_back(key.size());
                key += '/';
                key += part;
            }
            i = j + 1;
        }
    }

    std::string cwd_;
    std::vector<size_t> starts_;
};

// A file of records in the scratch folder, written then read once; closed when done.
class TSpill {
public:
    ~TSpill() { Close(); }

    void Create(const std::string& name) {
        name_ = name;
        f_ = std::fopen(name.c_str(), "w+b");
        if (!f_) Fail(Tr("cannot write %s: %s"));
        std::setvbuf(f_, nullptr, _IOFBF, 64 * 1024);
    }
    bool Open() const { return f_ != nullptr; }
    // From the start, for reading.
    void Reread() {
        if (std::fflush(f_) != 0 || std::fseek(f_, 0, SEEK_SET) != 0) Fail(Tr("cannot write %s: %s"));
    }
    void Close() {
        if (f_) std::fclose(f_), f_ = nullptr;
    }
    void Remove() {
        Close();
        if (!name_.empty()) ::unlink(name_.c_str());
    }

    void Put(const void* data, size_t n) {
        if (::fwrite_unlocked(data, 1, n, f_) != n) Fail(Tr("cannot write %s: %s"));  // one thread: no lock per record
    }
    void PutU32(uint32_t v) { Put(&v, sizeof v); }
    void PutText(std::string_view text) {
        PutU32(static_cast<uint32_t>(text.size()));
        Put(text.data(), text.size());
    }

    // With atStart, false at the end of the file, where a record would begin.
    bool GetU32(uint32_t& v, bool atStart = false) {
        const size_t n = ::fread_unlocked(&v, 1, sizeof v, f_);
        if (n == 0 && atStart && std::feof(f_)) return false;
        if (n != sizeof v) Fail(Tr("cannot read %s: %s"));
        return true;
    }
    bool GetByte(char& c) {
        const int got = getc_unlocked(f_);
        if (got == EOF && std::ferror(f_)) Fail(Tr("cannot read %s: %s"));
        c = static_cast<char>(got);
        return got != EOF;
    }
    void Get(void* data, size_t n) {
        if (n && ::fread_unlocked(data, 1, n, f_) != n) Fail(Tr("cannot read %s: %s"));
    }
    void GetText(std::string& text) {
        uint32_t n = 0;
        GetU32(n);
        text.resize(n);
        Get(text.data(), n);
    }

private:
    // format: "cannot write %s: %s", the file's name and errno's text.
    [[noreturn]] void Fail(const char* format) const {
        throw EQuenlo(FormatText(format, name_.c_str(), std::strerror(errno ? errno : EIO)));
    }

    std::string name_;
    FILE* f_ = nullptr;
};

// A folder for the spills, removed with everything in it on every path.
struct TScratch {
    std::string path;
    explicit TScratch(const std::string& planDir) {
        std::string pattern = planDir + ".partitions-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw EQuenlo(FormatText(Tr("cannot write in %s: %s"), planDir.c_str(), std::strerror(errno)));
        path = pattern + "/";
    }
    ~TScratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Spreads 64-bit hashes over their top bits, which pick the partition.
uint64_t Mixed(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 33);
}

// One item in a partition, by the output it writes ('O') or the file it reads ('I').
struct Named {
    std::string key;  // "" for an output the pattern gives no name
    uint32_t item;
    std::string name, subdir;
    std::string date;  // {date}, of an output
};

// An item with its verdict, on its way to its shard's file.
struct Decided {
    uint32_t shard, item;
    Verdict verdict = Verdict::Convert;
    std::string name, subdir, other, date;
    bool operator<(const Decided& o) const { return shard != o.shard ? shard < o.shard : item < o.item; }
};

void PutDecided(TSpill& out, const Decided& d) {
    out.PutU32(d.shard);
    out.PutU32(d.item);
    out.Put(&d.verdict, 1);
    out.PutText(d.name);
    out.PutText(d.subdir);
    out.PutText(d.other);
    out.PutText(d.date);
}

bool GetDecided(TSpill& in, Decided& d) {
    if (!in.GetU32(d.shard, true)) return false;
    in.GetU32(d.item);
    in.Get(&d.verdict, 1);
    in.GetText(d.name);
    in.GetText(d.subdir);
    in.GetText(d.other);
    in.GetText(d.date);
    return true;
}

// A plan file, put in place only when complete.
class TPlanWriter {
public:
    explicit TPlanWriter(const std::string& name) : file_(name) { buffer_ = kMagic; }

    void Field(std::string_view text) {
        buffer_ += std::to_string(text.size());
        buffer_ += ':';
        buffer_ += text;
        buffer_ += '\n';
        if (buffer_.size() >= (1u << 20)) Flush();
    }
    void Commit() {
        Flush();
        char trailer[kTrailerSize + 1];
        std::snprintf(trailer, sizeof trailer, "end %016llx\n", static_cast<unsigned long long>(hash_));
        file_.Write(reinterpret_cast<const uint8_t*>(trailer), kTrailerSize);
        file_.Commit();
    }

private:
    void Flush() {
        hash_ = StableHash(buffer_, hash_);
        file_.Write(reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size());
        buffer_.clear();
    }

    TAtomicFile file_;
    std::string buffer_;
    uint64_t hash_ = kStableHashStart;
};

class TShardPlanner {
public:
    TShardPlanner(const ShardPlanOptions& options, const std::string& planDir)
        : options_(options), planDir_(planDir), scratch_(planDir), parts_(kParts), decided_(kParts) {
        dir_ = options.outputDir;
        if (!dir_.empty()) {
            AddBackslash(dir_);
            dirKey_ = keys_.Key(dir_);
            if (dirKey_ != "/") dirKey_ += '/';
        }
    }

    ShardPlanCounts Plan(const InputSource& next) {
        Spread(next);
        for (int p = 0; p < kParts; ++p) Decide(p);
        WriteShards();
        return counts_;
    }

private:
    // Each item goes to the partition of its output, and, when it could be
    // another item's output, to the partition of its own name as well.
    void Spread(const InputSource& next) {
        PlanInput in;
        while (next(in)) {
            if (counts_.listed >= UINT32_MAX) throw EQuenlo(Tr("too many files in one batch"));
            const auto item = static_cast<uint32_t>(counts_.listed++);
            const std::string date = options_.pattern.HasDate() ? FileDate(in.name) : std::string(kNoDate);
            TSpill& out = Part(keys_.Key(Output(in.name, in.subdir, item, date)));
            out.Put("O", 1);
            out.PutU32(item);
            out.PutText(in.name);
            out.PutText(in.subdir);
            out.PutText(date);
            if (Pair(in.name) || ExtractFileExt(in.name) != options_.outputExt) continue;
            const std::string key = keys_.Key(in.name);
            if (!key.starts_with(dirKey_)) continue;
            TSpill& read = Part(key);
            read.Put("I", 1);
            read.PutU32(item);
            read.PutText(in.name);
        }
    }

    // Names an item by its place in the list (from 0).
    std::string Output(const std::string& name, const std::string& subdir, uint32_t item, const std::string& date) const {
        NameFields fields;
        fields.n = item + 1;
        fields.date = date;
        return OutputNameFor(options_.pattern, fields, name, dir_, subdir, options_.outputExt);
    }

    TSpill& Part(const std::string& key) {
        const auto p = static_cast<size_t>(Mixed(StableHash(key)) >> 56);
        if (!parts_[p].Open()) parts_[p].Create(scratch_.path + std::to_string(p));
        return parts_[p];
    }

    bool Pair(const std::string& name) const {
        return KindByName(name) == ImageKind::RawPair && !IsRawData(name, options_.rawExt);
    }
    // The image an item reads: a pair by its name without the extension.
    std::string ImageKey(const std::string& name) {
        return Pair(name) ? keys_.Key(ChangeFileExt(name, "")) + "\n" : keys_.Key(name);
    }

    // The rules over one partition: every output and every input that could
    // be it are here, so the verdicts are those over the whole batch.
    void Decide(int p) {
        TSpill& spill = parts_[p];
        if (!spill.Open()) return;
        spill.Reread();
        std::vector<Named> outputs, reads;
        char kind = 0;
        while (spill.GetByte(kind)) {
            Named n;
            spill.GetU32(n.item);
            spill.GetText(n.name);
            if (kind == 'O') {
                spill.GetText(n.subdir);
                spill.GetText(n.date);
                const std::string output = Output(n.name, n.subdir, n.item, n.date);
                if (!output.empty()) n.key = keys_.Key(output);
                outputs.push_back(std::move(n));
            } else {
                n.key = keys_.Key(n.name);
                reads.push_back(std::move(n));
            }
        }
        spill.Remove();
        auto byKey = [](const Named& a, const Named& b) { return a.key != b.key ? a.key < b.key : a.item < b.item; };
        std::sort(outputs.begin(), outputs.end(), byKey);
        std::sort(reads.begin(), reads.end(), byKey);

        std::vector<Decided> kept;
        std::vector<size_t> live;
        for (size_t end = 0, begin = 0; begin < outputs.size(); begin = end) {
            for (end = begin + 1; end < outputs.size() && outputs[end].key == outputs[begin].key;) ++end;
            const std::string& key = outputs[begin].key;
            auto reader = std::lower_bound(reads.begin(), reads.end(), key, [](const Named& r, const std::string& k) { return r.key < k; });
            const bool read = reader != reads.end() && reader->key == key && !key.empty();
            // Numbers are given by the shard, where it sees what is on disk.
            const bool clashes = !key.empty() && options_.existing != ExistingOutput::Number;
            std::set<std::string> images;
            live.clear();
            for (size_t k = begin; k < end; ++k) {
                Named& o = outputs[k];
                if (end - begin > 1 && !key.empty() && !images.insert(ImageKey(o.name)).second) {
                    ++counts_.repeats;
                    continue;
                }
                Decided d;
                std::string output = Output(o.name, o.subdir, o.item, o.date);
                if (options_.existing == ExistingOutput::Number) output = UnnumberedName(output);
                d.shard = static_cast<uint32_t>(ShardOf(output, dir_, options_.shards));
                d.item = o.item;
                d.date = std::move(o.date);
                // Its own input rewritten in place replaces only itself.
                if (clashes && read && keys_.Key(o.name) != key) {
                    d.verdict = Verdict::WouldReplace;
                    d.other = reader->name;
                    ++counts_.wouldReplace;
                } else {
                    live.push_back(kept.size());
                }
                d.name = std::move(o.name);
                d.subdir = std::move(o.subdir);
                kept.push_back(std::move(d));
            }
            // The last listed wins, as converting them one by one would.
            for (size_t k = 0; clashes && k + 1 < live.size(); ++k) {
                kept[live[k]].verdict = Verdict::SharedOutput;
                kept[live[k]].other = kept[live.back()].name;
                ++counts_.sharedOutput;
            }
        }
        std::sort(kept.begin(), kept.end());
        TSpill& out = decided_[p];
        out.Create(scratch_.path + "decided-" + std::to_string(p));
        for (const Decided& d : kept) PutDecided(out, d);
        out.Reread();
    }

    // Merges the partitions' verdicts by shard, then in the batch's order.
    void WriteShards() {
        struct Head {
            Decided d;
            int part;
        };
        std::vector<Head> heads;
        auto later = [&](size_t a, size_t b) { return heads[b].d < heads[a].d; };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> queue(later);
        heads.reserve(kParts);
        for (int p = 0; p < kParts; ++p) {
            if (!decided_[p].Open()) continue;
            heads.push_back({{}, p});
            if (GetDecided(decided_[p], heads.back().d)) queue.push(heads.size() - 1);
        }
        for (int shard = 0; shard < options_.shards; ++shard) {
            TPlanWriter w(planDir_ + ShardPlanName(shard, options_.shards));
            w.Field(std::to_string(shard + 1));
            w.Field(std::to_string(options_.shards));
            w.Field(std::to_string(options_.settings.size()));
            for (const std::string& word : options_.settings) w.Field(word);
            uint64_t items = 0;
            while (!queue.empty() && heads[queue.top()].d.shard == static_cast<uint32_t>(shard)) {
                const size_t h = queue.top();
                queue.pop();
                const Decided& d = heads[h].d;
                w.Field(d.name);
                w.Field(d.subdir);
                w.Field(kVerdictNames[static_cast<int>(d.verdict)]);
                w.Field(d.other);
                w.Field(std::to_string(d.item + 1));
                w.Field(d.date);
                ++items;
                if (GetDecided(decided_[heads[h].part], heads[h].d)) queue.push(h);
            }
            w.Commit();
            counts_.planned += items;
            counts_.largestShard = std::max(counts_.largestShard, items);
        }
    }

    const ShardPlanOptions& options_;
    std::string planDir_;
    TPathKeys keys_;
    TScratch scratch_;
    std::string dir_;     // the output folder with its separator; "" beside each source
    std::string dirKey_;  // its key with a separator after it; "" beside each source
    std::vector<TSpill> parts_, decided_;
    ShardPlanCounts counts_;
};

}  // namespace

ShardPlanCounts WriteShardPlans(const InputSource& next, const ShardPlanOptions& options) {
    if (options.shards < 1 || options.shards > kMaxShards) throw EQuenlo(Tr("the number of shards is out of range"));
    std::string planDir = options.planDir;
    PrepareOutputDir(planDir);
    const ShardPlanCounts counts = TShardPlanner(options, planDir).Plan(next);

    nlohmann::ordered_json summary;
    summary["shards"] = options.shards;
    summary["files"] = "K-of-" + std::to_string(options.shards) + ".plan";
    summary["listed"] = counts.listed;
    summary["planned"] = counts.planned;
    summary["repeats-dropped"] = counts.repeats;
    summary["would-replace"] = counts.wouldReplace;
    summary["shared-output"] = counts.sharedOutput;
    summary["largest-shard"] = counts.largestShard;
    summary["options"] = options.settings;
    const std::string text = summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    TAtomicFile json(planDir + "plan.json");
    json.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    json.Commit();
    return counts;
}

TShardPlanFile::TShardPlanFile(const std::string& fileName) : name_(fileName) {
    file_.reset(std::fopen(fileName.c_str(), "rb"));
    f_ = file_.get();
    if (!f_) throw EQuenlo(FormatText(Tr("cannot read the plan %s: %s"), fileName.c_str(), std::strerror(errno)));
    struct stat st {};
    if (::fstat(fileno(f_), &st) != 0 || !S_ISREG(st.st_mode)) throw EQuenlo(FormatText(Tr("the plan %s is not a file"), fileName.c_str()));
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size < kMagicSize + kTrailerSize) Damaged(Tr("it is too short"));
    // The whole file is hashed before any of it is believed.
    uint64_t hash = kStableHashStart;
    std::string chunk(1 << 16, '\0');
    for (uint64_t left = size - kTrailerSize; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        if (std::fread(chunk.data(), 1, n, f_) != n) Damaged(Tr("it ends early"));
        hash = StableHash(std::string_view(chunk.data(), n), hash);
        left -= n;
    }
    char trailer[kTrailerSize + 1] = {};
    char expected[kTrailerSize + 1];
    std::snprintf(expected, sizeof expected, "end %016llx\n", static_cast<unsigned long long>(hash));
    if (std::fread(trailer, 1, kTrailerSize, f_) != kTrailerSize || std::memcmp(trailer, expected, kTrailerSize) != 0)
        Damaged(Tr("its check sum does not match (truncated or edited)"));
    char magic[kMagicSize] = {};
    if (std::fseek(f_, 0, SEEK_SET) != 0 || std::fread(magic, 1, kMagicSize, f_) != kMagicSize) Damaged(Tr("it ends early"));
    if (std::memcmp(magic, kMagic, kMagicSize) != 0) {
        if (std::memcmp(magic, kMagicName, sizeof kMagicName - 1) == 0)
            throw EQuenlo(FormatText(Tr("the plan %s was made by another version of quenlo-convert; plan the batch again"), fileName.c_str()));
        Damaged(Tr("it is no plan"));
    }
    left_ = size - kTrailerSize - kMagicSize;
    shard_ = static_cast<int>(Number(kMaxShards)) - 1;
    shards_ = static_cast<int>(Number(kMaxShards));
    if (shard_ < 0 || shard_ >= shards_) Damaged(Tr("its shard number is out of range"));
    const uint64_t words = Number(left_);
    for (uint64_t k = 0; k < words; ++k) settings_.push_back(Field());
}

TShardPlanFile::~TShardPlanFile() = default;

void TShardPlanFile::Damaged(const std::string& why) const {
    throw EQuenlo(FormatText(Tr("the plan %s is damaged: %s"), name_.c_str(), why.c_str()));
}

std::string TShardPlanFile::Field() {
    uint64_t n = 0;
    int digits = 0;
    for (;;) {
        if (left_ == 0) Damaged(Tr("it ends early"));
        const int c = std::getc(f_);
        --left_;
        if (c == ':' && digits > 0) break;
        if (c < '0' || c > '9' || ++digits > 10) Damaged(Tr("a field's length is not a number"));
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n >= left_) Damaged(Tr("a field runs past its end"));
    std::string text(static_cast<size_t>(n), '\0');
    if (n && std::fread(text.data(), 1, text.size(), f_) != text.size()) Damaged(Tr("it ends early"));
    left_ -= n + 1;
    if (std::getc(f_) != '\n') Damaged(Tr("a field does not end its line"));
    return text;
}

uint64_t TShardPlanFile::Number(uint64_t max) {
    const std::string text = Field();
    uint64_t n = 0;
    if (text.empty() || text.size() > 19) Damaged(Tr("a count is not a number"));
    for (char c : text) {
        if (c < '0' || c > '9') Damaged(Tr("a count is not a number"));
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > max) Damaged(Tr("a count is out of range"));
    return n;
}

InputSource TShardPlanFile::Source() {
    return [this](PlanInput& in) {
        if (left_ == 0) return false;
        in.name = Field();
        in.subdir = Field();
        const std::string verdict = Field();
        in.other = Field();
        in.n = static_cast<uint32_t>(Number(UINT32_MAX));
        in.date = Field();
        if (in.n == 0 || in.date.size() != kNoDate.size() ||
            in.date.find_first_not_of("0123456789-") != std::string::npos)
            Damaged(Tr("an item's number or date is not one"));
        if (verdict == kVerdictNames[0]) in.refused = PlanInput::Refused::No;
        else if (verdict == kVerdictNames[1]) in.refused = PlanInput::Refused::WouldReplace;
        else if (verdict == kVerdictNames[2]) in.refused = PlanInput::Refused::SharedOutput;
        else Damaged(Tr("an item's verdict is unknown"));
        if (in.name.empty() || (in.refused != PlanInput::Refused::No && in.other.empty()))
            Damaged(Tr("an item has no name"));
        return true;
    };
}

}  // namespace quenlo
