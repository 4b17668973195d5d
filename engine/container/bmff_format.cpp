// MP4 and MOV in the format table: the index read first through the file itself, the video track's
// samples and configuration searched by its codec's scanner, pasp, tkhd and tapt set to the new shape.
#include "container/bmff_index.h"
#include "container/container_format.h"

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
    void VideoPayload(std::uint32_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t) override {
        if (m_scanner)
            m_scanner->Search(m_core->Buffer(), piece, size, m_core->Sink(), false);
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
    // H.264 and HEVC samples hold NAL units behind length fields, not start codes, which the codec
    // table's scanners would misread (a length of 0x167 reads as a start code and an SPS header): they
    // are left unsearched until a scanner for length-prefixed NAL units exists.
    if (m_index.codec == container::TrackCodec::Mpeg12)
        m_scanner = container::ScannerFor(m_index.codec, m_index.version);
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
    if (stop > from)
        m_extents->Walk(data + from, stop - from, base + from, *this);
    return std::max(stop, from);
}

} // namespace

std::unique_ptr<ContainerFormat> RecogniseBmff(const std::uint8_t* data, std::uint32_t size) {
    if (!container::LooksLikeBmff(data, size))
        return nullptr;
    return std::make_unique<BmffFormat>();
}

} // namespace veltrane
