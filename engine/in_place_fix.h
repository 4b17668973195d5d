// Rewrites the aspect codes of a file where they lie, writing nothing else: the in-place fix.
#pragma once

#include "conversion_run.h"
#include "outcomes.h"
#include "progress_sink.h"
#include "video/conversion_mode.h"

#include <cstddef>
#include <string>

namespace veltrane {

// Writes into `path` exactly the bytes RunConversion in `mode` would change in its copy, one by one,
// each as soon as the scan has passed it. Stopped part-way (the sink, a failed write), the file holds
// some final bytes and some old ones, never anything else; a second fix in the same mode completes
// it, and a fix of a file already fixed writes nothing. `report` counts as RunConversion's does.
// Where the whole file must be read before the first write (a format that may refuse), what that read
// finds is kept, up to `keepLimit` bytes of it, and written without reading the file again; a file
// that finds more is read a second time.
inline constexpr std::size_t IN_PLACE_KEEP_LIMIT = 16u << 20;
RunOutcome FixInPlace(const std::string& path, ConversionMode mode, ProgressSink& progress, RunReport& report,
                      std::size_t keepLimit = IN_PLACE_KEEP_LIMIT);

} // namespace veltrane
