// The subcommands, each run over every file of the command line.
#pragma once

#include "cli_options.h"

namespace veltrane::cli {

// Carries out the request and returns the exit status: every file is tried, whatever the others did,
// until Ctrl+C or SIGTERM stops the batch.
int RunBatch(const Request& request);

} // namespace veltrane::cli
