#pragma once
// quenlo-convert [-o DIR] [-j N] [--keep-going] [--skip-existing] [-q] FILE...
// Exit status: 0 all converted, 1 some failed, 2 usage error.
#include <cstdio>

namespace quenlo {

int RunConvertCli(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace quenlo
