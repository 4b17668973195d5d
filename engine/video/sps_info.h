// What the H.264 and HEVC SPS readers find: the picture's size, its declared aspect, and where that lies.
#pragma once

#include "video/nal_rbsp.h"
#include "video/sample_aspect.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace veltrane {

class BitReader;

// Bit offsets count from the first bit of the RBSP (after the NAL header), emulation prevention removed.
struct SpsInfo {
    VideoCodec codec = VideoCodec::H264;
    std::uint8_t nalType = 0;
    std::uint32_t id = 0;
    std::uint32_t width = 0; // after cropping (H.264 frame cropping, HEVC conformance window)
    std::uint32_t height = 0;
    bool vuiPresent = false;
    bool aspectInfoPresent = false;
    SampleAspect aspect; // as coded, when aspectInfoPresent
    std::size_t vuiFlagBit = 0;
    std::size_t aspectFlagBit = 0; // when vuiPresent
    std::size_t idcBit = 0;        // when aspectInfoPresent; sar_width follows at idcBit + 8
    std::size_t endBit = 0;        // where the parse ended: the stop bit, or for a subset SPS the
                                   // end of its seq_parameter_set_data
};

// A reading either holds the SPS and its RBSP, or says why it has none.
struct SpsReading {
    bool ok = false;
    SpsInfo sps;
    Rbsp rbsp;
    std::string failure;
};

// A reading that stopped, saying why.
inline SpsReading SpsFailure(std::string reason) {
    SpsReading reading;
    reading.failure = std::move(reason);
    return reading;
}

// Takes one whole NAL unit, header first, emulation prevention in place, as it lies in the stream
// (without the start code; trailing zero bytes are allowed): ReadH264Sps or ReadHevcSps.
SpsReading ReadSps(VideoCodec codec, std::span<const std::uint8_t> nal);

namespace detail {
// The two VUIs' common start. Reads aspect_ratio_info and records where it lies.
void ReadAspectInfo(BitReader& reader, SpsInfo& sps);
// Reads the cropping of a picture and checks what is left; empty on success, else the reason.
std::string ApplyCropping(SpsInfo& sps, std::uint64_t width, std::uint64_t height, std::uint64_t left,
                          std::uint64_t right, std::uint64_t top, std::uint64_t bottom);
} // namespace detail

} // namespace veltrane
