// The streaming copy that rewrites every sequence header's aspect code on the way through.
#include "conversion_run.h"

#include "container_walk.h"
#include "file_io.h"
#include "sequence_header.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace veltrane {

namespace {

// Rewrites each header's aspect code as the walk meets it, and counts.
class Rewriter final : public HeaderSink {
public:
    Rewriter(ConversionMode mode, RunReport& report) : m_mode(mode), m_report(report) {}

    void Found(const FoundHeader& header) override {
        const std::uint8_t rewritten = RewriteAspectByte(*header.aspect, m_mode);
        ++m_report.headersFound;
        if (rewritten != *header.aspect) {
            *header.aspect = rewritten;
            ++m_report.headersRewritten;
        }
    }

private:
    ConversionMode m_mode;
    RunReport& m_report;
};

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
    io::File dest = io::CreateForSequentialWrite(destPath, source);
    if (!dest.IsOpen())
        return RunOutcome::DestOpenFailed;
    const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[CHUNK_SIZE]);
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return RunOutcome::SizeUnavailable;

    progress.Begin();
    std::uint8_t* const data = buffer.get();
    const std::int64_t total = *size;
    std::int64_t remaining = total;
    std::uint32_t carry = 0;
    Rewriter rewriter(mode, report);
    ContainerWalk walk(rewriter);
    while (remaining > 0) {
        const std::int64_t got = source.ReadSome(data + carry, CHUNK_SIZE - carry);
        if (got < 0)
            return RunOutcome::ReadFailed;
        // The source shrank while it was read: what arrived is all there is.
        if (got == 0)
            break;
        remaining -= got;

        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        // What the walk holds back (a header or packet cut by the buffer's edge) is walked next pass.
        const std::uint32_t keep = walk.Walk(data, len);
        if (!dest.WriteAll(data, len - keep))
            return RunOutcome::WriteFailed;
        progress.Position(ProgressPosition(total, remaining));
        if (progress.StopRequested())
            return RunOutcome::Cancelled;
        std::memmove(data, data + len - keep, keep);
        carry = keep;
    }
    walk.Finish(data, carry);
    // Only a successful close proves the data reached the file: a full quota can show up just here.
    if (!dest.WriteAll(data, carry) || !dest.Close())
        return RunOutcome::WriteFailed;
    source.Close();
    progress.End();
    return RunOutcome::Completed;
}

} // namespace veltrane
