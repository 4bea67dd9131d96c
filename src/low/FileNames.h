#pragma once
// File-name parts, by the platform's separators. The extension is the part
// from the last "." after the last separator, dot included.
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quenlo {

bool IsPathDelim(char c);
std::string ExtractFileExt(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ExtractFileDir(std::string_view path);  // without the trailing separator; "" for a bare name
// Replaces the extension, or appends ext when there is none.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string UpperAscii(std::string_view s);
std::string LowerAscii(std::string_view s);

// Folder contents kept for the length of a batch, so that however many
// names are looked up, each folder is listed at most once. Thread-safe.
class TFolderListings {
public:
    // The names in dir (a path; "" for the current folder) equal to name
    // but for ASCII case, in byte order.
    std::vector<std::string> SameNameIgnoringCase(const std::string& dir, const std::string& name);

private:
    std::mutex mutex_;
    // folder -> upper-cased name -> names as spelled
    std::map<std::string, std::unordered_map<std::string, std::vector<std::string>>> folders_;
};

// Finds an existing file: the exact spelling first, then a name in the same
// folder equal to it but for ASCII case (preferring prefer's spelling of the
// extension, then the first in byte order). Returns "" when none exists.
// The folder is listed only when the exact spelling does not exist, and
// through listings when given.
std::string FindFileIgnoringCase(const std::string& path, std::string_view preferExt = {},
                                 TFolderListings* listings = nullptr);
// The same for a path already known not to exist: only the folder is looked in.
std::string FindOtherCase(const std::string& path, std::string_view preferExt = {}, TFolderListings* listings = nullptr);

}  // namespace quenlo
