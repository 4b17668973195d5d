// A DVD-Video folder as a whole: every VOB converted, the IFO and BUP attributes set to match them.
#include "dvd_command.h"

#include "batch.h"
#include "batch_report.h"
#include "conversion_run.h"
#include "disc/disc_files.h"
#include "disc/ifo_attributes.h"
#include "header_scan.h"
#include "in_place_fix.h"
#include "interrupt.h"
#include "source_probe.h"
#include "terminal_progress.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>
#include <system_error>

namespace veltrane::cli {

namespace {

namespace fs = std::filesystem;
using disc::AttributeAspect;
using disc::IfoImage;
using disc::VobGroup;

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool IsFolder(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// The VIDEO_TS folder of `root`: root itself, or the one it holds (a disc's names are upper case, but
// a copy may have lost that).
std::optional<fs::path> FindVideoTs(const fs::path& root) {
    if (Upper(NameOf(root.filename())) == "VIDEO_TS")
        return root;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, error))
        if (Upper(NameOf(entry.path().filename())) == "VIDEO_TS" && IsFolder(entry.path()))
            return entry.path();
    return std::nullopt;
}

// A file of VIDEO_TS by what it is to the disc, from its name.
struct DiscFile {
    enum class Kind { Vob, Ifo, Other } kind = Kind::Other;
    VobGroup group;
    bool manager = false;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

DiscFile Classify(const std::string& name) {
    const std::string upper = Upper(name);
    DiscFile file;
    const auto ext = upper.size() > 4 ? upper.substr(upper.size() - 4) : std::string();
    const std::string stem = upper.substr(0, upper.size() - ext.size());
    const auto kind = ext == ".VOB"                    ? DiscFile::Kind::Vob
                      : ext == ".IFO" || ext == ".BUP" ? DiscFile::Kind::Ifo
                                                       : DiscFile::Kind::Other;
    if (kind == DiscFile::Kind::Other)
        return file;
    if (stem == "VIDEO_TS") {
        file.kind = kind;
        file.manager = true;
        return file;
    }
    // VTS_nn_m: nn the title set, m 0 for the menus (and the IFO), 1 to 9 for the titles.
    if (stem.size() != 8 || stem.compare(0, 4, "VTS_") != 0 || stem[6] != '_' || !IsDigit(stem[4]) ||
        !IsDigit(stem[5]) || !IsDigit(stem[7]))
        return file;
    const int set = (stem[4] - '0') * 10 + (stem[5] - '0');
    const int part = stem[7] - '0';
    if (set < 1 || (kind == DiscFile::Kind::Ifo && part != 0))
        return file;
    file.kind = kind;
    file.group = {set, part == 0};
    return file;
}

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

// What the disc is: its VIDEO_TS files, the IFOs read and checked, the VOBs by group.
struct Disc {
    fs::path root;
    fs::path videoTs;
    std::vector<std::pair<fs::path, IfoImage>> ifos;
    std::map<VobGroup, std::vector<fs::path>> vobs;
};

// Reads every IFO and BUP; the first that fails is named with its fault.
bool ReadDisc(const fs::path& root, Disc& disc, BatchReport& report) {
    disc.root = root;
    disc.videoTs = *FindVideoTs(root);
    std::vector<fs::path> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(disc.videoTs, error))
        names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    bool manager = false;
    for (const fs::path& path : names) {
        const DiscFile file = Classify(NameOf(path.filename()));
        if (file.kind == DiscFile::Kind::Vob) {
            disc.vobs[file.manager ? VobGroup{0, true} : file.group].push_back(path);
        } else if (file.kind == DiscFile::Kind::Ifo) {
            IfoImage image;
            const disc::IfoFault fault =
                disc::LoadIfo(NameOf(path), file.manager, file.group.titleSet, image);
            if (fault != disc::IfoFault::None) {
                report.Failed(NameOf(path), disc::IfoFaultText(fault),
                              JsonObject().AddPath("file", NameOf(path)));
                return false;
            }
            manager = manager || file.manager;
            disc.ifos.emplace_back(path, std::move(image));
        }
    }
    if (!manager) {
        report.Failed(NameOf(disc.videoTs), "no VIDEO_TS.IFO: not a DVD-Video folder",
                      JsonObject().AddPath("file", NameOf(disc.videoTs)));
        return false;
    }
    return true;
}

// The aspect the IFO of a group's own file set (VIDEO_TS.IFO or VTS_nn_0.IFO) gives it.
std::optional<AttributeAspect> IfoAspect(const Disc& disc, const VobGroup& group) {
    for (const auto& [path, image] : disc.ifos)
        if (image.manager == (group.titleSet == 0) && Upper(NameOf(path.extension())) == ".IFO")
            for (const disc::VideoAttribute& attribute : image.attributes)
                if (attribute.group == group)
                    return attribute.Aspect();
    return std::nullopt;
}

std::string TempName(const fs::path& out, const char* what) {
    std::random_device random;
    return "." + NameOf(out.filename()) + ".veltrane-" + what + "-" + std::to_string(random() % 1000000);
}

// Every VOB converted (into `into`, or in place), the groups' new aspects in `targets`.
// What a file written under `into` is called once the disc takes OUT's name.
std::string Shown(const Request& request, const Disc& disc, const fs::path& file) {
    return request.inPlace ? NameOf(file)
                           : NameOf(FsPath(request.output) / file.lexically_relative(disc.root));
}

bool ConvertVobs(const Request& request, const Disc& disc, const fs::path& into, BatchReport& report,
                 std::vector<disc::AttributeTarget>& targets) {
    const bool showProgress = report.Chatty() && StderrIsTerminal();
    for (const auto& [group, vobs] : disc.vobs) {
        ConversionMode mode =
            request.target == Target::To4x3 ? ConversionMode::To4x3 : ConversionMode::To16x9;
        if (request.target == Target::Flip) {
            const ProbeOutcome probe = ProbeSourceAspect(NameOf(vobs.front()));
            if (probe != ProbeOutcome::Aspect4x3 && probe != ProbeOutcome::Aspect16x9) {
                report.Failed(NameOf(vobs.front()), OutcomeText(probe),
                              JsonObject().AddPath("file", NameOf(vobs.front())));
                return false;
            }
            mode = probe == ProbeOutcome::Aspect4x3 ? ConversionMode::To16x9 : ConversionMode::To4x3;
        }
        std::uint64_t found = 0;
        for (const fs::path& vob : vobs) {
            if (StopSignal() != 0)
                return false;
            const std::string file = NameOf(vob);
            const std::string dest =
                request.inPlace ? file : NameOf(into / vob.lexically_relative(disc.root));
            std::error_code error;
            const auto size = static_cast<std::int64_t>(fs::file_size(vob, error));
            RunReport run;
            RunOutcome outcome;
            {
                TerminalProgress progress(file, error ? 0 : size, showProgress);
                outcome = request.inPlace ? FixInPlace(file, mode, progress, run)
                                          : RunConversion(file, dest, mode, progress, run);
            }
            JsonObject json;
            json.AddPath("file", file).AddPath("output", Shown(request, disc, vob));
            if (outcome != RunOutcome::Completed) {
                report.Failed(file, OutcomeText(outcome), std::move(json));
                return false;
            }
            found += run.headersFound;
            const char* to = mode == ConversionMode::To16x9 ? "16:9" : "4:3";
            json.Add("ok", true)
                .Add("to", to)
                .Add("bytes", size)
                .Add("headers", run.headersFound)
                .Add("rewritten", run.headersRewritten)
                .Add("in_place", request.inPlace)
                .Add("title_set", group.titleSet)
                .Add("vobs", group.menus ? "menus" : "titles");
            report.Succeeded(file + (request.inPlace ? "" : " -> " + Shown(request, disc, vob)) + ": " + to +
                                 ", " + std::to_string(run.headersRewritten) + " of " +
                                 std::to_string(run.headersFound) + " sequence headers rewritten",
                             json, size);
        }
        // A group without a sequence header (no video) keeps what its IFOs say.
        if (found > 0)
            targets.push_back({group, mode == ConversionMode::To16x9 ? AttributeAspect::Ratio16x9
                                                                     : AttributeAspect::Ratio4x3});
    }
    return true;
}

bool WriteIfos(const Request& request, const Disc& disc, const fs::path& into, BatchReport& report,
               const std::vector<disc::AttributeTarget>& targets) {
    for (const auto& [path, image] : disc.ifos) {
        const std::string file = NameOf(path);
        const std::string dest = request.inPlace ? file : NameOf(into / path.lexically_relative(disc.root));
        const std::vector<std::uint8_t> bytes = disc::Retargeted(image, targets);
        JsonObject json;
        json.AddPath("file", file).AddPath("output", Shown(request, disc, path));
        const bool written = request.inPlace ? disc::WriteIfoInPlace(file, image, bytes)
                                             : disc::WriteIfoCopy(file, dest, bytes);
        if (!written) {
            report.Failed(file, "can't write the IFO file", std::move(json));
            return false;
        }
        std::string line = file + (request.inPlace ? "" : " -> " + Shown(request, disc, path)) + ":";
        JsonObject attributes;
        for (const disc::VideoAttribute& attribute : image.attributes) {
            const disc::VideoAttribute now{attribute.offset, attribute.group, bytes[attribute.offset]};
            const std::string key = AttributeKey(attribute.group);
            attributes.Add(key, AspectText(now.Aspect()));
            line += " " + key + " " + AspectText(attribute.Aspect()) +
                    (now.first != attribute.first ? std::string(" -> ") + AspectText(now.Aspect()) : "");
        }
        json.Add("ok", true).Add("attributes", attributes).Add("in_place", request.inPlace);
        report.Succeeded(line, json);
    }
    return true;
}

// Everything else under the folder, copied as it is; VIDEO_TS's VOBs and IFOs are written apart.
bool CopyTheRest(const Disc& disc, const fs::path& into, BatchReport& report) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(disc.root, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path target = into / it->path().lexically_relative(disc.root);
        if (it->is_directory(error)) {
            fs::create_directories(target, error);
            continue;
        }
        if (it->path().parent_path() == disc.videoTs &&
            Classify(NameOf(it->path().filename())).kind != DiscFile::Kind::Other)
            continue;
        if (!disc::CopyExactly(NameOf(it->path()), NameOf(target))) {
            report.Failed(NameOf(it->path()), "can't copy this file",
                          JsonObject().AddPath("file", NameOf(it->path())));
            return false;
        }
    }
    if (error)
        report.Failed(NameOf(disc.root), "can't read the folder",
                      JsonObject().AddPath("file", NameOf(disc.root)));
    return !error;
}

int ConvertDisc(const Request& request, const fs::path& root) {
    BatchReport report("converted", request.json, request.quiet);
    Disc disc;
    // Every IFO is read and checked before anything is written.
    if (!ReadDisc(root, disc, report))
        return report.Finish(StopSignal());
    std::vector<disc::AttributeTarget> targets;
    if (request.inPlace) {
        // A fix stopped part-way leaves the IFOs as they were; the same command again completes it.
        if (!ConvertVobs(request, disc, {}, report, targets) ||
            !WriteIfos(request, disc, {}, report, targets))
            report.Failed(NameOf(root), "the disc is fixed only in part: the same command again completes it",
                          JsonObject().AddPath("file", NameOf(root)));
        return report.Finish(StopSignal());
    }
    const fs::path out = FsPath(request.output);
    std::error_code error;
    if (fs::exists(fs::symlink_status(out, error)) && !request.force) {
        report.Failed(request.output, request.output + " exists (--force replaces it)", JsonObject());
        return report.Finish(StopSignal());
    }
    // OUT's own name is what a replacement renames, even where it is a link; where the names lead
    // tells whether one folder holds the other.
    fs::path absoluteOut = fs::absolute(out, error).lexically_normal();
    if (absoluteOut.filename().empty())
        absoluteOut = absoluteOut.parent_path(); // OUT/ names OUT
    const fs::path realOut = fs::weakly_canonical(absoluteOut, error);
    const fs::path realRoot = fs::weakly_canonical(fs::absolute(root, error), error);
    const auto [inside, rest] =
        std::mismatch(realRoot.begin(), realRoot.end(), realOut.begin(), realOut.end());
    if (inside == realRoot.end() || rest == realOut.end()) {
        report.Failed(request.output, "the output folder may not be the DVD folder, inside it or around it",
                      JsonObject());
        return report.Finish(StopSignal());
    }
    // The disc is built beside OUT and takes its name only when whole, so that a failure leaves no
    // half-written disc there.
    const fs::path parent = absoluteOut.parent_path();
    const fs::path building = parent / TempName(absoluteOut, "new");
    if (!fs::create_directory(building, error)) {
        report.Failed(request.output, "can't create the output folder", JsonObject());
        return report.Finish(StopSignal());
    }
    bool done = CopyTheRest(disc, building, report) &&
                ConvertVobs(request, disc, building, report, targets) &&
                WriteIfos(request, disc, building, report, targets);
    if (done) {
        const fs::path old = parent / TempName(absoluteOut, "old");
        const bool replacing = fs::exists(fs::symlink_status(absoluteOut, error));
        error.clear();
        if (replacing)
            fs::rename(absoluteOut, old, error);
        if (!error)
            fs::rename(building, absoluteOut, error);
        if (error) {
            if (replacing)
                fs::rename(old, absoluteOut, error);
            report.Failed(request.output, "can't put the output folder in place", JsonObject());
            done = false;
        } else if (replacing) {
            fs::remove_all(old, error);
        }
    }
    if (!done) {
        fs::remove_all(building, error);
        report.Failed(request.output, "nothing written: a disc is converted whole or not at all",
                      JsonObject());
    }
    return report.Finish(StopSignal());
}

// The per-file scan of every VOB, then each IFO's attributes and whether its VOBs agree with them.
int ScanDisc(const Request& request, const fs::path& root) {
    BatchReport report("scanned", request.json, request.quiet);
    Disc disc;
    if (!ReadDisc(root, disc, report))
        return report.Finish(StopSignal());
    for (const auto& [group, vobs] : disc.vobs) {
        const std::optional<AttributeAspect> ifo = IfoAspect(disc, group);
        for (const fs::path& vob : vobs) {
            const std::string file = NameOf(vob);
            JsonObject json;
            json.AddPath("file", file)
                .AddPath("dvd", NameOf(root))
                .Add("title_set", group.titleSet)
                .Add("vobs", group.menus ? "menus" : "titles");
            struct Tally final : ScanSink {
                void Header(const HeaderSite& site) override {
                    ++headers;
                    if (site.declared == DeclaredAspect::Ratio4x3)
                        ++narrow;
                    else if (site.declared == DeclaredAspect::Ratio16x9)
                        ++wide;
                }
                std::uint64_t headers = 0, narrow = 0, wide = 0;
            } tally;
            const RunOutcome outcome = ScanFile(file, ConversionMode::To16x9, tally);
            if (outcome != RunOutcome::Completed) {
                report.Failed(file, OutcomeText(outcome), std::move(json));
                continue;
            }
            const bool agree = ifo && ((*ifo == AttributeAspect::Ratio4x3 && tally.narrow == tally.headers) ||
                                       (*ifo == AttributeAspect::Ratio16x9 && tally.wide == tally.headers));
            json.Add("ok", true)
                .Add("headers", tally.headers)
                .Add("headers_4:3", tally.narrow)
                .Add("headers_16:9", tally.wide)
                .Add("ifo_aspect", ifo ? AspectText(*ifo) : "none")
                .Add("ifo_agrees", agree);
            report.Succeeded(file + ": " + GroupText(group) + ", " + std::to_string(tally.headers) +
                                 " sequence headers (" + std::to_string(tally.narrow) + " 4:3, " +
                                 std::to_string(tally.wide) + " 16:9), IFO says " +
                                 (ifo ? AspectText(*ifo) : "nothing") + (agree ? "" : ": they disagree"),
                             json);
        }
    }
    for (const auto& [path, image] : disc.ifos) {
        JsonObject json;
        JsonObject attributes;
        std::string line = NameOf(path) + ":";
        bool agree = true;
        for (const disc::VideoAttribute& attribute : image.attributes) {
            const std::string key = AttributeKey(attribute.group);
            attributes.Add(key, AspectText(attribute.Aspect()));
            line += " " + key + " " + AspectText(attribute.Aspect());
            // The video manager's copy of a title set's attributes against the title set's own.
            const std::optional<AttributeAspect> own = IfoAspect(disc, attribute.group);
            if (own && *own != attribute.Aspect()) {
                agree = false;
                line += std::string(" (its own IFO says ") + AspectText(*own) + ")";
            }
        }
        json.AddPath("file", NameOf(path))
            .AddPath("dvd", NameOf(root))
            .Add("ok", true)
            .Add("attributes", attributes)
            .Add("ifos_agree", agree);
        report.Succeeded(line, json);
    }
    return report.Finish(StopSignal());
}

} // namespace

std::optional<int> RunFolderRequest(const Request& request) {
    if (request.command == Command::Probe)
        return std::nullopt;
    // Any other folder is the batch's to refuse, as a file it cannot open.
    const auto dvd = std::find_if(request.files.begin(), request.files.end(), [](const std::string& file) {
        return IsFolder(FsPath(file)) && FindVideoTs(FsPath(file));
    });
    if (dvd == request.files.end())
        return std::nullopt;
    if (request.files.size() != 1 ||
        (request.command == Command::Convert && request.output.empty() && !request.inPlace)) {
        std::fprintf(stderr, "veltrane-cli: a DVD folder is converted alone, with -o OUT or --in-place\n");
        return EXIT_USAGE;
    }
    const fs::path root = FsPath(*dvd);
    return request.command == Command::Scan ? ScanDisc(request, root) : ConvertDisc(request, root);
}

} // namespace veltrane::cli
