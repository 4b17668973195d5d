// The in-place fix: the scan's report of every header, with each aspect byte to change written back.
#include "in_place_fix.h"

#include "container/cd_sector.h"
#include "header_scan.h"
#include "io/file_io.h"

#include <array>

namespace veltrane {

namespace {

// Bytes the scan has passed may be written at once: it never reads them again, and a changed aspect
// code cannot make or break a start code (it is never 00, 01 or B3).
class InPlaceWriter final : public ScanSink {
public:
    InPlaceWriter(io::File& file, ProgressSink& progress, RunReport& report)
        : m_file(file), m_progress(progress), m_report(report) {}

    void Container(ContainerKind) override {
        if (!m_begun)
            m_progress.Begin();
        m_begun = true;
    }
    void Header(const HeaderSite& site) override {
        ++m_report.headersFound;
        if (site.rewritten == site.aspectByte || m_writeFailed)
            return;
        if (!m_file.WriteAllAt(&site.rewritten, 1, static_cast<std::int64_t>(site.aspectOffset)) ||
            (site.sector && !RefreshEdc(*site.sector))) {
            m_writeFailed = true;
            return;
        }
        ++m_report.headersRewritten;
    }
    void Position(int position) override { m_progress.Position(position); }
    bool StopRequested() override { return m_writeFailed || m_progress.StopRequested(); }

    bool WriteFailed() const { return m_writeFailed; }

private:
    // The sector as the file now has it, the new aspect byte included, gets the EDC that calls for.
    bool RefreshEdc(std::uint64_t sector) {
        std::array<std::uint8_t, CD_SECTOR> bytes{};
        const auto at = static_cast<std::int64_t>(sector);
        if (!m_file.ReadAllAt(bytes.data(), bytes.size(), at))
            return false;
        return !RefreshCdForm2Edc(bytes.data()) ||
               m_file.WriteAllAt(bytes.data() + CD_FORM2_EDC, 4, at + CD_FORM2_EDC);
    }

    io::File& m_file;
    ProgressSink& m_progress;
    RunReport& m_report;
    bool m_writeFailed = false;
    bool m_begun = false;
};

} // namespace

RunOutcome FixInPlace(const std::string& path, ConversionMode mode, ProgressSink& progress,
                      RunReport& report) {
    report = RunReport{};
    io::File file = io::OpenForUpdate(path);
    if (!file.IsOpen())
        return RunOutcome::SourceOpenFailed;
    InPlaceWriter writer(file, progress, report);
    const RunOutcome scanned = ScanFile(file, mode, writer);
    if (writer.WriteFailed())
        return RunOutcome::WriteFailed;
    if (scanned != RunOutcome::Completed)
        return scanned;
    // As for a copy, only a successful close proves the bytes reached the file.
    if (!file.Close())
        return RunOutcome::WriteFailed;
    progress.End();
    return RunOutcome::Completed;
}

} // namespace veltrane
