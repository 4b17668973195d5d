// Copies an MPEG file while rewriting the aspect code of every sequence header in it.
#pragma once

#include "conversion_mode.h"
#include "outcomes.h"
#include "progress_sink.h"

#include <cstdint>
#include <string>

namespace veltrane {

// The one working buffer of a run, and of the probe.
inline constexpr std::uint32_t CHUNK_SIZE = 655360;
// Top of the progress scale handed to ProgressSink::Position.
inline constexpr int PROGRESS_MAX = 10000;

// Paths are used as given: not normalised, not checked before the open.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress);

// Progress after `total - remaining` of `total` bytes have been read, truncated toward zero.
// Division comes first so that the figures match the dialog's historic ones exactly (57 of 100 is 5699).
int ProgressPosition(std::int64_t total, std::int64_t remaining);

} // namespace veltrane
