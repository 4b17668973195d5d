// Tells which display aspect the first sequence header of a file declares.
#pragma once

#include "outcomes.h"

#include <string>

namespace veltrane {

// Looks only at the first CHUNK_SIZE bytes and only at the first header in them.
ProbeOutcome ProbeSourceAspect(const std::string& path);
// The same probe, also telling the aspect code (0 to 15) of the header it found, or -1 when it found
// none; for callers that name an unknown aspect instead of only refusing it.
ProbeOutcome ProbeSourceAspect(const std::string& path, int& aspectCode);

} // namespace veltrane
