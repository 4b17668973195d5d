// The streaming copy that rewrites every sequence header's aspect code on the way through.
#include "conversion_run.h"

#include "container/container_walk.h"
#include "header_rewriter.h"
#include "io/chunk_buffer.h"
#include "io/copy_writer.h"
#include "io/file_io.h"
#include "io/read_ahead.h"

#include <algorithm>
#include <new>

namespace veltrane {

int ProgressPosition(std::int64_t total, std::int64_t remaining) {
    if (total <= 0)
        return 0;
    const double done = static_cast<double>(total - remaining) / static_cast<double>(total);
    // A source that grew while it was read can overshoot; keep the scale's promise of 0..PROGRESS_MAX.
    return static_cast<int>(std::clamp(done * 10000.0, 0.0, static_cast<double>(PROGRESS_MAX)));
}

RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress) {
    RunReport report;
    return RunConversion(sourcePath, destPath, mode, progress, report);
}

namespace {

RunOutcome Failed(RunOutcome outcome, RunReport& report, const io::FailureReason& why) {
    report.failure = why;
    return outcome;
}

RunOutcome Convert(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                   ProgressSink& progress, RunReport& report, io::ExistingFile existing) {
    io::File source = io::OpenForSequentialRead(sourcePath);
    if (!source.IsOpen())
        return Failed(RunOutcome::SourceOpenFailed, report, source.Failure());
    io::OutputFile output(destPath, source, existing);
    if (!output.IsOpen())
        return Failed(RunOutcome::DestOpenFailed, report, output.Failure());
    const ChunkBuffer buffer = AllocateChunk(ReadAhead::BUFFER_BYTES);
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return Failed(RunOutcome::SizeUnavailable, report, source.Failure());

    progress.Begin();
    io::File& dest = output.Content();
    const std::int64_t total = *size;
    CopyWriter out(source, dest, total);
    std::int64_t remaining = total;
    std::uint32_t carry = 0;
    std::uint8_t* data = buffer.get();
    HeaderRewriter rewriter(mode, report, &out);
    ContainerWalk walk(rewriter);
    // Never past the size taken at the start: a source that grows meanwhile is copied as it was then.
    ReadAhead reads(source, total, buffer.get());
    while (remaining > 0) {
        // The carried bytes come first, then up to CHUNK_SIZE - carry new ones.
        const ReadAhead::Pass pass = reads.Next(carry);
        const std::int64_t got = pass.got;
        // An end before that size means the source was cut while it was read: the copy would be short.
        if (got <= 0)
            return Failed(RunOutcome::ReadFailed, report,
                          got < 0 ? source.Failure() : io::FailureReason{0, io::Refusal::CutShort, false});
        remaining -= got;
        data = pass.data;

        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        // What the walk holds back (a header or packet cut by the buffer's edge) is walked next pass.
        const std::uint32_t keep = walk.Walk(data, len);
        if (!out.Put(data, len - keep))
            return Failed(RunOutcome::WriteFailed, report, out.Failure());
        progress.Position(ProgressPosition(total, remaining));
        if (progress.StopRequested())
            return RunOutcome::Cancelled;
        data += len - keep;
        carry = keep;
    }
    walk.Finish(data, carry);
    // Until the commit the destination's name still holds what it held before; any return above
    // discards the new file.
    if (!out.Put(data, carry) || !out.Finish())
        return Failed(RunOutcome::WriteFailed, report, out.Failure());
    if (!output.Commit())
        return Failed(RunOutcome::WriteFailed, report, output.Failure());
    source.Close();
    progress.End();
    return RunOutcome::Completed;
}

} // namespace

RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report, io::ExistingFile existing) {
    report = RunReport{};
    // The one buffer is allocated without throwing; the walk's few bytes per stream are not, and a
    // multiplex damaged enough can ask for many streams.
    try {
        return Convert(sourcePath, destPath, mode, progress, report, existing);
    } catch (const std::bad_alloc&) {
        return RunOutcome::OutOfMemory;
    }
}

} // namespace veltrane
