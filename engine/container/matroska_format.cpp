// Matroska and WebM in the format table: the head's display sizes set, the video tracks' frames
// searched by their codecs' scanners, every CRC-32 over a changed byte made right.
#include "container/container_format.h"
#include "container/matroska.h"
#include "video/length_nal_scanner.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace veltrane {

namespace {

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
        return m_walker->Walk(data, from, size, core.Base(), last, *this);
    }
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override {
        for (auto& [number, scanner] : m_scanners)
            f(*scanner);
    }
    void Patched(WalkCore& core, const Patch& patch, EditSink&) override {
        m_core = &core;
        if (m_walker)
            m_walker->NotePatched(patch.offset, patch.size, patch.before.data(), patch.after.data(), *this);
    }

private:
    bool Begin(WalkCore& core, std::uint8_t* data, std::uint32_t size);
    bool Grow(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target);
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
};

// The head lies in the first buffer-full: the display sizes are set there before a frame is walked.
bool MatroskaFormat::Begin(WalkCore& core, std::uint8_t* data, std::uint32_t size) {
    const std::optional<ConversionMode> mode = core.Mode();
    // A track without a display size grows one into the Void after Tracks first; the head is then
    // read again, since every offset behind the growth moved.
    if (mode) {
        for (const MatroskaVideoTrack& track : m_head.video) {
            if (!Grow(core, track, TargetOf(*mode)))
                return false;
        }
        const MatroskaAnalysis again = AnalyseMatroska(data, size, 0);
        if (again.verdict != MatroskaVerdict::Usable) {
            core.Refuse(again.verdict == MatroskaVerdict::Refused ? again.refusal
                                                                  : "Matroska head is damaged");
            return false;
        }
        m_head = again.head;
    }
    // The walker first: it keeps every CRC-32 right that the display sizes' patches change.
    m_walker = std::make_unique<MatroskaWalker>(m_head, 0);
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
    return true;
}

// Frames hold NAL units behind length fields, whose size only the CodecPrivate record tells; it lies
// in the head, and so in the first buffer-full.
bool MatroskaFormat::NalScanner(WalkCore& core, const MatroskaVideoTrack& track, const std::uint8_t* data,
                                std::uint32_t size, std::unique_ptr<CodecScanner>& scanner) {
    const VideoCodec codec = track.codec == ContainerCodec::Hevc ? VideoCodec::Hevc : VideoCodec::H264;
    const FileRange& record = track.codecPrivate;
    std::string failure = "the track has no CodecPrivate";
    if (record.size > 0 && record.offset + record.size <= size) {
        const std::uint8_t lengthSize =
            NalLengthSizeOf(codec, data + record.offset, static_cast<std::uint32_t>(record.size), failure);
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

bool MatroskaFormat::Grow(WalkCore& core, const MatroskaVideoTrack& track, DeclaredAspect target) {
    std::vector<ContainerSite> sites;
    const char* refusal = MatroskaDisplaySites(track, target, sites);
    if (*refusal == '\0')
        return true;
    // No display size, or one too small for the value: grown into a Void after Tracks, if any.
    MatroskaGrowth growth;
    if (*PlanMatroskaGrowth(core.Buffer().data, core.BufferSize(), m_head, track.number, target, growth) !=
        '\0') {
        core.Refuse(refusal);
        return false;
    }
    for (std::size_t at = 0; at < growth.after.size(); at += Patch::MAX_BYTES) {
        const auto length =
            static_cast<std::uint8_t>(std::min<std::size_t>(Patch::MAX_BYTES, growth.after.size() - at));
        const auto from = static_cast<std::ptrdiff_t>(at);
        if (!std::equal(growth.before.begin() + from, growth.before.begin() + from + length,
                        growth.after.begin() + from))
            core.ApplyFixUp(
                PatchOf(growth.offset + at, length, growth.before.data() + at, growth.after.data() + at));
    }
    return true;
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
        site.declared = field.declaredBefore;
        site.result = field.declaredAfter;
        site.patch = PatchOf(field.offset, field.size, field.before, field.after);
        core.Apply(site);
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
    site.patch.offset = track.displayWidth.offset;
    core.Apply(site);
}

void MatroskaFormat::VideoPayload(std::uint64_t track, std::uint8_t* piece, std::uint32_t size,
                                  std::uint64_t fileOffset) {
    const auto found = m_scanners.find(track);
    if (found == m_scanners.end())
        return;
    WalkBuffer& buffer = m_core->Buffer();
    if (const auto record = m_records.find(track);
        record != m_records.end() && fileOffset >= record->second.range.offset &&
        fileOffset < record->second.range.offset + record->second.range.size) {
        const NalRecord& nal = record->second;
        if (fileOffset != nal.range.offset || size != nal.range.size) {
            m_core->Refuse("Matroska CodecPrivate is cut by the buffer's edge");
            return;
        }
        if (const std::string failure = SearchConfigRecord(nal.codec, buffer, piece, size, m_core->Sink());
            !failure.empty() && m_core->Mode())
            m_core->Refuse("Matroska video track's codec configuration cannot be read: " + failure);
        return;
    }
    if (fileOffset >= buffer.base && piece == buffer.data + (fileOffset - buffer.base)) {
        found->second->Search(buffer, piece, size, m_core->Sink(), false);
        return;
    }
    // The stripped prefix, from the walker's own copy: a rewrite lands there for every frame to come,
    // and where the prefix's bytes are in the buffer too, there as well.
    const std::vector<std::uint8_t> before(piece, piece + size);
    WalkBuffer own;
    own.data = piece;
    own.base = fileOffset;
    found->second->Search(own, piece, size, m_core->Sink(), false);
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint64_t at = fileOffset + i;
        if (piece[i] != before[i] && at >= buffer.base && at - buffer.base < m_core->BufferSize())
            buffer.data[at - buffer.base] = piece[i];
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
