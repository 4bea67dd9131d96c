#pragma once
// The few exception classes of the system. Each carries the user-facing text.
#include <stdexcept>
#include <string>

namespace quenlo {

// Base of every error the library raises on purpose.
class EQuenlo : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input/output failure with the run-time's numeric code (2 = file not found,
// 106 = token is not a number, ...). The message is the code's text.
class EInOutError : public EQuenlo {
public:
    explicit EInOutError(int code);
    EInOutError(int code, const std::string& message);
    int Code() const { return code_; }
    static std::string MessageFor(int code);
    // Maps an errno value to the run-time's code (ENOENT -> 2, EACCES -> 5, ...).
    static int CodeFromErrno(int err);
    // The run-time's code and text where it has one; any other errno keeps
    // its number and gets the system's own description, so EIO (5) never
    // reads as code 5, "access denied".
    static EInOutError FromErrno(int err);

private:
    int code_;
};

// Reading a source failed while its output was being written (a raw pair
// streams its .rgb into the .bmp): a failed load, though it surfaces in the save.
class ESourceReadError : public EInOutError {
public:
    explicit ESourceReadError(const EInOutError& e) : EInOutError(e) {}
};

// A width or height that is negative, or whose byte count overflows 32 bits.
class EInvalidImageSize : public EQuenlo {
public:
    EInvalidImageSize(long long width, long long height);
};

// An image whose claimed size is above the pixel limit; refused before
// anything is allocated for it.
class EImageTooLarge : public EQuenlo {
public:
    EImageTooLarge(long long width, long long height, long long limit, const std::string& raiseWith);
};

// A file that is not a regular file (a FIFO, a device, a socket): never
// read, as reading it could block or never end.
class ENotRegularFile : public EInOutError {
public:
    ENotRegularFile();
    // Names the file: "NAME is not a regular file", for a pair's other member.
    explicit ENotRegularFile(const std::string& name);
};

// A .bmp file that cannot be read as a bitmap.
class EInvalidGraphic : public EQuenlo {
public:
    EInvalidGraphic();
    explicit EInvalidGraphic(const std::string& detail);
    const std::string& Detail() const { return detail_; }

private:
    std::string detail_;
};

// libjpeg refused the data; Code() is libjpeg's message number.
class EJpegError : public EQuenlo {
public:
    explicit EJpegError(int code);
    EJpegError(int code, const std::string& detail);
    int Code() const { return code_; }
    const std::string& Detail() const { return detail_; }

private:
    int code_;
    std::string detail_;
};

// The output file could not be created.
class EFCreateError : public EQuenlo {
public:
    explicit EFCreateError(const std::string& fileName);
};

// The message a user sees: the error's text, with the decoder's detail
// where there is one, and "out of memory" for a failed allocation.
std::string DescribeError(const std::exception& e);

}  // namespace quenlo
