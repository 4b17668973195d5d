// Reading an H.264 sequence parameter set (7.3.2.1.1 with its VUI, E.1.1) down to its stop bit.
#include "video/h264_sps.h"

#include "video/bit_reader.h"
#include "video/hevc_sps.h"

namespace veltrane {

namespace detail {

void ReadAspectInfo(BitReader& reader, SpsInfo& sps) {
    sps.aspectFlagBit = reader.Position();
    sps.aspectInfoPresent = reader.Flag();
    if (!sps.aspectInfoPresent)
        return;
    sps.idcBit = reader.Position();
    sps.aspect.idc = static_cast<std::uint8_t>(reader.Bits(8));
    if (sps.aspect.idc == EXTENDED_SAR) {
        sps.aspect.sarWidth = static_cast<std::uint16_t>(reader.Bits(16));
        sps.aspect.sarHeight = static_cast<std::uint16_t>(reader.Bits(16));
    }
}

std::string ApplyCropping(SpsInfo& sps, std::uint64_t width, std::uint64_t height, std::uint64_t left,
                          std::uint64_t right, std::uint64_t top, std::uint64_t bottom) {
    // Far beyond any level's limit, and small enough that no sum below can overflow.
    constexpr std::uint64_t LIMIT = 1u << 20;
    if (width == 0 || height == 0 || width > LIMIT || height > LIMIT)
        return "picture size " + std::to_string(width) + "x" + std::to_string(height) + " out of range";
    if (left + right >= width || top + bottom >= height)
        return "cropping leaves no picture";
    sps.width = static_cast<std::uint32_t>(width - left - right);
    sps.height = static_cast<std::uint32_t>(height - top - bottom);
    return {};
}

} // namespace detail

namespace {

using detail::ReadAspectInfo;

bool HasChromaFields(std::uint32_t profile) {
    switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

void ReadScalingList(BitReader& reader, unsigned size) {
    std::int32_t last = 8;
    std::int32_t next = 8;
    for (unsigned j = 0; j < size && !reader.Failed(); ++j) {
        if (next != 0) {
            const std::int32_t delta = reader.Se();
            // Out of range, it could overflow the sum below: the reading stops here.
            if (delta < -128 || delta > 127) {
                reader.Fail();
                return;
            }
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

void ReadHrd(BitReader& reader) {
    const std::uint32_t cpbCount = reader.Ue() + 1;
    if (cpbCount > 32) {
        reader.Fail();
        return;
    }
    reader.Skip(8); // bit_rate_scale, cpb_size_scale
    for (std::uint32_t i = 0; i < cpbCount && !reader.Failed(); ++i) {
        reader.Ue(); // bit_rate_value_minus1
        reader.Ue(); // cpb_size_value_minus1
        reader.Skip(1);
    }
    reader.Skip(20); // four delay and offset lengths
}

// E.1.1 after aspect_ratio_info.
void ReadVuiRest(BitReader& reader) {
    if (reader.Flag()) // overscan_info_present_flag
        reader.Skip(1);
    if (reader.Flag()) { // video_signal_type_present_flag
        reader.Skip(4);
        if (reader.Flag())
            reader.Skip(24);
    }
    if (reader.Flag()) { // chroma_loc_info_present_flag
        reader.Ue();
        reader.Ue();
    }
    if (reader.Flag()) // timing_info_present_flag
        reader.Skip(65);
    const bool nalHrd = reader.Flag();
    if (nalHrd)
        ReadHrd(reader);
    const bool vclHrd = reader.Flag();
    if (vclHrd)
        ReadHrd(reader);
    if (nalHrd || vclHrd)
        reader.Skip(1);  // low_delay_hrd_flag
    reader.Skip(1);      // pic_struct_present_flag
    if (reader.Flag()) { // bitstream_restriction_flag
        reader.Skip(1);
        for (int i = 0; i < 6; ++i)
            reader.Ue();
    }
}

// seq_parameter_set_data(); the reason it cannot be read, or empty.
std::string ReadSpsData(BitReader& reader, SpsInfo& sps) {
    const std::uint32_t profile = reader.Bits(8);
    reader.Skip(16); // constraint flags, level_idc
    sps.id = reader.Ue();
    if (sps.id > 31)
        return "seq_parameter_set_id " + std::to_string(sps.id) + " out of range";
    std::uint32_t chromaFormat = 1;
    bool separateColourPlanes = false;
    if (HasChromaFields(profile)) {
        chromaFormat = reader.Ue();
        if (chromaFormat > 3)
            return "chroma_format_idc out of range";
        if (chromaFormat == 3)
            separateColourPlanes = reader.Flag();
        if (reader.Ue() > 6 || reader.Ue() > 6)
            return "bit depth out of range";
        reader.Skip(1); // qpprime_y_zero_transform_bypass_flag
        if (reader.Flag()) {
            for (unsigned i = 0; i < (chromaFormat != 3 ? 8u : 12u) && !reader.Failed(); ++i) {
                if (reader.Flag())
                    ReadScalingList(reader, i < 6 ? 16 : 64);
            }
        }
    }
    if (reader.Ue() > 12)
        return "log2_max_frame_num_minus4 out of range";
    const std::uint32_t pocType = reader.Ue();
    if (pocType == 0) {
        if (reader.Ue() > 12)
            return "log2_max_pic_order_cnt_lsb_minus4 out of range";
    } else if (pocType == 1) {
        reader.Skip(1);
        reader.Se();
        reader.Se();
        const std::uint32_t cycle = reader.Ue();
        if (cycle > 255)
            return "num_ref_frames_in_pic_order_cnt_cycle out of range";
        for (std::uint32_t i = 0; i < cycle && !reader.Failed(); ++i)
            reader.Se();
    } else if (pocType > 2) {
        return "pic_order_cnt_type out of range";
    }
    reader.Ue();    // max_num_ref_frames
    reader.Skip(1); // gaps_in_frame_num_value_allowed_flag
    const std::uint64_t widthMbs = std::uint64_t{reader.Ue()} + 1;
    const std::uint64_t heightUnits = std::uint64_t{reader.Ue()} + 1;
    const bool frameMbsOnly = reader.Flag();
    if (!frameMbsOnly)
        reader.Skip(1); // mb_adaptive_frame_field_flag
    reader.Skip(1);     // direct_8x8_inference_flag
    std::uint64_t crop[4] = {0, 0, 0, 0};
    if (reader.Flag()) {
        for (auto& offset : crop)
            offset = reader.Ue();
    }
    sps.vuiFlagBit = reader.Position();
    sps.vuiPresent = reader.Flag();
    if (sps.vuiPresent) {
        ReadAspectInfo(reader, sps);
        ReadVuiRest(reader);
    }
    if (reader.Failed())
        return "the SPS ends inside its fields";

    const std::uint32_t arrayType = separateColourPlanes ? 0 : chromaFormat;
    const std::uint64_t fieldFactor = frameMbsOnly ? 1 : 2;
    const std::uint64_t unitX = arrayType == 0 ? 1 : arrayType == 3 ? 1 : 2;
    const std::uint64_t unitY = (arrayType == 1 ? 2 : 1) * fieldFactor;
    return detail::ApplyCropping(sps, widthMbs * 16, heightUnits * 16 * fieldFactor, crop[0] * unitX,
                                 crop[1] * unitX, crop[2] * unitY, crop[3] * unitY);
}

} // namespace

SpsReading ReadH264Sps(std::span<const std::uint8_t> nal) {
    if (nal.size() < 2)
        return SpsFailure("the SPS is cut short");
    const std::uint8_t type = nal[0] & 0x1F;
    if ((nal[0] & 0x80) != 0 || (type != 7 && type != 15))
        return SpsFailure("not an SPS NAL unit");
    SpsReading reading;
    reading.sps.codec = VideoCodec::H264;
    reading.sps.nalType = type;
    reading.rbsp = ExtractRbsp(nal, 1);
    BitReader reader(reading.rbsp.bytes);
    if (std::string reason = ReadSpsData(reader, reading.sps); !reason.empty())
        return SpsFailure(std::move(reason));
    reading.sps.endBit = reader.Position();
    // A subset SPS goes on with its SVC or MVC extension; its stop bit is past syntax read nowhere here.
    if (type == 7 && !reader.AtStopBit())
        return SpsFailure("rbsp_stop_one_bit is not at bit " + std::to_string(reader.Position()) +
                          ", where the SPS's fields end");
    reading.ok = true;
    return reading;
}

SpsReading ReadSps(VideoCodec codec, std::span<const std::uint8_t> nal) {
    return codec == VideoCodec::H264 ? ReadH264Sps(nal) : ReadHevcSps(nal);
}

} // namespace veltrane
