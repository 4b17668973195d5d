// What a run met on its way, and the progress scale every driver reports on.
#pragma once

#include "outcomes.h"

#include <cstdint>
#include <optional>

namespace veltrane {

// Top of the progress scale handed to ProgressSink::Position.
inline constexpr int PROGRESS_MAX = 10000;

// Progress after `total - remaining` of `total` bytes have been read, truncated toward zero.
// Division comes first so that the figures match the dialog's historic ones exactly (57 of 100 is 5699).
int ProgressPosition(std::int64_t total, std::int64_t remaining);

// What a run met on its way, for callers that tell the user more than success or failure.
struct RunReport {
    std::uint64_t headersFound = 0;     // sequence headers whose aspect byte was in the file
    std::uint64_t headersRewritten = 0; // of those, the ones whose aspect code the run changed
    std::uint64_t fieldsRewritten = 0;  // a container's own aspect fields the run changed
    std::uint64_t spsFound = 0;         // of headersFound, the H.264/HEVC SPSs
    bool carriesAfd = false;            // a video stream carries AFD codes, which the run left as they are
    FailureReason failure;              // why a run that failed did, where the outcome alone says less
};

// Why a run that went through rewrote no aspect code at all; nothing when it rewrote one.
inline std::optional<NothingRewritten> WhyNothingRewritten(const RunReport& report) {
    if (report.headersRewritten > 0)
        return std::nullopt;
    return report.headersFound > 0 ? NothingRewritten::OtherAspectNotFound
                                   : NothingRewritten::NoSequenceHeader;
}

} // namespace veltrane
