#include "batch/NamePattern.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

// `why` is a translated format taking the pattern, then the field when it names one.
[[noreturn]] void Refuse(const char* why, std::string_view pattern, std::string_view field = {}) {
    throw EQuenlo(FormatText(why, std::string(pattern).c_str(), std::string(field).c_str()));
}

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

TNamePattern::TNamePattern(std::string_view pattern) : text_(pattern) {
    if (pattern.empty()) Refuse(Tr("the name pattern \"%s\" is empty; {name} keeps the input's name"), pattern);
    std::string literal;  // all literal text, to refuse a name of dots alone
    for (size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (IsPathDelim(c) || c == '\0') Refuse(Tr("the name pattern \"%s\" holds a folder separator; the output folder is -o's"), pattern);
        if (c == '}') Refuse(Tr("the name pattern \"%s\" has a } that no { opens"), pattern);
        if (c != '{') {
            if (parts_.empty() || parts_.back().field != Field::Text) parts_.push_back({});
            parts_.back().text += c;
            literal += c;
            ++i;
            continue;
        }
        const size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) Refuse(Tr("the name pattern \"%s\" has a { that no } closes"), pattern);
        const std::string_view name = pattern.substr(i + 1, close - i - 1);
        Part part;
        if (name == "name") part.field = Field::Name;
        else if (name == "ext") part.field = Field::Ext;
        else if (name == "date") part.field = Field::Date;
        else if (name == "w") part.field = Field::Width;
        else if (name == "h") part.field = Field::Height;
        else if (name == "n") part.field = Field::Number, part.digits = 1;
        else if (name.starts_with("n:") && name.size() == 3 && AllDigits(name.substr(2)) && name[2] != '0')
            part.field = Field::Number, part.digits = name[2] - '0';
        else
            Refuse(Tr("the name pattern \"%s\" has an unknown field {%s}; "
                      "the fields are {name}, {ext}, {n} (or {n:3} for 001), {date}, {w} and {h}"),
                   pattern, name);
        hasSize_ |= part.field == Field::Width || part.field == Field::Height;
        hasDate_ |= part.field == Field::Date;
        parts_.push_back(std::move(part));
        i = close + 1;
    }
    if (literal.size() == pattern.size() && (literal == "." || literal == ".."))
        Refuse(Tr("the name pattern \"%s\" names no file"), pattern);
    plain_ = parts_.size() == 1 && parts_[0].field == Field::Name;
}

std::string TNamePattern::Expand(const NameFields& f) const {
    const std::string ext = ExtractFileExt(f.fileName);
    std::string out;
    for (const Part& part : parts_) {
        switch (part.field) {
            case Field::Text: out += part.text; break;
            case Field::Name: out += f.fileName.substr(0, f.fileName.size() - ext.size()); break;
            case Field::Ext: out += ext.empty() ? std::string() : ext.substr(1); break;
            case Field::Date: out += f.date; break;
            case Field::Width: out += f.width < 0 ? std::string("{w}") : std::to_string(f.width); break;
            case Field::Height: out += f.height < 0 ? std::string("{h}") : std::to_string(f.height); break;
            case Field::Number: {
                const std::string n = std::to_string(f.n);
                if (n.size() < static_cast<size_t>(part.digits)) out.append(part.digits - n.size(), '0');
                out += n;
                break;
            }
        }
    }
    return out == "." || out == ".." ? std::string() : out;
}

std::string FileDate(const std::string& name) {
    struct stat st {};
    struct tm day {};
    if (::stat(name.c_str(), &st) != 0 || !::localtime_r(&st.st_mtime, &day)) return std::string(kNoDate);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
    return text;
}

namespace {
// Where the " (N)" that ends a stem begins; npos when none does.
size_t NumberStart(std::string_view stem) {
    if (stem.size() < 4 || stem.back() != ')') return std::string_view::npos;
    size_t open = stem.rfind(" (");
    if (open == std::string_view::npos || !AllDigits(stem.substr(open + 2, stem.size() - open - 3)))
        return std::string_view::npos;
    return open;
}
}  // namespace

std::string NumberedName(std::string_view path, uint32_t number) {
    const std::string ext = ExtractFileExt(path);
    return std::string(path.substr(0, path.size() - ext.size())) + " (" + std::to_string(number) + ")" + ext;
}

std::string UnnumberedName(std::string_view path) {
    const std::string ext = ExtractFileExt(path);
    const size_t nameStart = path.size() - ExtractFileName(path).size();
    std::string_view stem = path.substr(0, path.size() - ext.size());
    for (size_t at; stem.size() > nameStart && (at = NumberStart(stem.substr(nameStart))) != std::string_view::npos;)
        stem = stem.substr(0, nameStart + at);
    return std::string(stem) + ext;
}

}  // namespace quenlo
