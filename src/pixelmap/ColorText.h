#pragma once
// Colours as people type them: a few names, or #rrggbb.
#include <optional>
#include <string_view>

#include "pixelmap/Color.h"

namespace quenlo {

// "#rrggbb" (hex digits in any case), or one of white, black, red, green,
// blue, yellow, cyan, magenta, grey/gray, silver, navy, maroon, olive,
// teal, purple, orange (CSS's values, ignoring case). Empty otherwise.
std::optional<TColor> ColorFromText(std::string_view text);

}  // namespace quenlo
