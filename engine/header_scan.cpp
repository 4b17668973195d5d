// The scan: the run's walk over a whole file, reporting instead of writing.
#include "header_scan.h"

#include "container/container_walk.h"
#include "io/chunk_buffer.h"
#include "io/file_io.h"
#include "io/pump.h"
#include "run_report.h"

namespace veltrane {

namespace {

// The sites as the run would meet them: the walk applies each patch in the scan's own buffer, so that
// what it reads next is what the run's walk reads.
class Reporter final : public EditSink {
public:
    explicit Reporter(ScanSink& sink) : m_sink(sink) {}
    void Attach(const ContainerWalk& walk) { m_walk = &walk; }

    void Found(const Site& site) override {
        if (site.kind == SiteKind::ContainerField) {
            m_sink.Field(site);
            return;
        }
        HeaderSite header;
        header.headerOffset = site.offset;
        header.aspectOffset = site.patch.offset;
        header.aspectByte = site.patch.before[0];
        header.rewritten = site.patch.after[0];
        header.mpeg1 = site.mpeg1;
        header.declared = site.declared;
        header.sector = m_walk->FixUpUnit(site.patch.offset);
        header.kind = site.kind;
        if (site.kind == SiteKind::Sps) {
            header.codec = site.codec;
            header.sar = site.sar;
            header.sarAfter = site.sarAfter;
            header.width = site.width;
            header.height = site.height;
            header.refusalTo = site.refusalTo;
            header.bitsTo = site.bitsTo;
            site.ForEachPatch([&header](const Patch& patch) { header.patches.push_back(patch); });
        }
        m_sink.Header(header);
    }
    void FixedUp(const Patch& patch) override { m_sink.FixUp(patch); }
    void CarriesAfd() override { m_sink.CarriesAfd(); }

private:
    ScanSink& m_sink;
    const ContainerWalk* m_walk = nullptr;
};

} // namespace

RunOutcome ScanFile(const std::string& path, std::optional<ConversionMode> mode, ScanSink& sink) {
    io::File source = io::OpenForSequentialRead(path);
    if (!source.IsOpen())
        return RunOutcome::SourceOpenFailed;
    return ScanFile(source, mode, sink);
}

namespace {

RunOutcome Scan(io::File& source, std::optional<ConversionMode> mode, ScanSink& sink) {
    const ChunkBuffer buffer = AllocateChunk();
    if (!buffer)
        return RunOutcome::OutOfMemory;
    const std::optional<std::int64_t> size = source.Size();
    if (!size)
        return RunOutcome::SizeUnavailable;

    Reporter reporter(sink);
    ContainerWalk walk(reporter, mode);
    walk.ReadsFrom(source);
    if (!sink.InPlace())
        walk.AllowAppending();
    reporter.Attach(walk);
    const std::int64_t total = *size;
    std::optional<ContainerKind> told;
    bool toldMayRefuse = false;
    const auto tell = [&] {
        if (told != walk.Kind())
            sink.Container(*(told = walk.Kind()));
        if (!toldMayRefuse && walk.MayRefuse()) {
            toldMayRefuse = true;
            sink.MayRefuse();
        }
    };
    SequentialSource::Rules rules;
    rules.total = total;
    SequentialSource reads(source, buffer.get(), std::move(rules));
    const PumpEnd end = Pump(reads, walk, nullptr, [&] {
        tell();
        sink.Position(ProgressPosition(total, total - reads.Read()));
        return !sink.StopRequested();
    });
    switch (end) {
    case PumpEnd::Completed:
        tell();
        return RunOutcome::Completed;
    case PumpEnd::ReadFailed:
    case PumpEnd::CutShort: // an end before the size taken at the start: the file was cut short
        return RunOutcome::ReadFailed;
    case PumpEnd::Refused:
        sink.Refused(*walk.RefusedBecause());
        return RunOutcome::Refused;
    case PumpEnd::WriteFailed:
    case PumpEnd::Stopped:
        break;
    }
    return RunOutcome::Cancelled;
}

} // namespace

RunOutcome ScanFile(io::File& source, std::optional<ConversionMode> mode, ScanSink& sink) {
    return UnlessMemoryRunsOut(RunOutcome::OutOfMemory, [&] { return Scan(source, mode, sink); });
}

} // namespace veltrane
