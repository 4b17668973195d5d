// The streaming copy for sources of unknown size: the run's walk and rewrite, with plain sequential writes.
#include "stream_run.h"

#include "container/container_walk.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "io/pump.h"
#include "run_edits.h"

#include <optional>

namespace veltrane {

namespace {

RunOutcome Stream(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                  RunReport& report) {
    if (dest != nullptr && source.IsSameFileAs(*dest))
        return RunOutcome::DestOpenFailed;
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return RunOutcome::OutOfMemory;
    // A pipe hands over a few KiB per read; the walk must see buffer-fulls as a file's reads give
    // them, since it judges the container from the first one.
    SequentialSource::Rules rules;
    rules.fill = true;
    if (source.IsRegularFile()) {
        rules.total = source.Size();
        if (!rules.total)
            return RunOutcome::SizeUnavailable;
    } else {
        rules.waitFirst = true;
        rules.stop = [&] { return progress.StopRequested(); };
    }
    const std::optional<std::int64_t> total = rules.total;

    progress.Begin();
    RunEdits edits(report);
    ContainerWalk walk(edits, mode);
    if (source.IsRegularFile()) {
        walk.ReadsFrom(source);
        walk.AllowAppending();
    }
    SequentialSource reads(source, buffer.get(), std::move(rules));
    std::optional<FileOutput> output;
    if (dest != nullptr)
        output.emplace(*dest);
    const PumpEnd end = Pump(reads, walk, output ? &*output : nullptr, [&] {
        if (total)
            progress.Position(ProgressPosition(*total, *total - reads.Read()));
        progress.StreamPosition(reads.Read());
        return !progress.StopRequested();
    });
    switch (end) {
    case PumpEnd::Completed:
        // Bytes a format moved past the source's end (a Matroska track list) follow the copied ones.
        if (output && !walk.AppendedBytes().empty() &&
            !output->Put(walk.AppendedBytes().data(), walk.AppendedBytes().size()))
            return RunOutcome::WriteFailed;
        if (!edits.AnyBehind())
            return RunOutcome::Completed;
        // Bytes behind the stream can be written again only into a file.
        if (dest == nullptr)
            return RunOutcome::Completed;
        if (!dest->IsRegularFile()) {
            report.failure = io::FailureReason{0, io::Refusal::Unsupported, false,
                                               "its checksums must be rewritten behind the stream; write "
                                               "the copy to a file"};
            return RunOutcome::Refused;
        }
        return edits.WriteBehind(*dest) ? RunOutcome::Completed : RunOutcome::WriteFailed;
    case PumpEnd::Refused:
        report.failure = io::FailureReason{0, io::Refusal::Unsupported, false, *walk.RefusedBecause()};
        return RunOutcome::Refused;
    case PumpEnd::ReadFailed:
    case PumpEnd::CutShort:
        return RunOutcome::ReadFailed;
    case PumpEnd::WriteFailed:
        return RunOutcome::WriteFailed;
    case PumpEnd::Stopped:
        break;
    }
    return RunOutcome::Cancelled;
}

RunOutcome Guarded(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                   RunReport& report) {
    report = RunReport{};
    return UnlessMemoryRunsOut(RunOutcome::OutOfMemory,
                               [&] { return Stream(source, dest, mode, progress, report); });
}

// The system's reason for a failed read or write, from the side that failed.
RunOutcome NoteFailure(RunOutcome outcome, const io::File& source, const io::File* dest, RunReport& report) {
    if (outcome == RunOutcome::ReadFailed)
        report.failure = source.Failure();
    else if (outcome == RunOutcome::WriteFailed && dest != nullptr)
        report.failure = dest->Failure();
    return outcome;
}

} // namespace

RunOutcome RunStreamConversion(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                               RunReport& report) {
    const RunOutcome outcome =
        NoteFailure(Guarded(source, dest, mode, progress, report), source, dest, report);
    if (outcome == RunOutcome::Completed)
        progress.End();
    return outcome;
}

RunOutcome RunStreamConversion(io::File& source, const std::string& destPath, ConversionMode mode,
                               ProgressSink& progress, RunReport& report, io::ExistingFile existing) {
    report = RunReport{};
    io::OutputFile output(destPath, source, existing);
    if (!output.IsOpen()) {
        report.failure = output.Failure();
        return RunOutcome::DestOpenFailed;
    }
    const RunOutcome outcome = NoteFailure(Guarded(source, &output.Content(), mode, progress, report), source,
                                           &output.Content(), report);
    if (outcome != RunOutcome::Completed)
        return outcome;
    // Not committed: the destination's name keeps what it had, and the unnamed copy goes.
    if (report.headersFound > 0 && !output.Commit()) {
        report.failure = output.Failure();
        return RunOutcome::WriteFailed;
    }
    progress.End();
    return RunOutcome::Completed;
}

RunOutcome RunStreamConversion(const StreamEnds& ends, ConversionMode mode, ProgressSink& progress,
                               RunReport& report, ExistingFile existing) {
    io::File input = ends.source == "-"    ? io::OpenStandardInput()
                     : ends.sourceIsStream ? io::OpenForStreamRead(ends.source)
                                           : io::OpenForSequentialRead(ends.source);
    if (!input.IsOpen()) {
        report = RunReport{};
        report.failure = input.Failure();
        return RunOutcome::SourceOpenFailed;
    }
    if (ends.dest.empty())
        return RunStreamConversion(input, nullptr, mode, progress, report);
    if (ends.dest != "-")
        return RunStreamConversion(input, ends.dest, mode, progress, report, existing);
    io::File output = io::OpenStandardOutput();
    if (!output.IsOpen())
        return RunOutcome::DestOpenFailed;
    return RunStreamConversion(input, &output, mode, progress, report);
}

} // namespace veltrane
