#pragma once
// The command-line conventions both tools share, over CLI11.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <optional>

namespace quenlo {

// Parses argv into app, then runs check, which may throw CLI::ParseError
// for combinations CLI11 cannot express. --help prints the help of the
// subcommand named, if any, and --version "NAME VERSION", both on out with
// status 0; a usage error prints "NAME: what" and a hint on err with
// status 2. nullopt when the tool should go on.
std::optional<int> ParseToolArgs(CLI::App& app, int argc, const char* const* argv, FILE* out, FILE* err,
                                 const std::function<void()>& check = {});

}  // namespace quenlo
