// probe, scan and convert over a list of files, each file's outcome told as it ends.
#include "batch.h"

#include "batch_report.h"
#include "conversion_run.h"
#include "header_scan.h"
#include "in_place_fix.h"
#include "interrupt.h"
#include "source_probe.h"
#include "terminal_progress.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace veltrane::cli {

namespace {

namespace fs = std::filesystem;

const char* AspectName(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? "16:9" : "4:3";
}

int Probe(const Request& request) {
    BatchReport report("probed", request.json, request.quiet);
    for (const std::string& file : request.files) {
        if (StopSignal() != 0)
            break;
        int code = -1;
        const ProbeOutcome outcome = ProbeSourceAspect(file, code);
        JsonObject json;
        json.AddPath("file", file);
        std::string aspect;
        switch (outcome) {
        case ProbeOutcome::Aspect4x3:
            aspect = "4:3";
            break;
        case ProbeOutcome::Aspect16x9:
            aspect = "16:9";
            break;
        case ProbeOutcome::AspectUnknown:
            aspect = "unknown";
            break;
        default:
            report.Failed(file, OutcomeText(outcome), std::move(json));
            continue;
        }
        json.Add("ok", true).Add("aspect", aspect).Add("aspect_code", code);
        if (outcome == ProbeOutcome::AspectUnknown)
            aspect = "unknown (code " + std::to_string(code) + ")";
        report.Succeeded(file + ": " + aspect, json);
    }
    return report.Finish(StopSignal());
}

// Where a file's copy goes: -o as given, or the file's own name inside --out-dir.
std::string Destination(const Request& request, const std::string& file) {
    if (request.inPlace)
        return file;
    if (!request.output.empty())
        return request.output;
    return (fs::path(request.outDir) / fs::path(file).filename()).string();
}

// A dangling link counts as there: writing through it would create a file elsewhere. A name that
// cannot even be looked at is left to the run, which tells why it cannot write there.
bool Exists(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    return !error && status.type() != fs::file_type::not_found;
}

// Two files of one batch written to the same name would leave only the last: refused before any
// is written. Returns false after telling the user.
bool DestinationsDistinct(const Request& request) {
    std::map<std::string, const std::string*> seen;
    for (const std::string& file : request.files) {
        const std::string dest = Destination(request, file);
        const auto [at, fresh] = seen.emplace(dest, &file);
        if (!fresh && *at->second != file) {
            std::fprintf(stderr, "veltrane-cli: %s and %s would both be written to %s\n", at->second->c_str(),
                         file.c_str(), dest.c_str());
            return false;
        }
    }
    return true;
}

// The direction for one file; false with the text to tell when it has none.
bool ChooseMode(const Request& request, const std::string& file, ConversionMode& mode,
                std::string_view& why) {
    switch (request.target) {
    case Target::To16x9:
        mode = ConversionMode::To16x9;
        return true;
    case Target::To4x3:
        mode = ConversionMode::To4x3;
        return true;
    case Target::Flip:
        break;
    }
    const ProbeOutcome probed = ProbeSourceAspect(file);
    if (probed == ProbeOutcome::Aspect4x3 || probed == ProbeOutcome::Aspect16x9) {
        mode = probed == ProbeOutcome::Aspect4x3 ? ConversionMode::To16x9 : ConversionMode::To4x3;
        return true;
    }
    why = OutcomeText(probed);
    return false;
}

std::string ConvertedLine(const Request& request, const std::string& file, const std::string& dest,
                          ConversionMode mode, const RunReport& run) {
    const std::string rewritten = std::string(AspectName(mode)) + ", " +
                                  std::to_string(run.headersRewritten) + " of " +
                                  std::to_string(run.headersFound) + " sequence headers rewritten";
    if (request.inPlace) {
        if (run.headersFound == 0)
            return file + ": " + std::string(OutcomeText(ProbeOutcome::HeaderNotFound)) + ", nothing written";
        return file + ": " + rewritten + " in place";
    }
    // Not a failure: the copy declares what was asked. But the user likely meant another file.
    if (const auto nothing = WhyNothingRewritten(run))
        return file + " -> " + dest + ": " + std::string(OutcomeText(*nothing));
    return file + " -> " + dest + ": " + rewritten;
}

int Convert(const Request& request) {
    if (!DestinationsDistinct(request))
        return EXIT_USAGE;
    BatchReport report("converted", request.json, request.quiet);
    const bool showProgress = report.Chatty() && StderrIsTerminal();
    for (const std::string& file : request.files) {
        if (StopSignal() != 0)
            break;
        const std::string dest = Destination(request, file);
        JsonObject json;
        json.AddPath("file", file).AddPath("output", dest);

        ConversionMode mode{};
        std::string_view why;
        if (!ChooseMode(request, file, mode, why)) {
            report.Failed(file, why, std::move(json));
            continue;
        }
        if (!request.inPlace && !request.force && Exists(dest)) {
            report.Failed(file, dest + " exists (--force replaces it)", std::move(json));
            continue;
        }
        std::error_code error;
        const auto size = static_cast<std::int64_t>(fs::file_size(file, error));
        const auto start = std::chrono::steady_clock::now();
        RunReport run;
        RunOutcome outcome;
        {
            TerminalProgress progress(file, error ? 0 : size, showProgress);
            outcome = request.inPlace ? FixInPlace(file, mode, progress, run)
                                      : RunConversion(file, dest, mode, progress, run);
        }
        if (outcome != RunOutcome::Completed) {
            report.Failed(file, OutcomeText(outcome), std::move(json));
            continue;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        json.Add("ok", true)
            .Add("to", AspectName(mode))
            .Add("bytes", size)
            .Add("headers", run.headersFound)
            .Add("rewritten", run.headersRewritten)
            .Add("seconds", seconds)
            .Add("in_place", request.inPlace);
        report.Succeeded(ConvertedLine(request, file, dest, mode, run), json, size);
    }
    return report.Finish(StopSignal());
}

// Counts what the scan finds; the progress line and Ctrl+C work as in a conversion.
class ScanTally final : public ScanSink {
public:
    explicit ScanTally(TerminalProgress& progress) : m_progress(progress) {}

    void Container(ContainerKind kind) override { m_kind = kind; }
    void Header(const HeaderSite& site) override {
        ++m_headers;
        ++m_codes[site.aspectByte >> 4];
    }
    void Position(int position) override { m_progress.Position(position); }
    bool StopRequested() override { return m_progress.StopRequested(); }

    ContainerKind m_kind = ContainerKind::Elementary;
    std::uint64_t m_headers = 0;
    std::array<std::uint64_t, 16> m_codes{};

private:
    TerminalProgress& m_progress;
};

std::pair<const char*, const char*> ContainerNames(ContainerKind kind) {
    switch (kind) {
    case ContainerKind::Elementary:
        return {"elementary", "elementary stream"};
    case ContainerKind::ProgramStream:
        return {"program", "program stream"};
    case ContainerKind::TransportStream188:
        return {"transport", "transport stream"};
    case ContainerKind::TransportStream192:
        return {"transport-192", "transport stream (192-byte packets)"};
    }
    return {"elementary", "elementary stream"};
}

std::string CodeName(std::size_t code) {
    const std::string number = "code " + std::to_string(code);
    return code == 2 ? "4:3 (" + number + ")" : code == 3 ? "16:9 (" + number + ")" : number;
}

int Scan(const Request& request) {
    BatchReport report("scanned", request.json, request.quiet);
    const bool showProgress = report.Chatty() && StderrIsTerminal();
    for (const std::string& file : request.files) {
        if (StopSignal() != 0)
            break;
        JsonObject json;
        json.AddPath("file", file);
        std::error_code error;
        const auto size = static_cast<std::int64_t>(fs::file_size(file, error));
        TerminalProgress progress(file, error ? 0 : size, showProgress);
        ScanTally tally(progress);
        progress.Begin();
        // The mode only decides what a run would write, which a scan does not tell.
        const RunOutcome outcome = ScanFile(file, ConversionMode::To16x9, tally);
        progress.End();
        if (outcome != RunOutcome::Completed) {
            report.Failed(file, OutcomeText(outcome), std::move(json));
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
            counts +=
                (counts.empty() ? "" : ", ") + std::to_string(tally.m_codes[code]) + " " + CodeName(code);
        }
        const auto [containerKey, containerText] = ContainerNames(tally.m_kind);
        json.Add("ok", true)
            .Add("container", containerKey)
            .Add("bytes", size)
            .Add("headers", tally.m_headers)
            .Add("aspect_codes", codes)
            .Add("agree", kinds == 1);
        std::string line =
            file + ": " + containerText + ", " + std::to_string(tally.m_headers) + " sequence headers, ";
        if (kinds == 1) {
            const auto code = static_cast<std::size_t>(
                std::find_if(tally.m_codes.begin(), tally.m_codes.end(), [](auto n) { return n > 0; }) -
                tally.m_codes.begin());
            line += "all " + CodeName(code);
        } else {
            line += "disagreeing: " + counts;
        }
        report.Succeeded(line, json, size);
    }
    return report.Finish(StopSignal());
}

} // namespace

int RunBatch(const Request& request) {
    switch (request.command) {
    case Command::Probe:
        return Probe(request);
    case Command::Scan:
        return Scan(request);
    case Command::Convert:
        return Convert(request);
    }
    return EXIT_USAGE;
}

} // namespace veltrane::cli
