#include "pixelmap/ColorText.h"

#include <cctype>
#include <string>

namespace quenlo {

std::optional<TColor> ColorFromText(std::string_view text) {
    if (text.size() == 7 && text[0] == '#') {
        unsigned v = 0;
        for (char c : text.substr(1)) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
            v = v << 4 | unsigned(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
        }
        return ColorFromRGB(int(v >> 16), int(v >> 8 & 255), int(v & 255));
    }
    struct Named {
        const char* name;
        unsigned rgb;
    };
    static constexpr Named kNames[] = {
        {"white", 0xFFFFFF}, {"black", 0x000000},  {"red", 0xFF0000},    {"green", 0x008000},
        {"blue", 0x0000FF},  {"yellow", 0xFFFF00}, {"cyan", 0x00FFFF},   {"magenta", 0xFF00FF},
        {"grey", 0x808080},  {"gray", 0x808080},   {"silver", 0xC0C0C0}, {"navy", 0x000080},
        {"maroon", 0x800000}, {"olive", 0x808000}, {"teal", 0x008080},   {"purple", 0x800080},
        {"orange", 0xFFA500}};
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Named& n : kNames)
        if (lower == n.name) return ColorFromRGB(int(n.rgb >> 16), int(n.rgb >> 8 & 255), int(n.rgb & 255));
    return std::nullopt;
}

}  // namespace quenlo
