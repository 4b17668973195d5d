// Why a file operation failed, carried from the call that failed up to the message the user reads.
#pragma once

#include <string>
#include <utility>

namespace veltrane::io {

// The file layer's own reasons, where no system call failed but the operation must not go on.
enum class Refusal {
    None,
    NotARegularFile,      // a source or a file fixed in place that is a FIFO, a device or a folder
    DestinationIsSource,  // the destination names the source file, under any name
    DestinationIsAFolder, // where the system has no words of its own for it (Windows)
    DestinationExists,    // a destination the caller asked to keep (ExistingFile::Keep) is there
    DanglingLink,         // the destination is a symbolic link to nothing
    LinkInSharedFolder,   // a link the kernel would not follow: in a sticky, world-writable folder,
                          // owned by neither the caller nor the folder's owner
    DestinationChanged,   // another file took the destination's name during the run
    CutShort,             // the file ended before the size it had when the run started
    Unsupported,          // the file holds what a conversion cannot change as asked; `detail` says what
};

struct FailureReason {
    FailureReason(int error = 0, Refusal why = Refusal::None, bool folder = false, std::string words = {})
        : systemError(error), refusal(why), inFolder(folder), detail(std::move(words)) {}

    int systemError = 0; // errno, or GetLastError() on Windows; 0 when no system call failed
    Refusal refusal = Refusal::None;
    bool inFolder = false; // the call that failed was on the destination's folder, not on the file
    std::string detail;    // with Refusal::Unsupported: what the file holds that cannot be converted; with
                           // no refusal and no system code: the reason in words another library gave

    bool Known() const { return systemError != 0 || refusal != Refusal::None || !detail.empty(); }
};

// What becomes of a file that already has the destination's name.
enum class ExistingFile {
    Replace, // replaced when the copy is complete (what the dialog's save prompt has asked)
    Keep,    // refused up front, and never replaced by the final step should one appear meanwhile
};

// The system's own text for one of its error codes (strerror, FormatMessage), without a final period.
std::string SystemErrorText(int code);

} // namespace veltrane::io
