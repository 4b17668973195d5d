// Conversions and probes of real MPEG-2 files made by ffmpeg, checked against a byte model and ffmpeg
// itself. MPEG-1's files are mpeg1_test.cpp's.
#include "container/mux_builder.h"
#include "conversion_run.h"
#include "source_probe.h"
#include "test_support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

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

// What ffmpeg says of a file: whether its video decodes without a complaint, and its display aspect.
struct FfmpegVerdict {
    bool decodes = false;
    double aspect = 0;
};

std::optional<FfmpegVerdict> AskFfmpeg(const std::string& path) {
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
        return std::nullopt;
    const auto run = [](const std::string& command) {
        std::string out;
        const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        char chunk[256];
        while (pipe && std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr)
            out += chunk;
        return out;
    };
    FfmpegVerdict verdict;
    verdict.decodes = run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f null - 2>&1").empty();
    unsigned width = 0;
    unsigned height = 0;
    const std::string aspect = run("ffprobe -v error -select_streams v:0 -show_entries "
                                   "stream=display_aspect_ratio -of csv=p=0 '" +
                                   path + "' 2>/dev/null");
    if (std::sscanf(aspect.c_str(), "%u:%u", &width, &height) == 2 && height > 0)
        verdict.aspect = static_cast<double>(width) / height;
    return verdict;
}

struct CutCase {
    const char* name;
    const char* es; // a file of tests/data, repacketised with every header cut
    test::Mux (*build)(const Bytes& es, const std::set<std::size_t>& cuts, std::mt19937& random);
    bool mpeg1;
    double target; // the display aspect after the flip
};

// ffmpeg's own elementary streams, put into transport and program streams that cut every sequence
// header, with other streams' packets between the halves: the flipped copy decodes cleanly and shows
// the new aspect, and equals the payload model byte for byte.
TEST(RealMediaCutHeaders, FlippedCopiesDecodeAndShowTheNewAspect) {
    const CutCase cases[] = {
        {"Transport188", "mpeg2_4x3.m2v",
         [](const Bytes& es, const std::set<std::size_t>& cuts, std::mt19937& random) {
             return test::BuildTransport(es, {false, cuts, {}}, random);
         },
         false, 16.0 / 9.0},
        {"Transport192", "mpeg2_16x9.m2v",
         [](const Bytes& es, const std::set<std::size_t>& cuts, std::mt19937& random) {
             return test::BuildTransport(es, {true, cuts, {}}, random);
         },
         false, 4.0 / 3.0},
        {"Program", "mpeg2_4x3.m2v",
         [](const Bytes& es, const std::set<std::size_t>& cuts, std::mt19937& random) {
             return test::BuildProgram(es, {false, cuts}, random);
         },
         false, 16.0 / 9.0},
        {"Mpeg1System", "mpeg1_vcd_4x3.m1v",
         [](const Bytes& es, const std::set<std::size_t>& cuts, std::mt19937& random) {
             return test::BuildProgram(es, {true, cuts}, random);
         },
         true, 16.0 / 9.0},
    };
    test::TempDir dir;
    for (const CutCase& c : cases) {
        std::mt19937 random(1);
        const Bytes es = test::ReadAll(DataFile(c.es));
        const test::Mux mux = c.build(es, test::CutEveryHeader(es), random);
        const ConversionMode mode = c.target > 1.5 ? ConversionMode::To16x9 : ConversionMode::To4x3;
        test::WriteAll(dir.File("cut.mpg"), mux.file);
        const Bytes flipped = Convert(dir.File("cut.mpg"), mode, dir);
        EXPECT_TRUE(test::SameBytes(flipped, test::ReferenceMuxConversion(mux, mode, c.mpeg1))) << c.name;
        EXPECT_EQ(ProbeSourceAspect(dir.File("out.mpg")),
                  mode == ConversionMode::To16x9 ? ProbeOutcome::Aspect16x9 : ProbeOutcome::Aspect4x3)
            << c.name;
        const std::optional<FfmpegVerdict> ffmpeg = AskFfmpeg(dir.File("out.mpg"));
        if (!ffmpeg) {
            std::fprintf(stderr, "ffmpeg is missing: %s goes undecoded\n", c.name);
            continue;
        }
        EXPECT_TRUE(ffmpeg->decodes) << c.name;
        EXPECT_NEAR(ffmpeg->aspect / c.target, 1.0, 0.03) << c.name;
    }
}

} // namespace
} // namespace veltrane
