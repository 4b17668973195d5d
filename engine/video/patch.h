// The engine's edits as data: every change it makes is a same-length patch with what it means.
#pragma once

#include "video/sequence_header.h"

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
// patch that does it (before == after where the run leaves it).
struct Site {
    SiteKind kind = SiteKind::SequenceHeader;
    std::uint64_t offset = 0; // where the declaring structure starts: a header's start code
    DeclaredAspect declared = DeclaredAspect::Unknown;
    DeclaredAspect result = DeclaredAspect::Unknown;
    bool mpeg1 = false; // an MPEG-1 header, whose code is a pel aspect ratio
    Patch patch;
};

// Told each site as the walk meets it, after its patch is applied in the buffer (or, behind it, for
// the caller to write), and each fix-up a format makes because a patch changed bytes it covers (a CD
// sector's EDC, a Matroska element's CRC-32).
class EditSink {
public:
    virtual void Found(const Site& site) = 0;
    virtual void FixedUp(const Patch& /*patch*/) {}

protected:
    ~EditSink() = default;
};

} // namespace veltrane
