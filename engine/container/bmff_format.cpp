// MP4 and MOV in the format table: the index read first through the file itself, the video track's
// samples and configuration searched by its codec's scanner, pasp, tkhd and tapt set to the new shape.
#include "container/bmff_index.h"
#include "container/container_format.h"
#include "video/length_nal_scanner.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace veltrane {

namespace {

using container::AspectSite;

class BmffFormat final : public ContainerFormat, private container::PayloadEvents {
public:
    ContainerKind Kind() const override { return ContainerKind::Mp4; }
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override;
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override {
        if (m_scanner)
            f(*m_scanner);
    }

private:
    bool Begin(WalkCore& core);
    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t offset) override;
    void SamplesEnd(std::uint32_t) override {
        if (m_scanner)
            m_scanner->SampleEnds(m_core->Sink());
    }
    void StreamBreak(std::uint32_t) override {
        if (m_scanner)
            m_scanner->Forget();
    }

    WalkCore* m_core = nullptr;
    bool m_begun = false;
    container::BmffIndex m_index;
    std::unique_ptr<container::ExtentWalk> m_extents;
    std::unique_ptr<CodecScanner> m_scanner;
    std::vector<veltrane::Site> m_pending; // the index's sites not yet reached, in file order
    // An H.264 / HEVC track's avcC or hvcC: read as a record, never as samples, and walked whole.
    std::optional<VideoCodec> m_nalCodec;
    std::vector<container::PayloadExtent> m_records;
};

// The index lies anywhere, the end of the file included: it is read before the first byte is walked,
// and its sites are patched as the walk reaches them.
bool BmffFormat::Begin(WalkCore& core) {
    m_begun = true;
    if (core.Source() == nullptr) {
        core.Refuse("MP4 needs a seekable file");
        return false;
    }
    m_index = container::IndexBmff(*core.Source());
    if (m_index.outcome == container::IndexOutcome::NotThisFormat) {
        // Box-like bytes at the start of something else: plain bytes, as any file no format takes.
        core.SwitchTo(MakeElementaryWalk());
        return false;
    }
    if (m_index.outcome == container::IndexOutcome::Refused) {
        core.Refuse(m_index.refusal);
        return false;
    }
    const std::optional<ConversionMode> mode = core.Mode();
    if (mode) {
        const DeclaredAspect target =
            *mode == ConversionMode::To16x9 ? DeclaredAspect::Ratio16x9 : DeclaredAspect::Ratio4x3;
        for (const AspectSite& field : m_index.SitesFor(target)) {
            veltrane::Site site;
            site.kind = SiteKind::ContainerField;
            site.offset = field.offset;
            site.declared = field.declaredBefore;
            site.result = field.declaredAfter;
            site.patch.offset = field.offset;
            site.patch.size = field.size;
            std::copy_n(field.before, field.size, site.patch.before.begin());
            std::copy_n(field.after, field.size, site.patch.after.begin());
            m_pending.push_back(site);
        }
        std::sort(m_pending.begin(), m_pending.end(),
                  [](const veltrane::Site& a, const veltrane::Site& b) { return a.offset > b.offset; });
    } else if (m_index.Declared() != DeclaredAspect::Unknown) {
        // Only reporting: what the container declares, told at once.
        veltrane::Site site;
        site.kind = SiteKind::ContainerField;
        site.offset = core.Base();
        site.declared = site.result = m_index.Declared();
        site.patch.offset = core.Base();
        core.Apply(site);
    }
    if (m_index.codec == container::TrackCodec::Mpeg12) {
        m_scanner = container::ScannerFor(m_index.codec, m_index.version);
    } else if (m_index.codec == container::TrackCodec::H264 || m_index.codec == container::TrackCodec::Hevc) {
        // Their samples hold NAL units behind length fields, not start codes.
        m_nalCodec = m_index.codec == container::TrackCodec::Hevc ? VideoCodec::Hevc : VideoCodec::H264;
        m_scanner = MakeCodecScanner(*m_nalCodec, NalLengthField{m_index.nalLengthSize});
        if (!m_scanner && mode) {
            core.Refuse("MP4 video track's codec configuration cannot be read: " + m_index.nalConfigFailure);
            return false;
        }
        for (const container::PayloadExtent& extent : m_index.extents) {
            if (!extent.config)
                continue;
            if (extent.size > core.HoldLimit()) {
                core.Refuse("MP4 video track's codec configuration is too large");
                return false;
            }
            m_records.push_back(extent);
        }
    }
    m_extents = std::make_unique<container::ExtentWalk>(m_index.extents, m_index.trackId);
    return true;
}

std::uint32_t BmffFormat::Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                               bool last) {
    m_core = &core;
    if (!m_begun && !Begin(core))
        return from;
    if (!m_extents)
        return size;
    const std::uint64_t base = core.Base();
    std::uint32_t stop = size;
    // Sites wholly in the buffer are patched; one the buffer's edge cuts waits for the next.
    while (!m_pending.empty() && m_pending.back().offset < base + size) {
        const veltrane::Site& site = m_pending.back();
        if (site.offset + site.patch.size > base + size && !last) {
            stop = static_cast<std::uint32_t>(site.offset - base);
            break;
        }
        core.Apply(site);
        m_pending.pop_back();
    }
    // A record is read whole: one the buffer's edge cuts comes at the front of the next.
    for (const container::PayloadExtent& record : m_records) {
        if (!last && record.offset >= base + from && record.offset < base + stop &&
            record.offset + record.size > base + size)
            stop = static_cast<std::uint32_t>(record.offset - base);
    }
    if (stop > from)
        m_extents->Walk(data + from, stop - from, base + from, *this);
    return std::max(stop, from);
}

void BmffFormat::VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t offset) {
    if (!m_scanner)
        return;
    const auto record =
        std::find_if(m_records.begin(), m_records.end(), [&](const container::PayloadExtent& e) {
            return offset >= e.offset && offset < e.offset + e.size;
        });
    if (record == m_records.end()) {
        m_scanner->Search(m_core->Buffer(), piece, size, m_core->Sink(), false);
        return;
    }
    if (record->offset != offset || record->size != size) {
        m_core->Refuse("MP4 video track's codec configuration is cut short");
        return;
    }
    if (const std::string failure =
            SearchConfigRecord(*m_nalCodec, m_core->Buffer(), piece, size, m_core->Sink());
        !failure.empty() && m_core->Mode())
        m_core->Refuse("MP4 video track's codec configuration cannot be read: " + failure);
}

} // namespace

std::unique_ptr<ContainerFormat> RecogniseBmff(const std::uint8_t* data, std::uint32_t size) {
    if (!container::LooksLikeBmff(data, size))
        return nullptr;
    return std::make_unique<BmffFormat>();
}

} // namespace veltrane
