#pragma once
// The window's texts in the reader's language, from the same catalogues as
// the programs' messages (low/Messages.h).
#include <QString>

#include "low/Messages.h"

namespace quenlo {

inline QString QTr(const char* msgid) { return QString::fromUtf8(Tr(msgid)); }

}  // namespace quenlo
