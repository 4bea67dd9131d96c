#pragma once
// Thin RAII wrappers over C stdio that raise EInOutError with the run-time's codes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quenlo {

// A descriptor for reading a regular file (O_CLOEXEC, blocking reads).
// Throws EInOutError (2 when the file does not exist, 5 for a folder), or
// ENotRegularFile for a FIFO, device or socket, which is never opened in a
// way that can block.
int OpenRegularFile(const std::string& name);

class TInputFile {
public:
    // Throws as OpenRegularFile does.
    explicit TInputFile(const std::string& name);
    ~TInputFile();
    TInputFile(const TInputFile&) = delete;
    TInputFile& operator=(const TInputFile&) = delete;

    // Reads up to n bytes; returns fewer only at the end of the file. Throws on a read error.
    size_t Read(void* dst, size_t n);
    FILE* Handle() const { return f_; }

private:
    FILE* f_ = nullptr;
};

// The whole file. Throws EInOutError; refuses files above maxBytes.
std::vector<uint8_t> ReadFileBytes(const std::string& name, size_t maxBytes = SIZE_MAX);

bool FileExists(const std::string& name);

}  // namespace quenlo
