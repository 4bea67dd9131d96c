#include "low/FileNames.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace quenlo {

namespace fs = std::filesystem;

bool IsPathDelim(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/' || c == ':';
#else
    return c == '/';
#endif
}

namespace {
// Index just past the last separator (0 when there is none).
size_t NameStart(std::string_view path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsPathDelim(path[i - 1])) return i;
    return 0;
}

size_t ExtStart(std::string_view path) {
    const size_t start = NameStart(path);
    const size_t dot = path.rfind('.');
    return dot != std::string_view::npos && dot >= start ? dot : std::string_view::npos;
}
}  // namespace

std::string ExtractFileExt(std::string_view path) {
    const size_t e = ExtStart(path);
    return e == std::string_view::npos ? std::string() : std::string(path.substr(e));
}

std::string ExtractFileName(std::string_view path) { return std::string(path.substr(NameStart(path))); }

std::string ExtractFileDir(std::string_view path) {
    size_t n = NameStart(path);
    if (n == 0) return {};
    if (n > 1) --n;  // keep "/" for a file in the root
    return std::string(path.substr(0, n));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    const size_t e = ExtStart(path);
    std::string out(path.substr(0, e == std::string_view::npos ? path.size() : e));
    out += ext;
    return out;
}

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<std::string> TFolderListings::SameNameIgnoringCase(const std::string& dir, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto [folder, fresh] = folders_.try_emplace(dir);
    if (fresh) {
        std::error_code ec;
        for (fs::directory_iterator it(dir.empty() ? fs::path(".") : fs::path(dir), ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string entry = it->path().filename().string();
            folder->second[UpperAscii(entry)].push_back(std::move(entry));
        }
        for (auto& [upper, names] : folder->second) std::sort(names.begin(), names.end());
    }
    const auto hit = folder->second.find(UpperAscii(name));
    return hit == folder->second.end() ? std::vector<std::string>{} : hit->second;
}

std::string FindFileIgnoringCase(const std::string& path, std::string_view preferExt, TFolderListings* listings) {
    std::error_code ec;
    if (fs::exists(fs::path(path), ec)) return path;
    return FindOtherCase(path, preferExt, listings);
}

std::string FindOtherCase(const std::string& path, std::string_view preferExt, TFolderListings* listings) {
    const std::string name = ExtractFileName(path);
    if (name.empty()) return {};
    TFolderListings once;
    const std::vector<std::string> hits = (listings ? *listings : once).SameNameIgnoringCase(ExtractFileDir(path), name);
    if (hits.empty()) return {};
    auto pick = hits.front();
    if (!preferExt.empty()) {
        const std::string want = ChangeFileExt(name, preferExt);
        if (std::find(hits.begin(), hits.end(), want) != hits.end()) pick = want;
    }
    return path.substr(0, path.size() - name.size()) + pick;
}

}  // namespace quenlo
