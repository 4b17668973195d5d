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
        if (site.rewritten == site.aspectByte || m_writeFailed || m_cutShort)
            return;
        // A file cut short under the scan must not grow back with zeros up to a byte it no longer has.
        const auto offset = static_cast<std::int64_t>(site.aspectOffset);
        if (!m_file.Reaches(offset)) {
            m_cutShort = true;
            return;
        }
        if (!m_file.WriteAllAt(&site.rewritten, 1, offset) || (site.sector && !RefreshEdc(*site.sector))) {
            m_writeFailed = true;
            return;
        }
        ++m_report.headersRewritten;
    }
    void Position(int position) override { m_progress.Position(position); }
    bool StopRequested() override { return m_writeFailed || m_cutShort || m_progress.StopRequested(); }

    bool WriteFailed() const { return m_writeFailed; }
    bool CutShort() const { return m_cutShort; }

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
    bool m_cutShort = false;
};

RunOutcome Failed(RunOutcome outcome, RunReport& report, const io::FailureReason& why) {
    report.failure = why;
    return outcome;
}

} // namespace

RunOutcome FixInPlace(const std::string& path, ConversionMode mode, ProgressSink& progress,
                      RunReport& report) {
    report = RunReport{};
    io::File file = io::OpenForUpdate(path);
    if (!file.IsOpen())
        return Failed(RunOutcome::SourceOpenFailed, report, file.Failure());
    InPlaceWriter writer(file, progress, report);
    const RunOutcome scanned = ScanFile(file, mode, writer);
    if (writer.WriteFailed())
        return Failed(RunOutcome::WriteFailed, report, file.Failure());
    // The same failure a copy of a file cut short while it is read ends in.
    if (writer.CutShort() || (scanned == RunOutcome::ReadFailed && !file.Failure().Known()))
        return Failed(RunOutcome::ReadFailed, report, io::FailureReason{0, io::Refusal::CutShort, false});
    if (scanned != RunOutcome::Completed)
        return Failed(scanned, report, file.Failure());
    // As for a copy, only a successful close proves the bytes reached the file.
    if (!file.Close())
        return Failed(RunOutcome::WriteFailed, report, file.Failure());
    progress.End();
    return RunOutcome::Completed;
}

} // namespace veltrane
