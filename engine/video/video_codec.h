// The video codecs a container can name for a stream.
#pragma once

#include <cstdint>

namespace veltrane {

enum class VideoCodec : std::uint8_t { Mpeg12, H264, Hevc };

} // namespace veltrane
