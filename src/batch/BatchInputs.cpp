#include "batch/BatchInputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <unordered_set>

#include "batch/FileKey.h"
#include "imageio/ImageKind.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "low/Messages.h"

namespace quenlo {

struct TInputFeed::Origin {
    std::vector<std::string> names;  // given names, or
    FILE* list = nullptr;            // a list read as needed
    std::string listName;
    NameDelim delim = NameDelim::Newline;
    size_t at = 0;
};

namespace {
enum class EntryType { File, Folder };
struct Entry {
    std::string name;
    EntryType type;
    // Folders sort as "name/", so the walk yields names in full-path order.
    bool operator<(const Entry& o) const {
        const size_t n = std::min(name.size(), o.name.size());
        if (int c = name.compare(0, n, o.name, 0, n); c != 0) return c < 0;
        auto at = [](const Entry& e, size_t i) -> int {
            return i < e.name.size() ? static_cast<unsigned char>(e.name[i]) : e.type == EntryType::Folder ? '/' : -1;
        };
        return at(*this, n) != at(o, n) ? at(*this, n) < at(o, n) : name.size() < o.name.size();
    }
};
}  // namespace

struct TInputFeed::Level {
    std::string path;    // with its trailing separator
    std::string subdir;  // below the output folder, with its trailing separator or ""
    FileKey id;
    std::vector<Entry> entries;
    size_t at = 0;
};

TInputFeed::TInputFeed(FeedOptions options) : options_(std::move(options)) {}
TInputFeed::~TInputFeed() = default;

void TInputFeed::AddNames(std::vector<std::string> names) {
    Origin s;
    s.names = std::move(names);
    sources_.push_back(std::move(s));
}

void TInputFeed::AddList(FILE* in, NameDelim delim, const std::string& name) {
    Origin s;
    s.list = in;
    s.listName = name;
    s.delim = delim;
    sources_.push_back(std::move(s));
}

bool TInputFeed::NextName(std::string& name) {
    while (source_ < sources_.size()) {
        Origin& s = sources_[source_];
        if (!s.list) {
            if (s.at < s.names.size()) {
                name = std::move(s.names[s.at]);
                s.names[s.at++].clear();
                return true;
            }
            std::vector<std::string>().swap(s.names);
            ++source_;
            continue;
        }
        lineBuffer_.clear();
        const int delim = static_cast<unsigned char>(static_cast<char>(s.delim));
        int c;
        while ((c = std::getc(s.list)) != EOF && c != delim) lineBuffer_.push_back(static_cast<char>(c));
        if (c == EOF && std::ferror(s.list))
            throw EQuenlo(FormatText(Tr("cannot read the list %s: %s"), s.listName.c_str(), std::strerror(errno ? errno : EIO)));
        if (c == EOF && lineBuffer_.empty()) {
            ++source_;
            continue;
        }
        if (lineBuffer_.empty()) continue;
        name = lineBuffer_;
        return true;
    }
    return false;
}

void TInputFeed::Enter(const std::string& path, const std::string& subdir) {
    auto skipped = [&](const std::string& name, const std::string& why) {
        if (options_.onSkipped) options_.onSkipped(name, why);
    };
    Level level;
    level.path = path;
    AddBackslash(level.path);
    level.subdir = subdir;
    level.id = KeyOf(path);
    if (!outputDirKnown_) {
        outputDir_ = KeyOf(options_.outputDir);
        outputDirKnown_ = true;
    }
    if (!tree_.empty() && outputDir_.found && level.id == outputDir_) return;  // what this batch writes
    for (const Level& above : tree_)
        if (above.id == level.id) return skipped(path, Tr("a link to a folder above it; not followed"));
    if (level.id.found) {
        const auto [first, fresh] = walked_.try_emplace(level.id, path);
        if (!fresh) return skipped(path, FormatText(Tr("the same folder as %s, walked already"), first->second.c_str()));
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        ++unreadable_;
        return skipped(path, FormatText(Tr("cannot read the folder: %s"), std::strerror(errno)));
    }
    auto wanted = [&](const std::string& name) {
        return KindByName(name) != ImageKind::None || IsRawData(name, options_.rawExt);
    };
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        const std::string full = level.path + name;
        if (::stat(full.c_str(), &st) != 0) {
            if (wanted(name)) skipped(full, FormatText(Tr("cannot be read: %s"), std::strerror(errno)));
            continue;
        }
        if (S_ISDIR(st.st_mode)) level.entries.push_back({name, EntryType::Folder});
        else if (!wanted(name)) continue;
        else if (S_ISREG(st.st_mode)) level.entries.push_back({name, EntryType::File});
        else skipped(full, Tr("not a regular file"));
    }
    ::closedir(dir);
    std::sort(level.entries.begin(), level.entries.end());
    // A pair is one image: its first member found stands for both.
    std::unordered_set<std::string> pairs;
    std::erase_if(level.entries, [&](const Entry& e) {
        if (e.type != EntryType::File || KindByName(e.name) != ImageKind::RawPair || IsRawData(e.name, options_.rawExt))
            return false;
        return !pairs.insert(UpperAscii(ChangeFileExt(e.name, ""))).second;
    });
    tree_.push_back(std::move(level));
}

bool TInputFeed::NextInTree(PlanInput& in) {
    while (!tree_.empty()) {
        Level& level = tree_.back();
        if (level.at == level.entries.size()) {
            tree_.pop_back();
            continue;
        }
        Entry& e = level.entries[level.at++];
        if (e.type == EntryType::Folder) {
            const std::string path = level.path + e.name, subdir = level.subdir + e.name + "/";
            std::string().swap(e.name);
            Enter(path, subdir);  // may invalidate level
            continue;
        }
        in.name = level.path + e.name;
        in.subdir = level.subdir;
        std::string().swap(e.name);
        return true;
    }
    return false;
}

bool TInputFeed::Next(PlanInput& in) {
    for (;;) {
        if (NextInTree(in)) return true;
        std::map<FileKey, std::string>().swap(walked_);  // the walk is over
        std::string name;
        if (!NextName(name)) return false;
        struct stat st {};
        if (options_.lookUpNames && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (options_.recurse == Recurse::On) {
                Enter(name, "");  // a walk of its own
            } else {
                ++unreadable_;
                if (options_.onSkipped) options_.onSkipped(name, Tr("a folder (-r converts the images below it)"));
            }
            continue;
        }
        in.name = std::move(name);
        in.subdir.clear();
        return true;
    }
}

}  // namespace quenlo
