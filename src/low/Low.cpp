#include "low/Low.h"

#include <algorithm>
#include <cmath>

namespace quenlo {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void KeepLimit(std::string& text) {
    if (text.size() > kMaxTokenText) text.resize(kMaxTokenText);
}
}  // namespace

void SkipBlanks(std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    text.erase(0, i);
    KeepLimit(text);
}

std::string_view NextToken(std::string_view& text, const TDelims& delims, Quotes quotes) {
    // Positions in text, cut once at the end: the same as dropping blanks,
    // the token and the delimiter one after another, keeping at most
    // kMaxTokenText characters from the first non-blank.
    const std::size_t size = text.size();
    std::size_t s = 0;
    while (s < size && IsBlank(text[s])) ++s;
    const std::size_t n = std::min(size, s + kMaxTokenText);
    std::size_t i = s;
    if (i < n && quotes == Quotes::On && text[i] == '"') {
        ++i;
        while (i < n && text[i] != '"') ++i;
    }
    // A quoted token runs on from its closing quote to the next delimiter.
    while (i < n && !delims.Contains(text[i])) ++i;
    const std::string_view token = text.substr(s, i - s);

    std::size_t j = i;
    while (j < n && IsBlank(text[j])) ++j;
    // Only one delimiter is consumed, so ",," gives an empty token next time.
    if (j < n && delims.Contains(text[j])) {
        ++j;
        while (j < n && IsBlank(text[j])) ++j;
    }
    text = text.substr(j, n - j);
    return token;
}

void NextToken(std::string& text, const TDelims& delims, Quotes quotes, std::string& token) {
    std::string_view rest = text;
    token.assign(NextToken(rest, delims, quotes));
    const std::size_t from = std::size_t(rest.data() - text.data());
    text.resize(from + rest.size());
    text.erase(0, from);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return upper(x) == upper(y); });
}

std::string QuoteControls(std::string_view text) {
    auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (std::none_of(text.begin(), text.end(), control)) return std::string(text);
    static constexpr char kNamed[] = "abtnvfr";  // \a (7) to \r (13)
    std::string out = "'";
    bool escaping = false;  // inside $'...'
    for (const char c : text) {
        if (control(c)) {
            if (!escaping) out += "'$'";
            escaping = true;
            const auto b = static_cast<unsigned char>(c);
            if (b >= 7 && b <= 13) {
                out += '\\';
                out += kNamed[b - 7];
            } else {
                out += '\\';
                out += static_cast<char>('0' + (b >> 6));
                out += static_cast<char>('0' + (b >> 3 & 7));
                out += static_cast<char>('0' + (b & 7));
            }
            continue;
        }
        if (escaping) out += "''";
        escaping = false;
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string StripQuotes(std::string_view s) {
    // A lone '"' both begins and ends with a quote and strips to "".
    if (!s.empty() && s.front() == '"' && s.back() == '"') {
        if (s.size() == 1) return {};
        return std::string(s.substr(1, s.size() - 2));
    }
    return std::string(s);
}

float PointDistance(float x1, float y1, float x2, float y2) {
    // The sum is formed in double and rounded to float once.
    const double dx = double(x1) - x2, dy = double(y1) - y2;
    const float d = static_cast<float>(dx * dx + dy * dy);
    return d > 0 ? std::sqrt(d) : 0.0001f;
}

void AddBackslash(std::string& path) {
    if (path.empty()) return;
    const char last = path.back();
#ifdef _WIN32
    if (last == '\\' || last == '/') return;
#else
    if (last == kPathDelim) return;
#endif
    path += kPathDelim;
}

}  // namespace quenlo
