#pragma once
// File-name parts, by the platform's separators. The extension is the part
// from the last "." after the last separator, dot included.
#include <string>
#include <string_view>

namespace quenlo {

bool IsPathDelim(char c);
std::string ExtractFileExt(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ExtractFileDir(std::string_view path);  // without the trailing separator; "" for a bare name
// Replaces the extension, or appends ext when there is none.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string UpperAscii(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

// Finds an existing file: the exact spelling first, then a name in the same
// folder equal to it but for ASCII case (preferring prefer's spelling of the
// extension, then the first in byte order). Returns "" when none exists.
std::string FindFileIgnoringCase(const std::string& path, std::string_view preferExt = {});

}  // namespace quenlo
