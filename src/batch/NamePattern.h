#pragma once
// An output's file name, before its extension, from a pattern of literal
// text and fields:
//   {name}  the input's file name without its extension
//   {ext}   the input's extension without the dot, as spelled
//   {n}     the input's place in the batch as listed, from 1; {n:3} pads it
//           with zeros to 3 digits
//   {date}  the day the input was last changed, YYYY-MM-DD in local time
//   {w} {h} the output's width and height in pixels, known only once the
//           image is read and resized
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// One input's fields. A size of -1 (not known yet) leaves "{w}" or "{h}" as
// written, so that names are compared before the sizes are known.
struct NameFields {
    std::string_view fileName;  // the input's, without its folder
    uint32_t n = 0;
    std::string_view date;  // "YYYY-MM-DD"
    long long width = -1, height = -1;
};

class TNamePattern {
public:
    // Throws EQuenlo naming the fault: an empty pattern, an unknown field, a
    // brace not closed or not opened, a folder separator, or a name of dots alone.
    explicit TNamePattern(std::string_view pattern = "{name}");

    const std::string& Text() const { return text_; }
    bool Plain() const { return plain_; }  // "{name}": the input's own name
    bool HasSize() const { return hasSize_; }
    bool HasDate() const { return hasDate_; }
    // "" when the name comes out empty, "." or "..": the input gets none.
    std::string Expand(const NameFields& fields) const;

private:
    enum class Field : uint8_t { Text, Name, Ext, Number, Date, Width, Height };
    struct Part {
        Field field = Field::Text;
        std::string text;  // of Text
        int digits = 0;    // of Number: padded with zeros to this many
    };
    std::string text_;
    std::vector<Part> parts_;
    bool plain_ = true, hasSize_ = false, hasDate_ = false;
};

// The day a file was last changed, "YYYY-MM-DD" in local time; kNoDate
// when it cannot be read (an input that is missing fails on its own).
inline constexpr std::string_view kNoDate = "0000-00-00";
std::string FileDate(const std::string& name);

// "out/a (3).bmp" for "out/a.bmp" and 3: the number before the extension.
std::string NumberedName(std::string_view path, uint32_t number);
// The name with every " (N)" that ends its stem taken out: "a.bmp" for
// "a (2) (3).bmp". Every name numbered from one output gives the same, so
// outputs that could ever meet share it.
std::string UnnumberedName(std::string_view path);

}  // namespace quenlo
