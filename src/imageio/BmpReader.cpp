#include "imageio/BmpReader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "low/Errors.h"
#include "low/Messages.h"

#include <cstdlib>

namespace quenlo {

namespace {

// Compression codes of the information header. OS/2 2.x headers reuse 3 and
// 4 for Huffman 1D and 24-bit RLE.
enum : uint32_t {
    kNone = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

constexpr size_t kFileHeaderSize = 14;

[[noreturn]] void Fail(const char* detail) { throw EInvalidGraphic(detail); }

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

using Bgr = std::array<uint8_t, 3>;

struct Layout {
    int32_t width = 0;
    int32_t height = 0;  // always positive; topDown tells the row order
    bool topDown = false;
    int bpp = 0;
    uint32_t compression = kNone;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue; used for 16 and 32 bits
    size_t dataOffset = 0;
    // Entries the file does not hold stay black, so any index is safe to look up.
    std::array<Bgr, 256> palette{};
};

bool KnownHeaderSize(uint32_t size) {
    switch (size) {
        case 12:           // OS/2 1.x core header
        case 16: case 64:  // OS/2 2.x, short and full
        case 40: case 52: case 56: case 108: case 124:
            return true;
        default:
            return false;
    }
}

bool ValidMask(uint32_t mask, int bpp) {
    if (mask == 0) return false;
    if (bpp < 32 && (mask >> bpp) != 0) return false;
    const uint32_t low = mask >> std::countr_zero(mask);
    return (low & (low + 1)) == 0;  // one contiguous run of ones
}

// The two headers as written, before any field is checked.
struct RawHeader {
    uint32_t offset = 0;  // of the pixel data, from the start of the file
    uint32_t size = 0;    // of the information header
    bool os2 = false;
    int64_t width = 0;
    int64_t height = 0;  // negative: top-down
    unsigned planes = 0;
    int bpp = 0;
    uint32_t compression = kNone;
    uint32_t clrUsed = 0;
};

RawHeader DecodeHeader(std::span<const uint8_t> file) {
    if (file.size() < kFileHeaderSize + 4) Fail(Tr("truncated file header"));
    const uint8_t* f = file.data();
    if (f[0] != 'B' || f[1] != 'M') Fail(Tr("not a BM signature"));
    RawHeader H;
    H.offset = U32(f + 10);
    H.size = U32(f + 14);
    if (!KnownHeaderSize(H.size)) Fail(Tr("unsupported header size"));
    if (file.size() < kFileHeaderSize + H.size) Fail(Tr("truncated information header"));
    H.os2 = H.size == 12 || H.size == 16 || H.size == 64;
    const uint8_t* h = f + kFileHeaderSize;
    if (H.size == 12) {
        H.width = U16(h + 4);
        H.height = U16(h + 6);
        H.planes = U16(h + 8);
        H.bpp = U16(h + 10);
        return H;
    }
    H.width = static_cast<int32_t>(U32(h + 4));
    H.height = static_cast<int32_t>(U32(h + 8));
    H.planes = U16(h + 12);
    H.bpp = U16(h + 14);
    if (H.size >= 40) {
        H.compression = U32(h + 16);
        H.clrUsed = U32(h + 32);
    }
    return H;
}

// Refuses planes, depths and compressions, and pairs of them, that this
// reader does not decode.
void CheckCompression(const RawHeader& H) {
    if (H.planes != 1) Fail(Tr("bad plane count"));
    switch (H.compression) {
        case kNone: break;
        case kRle8: if (H.bpp != 8) Fail(Tr("RLE8 needs 8 bits per pixel")); break;
        case kRle4: if (H.bpp != 4) Fail(Tr("RLE4 needs 4 bits per pixel")); break;
        case kBitfields:
        case kAlphaBitfields:
            if (H.os2) {
                Fail(H.compression == kBitfields ? Tr("Huffman 1D compression is not supported")
                                                 : Tr("unknown compression"));
            }
            if (H.bpp != 16 && H.bpp != 32) Fail(Tr("bit fields need 16 or 32 bits per pixel"));
            break;
        case kJpeg: Fail(H.os2 ? Tr("24-bit RLE is not supported") : Tr("embedded JPEG is not supported"));
        case kPng: Fail(Tr("embedded PNG is not supported"));
        default: Fail(Tr("unknown compression"));
    }
    switch (H.bpp) {
        case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
        default: Fail(Tr("unsupported bit count"));
    }
}

void SetDimensions(const RawHeader& H, Layout& L) {
    int64_t height = H.height;
    if (H.width <= 0) Fail(Tr("bad width"));
    if (height == 0) Fail(Tr("zero height"));
    if (height < 0) {
        L.topDown = true;
        height = -height;
        if (height > INT32_MAX) Fail(Tr("bad height"));
        if (H.compression == kRle8 || H.compression == kRle4) Fail(Tr("top-down RLE bitmap"));
    }
    L.width = static_cast<int32_t>(H.width);
    L.height = static_cast<int32_t>(height);
}

// Colour masks: inside the header from 52 bytes on, else right after a
// 40-byte header; without bit fields the depth's default. Returns where the
// palette (if any) starts.
size_t SetMasks(std::span<const uint8_t> file, const RawHeader& H, Layout& L) {
    size_t tableStart = kFileHeaderSize + H.size;
    if (H.compression == kBitfields || H.compression == kAlphaBitfields) {
        const uint8_t* m = file.data() + kFileHeaderSize + 40;
        if (H.size == 40) {
            const size_t n = H.compression == kAlphaBitfields ? 16 : 12;
            if (file.size() < tableStart + n) Fail(Tr("truncated colour masks"));
            m = file.data() + tableStart;
            tableStart += n;
        }
        for (int i = 0; i < 3; ++i) {
            L.masks[i] = U32(m + 4 * i);
            if (!ValidMask(L.masks[i], L.bpp)) Fail(Tr("bad colour mask"));
        }
    } else if (L.bpp == 16) {
        L.masks[0] = 0x7C00; L.masks[1] = 0x03E0; L.masks[2] = 0x001F;
    } else if (L.bpp == 32) {
        L.masks[0] = 0xFF0000; L.masks[1] = 0x00FF00; L.masks[2] = 0x0000FF;
    }
    return tableStart;
}

// The table between tableStart and the pixel data. Only depths up to 8 use
// it; a table in a deeper file is a hint and ignored.
void SetPalette(std::span<const uint8_t> file, const RawHeader& H, size_t tableStart, Layout& L) {
    if (L.bpp > 8) return;
    const size_t entrySize = H.size == 12 ? 3 : 4;
    const size_t room = (H.offset - tableStart) / entrySize;
    const uint32_t maxEntries = 1u << L.bpp;
    size_t count;
    if (H.clrUsed == 0) {
        // Implied full table; OS/2 writers often store a shorter one, as
        // the pixel offset shows.
        count = std::min<size_t>(maxEntries, room);
    } else if (H.clrUsed > maxEntries) {
        // Tolerated only when the whole declared table really is there.
        if (H.clrUsed > room) Fail(Tr("palette larger than the bit depth allows"));
        count = maxEntries;
    } else {
        if (H.clrUsed > room) Fail(Tr("palette overlaps the pixel data"));
        count = H.clrUsed;
    }
    const uint8_t* p = file.data() + tableStart;
    for (size_t i = 0; i < count; ++i, p += entrySize) L.palette[i] = {p[0], p[1], p[2]};
}

Layout ParseHeaders(std::span<const uint8_t> file) {
    const RawHeader H = DecodeHeader(file);
    CheckCompression(H);
    Layout L;
    L.bpp = H.bpp;
    L.compression = H.compression;
    SetDimensions(H, L);
    const size_t tableStart = SetMasks(file, H, L);
    if (H.offset < tableStart || H.offset > file.size()) Fail(Tr("bad pixel-data offset"));
    L.dataOffset = H.offset;
    SetPalette(file, H, tableStart, L);
    return L;
}

// One colour channel of a bit-field pixel, scaled to 0..255 with rounding.
class Channel {
public:
    explicit Channel(uint32_t mask)
        : mask_(mask), shift_(std::countr_zero(mask)), max_(mask >> shift_) {
        if (max_ <= 0xFFFF) {
            lut_.resize(max_ + 1);
            for (uint32_t v = 0; v <= max_; ++v) lut_[v] = Scale(v);
        }
    }
    uint8_t operator()(uint32_t pixel) const {
        const uint32_t v = (pixel & mask_) >> shift_;
        return lut_.empty() ? Scale(v) : lut_[v];
    }

private:
    uint8_t Scale(uint32_t v) const {
        return static_cast<uint8_t>((static_cast<uint64_t>(v) * 255 + max_ / 2) / max_);
    }
    uint32_t mask_;
    int shift_;
    uint32_t max_;
    std::vector<uint8_t> lut_;
};

void DecodeRows(const Layout& L, const uint8_t* data, size_t rowBytes, TPixelMapRGB& map) {
    const int32_t w = L.width;
    const int bpp = L.bpp;
    const bool plainBgrx = bpp == 32 && L.masks[0] == 0xFF0000 && L.masks[1] == 0x00FF00 &&
                           L.masks[2] == 0x0000FF;
    std::vector<Channel> ch;
    if ((bpp == 16 || bpp == 32) && !plainBgrx)
        ch = {Channel(L.masks[0]), Channel(L.masks[1]), Channel(L.masks[2])};

    for (int32_t r = 0; r < L.height; ++r) {
        const uint8_t* s = data + static_cast<size_t>(r) * rowBytes;
        uint8_t* d = map.ScanLine(L.topDown ? r : L.height - 1 - r);
        switch (bpp) {
            case 1: case 2: case 4: {
                const unsigned m = (1u << bpp) - 1;
                int shift = 8 - bpp;
                for (int32_t x = 0; x < w; ++x, d += 3) {
                    const Bgr& c = L.palette[(*s >> shift) & m];
                    d[0] = c[0]; d[1] = c[1]; d[2] = c[2];
                    shift -= bpp;
                    if (shift < 0) { shift = 8 - bpp; ++s; }
                }
                break;
            }
            case 8:
                for (int32_t x = 0; x < w; ++x, d += 3) {
                    const Bgr& c = L.palette[s[x]];
                    d[0] = c[0]; d[1] = c[1]; d[2] = c[2];
                }
                break;
            case 24:
                std::memcpy(d, s, static_cast<size_t>(w) * 3);
                break;
            case 16:
                for (int32_t x = 0; x < w; ++x, d += 3, s += 2) {
                    const uint32_t p = U16(s);
                    d[0] = ch[2](p); d[1] = ch[1](p); d[2] = ch[0](p);
                }
                break;
            case 32:
                if (plainBgrx) {
                    for (int32_t x = 0; x < w; ++x, d += 3, s += 4) {
                        d[0] = s[0]; d[1] = s[1]; d[2] = s[2];
                    }
                } else {
                    for (int32_t x = 0; x < w; ++x, d += 3, s += 4) {
                        const uint32_t p = U32(s);
                        d[0] = ch[2](p); d[1] = ch[1](p); d[2] = ch[0](p);
                    }
                }
                break;
        }
    }
}

// Pixels the stream skips (deltas, early end of line or of bitmap) are left
// black: the file gives them no colour, and black is the neutral background
// that does not depend on the palette. With no map the stream is only
// checked: the same walk, so a stream that would fail is refused before
// anything is allocated.
class RleDecoder {
public:
    RleDecoder(const Layout& L, std::span<const uint8_t> file, TPixelMapRGB* map)
        : L_(L), f_(file.data()), end_(file.size()), pos_(L.dataOffset), map_(map) {}

    void Run() {
        if (map_) std::memset(map_->Data(), 0, static_cast<size_t>(map_->DataSize()));
        for (;;) {
            if (end_ - pos_ < 2) {
                // Some writers omit the final marker; that only matters if rows are missing.
                if (y_ >= h_ || (y_ == h_ - 1 && x_ == w_)) return;
                Fail(Tr("RLE data ends early"));
            }
            const unsigned count = f_[pos_], value = f_[pos_ + 1];
            pos_ += 2;
            if (count > 0) {
                EncodedRun(count, value);
            } else if (value == 0) {  // end of line
                x_ = 0;
                ++y_;
            } else if (value == 1) {  // end of bitmap
                return;
            } else if (value == 2) {
                Delta();
            } else {
                AbsoluteRun(value);
            }
        }
    }

private:
    // Where a run of count pixels goes, and how many of them stay in the row:
    // pixels past the row's end are dropped, as other readers do (writers
    // put a narrow image's row padding there). Null when only checking.
    uint8_t* Target(int64_t count, unsigned& keep) {
        if (y_ >= h_) Fail(Tr("RLE run leaves the image"));
        keep = static_cast<unsigned>(std::min(count, w_ - x_));
        uint8_t* d = map_ ? map_->ScanLine(static_cast<int32_t>(h_ - 1 - y_)) + x_ * 3 : nullptr;
        x_ += keep;
        return d;
    }
    static void Put(uint8_t*& d, const Bgr& c) {
        d[0] = c[0]; d[1] = c[1]; d[2] = c[2];
        d += 3;
    }

    // count pixels of one index, or of two alternating ones for 4 bits.
    void EncodedRun(unsigned count, unsigned value) {
        unsigned keep = 0;
        uint8_t* d = Target(count, keep);
        if (!d) return;
        if (rle4_) {
            const Bgr& hi = L_.palette[value >> 4];
            const Bgr& lo = L_.palette[value & 15];
            for (unsigned i = 0; i < keep; ++i) Put(d, i & 1 ? lo : hi);
        } else {
            for (unsigned i = 0; i < keep; ++i) Put(d, L_.palette[value]);
        }
    }

    // Moves right and up.
    void Delta() {
        if (end_ - pos_ < 2) Fail(Tr("truncated RLE delta"));
        x_ += f_[pos_];
        y_ += f_[pos_ + 1];
        pos_ += 2;
        if (x_ > w_ || y_ > h_) Fail(Tr("RLE delta leaves the image"));
    }

    // count literal pixels, padded to 16 bits.
    void AbsoluteRun(unsigned count) {
        const size_t bytes = rle4_ ? (count + 1) / 2 : count;
        if (end_ - pos_ < bytes) Fail(Tr("truncated RLE run"));
        unsigned keep = 0;
        uint8_t* d = Target(count, keep);
        const uint8_t* s = f_ + pos_;
        if (d && rle4_) {
            for (unsigned i = 0; i < keep; ++i)
                Put(d, L_.palette[i & 1 ? s[i / 2] & 15 : s[i / 2] >> 4]);
        } else if (d) {
            for (unsigned i = 0; i < keep; ++i) Put(d, L_.palette[s[i]]);
        }
        // The last pad byte of a file may be missing.
        pos_ += std::min(end_ - pos_, (bytes + 1) & ~size_t{1});
    }

    const Layout& L_;
    const bool rle4_ = L_.compression == kRle4;
    const int64_t w_ = L_.width, h_ = L_.height;
    const uint8_t* f_;
    const size_t end_;
    size_t pos_;
    TPixelMapRGB* map_;
    int64_t x_ = 0, y_ = 0;  // y counts rows from the bottom of the picture
};

}  // namespace

std::optional<BmpClaim> ClaimedBmpSize(std::span<const uint8_t> head) {
    try {
        const RawHeader H = DecodeHeader(head);
        return BmpClaim{H.width, H.height < 0 ? -H.height : H.height};
    } catch (const EInvalidGraphic&) {
        return std::nullopt;
    }
}

uint64_t BmpUsefulBytes(std::span<const uint8_t> head, const PixelLimit& limit) {
    RawHeader H;
    try {
        H = DecodeHeader(head);
    } catch (const EInvalidGraphic&) {
        return head.size();
    }
    const uint64_t w = uint64_t(std::abs(int64_t(H.width))), h = uint64_t(std::abs(int64_t(H.height)));
    if (w > 0 && h > 0) CheckPixelLimit(int64_t(w), int64_t(h), limit);
    const bool plain = H.compression == kNone || H.compression == kBitfields || H.compression == kAlphaBitfields;
    // An RLE pixel takes at most 2 bytes (3 in OS/2's 24-bit RLE), each row
    // 2 more for its end, the picture 2 for its own.
    const uint64_t body = plain ? (w * H.bpp + 31) / 32 * 4 * h : 4 * w * h + 2 * h + 2;
    return uint64_t(H.offset) + body;
}

std::unique_ptr<TPixelMapRGB> DecodeBmp(std::span<const uint8_t> file, const PixelLimit& limit) {
    const Layout L = ParseHeaders(file);
    auto map = std::make_unique<TPixelMapRGB>();

    if (L.compression == kRle8 || L.compression == kRle4) {
        // An end-of-bitmap marker leaves the rest black, so two bytes can
        // describe any size and only the map's own limit applies. Any other
        // shortfall (rows missing, a run or delta outside the picture) is
        // certain from the stream alone: walk it first, allocate after.
        RleDecoder(L, file, nullptr).Run();
        CheckPixelLimit(L.width, L.height, limit);
        map->SetSize(L.width, L.height);
        RleDecoder(L, file, map.get()).Run();
        return map;
    }

    // Rows are padded to 4 bytes; the last row's padding may be missing.
    const uint64_t rowBits = static_cast<uint64_t>(L.width) * L.bpp;
    const uint64_t rowBytes = (rowBits + 31) / 32 * 4;
    const uint64_t lastRow = (rowBits + 7) / 8;
    const uint64_t avail = file.size() - L.dataOffset;
    const uint64_t fullRows = static_cast<uint64_t>(L.height) - 1;
    if (fullRows > avail / rowBytes || fullRows * rowBytes + lastRow > avail)
        Fail(Tr("not enough pixel data"));

    CheckPixelLimit(L.width, L.height, limit);
    map->SetSize(L.width, L.height);
    DecodeRows(L, file.data() + L.dataOffset, static_cast<size_t>(rowBytes), *map);
    return map;
}

}  // namespace quenlo
