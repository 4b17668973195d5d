// What a header's aspect code means and what a run makes of it, for MPEG-2 and MPEG-1 alike.
#pragma once

#include "video/conversion_mode.h"
#include "video/sequence_header.h"
#include "video/stream_search.h"

#include <cstdint>

namespace veltrane {

// MPEG-1's aspect code is a pel aspect ratio (height over width of one picture element), so the
// picture's shape is (horizontal_size / vertical_size) / ratio. A header counts as 4:3 or 16:9 when
// that shape is within 3 % of it; anything else, or a code outside 1..14, is unknown.
DeclaredAspect ClassifyMpeg1Aspect(std::uint8_t b, std::uint32_t width, std::uint32_t height);
// A header of the shape the run turns away from gets the code whose shape, at its own size, is
// nearest the target; every other header keeps its byte. The frame rate nibble is never touched.
std::uint8_t RewriteMpeg1Aspect(std::uint8_t b, std::uint32_t width, std::uint32_t height,
                                ConversionMode mode);

// The rules above for an MPEG-1 stream's header, RewriteAspectByte/ClassifyAspectByte for MPEG-2's.
DeclaredAspect ClassifyHeader(const FoundHeader& header);
std::uint8_t RewriteHeader(const FoundHeader& header, ConversionMode mode);

} // namespace veltrane
