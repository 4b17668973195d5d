// A DVD-Video folder as a whole: found, read and checked, then converted, fixed in place or scanned.
#pragma once

#include "conversion_run.h"
#include "disc/ifo_attributes.h"
#include "outcomes.h"
#include "video/conversion_mode.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::disc {

// A name as the engine takes it (UTF-8 on Windows, the bytes as they are elsewhere) for
// std::filesystem, which takes narrow strings in the ANSI code page on Windows; and back.
std::filesystem::path FsPath(const std::string& name);
std::string NameOf(const std::filesystem::path& path);

// The VIDEO_TS folder of `folder`: the folder itself, or the one it holds (a disc's names are upper
// case, but a copy may have lost that). Nothing when `folder` is neither.
std::optional<std::string> FindVideoTs(const std::string& folder);
// Whether `path` is a folder that is, or holds, a VIDEO_TS folder: a disc to take as a whole.
bool IsDvdFolder(const std::string& path);

// What stopped a disc, or one of its files.
enum class DiscProblem {
    IfoFault,         // an IFO or BUP failed its checks (`ifoFault`)
    NoVideoManager,   // VIDEO_TS holds no VIDEO_TS.IFO
    NoDirection,      // flip: a group's first VOB declares no aspect to flip from (`probe`)
    VobFailed,        // a VOB's run failed (`outcome`)
    IfoNotWritten,    // an IFO or BUP could not be written
    NotCopied,        // a file beside the VOBs and IFOs could not be copied
    FolderUnreadable, // the disc's folder could not be listed to the end
    OutputExists,     // the output is there and the request does not replace it
    OutputAroundDisc, // the output is the disc's folder, inside it or around it
    OutputNotCreated, // the folder the disc is built in could not be made
    OutputNotPlaced,  // the finished disc could not take the output's name
    NothingWritten,   // after any failure of a conversion: the output was left as it was
    FixedInPart,      // after any failure of an in-place fix
};

struct DiscFailure {
    DiscProblem problem = DiscProblem::VobFailed;
    std::string file;   // the disc's file or folder it concerns; the output as requested when AboutOutput
    std::string output; // where that file was being written, under the name it would have had; or empty
    IfoFault ifoFault = IfoFault::None;
    ProbeOutcome probe = ProbeOutcome::OpenFailed;
    RunOutcome outcome = RunOutcome::Completed;
    FailureReason reason;

    // The failure concerns the output folder as a whole, not one of the disc's files.
    bool AboutOutput() const;
    // What the user reads: the problem in the words users have always seen, then `separator` and the
    // system's reason when there is one.
    std::string Text(std::string_view separator) const;
};

// A VOB converted or fixed in place.
struct VobConverted {
    std::string file;
    std::string output; // under the name it has once the disc is in place; in place the file itself
    VobGroup group;
    ConversionMode mode = ConversionMode::To16x9;
    RunReport run;
    std::int64_t bytes = 0;
};

// One video attribute of an IFO or BUP, as it was and as it now is (or, in a scan, as its own IFO
// says: the title set's attributes against the video manager's copy of them).
struct AttributeState {
    VobGroup group;
    AttributeAspect was = AttributeAspect::Other;
    AttributeAspect now = AttributeAspect::Other;
    bool changed = false;                  // the attribute's byte was rewritten
    std::optional<AttributeAspect> ownIfo; // scan: what the group's own IFO says
};

// An IFO or BUP written (converted, in place) or read (scanned).
struct IfoDone {
    std::string file;
    std::string output; // as for a VOB; empty in a scan
    std::vector<AttributeState> attributes;
};

// A VOB's scan: its headers by the aspect they declare against what its IFO says.
struct VobScanned {
    std::string file;
    VobGroup group;
    RunOutcome outcome = RunOutcome::Completed;
    FailureReason reason;
    std::uint64_t headers = 0, narrow = 0, wide = 0;
    std::optional<AttributeAspect> ifo;
    bool agrees = false;
};

// Told what a disc's run or scan does, on the caller's thread, as each file ends.
class DiscSink {
public:
    virtual ~DiscSink() = default;
    virtual void Failed(const DiscFailure& failure) = 0;
    virtual void Converted(const VobConverted&) {}
    virtual void IfoWritten(const IfoDone&) {}
    virtual void Scanned(const VobScanned&) {}
    virtual void IfoRead(const IfoDone&) {}
    // One VOB's run: begun, its own progress 0..PROGRESS_MAX, ended (also when it failed).
    virtual void FileBegins(const std::string& /*file*/, std::int64_t /*bytes*/) {}
    virtual void FilePosition(int /*position*/) {}
    virtual void FileEnds() {}
    // The whole disc's progress, 0..PROGRESS_MAX over every byte the run writes.
    virtual void Position(int /*position*/) {}
    // Asked between files and after every buffer-full: true stops the run as cancelled.
    virtual bool StopRequested() { return false; }
};

enum class DiscDirection { To16x9, To4x3, Flip };

struct DiscRequest {
    std::string source; // a folder that is, or holds, VIDEO_TS
    std::string output; // the folder the converted disc becomes; unused in place
    DiscDirection direction = DiscDirection::Flip;
    bool inPlace = false;
    bool replace = false; // an output folder already there is replaced (once the new one is whole)
};

// Every IFO and BUP is read and checked before anything is written. A copy is built beside the output
// under a hidden name and takes its name only when whole and on the device, so that a failure leaves
// the output as it was. Flip takes each title set's menus and titles away from their own aspect. True
// when the whole disc went through.
bool ConvertDisc(const DiscRequest& request, DiscSink& sink);

// Every VOB scanned, then each IFO's attributes and whether the title sets' own IFOs agree with the
// video manager's copies. False when the disc could not be read; a VOB that fails is told and skipped.
bool ScanDisc(const std::string& source, DiscSink& sink);

// The direction a dialog preselects for a disc: the aspect of its first title set's first VOB (of the
// video manager's menus where there is no title set), after the disc's checks.
ProbeOutcome ProbeDisc(const std::string& source, DiscFailure& failure);

// The source a dialog takes for `path`: the disc's folder when `path` is one, or the VIDEO_TS.IFO an
// open dialog picks in one; nothing for anything else, which is a file's to take.
std::optional<std::string> DiscSourceOf(const std::string& path);

// A dialog's run of a whole disc in one direction, told as one run: `progress` begins, goes over the
// whole disc and ends, and a stop it asks for cancels the disc. The output replaces an empty folder or
// a DVD folder that has its name, never another folder, whose files the user may want.
struct DiscRun {
    std::string error; // the first failure, its reason on a second line; empty when the disc went through
    // The output folder that was neither empty nor a DVD folder, for a window to say so in its own
    // language; empty for any other failure.
    std::string outputTaken;
    RunReport total; // every VOB's headers, for the notice a run that rewrote none gives
};
DiscRun ConvertDiscInto(const std::string& source, const std::string& output, ConversionMode mode,
                        ProgressSink& progress);

} // namespace veltrane::disc
