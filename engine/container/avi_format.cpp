// AVI in the format table: the video streams' frames searched by their codecs' scanners, and vprp's
// frame aspect set to the new shape.
#include "container/avi_walk.h"
#include "container/container_format.h"

#include <algorithm>
#include <map>
#include <memory>

namespace veltrane {

namespace {

using container::AspectSite;
using container::AviWalk;

class AviFormat final : public ContainerFormat, private container::PayloadEvents {
public:
    ContainerKind Kind() const override { return ContainerKind::Avi; }
    bool MayRefuse() const override { return true; }
    std::uint32_t Walk(WalkCore& core, std::uint8_t* data, std::uint32_t from, std::uint32_t size,
                       bool last) override {
        m_core = &core;
        if (!m_walk) {
            m_mode = core.Mode();
            // Without a mode the walk only reports: the sites it plans are not applied.
            m_walk = std::make_unique<AviWalk>(m_mode == ConversionMode::To4x3 ? DeclaredAspect::Ratio4x3
                                                                               : DeclaredAspect::Ratio16x9);
        }
        const std::uint32_t reached = m_walk->Walk(data, from, size, core.Base(), last, *this);
        if (m_walk->Refused())
            core.Refuse(m_walk->Refusal());
        return reached;
    }
    void ForEachStream(const std::function<void(CodecScanner&)>& f) override {
        for (auto& [stream, scanner] : m_scanners) {
            if (scanner)
                f(*scanner);
        }
    }

private:
    void VideoPayload(std::uint32_t track, std::uint8_t* piece, std::uint32_t size, std::uint64_t) override {
        if (CodecScanner* scanner = ScannerOf(track))
            scanner->Search(m_core->Buffer(), piece, size, m_core->Sink(), false);
    }
    void StreamBreak(std::uint32_t track) override {
        if (CodecScanner* scanner = ScannerOf(track))
            scanner->Forget();
    }
    void Site(const AspectSite& field) override {
        veltrane::Site site;
        site.kind = SiteKind::ContainerField;
        site.offset = field.offset;
        site.declared = field.declaredBefore;
        site.result = m_mode ? field.declaredAfter : field.declaredBefore;
        site.patch.offset = field.offset;
        site.patch.size = field.size;
        std::copy_n(field.before, field.size, site.patch.before.begin());
        std::copy_n(m_mode ? field.after : field.before, field.size, site.patch.after.begin());
        m_core->Apply(site);
    }
    CodecScanner* ScannerOf(std::uint32_t stream);

    WalkCore* m_core = nullptr;
    std::optional<ConversionMode> m_mode;
    std::unique_ptr<AviWalk> m_walk;
    std::map<std::uint32_t, std::unique_ptr<CodecScanner>> m_scanners; // by stream number; null: unsearched
};

CodecScanner* AviFormat::ScannerOf(std::uint32_t stream) {
    if (const auto known = m_scanners.find(stream); known != m_scanners.end())
        return known->second.get();
    std::unique_ptr<CodecScanner>& scanner = m_scanners[stream];
    for (const container::AviVideo& video : m_walk->Videos()) {
        if (video.stream != stream)
            continue;
        switch (video.codec) {
        case container::TrackCodec::Mpeg12: {
            auto search = std::make_unique<StreamSearch>();
            // A sequence header stored after the BITMAPINFOHEADER is followed by container bytes: the
            // stream's version comes from the codec tag where it names one.
            if (video.version != container::Mpeg12Version::Unknown)
                search->KnowVersion(video.version == container::Mpeg12Version::Mpeg1);
            scanner = std::move(search);
            break;
        }
        case container::TrackCodec::H264:
            scanner = MakeCodecScanner(VideoCodec::H264);
            break;
        case container::TrackCodec::Hevc:
            scanner = MakeCodecScanner(VideoCodec::Hevc);
            break;
        case container::TrackCodec::Other:
            break;
        }
    }
    return scanner.get();
}

} // namespace

std::unique_ptr<ContainerFormat> RecogniseAvi(const std::uint8_t* data, std::uint32_t size) {
    if (!container::LooksLikeAvi(data, size))
        return nullptr;
    return std::make_unique<AviFormat>();
}

} // namespace veltrane
