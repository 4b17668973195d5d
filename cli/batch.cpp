// probe and convert over a list of files, each file's outcome told as it ends.
#include "batch.h"

#include "batch_report.h"
#include "conversion_run.h"
#include "in_place_fix.h"
#include "interrupt.h"
#include "source_probe.h"
#include "terminal_progress.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace veltrane::cli {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& name) {
#ifdef _WIN32
    return fs::path(std::u8string(name.begin(), name.end()));
#else
    return fs::path(name);
#endif
}

namespace {

std::string NameOf(const fs::path& path) {
#ifdef _WIN32
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
#else
    return path.string();
#endif
}

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
    return NameOf(FsPath(request.outDir) / FsPath(file).filename());
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

// The outcome's text and the reason; a refusal --force would lift says so, and only that one.
std::string FailureLine(RunOutcome outcome, const FailureReason& reason, const std::string& dest) {
    if (reason.refusal == Refusal::DestinationExists)
        return dest + " exists (--force replaces it)";
    return FailureText(outcome, reason, ": ");
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
        std::error_code error;
        const auto size = static_cast<std::int64_t>(fs::file_size(FsPath(file), error));
        const auto start = std::chrono::steady_clock::now();
        RunReport run;
        RunOutcome outcome;
        {
            TerminalProgress progress(file, error ? 0 : size, showProgress);
            // Without --force the run itself refuses a file at the destination, also one that appears
            // while it runs.
            outcome = request.inPlace
                          ? FixInPlace(file, mode, progress, run)
                          : RunConversion(file, dest, mode, progress, run,
                                          request.force ? io::ExistingFile::Replace : io::ExistingFile::Keep);
        }
        if (outcome == RunOutcome::Cancelled) {
            report.Stopped(file, std::move(json));
            break;
        }
        if (outcome != RunOutcome::Completed) {
            report.Failed(file, FailureLine(outcome, run.failure, dest), std::move(json));
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

} // namespace

int RunBatch(const Request& request) {
    switch (request.command) {
    case Command::Probe:
        return Probe(request);
    case Command::Scan:
        return ScanFiles(request);
    case Command::Convert:
        return Convert(request);
    }
    return EXIT_USAGE;
}

} // namespace veltrane::cli
