// Tells which display aspect the first sequence header of a file declares.
#pragma once

#include "outcomes.h"
#include "video/sequence_header.h"

#include <cstdint>
#include <string>

namespace veltrane {

// A header counts when its start code begins in the first 32 MiB: a recording that starts mid-GOP
// at a high bit rate has its first sequence header well past the first buffer-full.
inline constexpr std::uint64_t PROBE_RANGE = 33554432;
// How far past the range the probe reads for the rest of a header begun inside it.
inline constexpr std::uint64_t PROBE_SLACK = 1048576;

// What the probe says of a header that declares `aspect`.
ProbeOutcome ProbeOutcomeOf(DeclaredAspect aspect);

// Looks only at the header that starts first, through the same container walk as a run.
ProbeOutcome ProbeSourceAspect(const std::string& path);
// The same probe, also telling the aspect code (0 to 15) of the header it found, or -1 when it found
// none; for callers that name an unknown aspect instead of only refusing it.
ProbeOutcome ProbeSourceAspect(const std::string& path, int& aspectCode);
// The same, also telling why a file could not be opened (OpenFailed).
ProbeOutcome ProbeSourceAspect(const std::string& path, int& aspectCode, FailureReason& failure);

} // namespace veltrane
