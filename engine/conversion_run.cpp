// The streaming copy that rewrites every sequence header's aspect code on the way through.
#include "conversion_run.h"

#include "container/container_walk.h"
#include "io/chunk_buffer.h"
#include "io/copy_writer.h"
#include "io/file_io.h"
#include "io/pump.h"
#include "run_edits.h"

#include <algorithm>
#include <memory>
#include <vector>

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
                   ProgressSink& progress, RunReport& report, io::ExistingFile existing,
                   DurableGroup* group) {
    io::File source = io::OpenForSequentialRead(sourcePath);
    if (!source.IsOpen())
        return Failed(RunOutcome::SourceOpenFailed, report, source.Failure());
    // On the heap, so that a group can hold it past the run.
    auto output = std::make_unique<io::OutputFile>(destPath, source, existing);
    if (!output->IsOpen())
        return Failed(RunOutcome::DestOpenFailed, report, output->Failure());
    const ChunkBuffer buffer = AllocateChunk(ReadAhead::BUFFER_BYTES);
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return Failed(RunOutcome::SizeUnavailable, report, source.Failure());

    progress.Begin();
    const std::int64_t total = *size;
    CopyWriter out(source, output->Content(), total);
    RunEdits edits(report, &out);
    ContainerWalk walk(edits, mode);
    walk.ReadsFrom(source);
    walk.AllowAppending();
    ReadAheadSource reads(source, total, buffer.get());
    const PumpEnd end = Pump(reads, walk, &out, [&] {
        progress.Position(ProgressPosition(total, total - reads.Read()));
        return !progress.StopRequested();
    });
    switch (end) {
    case PumpEnd::Completed:
        break;
    case PumpEnd::ReadFailed:
        return Failed(RunOutcome::ReadFailed, report, source.Failure());
    case PumpEnd::CutShort:
        return Failed(RunOutcome::ReadFailed, report, io::FailureReason{0, io::Refusal::CutShort, false});
    case PumpEnd::WriteFailed:
        return Failed(RunOutcome::WriteFailed, report, out.Failure());
    case PumpEnd::Stopped:
        return RunOutcome::Cancelled;
    case PumpEnd::Refused:
        return Failed(RunOutcome::Refused, report,
                      io::FailureReason{0, io::Refusal::Unsupported, false, *walk.RefusedBecause()});
    }
    // Until the commit the destination's name still holds what it held before; any return above
    // discards the new file.
    // Bytes a format moved past the source's end (a Matroska track list) follow the copied ones; bytes
    // behind the run (a checksum at an element's start) go in once nothing else is written. In a
    // group, the group's sync waits for the device.
    const std::vector<std::uint8_t>& appended = walk.AppendedBytes();
    if ((!appended.empty() && !out.Put(appended.data(), appended.size())) || !out.Finish(group == nullptr) ||
        !edits.WriteBehind(output->Content()))
        return Failed(RunOutcome::WriteFailed, report, out.Failure());
    if (group != nullptr)
        group->Add(std::move(output), total);
    else if (!output->Commit())
        return Failed(RunOutcome::WriteFailed, report, output->Failure());
    source.Close();
    progress.End();
    return RunOutcome::Completed;
}

} // namespace

RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report, io::ExistingFile existing) {
    report = RunReport{};
    return UnlessMemoryRunsOut(RunOutcome::OutOfMemory, [&] {
        return Convert(sourcePath, destPath, mode, progress, report, existing, nullptr);
    });
}

RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report, io::ExistingFile existing,
                         DurableGroup& group) {
    report = RunReport{};
    return UnlessMemoryRunsOut(RunOutcome::OutOfMemory, [&] {
        return Convert(sourcePath, destPath, mode, progress, report, existing, &group);
    });
}

} // namespace veltrane
