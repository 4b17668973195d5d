// The Matroska, MP4/MOV and AVI readers on any bytes: every piece of payload, every aspect site and every
// fix-up they name lies inside the input, and none of them reads outside it.
#include "container/avi_walk.h"
#include "container/bmff_index.h"
#include "container/matroska.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace veltrane;

namespace {

std::uint64_t g_size = 0;

void Inside(const char* what, std::uint64_t offset, std::uint64_t size) {
    if (offset > g_size || size > g_size - offset)
        fuzz::Finding(what, offset);
}

class MatroskaCheck final : public MatroskaEvents {
public:
    explicit MatroskaCheck(const std::uint8_t* data) : m_data(data) {}
    void VideoPayload(std::uint64_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t offset) override {
        Inside("a Matroska piece outside the file", offset, size);
        // A piece from the buffer is the buffer's bytes at its offset; the stripped prefix is the walker's.
        if (piece >= m_data && piece < m_data + g_size && piece != m_data + offset)
            fuzz::Finding("a Matroska piece handed from another place than its offset", offset);
    }
    void FixUp(const ContainerPatch& patch) override {
        Inside("a CRC-32 outside the file", patch.offset, patch.size);
    }
    void Damaged(const char*) override {}

private:
    const std::uint8_t* m_data;
};

class PayloadCheck final : public container::PayloadEvents {
public:
    void VideoPayload(std::uint32_t, std::uint8_t*, std::uint32_t size, std::uint64_t offset) override {
        Inside("a payload piece outside the file", offset, size);
    }
    void StreamBreak(std::uint32_t) override {}
    void Site(const container::AspectSite& site) override {
        Inside("an aspect site outside the file", site.offset, site.size);
    }
};

class Memory final : public container::ByteSource {
public:
    Memory(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) const override {
        if (offset > m_size || size > m_size - offset)
            return false;
        std::memcpy(data, m_data + offset, size);
        return true;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy, so that a read past the input's end is one past a heap block of its size.
    std::vector<std::uint8_t> bytes(data, data + size);
    g_size = size;
    const auto size32 = static_cast<std::uint32_t>(std::min<std::size_t>(size, 655360));

    const MatroskaAnalysis mkv = AnalyseMatroska(bytes.data(), size32, size);
    if (mkv.verdict == MatroskaVerdict::Usable) {
        for (const MatroskaVideoTrack& track : mkv.head.video) {
            Inside("a CodecPrivate outside the file", track.codecPrivate.offset, track.codecPrivate.size);
            std::vector<ContainerSite> sites;
            for (const DeclaredAspect target : {DeclaredAspect::Ratio4x3, DeclaredAspect::Ratio16x9}) {
                sites.clear();
                MatroskaDisplaySites(track, target, sites);
                for (const ContainerSite& site : sites)
                    Inside("a display size outside the file", site.offset, site.size);
            }
        }
        MatroskaCheck check(bytes.data());
        MatroskaWalker walker(mkv.head, size);
        walker.Walk(bytes.data(), 0, static_cast<std::uint32_t>(size), 0, true, check);
    }

    const container::BmffIndex index = container::IndexBmff(Memory(bytes.data(), size));
    if (index.outcome == container::IndexOutcome::Indexed) {
        for (const container::PayloadExtent& extent : index.extents)
            Inside("a sample outside the file", extent.offset, extent.size);
        for (const container::AspectSite& site : index.SitesFor(DeclaredAspect::Ratio16x9))
            Inside("an MP4 site outside the file", site.offset, site.size);
        PayloadCheck check;
        container::ExtentWalk(index.extents, index.trackId)
            .Walk(bytes.data(), static_cast<std::uint32_t>(size), 0, check);
    }

    if (container::LooksLikeAvi(bytes.data(), size32)) {
        PayloadCheck check;
        container::AviWalk walk(DeclaredAspect::Ratio16x9);
        walk.Walk(bytes.data(), 0, static_cast<std::uint32_t>(size), 0, true, check);
    }
    return 0;
}
