#pragma once
// Statement matching and writing, and the small point/rectangle/plane
// geometry vocabulary of the scene library. All free functions, no state.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "low/Types.h"

namespace quenlo {

// ---- Statements --------------------------------------------------------

// True when Text is the statement "Keyword(arg,arg,...)" with exactly Count
// non-empty arguments (keyword compared ASCII case-insensitively). Arguments
// go into args[0], args[1], ... in order; quoted ones keep their quotes.
// Slots beyond the statement's arguments are left alone; arguments beyond
// args.size() are counted but not stored, so such a statement matches only
// a Count larger than the list. On a keyword mismatch args is untouched.
bool MatchCommand(std::string_view keyword, int32_t count, std::string_view text,
                  std::span<std::string> args);

// Room for the arguments of every node kind's statements.
using TKindArgs = std::array<std::string, 5>;

// Value kinds of FormatCommand that plain C++ types do not name.
struct TShortString {  // written between double quotes
    std::string Text;
};
struct TClassName {  // an object or a class: written as the class's name
    std::string Name;
};
struct TNoText {};  // a kind without a text form: only its separator is written

// One typed value. int32_t and int64_t are written in decimal, bool as
// true/false, char as itself, double in fixed notation with `digits`
// decimals, std::string and const char* unchanged (no quotes).
using TFormatValue = std::variant<int32_t, int64_t, bool, char, double, TShortString, std::string,
                                  const char*, TClassName, TNoText>;

// "keyword(v1,v2,...);". Reals always use "." as the decimal separator,
// whatever the process locale, so the text reads back everywhere.
// digits is clamped to 0..18.
std::string FormatCommand(std::string_view keyword, std::span<const TFormatValue> values,
                          int32_t digits);
std::string FormatCommand(std::string_view keyword, std::initializer_list<TFormatValue> values,
                          int32_t digits);

// A real in fixed notation with `digits` decimals as FormatCommand writes
// it: rounded to 18 significant digits first, then to `digits` decimals,
// halves to even; scientific notation when there are more than 18 integer
// digits. Exposed for writers that assemble statements themselves.
std::string FormatReal(double value, int32_t digits);

// ---- Points and rectangles (rectangles are inclusive on all edges) -----

struct TExtent {
    int32_t W = 0;
    int32_t H = 0;
    friend bool operator==(const TExtent&, const TExtent&) = default;
};

TPoint MakePoint(int32_t x, int32_t y);
TPointF MakePointF(float x, float y);
TRect MakeRect(int32_t left, int32_t top, int32_t right, int32_t bottom);  // not normalised
TRect RectFromPoints(TPoint a, TPoint b);                                  // (a.X, a.Y, b.X, b.Y)

// 32-bit wrap-around arithmetic.
TPoint AddPoint(TPoint a, TPoint b);
TPoint SubPoint(TPoint a, TPoint b);
TPointF AddPointF(TPointF a, TPoint b);
TPointF SubPointF(TPointF a, TPoint b);

// (l, t, l + w - 1, t + h - 1); a zero width gives Right = Left - 1.
TRect RectFromSize(int32_t left, int32_t top, int32_t w, int32_t h);
TRect RectFromPointSize(TPoint p, int32_t w, int32_t h);

// abs(Right - Left) + 1 by abs(Bottom - Top) + 1; fine on unnormalised rects.
TExtent RectExtent(const TRect& r);

TRect NormalizeRect(const TRect& r);
bool PointInRect(TPoint p, const TRect& r);  // r is normalised first

// Normalises copies of a and b. When they share at least one pixel, c
// becomes the common part and the result is true; otherwise c keeps its
// old value.
bool IntersectRects(const TRect& a, const TRect& b, TRect& c);
std::optional<TRect> IntersectRects(const TRect& a, const TRect& b);
bool RectsOverlap(const TRect& a, const TRect& b);

// ---- Plane geometry on floats ------------------------------------------

// Closed region: a point on the boundary is inside.
struct TClipBox {
    float XLo = 0;
    float XHi = 0;
    float YLo = 0;
    float YHi = 0;
};

// Cohen-Sutherland region code: a set of the flags below, 0 = inside.
using TOutcode = uint8_t;
inline constexpr TOutcode kOutLeft = 1;    // x < XLo
inline constexpr TOutcode kOutRight = 2;   // x > XHi
inline constexpr TOutcode kOutTop = 4;     // y < YLo
inline constexpr TOutcode kOutBottom = 8;  // y > YHi

TOutcode ClipOutcode(float x, float y, const TClipBox& box);

// Clips the segment p1-p2 to the box in place. False when it lies wholly
// outside; the end points may then already have been moved.
bool ClipSegment(TPointF& p1, TPointF& p2, const TClipBox& box);

// Solves a1*x + b1*y = c1, a2*x + b2*y = c2 by Cramer's rule. False when
// the determinant is exactly 0; x and y are then untouched.
bool SolveLinear2(float a1, float b1, float c1, float a2, float b2, float c2, float& x, float& y);

// Crossing point of the segments a1-a2 and b1-b2, end points included; a
// shared end point of non-parallel segments is returned exactly. Parallel
// and collinear segments never cross. On false, cross is untouched.
bool SegmentsIntersect(TPointF a1, TPointF a2, TPointF b1, TPointF b2, TPointF& cross);

// ---- Number text -------------------------------------------------------

// Decimal integer with an optional sign ("+12", "-3"); false for anything
// else, including values beyond 32 bits. value is set only on success.
bool TextToInt(std::string_view text, int32_t& value);
// Decimal number with "." as the separator whatever the process locale
// ("1.5", "-.5", "2.", "1e3"); false for other text, "inf", "nan" and values
// out of range. value is set only on success.
bool TextToFloat(std::string_view text, float& value);
bool TextToFloat(std::string_view text, double& value);

// ---- Integer chores ----------------------------------------------------

// Nearest, halves to even (the default rounding mode); NaN gives 0, and
// values beyond 32 bits, the infinities included, clamp to the far ends.
int32_t RoundToInt32(double v);
// v clamped to INT32_MIN .. INT32_MAX.
int32_t ClampToInt32(int64_t v);
// Two's-complement wrap without signed overflow: positions are plain int32,
// and sums over deep or far-flung trees wrap instead of overflowing.
int32_t WrapAdd(int32_t a, int32_t b);
int32_t WrapSub(int32_t a, int32_t b);

// lo when v <= lo, else v when v < hi, else hi.
int32_t Clamp(int32_t v, int32_t lo, int32_t hi);
// a[0 .. count-1] := v; nothing for count <= 0, never past a.size().
void FillInts(std::span<int32_t> a, int32_t count, int32_t v);
void SwapInts(int32_t& a, int32_t& b);
// Afterwards a <= b.
void OrderInts(int32_t& a, int32_t& b);

}  // namespace quenlo
