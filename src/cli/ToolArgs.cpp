#include "cli/ToolArgs.h"

#include <string>

#include "low/Messages.h"

namespace quenlo {

std::optional<int> ParseToolArgs(CLI::App& app, int argc, const char* const* argv, FILE* out, FILE* err,
                                 const std::function<void()>& check) {
    app.set_version_flag("--version", app.get_name() + " " + QUENLO_VERSION);
    try {
        app.parse(argc, argv);
        if (check) check();
    } catch (const CLI::CallForHelp&) {
        // "quenlo-scene render --help" shows the help of render.
        const auto used = app.get_subcommands();
        std::fputs((used.empty() ? app.help() : used.back()->help()).c_str(), out);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::fprintf(out, "%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(err, Tr("%s: %s\nRun with --help for usage.\n"), app.get_name().c_str(), e.what());
        return 2;
    }
    return std::nullopt;
}

}  // namespace quenlo
