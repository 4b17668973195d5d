// The target table of H.264 and HEVC flips, row by row, and what each refusal costs in bits.
#include "video/sample_aspect.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

struct TableRow {
    std::string name;
    std::uint32_t width;
    std::uint32_t height;
    SampleAspect at4x3; // what a flip to 4:3 writes, and a flip back from 16:9 reads
    SampleAspect at16x9;
};

constexpr SampleAspect Code(std::uint8_t idc) {
    return {idc, 0, 0};
}
constexpr SampleAspect Sar(std::uint16_t w, std::uint16_t h) {
    return {EXTENDED_SAR, w, h};
}

class SampleAspectTable : public testing::TestWithParam<TableRow> {};

// Each row's two aspects flip into each other, in either direction, and each is already its own shape.
TEST_P(SampleAspectTable, FlipsBetweenTheRowsTwoAspects) {
    const TableRow& row = GetParam();
    for (const VideoCodec codec : {VideoCodec::H264, VideoCodec::Hevc}) {
        const AspectPlan to16x9 =
            PlanSampleAspect(codec, row.width, row.height, true, row.at4x3, ConversionMode::To16x9);
        EXPECT_EQ(to16x9.kind, AspectPlan::Kind::Change);
        EXPECT_EQ(to16x9.to, row.at16x9);
        const AspectPlan to4x3 =
            PlanSampleAspect(codec, row.width, row.height, true, row.at16x9, ConversionMode::To4x3);
        EXPECT_EQ(to4x3.kind, AspectPlan::Kind::Change);
        EXPECT_EQ(to4x3.to, row.at4x3);
        EXPECT_EQ(PlanSampleAspect(codec, row.width, row.height, true, row.at4x3, ConversionMode::To4x3).kind,
                  AspectPlan::Kind::Unchanged);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SampleAspectTable,
    testing::Values(
        TableRow{"Pal720", 720, 576, Code(2), Code(4)}, TableRow{"Pal704", 704, 576, Code(2), Code(4)},
        TableRow{"Cif", 352, 288, Code(2), Code(4)}, TableRow{"Ntsc720", 720, 480, Code(3), Code(5)},
        TableRow{"Ntsc704", 704, 480, Code(3), Code(5)}, TableRow{"Sif", 352, 240, Code(3), Code(5)},
        TableRow{"Pal528", 528, 576, Code(4), Code(12)}, TableRow{"Ntsc528", 528, 480, Code(5), Code(13)},
        TableRow{"Pal480", 480, 576, Code(10), Code(6)}, TableRow{"Ntsc480", 480, 480, Code(11), Code(7)},
        TableRow{"Pal352", 352, 576, Code(6), Code(8)}, TableRow{"Ntsc352", 352, 480, Code(7), Code(9)},
        TableRow{"Hdv", 1440, 1080, Code(1), Code(14)}, TableRow{"Vga", 640, 480, Code(1), Code(14)},
        TableRow{"Hd960x720", 960, 720, Code(1), Code(14)},
        TableRow{"Half1080", 960, 1080, Code(15), Code(16)},
        TableRow{"Pal720Exact", 720, 576, Sar(16, 15), Sar(64, 45)},
        TableRow{"Ntsc720Exact", 720, 480, Sar(8, 9), Sar(32, 27)},
        TableRow{"ExtendedTableRatioKeepsTheTable", 720, 576, Sar(12, 11), Sar(16, 11)},
        TableRow{"OtherSizeExtended", 1000, 600, Sar(4, 5), Sar(16, 15)}),
    [](const testing::TestParamInfo<TableRow>& row) { return row.param.name; });

struct RefusalRow {
    std::string name;
    VideoCodec codec;
    std::uint32_t width;
    std::uint32_t height;
    bool vui;
    std::optional<SampleAspect> present;
    ConversionMode mode;
    AspectRefusal refusal;
    int bits;
    std::string remux; // what the message offers instead
};

TEST(SampleAspectRefusals, EachSaysWhyInBitsAndHowARemuxWouldDoIt) {
    const RefusalRow rows[] = {
        {"Square720pTo4x3", VideoCodec::Hevc, 1280, 720, true, Code(1), ConversionMode::To4x3,
         AspectRefusal::NeedsAnotherCoding, 32, "hevc_metadata=sample_aspect_ratio=3/4"},
        {"DvcproHdTo4x3", VideoCodec::H264, 1280, 1080, true, Code(15), ConversionMode::To4x3,
         AspectRefusal::NeedsAnotherCoding, 32, "sample_aspect_ratio=9/8"},
        {"NoAspectInfoNoTableCode", VideoCodec::Hevc, 1920, 1080, true, std::nullopt, ConversionMode::To4x3,
         AspectRefusal::NoAspectInfo, 40, "sample_aspect_ratio=3/4"},
    };
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.name);
        const AspectPlan plan =
            PlanSampleAspect(row.codec, row.width, row.height, row.vui, row.present, row.mode);
        EXPECT_EQ(plan.kind, AspectPlan::Kind::Refused);
        EXPECT_EQ(plan.refusal, row.refusal);
        EXPECT_EQ(plan.bitsNeeded, row.bits);
        const std::string text = RefusalText(row.codec, plan);
        EXPECT_NE(text.find(std::to_string(row.bits) + " bits more"), std::string::npos) << text;
        EXPECT_NE(text.find(row.remux), std::string::npos) << text;
    }
}

// Square pixels say nothing more than a missing aspect does: a 1920x1080 picture without one is
// already 16:9, and a reserved code or an unspecified pair is no shape, left alone.
TEST(SampleAspectRefusals, WhatPlayersAlreadyShowIsNoRefusal) {
    EXPECT_EQ(
        PlanSampleAspect(VideoCodec::H264, 1920, 1080, false, std::nullopt, ConversionMode::To16x9).kind,
        AspectPlan::Kind::Unchanged);
    EXPECT_EQ(PlanSampleAspect(VideoCodec::H264, 720, 576, true, Code(0), ConversionMode::To16x9).kind,
              AspectPlan::Kind::OtherShape);
    EXPECT_EQ(PlanSampleAspect(VideoCodec::H264, 720, 576, true, Code(17), ConversionMode::To16x9).kind,
              AspectPlan::Kind::OtherShape);
    EXPECT_EQ(PlanSampleAspect(VideoCodec::Hevc, 720, 576, true, Sar(0, 11), ConversionMode::To4x3).kind,
              AspectPlan::Kind::OtherShape);
}

} // namespace
} // namespace veltrane
