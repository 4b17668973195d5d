// Converts a stream, whose end is only known when it comes: a pipe, a FIFO, standard input or output.
#pragma once

#include "conversion_run.h"
#include "outcomes.h"
#include "progress_sink.h"
#include "video/conversion_mode.h"

#include <string>

namespace veltrane {

namespace io {
class File;
}

// Reads `source` from its present position and writes the converted bytes to `dest` as they come, or
// nowhere when `dest` is null (a dry run that only counts). A regular file is read up to the size it
// had at the start, as RunConversion reads it, and reports Position; anything else (a pipe, a FIFO, a
// device) is read until it ends. StreamPosition tells the bytes read after every buffer-full either
// way. The bytes written are exactly RunConversion's for the same content. DestOpenFailed when `dest`
// is the source itself; otherwise the outcomes and the sink's calls are RunConversion's.
RunOutcome RunStreamConversion(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                               RunReport& report);

// The same into a named destination, which takes the converted stream only once all of it is written,
// as RunConversion's does, and treats a file already there as RunConversion does. A stream that held no
// sequence header at all leaves the destination as it was: the run completes with report.headersFound == 0
// and nothing written.
RunOutcome RunStreamConversion(io::File& source, const std::string& destPath, ConversionMode mode,
                               ProgressSink& progress, RunReport& report,
                               io::ExistingFile existing = io::ExistingFile::Replace);

// Where a stream run reads and writes, named as a front end names them.
struct StreamEnds {
    std::string source;          // a path, or "-" for standard input
    bool sourceIsStream = false; // a FIFO, a pipe or a device: read until it ends
    std::string dest;            // a path, "-" for standard output, or empty for a dry run that only counts
};

// Opens both ends and runs the stream conversion that fits them: into standard output as the bytes
// come, into a named destination that takes them once all are written, or nowhere.
RunOutcome RunStreamConversion(const StreamEnds& ends, ConversionMode mode, ProgressSink& progress,
                               RunReport& report, ExistingFile existing = ExistingFile::Replace);

} // namespace veltrane
