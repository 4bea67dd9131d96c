#pragma once
// Replaces a file only once its new content is completely written: the data
// goes to a temporary file in the same folder, which is renamed over the
// target at Commit. Destroying an uncommitted one removes the temporary, so
// a failed write leaves the old file untouched and nothing behind.
#include <cstddef>
#include <cstdint>
#include <string>

namespace quenlo {

class TAtomicFile {
public:
    // Throws EFCreateError when the file cannot be created.
    explicit TAtomicFile(const std::string& target);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // Throws EInOutError on a failed or short write.
    void Write(const uint8_t* data, size_t n);
    // Closes, checks, and renames over the target. Throws EInOutError.
    void Commit();

private:
    std::string target_;
    std::string temp_;  // empty when writing the target in place (devices, pipes)
    int fd_ = -1;
};

}  // namespace quenlo
