// The scan: the run's walk over a whole file, reporting instead of writing.
#include "header_scan.h"

#include "container/container_walk.h"
#include "conversion_run.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "video/aspect_rule.h"
#include "video/sequence_header.h"

#include <cstring>
#include <new>

namespace veltrane {

namespace {

// Works the rewrite out as the run would, on a copy of the byte: the buffer stays as read.
class Reporter final : public HeaderSink {
public:
    Reporter(ConversionMode mode, ScanSink& sink) : m_mode(mode), m_sink(sink) {}
    void Attach(const ContainerWalk& walk) { m_walk = &walk; }

    void Found(const FoundHeader& header) override {
        HeaderSite site;
        site.headerOffset = header.headerOffset;
        site.aspectOffset = header.aspectOffset;
        site.aspectByte = *header.aspect;
        site.rewritten = RewriteHeader(header, m_mode);
        site.mpeg1 = header.mpeg1;
        site.declared = ClassifyHeader(header);
        site.sector = m_walk->SectorHolding(header.aspectOffset);
        m_sink.Header(site);
    }

private:
    ConversionMode m_mode;
    ScanSink& m_sink;
    const ContainerWalk* m_walk = nullptr;
};

} // namespace

RunOutcome ScanFile(const std::string& path, ConversionMode mode, ScanSink& sink) {
    io::File source = io::OpenForSequentialRead(path);
    if (!source.IsOpen())
        return RunOutcome::SourceOpenFailed;
    return ScanFile(source, mode, sink);
}

namespace {

RunOutcome Scan(io::File& source, ConversionMode mode, ScanSink& sink) {
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return RunOutcome::SizeUnavailable;

    Reporter reporter(mode, sink);
    ContainerWalk walk(reporter);
    reporter.Attach(walk);
    std::uint8_t* const data = buffer.get();
    const std::int64_t total = *size;
    std::int64_t remaining = total;
    std::uint32_t carry = 0;
    std::optional<ContainerKind> told;
    const auto tell = [&] {
        if (told != walk.Kind())
            sink.Container(*(told = walk.Kind()));
    };
    while (remaining > 0) {
        const std::int64_t got = source.ReadSome(data + carry, CHUNK_SIZE - carry);
        // An end before the size taken at the start: the file was cut short while it was read.
        if (got <= 0)
            return RunOutcome::ReadFailed;
        remaining -= got;
        const std::uint32_t len = carry + static_cast<std::uint32_t>(got);
        const std::uint32_t keep = walk.Walk(data, len);
        tell();
        sink.Position(ProgressPosition(total, remaining));
        if (sink.StopRequested())
            return RunOutcome::Cancelled;
        std::memmove(data, data + len - keep, keep);
        carry = keep;
    }
    walk.Finish(data, carry);
    tell();
    return RunOutcome::Completed;
}

} // namespace

RunOutcome ScanFile(io::File& source, ConversionMode mode, ScanSink& sink) {
    // As in a run: only the walk's streams can throw, and only when memory runs out.
    try {
        return Scan(source, mode, sink);
    } catch (const std::bad_alloc&) {
        return RunOutcome::OutOfMemory;
    }
}

} // namespace veltrane
