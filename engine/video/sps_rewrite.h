// Flipping the sample aspect of one H.264 or HEVC SPS in place: the bytes to change, or why not.
#pragma once

#include "video/conversion_mode.h"
#include "video/sps_info.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltrane {

struct ByteChange {
    std::uint32_t offset; // in the NAL unit as given, header first
    std::uint8_t before;
    std::uint8_t after;
    friend bool operator==(const ByteChange&, const ByteChange&) = default;
};

struct SpsRewrite {
    enum class Kind {
        Changed,    // `changes` turns the SPS into the target, nothing else about it moves
        Unchanged,  // already the target shape
        OtherShape, // declares neither shape: left alone, to be reported
        Refused,    // `reason` says why, in bits, and how a remux would do it
    };
    Kind kind = Kind::Refused;
    SpsInfo sps; // what was read, when the reading succeeded
    AspectPlan plan;
    std::vector<ByteChange> changes; // 1 to 5 bytes: an 8-bit code spans at most two, two 16-bit
                                     // values at most five
    std::string reason;
};

// `nal` is one whole SPS NAL unit as it lies in the stream (emulation prevention in place, no start
// code). The new bits are written into the RBSP and mapped back onto the NAL's own bytes; the result is
// taken only if a decoder reads exactly the new RBSP from them and no start code or needless
// emulation prevention byte appears, so the length and every other byte stay as they were.
SpsRewrite RewriteSpsAspect(VideoCodec codec, std::span<const std::uint8_t> nal, ConversionMode mode);

} // namespace veltrane
