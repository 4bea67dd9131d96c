#include "low/Messages.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <libintl.h>
#include <unordered_map>
#include <vector>

namespace quenlo {

namespace {

constexpr const char* kDomain = "quenlo";

struct Catalogues {
    bool used = false;     // UseMessageCatalogues ran
    bool gettext = false;  // the locale has a catalogue, which dgettext reads
    std::unordered_map<std::string, std::string> english;  // otherwise these
};

Catalogues& State() {
    static Catalogues c;
    return c;
}

// The translations of a .mo file: a header of 32-bit words (magic, revision,
// count, offset of the source table, offset of the translation table), each
// table count pairs of (length, offset) of NUL-ended strings. Entries with a
// context or plural forms are not used here. Empty when the file is missing
// or malformed.
std::unordered_map<std::string, std::string> ReadMo(const std::filesystem::path& name) {
    std::unordered_map<std::string, std::string> texts;
    std::ifstream in(name, std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(name, ec);
    // Ours is a few kilobytes; anything this large is not it.
    if (!in || ec || size < 20 || size > (16u << 20)) return texts;
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() != size) return texts;
    bool swap = false;
    auto word = [&](uint64_t at) {
        uint32_t w = 0;
        std::memcpy(&w, data.data() + at, 4);
        return swap ? __builtin_bswap32(w) : w;
    };
    const uint32_t magic = word(0);
    if (magic != 0x950412de) {
        swap = true;
        if (word(0) != 0x950412de) return texts;
    }
    const uint64_t count = word(8), sources = word(12), targets = word(16);
    if (sources + count * 8 > size || targets + count * 8 > size) return texts;
    // The string at table entry i, or nullptr when it runs past the file.
    auto text = [&](uint64_t table, uint64_t i) -> const char* {
        const uint64_t length = word(table + i * 8), at = word(table + i * 8 + 4);
        return at + length < size && data[at + length] == '\0' ? data.data() + at : nullptr;
    };
    for (uint64_t i = 0; i < count; ++i) {
        const char *source = text(sources, i), *target = text(targets, i);
        if (source && target && *source && !std::strchr(source, '\x04')) texts.emplace(source, target);
    }
    return texts;
}

// ../share/locale beside the executable or, for a program such as Python
// that loads the library, beside the library; else the installed folder.
std::filesystem::path LocaleDir() {
    std::error_code ec;
    std::vector<std::filesystem::path> homes;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) homes.push_back(exe.parent_path());
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&LocaleDir), &info) && info.dli_fname)
        homes.push_back(std::filesystem::path(info.dli_fname).parent_path());
    for (const std::filesystem::path& home : homes) {
        const std::filesystem::path beside = home.parent_path() / "share/locale";
        if (std::filesystem::exists(beside / "en/LC_MESSAGES/quenlo.mo", ec)) return beside;
    }
    return QUENLO_LOCALEDIR;
}

}  // namespace

const char* Tr(const char* msgid) {
    const Catalogues& c = State();
    // "" would give the catalogue's header.
    if (!c.used || !*msgid) return msgid;
    if (c.gettext) return ::dgettext(kDomain, msgid);
    const auto hit = c.english.find(msgid);
    return hit == c.english.end() ? msgid : hit->second.c_str();
}

std::string FormatText(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

void UseMessageCatalogues() {
    Catalogues& c = State();
    const std::filesystem::path dir = LocaleDir();
    ::bindtextdomain(kDomain, dir.c_str());
    ::bind_textdomain_codeset(kDomain, "UTF-8");
    // The header, the translation of "", is there only when a catalogue was found.
    const char* header = ::dgettext(kDomain, "");
    c.gettext = header && *header;
    if (!c.gettext) c.english = ReadMo(dir / "en/LC_MESSAGES/quenlo.mo");
    c.used = true;
}

}  // namespace quenlo
