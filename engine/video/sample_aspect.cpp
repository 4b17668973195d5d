// Choosing the sample aspect that turns an H.264 or HEVC picture 4:3 or 16:9 without moving a bit.
#include "video/sample_aspect.h"

#include <cmath>
#include <numeric>

namespace veltrane {

namespace {

// Table E-1 of both standards, idc 1..16.
constexpr Ratio SAR_TABLE[17] = {{0, 0},   {1, 1},    {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                 {24, 11}, {20, 11},  {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                 {64, 33}, {160, 99}, {4, 3},   {3, 2},   {2, 1}};
constexpr double TOLERANCE = 0.03;

Ratio TargetShape(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? Ratio{16, 9} : Ratio{4, 3};
}

double Shape(Ratio sar, std::uint32_t width, std::uint32_t height) {
    if (sar.width == 0 || sar.height == 0 || width == 0 || height == 0)
        return 0;
    return static_cast<double>(sar.width) * width / (static_cast<double>(sar.height) * height);
}

double Distance(double shape, Ratio target) {
    return std::fabs(std::log(shape * target.height / target.width));
}

// The codes of the sizes broadcast and camcorders use, as their encoders write them: ITU-R BT.601's
// pixel for the standard-definition widths (so 480 wide takes 18:11, not the nearer 160:99), square
// or anamorphic HD for the others. The shape alone would pick differently for some of them.
struct KnownSize {
    std::uint32_t width;
    std::uint32_t height;
    std::uint8_t code4x3;
    std::uint8_t code16x9;
};
constexpr KnownSize KNOWN_SIZES[] = {
    {720, 576, 2, 4},    {704, 576, 2, 4},  {352, 288, 2, 4},  {720, 480, 3, 5},
    {704, 480, 3, 5},    {352, 240, 3, 5},  {528, 576, 4, 12}, {528, 480, 5, 13},
    {480, 576, 10, 6},   {480, 480, 11, 7}, {352, 576, 6, 8},  {352, 480, 7, 9},
    {1440, 1080, 1, 14}, {640, 480, 1, 14}, {960, 720, 1, 14}, {960, 1080, 15, 16},
};

// The table code for the target at this size: the known sizes' own, else the code whose shape is
// nearest the target, if one is within the tolerance.
std::optional<std::uint8_t> NearestTableCode(std::uint32_t width, std::uint32_t height, Ratio target) {
    for (const KnownSize& known : KNOWN_SIZES) {
        if (known.width == width && known.height == height)
            return target == Ratio{4, 3} ? known.code4x3 : known.code16x9;
    }
    std::optional<std::uint8_t> best;
    double bestDistance = std::log1p(TOLERANCE);
    for (std::uint8_t idc = 1; idc <= 16; ++idc) {
        const double distance = Distance(Shape(SAR_TABLE[idc], width, height), target);
        if (distance <= bestDistance) {
            best = idc;
            bestDistance = distance;
        }
    }
    return best;
}

// The exact SAR that makes the picture the target shape, reduced; empty if it needs more than 16 bits.
std::optional<Ratio> ExactSar(std::uint32_t width, std::uint32_t height, Ratio target) {
    std::uint64_t w = std::uint64_t{target.width} * height;
    std::uint64_t h = std::uint64_t{target.height} * width;
    const std::uint64_t divisor = std::gcd(w, h);
    if (divisor == 0)
        return std::nullopt;
    w /= divisor;
    h /= divisor;
    if (w > 0xFFFF || h > 0xFFFF)
        return std::nullopt;
    return Ratio{static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
}

SampleAspect Extended(Ratio sar) {
    return {EXTENDED_SAR, static_cast<std::uint16_t>(sar.width), static_cast<std::uint16_t>(sar.height)};
}

// The Extended_SAR value a source coded that way gets. A source that spells a table ratio in full
// (12:11 as 255) follows the table's convention, as a table code would; any other gets the exact one.
std::optional<SampleAspect> ExtendedTarget(Ratio source, std::uint32_t width, std::uint32_t height,
                                           Ratio target) {
    for (std::uint8_t idc = 1; idc <= 16; ++idc) {
        if (SAR_TABLE[idc].width * source.height == SAR_TABLE[idc].height * source.width) {
            if (const auto code = NearestTableCode(width, height, target))
                return Extended(SAR_TABLE[*code]);
            break;
        }
    }
    if (const auto exact = ExactSar(width, height, target))
        return Extended(*exact);
    return std::nullopt;
}

AspectPlan Refuse(AspectRefusal refusal, int bits, SampleAspect to) {
    return {AspectPlan::Kind::Refused, to, refusal, bits};
}

} // namespace

Ratio SarOf(const SampleAspect& aspect) {
    if (aspect.idc == EXTENDED_SAR) {
        if (aspect.sarWidth == 0 || aspect.sarHeight == 0)
            return {};
        return {aspect.sarWidth, aspect.sarHeight};
    }
    return aspect.idc <= 16 ? SAR_TABLE[aspect.idc] : Ratio{};
}

DeclaredAspect ClassifySampleAspect(Ratio sar, std::uint32_t width, std::uint32_t height) {
    const double shape = Shape(sar, width, height);
    if (shape <= 0)
        return DeclaredAspect::Unknown;
    if (Distance(shape, {4, 3}) <= std::log1p(TOLERANCE))
        return DeclaredAspect::Ratio4x3;
    if (Distance(shape, {16, 9}) <= std::log1p(TOLERANCE))
        return DeclaredAspect::Ratio16x9;
    return DeclaredAspect::Unknown;
}

AspectPlan PlanSampleAspect(VideoCodec codec, std::uint32_t width, std::uint32_t height, bool vuiPresent,
                            std::optional<SampleAspect> present, ConversionMode mode) {
    const Ratio target = TargetShape(mode);
    const DeclaredAspect wanted =
        mode == ConversionMode::To16x9 ? DeclaredAspect::Ratio16x9 : DeclaredAspect::Ratio4x3;
    const auto code = NearestTableCode(width, height, target);
    const auto exact = ExactSar(width, height, target);
    // What an encoder would write: a table code when one fits, else the exact ratio.
    const SampleAspect ideal = code ? SampleAspect{*code, 0, 0} : exact ? Extended(*exact) : SampleAspect{};
    const int idealBits = code ? 8 : 40;

    if (!vuiPresent || !present) {
        if (ClassifySampleAspect({1, 1}, width, height) == wanted)
            return {AspectPlan::Kind::Unchanged, {}, AspectRefusal::None, 0};
        // A VUI that says nothing costs its presence flags; H.264's has eight of them after the
        // aspect, HEVC's nine.
        const int vuiFlags = codec == VideoCodec::H264 ? 8 : 9;
        if (!vuiPresent)
            return Refuse(AspectRefusal::NoVui, 1 + idealBits + vuiFlags, ideal);
        return Refuse(AspectRefusal::NoAspectInfo, idealBits, ideal);
    }

    const DeclaredAspect shape = ClassifySampleAspect(SarOf(*present), width, height);
    if (shape == wanted)
        return {AspectPlan::Kind::Unchanged, *present, AspectRefusal::None, 0};
    if (shape == DeclaredAspect::Unknown)
        return {AspectPlan::Kind::OtherShape, *present, AspectRefusal::None, 0};

    if (present->idc == EXTENDED_SAR) {
        if (const auto to = ExtendedTarget(SarOf(*present), width, height, target))
            return {AspectPlan::Kind::Change, *to, AspectRefusal::None, 0};
        // No pair of 16-bit numbers is the target: only a table code could be, and it is shorter.
        return Refuse(AspectRefusal::NeedsAnotherCoding, -32, ideal);
    }
    if (code)
        return {AspectPlan::Kind::Change, {*code, 0, 0}, AspectRefusal::None, 0};
    return Refuse(AspectRefusal::NeedsAnotherCoding, exact ? 32 : 0, ideal);
}

std::string RefusalText(VideoCodec codec, const AspectPlan& plan, const std::string& detail) {
    std::string text;
    const auto bits = [&plan] {
        const int count = plan.bitsNeeded < 0 ? -plan.bitsNeeded : plan.bitsNeeded;
        return std::to_string(count) + (count == 1 ? " bit " : " bits ") +
               (plan.bitsNeeded < 0 ? "fewer" : "more");
    };
    switch (plan.refusal) {
    case AspectRefusal::None:
        return {};
    case AspectRefusal::NeedsAnotherCoding:
        text = plan.to.idc == EXTENDED_SAR || plan.bitsNeeded > 0
                   ? "the target needs another coding: no table code gives this shape at this size, and "
                     "Extended_SAR takes " +
                         bits()
                   : "the target needs another coding: Extended_SAR cannot hold it, and a table code "
                     "takes " +
                         bits();
        break;
    case AspectRefusal::NoAspectInfo:
        text = "the SPS has no aspect ratio info: declaring one takes " + bits();
        break;
    case AspectRefusal::NoVui:
        text = "the SPS has no VUI: declaring an aspect ratio takes " + bits();
        break;
    case AspectRefusal::EmulationPreventionWouldChange:
        text = plan.bitsNeeded == 0
                   ? std::string("emulation prevention would change: an emulation prevention byte would move")
                   : "emulation prevention would change: the rewritten SPS would take " + bits();
        break;
    case AspectRefusal::DamagedSps:
        return "damaged or unsupported SPS: " + detail;
    }
    const Ratio sar = SarOf(plan.to);
    if (sar.width != 0) {
        const char* filter = codec == VideoCodec::H264 ? "h264_metadata" : "hevc_metadata";
        text += "; a remux can write it: ffmpeg -i IN -map 0 -c copy -bsf:v " + std::string(filter) +
                "=sample_aspect_ratio=" + std::to_string(sar.width) + "/" + std::to_string(sar.height) +
                " OUT";
    }
    if (!detail.empty())
        text += " (" + detail + ")";
    return text;
}

} // namespace veltrane
