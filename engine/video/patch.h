// The engine's edits as data: every change it makes is a same-length patch with what it means.
#pragma once

#include "video/sample_aspect.h"
#include "video/sequence_header.h"
#include "video/video_codec.h"

#include <array>
#include <cstdint>

namespace veltrane {

// Bytes at a file offset, as the file has them and as the run leaves them; never a change of length.
struct Patch {
    static constexpr std::uint8_t MAX_BYTES = 8;

    std::uint64_t offset = 0;
    std::uint8_t size = 0;
    std::array<std::uint8_t, MAX_BYTES> before{};
    std::array<std::uint8_t, MAX_BYTES> after{};
    // The bytes lie before the buffer the walk holds: already handed back, so a copy must write them
    // again where they are (a container's checksum at the start of an element, fixed at its end).
    bool behind = false;

    bool Changes() const {
        for (std::uint8_t i = 0; i < size; ++i) {
            if (before[i] != after[i])
                return true;
        }
        return false;
    }
};

// What kind of field declares the shape at a site.
enum class SiteKind : std::uint8_t {
    SequenceHeader, // an MPEG-1/2 sequence header's aspect code
    IfoAttribute,   // a DVD IFO's video attribute
    ContainerField, // a container's own display size or aspect field
    Sps,            // an H.264/HEVC sequence parameter set's sample aspect
};

// One place that declares a stream's shape: what it declares, what a run makes it declare, and the
// patches that do it (before == after where the run leaves it). Every kind but an SPS has one patch;
// an SPS's changed bytes may lie apart, in a multiplex even in different packets.
struct Site {
    static constexpr std::uint8_t MAX_PATCHES = 5;

    SiteKind kind = SiteKind::SequenceHeader;
    std::uint64_t offset = 0; // where the declaring structure starts: a header's start code, an SPS's
                              // NAL header
    DeclaredAspect declared = DeclaredAspect::Unknown;
    DeclaredAspect result = DeclaredAspect::Unknown;
    bool mpeg1 = false; // an MPEG-1 header, whose code is a pel aspect ratio
    Patch patch;        // the first patch, the only one of every kind but an SPS
    std::array<Patch, MAX_PATCHES - 1> more{};
    std::uint8_t moreCount = 0; // patches in `more`

    // An SPS's codec, its sample aspect as coded (idc 0 where it has none) and as the run leaves it,
    // and its picture size after cropping.
    VideoCodec codec = VideoCodec::Mpeg12;
    SampleAspect sar;
    SampleAspect sarAfter;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // An SPS met by a walk that only reports: why a run to each shape (by ConversionMode) would be
    // refused, and the bits it would take; None where the run could convert it or leave it.
    std::array<AspectRefusal, 2> refusalTo{};
    std::array<std::int16_t, 2> bitsTo{};

    bool Changes() const {
        for (std::uint8_t i = 0; i < moreCount; ++i) {
            if (more[i].Changes())
                return true;
        }
        return patch.Changes();
    }
    template <typename F> void ForEachPatch(F&& f) const {
        f(patch);
        for (std::uint8_t i = 0; i < moreCount; ++i)
            f(more[i]);
    }
};

// Told each site as the walk meets it, after its patch is applied in the buffer (or, behind it, for
// the caller to write), and each fix-up a format makes because a patch changed bytes it covers (a CD
// sector's EDC, a Matroska element's CRC-32).
class EditSink {
public:
    virtual void Found(const Site& site) = 0;
    virtual void FixedUp(const Patch& /*patch*/) {}
    // A video stream carries AFD codes: they describe the picture relative to the coded frame, so a
    // new shape may call for other ones.
    virtual void CarriesAfd() {}

protected:
    ~EditSink() = default;
};

} // namespace veltrane
