// What each name on the command line stands for: a file, a stream, or a folder to walk with -r.
#pragma once

#include "cli_options.h"

#include <string>
#include <vector>

namespace veltrane::cli {

enum class SourceKind {
    File,   // a regular file, or a name that is not there: the run tells why it cannot be read
    Stream, // "-" (standard input), a FIFO, a pipe (/dev/fd/N), a device: read until it ends
    Folder,
};

// The one place a name is classified; the subcommands act on the kind, never on the name.
SourceKind ClassifySource(const std::string& name);

struct Source {
    std::string file; // the name to read, as given or as found under a folder
    SourceKind kind = SourceKind::File;
    bool walked = false; // found by -r: skipped, not failed, when it holds no MPEG-1/2 video
    std::string mirror;  // found by -r: its place under --out-dir, the walked folder's name first
    std::string refusal; // why it is refused before any run: a folder without -r, an unreadable folder
};

// The request's sources in order. With -r a folder becomes the regular files under it, in name order,
// never descending into --out-dir; without -r it is refused, saying to add it.
std::vector<Source> ListSources(const Request& request);

} // namespace veltrane::cli
