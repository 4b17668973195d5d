// Reading an HEVC sequence parameter set (7.3.2.2.1 with its VUI, E.2.1) down to its stop bit.
#include "video/hevc_sps.h"

#include "video/bit_reader.h"

#include <algorithm>
#include <array>
#include <vector>

namespace veltrane {

namespace {

constexpr unsigned MAX_SUB_LAYERS = 7;
// No reference picture set may hold more pictures than the largest decoded picture buffer.
constexpr std::size_t MAX_DELTA_POCS = 16;

void ReadProfileTierLevel(BitReader& reader, unsigned maxSubLayersMinus1) {
    reader.Skip(96); // general profile, tier, compatibility and constraint flags, level
    bool profilePresent[MAX_SUB_LAYERS] = {};
    bool levelPresent[MAX_SUB_LAYERS] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = reader.Flag();
        levelPresent[i] = reader.Flag();
    }
    if (maxSubLayersMinus1 > 0)
        reader.Skip(2 * (8 - maxSubLayersMinus1)); // reserved_zero_2bits
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i])
            reader.Skip(88);
        if (levelPresent[i])
            reader.Skip(8);
    }
}

void ReadScalingListData(BitReader& reader) {
    for (unsigned sizeId = 0; sizeId < 4; ++sizeId) {
        for (unsigned matrixId = 0; matrixId < 6 && !reader.Failed(); matrixId += sizeId == 3 ? 3 : 1) {
            if (!reader.Flag()) {
                if (reader.Ue() > (sizeId == 3 ? matrixId / 3 : matrixId))
                    reader.Fail(); // scaling_list_pred_matrix_id_delta points before the first matrix
                continue;
            }
            const unsigned coefficients = std::min(64u, 1u << (4 + (sizeId << 1)));
            if (sizeId > 1) {
                const std::int32_t dc = reader.Se();
                if (dc < -7 || dc > 247)
                    reader.Fail();
            }
            for (unsigned i = 0; i < coefficients && !reader.Failed(); ++i) {
                const std::int32_t delta = reader.Se();
                if (delta < -128 || delta > 127)
                    reader.Fail();
            }
        }
    }
}

// The pictures of one short-term reference picture set, as later sets predict from them.
struct RefPicSet {
    std::vector<std::int32_t> negative; // DeltaPocS0, nearest first
    std::vector<std::int32_t> positive; // DeltaPocS1
    std::size_t Count() const { return negative.size() + positive.size(); }
};

// st_ref_pic_set(index) as the SPS holds it (7.3.7); the derivation of an inter-predicted set
// (7-61, 7-62) decides how many flags the next sets read. The reason it fails, or empty.
std::string ReadRefPicSet(BitReader& reader, std::vector<RefPicSet>& sets) {
    const std::size_t index = sets.size();
    RefPicSet set;
    if (index != 0 && reader.Flag()) {          // inter_ref_pic_set_prediction_flag
        const RefPicSet& ref = sets[index - 1]; // delta_idx_minus1 is only coded in a slice header
        const bool negativeSign = reader.Flag();
        const std::uint32_t absDelta = reader.Ue() + 1;
        if (absDelta > (1u << 15))
            return "abs_delta_rps_minus1 out of range";
        const std::int32_t deltaRps =
            negativeSign ? -static_cast<std::int32_t>(absDelta) : static_cast<std::int32_t>(absDelta);
        std::array<bool, MAX_DELTA_POCS + 1> use{};
        for (std::size_t j = 0; j <= ref.Count(); ++j) {
            const bool used = reader.Flag();
            use[j] = used || reader.Flag();
        }
        const std::size_t negatives = ref.negative.size();
        for (std::size_t j = ref.positive.size(); j-- > 0;) {
            const std::int32_t poc = ref.positive[j] + deltaRps;
            if (poc < 0 && use[negatives + j])
                set.negative.push_back(poc);
        }
        if (deltaRps < 0 && use[ref.Count()])
            set.negative.push_back(deltaRps);
        for (std::size_t j = 0; j < negatives; ++j) {
            const std::int32_t poc = ref.negative[j] + deltaRps;
            if (poc < 0 && use[j])
                set.negative.push_back(poc);
        }
        for (std::size_t j = negatives; j-- > 0;) {
            const std::int32_t poc = ref.negative[j] + deltaRps;
            if (poc > 0 && use[j])
                set.positive.push_back(poc);
        }
        if (deltaRps > 0 && use[ref.Count()])
            set.positive.push_back(deltaRps);
        for (std::size_t j = 0; j < ref.positive.size(); ++j) {
            const std::int32_t poc = ref.positive[j] + deltaRps;
            if (poc > 0 && use[negatives + j])
                set.positive.push_back(poc);
        }
    } else {
        const std::uint32_t negatives = reader.Ue();
        const std::uint32_t positives = reader.Ue();
        if (negatives > MAX_DELTA_POCS || positives > MAX_DELTA_POCS - negatives)
            return "a reference picture set holds more than 16 pictures";
        std::int32_t poc = 0;
        for (std::uint32_t i = 0; i < negatives && !reader.Failed(); ++i) {
            poc -= static_cast<std::int32_t>(std::min<std::uint32_t>(reader.Ue(), 1u << 15)) + 1;
            reader.Skip(1); // used_by_curr_pic_s0_flag
            set.negative.push_back(poc);
        }
        poc = 0;
        for (std::uint32_t i = 0; i < positives && !reader.Failed(); ++i) {
            poc += static_cast<std::int32_t>(std::min<std::uint32_t>(reader.Ue(), 1u << 15)) + 1;
            reader.Skip(1);
            set.positive.push_back(poc);
        }
    }
    if (set.Count() > MAX_DELTA_POCS)
        return "a reference picture set holds more than 16 pictures";
    sets.push_back(std::move(set));
    return {};
}

void ReadSubLayerHrd(BitReader& reader, std::uint32_t cpbCount, bool subPicParams) {
    for (std::uint32_t i = 0; i < cpbCount && !reader.Failed(); ++i) {
        reader.Ue(); // bit_rate_value_minus1
        reader.Ue(); // cpb_size_value_minus1
        if (subPicParams) {
            reader.Ue();
            reader.Ue();
        }
        reader.Skip(1); // cbr_flag
    }
}

// hrd_parameters(1, maxSubLayersMinus1) (E.2.2).
void ReadHrd(BitReader& reader, unsigned maxSubLayersMinus1) {
    const bool nalHrd = reader.Flag();
    const bool vclHrd = reader.Flag();
    bool subPicParams = false;
    if (nalHrd || vclHrd) {
        subPicParams = reader.Flag();
        if (subPicParams)
            reader.Skip(19); // tick_divisor_minus2 and three lengths and a flag
        reader.Skip(8);      // bit_rate_scale, cpb_size_scale
        if (subPicParams)
            reader.Skip(4); // cpb_size_du_scale
        reader.Skip(15);    // three delay lengths
    }
    for (unsigned i = 0; i <= maxSubLayersMinus1 && !reader.Failed(); ++i) {
        const bool fixedGeneral = reader.Flag();
        const bool fixedWithinCvs = fixedGeneral || reader.Flag();
        bool lowDelay = false;
        if (fixedWithinCvs)
            reader.Ue(); // elemental_duration_in_tc_minus1
        else
            lowDelay = reader.Flag();
        std::uint32_t cpbCount = 1;
        if (!lowDelay) {
            cpbCount = reader.Ue() + 1;
            if (cpbCount > 32) {
                reader.Fail();
                return;
            }
        }
        if (nalHrd)
            ReadSubLayerHrd(reader, cpbCount, subPicParams);
        if (vclHrd)
            ReadSubLayerHrd(reader, cpbCount, subPicParams);
    }
}

// E.2.1 after aspect_ratio_info.
void ReadVuiRest(BitReader& reader, unsigned maxSubLayersMinus1) {
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
    reader.Skip(3);      // neutral_chroma_indication, field_seq, frame_field_info_present
    if (reader.Flag()) { // default_display_window_flag
        for (int i = 0; i < 4; ++i)
            reader.Ue();
    }
    if (reader.Flag()) { // vui_timing_info_present_flag
        reader.Skip(64);
        if (reader.Flag())
            reader.Ue(); // vui_num_ticks_poc_diff_one_minus1
        if (reader.Flag())
            ReadHrd(reader, maxSubLayersMinus1);
    }
    if (reader.Flag()) { // bitstream_restriction_flag
        reader.Skip(3);
        for (int i = 0; i < 5; ++i)
            reader.Ue();
    }
}

void Read3dExtension(BitReader& reader) {
    reader.Skip(2); // iv_di_mc_enabled_flag, iv_mv_scal_enabled_flag
    reader.Ue();    // log2_ivmc_sub_pb_size_minus3
    reader.Skip(4); // iv_res_pred, depth_ref, vsp_mc, dbbp
    reader.Skip(3); // iv_di_mc, iv_mv_scal, tex_mc
    reader.Ue();    // log2_texmc_sub_pb_size_minus3
    reader.Skip(5); // intra_contour .. skip_intra
}

void ReadSccExtension(BitReader& reader, std::uint32_t chromaFormat, unsigned depthLuma,
                      unsigned depthChroma) {
    reader.Skip(1);      // sps_curr_pic_ref_enabled_flag
    if (reader.Flag()) { // palette_mode_enabled_flag
        reader.Ue();
        reader.Ue();
        if (reader.Flag()) {
            const std::uint32_t initializers = reader.Ue() + 1;
            if (initializers > 128) {
                reader.Fail();
                return;
            }
            for (unsigned comp = 0; comp < (chromaFormat == 0 ? 1u : 3u); ++comp)
                reader.Skip(std::size_t{initializers} * (comp == 0 ? depthLuma : depthChroma));
        }
    }
    reader.Skip(3); // motion_vector_resolution_control_idc, intra_boundary_filtering_disabled_flag
}

std::string ReadFields(BitReader& reader, SpsInfo& sps) {
    reader.Skip(4); // sps_video_parameter_set_id
    const unsigned maxSubLayersMinus1 = reader.Bits(3);
    if (maxSubLayersMinus1 >= MAX_SUB_LAYERS)
        return "sps_max_sub_layers_minus1 out of range";
    reader.Skip(1); // sps_temporal_id_nesting_flag
    ReadProfileTierLevel(reader, maxSubLayersMinus1);
    sps.id = reader.Ue();
    if (sps.id > 15)
        return "sps_seq_parameter_set_id " + std::to_string(sps.id) + " out of range";
    const std::uint32_t chromaFormat = reader.Ue();
    if (chromaFormat > 3)
        return "chroma_format_idc out of range";
    const bool separateColourPlanes = chromaFormat == 3 && reader.Flag();
    const std::uint64_t width = reader.Ue();
    const std::uint64_t height = reader.Ue();
    std::uint64_t window[4] = {0, 0, 0, 0};
    if (reader.Flag()) { // conformance_window_flag
        for (auto& offset : window)
            offset = reader.Ue();
    }
    const std::uint32_t depthLuma = reader.Ue() + 8;
    const std::uint32_t depthChroma = reader.Ue() + 8;
    if (depthLuma > 16 || depthChroma > 16)
        return "bit depth out of range";
    const std::uint32_t pocLsbBits = reader.Ue() + 4;
    if (pocLsbBits > 16)
        return "log2_max_pic_order_cnt_lsb_minus4 out of range";
    const bool orderingForEach = reader.Flag();
    for (unsigned i = orderingForEach ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        reader.Ue(); // sps_max_dec_pic_buffering_minus1
        reader.Ue(); // sps_max_num_reorder_pics
        reader.Ue(); // sps_max_latency_increase_plus1
    }
    for (int i = 0; i < 6; ++i)
        reader.Ue();                    // coding and transform block sizes, transform hierarchy depths
    if (reader.Flag() && reader.Flag()) // scaling_list_enabled_flag, sps_scaling_list_data_present_flag
        ReadScalingListData(reader);
    reader.Skip(2);      // amp_enabled_flag, sample_adaptive_offset_enabled_flag
    if (reader.Flag()) { // pcm_enabled_flag
        reader.Skip(8);
        reader.Ue();
        reader.Ue();
        reader.Skip(1);
    }
    const std::uint32_t setCount = reader.Ue();
    if (setCount > 64)
        return "num_short_term_ref_pic_sets out of range";
    std::vector<RefPicSet> sets;
    sets.reserve(setCount);
    for (std::uint32_t i = 0; i < setCount && !reader.Failed(); ++i) {
        if (std::string reason = ReadRefPicSet(reader, sets); !reason.empty())
            return reason;
    }
    if (reader.Flag()) { // long_term_ref_pics_present_flag
        const std::uint32_t longTerm = reader.Ue();
        if (longTerm > 32)
            return "num_long_term_ref_pics_sps out of range";
        reader.Skip(std::size_t{longTerm} * (pocLsbBits + 1));
    }
    reader.Skip(2); // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
    sps.vuiFlagBit = reader.Position();
    sps.vuiPresent = reader.Flag();
    if (sps.vuiPresent) {
        detail::ReadAspectInfo(reader, sps);
        ReadVuiRest(reader, maxSubLayersMinus1);
    }
    if (reader.Flag()) { // sps_extension_present_flag
        const bool range = reader.Flag();
        const bool multilayer = reader.Flag();
        const bool threeD = reader.Flag();
        const bool scc = reader.Flag();
        const bool more = reader.Bits(4) != 0;
        if (range)
            reader.Skip(9);
        if (multilayer)
            reader.Skip(1);
        if (threeD)
            Read3dExtension(reader);
        if (scc)
            ReadSccExtension(reader, chromaFormat, depthLuma, depthChroma);
        // sps_extension_data_flag runs to the stop bit, whatever it holds: the last 1 bit is the stop bit.
        if (more)
            reader.SkipToStopBit();
    }
    if (reader.Failed())
        return "the SPS ends inside its fields";

    const std::uint32_t arrayType = separateColourPlanes ? 0 : chromaFormat;
    const std::uint64_t unitX = arrayType == 1 || arrayType == 2 ? 2 : 1;
    const std::uint64_t unitY = arrayType == 1 ? 2 : 1;
    return detail::ApplyCropping(sps, width, height, window[0] * unitX, window[1] * unitX, window[2] * unitY,
                                 window[3] * unitY);
}

} // namespace

SpsReading ReadHevcSps(std::span<const std::uint8_t> nal) {
    if (nal.size() < 3)
        return SpsFailure("the SPS is cut short");
    const unsigned type = (nal[0] >> 1) & 0x3F;
    const unsigned layer = ((nal[0] & 1u) << 5) | (nal[1] >> 3);
    if ((nal[0] & 0x80) != 0 || type != 33)
        return SpsFailure("not an SPS NAL unit");
    if (layer != 0)
        return SpsFailure("an SPS of layer " + std::to_string(layer) + " takes its size from the VPS");
    SpsReading reading;
    reading.sps.codec = VideoCodec::Hevc;
    reading.sps.nalType = static_cast<std::uint8_t>(type);
    reading.rbsp = ExtractRbsp(nal, 2);
    BitReader reader(reading.rbsp.bytes);
    if (std::string reason = ReadFields(reader, reading.sps); !reason.empty())
        return SpsFailure(std::move(reason));
    reading.sps.endBit = reader.Position();
    if (!reader.AtStopBit())
        return SpsFailure("rbsp_stop_one_bit is not at bit " + std::to_string(reader.Position()) +
                          ", where the SPS's fields end");
    reading.ok = true;
    return reading;
}

} // namespace veltrane
