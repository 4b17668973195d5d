// probe and convert over a list of files, each file's outcome told as it ends.
#include "batch.h"

#include "batch_report.h"
#include "conversion_run.h"
#include "durable_group.h"
#include "dvd_command.h"
#include "in_place_fix.h"
#include "interrupt.h"
#include "source_list.h"
#include "source_probe.h"
#include "standard_streams.h"
#include "stream_run.h"
#include "terminal_progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace veltrane::cli {

namespace fs = std::filesystem;

// A name as the engine and the reports take it: UTF-8 on Windows, the bytes as they are elsewhere.
std::string NameOf(const fs::path& path) {
#ifdef _WIN32
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
#else
    return path.string();
#endif
}

fs::path FsPath(const std::string& name) {
#ifdef _WIN32
    return fs::path(std::u8string(name.begin(), name.end()));
#else
    return fs::path(name);
#endif
}

namespace {

const char* AspectName(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? "16:9" : "4:3";
}

int Probe(const Request& request) {
    BatchReport report("probed", request.json, request.quiet);
    for (const std::string& file : request.files) {
        if (StopSignal() != 0 || report.ReaderGone())
            break;
        int code = -1;
        FailureReason failure;
        const ProbeOutcome outcome = ProbeSourceAspect(file, code, failure);
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
            report.Failed(file, FailureText(outcome, failure, ": "), std::move(json));
            continue;
        }
        json.Add("ok", true).Add("aspect", aspect).Add("aspect_code", code);
        if (outcome == ProbeOutcome::AspectUnknown)
            aspect = "unknown (code " + std::to_string(code) + ")";
        report.Succeeded(file + ": " + aspect, json);
    }
    return report.Finish(StopSignal());
}

constexpr std::string_view kNoVideo = "no MPEG-1/2 video";

// Where a file's copy goes: -o as given, the file's own name inside --out-dir (or its place in the
// walked tree), itself in place; nowhere for a dry run that names no destination.
std::string Destination(const Request& request, const Source& source) {
    if (request.inPlace)
        return source.file;
    if (!request.output.empty())
        return request.output;
    if (request.outDir.empty())
        return {};
    if (source.walked)
        return NameOf(FsPath(request.outDir) / FsPath(source.mirror));
    return NameOf(FsPath(request.outDir) / FsPath(source.file).filename());
}

// What a dry run tells of a destination that a real run without --force would refuse: a regular
// file there, or through a link. Anything else is the real run's to refuse, with its own reason.
bool ReplacesAFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(FsPath(path), error);
}

bool Refuse(const std::string& text) {
    std::fprintf(stderr, "veltrane-cli: %s\n", text.c_str());
    return false;
}

// Two files of one batch written to the same name would leave only the last: refused before any
// is written. Returns false after telling the user.
bool DestinationsDistinct(const Request& request, const std::vector<Source>& sources) {
    std::map<std::string, const std::string*> seen;
    for (const Source& source : sources) {
        const std::string dest = Destination(request, source);
        if (dest.empty())
            continue;
        const auto [at, fresh] = seen.emplace(dest, &source.file);
        if (!fresh && *at->second != source.file)
            return Refuse(*at->second + " and " + source.file + " would both be written to " + dest);
    }
    return true;
}

// What streams cannot do, refused before anything is read. Returns false after telling the user.
bool StreamsWorkable(const Request& request, const std::vector<Source>& sources, bool toStdout) {
    int fromStdin = 0;
    for (const Source& source : sources) {
        if (source.kind != SourceKind::Stream)
            continue;
        if (request.target == Target::Flip)
            return Refuse(source.file + ": --to flip reads a file's first header before its copy starts, "
                                        "which a stream cannot give back; use --to 16:9 or --to 4:3");
        if (request.inPlace)
            return Refuse(source.file + ": --in-place rewrites a file, not a stream");
        if (source.file == "-") {
            if (!request.outDir.empty())
                return Refuse("standard input has no name to keep in --out-dir; use -o");
            if (StdinIsTerminal())
                return Refuse("standard input is a terminal; pipe a video in or name a file");
            ++fromStdin;
        }
    }
    if (fromStdin > 1)
        return Refuse("standard input can be read only once");
    if (toStdout && StdoutIsTerminal() && !request.dryRun)
        return Refuse("standard output is a terminal; redirect it or name a file with -o");
    return true;
}

constexpr const char* kAfdWarning =
    "the stream carries AFD codes, which are relative to the coded frame: check them";

std::string ConvertedLine(const Request& request, const Source& source, const std::string& dest,
                          ConversionMode mode, const RunReport& run) {
    // An H.264/HEVC stream's sites are its SPSs; the MPEG text stays as scripts have long read it.
    const std::string counts =
        std::to_string(run.headersRewritten) + " of " + std::to_string(run.headersFound) +
        (run.spsFound == run.headersFound && run.spsFound > 0 ? " SPSs" : " sequence headers");
    const std::string aspect = AspectName(mode);
    if (request.dryRun) {
        if (run.headersRewritten == 0)
            return source.file + ": already " + aspect + ", nothing to rewrite";
        return source.file + ": would rewrite " + counts + " to " + aspect;
    }
    if (request.inPlace) {
        if (run.headersRewritten == 0)
            return source.file + ": already " + aspect + ", nothing written";
        return source.file + ": " + aspect + ", " + counts + " rewritten in place";
    }
    const std::string head = source.file + " -> " + dest + ": ";
    // Not a failure: the copy declares what was asked, and the line says that it did already.
    if (run.headersRewritten == 0)
        return head + "already " + aspect + ", copied unchanged";
    return head + aspect + ", " + counts + " rewritten";
}

// One file's run, by the engine's call that fits its source and destination; a file-to-file copy is
// left to `group` to commit where there is one.
RunOutcome Carry(const Request& request, const Source& source, const std::string& dest, bool toStdout,
                 ConversionMode mode, TerminalProgress& progress, RunReport& run, DurableGroup* group) {
    // Without --force the run itself refuses a file at the destination, also one that appears while it
    // runs.
    const ExistingFile existing = request.force ? ExistingFile::Replace : ExistingFile::Keep;
    const bool stream = source.kind == SourceKind::Stream;
    if (!stream && !toStdout && !request.dryRun) {
        if (request.inPlace)
            return FixInPlace(source.file, mode, progress, run);
        if (group != nullptr)
            return RunConversion(source.file, dest, mode, progress, run, existing, *group);
        return RunConversion(source.file, dest, mode, progress, run, existing);
    }
    const StreamEnds ends{source.file, stream, request.dryRun ? std::string() : toStdout ? "-" : dest};
    return RunStreamConversion(ends, mode, progress, run, existing);
}

// The outcome's text and the reason; a refusal --force would lift says so, and only that one.
std::string FailureLine(RunOutcome outcome, const FailureReason& reason, const std::string& dest) {
    if (reason.refusal == Refusal::DestinationExists)
        return dest + " exists (--force replaces it)";
    return FailureText(outcome, reason, ": ");
}

// Tells each file's result in the files' order while copies before it wait in a group: a copy's line
// waits for the group's commit, which decides it, and the lines after it wait with it.
class OrderedReport {
public:
    OrderedReport(BatchReport& report, DurableGroup& group) : m_report(report), m_group(group) {}

    void Succeeded(const std::string& line, const JsonObject& json, std::int64_t bytes) {
        Tell([=, this](const DurableGroup::Result*) { m_report.Succeeded(line, json, bytes); });
    }
    void Skipped(const std::string& file, const JsonObject& json) {
        Tell([=, this](const DurableGroup::Result*) { m_report.Skipped(file, json); });
    }
    void Failed(const std::string& file, std::string_view text, const JsonObject& json) {
        Tell([=, this, text = std::string(text)](const DurableGroup::Result*) {
            m_report.Failed(file, text, json);
        });
    }
    void Stopped(const std::string& file, const JsonObject& json) {
        Tell([=, this](const DurableGroup::Result*) { m_report.Stopped(file, json); });
    }
    // The line of the copy that joined the group last, told with its commit's result.
    void WhenCommitted(std::function<void(const DurableGroup::Result&)> line) {
        m_lines.push_back({m_group.Held() - 1,
                           [line = std::move(line)](const DurableGroup::Result* result) { line(*result); }});
    }
    // Commits the copies held, then tells every line held back, in order.
    void Commit() {
        const std::vector<DurableGroup::Result> results = m_group.Commit();
        for (const auto& [copy, line] : m_lines)
            line(copy < results.size() ? &results[copy] : nullptr);
        m_lines.clear();
    }

private:
    using Line = std::function<void(const DurableGroup::Result*)>;
    static constexpr std::size_t NO_COPY = static_cast<std::size_t>(-1);

    void Tell(Line line) {
        if (m_lines.empty() && m_group.Held() == 0)
            line(nullptr);
        else
            m_lines.push_back({NO_COPY, std::move(line)});
    }

    BatchReport& m_report;
    DurableGroup& m_group;
    std::vector<std::pair<std::size_t, Line>> m_lines;
};

int Convert(const Request& request) {
    const bool toStdout = !request.output.empty() && IsStandardOutput(request.output);
    const std::vector<Source> sources = ListSources(request);
    if (!StreamsWorkable(request, sources, toStdout) || !DestinationsDistinct(request, sources))
        return EXIT_USAGE;
    if (toStdout ||
        std::any_of(sources.begin(), sources.end(), [](const Source& s) { return s.file == "-"; }))
        UseBinaryStandardStreams();
    BatchReport report(request.dryRun ? "checked" : "converted", request.json, request.quiet,
                       toStdout ? stderr : stdout);
    const bool showProgress = report.Chatty() && StderrIsTerminal();
    // File-to-file copies are committed in groups, so that their waits for the device overlap.
    DurableGroup group;
    OrderedReport told(report, group);
    const bool grouped = !toStdout && !request.dryRun && !request.inPlace;
    for (const Source& source : sources) {
        if (StopSignal() != 0 || report.ReaderGone())
            break;
        const std::string dest = toStdout ? "-" : Destination(request, source);
        JsonObject json;
        json.AddPath("file", source.file);
        if (!dest.empty())
            json.AddPath("output", dest);
        if (!source.refusal.empty()) {
            told.Failed(source.file, source.refusal, std::move(json));
            continue;
        }

        ConversionMode mode =
            request.target == Target::To4x3 ? ConversionMode::To4x3 : ConversionMode::To16x9;
        if (source.kind == SourceKind::File) {
            // The head tells whether there is MPEG-1/2 video at all before anything is written, and
            // flip's direction.
            int code = -1;
            FailureReason failure;
            const ProbeOutcome probed =
                ProbeForConversion(source.file, code, failure, [] { return StopSignal() != 0; });
            if (StopSignal() != 0) {
                told.Stopped(source.file, std::move(json));
                break;
            }
            if (probed == ProbeOutcome::HeaderNotFound) {
                if (source.walked)
                    told.Skipped(source.file, std::move(json));
                else
                    told.Failed(source.file, kNoVideo, std::move(json));
                continue;
            }
            const std::optional<ConversionMode> chosen = ChooseMode(request.target, probed);
            if (!chosen) {
                told.Failed(source.file, FailureText(probed, failure, ": "), std::move(json));
                continue;
            }
            mode = *chosen;
        }
        if (request.dryRun && !dest.empty() && !toStdout && !request.force && ReplacesAFile(dest)) {
            told.Failed(source.file, dest + " exists (--force replaces it)", std::move(json));
            continue;
        }
        if (source.walked && !request.inPlace && !request.dryRun) {
            std::error_code error;
            fs::create_directories(FsPath(dest).parent_path(), error);
        }
        std::error_code error;
        auto size = static_cast<std::int64_t>(fs::file_size(FsPath(source.file), error));
        const bool sized = source.kind == SourceKind::File && !error;
        const bool joins = grouped && source.kind == SourceKind::File;
        if (group.Full(sized ? size : 0))
            told.Commit();
        const auto start = std::chrono::steady_clock::now();
        RunReport run;
        RunOutcome outcome;
        {
            TerminalProgress progress(source.file, sized ? size : -1, showProgress);
            outcome = Carry(request, source, dest, toStdout, mode, progress, run, joins ? &group : nullptr);
            if (!sized)
                size = progress.BytesRead();
        }
        if (outcome == RunOutcome::WriteFailed && toStdout && StdoutReaderGone()) {
            report.ReaderLeft();
            break;
        }
        if (outcome == RunOutcome::Cancelled) {
            told.Stopped(source.file, std::move(json));
            break;
        }
        if (outcome != RunOutcome::Completed) {
            told.Failed(source.file, FailureLine(outcome, run.failure, dest), std::move(json));
            continue;
        }
        // A stream is known to hold no video only at its end; a named destination then got nothing.
        if (run.headersFound == 0 && !joins) {
            told.Failed(source.file, kNoVideo, std::move(json));
            continue;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        JsonObject failedJson = json;
        json.Add("ok", true)
            .Add("to", AspectName(mode))
            .Add("bytes", size)
            .Add("headers", run.headersFound)
            .Add("rewritten", run.headersRewritten)
            .Add("seconds", seconds)
            .Add("in_place", request.inPlace)
            .Add("dry_run", request.dryRun);
        if (run.carriesAfd) {
            // Not a failure: the shape is what was asked; the AFD codes may now describe another.
            std::fprintf(stderr, "veltrane-cli: %s: %s\n", source.file.c_str(), kAfdWarning);
            json.Add("warnings", std::vector<std::string>{kAfdWarning});
        }
        const std::string line = ConvertedLine(request, source, dest, mode, run);
        if (!joins) {
            told.Succeeded(line, json, size);
            continue;
        }
        // The copy's fate is its commit's; what a single run would have said then is said then.
        told.WhenCommitted([=, &report, file = source.file](const DurableGroup::Result& result) {
            if (!result.durable)
                report.Failed(file, FailureLine(RunOutcome::WriteFailed, result.failure, dest), failedJson);
            else if (run.headersFound == 0)
                report.Failed(file, kNoVideo, failedJson);
            else
                report.Succeeded(line, json, size);
        });
    }
    told.Commit();
    return report.Finish(StopSignal());
}

} // namespace

int RunBatch(const Request& request) {
    if (const std::optional<int> status = RunFolderRequest(request))
        return *status;
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
