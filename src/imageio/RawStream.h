#pragma once
// .ipr/.rgb straight to .bmp without holding the image: rows are read from
// the bottom of the .rgb file up and written in the order the .bmp stores
// them, so memory stays constant whatever the size. The file is
// byte-identical to loading the pair into a map and saving that.
#include <cstdint>
#include <memory>
#include <string>

namespace quenlo {

struct RawStreamOptions {
    // Bytes read per step: whole rows, or pieces of a row wider than this
    // when writing a .bmp.
    size_t bufferBytes = 256u << 10;
};

// The largest image a .bmp can hold: its 32-bit file size field.
bool BmpCanHold(int64_t width, int64_t height);

class TAtomicFile;
class TReadOnlyFd;

// Headerless raw data: rows of 3-byte pixels from the top, in this order.
enum class RawOrder { Rgb, Bgr };
struct RawLayout {
    int32_t width = 0, height = 0;
    RawOrder order = RawOrder::Rgb;
};

// An opened pair: the .ipr read and the .rgb open, nothing held in memory.
class TRawPair {
public:
    // Either member of the pair. Throws what loading the pair would
    // (EInOutError, EInvalidImageSize), and EInvalidImageSize for an image
    // too large for a .bmp. An empty image (width or height 0) is valid.
    explicit TRawPair(const std::string& fileName);
    // The two members, already found (PairName).
    TRawPair(const std::string& iprName, const std::string& rgbName);
    // Headerless data of a layout given by the caller; a short file reads as
    // white, like a pair's. Throws EInvalidImageSize for a size a .bmp cannot hold.
    TRawPair(const std::string& dataName, const RawLayout& layout);
    ~TRawPair();
    TRawPair(const TRawPair&) = delete;
    TRawPair& operator=(const TRawPair&) = delete;

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    RawOrder Order() const { return order_; }
    // Rows [top, top + n) as stored, packed; past a short file's end they
    // read as white. Throws ESourceReadError.
    void ReadRows(int64_t top, size_t n, uint8_t* dst) const;

    // Throws EFCreateError or EInOutError, ESourceReadError when reading
    // the .rgb fails, and EInvalidImageSize for an empty image; the target
    // is replaced only after a complete write.
    void WriteBmp(const std::string& outName, const RawStreamOptions& options = {}) const;
    // The same, written completely but not yet put in place: Commit it.
    std::unique_ptr<TAtomicFile> PrepareBmp(const std::string& outName, const RawStreamOptions& options = {}) const;

private:
    void WriteWideRows(TAtomicFile& file, size_t bufferBytes) const;

    int32_t width_ = 0;
    int32_t height_ = 0;
    RawOrder order_ = RawOrder::Rgb;
    std::unique_ptr<TReadOnlyFd> rgb_;
};

inline void ConvertRawToBmpFile(const std::string& fileName, const std::string& outName,
                                const RawStreamOptions& options = {}) {
    TRawPair(fileName).WriteBmp(outName, options);
}

}  // namespace quenlo
