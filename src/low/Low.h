#pragma once
// Text tokens and small path and distance helpers.
#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>

namespace quenlo {

// The platform's path separator.
#ifdef _WIN32
inline constexpr char kPathDelim = '\\';
#else
inline constexpr char kPathDelim = '/';
#endif

// Every cut keeps at most this many characters of the remaining text, so a
// statement text is read only up to its 255th character from the first
// non-blank. A limit of the statement format.
inline constexpr std::size_t kMaxTokenText = 255;

// A set of byte values. Blanks are members only when put in explicitly.
class TDelims {
public:
    TDelims() = default;
    // Every character of `chars` becomes a member: TDelims(" \t(").
    TDelims(std::string_view chars) {  // NOLINT: implicit by design
        for (char c : chars) Add(c);
    }
    TDelims& Add(char c) {
        bits_.set(static_cast<unsigned char>(c));
        return *this;
    }
    bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }
    friend bool operator==(const TDelims&, const TDelims&) = default;

private:
    std::bitset<256> bits_;
};

// Whether a token that starts with '"' is protected up to its closing quote.
enum class Quotes : bool { Off, On };

// Removes leading tabs and spaces and keeps at most kMaxTokenText characters:
// what NextToken does to the text before and after a token.
void SkipBlanks(std::string& text);

// Cuts the next token off `text` at the first member of `delims` and
// consumes that one delimiter and the blanks around it. The token keeps its
// quotes and any trailing blanks that are not delimiters. Two delimiters in a
// row yield an empty token on the next call.
void NextToken(std::string& text, const TDelims& delims, Quotes quotes, std::string& token);
// The same on a view: returns the token as a piece of text and moves text
// past what the call consumes.
std::string_view NextToken(std::string_view& text, const TDelims& delims, Quotes quotes);

// Equal but for the case of ASCII letters; other bytes must match exactly.
bool SameTextAscii(std::string_view a, std::string_view b);

// s without one surrounding pair of double quotes; otherwise s unchanged.
std::string StripQuotes(std::string_view s);

// Text for a message line: unchanged unless it holds control characters;
// then quoted as a shell would read it back ('a'$'\n''b'), so a name
// holding a newline cannot forge a second line.
std::string QuoteControls(std::string_view text);

// sqrt((x1-x2)^2 + (y1-y2)^2) in float; 0.0001 instead of 0 so callers may divide by it.
float PointDistance(float x1, float y1, float x2, float y2);

// Appends the path separator unless the path is empty or already ends with one.
void AddBackslash(std::string& path);

}  // namespace quenlo
