// A DVD-Video folder as a whole, told as text or JSON: the engine converts, fixes or scans it.
#include "dvd_command.h"

#include "batch_report.h"
#include "disc/dvd_disc.h"
#include "interrupt.h"
#include "terminal_progress.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace veltrane::cli {

namespace {

using disc::AttributeAspect;
using disc::NameOf;
using disc::VobGroup;

const char* AspectText(AttributeAspect aspect) {
    return aspect == AttributeAspect::Ratio4x3    ? "4:3"
           : aspect == AttributeAspect::Ratio16x9 ? "16:9"
                                                  : "other";
}

std::string GroupText(const VobGroup& group) {
    return group.titleSet == 0 ? "the video manager's menus"
                               : std::string(group.menus ? "menus" : "titles") + " of title set " +
                                     std::to_string(group.titleSet);
}

std::string AttributeKey(const VobGroup& group) {
    return (group.titleSet == 0 ? std::string("vmg") : "vts" + std::to_string(group.titleSet)) +
           (group.menus ? "_menus" : "_titles");
}

// The disc's events as BatchReport lines, each VOB's run drawn on the terminal while it goes.
class DiscReport final : public disc::DiscSink {
public:
    DiscReport(const Request& request, BatchReport& report)
        : m_request(request), m_report(report), m_showProgress(report.Chatty() && StderrIsTerminal()) {}

    void Failed(const disc::DiscFailure& failure) override {
        JsonObject json;
        if (failure.AboutOutput()) {
            m_report.Failed(failure.file, failure.Text(": "), std::move(json));
            return;
        }
        json.AddPath("file", failure.file);
        if (!failure.output.empty())
            json.AddPath("output", failure.output);
        m_report.Failed(failure.file, failure.Text(": "), std::move(json));
    }

    void Converted(const disc::VobConverted& vob) override {
        const bool inPlace = m_request.inPlace;
        const char* to = vob.mode == ConversionMode::To16x9 ? "16:9" : "4:3";
        JsonObject json;
        json.AddPath("file", vob.file)
            .AddPath("output", vob.output)
            .Add("ok", true)
            .Add("to", to)
            .Add("bytes", vob.bytes)
            .Add("headers", vob.run.headersFound)
            .Add("rewritten", vob.run.headersRewritten)
            .Add("in_place", inPlace)
            .Add("title_set", vob.group.titleSet)
            .Add("vobs", vob.group.menus ? "menus" : "titles");
        m_report.Succeeded(vob.file + (inPlace ? "" : " -> " + vob.output) + ": " + to + ", " +
                               std::to_string(vob.run.headersRewritten) + " of " +
                               std::to_string(vob.run.headersFound) + " sequence headers rewritten",
                           json, vob.bytes);
    }

    void IfoWritten(const disc::IfoDone& ifo) override {
        const bool inPlace = m_request.inPlace;
        std::string line = ifo.file + (inPlace ? "" : " -> " + ifo.output) + ":";
        JsonObject attributes;
        for (const disc::AttributeState& attribute : ifo.attributes) {
            const std::string key = AttributeKey(attribute.group);
            attributes.Add(key, AspectText(attribute.now));
            line += " " + key + " " + AspectText(attribute.was) +
                    (attribute.changed ? std::string(" -> ") + AspectText(attribute.now) : "");
        }
        JsonObject json;
        json.AddPath("file", ifo.file)
            .AddPath("output", ifo.output)
            .Add("ok", true)
            .Add("attributes", attributes)
            .Add("in_place", inPlace);
        m_report.Succeeded(line, json);
    }

    void Scanned(const disc::VobScanned& vob) override {
        JsonObject json;
        json.AddPath("file", vob.file)
            .AddPath("dvd", m_request.files.front())
            .Add("title_set", vob.group.titleSet)
            .Add("vobs", vob.group.menus ? "menus" : "titles");
        if (vob.outcome != RunOutcome::Completed) {
            m_report.Failed(vob.file, FailureText(vob.outcome, vob.reason, ": "), std::move(json));
            return;
        }
        json.Add("ok", true)
            .Add("headers", vob.headers)
            .Add("headers_4:3", vob.narrow)
            .Add("headers_16:9", vob.wide)
            .Add("ifo_aspect", vob.ifo ? AspectText(*vob.ifo) : "none")
            .Add("ifo_agrees", vob.agrees);
        m_report.Succeeded(vob.file + ": " + GroupText(vob.group) + ", " + std::to_string(vob.headers) +
                               " sequence headers (" + std::to_string(vob.narrow) + " 4:3, " +
                               std::to_string(vob.wide) + " 16:9), IFO says " +
                               (vob.ifo ? AspectText(*vob.ifo) : "nothing") +
                               (vob.agrees ? "" : ": they disagree"),
                           json);
    }

    void IfoRead(const disc::IfoDone& ifo) override {
        JsonObject attributes;
        std::string line = ifo.file + ":";
        bool agree = true;
        for (const disc::AttributeState& attribute : ifo.attributes) {
            const std::string key = AttributeKey(attribute.group);
            attributes.Add(key, AspectText(attribute.was));
            line += " " + key + " " + AspectText(attribute.was);
            // The video manager's copy of a title set's attributes against the title set's own.
            if (attribute.ownIfo && *attribute.ownIfo != attribute.was) {
                agree = false;
                line += std::string(" (its own IFO says ") + AspectText(*attribute.ownIfo) + ")";
            }
        }
        JsonObject json;
        json.AddPath("file", ifo.file)
            .AddPath("dvd", m_request.files.front())
            .Add("ok", true)
            .Add("attributes", attributes)
            .Add("ifos_agree", agree);
        m_report.Succeeded(line, json);
    }

    void FileBegins(const std::string& file, std::int64_t bytes) override {
        m_progress = std::make_unique<TerminalProgress>(file, bytes, m_showProgress);
        m_progress->Begin();
    }
    void FilePosition(int position) override {
        if (m_progress)
            m_progress->Position(position);
    }
    void FileEnds() override { m_progress.reset(); }
    bool StopRequested() override { return StopSignal() != 0; }

private:
    const Request& m_request;
    BatchReport& m_report;
    bool m_showProgress;
    std::unique_ptr<TerminalProgress> m_progress;
};

int ConvertDisc(const Request& request) {
    BatchReport report("converted", request.json, request.quiet);
    DiscReport sink(request, report);
    disc::DiscRequest disc;
    disc.source = request.files.front();
    disc.output = request.output;
    disc.direction = request.target == Target::To4x3    ? disc::DiscDirection::To4x3
                     : request.target == Target::To16x9 ? disc::DiscDirection::To16x9
                                                        : disc::DiscDirection::Flip;
    disc.inPlace = request.inPlace;
    disc.replace = request.force;
    disc::ConvertDisc(disc, sink);
    return report.Finish(StopSignal());
}

int ScanDisc(const Request& request) {
    BatchReport report("scanned", request.json, request.quiet);
    DiscReport sink(request, report);
    disc::ScanDisc(request.files.front(), sink);
    return report.Finish(StopSignal());
}

} // namespace

std::optional<int> RunFolderRequest(const Request& request) {
    if (request.command == Command::Probe)
        return std::nullopt;
    // Any other folder is the batch's to refuse, as a file it cannot open.
    if (std::none_of(request.files.begin(), request.files.end(), disc::IsDvdFolder))
        return std::nullopt;
    if (request.files.size() != 1 ||
        (request.command == Command::Convert && request.output.empty() && !request.inPlace)) {
        std::fprintf(stderr, "veltrane-cli: a DVD folder is converted alone, with -o OUT or --in-place\n");
        return EXIT_USAGE;
    }
    return request.command == Command::Scan ? ScanDisc(request) : ConvertDisc(request);
}

} // namespace veltrane::cli
