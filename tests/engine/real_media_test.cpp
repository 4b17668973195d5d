// Conversions and probes of real MPEG-2 files made by ffmpeg, checked against a byte model and ffmpeg
// itself. MPEG-1's files are mpeg1_test.cpp's.
#include "conversion_run.h"
#include "source_probe.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

using test::Bytes;

std::string DataFile(const std::string& name) {
    return std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
}

// Runs a conversion that must go through in one pass, and returns what it wrote.
Bytes Convert(const std::string& source, ConversionMode mode, const test::TempDir& dir) {
    const std::string dest = dir.File("out.mpg");
    test::RecordingSink sink;
    EXPECT_EQ(RunConversion(source, dest, mode, sink), RunOutcome::Completed);
    EXPECT_EQ(sink.positions, std::vector<int>{PROGRESS_MAX});
    EXPECT_EQ(sink.ends, 1);
    return test::ReadAll(dest);
}

struct MediaFile {
    std::string name;
    std::string file;
    ProbeOutcome probe;
};

class RealMediaTest : public testing::TestWithParam<MediaFile> {};

// tests/data/README.md tells how each file was made and what its headers declare.
TEST_P(RealMediaTest, ProbesAndConvertsLikeTheByteModel) {
    const MediaFile& media = GetParam();
    const std::string source = DataFile(media.file);
    EXPECT_EQ(ProbeSourceAspect(source), media.probe);

    const Bytes original = test::ReadAll(source);
    test::TempDir dir;
    for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
        const Bytes converted = Convert(source, mode, dir);
        EXPECT_TRUE(test::SameBytes(converted, test::ReferenceConversion(original, mode)));
        // A flip of the file's own shape must change it and, flipped back, give the original again.
        const bool flipsShape = (media.probe == ProbeOutcome::Aspect4x3 && mode == ConversionMode::To16x9) ||
                                (media.probe == ProbeOutcome::Aspect16x9 && mode == ConversionMode::To4x3);
        EXPECT_EQ(converted != original, flipsShape) << "whether the conversion changed the file";
        if (flipsShape) {
            test::WriteAll(dir.File("flipped.mpg"), converted);
            const ConversionMode back =
                mode == ConversionMode::To16x9 ? ConversionMode::To4x3 : ConversionMode::To16x9;
            EXPECT_TRUE(test::SameBytes(Convert(dir.File("flipped.mpg"), back, dir), original));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RealMediaTest,
    testing::Values(MediaFile{"Mpeg2SquarePixels", "mpeg2_square.m2v", ProbeOutcome::AspectUnknown},
                    MediaFile{"Mpeg2Elementary4x3", "mpeg2_4x3.m2v", ProbeOutcome::Aspect4x3},
                    MediaFile{"Mpeg2Elementary16x9", "mpeg2_16x9.m2v", ProbeOutcome::Aspect16x9},
                    MediaFile{"Mpeg2Program4x3", "mpeg2_ps_4x3.mpg", ProbeOutcome::Aspect4x3},
                    MediaFile{"Mpeg2Transport16x9", "mpeg2_ts_16x9.ts", ProbeOutcome::Aspect16x9}),
    [](const testing::TestParamInfo<MediaFile>& row) { return row.param.name; });

// ffmpeg's mpeg2_metadata filter parses the stream; the byte scan must agree with it both ways.
TEST(RealMediaGolden, EqualsFfmpegsOwnRewrite) {
    const std::string narrow = DataFile("mpeg2_4x3.m2v");
    const std::string wide = DataFile("mpeg2_4x3_as_16x9.golden.m2v");
    test::TempDir dir;
    EXPECT_TRUE(test::SameBytes(Convert(narrow, ConversionMode::To16x9, dir), test::ReadAll(wide)));
    EXPECT_TRUE(test::SameBytes(Convert(wide, ConversionMode::To4x3, dir), test::ReadAll(narrow)));
}

} // namespace
} // namespace veltrane
