// Reads an MP4 / MOV file's index (moov, and moof for fragments) to learn where its video track's
// samples and configuration lie and which of its boxes declare the picture's shape.
#pragma once

#include "container/bmff_common.h"
#include "io/file_io.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veltrane::container {

// The first buffer-full of a file starts with a box an ISO base media or QuickTime file starts with.
bool LooksLikeBmff(const std::uint8_t* data, std::uint32_t size);

// Random reads of the whole file, so that the index can be read from a file or from memory alike.
class ByteSource {
public:
    virtual std::uint64_t Size() const = 0;
    virtual bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) const = 0;

protected:
    ~ByteSource() = default;
};

// A run of the track's bytes in the file: samples, merged where they touch, or a configuration record.
struct PayloadExtent {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool config = false;
};

enum class IndexOutcome {
    Indexed,       // the extents and sites below are the file's
    NotThisFormat, // no box structure at the start: the file is something else
    Refused,       // an MP4 / MOV file this program must not convert; `refusal` says why
};

// A 32-bit field of a box, where the file has it.
struct BoxField {
    std::uint64_t offset = 0;
    std::uint32_t value = 0;
};

struct BmffIndex {
    IndexOutcome outcome = IndexOutcome::NotThisFormat;
    std::string refusal; // the text the user reads

    std::uint32_t trackId = 0;
    TrackCodec codec = TrackCodec::Other;
    Mpeg12Version version = Mpeg12Version::Unknown;
    // H.264 / HEVC: the size of the length before each NAL unit, 0 when the record does not say
    // (`nalConfigFailure` tells why).
    std::uint8_t nalLengthSize = 0;
    std::string nalConfigFailure;
    std::uint32_t width = 0; // the sample entry's pixel size
    std::uint32_t height = 0;
    std::vector<PayloadExtent> extents; // samples and configuration, sorted by offset, never overlapping
    bool fragmented = false;            // samples came from moof boxes too
    bool matrixNotIdentity = false;     // tkhd turns or scales the picture: players may show it otherwise

    // The aspect fields found (pasp's vSpacing follows its hSpacing).
    std::optional<BoxField> paspH, paspV;
    std::optional<BoxField> tkhdWidth, tkhdHeight;
    std::optional<BoxField> clefWidth, clefHeight, profWidth, profHeight;

    // Without pasp nothing in the container states a sample aspect: the stream's own governs.
    bool StreamGoverns() const { return !paspH.has_value(); }
    // The container's patches that make it declare `target` (only 4:3 or 16:9) for this picture size.
    std::vector<AspectSite> SitesFor(DeclaredAspect target) const;
    // What the container declares now, from pasp or else tkhd / tapt; Unknown when nothing does.
    DeclaredAspect Declared() const;
};

// Bounded reads of the structure: every size is checked against its parent and the file's size.
BmffIndex IndexBmff(const ByteSource& source);
// A pipe or FIFO has no index to read ahead of the data: refused with "MP4 needs a seekable file".
BmffIndex IndexBmff(const io::File& file);

// Hands the bytes of each pump buffer that fall inside the index's extents, in file order.
class ExtentWalk {
public:
    ExtentWalk(std::span<const PayloadExtent> extents, std::uint32_t track)
        : m_extents(extents), m_track(track) {}

    // data[0..size) lies at file offset `base`; every byte is taken, so it returns `size`. A sample
    // cut by the buffer's edge comes in two pieces; configuration records come between stream breaks.
    std::uint32_t Walk(std::uint8_t* data, std::uint32_t size, std::uint64_t base, PayloadEvents& events);

private:
    std::span<const PayloadExtent> m_extents;
    std::uint32_t m_track;
    bool m_handed = false;   // a piece went out already
    bool m_inConfig = false; // and it was a configuration record's
};

} // namespace veltrane::container
