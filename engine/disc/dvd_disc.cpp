// A DVD-Video folder as a whole: every VOB converted, the IFO and BUP attributes set to match them.
#include "disc/dvd_disc.h"

#include "disc/disc_files.h"
#include "header_scan.h"
#include "in_place_fix.h"
#include "io/file_io.h"
#include "source_probe.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <system_error>

namespace veltrane::disc {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& name) {
#ifdef _WIN32
    return fs::path(std::u8string(name.begin(), name.end()));
#else
    return fs::path(name);
#endif
}

std::string NameOf(const fs::path& path) {
#ifdef _WIN32
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
#else
    return path.string();
#endif
}

namespace {

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool IsFolder(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

std::optional<fs::path> VideoTsOf(const fs::path& root) {
    if (Upper(NameOf(root.filename())) == "VIDEO_TS")
        return root;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, error))
        if (Upper(NameOf(entry.path().filename())) == "VIDEO_TS" && IsFolder(entry.path()))
            return entry.path();
    return std::nullopt;
}

// The system's reason a std::filesystem call gives. Where its code is not the platform's own (Windows
// keeps errno values apart from GetLastError ones) the reason stays unknown rather than wrong.
FailureReason ReasonOf(const std::error_code& error) {
    FailureReason reason;
#ifdef _WIN32
    // The C++ library reports some folder errors in the C library's codes, not the system's: their
    // own words then stand for the system's.
    if (error.category() == std::system_category())
        reason.systemError = error.value();
    else if (error)
        reason.detail = error.message();
#else
    reason.systemError = error.value();
#endif
    return reason;
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

// What the disc is: its VIDEO_TS files, the IFOs read and checked, the VOBs by group.
struct Disc {
    fs::path root;
    fs::path videoTs;
    std::vector<std::pair<fs::path, IfoImage>> ifos;
    std::map<VobGroup, std::vector<fs::path>> vobs;
};

DiscFailure Failure(DiscProblem problem, const fs::path& file, FailureReason reason = {}) {
    DiscFailure failure;
    failure.problem = problem;
    failure.file = NameOf(file);
    failure.reason = reason;
    return failure;
}

DiscFailure OutputFailure(DiscProblem problem, const std::string& output, FailureReason reason = {}) {
    DiscFailure failure;
    failure.problem = problem;
    failure.file = output;
    failure.reason = reason;
    return failure;
}

// Reads every IFO and BUP; the first that fails is told with its fault, and the disc is refused.
std::optional<DiscFailure> ReadDisc(const fs::path& root, Disc& disc) {
    disc.root = root;
    const std::optional<fs::path> videoTs = VideoTsOf(root);
    if (!videoTs)
        return Failure(DiscProblem::NoVideoManager, root);
    disc.videoTs = *videoTs;
    std::vector<fs::path> names;
    std::error_code error;
    for (fs::directory_iterator it(disc.videoTs, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path());
    if (error)
        return Failure(DiscProblem::FolderUnreadable, disc.videoTs, ReasonOf(error));
    std::sort(names.begin(), names.end());
    bool manager = false;
    for (const fs::path& path : names) {
        const DiscFile file = Classify(NameOf(path.filename()));
        if (file.kind == DiscFile::Kind::Vob) {
            disc.vobs[file.manager ? VobGroup{0, true} : file.group].push_back(path);
        } else if (file.kind == DiscFile::Kind::Ifo) {
            IfoImage image;
            FailureReason reason;
            const IfoFault fault = LoadIfo(NameOf(path), file.manager, file.group.titleSet, image, reason);
            if (fault != IfoFault::None) {
                DiscFailure failure = Failure(DiscProblem::IfoFault, path, reason);
                failure.ifoFault = fault;
                return failure;
            }
            manager = manager || file.manager;
            disc.ifos.emplace_back(path, std::move(image));
        }
    }
    if (!manager)
        return Failure(DiscProblem::NoVideoManager, disc.videoTs);
    return std::nullopt;
}

// The aspect the IFO of a group's own file set (VIDEO_TS.IFO or VTS_nn_0.IFO) gives it.
std::optional<AttributeAspect> IfoAspect(const Disc& disc, const VobGroup& group) {
    for (const auto& [path, image] : disc.ifos)
        if (image.manager == (group.titleSet == 0) && Upper(NameOf(path.extension())) == ".IFO")
            for (const VideoAttribute& attribute : image.attributes)
                if (attribute.group == group)
                    return attribute.Aspect();
    return std::nullopt;
}

std::int64_t SizeOf(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

std::string TempName(const fs::path& out, const char* what) {
    std::random_device random;
    return "." + NameOf(out.filename()) + ".veltrane-" + what + "-" + std::to_string(random() % 1000000);
}

// The whole disc's progress: the bytes of the files done, and of the one under way.
class DiscProgress {
public:
    DiscProgress(DiscSink& sink, std::int64_t total) : m_sink(sink), m_total(total) {}

    void Show(std::int64_t within) {
        const std::int64_t at = std::min(m_total, m_done + within);
        const int position = m_total > 0 ? ProgressPosition(m_total, m_total - at) : PROGRESS_MAX;
        if (position != m_last)
            m_sink.Position(m_last = position);
    }
    void Done(std::int64_t bytes) {
        m_done += bytes;
        Show(0);
    }

private:
    DiscSink& m_sink;
    std::int64_t m_total;
    std::int64_t m_done = 0;
    int m_last = -1;
};

// One VOB's run, told to the sink as its own and as part of the disc's.
class VobProgress final : public ProgressSink {
public:
    VobProgress(DiscSink& sink, DiscProgress& disc, std::string file, std::int64_t size)
        : m_sink(sink), m_disc(disc), m_file(std::move(file)), m_size(size) {}
    ~VobProgress() override { End(); }
    VobProgress(const VobProgress&) = delete;
    VobProgress& operator=(const VobProgress&) = delete;

    void Begin() override {
        m_begun = true;
        m_sink.FileBegins(m_file, m_size);
    }
    void Position(int position) override {
        m_sink.FilePosition(position);
        m_disc.Show(m_size / PROGRESS_MAX * position + m_size % PROGRESS_MAX * position / PROGRESS_MAX);
    }
    // Also when the run failed part-way, so that the file's own progress never outlives it.
    void End() override {
        if (m_begun)
            m_sink.FileEnds();
        m_begun = false;
    }
    bool StopRequested() override { return m_sink.StopRequested(); }

private:
    DiscSink& m_sink;
    DiscProgress& m_disc;
    std::string m_file;
    std::int64_t m_size;
    bool m_begun = false;
};

// Where the disc is written and under which names its files are told.
struct Target {
    const DiscRequest& request;
    fs::path into; // the folder being built; empty in place

    std::string Dest(const Disc& disc, const fs::path& file) const {
        return request.inPlace ? NameOf(file) : NameOf(into / file.lexically_relative(disc.root));
    }
    // What a file written under `into` is called once the disc takes the output's name; in place, itself.
    std::string Shown(const Disc& disc, const fs::path& file) const {
        return request.inPlace ? NameOf(file)
                               : NameOf(FsPath(request.output) / file.lexically_relative(disc.root));
    }
};

bool ConvertVobs(const Disc& disc, const Target& target, DiscSink& sink, DiscProgress& progress,
                 std::vector<AttributeTarget>& targets) {
    for (const auto& [group, vobs] : disc.vobs) {
        ConversionMode mode =
            target.request.direction == DiscDirection::To4x3 ? ConversionMode::To4x3 : ConversionMode::To16x9;
        if (target.request.direction == DiscDirection::Flip) {
            int code = -1;
            FailureReason reason;
            const ProbeOutcome probe = ProbeSourceAspect(NameOf(vobs.front()), code, reason);
            if (probe != ProbeOutcome::Aspect4x3 && probe != ProbeOutcome::Aspect16x9) {
                DiscFailure failure = Failure(DiscProblem::NoDirection, vobs.front(), reason);
                failure.probe = probe;
                sink.Failed(failure);
                return false;
            }
            mode = probe == ProbeOutcome::Aspect4x3 ? ConversionMode::To16x9 : ConversionMode::To4x3;
        }
        std::uint64_t found = 0;
        for (const fs::path& vob : vobs) {
            if (sink.StopRequested())
                return false;
            VobConverted done;
            done.file = NameOf(vob);
            done.output = target.Shown(disc, vob);
            done.group = group;
            done.mode = mode;
            done.bytes = SizeOf(vob);
            RunOutcome outcome;
            {
                VobProgress each(sink, progress, done.file, done.bytes);
                outcome = target.request.inPlace
                              ? FixInPlace(done.file, mode, each, done.run)
                              : RunConversion(done.file, target.Dest(disc, vob), mode, each, done.run);
            }
            if (outcome != RunOutcome::Completed) {
                DiscFailure failure = Failure(DiscProblem::VobFailed, vob, done.run.failure);
                failure.output = done.output;
                failure.outcome = outcome;
                sink.Failed(failure);
                return false;
            }
            progress.Done(done.bytes);
            found += done.run.headersFound;
            sink.Converted(done);
        }
        // A group without a sequence header (no video) keeps what its IFOs say.
        if (found > 0)
            targets.push_back({group, mode == ConversionMode::To16x9 ? AttributeAspect::Ratio16x9
                                                                     : AttributeAspect::Ratio4x3});
    }
    return true;
}

bool WriteIfos(const Disc& disc, const Target& target, DiscSink& sink, DiscProgress& progress,
               const std::vector<AttributeTarget>& targets) {
    for (const auto& [path, image] : disc.ifos) {
        const std::string file = NameOf(path);
        const std::vector<std::uint8_t> bytes = Retargeted(image, targets);
        FailureReason reason;
        const bool written = target.request.inPlace
                                 ? WriteIfoInPlace(file, image, bytes, reason)
                                 : WriteIfoCopy(file, target.Dest(disc, path), bytes, reason);
        if (!written) {
            DiscFailure failure = Failure(DiscProblem::IfoNotWritten, path, reason);
            failure.output = target.Shown(disc, path);
            sink.Failed(failure);
            return false;
        }
        IfoDone done{file, target.Shown(disc, path), {}};
        for (const VideoAttribute& attribute : image.attributes) {
            const VideoAttribute now{attribute.offset, attribute.group, bytes[attribute.offset]};
            done.attributes.push_back(
                {attribute.group, attribute.Aspect(), now.Aspect(), now.first != attribute.first, {}});
        }
        progress.Done(static_cast<std::int64_t>(image.bytes.size()));
        sink.IfoWritten(done);
    }
    return true;
}

// Everything else under the folder, copied as it is; VIDEO_TS's VOBs and IFOs are written apart.
bool CopyTheRest(const Disc& disc, const fs::path& into, DiscSink& sink, DiscProgress& progress) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(disc.root, error), end; !error && it != end;
         it.increment(error)) {
        if (sink.StopRequested())
            return false;
        const fs::path target = into / it->path().lexically_relative(disc.root);
        if (it->is_directory(error)) {
            if (!fs::create_directories(target, error) && error) {
                sink.Failed(Failure(DiscProblem::NotCopied, it->path(), ReasonOf(error)));
                return false;
            }
            continue;
        }
        if (it->path().parent_path() == disc.videoTs &&
            Classify(NameOf(it->path().filename())).kind != DiscFile::Kind::Other)
            continue;
        FailureReason reason;
        if (!CopyExactly(NameOf(it->path()), NameOf(target), reason)) {
            sink.Failed(Failure(DiscProblem::NotCopied, it->path(), reason));
            return false;
        }
        progress.Done(SizeOf(it->path()));
    }
    if (error)
        sink.Failed(Failure(DiscProblem::FolderUnreadable, disc.root, ReasonOf(error)));
    return !error;
}

// Every byte the run writes: the files copied as they are, the VOBs and the IFOs.
std::int64_t BytesToWrite(const Disc& disc, bool inPlace) {
    std::int64_t total = 0;
    if (!inPlace) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(disc.root, error), end; !error && it != end;
             it.increment(error))
            if (it->is_regular_file(error) &&
                !(it->path().parent_path() == disc.videoTs &&
                  Classify(NameOf(it->path().filename())).kind != DiscFile::Kind::Other))
                total += SizeOf(it->path());
    }
    for (const auto& [group, vobs] : disc.vobs)
        for (const fs::path& vob : vobs)
            total += SizeOf(vob);
    for (const auto& [path, image] : disc.ifos)
        total += static_cast<std::int64_t>(image.bytes.size());
    return total;
}

// Every folder of the tree on the device, so that the files' names last as their data does (each file
// synced its data and its own entry when it was committed; a folder's entry in its parent is not).
bool SyncTree(const fs::path& root, FailureReason& reason) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        if (it->is_directory(error) && !io::SyncFolder(NameOf(it->path()), reason))
            return false;
    if (error) {
        reason = ReasonOf(error);
        return false;
    }
    return io::SyncFolder(NameOf(root), reason);
}

// The finished disc at `building` takes the output's name: where a folder has it, the two are
// exchanged in one step and the old one removed after; the parent is synced before and after, so
// that the exchange lasts once this returns.
bool PutInPlace(const fs::path& building, const fs::path& out, bool replacing, FailureReason& reason) {
    const std::string parent = NameOf(out.parent_path());
    if (!SyncTree(building, reason) || !io::SyncFolder(parent, reason))
        return false;
    if (!replacing)
        return io::MoveFolder(NameOf(building), NameOf(out), reason) && io::SyncFolder(parent, reason);
    if (!io::ExchangeFolders(NameOf(building), NameOf(out), reason) || !io::SyncFolder(parent, reason))
        return false;
    // `building` now names the old disc. A remainder that cannot be removed is no failure of the run:
    // the new disc is in place and lasts.
    std::error_code error;
    fs::remove_all(building, error);
    FailureReason ignored;
    io::SyncFolder(parent, ignored);
    return true;
}

bool ConvertCopy(const DiscRequest& request, const Disc& disc, DiscSink& sink) {
    const fs::path out = FsPath(request.output);
    std::error_code error;
    const bool exists = fs::exists(fs::symlink_status(out, error));
    if (exists && !request.replace) {
        sink.Failed(OutputFailure(DiscProblem::OutputExists, request.output));
        return false;
    }
    // The output's own name is what a replacement renames, even where it is a link; where the names
    // lead tells whether one folder holds the other.
    fs::path absoluteOut = fs::absolute(out, error).lexically_normal();
    if (absoluteOut.filename().empty())
        absoluteOut = absoluteOut.parent_path(); // OUT/ names OUT
    const fs::path realOut = fs::weakly_canonical(absoluteOut, error);
    const fs::path realRoot = fs::weakly_canonical(fs::absolute(disc.root, error), error);
    const auto [inside, rest] =
        std::mismatch(realRoot.begin(), realRoot.end(), realOut.begin(), realOut.end());
    if (inside == realRoot.end() || rest == realOut.end()) {
        sink.Failed(OutputFailure(DiscProblem::OutputAroundDisc, request.output));
        return false;
    }
    // The disc is built beside the output and takes its name only when whole, so that a failure
    // leaves no half-written disc there.
    const fs::path parent = absoluteOut.parent_path();
    const fs::path building = parent / TempName(absoluteOut, "new");
    if (!fs::create_directory(building, error)) {
        sink.Failed(OutputFailure(DiscProblem::OutputNotCreated, request.output, ReasonOf(error)));
        return false;
    }
    DiscProgress progress(sink, BytesToWrite(disc, false));
    progress.Show(0);
    const Target target{request, building};
    std::vector<AttributeTarget> targets;
    bool done = CopyTheRest(disc, building, sink, progress) &&
                ConvertVobs(disc, target, sink, progress, targets) &&
                WriteIfos(disc, target, sink, progress, targets);
    if (done) {
        FailureReason reason;
        if (!PutInPlace(building, absoluteOut, exists, reason)) {
            sink.Failed(OutputFailure(DiscProblem::OutputNotPlaced, request.output, reason));
            done = false;
        }
    }
    if (!done) {
        fs::remove_all(building, error);
        sink.Failed(OutputFailure(DiscProblem::NothingWritten, request.output));
    }
    return done;
}

} // namespace

std::optional<std::string> FindVideoTs(const std::string& folder) {
    if (!IsFolder(FsPath(folder)))
        return std::nullopt;
    const std::optional<fs::path> found = VideoTsOf(FsPath(folder));
    return found ? std::optional(NameOf(*found)) : std::nullopt;
}

bool IsDvdFolder(const std::string& path) {
    return FindVideoTs(path).has_value();
}

bool DiscFailure::AboutOutput() const {
    switch (problem) {
    case DiscProblem::OutputExists:
    case DiscProblem::OutputAroundDisc:
    case DiscProblem::OutputNotCreated:
    case DiscProblem::OutputNotPlaced:
    case DiscProblem::NothingWritten:
        return true;
    default:
        return false;
    }
}

std::string DiscFailure::Text(std::string_view separator) const {
    std::string text;
    switch (problem) {
    case DiscProblem::IfoFault:
        text = IfoFaultText(ifoFault);
        break;
    case DiscProblem::NoVideoManager:
        text = "no VIDEO_TS.IFO: not a DVD-Video folder";
        break;
    case DiscProblem::NoDirection:
        return FailureText(probe, reason, separator);
    case DiscProblem::VobFailed:
        return FailureText(outcome, reason, separator);
    case DiscProblem::IfoNotWritten:
        text = "can't write the IFO file";
        break;
    case DiscProblem::NotCopied:
        text = "can't copy this file";
        break;
    case DiscProblem::FolderUnreadable:
        text = "can't read the folder";
        break;
    case DiscProblem::OutputExists:
        text = file + " exists (--force replaces it)";
        break;
    case DiscProblem::OutputAroundDisc:
        text = "the output folder may not be the DVD folder, inside it or around it";
        break;
    case DiscProblem::OutputNotCreated:
        text = "can't create the output folder";
        break;
    case DiscProblem::OutputNotPlaced:
        text = "can't put the output folder in place";
        break;
    case DiscProblem::NothingWritten:
        text = "nothing written: a disc is converted whole or not at all";
        break;
    case DiscProblem::FixedInPart:
        text = "the disc is fixed only in part: the same command again completes it";
        break;
    }
    const std::string why = ReasonText(reason);
    return why.empty() ? text : text + std::string(separator) + why;
}

bool ConvertDisc(const DiscRequest& request, DiscSink& sink) {
    Disc disc;
    const fs::path root = FsPath(request.source);
    // Every IFO is read and checked before anything is written.
    if (const std::optional<DiscFailure> failure = ReadDisc(root, disc)) {
        sink.Failed(*failure);
        return false;
    }
    if (!request.inPlace)
        return ConvertCopy(request, disc, sink);
    // A fix stopped part-way leaves the IFOs as they were; the same request again completes it.
    DiscProgress progress(sink, BytesToWrite(disc, true));
    progress.Show(0);
    const Target target{request, {}};
    std::vector<AttributeTarget> targets;
    if (ConvertVobs(disc, target, sink, progress, targets) &&
        WriteIfos(disc, target, sink, progress, targets))
        return true;
    sink.Failed(Failure(DiscProblem::FixedInPart, root));
    return false;
}

bool ScanDisc(const std::string& source, DiscSink& sink) {
    Disc disc;
    if (const std::optional<DiscFailure> failure = ReadDisc(FsPath(source), disc)) {
        sink.Failed(*failure);
        return false;
    }
    for (const auto& [group, vobs] : disc.vobs) {
        const std::optional<AttributeAspect> ifo = IfoAspect(disc, group);
        for (const fs::path& vob : vobs) {
            struct Tally final : ScanSink {
                explicit Tally(DiscSink& discSink) : sink(discSink) {}
                void Header(const HeaderSite& site) override {
                    ++headers;
                    if (site.declared == DeclaredAspect::Ratio4x3)
                        ++narrow;
                    else if (site.declared == DeclaredAspect::Ratio16x9)
                        ++wide;
                }
                bool StopRequested() override { return sink.StopRequested(); }
                DiscSink& sink;
                std::uint64_t headers = 0, narrow = 0, wide = 0;
            } tally(sink);
            VobScanned scanned;
            scanned.file = NameOf(vob);
            scanned.group = group;
            scanned.ifo = ifo;
            io::File file = io::OpenForSequentialRead(scanned.file);
            scanned.outcome =
                file.IsOpen() ? ScanFile(file, ConversionMode::To16x9, tally) : RunOutcome::SourceOpenFailed;
            scanned.reason = file.Failure();
            scanned.headers = tally.headers;
            scanned.narrow = tally.narrow;
            scanned.wide = tally.wide;
            scanned.agrees = ifo && ((*ifo == AttributeAspect::Ratio4x3 && tally.narrow == tally.headers) ||
                                     (*ifo == AttributeAspect::Ratio16x9 && tally.wide == tally.headers));
            sink.Scanned(scanned);
        }
    }
    for (const auto& [path, image] : disc.ifos) {
        IfoDone read{NameOf(path), {}, {}};
        for (const VideoAttribute& attribute : image.attributes)
            read.attributes.push_back({attribute.group, attribute.Aspect(), attribute.Aspect(), false,
                                       IfoAspect(disc, attribute.group)});
        sink.IfoRead(read);
    }
    return true;
}

ProbeOutcome ProbeDisc(const std::string& source, DiscFailure& failure) {
    Disc disc;
    if (std::optional<DiscFailure> refused = ReadDisc(FsPath(source), disc)) {
        failure = std::move(*refused);
        return ProbeOutcome::OpenFailed;
    }
    // The first title set's titles are what the disc is about; its menus, or the video manager's, only
    // where it has none.
    const std::vector<fs::path>* first = disc.vobs.empty() ? nullptr : &disc.vobs.begin()->second;
    for (const auto& [group, vobs] : disc.vobs)
        if (group.titleSet > 0 && !group.menus) {
            first = &vobs;
            break;
        }
    if (!first) {
        failure = Failure(DiscProblem::NoDirection, disc.videoTs);
        failure.probe = ProbeOutcome::HeaderNotFound;
        return failure.probe;
    }
    int code = -1;
    FailureReason reason;
    const ProbeOutcome probe = ProbeSourceAspect(NameOf(first->front()), code, reason);
    failure = Failure(DiscProblem::NoDirection, first->front(), reason);
    failure.probe = probe;
    return probe;
}

std::optional<std::string> DiscSourceOf(const std::string& path) {
    const fs::path given = FsPath(path);
    if (IsDvdFolder(path))
        return path;
    std::error_code error;
    if (Upper(NameOf(given.filename())) == "VIDEO_TS.IFO" && fs::is_regular_file(given, error) &&
        IsDvdFolder(NameOf(given.parent_path())))
        return NameOf(given.parent_path());
    return std::nullopt;
}

DiscRun ConvertDiscInto(const std::string& source, const std::string& output, ConversionMode mode,
                        ProgressSink& progress) {
    class Whole final : public DiscSink {
    public:
        Whole(ProgressSink& progress, DiscRun& run) : m_progress(progress), m_run(run) {}
        void Failed(const DiscFailure& failure) override {
            if (!m_run.error.empty())
                return;
            if (failure.problem == DiscProblem::OutputExists) {
                m_run.outputTaken = failure.file;
                m_run.error = failure.file + " exists and is neither empty nor a DVD folder";
            } else {
                m_run.error = failure.Text("\n");
            }
        }
        void Converted(const VobConverted& vob) override {
            m_run.total.headersFound += vob.run.headersFound;
            m_run.total.headersRewritten += vob.run.headersRewritten;
        }
        void Position(int position) override {
            if (!m_begun)
                m_progress.Begin();
            m_begun = true;
            m_progress.Position(position);
        }
        bool StopRequested() override { return m_progress.StopRequested(); }
        void End() {
            if (m_begun)
                m_progress.End();
        }

    private:
        ProgressSink& m_progress;
        DiscRun& m_run;
        bool m_begun = false;
    };
    DiscRun run;
    Whole sink(progress, run);
    DiscRequest request{source, output,
                        mode == ConversionMode::To4x3 ? DiscDirection::To4x3 : DiscDirection::To16x9, false,
                        false};
    std::error_code error;
    const fs::path out = FsPath(output);
    request.replace = (fs::is_directory(out, error) && fs::is_empty(out, error)) || IsDvdFolder(output);
    if (ConvertDisc(request, sink))
        sink.End();
    return run;
}

} // namespace veltrane::disc
