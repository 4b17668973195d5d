// veltrane-cli: the engine's conversion, probe and scan for batches, scripts and machines without a desktop.
#include "batch.h"
#include "cli_options.h"
#include "interrupt.h"

#include <csignal>

int main(int argc, char** argv) {
    // A reader that goes away (| head) ends our output, not the program: the write fails and is told.
    std::signal(SIGPIPE, SIG_IGN);
    veltrane::cli::InstallStopHandlers();
    const veltrane::cli::ParsedCommandLine parsed = veltrane::cli::ParseCommandLine(argc, argv);
    if (!parsed.request)
        return parsed.exitStatus;
    return veltrane::cli::RunBatch(*parsed.request);
}
