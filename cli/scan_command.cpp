// scan over a list of files: the container, the headers and what they declare, read from each whole file.
#include "batch.h"
#include "batch_report.h"
#include "header_scan.h"
#include "interrupt.h"
#include "outcomes.h"
#include "source_list.h"
#include "terminal_progress.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>

namespace veltrane::cli {

namespace {

namespace fs = std::filesystem;

std::string SarText(const SampleAspect& aspect) {
    const Ratio sar = SarOf(aspect);
    return sar.width == 0 ? "unspecified" : std::to_string(sar.width) + ":" + std::to_string(sar.height);
}

// Counts what the scan finds; the progress line and Ctrl+C work as in a conversion.
class ScanTally final : public ScanSink {
public:
    explicit ScanTally(TerminalProgress& progress) : m_progress(progress) {}

    void Container(ContainerKind kind) override { m_kind = kind; }
    void Header(const HeaderSite& site) override {
        if (site.kind == SiteKind::Sps) {
            ++m_sps;
            m_codec = site.codec;
            const std::string sar = SarText(site.sar);
            ++m_sars[sar];
            m_sarDeclared[sar] = site.declared;
            ++m_aspects[static_cast<std::size_t>(site.declared)];
            for (std::size_t way = 0; way < m_refusalTo.size(); ++way) {
                if (site.refusalTo[way] != AspectRefusal::None && m_refusalTo[way] == AspectRefusal::None) {
                    m_refusalTo[way] = site.refusalTo[way];
                    m_bitsTo[way] = site.bitsTo[way];
                }
            }
            return;
        }
        ++m_headers;
        ++m_codes[site.aspectByte >> 4];
        m_declared[site.aspectByte >> 4] = site.declared;
        ++m_aspects[static_cast<std::size_t>(site.declared)];
    }
    // The shape a container's own field declares (a display size, a frame aspect), the first one met.
    void Field(const Site& site) override {
        if (!m_container)
            m_container = site.declared;
    }
    void Refused(const std::string& why) override { m_refusal = why; }
    void CarriesAfd() override { m_afd = true; }
    void Position(int position) override { m_progress.Position(position); }
    bool StopRequested() override { return m_progress.StopRequested(); }

    ContainerKind m_kind = ContainerKind::Elementary;
    std::uint64_t m_headers = 0;
    std::array<std::uint64_t, 16> m_codes{};
    // What each code means here: MPEG-1's depend on the picture size, so the engine tells.
    std::array<DeclaredAspect, 16> m_declared{};
    std::array<std::uint64_t, 3> m_aspects{}; // by DeclaredAspect
    // H.264 and HEVC: SPSs counted by the sample aspect they code, and the shape that gives.
    std::uint64_t m_sps = 0;
    VideoCodec m_codec = VideoCodec::H264;
    std::map<std::string, std::uint64_t> m_sars;
    std::map<std::string, DeclaredAspect> m_sarDeclared;
    // Why a run to each shape (by ConversionMode) would be refused: the first SPS's that would.
    std::array<AspectRefusal, 2> m_refusalTo{};
    std::array<std::int16_t, 2> m_bitsTo{};
    std::optional<DeclaredAspect> m_container;
    bool m_afd = false;
    std::string m_refusal;

private:
    TerminalProgress& m_progress;
};

std::pair<const char*, const char*> ContainerNames(ContainerKind kind) {
    const ContainerKindNames names = NamesOf(kind);
    return {names.word, names.text};
}

const char* AspectName(DeclaredAspect aspect) {
    switch (aspect) {
    case DeclaredAspect::Ratio4x3:
        return "4:3";
    case DeclaredAspect::Ratio16x9:
        return "16:9";
    case DeclaredAspect::Unknown:
        break;
    }
    return "unknown";
}

std::string CodeName(std::size_t code, DeclaredAspect aspect) {
    const std::string number = "code " + std::to_string(code);
    return aspect == DeclaredAspect::Unknown ? number : AspectName(aspect) + (" (" + number + ")");
}

JsonObject Aspects(const ScanTally& tally) {
    JsonObject aspects;
    for (const DeclaredAspect aspect :
         {DeclaredAspect::Ratio4x3, DeclaredAspect::Ratio16x9, DeclaredAspect::Unknown})
        if (const std::uint64_t count = tally.m_aspects[static_cast<std::size_t>(aspect)]; count > 0)
            aspects.Add(AspectName(aspect), count);
    return aspects;
}

// Why an SPS stops a run, in a few words: the run's own message says the rest.
std::string RefusalWords(AspectRefusal refusal, int bits) {
    std::string words;
    switch (refusal) {
    case AspectRefusal::None:
        return {};
    case AspectRefusal::NeedsAnotherCoding:
        words = "needs another coding";
        break;
    case AspectRefusal::NoAspectInfo:
        words = "no aspect ratio info";
        break;
    case AspectRefusal::NoVui:
        words = "no VUI";
        break;
    case AspectRefusal::EmulationPreventionWouldChange:
        words = "emulation prevention would change";
        break;
    case AspectRefusal::DamagedSps:
        return "damaged or unsupported SPS";
    }
    if (bits != 0)
        words += ", " + std::to_string(bits < 0 ? -bits : bits) + (bits < 0 ? " bits fewer" : " bits more");
    return words;
}

// An H.264 or HEVC stream: its SPSs by sample aspect ratio, each with the shape it gives its picture.
void ReportSps(BatchReport& report, const std::string& file, std::int64_t size, const ScanTally& tally,
               JsonObject json) {
    JsonObject sars;
    std::string counts;
    for (const auto& [sar, count] : tally.m_sars) {
        sars.Add(sar, count);
        const DeclaredAspect aspect = tally.m_sarDeclared.at(sar);
        counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " " +
                  (aspect == DeclaredAspect::Unknown ? std::string("unknown") : AspectName(aspect)) +
                  " (SAR " + sar + ")";
    }
    const bool agree = tally.m_sars.size() == 1;
    const char* codec = tally.m_codec == VideoCodec::Hevc ? "hevc" : "h264";
    const auto [containerKey, containerText] = ContainerNames(tally.m_kind);
    json.Add("ok", true)
        .Add("container", containerKey)
        .Add("codec", codec)
        .Add("bytes", size)
        .Add("sps", tally.m_sps)
        .Add("sample_aspects", sars)
        .Add("aspects", Aspects(tally))
        .Add("agree", agree);
    std::string line = file + ": " + containerText + ", " +
                       (tally.m_codec == VideoCodec::Hevc ? "HEVC" : "H.264") + ", " +
                       std::to_string(tally.m_sps) + " SPS, ";
    if (agree) {
        const std::size_t open = counts.find(' ');
        line += "all " + counts.substr(open + 1);
    } else {
        line += "disagreeing: " + counts;
    }
    // Whether a conversion either way could be done: a scan only reads, so what a run would refuse is
    // told, not failed.
    JsonObject convertible;
    JsonObject refusals;
    for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
        const auto way = static_cast<std::size_t>(mode);
        const char* target = mode == ConversionMode::To16x9 ? "16:9" : "4:3";
        const std::string why = RefusalWords(tally.m_refusalTo[way], tally.m_bitsTo[way]);
        convertible.Add(target, why.empty());
        if (!why.empty())
            refusals.Add(target, why);
        line += std::string("; to ") + target + (why.empty() ? ": can" : ": refused, " + why);
    }
    json.Add("convertible", convertible).Add("refusals", refusals).Add("afd", tally.m_afd);
    if (tally.m_afd)
        line += "; carries AFD codes";
    report.Succeeded(line, json, size);
}

} // namespace

int ScanFiles(const Request& request) {
    BatchReport report("scanned", request.json, request.quiet);
    const bool showProgress = report.Chatty() && StderrIsTerminal();
    for (const Source& source : ListSources(request)) {
        if (StopSignal() != 0 || report.ReaderGone())
            break;
        const std::string& file = source.file;
        JsonObject json;
        json.AddPath("file", file);
        if (!source.refusal.empty() || source.kind == SourceKind::Stream) {
            report.Failed(file, source.refusal.empty() ? "scan reads files, not streams" : source.refusal,
                          std::move(json));
            continue;
        }
        std::error_code error;
        const auto size = static_cast<std::int64_t>(fs::file_size(FsPath(file), error));
        TerminalProgress progress(file, error ? 0 : size, showProgress);
        ScanTally tally(progress);
        progress.Begin();
        // Without a mode: a scan reads, and an SPS that a run would refuse is told, not failed.
        const RunOutcome outcome = ScanFile(file, std::nullopt, tally);
        progress.End();
        if (outcome == RunOutcome::Cancelled) {
            report.Stopped(file, std::move(json));
            break;
        }
        if (outcome != RunOutcome::Completed) {
            const FailureReason why = outcome == RunOutcome::Refused
                                          ? FailureReason{0, Refusal::Unsupported, false, tally.m_refusal}
                                          : FailureReason{};
            report.Failed(file, FailureText(outcome, why, ": "), std::move(json));
            continue;
        }
        if (tally.m_headers == 0 && tally.m_sps > 0) {
            ReportSps(report, file, size, tally, std::move(json));
            continue;
        }
        // A walk meets every kind of file: one without video is skipped, not failed.
        if (tally.m_headers == 0 && source.walked) {
            report.Skipped(file, std::move(json));
            continue;
        }
        if (tally.m_headers == 0) {
            report.Failed(file, OutcomeText(ProbeOutcome::HeaderNotFound), std::move(json));
            continue;
        }
        JsonObject codes;
        std::string counts;
        std::size_t kinds = 0;
        for (std::size_t code = 0; code < tally.m_codes.size(); ++code) {
            if (tally.m_codes[code] == 0)
                continue;
            ++kinds;
            codes.Add(std::to_string(code), tally.m_codes[code]);
            counts += (counts.empty() ? "" : ", ") + std::to_string(tally.m_codes[code]) + " " +
                      CodeName(code, tally.m_declared[code]);
        }
        JsonObject aspects;
        for (const DeclaredAspect aspect :
             {DeclaredAspect::Ratio4x3, DeclaredAspect::Ratio16x9, DeclaredAspect::Unknown})
            if (const std::uint64_t count = tally.m_aspects[static_cast<std::size_t>(aspect)]; count > 0)
                aspects.Add(AspectName(aspect), count);
        const auto [containerKey, containerText] = ContainerNames(tally.m_kind);
        json.Add("ok", true)
            .Add("container", containerKey)
            .Add("bytes", size)
            .Add("headers", tally.m_headers)
            .Add("aspect_codes", codes)
            .Add("aspects", aspects)
            .Add("agree", kinds == 1);
        std::string line =
            file + ": " + containerText + ", " + std::to_string(tally.m_headers) + " sequence headers, ";
        if (kinds == 1) {
            const auto code = static_cast<std::size_t>(
                std::find_if(tally.m_codes.begin(), tally.m_codes.end(), [](auto n) { return n > 0; }) -
                tally.m_codes.begin());
            line += "all " + CodeName(code, tally.m_declared[code]);
        } else {
            line += "disagreeing: " + counts;
        }
        // Players take the container's shape first: it is told beside the stream's, and whether they agree.
        if (tally.m_container) {
            const bool agrees = kinds == 1 && tally.m_aspects[static_cast<std::size_t>(*tally.m_container)] ==
                                                  tally.m_headers;
            json.Add("container_aspect", AspectName(*tally.m_container)).Add("container_agrees", agrees);
            line += std::string("; the container says ") + AspectName(*tally.m_container) +
                    (agrees ? ", agreeing" : ", disagreeing");
        }
        report.Succeeded(line, json, size);
    }
    return report.Finish(StopSignal());
}

} // namespace veltrane::cli
