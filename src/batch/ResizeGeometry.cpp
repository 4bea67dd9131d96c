#include "batch/ResizeGeometry.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

// A number at p: digits, and a fraction only for a scale (known by the
// caller once the whole text is read, so it is checked there).
bool ReadNumber(const char*& p, const char* end, double& value, bool& fraction) {
    const char* start = p;
    while (p < end && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '.')) ++p;
    if (p == start) return false;
    fraction = std::memchr(start, '.', static_cast<size_t>(p - start)) != nullptr;
    const auto [last, err] = std::from_chars(start, p, value);
    if (err != std::errc() || last != p) throw EQuenlo(FormatText(Tr("bad number in resize geometry \"%s\""), std::string(start, p).c_str()));
    return true;
}

}  // namespace

ResizeGeometry ParseResizeGeometry(const std::string& text) {
    ResizeGeometry g;
    const char* p = text.data();
    const char* const end = p + text.size();
    bool fraction = false, f = false;
    g.hasWidth = ReadNumber(p, end, g.width, fraction);
    if (p < end && (*p == 'x' || *p == 'X')) {
        ++p;
        g.hasHeight = ReadNumber(p, end, g.height, f);
        fraction = fraction || f;
    }
    for (; p < end; ++p) {
        bool* flag = *p == '%' ? &g.percent : *p == '!' ? &g.exact : *p == '^' ? &g.fill : *p == '>' ? &g.onlyShrink
                   : *p == '<' ? &g.onlyEnlarge : nullptr;
        if (!flag) break;
        *flag = true;
    }
    if (p != end || (!g.hasWidth && !g.hasHeight))
        throw EQuenlo(FormatText(
            Tr("expected a resize geometry such as 1600x1600, 800, x600, 50%%, 300x200!, 256x256^ or 1600x1600>, got \"%s\""),
            text.c_str()));
    if ((g.hasWidth && !(g.width > 0)) || (g.hasHeight && !(g.height > 0)))
        throw EQuenlo(FormatText(Tr("a resize geometry needs sizes above 0, got \"%s\""), text.c_str()));
    if (fraction && !g.percent) throw EQuenlo(FormatText(Tr("a resize geometry gives whole pixels or a percentage, got \"%s\""), text.c_str()));
    if (g.onlyShrink && g.onlyEnlarge) throw EQuenlo(FormatText(Tr("a resize geometry takes \">\" or \"<\", not both: \"%s\""), text.c_str()));
    return g;
}

std::pair<int32_t, int32_t> ResizedSize(const ResizeGeometry& g, int64_t w, int64_t h) {
    const double fw = static_cast<double>(w), fh = static_cast<double>(h);
    double rw = fw, rh = fh;
    if (g.percent) {
        // A scale keeps the aspect by itself; the new size also stands in
        // for the old one below, so ">" and "<" change nothing then.
        const double sx = g.hasWidth ? g.width : 100.0, sy = g.hasHeight ? g.height : sx;
        rw = std::floor(sx * fw / 100.0 + 0.5);
        rh = std::floor(sy * fh / 100.0 + 0.5);
    } else {
        const double gw = g.hasWidth ? g.width : fw, gh = g.hasHeight ? g.height : fh;
        if (g.exact || (gw == fw && gh == fh)) {
            rw = gw;
            rh = gh;
        } else {
            double scale;
            if (g.hasWidth && g.hasHeight)
                scale = g.fill ? std::max(gw / fw, gh / fh) : std::min(gw / fw, gh / fh);
            else if (g.hasWidth)
                scale = g.fill ? std::max(gw / fw, gw / fh) : gw / fw;
            else
                scale = g.fill ? std::max(gh / fh, gh / fw) : gh / fh;
            rw = std::max(std::floor(scale * fw + 0.5), 1.0);
            rh = std::max(std::floor(scale * fh + 0.5), 1.0);
        }
        if (g.onlyShrink) rw = std::min(rw, fw), rh = std::min(rh, fh);
        if (g.onlyEnlarge) rw = std::max(rw, fw), rh = std::max(rh, fh);
    }
    if (!(rw >= 1 && rh >= 1 && rw <= INT32_MAX && rh <= INT32_MAX))
        throw EInvalidImageSize(static_cast<long long>(std::min(rw, 9e18)), static_cast<long long>(std::min(rh, 9e18)));
    return {static_cast<int32_t>(rw), static_cast<int32_t>(rh)};
}

namespace {
const char* const kFilterNames[] = {"nearest", "box", "bilinear", "bicubic", "lanczos"};
}

std::optional<ResampleFilter> ResampleFilterByName(std::string_view name) {
    for (size_t i = 0; i < std::size(kFilterNames); ++i)
        if (name == kFilterNames[i]) return static_cast<ResampleFilter>(i);
    return std::nullopt;
}

const char* ResampleFilterName(ResampleFilter filter) { return kFilterNames[static_cast<size_t>(filter)]; }

void CheckThumbnailGeometry(const ResizeGeometry& g) {
    if (g.exact || g.fill || g.onlyEnlarge)
        throw EQuenlo(Tr("a thumbnail fits inside its size and never enlarges: \"!\", \"^\" and \"<\" do not apply"));
}

std::pair<int64_t, int64_t> ThumbnailBox(const ResizeGeometry& g, int64_t w, int64_t h) {
    if (g.percent) return ResizedSize(g, w, h);
    return {g.hasWidth ? static_cast<int64_t>(g.width) : INT32_MAX, g.hasHeight ? static_cast<int64_t>(g.height) : INT32_MAX};
}

}  // namespace quenlo
