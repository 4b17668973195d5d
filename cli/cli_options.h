// What a command line asks veltrane-cli to do, parsed with CLI11.
#pragma once

#include "conversion_policy.h"

#include <optional>
#include <string>
#include <vector>

namespace veltrane::cli {

enum class Command { Probe, Scan, Convert };
using Target = AspectTarget;

struct Request {
    Command command = Command::Probe;
    std::vector<std::string> files; // as given: bytes, never re-encoded; "-" is standard input
    Target target = Target::Flip;
    std::string output; // -o: the destination of the one file; "-" is standard output
    std::string outDir; // --out-dir: a folder that takes every file under its own name
    bool inPlace = false;
    bool force = false;
    bool json = false;
    bool quiet = false;
    bool recursive = false; // -r: a folder stands for the files under it
    bool dryRun = false;    // -n: read and tell, write nothing
};

// Exit statuses, the same for every subcommand.
inline constexpr int EXIT_ALL_DONE = 0;
inline constexpr int EXIT_SOME_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
// The reader of standard output went away (| head): the status a shell shows for a program SIGPIPE
// ended, without the signal, so that pipelines read the same as with any other tool.
inline constexpr int EXIT_READER_GONE = 141;

// Either a request to carry out, or the exit status of a command line already answered (--help,
// --version) or refused (a usage error, told on stderr).
struct ParsedCommandLine {
    std::optional<Request> request;
    int exitStatus = EXIT_ALL_DONE;
};

ParsedCommandLine ParseCommandLine(int argc, char** argv);

} // namespace veltrane::cli
