// HEVC SPSs from x265 and hand-built ones: read, flipped in place, or refused with the bits it would take.
#include "test_support.h"
#include "video/codec_config.h"
#include "video/hevc_sps.h"
#include "video/sps_rewrite.h"
#include "video/sps_rows.h"

#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace veltrane {
namespace {

using test::CHANGED;
using test::FromHex;
using test::OTHER_SHAPE;
using test::REFUSED;
using test::SpsRow;
using test::UNCHANGED;

// tests/data/README.md says how each was made: the x265 ones by ffmpeg from testsrc2 with setsar, the
// rest (no VUI, no aspect info, scaling_list_data, reference picture sets predicted from the one
// before, which x265 never writes) by tests/data/make-sps, each read alike by ffmpeg's trace_headers.
const SpsRow HEVC_ROWS[] = {
    {"X264At720x576Code2",
     "42010101600000030090000003000003005aa005a200905965654a4c2f026808000003000800000300c840",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"At704x576Code4",
     "42010101600000030090000003000003005aa0058200905965654a4c2f046808000003000800000300c840",
     704,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"At352x288Code2",
     "42010101600000030090000003000003003ca00b080485965654a4c2f0268080000003008000000c84",
     352,
     288,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"At720x480Code3",
     "42010101600000030090000003000003005aa005a201e16595952930bc0da02000000300200000030321",
     720,
     480,
     SampleAspect{3, 0, 0},
     {CHANGED, {5, 0, 0}},
     {UNCHANGED}},
    {"At528x480Extended97x60",
     "42010101600000030090000003000003005aa0042201e16595952930bffc018400f1a02000000300200000030321",
     528,
     480,
     SampleAspect{255, 97, 60},
     {UNCHANGED},
     {CHANGED, {255, 40, 33}}},
    {"At480x576Code10",
     "42010101600000030090000003000003005aa00f0802416595952930bc29a02000000300200000030321",
     480,
     576,
     SampleAspect{10, 0, 0},
     {CHANGED, {6, 0, 0}},
     {UNCHANGED}},
    {"At352x480Code7",
     "42010101600000030090000003000003003fa00b080785965654a4c2f0768080000003008000000c84",
     352,
     480,
     SampleAspect{7, 0, 0},
     {CHANGED, {9, 0, 0}},
     {UNCHANGED}},
    {"At1440x1080Code14",
     "420101016000000300900000030000030078a002d0801107cb965654a4c2f0e68080000003008000000c84",
     1440,
     1080,
     SampleAspect{14, 0, 0},
     {UNCHANGED},
     {CHANGED, {1, 0, 0}}},
    {"At640x480Square",
     "42010101600000030090000003000003005aa0050201e16595952930bc05a02000000300200000030321",
     640,
     480,
     SampleAspect{1, 0, 0},
     {CHANGED, {14, 0, 0}},
     {UNCHANGED}},
    {"At960x720Square",
     "42010101600000030090000003000003005da0078200b45965654a4c2f016808000003000800000300c840",
     960,
     720,
     SampleAspect{1, 0, 0},
     {CHANGED, {14, 0, 0}},
     {UNCHANGED}},
    {"At960x1080Code16",
     "420101016000000300900000030000030078a0078200441f2e595952930bc41a020000030002000003003210",
     960,
     1080,
     SampleAspect{16, 0, 0},
     {UNCHANGED},
     {CHANGED, {15, 0, 0}}},
    {"At1920x1080SquareNeeds32BitsFor4x3",
     "420101016000000300900000030000030078a003c0801107cb965654a4c2f0168080000003008000000c84",
     1920,
     1080,
     SampleAspect{1, 0, 0},
     {UNCHANGED},
     {REFUSED, {}, 32}},
    {"At1280x720SquareNeeds32BitsFor4x3",
     "42010101600000030090000003000003005da00280802d16595952930bc05a020000030002000003003210",
     1280,
     720,
     SampleAspect{1, 0, 0},
     {UNCHANGED},
     {REFUSED, {}, 32}},
    {"At720x576Extended64x45",
     "42010101600000030090000003000003005aa005a200905965654a4c2fff0040002d6808000003000800000300c840",
     720,
     576,
     SampleAspect{255, 64, 45},
     {UNCHANGED},
     {CHANGED, {255, 16, 15}}},
    {"At720x480Extended8x9",
     "42010101600000030090000003000003005aa005a201e16595952930bffc00200025a02000000300200000030321",
     720,
     480,
     SampleAspect{255, 8, 9},
     {CHANGED, {255, 32, 27}},
     {UNCHANGED}},
    {"SquarePixelsAt720x576AreNeitherShape",
     "42010101600000030090000003000003005aa005a200905965654a4c2f016808000003000800000300c840",
     720,
     576,
     SampleAspect{1, 0, 0},
     {OTHER_SHAPE},
     {OTHER_SHAPE}},
    {"Main422With10Bits",
     "4201010408000003009d0800000300005ab005a200904d965664a4c2f0468080000003008000000c84",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"HrdWithSubLayerParameters",
     "42010101600000030090000003000003005aa005a200905965654a4c2f046808000003000800000300cb00a4b2f0007a"
     "12000f4244",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"DefaultScalingLists",
     "42010101600000030090000003000003005aa005a200905965654a4e178234040000030004000003006420",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"ScalingListData",
     "42010101600000030090000003000003005aa005a20090596566924fb49a4d26934995a4d269349a4cad269349a4d264"
     "da4d269349a4d269349a4d269349a4d269349a4d269349a4cad269349a4d269349a4d269349a4d269349a4d269349a4d"
     "26569349a4d269349a4d269349a4d269349a4d269349a4d2693841a4d269349a4d269349a4d269349a4d269349a4d269"
     "349a4ca1069349a4d269349a4d269349a4d269349a4d269349a4d26932841a4d269349a4d269349a4d269349a4d26934"
     "9a4d269349a4c9841a4d269349a4d269349a4d269349a4d269349a4d269349a4d26b55582008000003000800000300c8"
     "40",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"InterPredictedReferencePictureSets",
     "42010101600000030090000003000003005aa005a20090596566924c88d6abec94d604020000030002000003003210",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"NoVuiNeeds18Bits",
     "42010101600000030090000003000003005aa005a20090596566924c935aaa20",
     720,
     576,
     std::nullopt,
     {REFUSED, {}, 18},
     {REFUSED, {}, 18}},
    {"NoAspectInfoNeeds8Bits",
     "42010101600000030090000003000003005aa005a20090596566924c935aaa8040000003004000000642",
     720,
     576,
     std::nullopt,
     {REFUSED, {}, 8},
     {REFUSED, {}, 8}},
};

class HevcSpsFlip : public testing::TestWithParam<SpsRow> {};

TEST_P(HevcSpsFlip, ReadsAndFlipsInPlaceOrSaysWhyNot) {
    test::CheckRow(VideoCodec::Hevc, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HevcSpsFlip, testing::ValuesIn(HEVC_ROWS),
                         [](const testing::TestParamInfo<SpsRow>& row) { return row.param.name; });

const std::vector<std::uint8_t> X265_SPS = FromHex(HEVC_ROWS[0].hex);

std::vector<std::uint8_t> With(std::vector<std::uint8_t> nal, std::size_t at, std::uint8_t b) {
    nal.at(at) = b;
    return nal;
}

TEST(HevcSpsDamaged, EveryDamageIsRefusedWithItsReason) {
    std::vector<std::uint8_t> extraByte = X265_SPS;
    extraByte.push_back(0x80);
    const struct {
        std::string name;
        std::vector<std::uint8_t> nal;
        std::string reason;
    } rows[] = {
        {"HeaderOnly", {0x42, 0x01}, "cut short"},
        {"Vps", With(X265_SPS, 0, 0x40), "not an SPS"},
        {"LayerAboveTheBase", With(X265_SPS, 1, 0x09), "layer 1"},
        {"StopBitTooLate", extraByte, "rbsp_stop_one_bit"},
        {"StopBitMissing", With(X265_SPS, X265_SPS.size() - 1, 0x00), "rbsp_stop_one_bit"},
        {"EightSubLayers", With(X265_SPS, 2, 0x0F), "sps_max_sub_layers_minus1"},
        // From tests/data/make-sps: a reference picture set of 17 pictures.
        {"TooManyPictures",
         FromHex("42010101600000030090000003000003005aa005a20090596566924c904bffffffffa8040000030004000003006"
                 "420"),
         "more than 16 pictures"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::Hevc, row.nal, ConversionMode::To4x3);
        EXPECT_EQ(result.kind, REFUSED);
        EXPECT_TRUE(result.changes.empty());
        EXPECT_NE(result.reason.find(row.reason), std::string::npos) << result.reason;
    }
}

TEST(HevcSpsDamaged, CutsAndGarbageNeverReadOutsideTheirBytes) {
    for (std::size_t size = 0; size + 1 < X265_SPS.size(); ++size) {
        const std::vector<std::uint8_t> cut(X265_SPS.begin(), X265_SPS.begin() + static_cast<long>(size));
        EXPECT_FALSE(ReadHevcSps(cut).ok) << "cut at " << size;
    }
    // Random bits after a real profile_tier_level, so that the walk reaches the reference picture
    // sets, the VUI and the extensions with every kind of value.
    std::mt19937 random(27);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> nal(X265_SPS.begin(), X265_SPS.begin() + 15);
        nal.resize(15 + random() % 80);
        for (std::size_t i = 15; i < nal.size(); ++i)
            nal[i] = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : random());
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::Hevc, nal, ConversionMode::To16x9);
        EXPECT_LE(result.changes.size(), 5u);
        for (const ByteChange& change : result.changes)
            ASSERT_LT(change.offset, nal.size());
    }
}

// An hvcC record with a VPS, an SPS and a PPS array, as Matroska and MP4 hold it.
TEST(HevcConfigRecord, FindsTheSpsArrayOrRefusesARecordThatDoesNotAddUp) {
    std::vector<std::uint8_t> record(22, 0x00);
    record[0] = 0x01;
    record.push_back(3);
    const std::vector<std::uint8_t> vps = {0x40, 0x01, 0x0C, 0x01};
    const std::vector<std::uint8_t> pps = {0x44, 0x01, 0xC1, 0x72};
    std::uint32_t spsAt = 0;
    for (const auto* nal : {&vps, &X265_SPS, &pps}) {
        record.insert(record.end(), {static_cast<std::uint8_t>(0x80 | ((*nal)[0] >> 1)), 0x00, 0x01, 0x00,
                                     static_cast<std::uint8_t>(nal->size())});
        if (nal == &X265_SPS)
            spsAt = static_cast<std::uint32_t>(record.size());
        record.insert(record.end(), nal->begin(), nal->end());
    }
    const ConfigSpsList found = FindSpsInHvcC(record);
    ASSERT_TRUE(found.ok) << found.failure;
    EXPECT_EQ(found.sps, (std::vector<NalSpan>{{spsAt, static_cast<std::uint32_t>(X265_SPS.size())}}));

    EXPECT_FALSE(FindSpsInHvcC(std::span(record).first(record.size() - 1)).ok);
    EXPECT_FALSE(FindSpsInHvcC(std::span(record).first(22)).ok);
    EXPECT_FALSE(FindSpsInHvcC(With(record, 22, 4)).ok); // a fourth array that is not there
    EXPECT_FALSE(FindSpsInHvcC(With(record, spsAt - 1, 0xFF)).ok);
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

TEST(HevcSpsRealMedia, FfmpegSeesTheNewShapeAndTheSamePictures) {
    if (!test::Output("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    const std::string source = std::string(VELTRANE_TEST_DATA_DIR) + "/hevc_720x576_4x3.265";
    test::Bytes stream = test::ReadAll(source);
    std::size_t patched = 0;
    for (std::size_t i = 0; i + 4 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1 || ((stream[i + 3] >> 1) & 0x3F) != 33)
            continue;
        std::size_t end = i + 3;
        while (end + 2 < stream.size() && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1))
            ++end;
        const SpsRewrite result = RewriteSpsAspect(
            VideoCodec::Hevc, std::span(stream).subspan(i + 3, end - i - 3), ConversionMode::To16x9);
        ASSERT_EQ(result.kind, CHANGED) << result.reason;
        for (const ByteChange& change : result.changes)
            stream[i + 3 + change.offset] = change.after;
        ++patched;
    }
    ASSERT_EQ(patched, 1u);
    test::TempDir dir;
    const std::string copy = dir.File("flipped.265");
    std::ofstream(copy, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    const auto aspect = test::Output("ffprobe -v error -show_entries stream=sample_aspect_ratio,"
                                     "display_aspect_ratio -of csv=p=0 " +
                                     Quoted(copy));
    ASSERT_TRUE(aspect);
    EXPECT_EQ(*aspect, "16:11,20:11\n");
    const auto pictures = [](const std::string& path) {
        return test::Output("ffmpeg -v error -i " + Quoted(path) + " -f framemd5 - | grep -v '^#'");
    };
    const auto before = pictures(source);
    ASSERT_TRUE(before && !before->empty());
    EXPECT_EQ(pictures(copy), before);
}

} // namespace
} // namespace veltrane
