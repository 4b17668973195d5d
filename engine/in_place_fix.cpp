// The in-place fix: the scan's report of every header, with each aspect byte to change written back.
#include "in_place_fix.h"

#include "header_scan.h"
#include "io/file_io.h"
#include "run_report.h"

#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace veltrane {

namespace {

// Where the bar goes once a second read turns out to be needed after all: the rest of the first read and
// the whole second one share what is left of it, so that it only ever rises.
struct BarShare {
    std::optional<int> from; // the position the first read had reached when the second became needed

    int Shown(int position, bool second) const {
        if (!from)
            return position;
        const std::int64_t left = PROGRESS_MAX - *from;
        const std::int64_t done = second ? left + position : position - *from;
        return *from + static_cast<int>(done * left / (left + PROGRESS_MAX));
    }
};

// The scan's walk applies every patch in its own buffer, so what it reads is what a run's walk reads;
// the file itself gets each patch as soon as the walk reports it, and the fix-ups that follow from it.
class InPlaceWriter final : public ScanSink {
public:
    InPlaceWriter(io::File& file, ProgressSink& progress, RunReport& report, bool begun, BarShare share)
        : m_file(file), m_progress(progress), m_report(report), m_begun(begun), m_share(share) {}

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
    void Position(int position) override { m_progress.Position(m_share.Shown(position, true)); }
    bool StopRequested() override { return m_writeFailed || m_cutShort || m_progress.StopRequested(); }
    bool InPlace() const override { return true; }

    bool WriteFailed() const { return m_writeFailed; }
    bool CutShort() const { return m_cutShort; }

private:
    io::File& m_file;
    ProgressSink& m_progress;
    RunReport& m_report;
    bool m_writeFailed = false;
    bool m_begun;
    bool m_cutShort = false;
    BarShare m_share;
};

// Reads the file through before anything is written, where the walk may find what it cannot convert:
// a refusal then leaves the file untouched. What the writer needs is kept on the way, in file order, so
// that it can be told again without reading the file twice; past `limit` bytes of it (a file with a
// header every few bytes) nothing more is kept and the file is read again instead.
class RefusalCheck final : public ScanSink {
public:
    RefusalCheck(ProgressSink& progress, std::size_t limit) : m_progress(progress), m_limit(limit) {}
    void Container(ContainerKind) override { m_known = true; }
    void MayRefuse() override {
        m_mayRefuse = true;
        m_progress.Begin();
    }
    void Header(const HeaderSite& site) override { Keep(site, site.patches.size() * sizeof(Patch)); }
    void Field(const Site& site) override { Keep(site); }
    void FixUp(const Patch& patch) override { Keep(patch); }
    void CarriesAfd() override { Keep(Afd{}); }
    void Refused(const std::string& why) override { m_refusal = why; }
    // Only this file's own pass moves the bar; one that needs no check is read once by the writer.
    void Position(int position) override {
        if (!m_mayRefuse)
            return;
        if (!m_share.from)
            m_reached = position;
        if (!m_records.empty() && !std::holds_alternative<BufferEnd>(m_records.back()))
            Keep(BufferEnd{});
        m_progress.Position(m_share.Shown(position, false));
    }
    // The first pass tells whether this file needs the check at all.
    bool StopRequested() override { return (m_known && !m_mayRefuse) || m_progress.StopRequested(); }
    bool InPlace() const override { return true; }

    // Whether the writer can be told all of it without a second read.
    bool Kept() const { return m_mayRefuse && !m_share.from; }
    // Tells the writer what the pass met, stopping where the writer's own pass would have: at the end of
    // the buffer-full in which a write failed.
    void Replay(InPlaceWriter& writer) const {
        for (const Record& record : m_records) {
            if (std::holds_alternative<BufferEnd>(record)) {
                if (writer.WriteFailed() || writer.CutShort())
                    return;
                continue;
            }
            std::visit(
                [&writer](const auto& kept) {
                    using Kind = std::decay_t<decltype(kept)>;
                    if constexpr (std::is_same_v<Kind, HeaderSite>)
                        writer.Header(kept);
                    else if constexpr (std::is_same_v<Kind, Site>)
                        writer.Field(kept);
                    else if constexpr (std::is_same_v<Kind, Patch>)
                        writer.FixUp(kept);
                    else if constexpr (std::is_same_v<Kind, Afd>)
                        writer.CarriesAfd();
                },
                record);
        }
    }

    bool m_known = false;
    bool m_mayRefuse = false;
    std::optional<std::string> m_refusal;
    BarShare m_share;

private:
    struct Afd {};
    struct BufferEnd {};
    using Record = std::variant<HeaderSite, Site, Patch, Afd, BufferEnd>;

    template <typename T> void Keep(const T& what, std::size_t beyond = 0) {
        if (m_share.from)
            return;
        const std::size_t cost = sizeof(Record) + beyond;
        if (m_limit - m_bytes < cost) {
            m_share.from = m_reached;
            std::vector<Record>().swap(m_records);
            return;
        }
        m_bytes += cost;
        m_records.emplace_back(what);
    }

    ProgressSink& m_progress;
    std::size_t m_limit;
    std::size_t m_bytes = 0;
    int m_reached = 0;
    std::vector<Record> m_records;
};

RunOutcome Failed(RunOutcome outcome, RunReport& report, const io::FailureReason& why) {
    report.failure = why;
    return outcome;
}

} // namespace

RunOutcome FixInPlace(const std::string& path, ConversionMode mode, ProgressSink& progress, RunReport& report,
                      std::size_t keepLimit) {
    report = RunReport{};
    io::File file = io::OpenForUpdate(path);
    if (!file.IsOpen())
        return Failed(RunOutcome::SourceOpenFailed, report, file.Failure());
    RefusalCheck check(progress, keepLimit);
    const RunOutcome checked = ScanFile(file, mode, check);
    if (check.m_refusal)
        return Failed(RunOutcome::Refused, report,
                      io::FailureReason{0, io::Refusal::Unsupported, false, *check.m_refusal});
    // A file cut short while it is read through ends as it would under the writes.
    if (check.m_mayRefuse && checked == RunOutcome::ReadFailed && !file.Failure().Known())
        return Failed(RunOutcome::ReadFailed, report, io::FailureReason{0, io::Refusal::CutShort, false});
    if (check.m_mayRefuse && checked != RunOutcome::Completed)
        return Failed(checked, report, file.Failure());
    InPlaceWriter writer(file, progress, report, check.m_mayRefuse,
                         check.m_mayRefuse ? check.m_share : BarShare{});
    RunOutcome scanned = RunOutcome::Completed;
    if (check.Kept()) {
        check.Replay(writer);
    } else {
        if (!file.Rewind())
            return Failed(RunOutcome::ReadFailed, report, file.Failure());
        scanned = ScanFile(file, mode, writer);
    }
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
