// Reading an HEVC SPS: the picture's cropped size and the place and value of its sample aspect.
#pragma once

#include "video/sps_info.h"

namespace veltrane {

// `nal` is one whole NAL unit of type 33, as for ReadH264Sps. Read through profile_tier_level,
// scaling_list_data, every st_ref_pic_set (inter-RPS prediction included), long-term pictures, the VUI
// with its HRD and the SPS extensions, to rbsp_stop_one_bit. An SPS of a layer above the base
// (nuh_layer_id > 0) takes its size from the VPS and is refused as unsupported.
SpsReading ReadHevcSps(std::span<const std::uint8_t> nal);

} // namespace veltrane
