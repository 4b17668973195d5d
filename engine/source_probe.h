// Tells which display aspect the first sequence header of a file declares.
#pragma once

#include "outcomes.h"

#include <string>

namespace veltrane {

// Looks only at the first CHUNK_SIZE bytes and only at the first header in them.
ProbeOutcome ProbeSourceAspect(const std::string& path);

} // namespace veltrane
