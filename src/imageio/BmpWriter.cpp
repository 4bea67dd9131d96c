#include "imageio/BmpWriter.h"

#include <algorithm>
#include <cstring>

#include "imageio/ResolutionUnits.h"

namespace quenlo {

namespace {
void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
}  // namespace

size_t BmpHeaderSize(int32_t width, int32_t height, const ImageMeta& meta) {
    if (meta.icc.empty()) return kBmpHeaderSize;
    const uint64_t total = kBmpV5HeaderSize + uint64_t{BmpRowSize(width)} * static_cast<uint32_t>(height) + meta.icc.size();
    return total <= UINT32_MAX ? kBmpV5HeaderSize : kBmpHeaderSize;
}

void PutBmpHeader(uint8_t* header, int32_t width, int32_t height, const ImageMeta& meta) {
    const uint32_t dataSize = BmpRowSize(width) * static_cast<uint32_t>(height);
    const size_t headerSize = BmpHeaderSize(width, height, meta);
    const bool v5 = headerSize == kBmpV5HeaderSize;
    std::memset(header, 0, headerSize);
    header[0] = 'B';
    header[1] = 'M';
    Put32(&header[2], static_cast<uint32_t>(headerSize + dataSize + (v5 ? meta.icc.size() : 0)));
    Put32(&header[10], static_cast<uint32_t>(headerSize));
    Put32(&header[14], static_cast<uint32_t>(headerSize - 14));
    Put32(&header[18], static_cast<uint32_t>(width));
    Put32(&header[22], static_cast<uint32_t>(height));
    Put16(&header[26], 1);
    Put16(&header[28], 24);
    Put32(&header[34], dataSize);
    if (const auto& r = meta.resolution) {
        Put32(&header[38], PixelsPerMetre(r->x, r->unit));
        Put32(&header[42], PixelsPerMetre(r->y, r->unit));
    }
    if (v5) {
        // Colour space PROFILE_EMBEDDED ('MBED'), intent LCS_GM_IMAGES; the
        // profile's place counts from the info header's start.
        uint8_t* info = header + 14;
        Put32(info + 56, 0x4D424544);
        Put32(info + 108, 4);
        Put32(info + 112, 124 + dataSize);
        Put32(info + 116, static_cast<uint32_t>(meta.icc.size()));
    }
}

void WriteBmp(const TPixelMapRGB& map, const ByteSink& sink, const ImageMeta& meta) {
    const uint32_t w = static_cast<uint32_t>(map.Width()), h = static_cast<uint32_t>(map.Height());
    const uint32_t rowSize = BmpRowSize(map.Width());
    uint8_t header[kBmpV5HeaderSize];
    PutBmpHeader(header, map.Width(), map.Height(), meta);
    const bool v5 = BmpHeaderSize(map.Width(), map.Height(), meta) == kBmpV5HeaderSize;
    sink(header, v5 ? kBmpV5HeaderSize : kBmpHeaderSize);
    // The profile after the rows, in pieces of 1 MiB.
    auto profile = [&] {
        for (size_t at = 0; v5 && at < meta.icc.size(); at += 1u << 20)
            sink(meta.icc.data() + at, std::min<size_t>(1u << 20, meta.icc.size() - at));
    };
    if (w == 0 || h == 0) return profile();

    // Gather whole padded rows into one buffer of about 1 MiB, so the sink
    // sees few large writes; the padding bytes stay zero.
    const size_t rowsPerChunk = std::max<size_t>(1, (1u << 20) / rowSize);
    std::vector<uint8_t> chunk(std::min<size_t>(rowsPerChunk, h) * rowSize, 0);
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    size_t filled = 0;
    for (int32_t y = map.MaxY(); y >= 0; --y) {
        std::memcpy(chunk.data() + filled, map.ScanLine(y), rowBytes);
        filled += rowSize;
        if (filled == chunk.size()) {
            sink(chunk.data(), filled);
            filled = 0;
        }
    }
    if (filled) sink(chunk.data(), filled);
    profile();
}

std::vector<uint8_t> EncodeBmp(const TPixelMapRGB& map, const ImageMeta& meta) {
    const size_t header = BmpHeaderSize(map.Width(), map.Height(), meta);
    std::vector<uint8_t> out(header + static_cast<size_t>(BmpRowSize(map.Width())) * map.Height() +
                             (header == kBmpV5HeaderSize ? meta.icc.size() : 0));
    size_t at = 0;
    WriteBmp(map, [&](const uint8_t* p, size_t n) {
        std::memcpy(out.data() + at, p, n);
        at += n;
    }, meta);
    return out;
}

}  // namespace quenlo
