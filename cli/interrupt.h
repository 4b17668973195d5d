// Ctrl+C and SIGTERM as a polite request: the run in progress stops at its next buffer-full.
#pragma once

namespace veltrane::cli {

// SIGINT and SIGTERM only note the signal from now on; nothing is killed half-way.
void InstallStopHandlers();

// The signal that asked the program to stop, or 0 while none has.
int StopSignal();

} // namespace veltrane::cli
