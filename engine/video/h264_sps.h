// Reading an H.264 SPS: the picture's cropped size and the place and value of its sample aspect.
#pragma once

#include "video/sps_info.h"

namespace veltrane {

// `nal` is one whole NAL unit of type 7 (SPS) or 15 (subset SPS), header first, emulation prevention
// in place, as it lies in the stream without its start code; trailing zero bytes are allowed. Every
// field, VUI and HRD included, is read up to rbsp_stop_one_bit, which must come exactly where the
// fields end; otherwise the SPS is damaged or uses syntax this reader does not know, and the reading
// says so. A subset SPS is read as far as its seq_parameter_set_data, which holds the VUI.
SpsReading ReadH264Sps(std::span<const std::uint8_t> nal);

} // namespace veltrane
