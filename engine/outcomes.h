// The results of the engine's two calls, and the text the user is shown for each failure.
#pragma once

#include <string_view>

namespace veltrane {

enum class RunOutcome {
    Completed,
    SourceOpenFailed,
    DestOpenFailed,
    OutOfMemory,
    SizeUnavailable,
    ReadFailed,
    WriteFailed,
    Cancelled, // the progress sink asked the run to stop
};

enum class ProbeOutcome {
    Aspect4x3,
    Aspect16x9,
    AspectUnknown,
    HeaderNotFound,
    OpenFailed,
    OutOfMemory,
};

// The message box text for an outcome; empty for the outcomes that show none.
std::string_view OutcomeText(RunOutcome outcome);
std::string_view OutcomeText(ProbeOutcome outcome);

} // namespace veltrane
