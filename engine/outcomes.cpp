// The message texts of the engine's outcomes, exactly as users have always seen them.
#include "outcomes.h"

namespace veltrane {

std::string_view OutcomeText(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Completed:
        return {};
    case RunOutcome::SourceOpenFailed:
        return "can't open input file";
    case RunOutcome::DestOpenFailed:
        return "can't open output file.";
    case RunOutcome::OutOfMemory:
        return "memory allocate error";
    case RunOutcome::SizeUnavailable:
        return "can't get file size";
    case RunOutcome::ReadFailed:
        return "can't read input file";
    case RunOutcome::WriteFailed:
        return "can't write output file.";
    case RunOutcome::Cancelled:
        return "cancelled";
    case RunOutcome::Refused:
        return "can't convert this file";
    }
    return {};
}

std::string_view OutcomeText(ProbeOutcome outcome) {
    switch (outcome) {
    case ProbeOutcome::Aspect4x3:
    case ProbeOutcome::Aspect16x9:
        return {};
    case ProbeOutcome::AspectUnknown:
        return "unknown aspect ratio";
    case ProbeOutcome::HeaderNotFound:
        return "can't find seqence_header";
    case ProbeOutcome::OpenFailed:
        return "file open error";
    case ProbeOutcome::OutOfMemory:
        return "memory allocate error";
    }
    return {};
}

// The copy is made all the same, and the texts say so.
std::string_view OutcomeText(NothingRewritten outcome) {
    switch (outcome) {
    case NothingRewritten::OtherAspectNotFound:
        return "no seqence_header with the other aspect ratio. output file is an unchanged copy.";
    case NothingRewritten::NoSequenceHeader:
        return "can't find seqence_header. output file is an unchanged copy.";
    }
    return {};
}

std::string ReasonText(const FailureReason& reason) {
    switch (reason.refusal) {
    case Refusal::None:
        if (reason.systemError == 0)
            return reason.detail;
        break;
    case Refusal::NotARegularFile:
        return "not a regular file";
    case Refusal::DestinationIsSource:
        return "the destination is the source file itself";
    case Refusal::DestinationIsAFolder:
        return "the destination is a folder";
    case Refusal::DestinationExists:
        return "the destination exists";
    case Refusal::DanglingLink:
        return "the destination is a symbolic link to a file that does not exist";
    case Refusal::LinkInSharedFolder:
        return "a link in a shared folder owned by another user";
    case Refusal::DestinationChanged:
        return "another file took the destination's name during the run; both were left as they are";
    case Refusal::CutShort:
        return "the file was cut short during the run";
    case Refusal::Unsupported:
        return reason.detail;
    }
    if (reason.systemError == 0)
        return {};
    // The folder is named, or a writable destination in a folder that is not would look like the file.
    return (reason.inFolder ? "the destination's folder: " : "") + io::SystemErrorText(reason.systemError);
}

namespace {
std::string WithReason(std::string_view text, const FailureReason& reason, std::string_view separator) {
    std::string whole(text);
    if (const std::string why = ReasonText(reason); !why.empty())
        whole.append(separator).append(why);
    return whole;
}
} // namespace

std::string FailureText(RunOutcome outcome, const FailureReason& reason, std::string_view separator) {
    return WithReason(OutcomeText(outcome), reason, separator);
}

std::string FailureText(ProbeOutcome outcome, const FailureReason& reason, std::string_view separator) {
    return WithReason(OutcomeText(outcome), reason, separator);
}

} // namespace veltrane
