// H.264 SPSs from x264 and hand-built ones: read, flipped in place, or refused with the bits it would take.
#include "video/codec_config.h"
#include "video/h264_sps.h"
#include "video/sps_rows.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

using test::CHANGED;
using test::FromHex;
using test::REFUSED;
using test::SpsRow;

// tests/data/sps_rows.txt: x264's SPSs at the sizes of the target table, with scaling lists in the
// SPS, every pic_order_cnt_type, HRD, no VUI, no aspect info, and 16x2304 pictures whose Extended_SAR
// flip holds an aligned 00 00 01 from one bit position and not from the next.
const std::vector<SpsRow> ROWS = test::LoadRows("h264");

class H264SpsFlip : public testing::TestWithParam<SpsRow> {};

TEST_P(H264SpsFlip, ReadsAndFlipsInPlaceOrSaysWhyNot) {
    test::CheckRow(VideoCodec::H264, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, H264SpsFlip, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<SpsRow>& row) { return row.param.name; });

// x264's 720x576 SPS: its stop bit is the 0x80 of the last byte.
std::vector<std::uint8_t> X264Sps() {
    return ROWS.empty() ? std::vector<std::uint8_t>{0x67} : ROWS.front().nal;
}

std::vector<std::uint8_t> With(std::vector<std::uint8_t> nal, std::size_t at, std::uint8_t b) {
    nal.at(at) = b;
    return nal;
}

TEST(H264SpsDamaged, EveryDamageIsRefusedWithItsReason) {
    ASSERT_GE(ROWS.size(), 20u) << "tests/data/sps_rows.txt is missing rows";
    const std::vector<std::uint8_t> sps = X264Sps();
    std::vector<std::uint8_t> extraByte = sps;
    extraByte.push_back(0x80);
    const struct {
        std::string name;
        std::vector<std::uint8_t> nal;
        std::string reason; // a part of what the refusal says
    } rows[] = {
        {"Empty", {}, "cut short"},
        {"NotAnSps", With(sps, 0, 0x68), "not an SPS"},
        {"ForbiddenBitSet", With(sps, 0, 0xE7), "not an SPS"},
        {"StopBitMissing", With(sps, sps.size() - 1, 0x00), "rbsp_stop_one_bit"},
        {"StopBitTooLate", extraByte, "rbsp_stop_one_bit"},
        {"ABitAfterTheStopBit", With(sps, sps.size() - 1, 0x81), "rbsp_stop_one_bit"},
        {"SpsIdOutOfRange", FromHex("6742c01e04208000"), "out of range"},
        {"MoreThan31LeadingZeros", FromHex("6742c01e00000300000300000300"), "ends inside"},
        // High profile, a scaling list whose first delta is near 2^31 (found by fuzzing: the sum that
        // follows it overflowed).
        {"ScalingDeltaNearTheLimit", FromHex("6764001ead80000000ffffff8e80"), "ends inside"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::H264, row.nal, ConversionMode::To16x9);
        EXPECT_EQ(result.kind, REFUSED);
        EXPECT_NE(result.reason.find("damaged or unsupported SPS: "), std::string::npos) << result.reason;
        EXPECT_NE(result.reason.find(row.reason), std::string::npos) << result.reason;
    }
    // The byte stream's trailing zero bytes after the stop bit are no damage.
    std::vector<std::uint8_t> trailingZeros = sps;
    trailingZeros.insert(trailingZeros.end(), 3, 0x00);
    EXPECT_EQ(RewriteSpsAspect(VideoCodec::H264, trailingZeros, ConversionMode::To16x9).kind, CHANGED);
}

TEST(H264SpsDamaged, CutsAndGarbageNeverReadOutsideTheirBytes) {
    test::CheckCutsAndGarbage(VideoCodec::H264, X264Sps(), 1);
}

// A subset SPS (MVC, SVC) holds the same fields and VUI, then its own extension up to its stop bit.
TEST(H264SubsetSps, FlipsAsItsSeqParameterSetDataSays) {
    const std::vector<std::uint8_t> sps = X264Sps();
    std::vector<std::uint8_t> subset = With(sps, 0, 0x6F);
    subset.back() = 0xA5; // extension bits where the SPS had its stop bit
    subset.push_back(0x80);
    const SpsRewrite result = RewriteSpsAspect(VideoCodec::H264, subset, ConversionMode::To16x9);
    ASSERT_EQ(result.kind, CHANGED) << result.reason;
    EXPECT_EQ(result.changes, RewriteSpsAspect(VideoCodec::H264, sps, ConversionMode::To16x9).changes);
}

// An avcC record as Matroska's CodecPrivate and MP4's avcC box hold it: two SPSs, one PPS.
TEST(AvcConfigRecord, FindsEachSpsOrRefusesARecordThatDoesNotAddUp) {
    const std::vector<std::uint8_t> sps = X264Sps();
    const auto size = static_cast<std::uint8_t>(sps.size());
    std::vector<std::uint8_t> record = {0x01, 0x64, 0x00, 0x1E, 0xFF, 0xE2};
    for (int i = 0; i < 2; ++i) {
        record.insert(record.end(), {0x00, size});
        record.insert(record.end(), sps.begin(), sps.end());
    }
    record.insert(record.end(), {0x01, 0x00, 0x04, 0x68, 0xEB, 0xE3, 0xCB});
    const ConfigSpsList found = FindSpsInAvcC(record);
    ASSERT_TRUE(found.ok) << found.failure;
    EXPECT_EQ(found.sps, (std::vector<NalSpan>{{8, size}, {10u + size, size}}));
    EXPECT_FALSE(FindSpsInAvcC(std::span(record).first(record.size() - 1)).ok);
    EXPECT_FALSE(FindSpsInAvcC(With(record, 0, 0x02)).ok);
    EXPECT_FALSE(FindSpsInAvcC(With(record, 7, 0xFF)).ok); // an SPS longer than the record
}

TEST(H264SpsRealMedia, FfmpegSeesTheNewShapeAndTheSamePictures) {
    test::CheckRealMediaFlip(VideoCodec::H264, "h264_720x576_4x3.264");
}

} // namespace
} // namespace veltrane
