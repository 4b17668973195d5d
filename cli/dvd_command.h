// A DVD-Video folder given as the source: converted, fixed in place or scanned as a whole disc.
#pragma once

#include "cli_options.h"

#include <optional>

namespace veltrane::cli {

// The exit status when the request names a folder (a DVD folder, or one refused as neither a DVD nor
// a file); nothing when it names only files, which the batch takes as before.
std::optional<int> RunFolderRequest(const Request& request);

} // namespace veltrane::cli
