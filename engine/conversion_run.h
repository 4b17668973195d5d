// Copies an MPEG file while rewriting the aspect code of every sequence header in it.
#pragma once

#include "io/chunk_buffer.h"
#include "outcomes.h"
#include "progress_sink.h"
#include "video/conversion_mode.h"

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {

// Top of the progress scale handed to ProgressSink::Position.
inline constexpr int PROGRESS_MAX = 10000;

// What a run met on its way, for callers that tell the user more than success or failure.
struct RunReport {
    std::uint64_t headersFound = 0;     // sequence headers whose aspect byte was in the file
    std::uint64_t headersRewritten = 0; // of those, the ones whose aspect code the run changed
    FailureReason failure;              // why a run that failed did, where the outcome alone says less
};

// Why a run that went through rewrote no aspect code at all; nothing when it rewrote one.
inline std::optional<NothingRewritten> WhyNothingRewritten(const RunReport& report) {
    if (report.headersRewritten > 0)
        return std::nullopt;
    return report.headersFound > 0 ? NothingRewritten::OtherAspectNotFound
                                   : NothingRewritten::NoSequenceHeader;
}

// Paths are used as given: not normalised, not checked before the open.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress);
// The same run, also telling what it found; `report` is filled as far as the run got. With
// ExistingFile::Keep a file at the destination, there at the start or put there during the run, is
// refused (DestOpenFailed, or WriteFailed at the end) and left as it is.
RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report,
                         io::ExistingFile existing = io::ExistingFile::Replace);

// Progress after `total - remaining` of `total` bytes have been read, truncated toward zero.
// Division comes first so that the figures match the dialog's historic ones exactly (57 of 100 is 5699).
int ProgressPosition(std::int64_t total, std::int64_t remaining);

} // namespace veltrane
