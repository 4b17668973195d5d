// Matroska and WebM in the format table: the head's display sizes set, the video tracks' frames
// searched by their codecs' scanners, every CRC-32 over a changed byte made right.
#include "container/container_format.h"
#include "container/ebml.h"
#include "container/matroska.h"
#include "container/matroska_ids.h"
#include "io/file_io.h"
#include "video/length_nal_scanner.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace veltrane {

namespace {

// Tracks read from the file wherever it lies; a track list is a few KiB, anything near this is damage.
constexpr std::uint64_t MAX_LATE_TRACKS = 16 * 1024 * 1024;

DeclaredAspect TargetOf(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? DeclaredAspect::Ratio16x9 : DeclaredAspect::Ratio4x3;
}

Patch PatchOf(std::uint64_t offset, std::uint8_t size, const std::uint8_t* before,
              const std::uint8_t* after) {
    Patch patch;
    patch.offset = offset;
    patch.size = size;
    std::copy_n(before, size, patch.before.begin());
    std::copy_n(after, size, patch.after.begin());
    return patch;
}

class MatroskaFormat final : public ContainerFormat, private MatroskaEvents {
public:
    explicit MatroskaFormat(MatroskaHead head) : m_head(std::move(head)) {}

    ContainerKind Kind() const override { return ContainerKind::Matroska; }
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override {
        m_core = &core;
        if (!m_walker && !Begin(core, data, size))
            return size;
        ApplyArrived(core, last);
        const std::uint32_t reached = m_walker->Walk(data, from, size, core.Base(), last, *this);
        // The Segment's new size goes in once the walker has read the old one: it walks the file as the
        // source has it, which ends where the Segment did.
        if (m_segmentSize) {
            ApplyRewrite(core, *m_segmentSize);
            m_segmentSize.reset();
        }
        return reached;
    }
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override {
        for (auto& [number, scanner] : m_scanners)
            f(*scanner);
    }
    // Bytes of a late Tracks' site cut by the buffer's edge come again whole with the next buffer-full.
    std::uint32_t HoldBoundary(WalkCore& core, std::uint32_t hold) const override {
        for (const Site& site : m_ahead)
            if (site.patch.offset >= core.Base() && site.patch.offset < core.Base() + core.BufferSize())
                hold = std::min(hold, static_cast<std::uint32_t>(site.patch.offset - core.Base()));
        return hold;
    }
    void Patched(WalkCore& core, const Patch& patch, EditSink&) override {
        m_core = &core;
        if (m_walker)
            m_walker->NotePatched(patch.offset, patch.size, patch.before.data(), patch.after.data(), *this);
    }

private:
    bool Begin(WalkCore& core, std::uint8_t* data, std::uint32_t size);
    bool ReadLateTracks(WalkCore& core);
    // A site applied now, or kept until its bytes arrive when it lies ahead of the buffer.
    void Place(WalkCore& core, const Site& site);
    void ApplyArrived(WalkCore& core, bool last);
    void Grow(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target);
    bool Move(WalkCore& core, const std::uint8_t* data, std::uint32_t size, DeclaredAspect target,
              std::vector<MatroskaGrowth>& rewrites);
    void ApplyRewrite(WalkCore& core, const MatroskaGrowth& rewrite);
    bool SetDisplaySize(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target);
    void Report(WalkCore& core, const MatroskaVideoTrack& track);
    bool NalScanner(WalkCore& core, const MatroskaVideoTrack& track, const std::uint8_t* data,
                    std::uint32_t size, std::unique_ptr<CodecScanner>& scanner);

    void VideoPayload(std::uint64_t track, std::uint8_t* piece, std::uint32_t size,
                      std::uint64_t fileOffset) override;
    void StreamBreak(std::uint64_t track) override {
        if (const auto found = m_scanners.find(track); found != m_scanners.end())
            found->second->Forget();
    }
    void FrameEnd(std::uint64_t track) override {
        if (const auto found = m_scanners.find(track); found != m_scanners.end())
            found->second->SampleEnds(m_core->Sink());
    }
    void FixUp(const ContainerPatch& patch) override {
        m_core->ApplyFixUp(PatchOf(patch.offset, patch.size, patch.before, patch.after));
    }
    void Damaged(const char* reason) override { m_core->Refuse(reason); }

    MatroskaHead m_head;
    std::unique_ptr<MatroskaWalker> m_walker;
    std::map<std::uint64_t, std::unique_ptr<CodecScanner>> m_scanners; // by track number
    // H.264 / HEVC tracks' CodecPrivate (an avcC or hvcC record), read as a record, never as frames.
    struct NalRecord {
        VideoCodec codec;
        FileRange range;
    };
    std::map<std::uint64_t, NalRecord> m_records;
    WalkCore* m_core = nullptr;
    std::optional<MatroskaGrowth> m_segmentSize;              // a moved Tracks' Segment size, still to write
    std::map<std::uint64_t, DeclaredAspect> m_declaredBefore; // of tracks moved with a display size added
    std::vector<Site> m_ahead; // sites in a late Tracks the walk has not reached
};

// The head lies in the first buffer-full: the display sizes are set there before a frame is walked.
bool MatroskaFormat::Begin(WalkCore& core, std::uint8_t* data, std::uint32_t size) {
    const std::optional<ConversionMode> mode = core.Mode();
    // A track without a display size grows one into the Void after Tracks first; the head is then
    // read again, since every offset behind the growth moved. Without such a Void, a copy moves Tracks
    // to the end.
    std::vector<MatroskaGrowth> moved;
    if (m_head.tracksLate) {
        if (!ReadLateTracks(core))
            return false;
        // Room for a missing display size is made only in the head; a late Tracks has to have one.
        for (const MatroskaVideoTrack& track : m_head.video) {
            std::vector<ContainerSite> sites;
            if (const char* refusal = mode ? MatroskaDisplaySites(track, TargetOf(*mode), sites) : "";
                *refusal != '\0') {
                core.Refuse(refusal);
                return false;
            }
        }
    } else if (mode) {
        for (const MatroskaVideoTrack& track : m_head.video)
            Grow(core, track, TargetOf(*mode));
        const MatroskaAnalysis again = AnalyseMatroska(data, size, 0);
        if (again.verdict != MatroskaVerdict::Usable) {
            core.Refuse(again.verdict == MatroskaVerdict::Refused ? again.refusal
                                                                  : "Matroska head is damaged");
            return false;
        }
        m_head = again.head;
        if (!Move(core, data, size, TargetOf(*mode), moved))
            return false;
    }
    // The walker first: it keeps every CRC-32 right that the display sizes' patches change.
    m_walker = std::make_unique<MatroskaWalker>(m_head, 0);
    for (const MatroskaGrowth& rewrite : moved)
        ApplyRewrite(core, rewrite);
    for (const MatroskaVideoTrack& track : m_head.video) {
        if (!mode)
            Report(core, track);
        else if (!SetDisplaySize(core, track, TargetOf(*mode)))
            return false;
        // The track names the version: a V_MPEG1 CodecPrivate header is followed by a frame's.
        std::unique_ptr<CodecScanner> scanner;
        switch (track.codec) {
        case ContainerCodec::Mpeg1:
        case ContainerCodec::Mpeg2:
            scanner = MakeCodecScanner(VideoCodec::Mpeg12, track.codec == ContainerCodec::Mpeg1);
            break;
        case ContainerCodec::H264:
        case ContainerCodec::Hevc:
            if (!NalScanner(core, track, data, size, scanner))
                return false;
            break;
        case ContainerCodec::Other:
            break;
        }
        if (scanner)
            m_scanners.emplace(track.number, std::move(scanner));
    }
    // A moved Tracks' CodecPrivate lies in the appended bytes, which the walker never reaches: it comes
    // before every frame, as it did where it was.
    for (const MatroskaVideoTrack& track : m_head.video) {
        if (std::uint8_t* bytes = core.Appended(track.codecPrivate.offset, track.codecPrivate.size);
            bytes != nullptr && track.codecPrivate.size > 0)
            VideoPayload(track.number, bytes, static_cast<std::uint32_t>(track.codecPrivate.size),
                         track.codecPrivate.offset);
    }
    return true;
}

// Frames hold NAL units behind length fields, whose size only the CodecPrivate record tells; it lies
// in the head, and so in the first buffer-full.
bool MatroskaFormat::NalScanner(WalkCore& core, const MatroskaVideoTrack& track, const std::uint8_t* data,
                                std::uint32_t size, std::unique_ptr<CodecScanner>& scanner) {
    const VideoCodec codec = track.codec == ContainerCodec::Hevc ? VideoCodec::Hevc : VideoCodec::H264;
    const FileRange& record = track.codecPrivate;
    std::string failure = "the track has no CodecPrivate";
    // The record lies in the head, in a Tracks moved past the end, or in a late Tracks read from the file.
    const std::uint8_t* bytes = nullptr;
    std::vector<std::uint8_t> late;
    if (record.size > 0 && record.offset + record.size <= size)
        bytes = data + record.offset;
    else if (record.size > 0)
        bytes = core.Appended(record.offset, record.size);
    if (bytes == nullptr && record.size > 0 && record.size <= MAX_LATE_TRACKS && core.Source() != nullptr) {
        late.resize(static_cast<std::size_t>(record.size));
        if (core.Source()->ReadAllAt(late.data(), late.size(), static_cast<std::int64_t>(record.offset)))
            bytes = late.data();
    }
    if (bytes != nullptr) {
        const std::uint8_t lengthSize =
            NalLengthSizeOf(codec, bytes, static_cast<std::uint32_t>(record.size), failure);
        scanner = MakeCodecScanner(codec, NalLengthField{lengthSize});
    }
    if (!scanner) {
        // Only reporting: the track is left unsearched.
        if (!core.Mode())
            return true;
        core.Refuse("Matroska video track's codec configuration cannot be read: " + failure);
        return false;
    }
    m_records[track.number] = {codec, record};
    return true;
}

void MatroskaFormat::Grow(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target) {
    std::vector<ContainerSite> sites;
    if (*MatroskaDisplaySites(track, target, sites) == '\0')
        return;
    // No display size, or one too small for the value: grown into a Void after Tracks, if any.
    MatroskaGrowth growth;
    if (*PlanMatroskaGrowth(core.Buffer().data, core.BufferSize(), m_head, track.number, target, growth) ==
        '\0')
        ApplyRewrite(core, growth);
}

bool MatroskaFormat::Move(WalkCore& core, const std::uint8_t* data, std::uint32_t size, DeclaredAspect target,
                          std::vector<MatroskaGrowth>& rewrites) {
    const char* refusal = "";
    for (const MatroskaVideoTrack& track : m_head.video) {
        std::vector<ContainerSite> sites;
        if (const char* own = MatroskaDisplaySites(track, target, sites); *refusal == '\0')
            refusal = own;
    }
    if (*refusal == '\0')
        return true;
    // Only a copy of a file can grow past its end, and only one whose end is known.
    if (core.Source() == nullptr) {
        core.Refuse("Matroska track has no display size and no room for one in a stream; convert a file");
        return false;
    }
    if (!core.MayAppend()) {
        core.Refuse("Matroska track has no display size and no room for one in place; convert to a copy");
        return false;
    }
    const std::optional<std::int64_t> fileSize = core.Source()->Size();
    MatroskaMove move;
    if (!fileSize) {
        core.Refuse(refusal);
        return false;
    }
    if (const char* why =
            PlanMatroskaMove(data, size, static_cast<std::uint64_t>(*fileSize), m_head, target, move);
        *why != '\0') {
        core.Refuse(why);
        return false;
    }
    for (const MatroskaVideoTrack& track : m_head.video)
        m_declaredBefore[track.number] = MatroskaDeclaredAspect(track);
    core.Append(static_cast<std::uint64_t>(*fileSize), std::move(move.tracks));
    m_head = std::move(move.head);
    rewrites = std::move(move.patches);
    if (!move.segmentSize.after.empty())
        m_segmentSize = std::move(move.segmentSize);
    return true;
}

// A same-length rewrite of the head, in patches of the walk's size; the walker, once there, fixes the
// CRC-32s over them.
void MatroskaFormat::ApplyRewrite(WalkCore& core, const MatroskaGrowth& rewrite) {
    for (std::size_t at = 0; at < rewrite.after.size(); at += Patch::MAX_BYTES) {
        const auto length =
            static_cast<std::uint8_t>(std::min<std::size_t>(Patch::MAX_BYTES, rewrite.after.size() - at));
        const auto from = static_cast<std::ptrdiff_t>(at);
        if (std::equal(rewrite.before.begin() + from, rewrite.before.begin() + from + length,
                       rewrite.after.begin() + from))
            continue;
        const Patch patch =
            PatchOf(rewrite.offset + at, length, rewrite.before.data() + at, rewrite.after.data() + at);
        core.ApplyFixUp(patch);
        if (m_walker)
            m_walker->NotePatched(patch.offset, patch.size, patch.before.data(), patch.after.data(), *this);
    }
}

bool MatroskaFormat::SetDisplaySize(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target) {
    std::vector<ContainerSite> sites;
    if (const char* refusal = MatroskaDisplaySites(track, target, sites); *refusal != '\0') {
        core.Refuse(refusal);
        return false;
    }
    for (const ContainerSite& field : sites) {
        Site site;
        site.kind = SiteKind::ContainerField;
        site.offset = field.offset;
        const auto moved = m_declaredBefore.find(track.number);
        site.declared = moved != m_declaredBefore.end() ? moved->second : field.declaredBefore;
        site.result = field.declaredAfter;
        site.patch = PatchOf(field.offset, field.size, field.before, field.after);
        Place(core, site);
    }
    return true;
}

// Without a mode the walk only reports what the track declares.
void MatroskaFormat::Report(WalkCore& core, const MatroskaVideoTrack& track) {
    if (!track.displayWidth.present)
        return;
    Site site;
    site.kind = SiteKind::ContainerField;
    site.offset = track.displayWidth.offset;
    site.declared = site.result = MatroskaDeclaredAspect(track);
    // A report changes nothing: told at once, even from a late Tracks, so that a probe that stops early
    // still weighs the container's shape.
    site.patch.offset = m_head.tracksLate ? core.Base() : track.displayWidth.offset;
    core.Apply(site);
}

// Tracks beyond the first buffer-full, where the SeekHead names it: read from the file before any frame,
// so that the scanners know each track's codec and the walker its CRC-32s.
bool MatroskaFormat::ReadLateTracks(WalkCore& core) {
    const io::File* source = core.Source();
    if (source == nullptr) {
        core.Refuse("Matroska track list lies at the end: needs a seekable file");
        return false;
    }
    const std::optional<std::int64_t> fileSize = source->Size();
    const std::uint64_t at = m_head.tracks.offset;
    const std::uint64_t end =
        std::min(fileSize ? static_cast<std::uint64_t>(*fileSize) : 0, m_head.segmentEnd);
    std::uint8_t header[ebml::MAX_HEADER_LENGTH] = {};
    ebml::ElementHeader h;
    if (at >= end ||
        !source->ReadAllAt(header, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof header, end - at)),
                           static_cast<std::int64_t>(at)) ||
        ebml::ReadElementHeader(header, std::min<std::uint64_t>(sizeof header, end - at), h) !=
            ebml::ReadResult::Ok ||
        h.id != mkv::TRACKS || !h.SizeKnown() || h.size > end - at - h.Length()) {
        core.Refuse("Matroska seek entry of the track list points to no track list");
        return false;
    }
    if (h.size > MAX_LATE_TRACKS) {
        core.Refuse("Matroska track list is too large to read");
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(h.Length() + h.size));
    const char* refusal = "";
    if (!source->ReadAllAt(bytes.data(), bytes.size(), static_cast<std::int64_t>(at)) ||
        !ReadMatroskaTracks(bytes.data(), bytes.size(), at, m_head, &refusal)) {
        core.Refuse("Matroska track list is damaged");
        return false;
    }
    if (*refusal != '\0' || m_head.video.empty()) {
        core.Refuse(*refusal != '\0' ? refusal : "Matroska file has no video track");
        return false;
    }
    std::stable_sort(m_head.crcScopes.begin(), m_head.crcScopes.end(),
                     [](const CrcScope& a, const CrcScope& b) {
                         return a.end != b.end ? a.end < b.end : a.dataStart > b.dataStart;
                     });
    return true;
}

void MatroskaFormat::Place(WalkCore& core, const Site& site) {
    const Patch& patch = site.patch;
    if (patch.offset + patch.size > core.Base() + core.BufferSize() &&
        core.Appended(patch.offset, patch.size) == nullptr)
        m_ahead.push_back(site);
    else
        core.Apply(site);
}

void MatroskaFormat::ApplyArrived(WalkCore& core, bool last) {
    const std::uint64_t end = core.Base() + core.BufferSize();
    for (auto it = m_ahead.begin(); it != m_ahead.end();) {
        if (it->patch.offset + it->patch.size <= end) {
            const Site site = *it;
            it = m_ahead.erase(it);
            core.Apply(site);
        } else {
            ++it;
        }
    }
    if (last && !m_ahead.empty())
        core.Refuse("Matroska track list lies past the end of the file");
}

void MatroskaFormat::VideoPayload(std::uint64_t track, std::uint8_t* piece, std::uint32_t size,
                                  std::uint64_t fileOffset) {
    const auto found = m_scanners.find(track);
    if (found == m_scanners.end())
        return;
    // A late Tracks' CodecPrivate follows the last frame in the file, but is no continuation of it.
    if (m_head.tracksLate)
        for (const MatroskaVideoTrack& t : m_head.video)
            if (t.number == track && t.codecPrivate.size > 0 && fileOffset == t.codecPrivate.offset)
                found->second->Forget();
    WalkBuffer& buffer = m_core->Buffer();
    if (const auto record = m_records.find(track);
        record != m_records.end() && fileOffset >= record->second.range.offset &&
        fileOffset < record->second.range.offset + record->second.range.size) {
        const NalRecord& nal = record->second;
        if (fileOffset != nal.range.offset || size != nal.range.size) {
            m_core->Refuse("Matroska CodecPrivate is cut by the buffer's edge");
            return;
        }
        // A record moved past the source's end is searched where it is kept, by its own offsets.
        WalkBuffer own;
        own.data = piece;
        own.base = fileOffset;
        const bool inBuffer = fileOffset >= buffer.base && fileOffset - buffer.base < m_core->BufferSize() &&
                              piece == buffer.data + (fileOffset - buffer.base);
        if (const std::string failure =
                SearchConfigRecord(nal.codec, inBuffer ? buffer : own, piece, size, m_core->Sink());
            !failure.empty() && m_core->Mode())
            m_core->Refuse("Matroska video track's codec configuration cannot be read: " + failure);
        return;
    }
    if (fileOffset >= buffer.base && fileOffset - buffer.base < m_core->BufferSize() &&
        piece == buffer.data + (fileOffset - buffer.base)) {
        found->second->Search(buffer, piece, size, m_core->Sink(), false);
        return;
    }
    // The stripped prefix, from the walker's own copy: a rewrite lands there for every frame to come,
    // and where the prefix's bytes are in the buffer or in a moved Tracks too, there as well.
    const std::vector<std::uint8_t> before(piece, piece + size);
    WalkBuffer own;
    own.data = piece;
    own.base = fileOffset;
    found->second->Search(own, piece, size, m_core->Sink(), false);
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint64_t at = fileOffset + i;
        if (piece[i] == before[i])
            continue;
        if (at >= buffer.base && at - buffer.base < m_core->BufferSize())
            buffer.data[at - buffer.base] = piece[i];
        else if (std::uint8_t* appended = m_core->Appended(at, 1); appended != nullptr)
            *appended = piece[i];
    }
}

} // namespace

std::unique_ptr<ContainerFormat> RecogniseMatroska(const std::uint8_t* data, std::uint32_t size) {
    if (!LooksLikeMatroska(data, size))
        return nullptr;
    MatroskaAnalysis analysis = AnalyseMatroska(data, size, 0);
    if (analysis.verdict == MatroskaVerdict::NotMatroska)
        return nullptr;
    if (analysis.verdict == MatroskaVerdict::Refused)
        return MakeRefusedFormat(ContainerKind::Matroska, analysis.refusal);
    return std::make_unique<MatroskaFormat>(std::move(analysis.head));
}

} // namespace veltrane
