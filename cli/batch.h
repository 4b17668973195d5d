// The subcommands, each run over every file of the command line.
#pragma once

#include "cli_options.h"

#include <filesystem>
#include <string>

namespace veltrane::cli {

// Carries out the request and returns the exit status: every file is tried, whatever the others did,
// until Ctrl+C or SIGTERM stops the batch.
int RunBatch(const Request& request);

// The scan subcommand, which RunBatch hands a scan request to.
int ScanFiles(const Request& request);

// A name from the command line for std::filesystem: names are UTF-8 throughout, and std::filesystem
// takes narrow strings in the ANSI code page on Windows.
std::filesystem::path FsPath(const std::string& name);
// The other way: a path as a name the engine and the reports take.
std::string NameOf(const std::filesystem::path& path);

} // namespace veltrane::cli
