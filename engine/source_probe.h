// Tells which display aspect the first sequence header of a file declares.
#pragma once

#include "outcomes.h"

#include <cstdint>
#include <string>

namespace veltrane {

// A header counts when its start code begins in the first 32 MiB: a recording that starts mid-GOP
// at a high bit rate has its first sequence header well past the first buffer-full.
inline constexpr std::uint64_t PROBE_RANGE = 33554432;
// How far past the range the probe reads for the rest of a header begun inside it.
inline constexpr std::uint64_t PROBE_SLACK = 1048576;

// Looks only at the header that starts first, through the same container walk as a run.
ProbeOutcome ProbeSourceAspect(const std::string& path);

} // namespace veltrane
