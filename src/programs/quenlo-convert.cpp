#include <csignal>
#include <cstdio>

#include "cli/ConvertCli.h"
#include "imageio/AtomicFile.h"

int main(int argc, char** argv) {
    // Past a file-size limit a write should fail and be reported, not kill
    // us and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // Ctrl+C, kill or a closed terminal: no temporary file is left behind.
    quenlo::RemoveTemporariesOnSignals();
    return quenlo::RunConvertCli(argc, argv, stdout, stderr);
}
