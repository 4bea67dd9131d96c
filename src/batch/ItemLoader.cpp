#include "batch/ItemLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "batch/InPlace.h"
#include "imageio/AtomicFile.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/FileIo.h"
#include "imageio/GifReader.h"
#include "imageio/HeaderMeta.h"
#include "imageio/HeifReader.h"
#include "imageio/WebpReader.h"
#include "imageio/ImageKind.h"
#include "imageio/JpegReader.h"
#include "imageio/PngReader.h"
#include "imageio/RgbSwap.h"
#include "imageio/TiffReader.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "low/Messages.h"
#include "pixelmap/Resample.h"

namespace quenlo {

namespace {

// Neither format can usefully exceed 4 GiB (a .bmp cannot state more).
constexpr size_t kMaxFile = UINT32_MAX;

// The save of an opened raw image: rows stream into the file while it is written.
SaveStep SaveRaw(std::shared_ptr<TRawPair> raw, const BatchItem& item, ItemNotes& notes, const OutputOptions& output) {
    notes.SetSize(raw->Width(), raw->Height());
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

// Memory a whole-image load will take: the file, read at once, and its map
// and the decoder's own buffers. The size comes from the file's first
// bytes, which hold a .bmp's headers, a .gif's records before its pixels
// and, but for rare huge metadata, a .jpg's markers up to its first scan;
// a HEIF file's boxes are read on their own. What the file holds counts,
// not its name. The load reads the whole file itself, but for a .tif, read
// as it goes. Turning a map upright copies it.
uint64_t WholeImageBytes(const std::string& name, ImageKind named, const PixelLimit& limit, bool autoOrient) {
    const uint64_t file = FileBytes(name);
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file, 1u << 20)));
    head.resize(TInputFile(name).Read(head.data(), head.size()));
    const ImageKind held = KindByContent(head);
    const ImageKind kind = held != ImageKind::None ? held : named;
    try {
        switch (kind) {
            case ImageKind::Bmp:
                if (const auto claim = ClaimedBmpSize(head)) return file + MapBytes(claim->width, claim->height, limit);
                break;
            case ImageKind::Jpeg: {
                const JpegFrame frame = ReadJpegFrame(head);
                return file + MapBytes(frame.width, frame.height, limit) + static_cast<uint64_t>(frame.coefficientBytes);
            }
            case ImageKind::Png: {
                const PngFrame frame = ReadPngFrame(head);
                return file + MapBytes(frame.width, frame.height, limit) + frame.workingBytes;
            }
            case ImageKind::Tiff: {
                // An ARGB map when alpha may be kept.
                const TiffFrame frame = ReadTiffFrame(name);
                return MapBytes(frame.width, frame.height, limit) / 3 * (frame.alpha ? 4 : 3) * (autoOrient ? 2 : 1) +
                       frame.workingBytes;
            }
            case ImageKind::Gif: {
                // An ARGB map at most, 4 bytes a pixel.
                const GifCanvas canvas = ReadGifCanvas(head);
                return file + MapBytes(canvas.width, canvas.height, limit) / 3 * 4;
            }
            case ImageKind::WebP: {
                // The decoder's R, G, B, A rows besides the map (an ARGB map at most), and its turned copy.
                const WebPFrame frame = ReadWebPFrame(head);
                return file + MapBytes(frame.width, frame.height, limit) / 3 * (autoOrient ? 12 : 8);
            }
            case ImageKind::Heic:
            case ImageKind::Avif: {
                const HeifFrame frame = ReadHeifFrame(name);
                if (MapBytes(frame.width, frame.height, limit) == 0) break;
                return file + frame.decodeBytes;
            }
            default: break;
        }
    } catch (const EQuenlo&) {
        // The load itself says what is wrong.
    }
    return file;
}

// Rows given top first go where a bottom-up .bmp keeps them, gathered in
// bands of about 1 MiB that are each one contiguous write. A profile goes
// after the rows at once.
class TBottomUpRows {
public:
    TBottomUpRows(TAtomicFile& file, int32_t width, int32_t height, const ImageMeta& meta = {})
        : file_(file), height_(height), headerSize_(BmpHeaderSize(width, height, meta)), rowSize_(BmpRowSize(width)),
          rowBytes_(static_cast<size_t>(width) * 3),
          slots_(std::clamp<size_t>((1u << 20) / rowSize_, 1, static_cast<size_t>(height))),
          band_(slots_ * rowSize_, 0) {
        uint8_t header[kBmpV5HeaderSize];
        PutBmpHeader(header, width, height, meta);
        file_.Write(header, headerSize_);
        if (headerSize_ == kBmpV5HeaderSize)
            file_.WriteAt(meta.icc.data(), meta.icc.size(), headerSize_ + uint64_t{rowSize_} * static_cast<uint64_t>(height));
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
        file_.WriteAt(&band_[(slots_ - filled_) * rowSize_], filled_ * rowSize_, headerSize_ + lowest * rowSize_);
        filled_ = 0;
    }

    TAtomicFile& file_;
    const int32_t height_;
    const size_t headerSize_, rowSize_, rowBytes_, slots_;
    std::vector<uint8_t> band_;  // padding bytes stay zero
    int32_t top_ = 0;
    size_t filled_ = 0;
};

SaveStep LoadWhole(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options);

// Decoded rows into the output format as they come: a .bmp bottom-up by
// offset, the others through their row encoders.
class TRowOutput {
public:
    TRowOutput(TAtomicFile& file, int32_t width, int32_t height, const OutputOptions& output, const ImageMeta& meta) {
        if (output.format == OutputFormat::Bmp) bmp_ = std::make_unique<TBottomUpRows>(file, width, height, meta);
        else encoder_ = OpenRowEncoder(file, width, height, RawOrder::Bgr, output, meta);
    }
    void Put(int32_t y, const uint8_t* bgr) {
        if (bmp_) bmp_->Put(y, bgr);
        else encoder_->Rows(bgr, 1);
    }
    // Times the rows are wanted, each time from the top.
    int Passes() const { return encoder_ ? encoder_->Passes() : 1; }
    void Finish() {
        if (encoder_) encoder_->Finish();
    }

private:
    std::unique_ptr<TBottomUpRows> bmp_;
    std::unique_ptr<TRowEncoder> encoder_;
};

// What an encoder holds beyond the rows it is given: a progressive JPEG
// keeps every coefficient (2 bytes a sample, up to 3 samples a pixel), a
// WebP the picture and its YUV planes (about 5 bytes a pixel, measured),
// the others a few bands.
uint64_t EncoderBytes(int64_t width, int64_t height, const OutputOptions& output) {
    if (output.format == OutputFormat::Bmp) return 0;
    if (output.format == OutputFormat::Jpeg && output.progressive) return static_cast<uint64_t>(width * height) * 6;
    if (output.format == OutputFormat::WebP) return static_cast<uint64_t>(width * height) * 5;
    return 16u << 20;
}

// Rows decoded from a streamed input into its output, the decoding run once
// for each pass the encoder asks for; decode(pass, sink) runs it once. A load
// error outranks a save error, as when the image is decoded first: after a
// failed create or write the decoding still goes on.
CommitStep StreamRowsInto(const std::string& outputName, const OutputOptions& output, const ImageMeta& meta,
                          const std::function<void(int pass, const JpegRows& sink)>& decode) {
    std::shared_ptr<TAtomicFile> file;
    std::unique_ptr<TRowOutput> rows;
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
    int pass = 0, passes = 1;
    JpegRows sink;
    sink.start = [&](int w, int h) {
        if (pass > 0) return;
        save([&] {
            file = std::make_shared<TAtomicFile>(outputName);
            rows = std::make_unique<TRowOutput>(*file, w, h, output, meta);
        });
    };
    sink.row = [&](int y, const uint8_t* bgr) { save([&] { rows->Put(y, bgr); }); };
    for (; pass < passes; ++pass) {
        try {
            decode(pass, sink);
        } catch (const std::exception& e) {
            throw ESourceReadError(EInOutError(0, DescribeError(e)));
        }
        if (saveError) break;
        passes = rows ? rows->Passes() : 1;
    }
    save([&] { rows->Finish(); });
    if (saveError) std::rethrow_exception(saveError);
    return [file] { file->Commit(); };
}

// A .jpg read and its header checked; decoded only while it is saved, as
// often as the encoder asks for its rows.
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
    // Turned or converted pixels need the whole image.
    auto meta = std::make_shared<ImageMeta>();
    ReadJpegMeta(*bytes, *meta);
    if ((options.autoOrient && meta->orientation != 1) || (options.icc == IccMode::Srgb && !meta->icc.empty()))
        return LoadWhole(item, notes, options);
    if (options.icc == IccMode::Strip) meta->icc.clear();
    TPixelMap::CheckedDataSize(frame.width, frame.height, 3);
    CheckPixelLimit(frame.width, frame.height, options.limit);
    notes.SetSize(frame.width, frame.height);
    // The file, the coefficients of a multi-scan file, bands of rows, and the encoder's own.
    const uint64_t need = bytes->size() + static_cast<uint64_t>(frame.coefficientBytes) +
                          static_cast<uint64_t>(frame.width) * 3 * 64 + (2u << 20) +
                          EncoderBytes(frame.width, frame.height, options.output);
    TMemoryBudget::Reservation held = options.budget->Reserve(need);
    const PixelLimit limit = options.limit;
    return [bytes, meta, held, limit, &item, &notes, output = options.output]() -> CommitStep {
        JpegOptions decode;
        decode.limit = limit;
        return StreamRowsInto(item.output, output, *meta, [&](int pass, const JpegRows& sink) {
            // Warnings once: a second decoding finds the same.
            if (pass == 0) decode.onWarning = [&notes](const std::string& text) { notes.Warn(text); };
            else decode.onWarning = nullptr;
            DecodeJpegRows(*bytes, decode, sink);
        });
    };
}

// A .png read and its header checked; decoded row by row only while it is
// saved, so memory is the file and a few rows, not the picture.
SaveStep StreamPng(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options) {
    auto bytes = std::make_shared<const std::vector<uint8_t>>(ReadFileBytes(item.input, kMaxFile));
    PngFrame frame;
    try {
        frame = ReadPngFrame(*bytes);
    } catch (const EInvalidGraphic&) {
        // Read whole: another format under a PNG's name, or the reader's message.
        return LoadWhole(item, notes, options);
    }
    // An interlaced file's passes fill the whole picture before any row;
    // alpha and a profile's conversion need the whole picture too.
    auto meta = std::make_shared<ImageMeta>();
    ReadPngMeta(*bytes, *meta);
    if (frame.interlaced || meta->alpha || (options.icc == IccMode::Srgb && !meta->icc.empty()))
        return LoadWhole(item, notes, options);
    if (options.icc == IccMode::Strip) meta->icc.clear();
    TPixelMap::CheckedDataSize(frame.width, frame.height, 3);
    CheckPixelLimit(frame.width, frame.height, options.limit);
    notes.SetSize(frame.width, frame.height);
    // The file, the decoder's rows, and the writer's band of rows.
    const uint64_t need = bytes->size() + frame.workingBytes + static_cast<uint64_t>(frame.width) * 3 * 64 + (2u << 20) +
                          EncoderBytes(frame.width, frame.height, options.output);
    TMemoryBudget::Reservation held = options.budget->Reserve(need);
    return [bytes, meta, held, limit = options.limit, output = options.output, &item]() -> CommitStep {
        return StreamRowsInto(item.output, output, *meta,
                              [&](int, const JpegRows& sink) { DecodePngRows(*bytes, limit, PngRows{sink.start, sink.row}); });
    };
}

// Streaming writes by offset (a .bmp's rows go bottom-up, a .tif's header
// last), which a device or pipe does not take.
bool OutputSeekable(const std::string& output) {
    struct stat st {};
    return ::stat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

// Formats whose files can hold an alpha channel.
bool HoldsAlpha(OutputFormat format) {
    return format == OutputFormat::Png || format == OutputFormat::Tiff || format == OutputFormat::WebP;
}

// The profile as --icc asks: kept, dropped, or the pixels turned into
// sRGB and the profile dropped (kept, with a warning, when it cannot be applied).
void ApplyIcc(TPixelMap& map, ImageMeta& meta, IccMode mode, ItemNotes& notes) {
    if (meta.icc.empty() || mode == IccMode::Keep) return;
    if (mode == IccMode::Srgb && !ConvertToSrgb(map, meta.icc)) {
        notes.warnings.push_back(Tr("the ICC profile is not an RGB profile Little CMS reads; the pixels are left as stored"));
        return;
    }
    meta.icc.clear();
}

SaveStep LoadWhole(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options) {
    const ImageKind kind = KindByName(item.input);
    TMemoryBudget::Reservation held =
        options.budget->Reserve(WholeImageBytes(item.input, kind, options.limit, options.autoOrient));
    auto meta = std::make_shared<ImageMeta>();
    LoadOptions load;
    load.autoOrient = options.autoOrient;
    load.onWarning = [&notes](const std::string& text) { notes.Warn(text); };
    load.limit = options.limit;
    load.meta = meta.get();
    load.background = options.background.value_or(0xFFFFFF);
    load.keepAlpha = !options.background && HoldsAlpha(options.output.format);
    std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, item.input, load);
    if (!map) throw EInOutError(2);
    ApplyIcc(*map, *meta, options.icc, notes);
    notes.SetSize(map->Width(), map->Height());
    if (options.keepImage) options.keepImage(item, map);
    return [map, meta, held, &item, output = options.output]() -> CommitStep {
        if (std::string why = NothingToSave(item.input, map->Width(), map->Height()); !why.empty())
            throw EQuenlo(why);
        std::shared_ptr<TAtomicFile> file = PrepareImageFile(*map, item.output, output, *meta);
        return [file] { file->Commit(); };
    };
}

// Resizing. Source rows (a raw image's, a JPEG's as they are decoded, or a
// whole map's) go through the resampler into the output's rows, so only
// the file and a few bands of rows are held.

// The rows of a .bmp, put bottom-up by offset.
class TBmpRowSink : public TRowSink {
public:
    TBmpRowSink(TAtomicFile& file, int32_t width, int32_t height, const ImageMeta& meta)
        : rows_(file, width, height, meta), rowBytes_(static_cast<size_t>(width) * 3) {}
    void Rows(const uint8_t* rows, size_t n) override {
        for (size_t i = 0; i < n; ++i) rows_.Put(y_++, rows + i * rowBytes_);
    }

private:
    TBottomUpRows rows_;
    const size_t rowBytes_;
    int32_t y_ = 0;
};

// The rows gathered into a map: the window's preview, or a .bmp that cannot be written by offset.
class TMapRowSink : public TRowSink {
public:
    TMapRowSink(int32_t width, int32_t height) : map_(std::make_shared<TPixelMapRGB>()) { map_->SetSize(width, height); }
    void Rows(const uint8_t* rows, size_t n) override {
        const size_t bytes = static_cast<size_t>(map_->Width()) * 3;
        for (size_t i = 0; i < n && y_ < map_->Height(); ++i) std::memcpy(map_->ScanLine(y_++), rows + i * bytes, bytes);
    }
    std::shared_ptr<TPixelMapRGB> Map() const { return map_; }

private:
    std::shared_ptr<TPixelMapRGB> map_;
    int32_t y_ = 0;
};

// Red and blue traded on the way: a raw image's R,G,B rows into a .bmp or map.
class TSwapSink : public TRowSink {
public:
    TSwapSink(TRowSink& out, int32_t width) : out_(out), line_(static_cast<size_t>(width) * 3) {}
    void Rows(const uint8_t* rows, size_t n) override {
        for (size_t i = 0; i < n; ++i) {
            SwapRedBlue(rows + i * line_.size(), line_.data(), line_.size() / 3);
            out_.Rows(line_.data(), 1);
        }
    }

private:
    TRowSink& out_;
    std::vector<uint8_t> line_;
};

// Passes rows on until the first failure, which it keeps: the source is
// still read to its end, because a load error outranks a save error.
class TGuardedSink : public TRowSink {
public:
    explicit TGuardedSink(TRowSink* out) : out_(out) {}
    void Rows(const uint8_t* rows, size_t n) override {
        if (error || !out_) return;
        try {
            out_->Rows(rows, n);
        } catch (...) {
            error = std::current_exception();
        }
    }
    std::exception_ptr error;

private:
    TRowSink* out_;  // null: rows are only read
};

// What is resized: its size, its rows' order, and how to feed them on.
struct ResizeSource {
    int32_t width = 0, height = 0;
    int64_t fullWidth = 0, fullHeight = 0;  // before a JPEG's scaled decoding
    int scale = 1;
    RawOrder order = RawOrder::Bgr;
    std::function<void(TRowSink&)> feed;  // throws a load error
    bool again = false;  // set: feeding once more, for an encoder's second pass; warnings are noted
};

// The resize itself: source rows in, rows of outW x outH out to sink (in the source's order).
// sink null: only the source is read, for its errors. Returns the save error.
std::exception_ptr RunResize(const ResizeSource& source, const ResizeRequest& request, int32_t outW, int32_t outH,
                             TRowSink* sink) {
    struct TDrop : TRowSink {
        void Rows(const uint8_t*, size_t) override {}
    } drop;
    if (!sink) sink = &drop;
    std::unique_ptr<TThumbnailChain> chain;
    std::unique_ptr<TRowResampler> resampler;
    TRowSink* input;
    if (request.thumbnail) {
        chain = std::make_unique<TThumbnailChain>(source.width, source.height, source.fullWidth, source.fullHeight,
                                                  source.scale, outW, outH, request.filter, *sink);
        input = &chain->Input();
    } else {
        resampler = std::make_unique<TRowResampler>(source.width, source.height, outW, outH, request.filter, *sink);
        input = resampler.get();
    }
    TGuardedSink guard(input);
    source.feed(guard);
    if (!guard.error && !(chain ? chain->Done() : resampler->Done()))
        throw ESourceReadError(EInOutError(0, Tr("the image ended before its last row")));
    return guard.error;
}

SaveStep LoadResized(const BatchItem& item, ItemNotes& notes, const ItemLoaderOptions& options) {
    const ResizeRequest& request = *options.resize;
    const PixelLimit limit = options.limit;
    auto source = std::make_shared<ResizeSource>();
    uint64_t need = 2u << 20;  // bands of rows and the decoder's own
    std::shared_ptr<TRawPair> raw;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::shared_ptr<TPixelMap> map;
    // What the output states besides its pixels: the source's, the resolution scaled below.
    auto meta = std::make_shared<ImageMeta>();
    const ImageKind kind = KindByName(item.input);
    if (options.raw && IsRawData(item.input, options.rawExt)) raw = std::make_shared<TRawPair>(item.input, *options.raw);
    else if (kind == ImageKind::RawPair) raw = std::make_shared<TRawPair>(item.ipr, item.rgb);
    if (raw) {
        // As SaveRaw: only an empty image is refused, whatever headerless data is named.
        if (raw->Width() == 0 || raw->Height() == 0) throw EQuenlo(NothingToSave(item.input, raw->Width(), raw->Height()));
        source->width = raw->Width();
        source->height = raw->Height();
        source->order = raw->Order();
        need += static_cast<uint64_t>(source->width) * 3 * 16;
        source->feed = [raw](TRowSink& in) {
            const size_t rowBytes = static_cast<size_t>(raw->Width()) * 3;
            const size_t step = std::clamp<size_t>((256u << 10) / rowBytes, 1, static_cast<size_t>(raw->Height()));
            std::vector<uint8_t> rows(step * rowBytes);
            for (int64_t top = 0; top < raw->Height(); top += static_cast<int64_t>(step)) {
                const size_t n = std::min<size_t>(step, static_cast<size_t>(raw->Height() - top));
                raw->ReadRows(top, n, rows.data());
                in.Rows(rows.data(), n);
            }
        };
    } else if (kind == ImageKind::Jpeg && !options.autoOrient) {
        // Turned upright, a JPEG is decoded whole below: the loader turns it before the resize.
        bytes = std::make_shared<const std::vector<uint8_t>>(ReadFileBytes(item.input, kMaxFile));
        try {
            const JpegFrame frame = ReadJpegFrame(*bytes);
            source->width = frame.width;
            source->height = frame.height;
            need += bytes->size() + static_cast<uint64_t>(frame.coefficientBytes) + static_cast<uint64_t>(frame.width) * 3 * 64;
            ReadJpegMeta(*bytes, *meta);
        } catch (const EJpegError&) {
            // Another format under a JPEG's name is read whole, like any other image.
            const ImageKind held = KindByContent(*bytes);
            if (held == ImageKind::None || held == ImageKind::Jpeg) throw;
            bytes.reset();
        }
    } else if (kind == ImageKind::Png && !options.autoOrient) {
        bytes = std::make_shared<const std::vector<uint8_t>>(ReadFileBytes(item.input, kMaxFile));
        try {
            const PngFrame frame = ReadPngFrame(*bytes);
            ReadPngMeta(*bytes, *meta);
            // An interlaced file's passes fill the whole picture before any row, and
            // alpha is laid over the background by the whole-picture reader: read whole.
            if (frame.interlaced || meta->alpha) bytes.reset();
            source->width = static_cast<int32_t>(std::min<int64_t>(frame.width, INT32_MAX));
            source->height = static_cast<int32_t>(std::min<int64_t>(frame.height, INT32_MAX));
            need += bytes ? bytes->size() + frame.workingBytes : 0;
        } catch (const EInvalidGraphic&) {
            bytes.reset();  // read whole: another format under a PNG's name, or the reader's message
        }
    }
    // Pixels turned into sRGB need the whole image.
    if (bytes && options.icc == IccMode::Srgb && !meta->icc.empty()) bytes.reset();
    if (bytes) {
        TPixelMap::CheckedDataSize(source->width, source->height, 3);
        CheckPixelLimit(source->width, source->height, limit);
    }
    const bool jpeg = bytes && kind == ImageKind::Jpeg;
    TMemoryBudget::Reservation held;
    if (!raw && !bytes) {
        // Reserved before the load, once: a job never waits while it holds a reservation.
        held = options.budget->Reserve(need + WholeImageBytes(item.input, kind, limit, options.autoOrient));
        *meta = ImageMeta();  // the reader states it
        LoadOptions load;
        load.autoOrient = options.autoOrient;
        load.onWarning = [&notes](const std::string& text) { notes.Warn(text); };
        load.limit = limit;
        load.background = options.background.value_or(0xFFFFFF);
        load.meta = meta.get();
        map = LoadImageFile(PixelKind::RGB, item.input, load);
        if (!map) throw EInOutError(2);
        ApplyIcc(*map, *meta, options.icc, notes);
        if (std::string why = NothingToSave(item.input, map->Width(), map->Height()); !why.empty()) throw EQuenlo(why);
        source->width = map->Width();
        source->height = map->Height();
        source->feed = [map](TRowSink& in) { in.Rows(map->ScanLine(0), static_cast<size_t>(map->Height())); };
    }
    source->fullWidth = source->width;
    source->fullHeight = source->height;
    int32_t outW, outH;
    if (request.thumbnail) {
        const auto [boxW, boxH] = ThumbnailBox(request.geometry, source->width, source->height);
        const ThumbnailPlan plan = PlanThumbnail(source->width, source->height, boxW, boxH, jpeg);
        outW = plan.resize ? plan.width : source->width;
        outH = plan.resize ? plan.height : source->height;
        if (plan.resize && plan.scale > 1) {
            // The decoder's scaled size: each side divided, rounded up.
            source->scale = plan.scale;
            source->width = static_cast<int32_t>((source->fullWidth + plan.scale - 1) / plan.scale);
            source->height = static_cast<int32_t>((source->fullHeight + plan.scale - 1) / plan.scale);
        }
    } else {
        std::tie(outW, outH) = ResizedSize(request.geometry, source->width, source->height);
    }
    TPixelMap::CheckedDataSize(outW, outH, 3);
    CheckPixelLimit(outW, outH, limit);
    if (options.icc == IccMode::Strip) meta->icc.clear();
    meta->alpha = false;  // resized rows are laid over the background
    if (meta->resolution) {
        // The same physical size: pixels per unit scaled with the pixels.
        meta->resolution->x *= static_cast<double>(outW) / static_cast<double>(source->fullWidth);
        meta->resolution->y *= static_cast<double>(outH) / static_cast<double>(source->fullHeight);
    }
    if (bytes && !jpeg) {
        source->feed = [bytes, limit](TRowSink& in) {
            PngRows rows;
            rows.start = [](int32_t, int32_t) {};
            rows.row = [&in](int32_t, const uint8_t* bgr) { in.Rows(bgr, 1); };
            try {
                DecodePngRows(*bytes, limit, rows);
            } catch (const std::exception& e) {
                throw ESourceReadError(EInOutError(0, DescribeError(e)));
            }
        };
    } else if (jpeg) {
        source->feed = [bytes, limit, scale = source->scale, &notes, self = source.get()](TRowSink& in) {
            JpegOptions decode;
            decode.onWarning = [&notes, self](const std::string& text) {
                if (!self->again) notes.Warn(text);
            };
            decode.limit = limit;
            decode.scale = scale;
            JpegRows rows;
            rows.row = [&in](int, const uint8_t* bgr) { in.Rows(bgr, 1); };
            try {
                DecodeJpegRows(*bytes, decode, rows);
            } catch (const std::exception& e) {
                throw ESourceReadError(EInOutError(0, DescribeError(e)));
            }
        };
    }
    notes.SetSize(outW, outH);
    // The result held whole: for the preview, or a .bmp that cannot be written by offset.
    const bool whole = options.keepImage || (options.output.format == OutputFormat::Bmp && !OutputSeekable(item.output));
    if (whole) need += static_cast<uint64_t>(outW) * static_cast<uint64_t>(outH) * 3;
    if (!held) held = options.budget->Reserve(need);
    if (options.keepImage) {
        map.reset();  // the source's own reference stays until the resize is done
        auto result = std::make_unique<TMapRowSink>(outW, outH);
        TSwapSink swapped(*result, outW);
        const bool swap = source->order == RawOrder::Rgb;
        if (std::exception_ptr e = RunResize(*source, request, outW, outH, swap ? &swapped : static_cast<TRowSink*>(result.get())))
            std::rethrow_exception(e);
        std::shared_ptr<TPixelMap> shown = result->Map();
        source.reset();
        options.keepImage(item, shown);
        return [shown, meta, held, &item, output = options.output]() -> CommitStep {
            std::shared_ptr<TAtomicFile> file = PrepareImageFile(*shown, item.output, output, *meta);
            return [file] { file->Commit(); };
        };
    }
    return [source, meta, held, request, outW, outH, whole, &item, output = options.output]() -> CommitStep {
        // A .bmp and a map take B,G,R; the encoders take either order.
        const bool swap = source->order == RawOrder::Rgb;
        std::shared_ptr<TAtomicFile> file;
        std::unique_ptr<TMapRowSink> result;
        std::unique_ptr<TBmpRowSink> bmp;
        std::unique_ptr<TRowEncoder> encoder;
        std::unique_ptr<TSwapSink> swapped;
        TRowSink* sink = nullptr;
        std::exception_ptr saveError;
        try {
            if (whole) {
                result = std::make_unique<TMapRowSink>(outW, outH);
                sink = result.get();
            } else {
                file = std::make_shared<TAtomicFile>(item.output);
                if (output.format == OutputFormat::Bmp) {
                    bmp = std::make_unique<TBmpRowSink>(*file, outW, outH, *meta);
                    sink = bmp.get();
                } else {
                    encoder = OpenRowEncoder(*file, outW, outH, source->order, output, *meta);
                    sink = encoder.get();
                }
            }
            if (swap && !encoder) {
                swapped = std::make_unique<TSwapSink>(*sink, outW);
                sink = swapped.get();
            }
        } catch (...) {
            saveError = std::current_exception();
            sink = nullptr;
        }
        std::exception_ptr runError = RunResize(*source, request, outW, outH, sink);
        for (int pass = 1; encoder && !runError && pass < encoder->Passes(); ++pass) {
            source->again = true;
            runError = RunResize(*source, request, outW, outH, sink);
        }
        if (!saveError) saveError = runError;
        if (saveError) std::rethrow_exception(saveError);
        if (result) {
            std::shared_ptr<TAtomicFile> made = PrepareImageFile(*result->Map(), item.output, output, *meta);
            return [made] { made->Commit(); };
        }
        if (encoder) encoder->Finish();
        return [file] { file->Commit(); };
    };
}

// Says what is wrong with a source that cannot be read at all, or is empty.
void CheckSource(const std::string& input) {
    struct stat st {};
    if (input.empty() || ::stat(input.c_str(), &st) != 0) {
        if (errno == ENAMETOOLONG) throw EInOutError(3, Tr("file name too long"));
        throw EInOutError(2);
    }
    if (S_ISDIR(st.st_mode)) throw EInOutError(2);
    // An empty .ipr is an empty image; an empty picture file is no picture.
    const ImageKind kind = KindByName(input);
    if (S_ISREG(st.st_mode) && st.st_size == 0 && kind != ImageKind::RawPair && kind != ImageKind::None)
        throw EInvalidGraphic(Tr("empty file"));
}

}  // namespace

// Reads what the save needs and returns the save. Raw data is only opened.
LoadStep ItemLoader(ItemLoaderOptions options) {
    if (!options.budget) options.budget = std::make_shared<TMemoryBudget>(DefaultMemoryBudget());
    return [options = std::move(options)](const BatchItem& item, ItemNotes& notes) -> SaveStep {
        CheckSource(item.input);
        const bool rawData = options.raw && IsRawData(item.input, options.rawExt);
        // A failed save, which never stops the batch; the source is not read.
        if (!options.replaceSources && !rawData)
            if (std::string why = InPlaceRefusal(item, options); !why.empty())
                return [why = std::move(why)]() -> CommitStep { throw EQuenlo(why); };
        if (options.resize) return LoadResized(item, notes, options);
        if (rawData) return SaveRaw(std::make_shared<TRawPair>(item.input, *options.raw), item, notes, options.output);
        const ImageKind kind = KindByName(item.input);
        if (kind == ImageKind::RawPair)
            return SaveRaw(std::make_shared<TRawPair>(item.ipr, item.rgb), item, notes, options.output);
        if (kind == ImageKind::Jpeg && !options.keepImage && OutputSeekable(item.output))
            return StreamJpeg(item, notes, options);
        if (kind == ImageKind::Png && !options.keepImage && OutputSeekable(item.output))
            return StreamPng(item, notes, options);
        return LoadWhole(item, notes, options);
    };
}

}  // namespace quenlo
