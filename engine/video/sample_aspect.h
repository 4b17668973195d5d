// The sample aspect ratio of H.264 and HEVC: what an SPS declares, what shape that gives, what a flip writes.
#pragma once

#include "video/video_codec.h"

#include "video/conversion_mode.h"
#include "video/sequence_header.h"

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {



// aspect_ratio_idc as coded; sar_width/sar_height only mean something with EXTENDED_SAR.
struct SampleAspect {
    std::uint8_t idc = 0;
    std::uint16_t sarWidth = 0;
    std::uint16_t sarHeight = 0;
    friend bool operator==(const SampleAspect&, const SampleAspect&) = default;
};

inline constexpr std::uint8_t EXTENDED_SAR = 255;

struct Ratio {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const Ratio&, const Ratio&) = default;
};

// The ratio an SPS's aspect stands for: the table's entry for idc 1..16, the coded pair for
// Extended_SAR; 0:0 for "unspecified" (idc 0, a zero in the pair) and for reserved codes.
Ratio SarOf(const SampleAspect& aspect);

// The display shape is SAR x cropped width / height; within 3 % of 4:3 or 16:9 it is that shape.
DeclaredAspect ClassifySampleAspect(Ratio sar, std::uint32_t width, std::uint32_t height);

enum class AspectRefusal {
    None,
    NeedsAnotherCoding, // the target has no table code, or the source's coding cannot hold it
    NoAspectInfo,       // the VUI is there, aspect_ratio_info_present_flag is 0
    NoVui,              // vui_parameters_present_flag is 0
    EmulationPreventionWouldChange,
    DamagedSps,
};

struct AspectPlan {
    enum class Kind {
        Change,     // write `to` in place of what is there, in the same number of bits
        Unchanged,  // already the target shape
        OtherShape, // declares neither 4:3 nor 16:9 (or says nothing usable): left alone and reported
        Refused,    // the target needs bits the SPS does not have
    };
    Kind kind = Kind::Refused;
    SampleAspect to; // Change: the new aspect; Refused: what a remux would write
    AspectRefusal refusal = AspectRefusal::None;
    int bitsNeeded = 0; // Refused: how much the SPS would grow (or shrink, below 0)
};

// What a flip of one SPS of `width` x `height` (cropped) makes of its aspect. `present` is empty when
// the SPS has no aspect info; players then show square pixels, which may already be the target.
// The source's convention is kept: a table code becomes a table code, Extended_SAR stays Extended_SAR.
AspectPlan PlanSampleAspect(VideoCodec codec, std::uint32_t width, std::uint32_t height, bool vuiPresent,
                            std::optional<SampleAspect> present, ConversionMode mode);

// The user's text for a refusal: why, how many bits the change would need, and the remux that would do
// it instead. `detail` adds what a damaged SPS's parse found.
std::string RefusalText(VideoCodec codec, const AspectPlan& plan, const std::string& detail = {});

} // namespace veltrane
