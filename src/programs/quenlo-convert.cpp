#include <clocale>
#include <csignal>
#include <cstdio>

#include "cli/ConvertCli.h"
#include "imageio/AtomicFile.h"
#include "low/Messages.h"

namespace {
// Before any other start-up code, so a signal at once still ends the run
// through the handler, never by the default action.
[[gnu::constructor(101)]] void InstallSignalHandlers() {
    // Ctrl+C, kill or a closed terminal: no temporary file is left behind.
    quenlo::RemoveTemporariesOnSignals();
    // Past a file-size limit a write should fail and be reported, not kill
    // us and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // A report read by a pipe that closes early is a failed report write,
    // which is said at the end; the conversion goes on.
    std::signal(SIGPIPE, SIG_IGN);
}
}  // namespace

int main(int argc, char** argv) {
    // Only the messages follow the locale: numbers are read and written the C way.
    std::setlocale(LC_MESSAGES, "");
    quenlo::UseMessageCatalogues();
    return quenlo::RunConvertCli(argc, argv, stdout, stderr);
}
