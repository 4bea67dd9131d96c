#include "low/VeloreLow.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "low/Low.h"

namespace quenlo {

// ---- Statements --------------------------------------------------------

namespace {

template <typename Int>
void AppendInt(std::string& out, Int v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

constexpr int kRealPrecision = 18;

// A positive value as 0.mant * 10^(exp+1): mant holds its decimal digits
// from the first significant one on.
struct TDecimal {
    std::string mant;
    int exp = 0;
};

// 18 significant digits, as "d.ddd...e+XX" gives them.
TDecimal SignificantDigits(double positive) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, positive, std::chars_format::scientific,
                                 kRealPrecision - 1);
    const std::string_view sci(buf, r.ptr - buf);
    const std::size_t ePos = sci.find('e');
    TDecimal d;
    for (char c : sci.substr(0, ePos))
        if (c != '.') d.mant += c;
    std::from_chars(sci.data() + ePos + (sci[ePos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    d.exp);
    return d;
}

// Keeps the first `keep` digits of d, rounded half to even on the decimal
// digits themselves; a carry out of the top digit (9.99 -> 10.0) adds one.
void RoundHalfEven(TDecimal& d, int keep) {
    std::string& mant = d.mant;
    if (keep >= int(mant.size())) return;
    bool up = false;
    if (keep >= 0) {
        const char first = mant[keep];
        const bool restZero = mant.find_first_not_of('0', keep + 1) == std::string::npos;
        const bool prevOdd = keep > 0 && (mant[keep - 1] - '0') % 2 == 1;
        up = first > '5' || (first == '5' && (!restZero || prevOdd));
    }
    mant.resize(std::max(keep, 0));
    for (int i = int(mant.size()) - 1; up && i >= 0; --i) {
        up = mant[i] == '9';
        mant[i] = up ? '0' : char(mant[i] + 1);
    }
    if (up) {
        mant.insert(mant.begin(), '1');
        ++d.exp;
    }
}

// "d.dddE<exp>" without trailing zeros, for values with too many integer
// digits for fixed notation.
std::string ScientificLayout(TDecimal d, bool negative) {
    while (d.mant.size() > 1 && d.mant.back() == '0') d.mant.pop_back();
    std::string out = negative ? "-" : "";
    out += d.mant[0];
    if (d.mant.size() > 1) out += '.' + d.mant.substr(1);
    out += 'E';
    AppendInt(out, d.exp);
    return out;
}

// Integer and `digits` fraction digits, padded with zeros on both sides.
std::string FixedLayout(const TDecimal& d, int digits, bool negative) {
    const int intDigits = d.exp + 1;
    auto digit = [&](int k) { return k >= 0 && k < int(d.mant.size()) ? d.mant[k] : '0'; };
    std::string intPart, frac;
    for (int k = 0; k < intDigits; ++k) intPart += digit(k);
    for (int k = 0; k < digits; ++k) frac += digit(intDigits + k);
    if (intPart.empty()) intPart.push_back('0');  // not = "0": GCC 12 warns of a false overlap there
    // No sign on a value that rounds to zero: "-0.00" would only be noise.
    const bool zero = intPart.find_first_not_of('0') == std::string::npos &&
                      frac.find_first_not_of('0') == std::string::npos;
    std::string out = negative && !zero ? "-" : "";
    out += intPart;
    if (digits > 0) out += '.' + frac;
    return out;
}

}  // namespace

bool MatchCommand(std::string_view keyword, int32_t count, std::string_view text,
                  std::span<std::string> args) {
    // Function statics: safe even when called from another unit's start-up.
    static const TDelims kWordDelims(" \t(");
    static const TDelims kArgTextDelims(")");
    static const TDelims kArgDelims(" \t,");

    // Views into text: most calls try a keyword that is not the statement's
    // and end at its first letter, or else at the first word, having copied
    // nothing. (A word cut there starts with that letter.)
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    std::size_t first = 0;
    while (first < text.size() && (text[first] == ' ' || text[first] == '\t')) ++first;
    if (!keyword.empty() && (first == text.size() || upper(text[first]) != upper(keyword[0]))) return false;
    // Most statements are plain: "name(a,b)" with no blank or quote,
    // short enough for no cut. There the cuts below come down to the word
    // before '(', the text up to ')' and its non-empty pieces between commas.
    auto plain = [](std::string_view t) {
        if (t.size() > kMaxTokenText) return false;
        for (const char c : t)
            if (c == ' ' || c == '\t' || c == '"') return false;
        return true;
    };
    if (plain(text)) {
        // One pass for each cut, by hand: tokens are a few characters.
        std::size_t i = 0;
        while (i < text.size() && text[i] != '(') ++i;
        if (!SameTextAscii(text.substr(0, i), keyword)) return false;
        int32_t n = 0;
        for (std::size_t from = ++i;; ++i) {
            if (i < text.size() && text[i] != ')' && text[i] != ',') continue;
            if (i > from) {
                if (std::size_t(n) < args.size()) args[n] = text.substr(from, i - from);
                ++n;
            }
            if (i >= text.size() || text[i] == ')') break;
            from = i + 1;
        }
        return n == count;
    }
    std::string_view w = text;
    const std::string_view word = NextToken(w, kWordDelims, Quotes::On);
    if (!SameTextAscii(word, keyword)) return false;
    std::string_view argText = NextToken(w, kArgTextDelims, Quotes::On);  // anything after ')' is ignored

    int32_t n = 0;
    while (!argText.empty()) {
        const std::string_view arg = NextToken(argText, kArgDelims, Quotes::On);
        if (arg.empty()) continue;  // "1,,2" carries two arguments
        if (std::size_t(n) < args.size()) args[n] = arg;
        ++n;
    }
    return n == count;
}

std::string FormatReal(double value, int32_t digits) {
    digits = std::clamp(digits, 0, kRealPrecision);
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return FixedLayout({}, digits, false);
    TDecimal d = SignificantDigits(std::fabs(value));
    if (d.exp + 1 > kRealPrecision) return ScientificLayout(d, value < 0);
    RoundHalfEven(d, d.exp + 1 + digits);
    return FixedLayout(d, digits, value < 0);
}

std::string FormatCommand(std::string_view keyword, std::span<const TFormatValue> values,
                          int32_t digits) {
    std::string out(keyword);
    out += '(';
    bool first = true;
    for (const TFormatValue& v : values) {
        if (!first) out += ',';
        first = false;
        std::visit(
            [&](const auto& x) {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>) {
                    AppendInt(out, x);
                } else if constexpr (std::is_same_v<T, bool>) {
                    out += x ? "true" : "false";
                } else if constexpr (std::is_same_v<T, char>) {
                    out += x;
                } else if constexpr (std::is_same_v<T, double>) {
                    out += FormatReal(x, digits);
                } else if constexpr (std::is_same_v<T, TShortString>) {
                    out += '"' + x.Text + '"';
                } else if constexpr (std::is_same_v<T, std::string>) {
                    out += x;
                } else if constexpr (std::is_same_v<T, const char*>) {
                    if (x) out += x;
                } else if constexpr (std::is_same_v<T, TClassName>) {
                    out += x.Name;
                } else {
                    static_assert(std::is_same_v<T, TNoText>);
                }
            },
            v);
    }
    out += ");";
    return out;
}

std::string FormatCommand(std::string_view keyword, std::initializer_list<TFormatValue> values,
                          int32_t digits) {
    return FormatCommand(keyword, std::span<const TFormatValue>(values.begin(), values.size()),
                         digits);
}

// ---- Points and rectangles ---------------------------------------------

namespace {
int32_t Span(int32_t a, int32_t b) {
    const uint32_t d = a > b ? uint32_t(a) - uint32_t(b) : uint32_t(b) - uint32_t(a);
    return int32_t(d + 1u);
}
}  // namespace

TPoint MakePoint(int32_t x, int32_t y) { return {x, y}; }
TPointF MakePointF(float x, float y) { return {x, y}; }
TRect MakeRect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    return {left, top, right, bottom};
}
TRect RectFromPoints(TPoint a, TPoint b) { return {a.X, a.Y, b.X, b.Y}; }

TPoint AddPoint(TPoint a, TPoint b) { return {WrapAdd(a.X, b.X), WrapAdd(a.Y, b.Y)}; }
TPoint SubPoint(TPoint a, TPoint b) { return {WrapSub(a.X, b.X), WrapSub(a.Y, b.Y)}; }
// The sum of a float and a 32-bit integer is formed in double, then rounded once.
TPointF AddPointF(TPointF a, TPoint b) {
    return {float(double(a.X) + b.X), float(double(a.Y) + b.Y)};
}
TPointF SubPointF(TPointF a, TPoint b) {
    return {float(double(a.X) - b.X), float(double(a.Y) - b.Y)};
}

TRect RectFromSize(int32_t left, int32_t top, int32_t w, int32_t h) {
    return {left, top, WrapSub(WrapAdd(left, w), 1), WrapSub(WrapAdd(top, h), 1)};
}
TRect RectFromPointSize(TPoint p, int32_t w, int32_t h) { return RectFromSize(p.X, p.Y, w, h); }

TExtent RectExtent(const TRect& r) { return {Span(r.Left, r.Right), Span(r.Top, r.Bottom)}; }

TRect NormalizeRect(const TRect& r) {
    return {std::min(r.Left, r.Right), std::min(r.Top, r.Bottom), std::max(r.Left, r.Right),
            std::max(r.Top, r.Bottom)};
}

bool PointInRect(TPoint p, const TRect& r) {
    const TRect n = NormalizeRect(r);
    return n.Left <= p.X && p.X <= n.Right && n.Top <= p.Y && p.Y <= n.Bottom;
}

std::optional<TRect> IntersectRects(const TRect& a, const TRect& b) {
    const TRect na = NormalizeRect(a), nb = NormalizeRect(b);
    const TRect c{std::max(na.Left, nb.Left), std::max(na.Top, nb.Top),
                  std::min(na.Right, nb.Right), std::min(na.Bottom, nb.Bottom)};
    if (c.Right < c.Left || c.Bottom < c.Top) return std::nullopt;
    return c;
}

bool IntersectRects(const TRect& a, const TRect& b, TRect& c) {
    const auto r = IntersectRects(a, b);
    if (r) c = *r;
    return r.has_value();
}

bool RectsOverlap(const TRect& a, const TRect& b) { return IntersectRects(a, b).has_value(); }

// ---- Plane geometry -----------------------------------------------------

TOutcode ClipOutcode(float x, float y, const TClipBox& box) {
    TOutcode c = 0;
    if (x < box.XLo) c |= kOutLeft;
    if (x > box.XHi) c |= kOutRight;
    if (y < box.YLo) c |= kOutTop;
    if (y > box.YHi) c |= kOutBottom;
    return c;
}

bool ClipSegment(TPointF& p1, TPointF& p2, const TClipBox& box) {
    TOutcode c1 = ClipOutcode(p1.X, p1.Y, box);
    TOutcode c2 = ClipOutcode(p2.X, p2.Y, box);
    // Four moves suffice on a proper box; the bound only stops an inverted
    // or NaN box from cycling between opposite edges.
    for (int moves = 0; moves <= 8; ++moves) {
        if ((c1 | c2) == 0) return true;
        if (c1 & c2) return false;
        const TOutcode c = c1 ? c1 : c2;
        // Products and quotients in double, stored as float.
        const double x1 = p1.X, y1 = p1.Y, x2 = p2.X, y2 = p2.Y;
        float x, y;
        if (c & kOutLeft) {
            y = float(y1 + (y2 - y1) * (box.XLo - x1) / (x2 - x1));
            x = box.XLo;
        } else if (c & kOutRight) {
            y = float(y1 + (y2 - y1) * (box.XHi - x1) / (x2 - x1));
            x = box.XHi;
        } else if (c & kOutTop) {
            x = float(x1 + (x2 - x1) * (box.YLo - y1) / (y2 - y1));
            y = box.YLo;
        } else {
            x = float(x1 + (x2 - x1) * (box.YHi - y1) / (y2 - y1));
            y = box.YHi;
        }
        if (c == c1) {
            p1 = {x, y};
            c1 = ClipOutcode(x, y, box);
        } else {
            p2 = {x, y};
            c2 = ClipOutcode(x, y, box);
        }
    }
    return false;
}

bool SolveLinear2(float a1, float b1, float c1, float a2, float b2, float c2, float& x, float& y) {
    const float det = float(double(b1) * a2 - double(a1) * b2);
    if (det == 0) return false;
    x = float((double(b1) * c2 - double(c1) * b2) / det);
    y = float((double(c1) * a2 - double(a1) * c2) / det);
    return true;
}

namespace {
struct TSpan {
    float Lo, Hi;
    bool Holds(float v) const { return Lo <= v && v <= Hi; }
};
TSpan SpanOf(float a, float b) { return {std::min(a, b), std::max(a, b)}; }

// Extents that only touch still pass.
bool SpansMeet(TSpan a, TSpan b) { return std::min(a.Hi, b.Hi) >= std::max(a.Lo, b.Lo); }

// The line through p and q as a*x + b*y = c.
struct TLine {
    float A, B, C;
};
TLine LineThrough(TPointF p, TPointF q) {
    return {p.Y - q.Y, q.X - p.X, float(double(q.X) * p.Y - double(p.X) * q.Y)};
}
}  // namespace

bool SegmentsIntersect(TPointF a1, TPointF a2, TPointF b1, TPointF b2, TPointF& cross) {
    const TSpan ax = SpanOf(a1.X, a2.X), ay = SpanOf(a1.Y, a2.Y);
    const TSpan bx = SpanOf(b1.X, b2.X), by = SpanOf(b1.Y, b2.Y);
    if (!SpansMeet(ax, bx) || !SpansMeet(ay, by)) return false;

    const TLine la = LineThrough(a1, a2), lb = LineThrough(b1, b2);
    float x, y;
    if (!SolveLinear2(la.A, la.B, la.C, lb.A, lb.B, lb.C, x, y)) return false;
    // Lines that are not parallel and share an end point cross exactly there.
    // Cramer's rule on the float line coefficients lands a rounding step off
    // it about half the time, which the box tests below would then reject; a
    // closed chain must still find its loop at its repeated first vertex.
    for (const TPointF& p : {a1, a2}) {
        if (p == b1 || p == b2) {
            cross = p;
            return true;
        }
    }
    // Exact float tests: a crossing rounded just outside an axis-parallel
    // segment is missed, as the scan converter expects.
    if (!ax.Holds(x) || !ay.Holds(y) || !bx.Holds(x) || !by.Holds(y)) return false;
    cross = {x, y};
    return true;
}

// ---- Number text ---------------------------------------------------------

namespace {

// from_chars takes no leading '+'; one is allowed unless a sign follows.
std::string_view DropPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
    return text;
}

template <typename Real>
bool ParseReal(std::string_view text, Real& value) {
    text = DropPlus(text);
    if (text.empty()) return false;
    // Only plain decimal text; from_chars would also take "inf", "nan" and hex.
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return false;
    Real v{};
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v,
                                   std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

}  // namespace

bool TextToInt(std::string_view text, int32_t& value) {
    text = DropPlus(text);
    int32_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
    value = v;
    return true;
}

bool TextToFloat(std::string_view text, float& value) { return ParseReal(text, value); }
bool TextToFloat(std::string_view text, double& value) { return ParseReal(text, value); }

// ---- Integer chores ------------------------------------------------------

int32_t RoundToInt32(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::nearbyint(v);
    if (r <= double(INT32_MIN)) return INT32_MIN;
    if (r >= double(INT32_MAX)) return INT32_MAX;
    return int32_t(r);
}

int32_t ClampToInt32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

int32_t WrapAdd(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
int32_t WrapSub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
    if (v <= lo) return lo;
    if (v < hi) return v;
    return hi;
}

void FillInts(std::span<int32_t> a, int32_t count, int32_t v) {
    if (count <= 0) return;
    std::fill_n(a.begin(), std::min<std::size_t>(std::size_t(count), a.size()), v);
}

void SwapInts(int32_t& a, int32_t& b) { std::swap(a, b); }

void OrderInts(int32_t& a, int32_t& b) {
    if (b < a) std::swap(a, b);
}

}  // namespace quenlo
