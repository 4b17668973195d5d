// What the MP4/MOV and AVI formats tell about a video track: its codec, its aspect fields as patches
// per target, and its payload handed piece by piece. Shared by both until the format table unifies it.
#pragma once

#include "video/codec_scanner.h"
#include "video/sequence_header.h"

#include <cstdint>
#include <memory>
#include <numeric>

namespace veltrane::container {

// The codec a container names for its video track; it decides which scanner searches the payload.
enum class TrackCodec { Mpeg12, H264, Hevc, Other };

// What the container itself says of an MPEG track's version, where it says anything: MP4's object
// type, a MOV or AVI codec tag. A sequence header in a configuration record is followed by container
// bytes, not by the stream, so the stream cannot always tell its own version there.
enum class Mpeg12Version { Unknown, Mpeg1, Mpeg2 };

// One of the container's own aspect fields, as a same-length patch for one target shape. `before`
// equals `after` (over `size` bytes) when the field already declares the target.
struct AspectSite {
    std::uint64_t offset = 0; // file offset of the field's first byte
    std::uint8_t size = 0;    // 1..8
    std::uint8_t before[8] = {};
    std::uint8_t after[8] = {};
    const char* what = ""; // the field, as a report names it: "pasp", "tkhd width", ...
    DeclaredAspect declaredBefore = DeclaredAspect::Unknown;
    DeclaredAspect declaredAfter = DeclaredAspect::Unknown;

    bool Changes() const {
        for (std::uint8_t i = 0; i < size; ++i)
            if (before[i] != after[i])
                return true;
        return false;
    }
};

// The scanner for a track's codec; null for a codec the engine has none for. An MPEG track whose
// container names its version gets a search that knows it.
inline std::unique_ptr<CodecScanner> ScannerFor(TrackCodec codec, Mpeg12Version version) {
    switch (codec) {
    case TrackCodec::Mpeg12:
        return MakeCodecScanner(VideoCodec::Mpeg12, version == Mpeg12Version::Unknown
                                                        ? std::nullopt
                                                        : std::optional(version == Mpeg12Version::Mpeg1));
    case TrackCodec::H264:
        return MakeCodecScanner(VideoCodec::H264);
    case TrackCodec::Hevc:
        return MakeCodecScanner(VideoCodec::Hevc);
    case TrackCodec::Other:
        break;
    }
    return nullptr;
}

// What a container's payload walk tells its caller.
class PayloadEvents {
public:
    // The next piece of the track's coded bytes, in stream order; `piece` lies in the caller's buffer
    // at file offset `fileOffset` and may be rewritten there.
    virtual void VideoPayload(std::uint32_t track, std::uint8_t* piece, std::uint32_t size,
                              std::uint64_t fileOffset) = 0;
    // What came before does not run on into what comes next (a configuration record and the samples).
    virtual void StreamBreak(std::uint32_t track) = 0;
    // A run of whole samples ends with the bytes handed so far.
    virtual void SamplesEnd(std::uint32_t /*track*/) {}
    // A container aspect field met during a streaming walk.
    virtual void Site(const AspectSite& /*site*/) {}

protected:
    ~PayloadEvents() = default;
};

// A display shape as the ratio of two small integers.
struct Ratio {
    std::uint64_t num = 0;
    std::uint64_t den = 1;
};

inline Ratio ShapeOf(DeclaredAspect shape) {
    return shape == DeclaredAspect::Ratio16x9 ? Ratio{16, 9} : Ratio{4, 3};
}

// The sample (pixel) aspect ratio that gives `width` x `height` pixels the display shape, reduced.
inline Ratio SampleAspectFor(DeclaredAspect shape, std::uint32_t width, std::uint32_t height) {
    const Ratio dar = ShapeOf(shape);
    Ratio sar{dar.num * height, dar.den * width};
    const std::uint64_t common = std::gcd(sar.num, sar.den);
    if (common > 1) {
        sar.num /= common;
        sar.den /= common;
    }
    return sar;
}

// A display aspect within 3 % of 4:3 or 16:9 is that shape, as the MPEG-1 rule judges one.
inline DeclaredAspect ClassifyShape(double displayAspect) {
    const auto near = [&](double shape) {
        return displayAspect > shape * 0.97 && displayAspect < shape * 1.03;
    };
    if (near(4.0 / 3.0))
        return DeclaredAspect::Ratio4x3;
    if (near(16.0 / 9.0))
        return DeclaredAspect::Ratio16x9;
    return DeclaredAspect::Unknown;
}

} // namespace veltrane::container
