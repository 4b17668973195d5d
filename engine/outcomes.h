// The results of the engine's two calls, and the text the user is shown for each failure.
#pragma once

#include "io/failure_reason.h"

#include <string>
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
    Refused,   // the file holds what cannot be changed as asked, found before anything was kept
};

enum class ProbeOutcome {
    Aspect4x3,
    Aspect16x9,
    AspectUnknown,
    HeaderNotFound,
    OpenFailed,
    OutOfMemory,
};

// Why a run that went through changed nothing; the user is told rather than given the success beep.
enum class NothingRewritten {
    OtherAspectNotFound, // sequence headers there, none in the aspect the run converts from
    NoSequenceHeader,
};

// The message box text for an outcome; empty for the outcomes that show none.
std::string_view OutcomeText(RunOutcome outcome);
std::string_view OutcomeText(ProbeOutcome outcome);
std::string_view OutcomeText(NothingRewritten outcome);

using io::ExistingFile;
using io::FailureReason;
using io::Refusal;

// Why a run failed, in words: the file layer's own reason, or the system's text for its error; empty
// when neither is known.
std::string ReasonText(const FailureReason& reason);
// What the user reads of a failed run: the outcome's text, then `separator` and the reason when there is
// one ("can't open output file.: Is a directory" on a command line, the reason as a second line in a
// message box).
std::string FailureText(RunOutcome outcome, const FailureReason& reason, std::string_view separator);
std::string FailureText(ProbeOutcome outcome, const FailureReason& reason, std::string_view separator);

} // namespace veltrane
