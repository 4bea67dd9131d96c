#pragma once
// Texts a person reads, in the language of the reader's locale, from the
// "quenlo" gettext catalogues. A text is its own key: the Japanese one where
// the system has always said Japanese, English elsewhere.
#include <string>

namespace quenlo {

// The text of msgid in the reader's language; msgid itself until a program
// has called UseMessageCatalogues, so a library user that never asked for
// translations reads the source texts.
const char* Tr(const char* msgid) __attribute__((format_arg(1)));

// printf into a string, for a translated format: FormatText(Tr("... %s"), s).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For programs: call once after setlocale(LC_MESSAGES, "") and before any
// thread starts. The catalogues are looked for in ../share/locale beside the
// executable (the build tree's bin/, or an installed bin/), then in the
// installed locale folder. A locale that has no catalogue of its own, the C
// and POSIX locales among them, reads the English one, which the glibc
// gettext never consults there.
void UseMessageCatalogues();

}  // namespace quenlo
