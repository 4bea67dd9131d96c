#pragma once
// Single-byte text in a built-in 8 x 7 bitmap font (JIS X 0201 Roman, codes
// 32..95: ASCII with the yen sign at 92). The plotter touches no pixels: it
// hands every ink pixel to OnPlot and the owner decides what that means.
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

namespace quenlo {

inline constexpr int kAnkCellWidth = 8;   // also the advance per character
inline constexpr int kAnkCellHeight = 7;
inline constexpr int kAnkFirstCode = 32;  // space
inline constexpr int kAnkGlyphCount = 64; // through 95, underscore

// 7 bytes per glyph in code order, top row first; bit 7 is the left column.
extern const std::array<uint8_t, kAnkGlyphCount * kAnkCellHeight> kAnk88Glyphs;

class TAnk88 {
public:
    using TPlotEvent = std::function<void(int32_t x, int32_t y)>;

    // Receives each ink pixel; nothing is drawn while it is empty.
    TPlotEvent OnPlot;

    // Plots ch's glyph with its cell's top-left pixel at (x, y), row by row,
    // left to right. a..z use the capitals; codes without a glyph plot nothing.
    void DrawChar(uint8_t ch, int32_t x, int32_t y) const;
    // One cell per byte from (x, y), 8 pixels apart; the position is 16-bit
    // and wraps, so a negative start lands far outside any map.
    void DrawText(std::string_view s, uint16_t x, uint16_t y) const;
};

}  // namespace quenlo
