// The streaming copy that rewrites every sequence header's aspect code on the way through.
#include "conversion_run.h"

#include "chunk_buffer.h"
#include "file_io.h"
#include "sequence_header.h"

#include <algorithm>
#include <cstring>

namespace veltrane {

namespace {

// Rewrites every header of data[0, len) whose aspect byte is present and returns how many bytes at
// the end must wait for the next buffer-full: at most 7, enough for a start code cut by the buffer's
// edge, or a whole start code whose aspect byte has not arrived yet.
std::uint32_t RewriteHeaders(std::uint8_t* data, std::uint32_t len, ConversionMode mode, RunReport& report) {
    if (len < USABLE_HEADER_SIZE)
        return len;
    const std::uint8_t* cursor = data;
    std::uint32_t left = len;
    for (;;) {
        if (!FindSequenceHeader(cursor, left))
            return 3; // the three bytes the search never starts a match in
        if (left < USABLE_HEADER_SIZE)
            return left;
        std::uint8_t& aspect = data[cursor - data + ASPECT_BYTE_OFFSET];
        const std::uint8_t rewritten = RewriteAspectByte(aspect, mode);
        ++report.headersFound;
        if (rewritten != aspect) {
            aspect = rewritten;
            ++report.headersRewritten;
        }
        ++cursor;
        --left;
        if (left < USABLE_HEADER_SIZE)
            return left;
    }
}

} // namespace

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

RunOutcome RunConversion(const std::string& sourcePath, const std::string& destPath, ConversionMode mode,
                         ProgressSink& progress, RunReport& report) {
    report = RunReport{};
    io::File source = io::OpenForSequentialRead(sourcePath);
    if (!source.IsOpen())
        return RunOutcome::SourceOpenFailed;
    io::OutputFile output(destPath, source);
    if (!output.IsOpen())
        return RunOutcome::DestOpenFailed;
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return RunOutcome::SizeUnavailable;

    progress.Begin();
    io::File& dest = output.Content();
    std::uint8_t* const data = buffer.get();
    const std::int64_t total = *size;
    std::int64_t remaining = total;
    std::uint32_t carry = 0;
    while (remaining > 0) {
        // Never past the size taken at the start: a source that grows meanwhile is copied as it was then.
        const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(CHUNK_SIZE - carry, remaining));
        const std::int64_t got = source.ReadSome(data + carry, want);
        // An end before that size means the source was cut while it was read: the copy would be short.
        if (got <= 0)
            return RunOutcome::ReadFailed;
        remaining -= got;

        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        const std::uint32_t keep = RewriteHeaders(data, len, mode, report);
        if (!dest.WriteAll(data, len - keep))
            return RunOutcome::WriteFailed;
        progress.Position(ProgressPosition(total, remaining));
        if (progress.StopRequested())
            return RunOutcome::Cancelled;
        std::memmove(data, data + len - keep, keep);
        carry = keep;
    }
    // Until the commit the destination's name still holds what it held before; any return above
    // discards the new file.
    if (!dest.WriteAll(data, carry) || !output.Commit())
        return RunOutcome::WriteFailed;
    source.Close();
    progress.End();
    return RunOutcome::Completed;
}

} // namespace veltrane
