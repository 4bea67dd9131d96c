#include "batch/ItemLoader.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "imageio/AtomicFile.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "imageio/JpegReader.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

namespace quenlo {

namespace {

// Neither format can usefully exceed 4 GiB (a .bmp cannot state more).
constexpr size_t kMaxFile = UINT32_MAX;

// The save of an opened raw image: rows stream into the file while it is written.
SaveStep SaveRaw(std::shared_ptr<TRawPair> raw, const BatchItem& item, ItemNotes& notes, const OutputOptions& output) {
    notes.width = raw->Width();
    notes.height = raw->Height();
    return [raw, &item, output]() -> CommitStep {
        if (raw->Width() == 0 || raw->Height() == 0)
            throw EQuenlo(NothingToSave(item.input, raw->Width(), raw->Height()));
        std::shared_ptr<TAtomicFile> file = PrepareImageFile(*raw, item.output, output);
        return [file] { file->Commit(); };
    };
}

uint64_t FileBytes(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// What holding an image of this size whole takes: its 24-bit map, if the
// reader will allocate it at all.
uint64_t MapBytes(int64_t width, int64_t height, const PixelLimit& limit) {
    if (width <= 0 || height <= 0 || width > limit.maxPixels / height) return 0;
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
}

// Memory a whole-image load will take: the file, read at once, and its map.
// The size comes from the file's first bytes, which hold a .bmp's headers
// and, but for rare huge metadata, a .jpg's markers up to its first scan;
// the load reads the whole file itself.
uint64_t WholeImageBytes(const std::string& name, ImageKind kind, const PixelLimit& limit) {
    const uint64_t file = FileBytes(name);
    if (kind != ImageKind::Bmp && kind != ImageKind::Jpeg) return file;
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file, 1u << 20)));
    head.resize(TInputFile(name).Read(head.data(), head.size()));
    if (kind == ImageKind::Bmp) {
        if (const auto claim = ClaimedBmpSize(head)) return file + MapBytes(claim->width, claim->height, limit);
    } else {
        try {
            const JpegFrame frame = ReadJpegFrame(head);
            return file + MapBytes(frame.width, frame.height, limit) + static_cast<uint64_t>(frame.coefficientBytes);
        } catch (const EQuenlo&) {
            // The load itself says what is wrong.
        }
    }
    return file;
}

// Rows given top first go where a bottom-up .bmp keeps them, gathered in
// bands of about 1 MiB that are each one contiguous write.
class TBottomUpRows {
public:
    TBottomUpRows(TAtomicFile& file, int32_t width, int32_t height)
        : file_(file), height_(height), rowSize_(BmpRowSize(width)), rowBytes_(static_cast<size_t>(width) * 3),
          slots_(std::clamp<size_t>((1u << 20) / rowSize_, 1, static_cast<size_t>(height))),
          band_(slots_ * rowSize_, 0) {
        uint8_t header[kBmpHeaderSize];
        PutBmpHeader(header, width, height);
        file_.Write(header, sizeof header);
    }

    void Put(int32_t y, const uint8_t* bgr) {
        if (filled_ == 0) top_ = y;
        // Within a band, later rows go to lower slots, as in the file.
        std::memcpy(&band_[(slots_ - 1 - filled_) * rowSize_], bgr, rowBytes_);
        if (++filled_ == slots_ || y == height_ - 1) Flush();
    }

private:
    void Flush() {
        const uint64_t lowest = static_cast<uint64_t>(height_ - top_) - filled_;  // its place from the bottom
        file_.WriteAt(&band_[(slots_ - filled_) * rowSize_], filled_ * rowSize_, kBmpHeaderSize + lowest * rowSize_);
        filled_ = 0;
    }

    TAtomicFile& file_;
    const int32_t height_;
    const size_t rowSize_, rowBytes_, slots_;
    std::vector<uint8_t> band_;  // padding bytes stay zero
    int32_t top_ = 0;
    size_t filled_ = 0;
};

SaveStep LoadWhole(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options);

// A .jpg read and its header checked; decoded only while it is saved.
SaveStep StreamJpeg(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options) {
    auto bytes = std::make_shared<const std::vector<uint8_t>>(ReadFileBytes(item.input, kMaxFile));
    JpegFrame frame;
    try {
        frame = ReadJpegFrame(*bytes);
    } catch (const EJpegError&) {
        // Another format under a JPEG's name is read whole, as what it holds
        // or with its reader's message naming it.
        const ImageKind held = KindByContent(*bytes);
        if (held != ImageKind::None && held != ImageKind::Jpeg) return LoadWhole(item, notes, options);
        throw;
    }
    TPixelMap::CheckedDataSize(frame.width, frame.height, 3);
    CheckPixelLimit(frame.width, frame.height, options.limit);
    notes.width = frame.width;
    notes.height = frame.height;
    // The file, the coefficients of a multi-scan file, and bands of rows.
    const uint64_t need = bytes->size() + static_cast<uint64_t>(frame.coefficientBytes) +
                          static_cast<uint64_t>(frame.width) * 3 * 64 + (2u << 20);
    TMemoryBudget::Reservation held = options.budget->Reserve(need);
    const PixelLimit limit = options.limit;
    return [bytes, held, limit, &item, &notes]() -> CommitStep {
        // A load error outranks a save error, as when the image is decoded
        // first: after a failed create or write the decoding still goes on.
        std::shared_ptr<TAtomicFile> file;
        std::unique_ptr<TBottomUpRows> rows;
        std::exception_ptr saveError;
        auto save = [&](auto&& step) {
            if (saveError) return;
            try {
                step();
            } catch (...) {
                saveError = std::current_exception();
                rows.reset();
                file.reset();
            }
        };
        JpegOptions decode;
        decode.onWarning = [&notes](const std::string& text) { notes.warnings.push_back(text); };
        decode.limit = limit;
        JpegRows sink;
        sink.start = [&](int w, int h) {
            save([&] {
                file = std::make_shared<TAtomicFile>(item.output);
                rows = std::make_unique<TBottomUpRows>(*file, w, h);
            });
        };
        sink.row = [&](int y, const uint8_t* bgr) { save([&] { rows->Put(y, bgr); }); };
        try {
            DecodeJpegRows(*bytes, decode, sink);
        } catch (const std::exception& e) {
            throw ESourceReadError(EInOutError(0, DescribeError(e)));
        }
        if (saveError) std::rethrow_exception(saveError);
        return [file] { file->Commit(); };
    };
}

// Streaming writes by offset, which a device or pipe does not take.
bool OutputSeekable(const std::string& output) {
    struct stat st {};
    return ::stat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

SaveStep LoadWhole(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options) {
    const ImageKind kind = KindByName(item.input);
    TMemoryBudget::Reservation held = options.budget->Reserve(WholeImageBytes(item.input, kind, options.limit));
    LoadOptions load;
    load.onWarning = [&notes](const std::string& text) { notes.warnings.push_back(text); };
    load.limit = options.limit;
    std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, item.input, load);
    if (!map) throw EInOutError(2);
    notes.width = map->Width();
    notes.height = map->Height();
    if (options.keepImage) options.keepImage(item, map);
    return [map, held, &item, output = options.output]() -> CommitStep {
        if (std::string why = NothingToSave(item.input, map->Width(), map->Height()); !why.empty())
            throw EQuenlo(why);
        std::shared_ptr<TAtomicFile> file = PrepareImageFile(*map, item.output, output);
        return [file] { file->Commit(); };
    };
}

}  // namespace

// Reads what the save needs and returns the save. Raw data is only opened.
LoadStep ItemLoader(ItemLoaderOptions options) {
    if (!options.budget) options.budget = std::make_shared<TMemoryBudget>(DefaultMemoryBudget());
    return [options = std::move(options)](const BatchItem& item, ItemNotes& notes) -> SaveStep {
        if (!FileExists(item.input)) throw EInOutError(2);
        if (options.raw && IsRawData(item.input, options.rawExt))
            return SaveRaw(std::make_shared<TRawPair>(item.input, *options.raw), item, notes, options.output);
        const ImageKind kind = KindByName(item.input);
        if (kind == ImageKind::RawPair)
            return SaveRaw(std::make_shared<TRawPair>(item.ipr, item.rgb), item, notes, options.output);
        // Streamed only into a .bmp, whose rows go bottom-up by offset.
        if (kind == ImageKind::Jpeg && options.output.format == OutputFormat::Bmp && !options.keepImage &&
            OutputSeekable(item.output))
            return StreamJpeg(item, notes, options);
        return LoadWhole(item, notes, options);
    };
}

}  // namespace quenlo
