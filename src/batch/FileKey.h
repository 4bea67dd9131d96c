#pragma once
// A file's identity, so that two spellings of one file (links, "./",
// another case of a pair's extension) are one file.
#include <compare>
#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace quenlo {

struct FileKey {
    uint64_t dev = 0, ino = 0;
    bool found = false;
    auto operator<=>(const FileKey&) const = default;
};

inline FileKey KeyOf(const struct stat& st) { return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true}; }

// Through links; not found when the name does not resolve.
inline FileKey KeyOf(const std::string& name) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0) return {};
    return KeyOf(st);
}

}  // namespace quenlo
