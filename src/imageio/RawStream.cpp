#include "imageio/RawStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "imageio/AtomicFile.h"
#include "imageio/BmpWriter.h"
#include "imageio/FileIo.h"
#include "imageio/RgbSwap.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"

namespace quenlo {

class TReadOnlyFd {
public:
    explicit TReadOnlyFd(const std::string& name) : fd_(OpenRegularFile(name)) {}
    ~TReadOnlyFd() { ::close(fd_); }
    TReadOnlyFd(const TReadOnlyFd&) = delete;
    TReadOnlyFd& operator=(const TReadOnlyFd&) = delete;

    // Reads up to n bytes at offset; fewer only at the end of the file.
    size_t ReadAt(uint8_t* dst, size_t n, uint64_t offset) const {
        size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd_, dst + got, n - got, static_cast<off_t>(offset + got));
            if (r < 0) {
                if (errno == EINTR) continue;
                throw ESourceReadError(EInOutError::FromErrno(errno));
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        return got;
    }

private:
    int fd_;
};

bool BmpCanHold(int64_t width, int64_t height) {
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return false;
    const uint64_t row = (static_cast<uint64_t>(width) * 3 + 3) & ~uint64_t{3};
    return row * static_cast<uint64_t>(height) <= UINT32_MAX - kBmpHeaderSize;
}

TRawPair::TRawPair(const std::string& fileName) : TRawPair(PairName(fileName, ".IPR"), PairName(fileName, ".RGB")) {}

TRawPair::TRawPair(const std::string& iprName, const std::string& rgbName) {
    TStpRgb pair;
    // Either member may be the one that is no regular file: say which.
    try {
        pair.ReadHeader(iprName);
    } catch (const ENotRegularFile&) {
        throw ENotRegularFile(iprName);
    }
    // An empty image is valid (there is just nothing to save); one past
    // 4 GiB has no .bmp header.
    const bool empty = pair.Width >= 0 && pair.Height >= 0 && (pair.Width == 0 || pair.Height == 0);
    if (!empty && !BmpCanHold(pair.Width, pair.Height)) throw EInvalidImageSize(pair.Width, pair.Height);
    width_ = pair.Width;
    height_ = pair.Height;
    try {
        rgb_ = std::make_unique<TReadOnlyFd>(rgbName);
    } catch (const ENotRegularFile&) {
        throw ENotRegularFile(rgbName);
    }
}

TRawPair::TRawPair(const std::string& dataName, const RawLayout& layout) {
    if (!BmpCanHold(layout.width, layout.height)) throw EInvalidImageSize(layout.width, layout.height);
    width_ = layout.width;
    height_ = layout.height;
    order_ = layout.order;
    rgb_ = std::make_unique<TReadOnlyFd>(dataName);
}

TRawPair::~TRawPair() = default;

void TRawPair::ReadRows(int64_t top, size_t n, uint8_t* dst) const {
    const size_t rowIn = static_cast<size_t>(width_) * 3;
    const size_t want = n * rowIn;
    const size_t got = rgb_->ReadAt(dst, want, static_cast<uint64_t>(top) * rowIn);
    if (got < want) std::memset(dst + got, 255, want - got);
}

void TRawPair::WriteWideRows(TAtomicFile& file, size_t bufferBytes) const {
    // Rows wider than the buffer go in pieces of whole pixels, bottom row
    // first, so memory is the buffer whatever the width.
    const size_t rowIn = static_cast<size_t>(width_) * 3;
    const size_t piece = std::max<size_t>(3, bufferBytes / 3 * 3);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[piece]);
    const uint8_t padding[3] = {0, 0, 0};
    for (int64_t y = height_ - 1; y >= 0; --y) {
        for (size_t at = 0; at < rowIn; at += piece) {
            const size_t n = std::min(piece, rowIn - at);
            // A short file reads as white, as a whole row would.
            const size_t got = rgb_->ReadAt(buf.get(), n, static_cast<uint64_t>(y) * rowIn + at);
            if (got < n) std::memset(buf.get() + got, 255, n - got);
            if (order_ == RawOrder::Rgb) SwapRedBlue(buf.get(), buf.get(), n / 3);
            file.Write(buf.get(), n);
        }
        file.Write(padding, ((rowIn + 3) & ~size_t{3}) - rowIn);
    }
}

void TRawPair::WriteBmp(const std::string& outName, const RawStreamOptions& options) const {
    PrepareBmp(outName, options)->Commit();
}

std::unique_ptr<TAtomicFile> TRawPair::PrepareBmp(const std::string& outName, const RawStreamOptions& options) const {
    // A 0-byte .bmp is corrupt; refusing it also keeps an existing file intact.
    if (width_ == 0 || height_ == 0) throw EInvalidImageSize(width_, height_);
    const int64_t w = width_, h = height_;

    const size_t rowIn = static_cast<size_t>(w) * 3;
    const size_t rowOut = (rowIn + 3) & ~size_t{3};

    auto target = std::make_unique<TAtomicFile>(outName);
    TAtomicFile& file = *target;
    uint8_t header[kBmpHeaderSize];
    PutBmpHeader(header, width_, height_);
    file.Write(header, sizeof header);
    if (rowOut > options.bufferBytes) {
        WriteWideRows(file, options.bufferBytes);
        return target;
    }
    const size_t stepRows = std::min<size_t>(options.bufferBytes / rowOut, static_cast<size_t>(h));
    std::unique_ptr<uint8_t[]> in(new uint8_t[stepRows * rowIn]);
    std::unique_ptr<uint8_t[]> out(new uint8_t[stepRows * rowOut]);

    // Rows [top, top + n) are read in one piece, then written last row first.
    for (int64_t end = h; end > 0;) {
        const int64_t top = std::max<int64_t>(0, end - static_cast<int64_t>(stepRows));
        const size_t n = static_cast<size_t>(end - top);
        // A short file reads as white, exactly like a short read into a white map.
        ReadRows(top, n, in.get());
        for (size_t i = 0; i < n; ++i) {
            uint8_t* o = out.get() + i * rowOut;
            const uint8_t* row = in.get() + (n - 1 - i) * rowIn;
            // A .bmp stores blue, green, red.
            if (order_ == RawOrder::Bgr) std::memcpy(o, row, rowIn);
            else SwapRedBlue(row, o, static_cast<size_t>(w));
            std::memset(o + rowIn, 0, rowOut - rowIn);
        }
        file.Write(out.get(), n * rowOut);
        end = top;
    }
    return target;
}

}  // namespace quenlo
