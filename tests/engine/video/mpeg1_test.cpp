// MPEG-1's aspect code is a pel aspect ratio: what it says and what a run makes of it, by the rule,
// in multiplexes whose headers are cut, and on real files made by ffmpeg.
#include "container/mux_builder.h"
#include "conversion_run.h"
#include "header_scan.h"
#include "source_probe.h"
#include "test_support.h"
#include "video/aspect_rule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>

namespace veltrane {
namespace {

using test::Bytes;

struct RuleCase {
    const char* name;
    std::uint32_t width;
    std::uint32_t height;
    std::uint8_t byte;
    DeclaredAspect declared;
    std::uint8_t to16x9; // what each run writes
    std::uint8_t to4x3;
};

// The codes ffmpeg picks for these sizes are the nearest ones, so a flip lands on them too.
TEST(Mpeg1AspectRule, ReadsThePelRatioAgainstTheSizeAndFlipsToTheNearestCode) {
    const RuleCase cases[] = {
        {"Pal16x9", 720, 576, 0x33, DeclaredAspect::Ratio16x9, 0x33, 0x83},
        {"Pal4x3", 720, 576, 0x83, DeclaredAspect::Ratio4x3, 0x33, 0x83},
        {"Cif16x9", 352, 288, 0x23, DeclaredAspect::Ratio16x9, 0x23, 0x83},
        {"Cif4x3", 352, 288, 0x85, DeclaredAspect::Ratio4x3, 0x25, 0x85},
        {"Sif4x3", 352, 240, 0xC3, DeclaredAspect::Ratio4x3, 0x63, 0xC3},
        {"Sif16x9", 352, 240, 0x63, DeclaredAspect::Ratio16x9, 0x63, 0xC3},
        {"SquarePels4x3", 640, 480, 0x14, DeclaredAspect::Ratio4x3, 0x44, 0x14},
        {"SquarePelsPal", 720, 576, 0x13, DeclaredAspect::Unknown, 0x13, 0x13},
        {"WiderThan16x9", 720, 576, 0x23, DeclaredAspect::Unknown, 0x23, 0x23},
        {"ForbiddenCode", 720, 576, 0x03, DeclaredAspect::Unknown, 0x03, 0x03},
        {"ReservedCode", 720, 576, 0xF3, DeclaredAspect::Unknown, 0xF3, 0xF3},
        {"NoSize", 0, 0, 0x83, DeclaredAspect::Unknown, 0x83, 0x83},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(ClassifyMpeg1Aspect(c.byte, c.width, c.height), c.declared) << c.name;
        EXPECT_EQ(RewriteMpeg1Aspect(c.byte, c.width, c.height, ConversionMode::To16x9), c.to16x9) << c.name;
        EXPECT_EQ(RewriteMpeg1Aspect(c.byte, c.width, c.height, ConversionMode::To4x3), c.to4x3) << c.name;
    }
}

// A stream is MPEG-1 when its first header is followed by a GOP rather than a sequence extension, and
// that first header may be cut, with its follower packets away, past a buffer's edge.
TEST(Mpeg1Streams, CutHeadersInMultiplexesFollowTheMpeg1Rule) {
    for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
        std::mt19937 random(17);
        // 720 x 576: 4:3 is code 8, 16:9 code 3.
        const Bytes es =
            test::SyntheticVideo(7, mode == ConversionMode::To16x9 ? 0x83 : 0x33, false, 2000, random);
        const std::set<std::size_t> cuts = test::CutEveryHeader(es);
        const test::Mux muxes[] = {
            test::BuildProgram(es, {true, cuts}, random),
            test::BuildTransport(es, {false, cuts, {}}, random),
            test::BuildTransport(es, {true, cuts, {}}, random),
        };
        for (const test::Mux& mux : muxes) {
            const Bytes expected = test::ReferenceMuxConversion(mux, mode, true);
            ASSERT_NE(expected, test::ReferenceMuxConversion(mux, mode, false));
            for (const std::size_t size : {4099u, 65537u, CHUNK_SIZE})
                EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, mode, size), expected))
                    << "buffers of " << size;
        }
    }
}

// Headers that lead nowhere recognisable keep MPEG-2's meaning, as every header had before.
TEST(Mpeg1Streams, AHeaderWithoutAKnownFollowerKeepsTheMpeg2Meaning) {
    const Bytes header{0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x13, 0x88, 0x1F, 0xFC};
    const Bytes gop{0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40};
    struct Case {
        const char* name;
        Bytes tail;          // what follows the 12-byte header
        std::uint8_t to16x9; // the aspect byte a run to 16:9 writes
    };
    const Case cases[] = {
        {"Gop", gop, 0x23}, // MPEG-1, 720 x 576 code 2 is no 4:3 picture: left alone
        {"ZeroStuffingThenGop", Bytes{0x00, 0x00, 0x00, 0x00, 0x01, 0xB8, 0x00}, 0x23},
        {"SequenceExtension", Bytes{0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A}, 0x33},
        {"PictureStart", Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x0F}, 0x33},
        {"Garbage", Bytes{0x12, 0x34, 0x00, 0x00, 0x01, 0xB8}, 0x33},
        {"EndOfFile", Bytes{}, 0x33},
    };
    for (const Case& c : cases) {
        Bytes file = header;
        // Byte by byte: mingw's g++ 12 takes a range insert after the copy for an out-of-bounds move.
        std::copy(c.tail.begin(), c.tail.end(), std::back_inserter(file));
        for (const std::size_t size : {1031u, CHUNK_SIZE})
            EXPECT_EQ(test::WalkInBuffers(file, ConversionMode::To16x9, size)[7], c.to16x9) << c.name;
    }
    // A header that loads both quantiser matrices is 140 bytes long; the GOP comes after them.
    Bytes matrices(140, 0x10);
    std::copy(header.begin(), header.end(), matrices.begin());
    matrices[11] |= 0x03;
    matrices[75] = 0x11;
    std::copy(gop.begin(), gop.end(), std::back_inserter(matrices));
    EXPECT_EQ(test::WalkInBuffers(matrices, ConversionMode::To16x9, CHUNK_SIZE)[7], 0x23);
    matrices[75] = 0x10; // no non-intra matrix: the header would end at 76, in the middle of nothing
    EXPECT_EQ(test::WalkInBuffers(matrices, ConversionMode::To16x9, CHUNK_SIZE)[7], 0x33);
}

std::string DataFile(const std::string& name) {
    return std::string(VELTRANE_TEST_DATA_DIR) + "/" + name;
}

// ffprobe's display aspect of a file as a number, or nothing without ffprobe.
std::optional<double> FfprobeDisplayAspect(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
        "-of csv=p=0 '" +
        path + "' 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    unsigned width = 0;
    unsigned height = 0;
    if (!pipe || std::fscanf(pipe.get(), "%u:%u", &width, &height) != 2 || height == 0)
        return std::nullopt;
    return static_cast<double>(width) / height;
}

bool HaveFfprobe() {
    return std::system("ffprobe -version >/dev/null 2>&1") == 0;
}

struct Mpeg1File {
    const char* file;
    ProbeOutcome probe;
};

// tests/data/README.md tells how each was made. Each probes as the shape it was made with; a run to
// the other shape changes exactly its headers' aspect codes, the copy probes as that shape (to us and
// to ffprobe), and a run back gives the original again.
TEST(Mpeg1RealMedia, ProbeAndFlipBothWaysAsFfmpegMeansTheShape) {
    const Mpeg1File files[] = {
        {"mpeg1_vcd_4x3.m1v", ProbeOutcome::Aspect4x3},
        {"mpeg1_352x288_4x3.m1v", ProbeOutcome::Aspect4x3},
        {"mpeg1_352x288_16x9.m1v", ProbeOutcome::Aspect16x9},
        {"mpeg1_352x240_4x3.m1v", ProbeOutcome::Aspect4x3},
        {"mpeg1_352x240_16x9.m1v", ProbeOutcome::Aspect16x9},
        {"mpeg1_720x576_4x3.m1v", ProbeOutcome::Aspect4x3},
        {"mpeg1_720x576_16x9.m1v", ProbeOutcome::Aspect16x9},
        {"mpeg1_352x288_4x3.mpg", ProbeOutcome::Aspect4x3},
        {"mpeg1_352x288_16x9.mpg", ProbeOutcome::Aspect16x9},
        {"mpeg1_352x240_4x3.mpg", ProbeOutcome::Aspect4x3},
        {"mpeg1_352x240_16x9.mpg", ProbeOutcome::Aspect16x9},
        {"mpeg1_720x576_4x3.mpg", ProbeOutcome::Aspect4x3},
        {"mpeg1_720x576_16x9.mpg", ProbeOutcome::Aspect16x9},
    };
    const bool ffprobe = HaveFfprobe();
    if (!ffprobe)
        std::fprintf(stderr, "ffprobe is missing: the display aspects of the copies go unchecked by it\n");
    test::TempDir dir;
    for (const Mpeg1File& f : files) {
        const std::string source = DataFile(f.file);
        EXPECT_EQ(ProbeSourceAspect(source), f.probe) << f.file;
        const bool wide = f.probe == ProbeOutcome::Aspect16x9;
        const ConversionMode flip = wide ? ConversionMode::To4x3 : ConversionMode::To16x9;
        const ConversionMode keep = wide ? ConversionMode::To16x9 : ConversionMode::To4x3;
        test::RecordingSink sink;
        RunReport report;
        ASSERT_EQ(RunConversion(source, dir.File("flipped.mpg"), flip, sink, report), RunOutcome::Completed);
        EXPECT_EQ(report.headersRewritten, report.headersFound) << f.file;
        const Bytes original = test::ReadAll(source);
        const Bytes flipped = test::ReadAll(dir.File("flipped.mpg"));
        std::size_t changed = 0;
        for (std::size_t i = 0; i < original.size() && i < flipped.size(); ++i) {
            if (flipped[i] != original[i]) {
                ++changed;
                EXPECT_EQ(flipped[i] & 0x0F, original[i] & 0x0F) << f.file << " at " << i;
            }
        }
        EXPECT_EQ(changed, report.headersFound) << f.file;
        // The scan tells the same bytes, and what they declare.
        struct Sites final : ScanSink {
            void Header(const HeaderSite& site) override { list.push_back(site); }
            std::vector<HeaderSite> list;
        } scan;
        ASSERT_EQ(ScanFile(source, flip, scan), RunOutcome::Completed);
        ASSERT_EQ(scan.list.size(), report.headersFound) << f.file;
        for (const HeaderSite& site : scan.list) {
            EXPECT_TRUE(site.mpeg1) << f.file;
            EXPECT_EQ(site.declared, wide ? DeclaredAspect::Ratio16x9 : DeclaredAspect::Ratio4x3) << f.file;
            EXPECT_EQ(site.rewritten, flipped[site.aspectOffset]) << f.file;
        }
        EXPECT_EQ(ProbeSourceAspect(dir.File("flipped.mpg")),
                  wide ? ProbeOutcome::Aspect4x3 : ProbeOutcome::Aspect16x9)
            << f.file;
        if (ffprobe) {
            const std::optional<double> shape = FfprobeDisplayAspect(dir.File("flipped.mpg"));
            ASSERT_TRUE(shape.has_value()) << f.file;
            EXPECT_NEAR(*shape / (wide ? 4.0 / 3.0 : 16.0 / 9.0), 1.0, 0.03) << f.file;
        }

        ASSERT_EQ(RunConversion(source, dir.File("kept.mpg"), keep, sink), RunOutcome::Completed);
        EXPECT_EQ(test::ReadAll(dir.File("kept.mpg")), original) << f.file;
        ASSERT_EQ(RunConversion(dir.File("flipped.mpg"), dir.File("back.mpg"), keep, sink),
                  RunOutcome::Completed);
        EXPECT_EQ(test::ReadAll(dir.File("back.mpg")), original) << f.file;
    }
}

} // namespace
} // namespace veltrane
