#include "imageio/StpRgb.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <sys/stat.h>

#include "imageio/FileIo.h"
#include "imageio/RgbSwap.h"
#include "low/Errors.h"
#include "low/FileNames.h"

namespace quenlo {

namespace {

constexpr uint8_t kCtrlZ = 26;        // a text file's end marker
constexpr size_t kMaxToken = 32;      // longer tokens are cut; the rest reads as the next one
constexpr size_t kMaxIprBytes = 64u << 20;  // a guard against endless blank input, not a format rule

// Byte-at-a-time view of a ByteSource with one byte of look-ahead.
class TextReader {
public:
    explicit TextReader(const ByteSource& src) : src_(src) {}
    // -1 at the end of the data.
    int Peek() {
        if (pos_ == len_) {
            if (total_ >= kMaxIprBytes) return -1;
            len_ = src_(buf_, sizeof buf_);
            pos_ = 0;
            total_ += len_;
            if (len_ == 0) return -1;
        }
        return buf_[pos_];
    }
    void Skip() { ++pos_; }

private:
    const ByteSource& src_;
    uint8_t buf_[4096];
    size_t pos_ = 0, len_ = 0, total_ = 0;
};

}  // namespace

bool ParseIprInteger(std::string_view s, int32_t& value) {
    value = 0;
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    unsigned base = 10;
    // A bare "x" prefix is not taken: "x2" is no number (error 106), as the
    // format's own examples have it.
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == s.size()) return false;
    const int64_t limit = neg ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        v = v * base + d;
        if (v > limit) return false;
    }
    value = static_cast<int32_t>(neg ? -v : v);
    return true;
}

IprValues ParseIpr(const ByteSource& src) {
    TextReader in(src);
    int32_t v[4] = {0, 0, 0, 0};
    bool ended = false, bad = false;
    for (int32_t& value : v) {
        if (ended) break;
        int c = in.Peek();
        while (c >= 0 && c <= 32 && c != kCtrlZ) {
            in.Skip();
            c = in.Peek();
        }
        if (c < 0 || c == kCtrlZ) {
            ended = true;
            break;
        }
        char token[kMaxToken];
        size_t n = 0;
        while (n < kMaxToken && (c = in.Peek()) > 32) {
            token[n++] = static_cast<char>(c);
            in.Skip();
        }
        if (!ParseIprInteger(std::string_view(token, n), value)) bad = true;
    }
    if (bad) throw EInOutError(106);
    return {v[0], v[1], v[2], v[3]};
}

IprValues ParseIpr(std::span<const uint8_t> text) {
    size_t pos = 0;
    ByteSource src = [&](uint8_t* dst, size_t n) {
        n = std::min(n, text.size() - pos);
        std::memcpy(dst, text.data() + pos, n);
        pos += n;
        return n;
    };
    return ParseIpr(src);
}

void ReadRgbRows(TPixelMapRGB& raster, const ByteSource& src) {
    const size_t total = static_cast<size_t>(raster.DataSize());
    uint8_t* data = raster.Data();
    // Whole pixels per pull, so each pull's R/B swap stays in cache. Rows are
    // packed in both the file and the map, so the file maps 1:1 onto the buffer.
    constexpr size_t kChunk = 3u << 20;
    size_t done = 0;
    while (done < total) {
        const size_t want = std::min(kChunk, total - done);
        const size_t got = src(data + done, want);
        size_t swapEnd = done + got;
        if (got < want) {
            // Short file: the rest stays white, and a split pixel is swapped whole.
            std::memset(data + swapEnd, 255, total - swapEnd);
            swapEnd = std::min(total, (swapEnd + 2) / 3 * 3);
        }
        // File order R,G,B becomes the map's B,G,R.
        SwapRedBlue(data + done, data + done, (swapEnd - done) / 3);
        if (got < want) return;
        done += got;
    }
}

namespace {
// upperExt spelled in the case of the chosen extension, letter by letter:
// ".rgb" asks for ".ipr", ".Rgb" for ".Ipr", anything else for upperExt.
std::string SpelledLike(const std::string& chosenExt, std::string_view upperExt) {
    std::string ext(upperExt);
    if (chosenExt.size() != ext.size()) return ext;
    for (size_t i = 0; i < ext.size(); ++i)
        if (chosenExt[i] >= 'a' && chosenExt[i] <= 'z' && ext[i] >= 'A' && ext[i] <= 'Z') ext[i] += 'a' - 'A';
    return ext;
}
}  // namespace

PairMember FindPairMember(const std::string& fileName, std::string_view upperExt, TFolderListings* listings) {
    // By name first: the spelling the user chose, then lower and upper case.
    // Only when none exists is the folder listed for another mix of cases.
    PairMember m;
    auto exists = [&](const std::string& name) {
        m.exists = ::stat(name.c_str(), &m.st) == 0;
        if (m.exists) m.name = name;
        return m.exists;
    };
    const std::string chosenExt = SpelledLike(ExtractFileExt(fileName), upperExt);
    const std::string chosen = ChangeFileExt(fileName, chosenExt);
    if (exists(chosen)) return m;
    // Each spelling asked once: the chosen one is mostly the lower case one.
    const std::string lower = ChangeFileExt(fileName, LowerAscii(upperExt));
    if (lower != chosen && exists(lower)) return m;
    const std::string upper = ChangeFileExt(fileName, upperExt);
    if (upper != chosen && exists(upper)) return m;
    const std::string found = FindOtherCase(upper, chosenExt, listings);
    if (found.empty() || !exists(found)) m.name = found.empty() ? upper : found;
    return m;
}

std::string PairName(const std::string& fileName, std::string_view upperExt, TFolderListings* listings) {
    return FindPairMember(fileName, upperExt, listings).name;
}

void TStpRgb::Load(const std::string& fileName, const PixelLimit& limit) {
    if (!ReadHeader(PairName(fileName, ".IPR"))) return;
    CheckPixelLimit(Width, Height, limit);
    if (!Bitmap) Bitmap = std::make_unique<TPixelMapRGB>();
    Bitmap->SetSize(Width, Height);
    ReadPixels(PairName(fileName, ".RGB"));
}

bool TStpRgb::ReadHeader(const std::string& iprName) {
    TInputFile in(iprName);
    const IprValues v = ParseIpr([&](uint8_t* dst, size_t n) { return in.Read(dst, n); });
    Width = v.Width;
    Height = v.Height;
    HeaderValue3 = v.Value3;
    HeaderValue4 = v.Value4;
    return true;
}

void TStpRgb::ReadPixels(const std::string& rgbName) {
    if (!Bitmap) return;
    try {
        TInputFile in(rgbName);
        ReadRgbRows(*Bitmap, [&](uint8_t* dst, size_t n) { return in.Read(dst, n); });
    } catch (...) {
        // The raster is white until the file supplies its bytes.
        if (Bitmap->DataSize() > 0) std::memset(Bitmap->Data(), 255, static_cast<size_t>(Bitmap->DataSize()));
        throw;
    }
}

}  // namespace quenlo
