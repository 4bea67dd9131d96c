#pragma once
// QUENLO as a library: images read and written exactly, batches converted
// with the converter's plan and rules, scene scripts rendered.
// Everything here is in namespace quenlo (inline namespace v0, the ABI of
// libquenlo.so.0) and may throw the classes of quenlo/errors.h.
#include "quenlo/convert.h"
#include "quenlo/errors.h"
#include "quenlo/image.h"
#include "quenlo/scene.h"

#define QUENLO_VERSION_MAJOR 0
#define QUENLO_VERSION_MINOR 1

namespace quenlo {
inline namespace v0 {

// The library's version, "0.1.0".
const char* Version() noexcept;

// Gives error messages in the language of the locale's LC_MESSAGES from
// the installed catalogues (English where it has none, the C locale among
// them); until then they are the library's source texts. Call once, after
// setlocale and before other threads use the library.
void TranslateMessages();

}  // namespace v0
}  // namespace quenlo
