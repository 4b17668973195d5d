// The AVI walk: muxers' files give exactly the video frames and, with vprp set, show the target in every
// reader; OpenDML parts, rec lists and index chunks are walked as what they are; damage refuses.
#include "container/avi_walk.h"
#include "container/bmff_avi_media.h"
#include "conversion_run.h"
#include "in_place_fix.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace veltrane::container {
namespace {

using test::Bytes;

struct WalkResult {
    test::Walked walked;
    AviWalk walk;
};

// Walks the file `window` new bytes at a time after what the last call held back, as the pump will.
WalkResult WalkAll(Bytes& bytes, std::uint32_t window, DeclaredAspect target = DeclaredAspect::Ratio16x9) {
    WalkResult result{{}, AviWalk(target)};
    for (std::uint64_t at = 0, end = 0; end < bytes.size();) {
        end = std::min<std::uint64_t>(end + window, bytes.size());
        // The window grows until what is held back fits.
        at += result.walk.Walk(bytes.data() + at, 0, std::uint32_t(end - at), at, end == bytes.size(),
                               result.walked);
    }
    return result;
}

struct MuxCase {
    const char* name;
    const char* command; // makes $OUT from tests/data's $DATA
    DeclaredAspect target;
};

const MuxCase MUX_CASES[] = {
    {"ffmpeg_4x3_to_16x9", "ffmpeg -nostdin -v error -y -i \"$DATA/mpeg2_ps_4x3.mpg\" -c copy \"$OUT\"",
     DeclaredAspect::Ratio16x9},
    {"ffmpeg_16x9_to_4x3", "ffmpeg -nostdin -v error -y -i \"$DATA/mpeg2_ts_16x9.ts\" -c copy \"$OUT\"",
     DeclaredAspect::Ratio4x3},
    {"avimux_4x3_to_16x9",
     "timeout 60 gst-launch-1.0 -q filesrc location=\"$DATA/mpeg2_4x3.m2v\" ! mpegvideoparse ! avimux name=m "
     "! "
     "filesink location=\"$OUT\" audiotestsrc num-buffers=20 ! audioconvert ! lamemp3enc ! m.",
     DeclaredAspect::Ratio16x9},
    // $AUDIO holds a sequence header in every frame: the audio chunks are never searched.
    {"ffmpeg_look_alikes_in_the_audio",
     "ffmpeg -nostdin -v error -y -i \"$DATA/mpeg2_ps_4x3.mpg\" -i \"$AUDIO\" -map 0:v -map 1:a -c copy "
     "\"$OUT\"",
     DeclaredAspect::Ratio16x9},
};

class AviMux : public testing::TestWithParam<MuxCase> {};

TEST_P(AviMux, HandsTheFramesAndVprpMakesEveryReaderShowTheTarget) {
    const MuxCase& c = GetParam();
    if (!test::HaveTool("ffmpeg -version") || !test::HaveTool("gst-launch-1.0 --version"))
        GTEST_SKIP() << "ffmpeg or GStreamer is missing";
    test::TempDir dir;
    const std::string file = dir.File("out.avi");
    if (std::string(c.command).find("$AUDIO") != std::string::npos) {
        ASSERT_TRUE(test::WriteLookAlikeAudio(dir.File("audio.mp2")));
    }
    ASSERT_TRUE(test::Shell("DATA='" + std::string(VELTRANE_TEST_DATA_DIR) + "' OUT='" + file + "' AUDIO='" +
                            dir.File("audio.mp2") + "' sh -c '" + c.command + "'"));
    Bytes bytes = test::ReadAll(file);
    EXPECT_TRUE(LooksLikeAvi(bytes.data(), static_cast<std::uint32_t>(bytes.size())));

    // Frames in order, across the edges of a small odd window, equal ffmpeg's demultiplexed video; the
    // sequence header after the BITMAPINFOHEADER comes first, on its own.
    const Bytes expected =
        test::Capture("ffmpeg -nostdin -v error -i '" + file + "' -map 0:v -c copy -f mpeg2video -");
    for (const std::uint32_t window : {4093u, 655360u}) {
        const auto [walked, walk] = WalkAll(bytes, window, c.target);
        EXPECT_EQ(walk.Refusal(), "");
        EXPECT_FALSE(walk.Cut());
        ASSERT_EQ(walk.Videos().size(), 1u);
        EXPECT_EQ(walk.Videos()[0].codec, TrackCodec::Mpeg12);
        ASSERT_EQ(walked.segments.size(), 2u) << window;
        EXPECT_TRUE(test::SameBytes(walked.segments[1], expected)) << window;
        const Bytes& config = walked.segments[0];
        EXPECT_TRUE(test::SameBytes(config, Bytes(expected.begin(), expected.begin() + std::ssize(config))));
        ASSERT_EQ(walk.Sites().size(), 1u);
        EXPECT_NE(walk.Sites()[0].declaredBefore, c.target);
    }

    const std::string source = dir.File("in.avi");
    test::WriteAll(source, bytes);
    const std::string muxed = dir.File("muxed.avi");
    test::WriteAll(muxed, bytes);
    AviWalk walk(c.target);
    const auto walkAll = [&](PayloadEvents& events) {
        walk.Walk(bytes.data(), 0, std::uint32_t(bytes.size()), 0, true, events);
    };
    EXPECT_GT(test::ConvertAndJudge(bytes, walkAll, walk.Sites(), c.target, file), 1u);
    // The engine's copy and its fix in place make exactly the bytes the readers judged.
    const ConversionMode mode =
        c.target == DeclaredAspect::Ratio16x9 ? ConversionMode::To16x9 : ConversionMode::To4x3;
    test::RecordingSink sink;
    RunReport report;
    ASSERT_EQ(RunConversion(source, dir.File("copy.avi"), mode, sink, report), RunOutcome::Completed);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("copy.avi")), bytes));
    ASSERT_EQ(FixInPlace(source, mode, sink, report), RunOutcome::Completed);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(source), bytes));
    EXPECT_TRUE(test::DecodesAlike(muxed, {dir.File("copy.avi"), source}));
    // A second pass finds the frame aspect right.
    const WalkResult again = WalkAll(bytes, 655360, c.target);
    ASSERT_EQ(again.walk.Sites().size(), 1u);
    EXPECT_FALSE(again.walk.Sites()[0].Changes());
}

INSTANTIATE_TEST_SUITE_P(Muxers, AviMux, testing::ValuesIn(MUX_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// RIFF built by hand: OpenDML's AVIX part, a rec list, ix## and idx1 indexes, audio, odd sizes. Audio,
// index, JUNK and INFO bodies hold sequence headers; frames are filled with 0x11, 0x22, 0x33.
Bytes Le(std::uint64_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
Bytes Chunk(const char* id, const Bytes& body) {
    return test::Cat({Bytes(id, id + 4), Le(body.size()), body, Bytes(body.size() & 1, 0)});
}
Bytes List(const char* id, const char* form, std::initializer_list<Bytes> children) {
    return Chunk(id, test::Cat({Bytes(form, form + 4), test::Cat(children)}));
}

Bytes SmallAvi() {
    const Bytes header = test::SequenceHeader(0x23);
    const Bytes decoy = test::Cat({header, header});
    const Bytes strh = test::Cat({Bytes{'v', 'i', 'd', 's', 'm', 'p', 'g', '2'}, Bytes(48, 0)});
    const Bytes strf = test::Cat(
        {Bytes(4, 0), Le(720), Le(576), Bytes(4, 0), Bytes{'m', 'p', 'g', '2'}, Bytes(20, 0), header});
    const Bytes vprp = test::Cat({Bytes(20, 0), Le(0x00040003), Bytes(44, 0)});
    const Bytes audio = test::Cat({Bytes{'a', 'u', 'd', 's'}, Bytes(52, 0)});
    const Bytes hdrl =
        List("LIST", "hdrl",
             {Chunk("avih", Bytes(56, 0)),
              List("LIST", "strl",
                   {Chunk("strh", strh), Chunk("strf", strf), Chunk("indx", decoy), Chunk("vprp", vprp)}),
              List("LIST", "strl", {Chunk("strh", audio), Chunk("strf", Bytes(18, 0))})});
    const Bytes movi = List("LIST", "movi",
                            {Chunk("00dc", Bytes(5, 0x11)), Chunk("01wb", decoy), Chunk("00dc", Bytes()),
                             List("LIST", "rec ", {Chunk("00db", Bytes(7, 0x22)), Chunk("01wb", decoy)}),
                             Chunk("ix00", decoy), Chunk("JUNK", decoy)});
    return test::Cat({List("RIFF", "AVI ",
                           {hdrl, List("LIST", "INFO", {Chunk("ISFT", decoy)}), movi, Chunk("idx1", decoy)}),
                      List("RIFF", "AVIX",
                           {List("LIST", "movi", {Chunk("00dc", Bytes(4, 0x33)), Chunk("ix00", decoy)})})});
}

// The size field of the list or chunk whose form or id `name` is first met.
void PutSize(Bytes& bytes, const char* name, std::uint32_t size) {
    const Bytes b = Le(size);
    const auto at = std::search(bytes.begin(), bytes.end(), name, name + 4);
    std::copy(b.begin(), b.end(), at - (name[0] == 'm' ? 4 : -4));
}

struct StructureCase {
    const char* name;
    void (*change)(Bytes& bytes);
    const char* refusal;
    bool cut;
    std::size_t frameBytes; // frame bytes handed over
    std::size_t sites;
};

const StructureCase STRUCTURE_CASES[] = {
    {"opendml_intact", [](Bytes&) {}, "", false, 5 + 7 + 4, 1},
    {"no_vprp_adds_nothing",
     [](Bytes& b) { std::copy_n("JUNK", 4, std::search(b.begin(), b.end(), "vprp", "vprp" + 4)); }, "", false,
     5 + 7 + 4, 0},
    // The AVIX part ends with 00dc (4 bytes) and ix00 (8 + 16): cut two bytes into that frame.
    {"cut_inside_a_frame", [](Bytes& b) { b.resize(b.size() - 26); }, "", true, 5 + 7 + 2, 1},
    {"movi_past_its_riff", [](Bytes& b) { PutSize(b, "movi", 0x7FFFFFF0); },
     "AVI structure is damaged (chunk runs past its list)", false, 0, 1},
    {"list_too_small", [](Bytes& b) { PutSize(b, "movi", 2); }, "AVI structure is damaged (list size)", false,
     0, 1},
    {"strf_past_its_list", [](Bytes& b) { PutSize(b, "strf", 0x8000); },
     "AVI structure is damaged (chunk runs past its list)", false, 0, 0},
    {"not_riff", [](Bytes& b) { b[0] = 'X'; }, "AVI structure is damaged (no RIFF AVI header)", false, 0, 0},
};

class AviStructure : public testing::TestWithParam<StructureCase> {};

TEST_P(AviStructure, WalksOnlyTheVideoChunksOrRefuses) {
    const StructureCase& c = GetParam();
    Bytes bytes = SmallAvi();
    c.change(bytes);
    for (const std::uint32_t window : {13u, 64u, 100000u}) {
        const auto [walked, walk] = WalkAll(bytes, window);
        EXPECT_EQ(walk.Refusal(), c.refusal) << window;
        EXPECT_EQ(walk.Cut(), c.cut) << window;
        EXPECT_EQ(walk.Sites().size(), c.sites) << window;
        const std::vector<Bytes>& segments = walked.segments;
        Bytes frames;
        for (std::size_t i = 1; i < segments.size(); ++i)
            frames.insert(frames.end(), segments[i].begin(), segments[i].end());
        EXPECT_EQ(frames.size(), c.frameBytes) << window;
        for (const std::uint8_t b : frames)
            EXPECT_TRUE(b == 0x11 || b == 0x22 || b == 0x33) << window;
        if (c.frameBytes > 0) {
            EXPECT_TRUE(test::SameBytes(segments[0], test::SequenceHeader(0x23))) << window;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Riff, AviStructure, testing::ValuesIn(STRUCTURE_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace veltrane::container
