// H.264 SPSs from x264 and hand-built ones: read, flipped in place, or refused with the bits it would take.
#include "test_support.h"
#include "video/codec_config.h"
#include "video/h264_sps.h"
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

// tests/data/README.md says how each was made: the x264 ones by ffmpeg from testsrc2 with setsar, the
// rest (no VUI, no aspect info, scaling lists in the SPS, pic_order_cnt_type 1, the 16x2304 rows) by
// tests/data/make-sps. The 16x2304 rows move one bit at a time over a zero run of 23 bits: from one
// bit position it holds an aligned 00 00 01 and would need an emulation prevention byte, from the next
// it does not.
const SpsRow H264_ROWS[] = {
    {"X264At720x576Code2",
     "6764001eacd940b4126c0840000003004000000c83c58b6580",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"At704x576Code4",
     "6764001eacd940b0126c1040000003004000000c83c58b6580",
     704,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"At352x288Code2",
     "6764000dacd9416096c084000003000400000300c83c50a658",
     352,
     288,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"At720x480Code3",
     "6764001eacd940b43db031000003000100000300320f162d96",
     720,
     480,
     SampleAspect{3, 0, 0},
     {CHANGED, {5, 0, 0}},
     {UNCHANGED}},
    {"At528x480Extended97x60",
     "6764001eacd940843dbff0061003c1000003000100000300320f162d96",
     528,
     480,
     SampleAspect{255, 97, 60},
     {UNCHANGED},
     {CHANGED, {255, 40, 33}}},
    {"At480x576Code10",
     "6764001eacd941e049b0a1000003000100000300320f162d96",
     480,
     576,
     SampleAspect{10, 0, 0},
     {CHANGED, {6, 0, 0}},
     {UNCHANGED}},
    {"At352x480Code7",
     "67640015acd94160f6c1c4000003000400000300c83c58b658",
     352,
     480,
     SampleAspect{7, 0, 0},
     {CHANGED, {9, 0, 0}},
     {UNCHANGED}},
    {"At1440x1080Code14",
     "67640028acd9405a0227e5c384000003000400000300c83c60c658",
     1440,
     1080,
     SampleAspect{14, 0, 0},
     {UNCHANGED},
     {CHANGED, {1, 0, 0}}},
    {"At640x480Square",
     "6764001eacd940a03db011000003000100000300320f162d96",
     640,
     480,
     SampleAspect{1, 0, 0},
     {CHANGED, {14, 0, 0}},
     {UNCHANGED}},
    {"At960x720Square",
     "6764001facd940f016ec0440000003004000000c83c60c6580",
     960,
     720,
     SampleAspect{1, 0, 0},
     {CHANGED, {14, 0, 0}},
     {UNCHANGED}},
    {"At960x1080Code16",
     "67640020acd940f0089f97101000000300100000030320f1831960",
     960,
     1080,
     SampleAspect{16, 0, 0},
     {UNCHANGED},
     {CHANGED, {15, 0, 0}}},
    {"At1920x1080SquareNeeds32BitsFor4x3",
     "67640028acd940780227e5c044000003000400000300c83c60c658",
     1920,
     1080,
     SampleAspect{1, 0, 0},
     {UNCHANGED},
     {REFUSED, {}, 32}},
    {"At1280x720SquareNeeds32BitsFor4x3",
     "6764001facd9405005bb011000000300100000030320f1831960",
     1280,
     720,
     SampleAspect{1, 0, 0},
     {UNCHANGED},
     {REFUSED, {}, 32}},
    {"At720x576Extended64x45",
     "6764001eacd940b4126ffc010000b440000003004000000c83c58b6580",
     720,
     576,
     SampleAspect{255, 64, 45},
     {UNCHANGED},
     {CHANGED, {255, 16, 15}}},
    {"At720x480Extended8x9",
     "6764001eacd940b43dbff000800091000003000100000300320f162d96",
     720,
     480,
     SampleAspect{255, 8, 9},
     {CHANGED, {255, 32, 27}},
     {UNCHANGED}},
    {"SquarePixelsAt720x576AreNeitherShape",
     "6764001eacd940b4126c0440000003004000000c83c58b6580",
     720,
     576,
     SampleAspect{1, 0, 0},
     {OTHER_SHAPE},
     {OTHER_SHAPE}},
    {"High444",
     "67f4001e919b2816824d81080000030008000003019078b16cb0",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"Interlaced",
     "6764001eacd940b424d8108000000300800000190f8a14cb",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"Baseline",
     "6742c00dda05825b021000000300100000030320f142aa",
     352,
     288,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"NalHrd",
     "6764001eacd940b4126c1040000003004000000c9810003d090007a12930c01e2c5b2c",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"HighWithScalingLists",
     "6764001ead948421084210842108422111218c6318c6318c6318c6318c6318c6318c6318c6318c6318c6318c6318c631"
     "8c6318c6318c6318c66d016824d81080000003008000001942",
     720,
     576,
     SampleAspect{2, 0, 0},
     {CHANGED, {4, 0, 0}},
     {UNCHANGED}},
    {"PicOrderCntType1",
     "6742c01ed0a991a02d049b04100000030010000003032840",
     720,
     576,
     SampleAspect{4, 0, 0},
     {UNCHANGED},
     {CHANGED, {2, 0, 0}}},
    {"NoVuiNeeds17Bits", "6742c01eed016824c8", 720, 576, std::nullopt, {REFUSED, {}, 17}, {REFUSED, {}, 17}},
    {"NoAspectInfoNeeds8Bits",
     "6742c01eed016824d080000003008000001942",
     720,
     576,
     std::nullopt,
     {REFUSED, {}, 8},
     {REFUSED, {}, 8}},
    {"Extended192x1ToAnAlignedZeroRunGrows",
     "6742c01eed202437fe018000022000000300200000065080",
     16,
     2304,
     SampleAspect{255, 192, 1},
     {REFUSED, {}, 8},
     {UNCHANGED}},
    {"Extended256x1LosesAnEmulationPreventionByte",
     "6742c01eed202437fe02000003022000000300200000065080",
     16,
     2304,
     SampleAspect{255, 256, 1},
     {UNCHANGED},
     {REFUSED, {}, -8}},
    {"Extended192x1BitLaterKeepsItsLength",
     "6742c01e5b48090dff80600000880000030008000003019420",
     16,
     2304,
     SampleAspect{255, 192, 1},
     {CHANGED, {255, 256, 1}},
     {UNCHANGED}},
    {"Extended256x1BitLaterKeepsItsLength",
     "6742c01e5b48090dff80800000880000030008000003019420",
     16,
     2304,
     SampleAspect{255, 256, 1},
     {UNCHANGED},
     {CHANGED, {255, 192, 1}}},
};

class H264SpsFlip : public testing::TestWithParam<SpsRow> {};

TEST_P(H264SpsFlip, ReadsAndFlipsInPlaceOrSaysWhyNot) {
    test::CheckRow(VideoCodec::H264, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, H264SpsFlip, testing::ValuesIn(H264_ROWS),
                         [](const testing::TestParamInfo<SpsRow>& row) { return row.param.name; });

struct DamagedRow {
    std::string name;
    std::vector<std::uint8_t> nal;
    std::string reason; // a part of what the refusal says
};

// x264's 720x576 SPS: its stop bit is the 0x80 of the last byte.
const std::vector<std::uint8_t> X264_SPS = FromHex(H264_ROWS[0].hex);

std::vector<std::uint8_t> With(std::vector<std::uint8_t> nal, std::size_t at, std::uint8_t b) {
    nal.at(at) = b;
    return nal;
}

TEST(H264SpsDamaged, EveryDamageIsRefusedWithItsReason) {
    std::vector<std::uint8_t> extraByte = X264_SPS;
    extraByte.push_back(0x80);
    std::vector<std::uint8_t> trailingZeros = X264_SPS;
    trailingZeros.insert(trailingZeros.end(), 3, 0x00);
    const DamagedRow rows[] = {
        {"Empty", {}, "cut short"},
        {"HeaderOnly", {0x67}, "cut short"},
        {"NotAnSps", With(X264_SPS, 0, 0x68), "not an SPS"},
        {"ForbiddenBitSet", With(X264_SPS, 0, 0xE7), "not an SPS"},
        {"StopBitMissing", With(X264_SPS, X264_SPS.size() - 1, 0x00), "rbsp_stop_one_bit"},
        {"StopBitTooLate", extraByte, "rbsp_stop_one_bit"},
        {"ABitAfterTheStopBit", With(X264_SPS, X264_SPS.size() - 1, 0x81), "rbsp_stop_one_bit"},
        {"SpsIdOutOfRange", FromHex("6742c01e04208000"), "out of range"},
        {"LongerThan32BitsOfZeros", FromHex("6742c01e00000300000300000300"), "ends inside"},
    };
    for (const DamagedRow& row : rows) {
        SCOPED_TRACE(row.name);
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::H264, row.nal, ConversionMode::To16x9);
        EXPECT_EQ(result.kind, REFUSED);
        EXPECT_TRUE(result.changes.empty());
        EXPECT_NE(result.reason.find(row.reason), std::string::npos) << result.reason;
        EXPECT_NE(result.reason.find("damaged or unsupported SPS"), std::string::npos) << result.reason;
    }
    // The byte stream's trailing zero bytes after the stop bit are no damage.
    EXPECT_EQ(RewriteSpsAspect(VideoCodec::H264, trailingZeros, ConversionMode::To16x9).kind, CHANGED);
}

// Every cut of a real SPS ends inside its fields; every random tail after a real header either reads
// or is refused. Exact-size copies, so that the sanitizers see any read past the end.
TEST(H264SpsDamaged, CutsAndGarbageNeverReadOutsideTheirBytes) {
    for (std::size_t size = 0; size + 1 < X264_SPS.size(); ++size) {
        const std::vector<std::uint8_t> cut(X264_SPS.begin(), X264_SPS.begin() + static_cast<long>(size));
        EXPECT_FALSE(ReadH264Sps(cut).ok) << "cut at " << size;
    }
    std::mt19937 random(27);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> nal(1 + random() % 64);
        for (auto& b : nal)
            b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random());
        nal[0] = round % 2 ? 0x67 : 0x6F;
        const SpsRewrite result = RewriteSpsAspect(VideoCodec::H264, nal, ConversionMode::To4x3);
        EXPECT_LE(result.changes.size(), 5u);
        for (const ByteChange& change : result.changes)
            ASSERT_LT(change.offset, nal.size());
    }
}

// An avcC record as Matroska's CodecPrivate and MP4's avcC box hold it: two SPSs, one PPS.
TEST(AvcConfigRecord, FindsEachSpsOrRefusesARecordThatDoesNotAddUp) {
    const std::vector<std::uint8_t> sps = X264_SPS;
    std::vector<std::uint8_t> record = {0x01, 0x64, 0x00, 0x1E, 0xFF, 0xE2};
    for (int i = 0; i < 2; ++i) {
        record.push_back(0);
        record.push_back(static_cast<std::uint8_t>(sps.size()));
        record.insert(record.end(), sps.begin(), sps.end());
    }
    const std::vector<std::uint8_t> pps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
    record.insert(record.end(), {0x01, 0x00, static_cast<std::uint8_t>(pps.size())});
    record.insert(record.end(), pps.begin(), pps.end());

    const ConfigSpsList found = FindSpsInAvcC(record);
    ASSERT_TRUE(found.ok) << found.failure;
    const auto size = static_cast<std::uint32_t>(sps.size());
    EXPECT_EQ(found.sps, (std::vector<NalSpan>{{8, size}, {10 + size, size}}));

    EXPECT_FALSE(FindSpsInAvcC(std::span(record).first(record.size() - 1)).ok);
    EXPECT_FALSE(FindSpsInAvcC(std::span(record).first(20)).ok);
    EXPECT_FALSE(FindSpsInAvcC(With(record, 0, 0x02)).ok);
    EXPECT_FALSE(FindSpsInAvcC(With(record, 7, 0xFF)).ok); // an SPS longer than the record
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// The committed x264 stream (tests/data/README.md): its SPS flipped in place to 16:9 shows as 16:9 to
// ffprobe and decodes to the very same pictures.
TEST(H264SpsRealMedia, FfmpegSeesTheNewShapeAndTheSamePictures) {
    if (!test::Output("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    const std::string source = std::string(VELTRANE_TEST_DATA_DIR) + "/h264_720x576_4x3.264";
    test::Bytes stream = test::ReadAll(source);
    std::size_t patched = 0;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1 || (stream[i + 3] & 0x1F) != 7)
            continue;
        std::size_t end = i + 3;
        while (end + 2 < stream.size() && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1))
            ++end;
        const SpsRewrite result = RewriteSpsAspect(
            VideoCodec::H264, std::span(stream).subspan(i + 3, end - i - 3), ConversionMode::To16x9);
        ASSERT_EQ(result.kind, CHANGED) << result.reason;
        for (const ByteChange& change : result.changes)
            stream[i + 3 + change.offset] = change.after;
        ++patched;
    }
    ASSERT_EQ(patched, 1u);
    test::TempDir dir;
    const std::string copy = dir.File("flipped.264");
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
