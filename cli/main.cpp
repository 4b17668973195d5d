// veltrane-cli: the engine's conversion, probe and scan for batches, scripts and machines without a desktop.
#include "batch.h"
#include "cli_options.h"
#include "interrupt.h"
#include "process_start.h"

int main(int argc, char** argv) {
    // Also a reader that goes away (| head) then ends our output, not the program: the write fails and is
    // told.
    veltrane::IgnoreWriteSignals();
    veltrane::cli::InstallStopHandlers();
    const veltrane::cli::ParsedCommandLine parsed = veltrane::cli::ParseCommandLine(argc, argv);
    if (!parsed.request)
        return parsed.exitStatus;
    return veltrane::cli::RunBatch(*parsed.request);
}
