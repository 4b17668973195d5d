// The streaming copy for sources of unknown size: the run's walk and rewrite, with plain sequential writes.
#include "stream_run.h"

#include "container/container_walk.h"
#include "header_rewriter.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace veltrane {

namespace {

// Fills data[0..want) as far as the source goes. A pipe hands over a few KiB per read; the walk must
// see buffer-fulls as a file's reads give them, since it judges the container from the first one.
// -1 on a read error, -2 when stopped while waiting.
std::int64_t Fill(io::File& source, bool waitFirst, std::uint8_t* data, std::uint32_t want,
                  ProgressSink& progress) {
    std::uint32_t got = 0;
    while (got < want) {
        if (waitFirst && !source.WaitUntilReadable()) {
            if (progress.StopRequested())
                return -2;
            continue;
        }
        const std::int64_t n = source.ReadSome(data + got, want - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::uint32_t>(n);
    }
    return got;
}

RunOutcome Stream(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                  RunReport& report) {
    if (dest != nullptr && source.IsSameFileAs(*dest))
        return RunOutcome::DestOpenFailed;
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return RunOutcome::OutOfMemory;
    std::optional<std::int64_t> total;
    if (source.IsRegularFile()) {
        total = source.Size();
        if (!total)
            return RunOutcome::SizeUnavailable;
    }

    progress.Begin();
    std::uint8_t* const data = buffer.get();
    std::int64_t read = 0;
    std::uint32_t carry = 0;
    HeaderRewriter rewriter(mode, report);
    ContainerWalk walk(rewriter);
    for (;;) {
        std::uint32_t want = CHUNK_SIZE - carry;
        if (total) {
            if (read >= *total)
                break;
            want = static_cast<std::uint32_t>(std::min<std::int64_t>(want, *total - read));
        }
        const std::int64_t got = Fill(source, !total, data + carry, want, progress);
        if (got == -2)
            return RunOutcome::Cancelled;
        // A regular file that ends before its size was cut while it was read, as in RunConversion.
        if (got < 0 || (got == 0 && total))
            return RunOutcome::ReadFailed;
        if (got == 0)
            break;
        read += got;

        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        const std::uint32_t keep = walk.Walk(data, len);
        if (dest != nullptr && !dest->WriteAll(data, len - keep))
            return RunOutcome::WriteFailed;
        if (total)
            progress.Position(ProgressPosition(*total, *total - read));
        progress.StreamPosition(read);
        if (progress.StopRequested())
            return RunOutcome::Cancelled;
        std::memmove(data, data + len - keep, keep);
        carry = keep;
    }
    walk.Finish(data, carry);
    if (dest != nullptr && !dest->WriteAll(data, carry))
        return RunOutcome::WriteFailed;
    return RunOutcome::Completed;
}

RunOutcome Guarded(io::File& source, io::File* dest, ConversionMode mode, ProgressSink& progress,
                   RunReport& report) {
    report = RunReport{};
    // As in RunConversion: only the walk's streams can throw, and only when memory runs out.
    try {
        return Stream(source, dest, mode, progress, report);
    } catch (const std::bad_alloc&) {
        return RunOutcome::OutOfMemory;
    }
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

} // namespace veltrane
