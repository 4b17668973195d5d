// Conversions and probes of real MPEG files made by ffmpeg, checked against a byte model and ffmpeg itself.
#include "conversion_run.h"
#include "sequence_header.h"
#include "source_probe.h"
#include "test_support.h"

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace veltrane {
namespace {

using test::Bytes;

std::string DataFile(const std::string& name) {
    return std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
}

std::string ModeName(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? "To16x9" : "To4x3";
}

ConversionMode Opposite(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? ConversionMode::To4x3 : ConversionMode::To16x9;
}

// Reports the first differing offset instead of dumping a few hundred kilobytes.
testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    if (actual.size() != expected.size()) {
        return testing::AssertionFailure() << "size " << actual.size() << ", expected " << expected.size();
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            return testing::AssertionFailure() << "first difference at offset " << i << ": " << int{actual[i]}
                                               << ", expected " << int{expected[i]};
        }
    }
    return testing::AssertionSuccess();
}

// The aspect bytes of every complete header, in file order.
std::vector<std::uint8_t> AspectBytes(const Bytes& bytes) {
    std::vector<std::uint8_t> found;
    for (std::size_t i = 0; i + ASPECT_BYTE_OFFSET < bytes.size(); ++i) {
        if (bytes[i] == 0x00 && bytes[i + 1] == 0x00 && bytes[i + 2] == 0x01 && bytes[i + 3] == 0xB3)
            found.push_back(bytes[i + ASPECT_BYTE_OFFSET]);
    }
    return found;
}

template <typename Row> std::string RowName(const testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

// Runs a conversion that is expected to go through, and returns what it wrote.
Bytes Convert(const std::string& source, ConversionMode mode, const test::TempDir& dir) {
    const std::string dest = dir.File("out-" + ModeName(mode));
    test::RecordingSink sink;
    EXPECT_EQ(RunConversion(source, dest, mode, sink), RunOutcome::Completed);
    EXPECT_EQ(sink.begins, 1);
    EXPECT_EQ(sink.ends, 1);
    EXPECT_EQ(sink.positions, std::vector<int>{PROGRESS_MAX}) << "one pass for a file under a buffer-full";
    return test::ReadAll(dest);
}

struct MediaFile {
    std::string name;
    std::string file;
    std::uint8_t aspectByte; // the same in every sequence header of the file
    ProbeOutcome probe;
};

// Every committed file has five GOPs and so five sequence headers; tests/data/README.md tells how each
// was made.
constexpr std::size_t HEADERS_PER_FILE = 5;

const MediaFile MEDIA[] = {
    {"Mpeg1Elementary4x3", "mpeg1_vcd_4x3.m1v", 0x83, ProbeOutcome::AspectUnknown},
    {"Mpeg2Elementary4x3", "mpeg2_4x3.m2v", 0x23, ProbeOutcome::Aspect4x3},
    {"Mpeg2Elementary16x9", "mpeg2_16x9.m2v", 0x33, ProbeOutcome::Aspect16x9},
    {"Mpeg2Program4x3", "mpeg2_ps_4x3.mpg", 0x23, ProbeOutcome::Aspect4x3},
    {"Mpeg2Transport16x9", "mpeg2_ts_16x9.ts", 0x33, ProbeOutcome::Aspect16x9},
    {"Mpeg2ElementaryRewrittenByFfmpeg", "mpeg2_4x3_as_16x9.golden.m2v", 0x33, ProbeOutcome::Aspect16x9},
};

void PrintTo(const MediaFile& media, std::ostream* out) {
    *out << media.file;
}

class RealMediaTest : public testing::TestWithParam<std::tuple<MediaFile, ConversionMode>> {
protected:
    const MediaFile& Media() const { return std::get<0>(GetParam()); }
    ConversionMode Mode() const { return std::get<1>(GetParam()); }
    std::string Source() const { return DataFile(Media().file); }

    test::TempDir m_dir;
};

std::string FileAndModeName(const testing::TestParamInfo<RealMediaTest::ParamType>& row) {
    return std::get<0>(row.param).name + "_" + ModeName(std::get<1>(row.param));
}

TEST_P(RealMediaTest, ConversionMatchesTheByteModel) {
    const Bytes original = test::ReadAll(Source());
    const Bytes converted = Convert(Source(), Mode(), m_dir);

    EXPECT_EQ(converted.size(), original.size());
    EXPECT_TRUE(SameBytes(converted, test::ReferenceConversion(original, Mode())));
}

TEST_P(RealMediaTest, ProbeOfTheConvertedFileAnswersTheNewShape) {
    const Bytes converted = Convert(Source(), Mode(), m_dir);
    const std::string path = m_dir.File("converted");
    test::WriteAll(path, converted);

    ProbeOutcome expected = Media().probe;
    if (expected != ProbeOutcome::AspectUnknown)
        expected = Mode() == ConversionMode::To16x9 ? ProbeOutcome::Aspect16x9 : ProbeOutcome::Aspect4x3;
    EXPECT_EQ(ProbeSourceAspect(path), expected);
}

INSTANTIATE_TEST_SUITE_P(Files, RealMediaTest,
                         testing::Combine(testing::ValuesIn(MEDIA),
                                          testing::Values(ConversionMode::To16x9, ConversionMode::To4x3)),
                         FileAndModeName);

class RealMediaFileTest : public testing::TestWithParam<MediaFile> {};

// Guards every other row against a file that was remade or replaced with one that has nothing to convert.
TEST_P(RealMediaFileTest, HoldsTheHeadersItIsDescribedWith) {
    const Bytes original = test::ReadAll(DataFile(GetParam().file));
    EXPECT_EQ(AspectBytes(original), std::vector<std::uint8_t>(HEADERS_PER_FILE, GetParam().aspectByte));
}

TEST_P(RealMediaFileTest, ProbeAnswersWhatTheFirstHeaderDeclares) {
    EXPECT_EQ(ProbeSourceAspect(DataFile(GetParam().file)), GetParam().probe);
}

// Flipping a file's shape and flipping it back is lossless when every header declared that shape.
TEST_P(RealMediaFileTest, ConvertingAndConvertingBackGivesTheOriginal) {
    const std::string source = DataFile(GetParam().file);
    const Bytes original = test::ReadAll(source);
    const ConversionMode flip =
        GetParam().probe == ProbeOutcome::Aspect16x9 ? ConversionMode::To4x3 : ConversionMode::To16x9;
    test::TempDir dir;
    const std::string once = dir.File("once");
    const std::string twice = dir.File("twice");
    test::RecordingSink sink;

    ASSERT_EQ(RunConversion(source, once, flip, sink), RunOutcome::Completed);
    ASSERT_EQ(RunConversion(once, twice, Opposite(flip), sink), RunOutcome::Completed);

    const bool unknownShape = GetParam().probe == ProbeOutcome::AspectUnknown;
    EXPECT_EQ(test::ReadAll(once) == original, unknownShape)
        << "whether the first conversion changed nothing";
    EXPECT_TRUE(SameBytes(test::ReadAll(twice), original));
}

INSTANTIATE_TEST_SUITE_P(Files, RealMediaFileTest, testing::ValuesIn(MEDIA), RowName<MediaFile>);

// ffmpeg's mpeg2_metadata filter, which parses the stream, and the byte scan must agree on real video.
struct GoldenCase {
    std::string name;
    std::string source;
    ConversionMode mode;
    std::string expected;
};

void PrintTo(const GoldenCase& row, std::ostream* out) {
    *out << row.name;
}

class GoldenConversionTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenConversionTest, EqualsFfmpegsRewrite) {
    const GoldenCase& c = GetParam();
    test::TempDir dir;
    EXPECT_TRUE(SameBytes(Convert(DataFile(c.source), c.mode, dir), test::ReadAll(DataFile(c.expected))));
}

INSTANTIATE_TEST_SUITE_P(Files, GoldenConversionTest,
                         testing::Values(GoldenCase{"Elementary4x3To16x9", "mpeg2_4x3.m2v",
                                                    ConversionMode::To16x9, "mpeg2_4x3_as_16x9.golden.m2v"},
                                         GoldenCase{"FfmpegOutputBackTo4x3", "mpeg2_4x3_as_16x9.golden.m2v",
                                                    ConversionMode::To4x3, "mpeg2_4x3.m2v"}),
                         RowName<GoldenCase>);

// Real streams laid over the buffer edges: copies of the program stream one after another (as a
// concatenation of program streams still is one), shifted by leading zero bytes so that a sequence
// header sits at a chosen place around the end of the first buffer-full.
struct EdgeCase {
    std::string name;
    std::uint32_t headerBeforeEdge; // bytes of the header that lie in the first buffer-full
};

void PrintTo(const EdgeCase& row, std::ostream* out) {
    *out << row.name;
}

class RealMediaAcrossBufferEdgesTest : public testing::TestWithParam<EdgeCase> {};

TEST_P(RealMediaAcrossBufferEdgesTest, ConversionMatchesTheByteModel) {
    const Bytes stream = test::ReadAll(DataFile("mpeg2_ps_4x3.mpg"));
    Bytes copies;
    while (copies.size() < 2 * std::size_t{CHUNK_SIZE})
        copies.insert(copies.end(), stream.begin(), stream.end());

    std::size_t lastBeforeEdge = 0;
    for (std::size_t i = 0; i + USABLE_HEADER_SIZE <= CHUNK_SIZE; ++i) {
        if (copies[i] == 0x00 && copies[i + 1] == 0x00 && copies[i + 2] == 0x01 && copies[i + 3] == 0xB3)
            lastBeforeEdge = i;
    }
    const std::size_t shift = CHUNK_SIZE - GetParam().headerBeforeEdge - lastBeforeEdge;
    Bytes original(shift, 0x00);
    original.insert(original.end(), copies.begin(), copies.end());
    ASSERT_EQ(original[CHUNK_SIZE - GetParam().headerBeforeEdge + 3], 0xB3);

    test::TempDir dir;
    const std::string source = dir.File("source.mpg");
    const std::string dest = dir.File("dest.mpg");
    test::WriteAll(source, original);
    test::RecordingSink sink;
    ASSERT_EQ(RunConversion(source, dest, ConversionMode::To16x9, sink), RunOutcome::Completed);

    const Bytes converted = test::ReadAll(dest);
    EXPECT_TRUE(SameBytes(converted, test::ReferenceConversion(original, ConversionMode::To16x9)));
    const std::vector<std::uint8_t> aspects = AspectBytes(converted);
    EXPECT_EQ(aspects, std::vector<std::uint8_t>(aspects.size(), 0x33)) << "a header was left as 4:3";
}

INSTANTIATE_TEST_SUITE_P(Offsets, RealMediaAcrossBufferEdgesTest,
                         testing::Values(EdgeCase{"StartCodeCutAfterTwoBytes", 2},
                                         EdgeCase{"AspectByteInTheNextBuffer", 7},
                                         EdgeCase{"AspectByteLastInTheBuffer", 8},
                                         EdgeCase{"HeaderWhollyInTheNextBuffer", 0}),
                         RowName<EdgeCase>);

} // namespace
} // namespace veltrane
