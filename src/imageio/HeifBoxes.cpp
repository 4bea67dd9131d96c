#include "imageio/HeifBoxes.h"

#include <array>
#include <map>
#include <optional>
#include <string>

#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

[[noreturn]] void Bad(const char* what) { throw EInvalidGraphic(std::string("HEIF: ") + what); }

// Big-endian fields of one box's body; reading past its end throws.
class TFields {
public:
    explicit TFields(std::span<const uint8_t> b) : b_(b) {}
    uint64_t Get(int bytes) {
        if (bytes < 0 || size_t(bytes) > b_.size() - at_) Bad(Tr("a box is cut short"));
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | b_[at_++];
        return v;
    }
    std::span<const uint8_t> Rest() const { return b_.subspan(at_); }
    bool Done() const { return at_ == b_.size(); }

private:
    std::span<const uint8_t> b_;
    size_t at_ = 0;
};

struct TBox {
    uint32_t type;
    std::span<const uint8_t> body;
};

// The boxes laid end to end in bytes.
std::vector<TBox> Boxes(std::span<const uint8_t> bytes) {
    std::vector<TBox> boxes;
    size_t at = 0;
    while (bytes.size() - at >= 8) {
        TFields f(bytes.subspan(at));
        uint64_t size = f.Get(4);
        const uint32_t type = uint32_t(f.Get(4));
        size_t header = 8;
        if (size == 1) {
            size = f.Get(8);
            header = 16;
        } else if (size == 0) {
            size = bytes.size() - at;
        }
        if (size < header || size > bytes.size() - at) Bad(Tr("a box is cut short"));
        boxes.push_back({type, bytes.subspan(at + header, size_t(size - header))});
        at += size_t(size);
    }
    return boxes;
}

constexpr uint32_t Tag(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

struct TExtent {
    uint64_t offset, length;
};
struct TLocation {
    int method = 0;  // 0: file offsets, 1: inside 'idat'
    uint64_t base = 0;
    std::vector<TExtent> extents;
};

std::map<uint32_t, TLocation> Locations(std::span<const uint8_t> body) {
    TFields f(body);
    const int version = int(f.Get(1));
    f.Get(3);
    const int sizes = int(f.Get(1)), more = int(f.Get(1));
    const int offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
    const int indexSize = version == 1 || version == 2 ? more & 15 : 0;
    const uint64_t count = f.Get(version < 2 ? 2 : 4);
    std::map<uint32_t, TLocation> items;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t id = uint32_t(f.Get(version < 2 ? 2 : 4));
        TLocation loc;
        if (version == 1 || version == 2) loc.method = int(f.Get(2) & 15);
        f.Get(2);  // data_reference_index
        loc.base = f.Get(baseSize);
        const uint64_t extents = f.Get(2);
        // Extents with no fields take no bytes; one stands for them all.
        if (indexSize + offsetSize + lengthSize == 0) {
            if (extents) loc.extents.push_back({0, 0});
            items[id] = std::move(loc);
            continue;
        }
        for (uint64_t e = 0; e < extents; ++e) {
            f.Get(indexSize);
            const uint64_t offset = f.Get(offsetSize);
            loc.extents.push_back({offset, f.Get(lengthSize)});
        }
        items[id] = std::move(loc);
    }
    return items;
}

// Item id to item type, from 'iinf' (infe versions 2 and 3 carry a type).
std::map<uint32_t, uint32_t> ItemTypes(std::span<const uint8_t> body) {
    TFields f(body);
    const int version = int(f.Get(1));
    f.Get(3);
    f.Get(version == 0 ? 2 : 4);
    std::map<uint32_t, uint32_t> types;
    for (const TBox& b : Boxes(f.Rest())) {
        if (b.type != Tag("infe")) continue;
        TFields e(b.body);
        const int v = int(e.Get(1));
        e.Get(3);
        if (v < 2) continue;
        const uint32_t id = uint32_t(e.Get(v == 2 ? 2 : 4));
        e.Get(2);  // item_protection_index
        types[id] = uint32_t(e.Get(4));
    }
    return types;
}

// The first bytes of an item's data, at most n.
std::vector<uint8_t> Head(const TLocation& loc, std::span<const uint8_t> file, std::span<const uint8_t> idat, size_t n) {
    const std::span<const uint8_t> source = loc.method == 1 ? idat : file;
    if (loc.method > 1) Bad(Tr("a derived image's data is stored in a way not read here"));
    std::vector<uint8_t> out;
    for (const TExtent& e : loc.extents) {
        const uint64_t start = loc.base + e.offset;
        if (start < loc.base || start > source.size()) Bad(Tr("a derived image's data lies outside the file"));
        const uint64_t length = e.length == 0 ? source.size() - start : e.length;
        if (length > source.size() - start) Bad(Tr("a derived image's data lies outside the file"));
        for (uint64_t i = 0; i < length && out.size() < n; ++i) out.push_back(source[size_t(start + i)]);
        if (out.size() == n) break;
    }
    return out;
}

// ImageGrid: version, flags, rows - 1, columns - 1, then the output size;
// ImageOverlay: version, flags, four 16-bit fill values, then the size.
// Flag bit 0 makes the sizes 32-bit.
CodedSize Canvas(uint32_t type, const std::vector<uint8_t>& head) {
    TFields f(head);
    f.Get(1);
    const int wide = int(f.Get(1) & 1);
    f.Get(type == Tag("grid") ? 2 : 8);
    CodedSize s;
    s.width = uint32_t(f.Get(wide ? 4 : 2));
    s.height = uint32_t(f.Get(wide ? 4 : 2));
    return s;
}

}  // namespace

namespace {

// Where a direction in the stored image points once shown: a 2 x 2 matrix
// on (x right, y down), one per EXIF orientation 1 to 8.
using TTurn = std::array<int, 4>;
constexpr TTurn kTurns[9] = {{},           {1, 0, 0, 1},  {-1, 0, 0, 1}, {-1, 0, 0, -1}, {1, 0, 0, -1},
                             {0, 1, 1, 0}, {0, -1, 1, 0}, {0, -1, -1, 0}, {0, 1, -1, 0}};

// b after a.
TTurn Then(const TTurn& a, const TTurn& b) {
    return {b[0] * a[0] + b[1] * a[2], b[0] * a[1] + b[1] * a[3], b[2] * a[0] + b[3] * a[2], b[2] * a[1] + b[3] * a[3]};
}

// The boxes of 'meta' this reads, gathered in one walk.
struct TMeta {
    std::map<uint32_t, uint32_t> types;
    std::map<uint32_t, TLocation> locations;
    std::span<const uint8_t> idat;
    std::optional<uint64_t> primary;
    std::vector<TBox> properties;
    std::vector<std::span<const uint8_t>> associations;
};

TMeta ReadMeta(std::span<const uint8_t> body) {
    TFields fields(body);
    fields.Get(4);
    TMeta m;
    for (const TBox& b : Boxes(fields.Rest())) {
        if (b.type == Tag("iinf")) {
            m.types = ItemTypes(b.body);
        } else if (b.type == Tag("iloc")) {
            m.locations = Locations(b.body);
        } else if (b.type == Tag("idat")) {
            m.idat = b.body;
        } else if (b.type == Tag("pitm")) {
            TFields f(b.body);
            const int version = int(f.Get(1));
            f.Get(3);
            m.primary = f.Get(version == 0 ? 2 : 4);
        } else if (b.type == Tag("iprp")) {
            for (const TBox& p : Boxes(b.body)) {
                if (p.type == Tag("ipco")) m.properties = Boxes(p.body);
                else if (p.type == Tag("ipma")) m.associations.push_back(p.body);
            }
        }
    }
    return m;
}

std::vector<CodedSize> CanvasSizes(const TMeta& m, std::span<const uint8_t> file) {
    std::vector<CodedSize> sizes;
    for (const auto& [id, type] : m.types) {
        if (type != Tag("grid") && type != Tag("iovl")) continue;
        const auto loc = m.locations.find(id);
        if (loc == m.locations.end()) Bad(Tr("a derived image has no data"));
        sizes.push_back(Canvas(type, Head(loc->second, file, m.idat, 20)));
    }
    return sizes;
}

int Orientation(const TMeta& m) {
    if (!m.primary) return 0;
    TTurn turn = kTurns[1];
    bool any = false;
    for (const std::span<const uint8_t> body : m.associations) {
        TFields f(body);
        const int version = int(f.Get(1));
        const bool wide = f.Get(3) & 1;
        const uint64_t entries = f.Get(4);
        for (uint64_t e = 0; e < entries; ++e) {
            const uint64_t item = f.Get(version < 1 ? 2 : 4);
            const uint64_t count = f.Get(1);
            for (uint64_t i = 0; i < count; ++i) {
                const uint64_t index = f.Get(wide ? 2 : 1) & (wide ? 0x7fff : 0x7f);
                if (item != *m.primary || index == 0 || index > m.properties.size()) continue;
                const TBox& p = m.properties[size_t(index - 1)];
                if (p.body.empty()) continue;
                int code = 0;
                // Anticlockwise quarter turns; see the mirroring rule in the header.
                if (p.type == Tag("irot")) code = std::array{1, 8, 3, 6}[p.body[0] & 3];
                else if (p.type == Tag("imir")) code = (p.body[0] & 1) ? 2 : 4;
                if (!code) continue;
                turn = Then(turn, kTurns[code]);
                any = true;
            }
        }
    }
    if (!any) return 0;
    for (int code = 1; code <= 8; ++code)
        if (kTurns[code] == turn) return code;
    return 0;
}

}  // namespace

HeifBoxes ReadHeifBoxes(std::span<const uint8_t> file) {
    HeifBoxes out;
    bool first = true;
    for (const TBox& top : Boxes(file)) {
        if (top.type != Tag("meta")) continue;
        const TMeta m = ReadMeta(top.body);
        const std::vector<CodedSize> sizes = CanvasSizes(m, file);
        out.canvases.insert(out.canvases.end(), sizes.begin(), sizes.end());
        // libheif reads the first 'meta'.
        if (first) out.orientation = Orientation(m);
        first = false;
    }
    return out;
}

}  // namespace quenlo
