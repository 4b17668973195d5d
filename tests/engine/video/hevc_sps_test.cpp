// HEVC SPSs from x265 and hand-built ones: read, flipped in place, or refused with the bits it would take.
#include "video/codec_config.h"
#include "video/hevc_sps.h"
#include "video/sps_rows.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

using test::FromHex;
using test::REFUSED;
using test::SpsRow;

// tests/data/sps_rows.txt: x265's SPSs at the sizes of the target table, 4:2:2 10-bit, HRD with
// sub-layer parameters, default and sent scaling lists, reference picture sets predicted from the one
// before (which x265 never writes), no VUI and no aspect info.
const std::vector<SpsRow> ROWS = test::LoadRows("hevc");

class HevcSpsFlip : public testing::TestWithParam<SpsRow> {};

TEST_P(HevcSpsFlip, ReadsAndFlipsInPlaceOrSaysWhyNot) {
    test::CheckRow(VideoCodec::Hevc, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HevcSpsFlip, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<SpsRow>& row) { return row.param.name; });

std::vector<std::uint8_t> X265Sps() {
    return ROWS.empty() ? std::vector<std::uint8_t>{0x42, 0x01} : ROWS.front().nal;
}

std::vector<std::uint8_t> With(std::vector<std::uint8_t> nal, std::size_t at, std::uint8_t b) {
    nal.at(at) = b;
    return nal;
}

TEST(HevcSpsDamaged, EveryDamageIsRefusedWithItsReason) {
    ASSERT_GE(ROWS.size(), 20u) << "tests/data/sps_rows.txt is missing rows";
    const std::vector<std::uint8_t> sps = X265Sps();
    std::vector<std::uint8_t> extraByte = sps;
    extraByte.push_back(0x80);
    const struct {
        std::string name;
        std::vector<std::uint8_t> nal;
        std::string reason;
    } rows[] = {
        {"HeaderOnly", {0x42, 0x01}, "cut short"},
        {"Vps", With(sps, 0, 0x40), "not an SPS"},
        {"LayerAboveTheBase", With(sps, 1, 0x09), "layer 1"},
        {"StopBitTooLate", extraByte, "rbsp_stop_one_bit"},
        {"StopBitMissing", With(sps, sps.size() - 1, 0x00), "rbsp_stop_one_bit"},
        {"EightSubLayers", With(sps, 2, 0x0F), "sps_max_sub_layers_minus1"},
        // From tests/data/make-sps: a reference picture set of 17 pictures.
        {"SeventeenPictures",
         FromHex("42010101600000030090000003000003005aa005a20090596566924c904bffffffffa8040000030004000003006"
                 "420"),
         "more than 16 pictures"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::Hevc, row.nal, ConversionMode::To4x3);
        EXPECT_EQ(result.kind, REFUSED);
        EXPECT_NE(result.reason.find(row.reason), std::string::npos) << result.reason;
    }
}

// Random bits after a real profile_tier_level, so that the walk reaches the reference picture sets,
// the VUI and the extensions with every kind of value.
TEST(HevcSpsDamaged, CutsAndGarbageNeverReadOutsideTheirBytes) {
    test::CheckCutsAndGarbage(VideoCodec::Hevc, X265Sps(), 15);
}

// An hvcC record with a VPS, an SPS and a PPS array, as Matroska and MP4 hold it.
TEST(HevcConfigRecord, FindsTheSpsArrayOrRefusesARecordThatDoesNotAddUp) {
    const std::vector<std::uint8_t> sps = X265Sps();
    std::vector<std::uint8_t> record(22, 0x00);
    record[0] = 0x01;
    record.push_back(3);
    std::uint32_t spsAt = 0;
    for (const auto& nal : {std::vector<std::uint8_t>{0x40, 0x01, 0x0C}, sps, {0x44, 0x01, 0xC1}}) {
        const auto type = static_cast<std::uint8_t>(0x80 | nal[0] >> 1);
        record.insert(record.end(), {type, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(nal.size())});
        spsAt = nal == sps ? static_cast<std::uint32_t>(record.size()) : spsAt;
        record.insert(record.end(), nal.begin(), nal.end());
    }
    const ConfigSpsList found = FindSpsInHvcC(record);
    ASSERT_TRUE(found.ok) << found.failure;
    EXPECT_EQ(found.sps, (std::vector<NalSpan>{{spsAt, static_cast<std::uint32_t>(sps.size())}}));
    EXPECT_FALSE(FindSpsInHvcC(std::span(record).first(record.size() - 1)).ok);
    EXPECT_FALSE(FindSpsInHvcC(With(record, 22, 4)).ok); // a fourth array that is not there
    EXPECT_FALSE(FindSpsInHvcC(With(record, spsAt - 1, 0xFF)).ok);
}

TEST(HevcSpsRealMedia, FfmpegSeesTheNewShapeAndTheSamePictures) {
    test::CheckRealMediaFlip(VideoCodec::Hevc, "hevc_720x576_4x3.265");
}

} // namespace
} // namespace veltrane
