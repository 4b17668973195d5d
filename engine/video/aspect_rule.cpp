// The aspect code rules of MPEG-2 (display aspect) and MPEG-1 (pel aspect ratio).
#include "video/aspect_rule.h"

#include <cmath>

namespace veltrane {

namespace {

// ISO/IEC 11172-2 table 2-D.4: pel height over width for codes 1..14.
constexpr double PEL_RATIO[15] = {0,      1.0000, 0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                  0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015};
constexpr double RATIO_4X3 = 4.0 / 3.0;
constexpr double RATIO_16X9 = 16.0 / 9.0;
constexpr double TOLERANCE = 0.03;

// The picture's display shape under `code`, or 0 when the code or the size says nothing.
double Shape(int code, std::uint32_t width, std::uint32_t height) {
    if (code < 1 || code > 14 || width == 0 || height == 0)
        return 0;
    return static_cast<double>(width) / static_cast<double>(height) / PEL_RATIO[code];
}

bool Near(double shape, double target) {
    return shape > 0 && std::fabs(shape / target - 1.0) <= TOLERANCE;
}

} // namespace

DeclaredAspect ClassifyMpeg1Aspect(std::uint8_t b, std::uint32_t width, std::uint32_t height) {
    const double shape = Shape(b >> 4, width, height);
    if (Near(shape, RATIO_4X3))
        return DeclaredAspect::Ratio4x3;
    if (Near(shape, RATIO_16X9))
        return DeclaredAspect::Ratio16x9;
    return DeclaredAspect::Unknown;
}

std::uint8_t RewriteMpeg1Aspect(std::uint8_t b, std::uint32_t width, std::uint32_t height,
                                ConversionMode mode) {
    const bool to16x9 = mode == ConversionMode::To16x9;
    const DeclaredAspect from = to16x9 ? DeclaredAspect::Ratio4x3 : DeclaredAspect::Ratio16x9;
    if (ClassifyMpeg1Aspect(b, width, height) != from)
        return b;
    const double target = to16x9 ? RATIO_16X9 : RATIO_4X3;
    int best = b >> 4;
    double bestDistance = INFINITY;
    for (int code = 1; code <= 14; ++code) {
        // Nearest as a ratio: 5 % too wide and 5 % too narrow are equally far.
        const double distance = std::fabs(std::log(Shape(code, width, height) / target));
        if (distance < bestDistance) {
            best = code;
            bestDistance = distance;
        }
    }
    return static_cast<std::uint8_t>((best << 4) | (b & 0x0F));
}

namespace {

std::uint32_t Width(const FoundHeader& header) {
    return (static_cast<std::uint32_t>(header.sizes[0]) << 4) | (header.sizes[1] >> 4);
}

std::uint32_t Height(const FoundHeader& header) {
    return (static_cast<std::uint32_t>(header.sizes[1] & 0x0F) << 8) | header.sizes[2];
}

} // namespace

DeclaredAspect ClassifyHeader(const FoundHeader& header) {
    return header.mpeg1 ? ClassifyMpeg1Aspect(*header.aspect, Width(header), Height(header))
                        : ClassifyAspectByte(*header.aspect);
}

std::uint8_t RewriteHeader(const FoundHeader& header, ConversionMode mode) {
    return header.mpeg1 ? RewriteMpeg1Aspect(*header.aspect, Width(header), Height(header), mode)
                        : RewriteAspectByte(*header.aspect, mode);
}

} // namespace veltrane
