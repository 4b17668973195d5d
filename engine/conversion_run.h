// Copies an MPEG file while rewriting the aspect code of every sequence header in it.
#pragma once

#include "durable_group.h"
#include "io/chunk_buffer.h"
#include "outcomes.h"
#include "progress_sink.h"
#include "run_report.h"
#include "video/conversion_mode.h"

#include <string>

namespace veltrane {

// Paths are used as given: not normalised, not checked before the open.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress);
// The same run, also telling what it found; `report` is filled as far as the run got. With
// ExistingFile::Keep a file at the destination, there at the start or put there during the run, is
// refused (DestOpenFailed, or WriteFailed at the end) and left as it is.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report,
                         io::ExistingFile existing = io::ExistingFile::Replace);
// The same run, the complete copy then left to `group` to commit with others: Completed means it is
// written and held there, its destination still as it was until the group's Commit.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report, io::ExistingFile existing,
                         DurableGroup& group);

} // namespace veltrane
