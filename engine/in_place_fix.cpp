// The in-place fix: the scan's report of every header, with each aspect byte to change written back.
#include "in_place_fix.h"

#include "header_scan.h"
#include "io/file_io.h"

#include <optional>
#include <string>

namespace veltrane {

namespace {

// The scan's walk applies every patch in its own buffer, so what it reads is what a run's walk reads;
// the file itself gets each patch as soon as the walk reports it, and the fix-ups that follow from it.
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
        m_report.spsFound += site.kind == SiteKind::Sps ? 1 : 0;
        if (!site.patches.empty()) {
            Write(site.patches);
            return;
        }
        if (site.rewritten == site.aspectByte || m_writeFailed || m_cutShort)
            return;
        // A file cut short under the scan must not grow back with zeros up to a byte it no longer has.
        const auto offset = static_cast<std::int64_t>(site.aspectOffset);
        if (!m_file.Reaches(offset)) {
            m_cutShort = true;
            return;
        }
        if (!m_file.WriteAllAt(&site.rewritten, 1, offset)) {
            m_writeFailed = true;
            return;
        }
        ++m_report.headersRewritten;
    }
    void Field(const Site& site) override {
        if (site.patch.Changes())
            FixUp(site.patch);
    }
    void FixUp(const Patch& patch) override {
        if (m_writeFailed || m_cutShort)
            return;
        const auto offset = static_cast<std::int64_t>(patch.offset);
        if (!m_file.Reaches(offset + patch.size - 1)) {
            m_cutShort = true;
            return;
        }
        if (!m_file.WriteAllAt(patch.after.data(), patch.size, offset))
            m_writeFailed = true;
    }
    // An SPS's bytes, which may lie packets apart; the site counts once.
    void Write(const std::vector<Patch>& patches) {
        bool wrote = false;
        for (const Patch& patch : patches) {
            if (!patch.Changes() || m_writeFailed || m_cutShort)
                continue;
            const auto offset = static_cast<std::int64_t>(patch.offset);
            if (!m_file.Reaches(offset + patch.size - 1)) {
                m_cutShort = true;
                return;
            }
            if (!m_file.WriteAllAt(patch.after.data(), patch.size, offset)) {
                m_writeFailed = true;
                return;
            }
            wrote = true;
        }
        if (wrote)
            ++m_report.headersRewritten;
    }
    void CarriesAfd() override { m_report.carriesAfd = true; }
    void Position(int position) override { m_progress.Position(position); }
    bool StopRequested() override { return m_writeFailed || m_cutShort || m_progress.StopRequested(); }
    bool InPlace() const override { return true; }

    bool WriteFailed() const { return m_writeFailed; }
    bool CutShort() const { return m_cutShort; }

private:
    io::File& m_file;
    ProgressSink& m_progress;
    RunReport& m_report;
    bool m_writeFailed = false;
    bool m_begun = false;
    bool m_cutShort = false;
};

// Reads the file through before anything is written, where the walk may find what it cannot convert:
// a refusal then leaves the file untouched.
class RefusalCheck final : public ScanSink {
public:
    explicit RefusalCheck(ProgressSink& progress) : m_progress(progress) {}
    void Header(const HeaderSite&) override {}
    void Container(ContainerKind) override { m_known = true; }
    void MayRefuse() override { m_mayRefuse = true; }
    void Refused(const std::string& why) override { m_refusal = why; }
    // The first pass tells whether this file needs the check at all.
    bool StopRequested() override { return (m_known && !m_mayRefuse) || m_progress.StopRequested(); }
    bool InPlace() const override { return true; }

    bool m_known = false;
    bool m_mayRefuse = false;
    std::optional<std::string> m_refusal;

private:
    ProgressSink& m_progress;
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
    RefusalCheck check(progress);
    const RunOutcome checked = ScanFile(file, mode, check);
    if (check.m_refusal)
        return Failed(RunOutcome::Refused, report,
                      io::FailureReason{0, io::Refusal::Unsupported, false, *check.m_refusal});
    if (check.m_mayRefuse && checked != RunOutcome::Completed)
        return Failed(checked, report, file.Failure());
    if (!file.Rewind())
        return Failed(RunOutcome::ReadFailed, report, file.Failure());
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
