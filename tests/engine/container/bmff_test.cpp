// The MP4 / MOV index and walk: real muxers' files give exactly the video track's bytes and, with their
// sites applied, show the target shape in every reader; damaged boxes refuse and hand nothing over.
#include "container/bmff_avi_media.h"
#include "container/bmff_index.h"
#include "conversion_run.h"
#include "in_place_fix.h"

#include <gtest/gtest.h>

namespace veltrane::container {
namespace {

using test::Bytes;

struct MemorySource final : ByteSource {
    explicit MemorySource(const Bytes& bytes) : m_bytes(bytes) {}
    std::uint64_t Size() const override { return m_bytes.size(); }
    bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) const override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset)
            return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, data);
        return true;
    }
    const Bytes& m_bytes;
};

// Walks the file in windows of `window` bytes, as the pump would.
test::Walked WalkAll(Bytes& bytes, const BmffIndex& index, std::uint32_t window) {
    test::Walked walked;
    ExtentWalk walk(index.extents, index.trackId);
    for (std::uint64_t at = 0; at < bytes.size(); at += window) {
        const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(window, bytes.size() - at));
        EXPECT_EQ(walk.Walk(bytes.data() + at, size, at, walked), size);
    }
    return walked;
}

// The configuration records' bytes, and the payload without them: every segment but the record's.
Bytes ConfigOf(const Bytes& bytes, const BmffIndex& index) {
    Bytes config;
    for (const PayloadExtent& e : index.extents)
        if (e.config)
            config.insert(config.end(), bytes.begin() + std::ptrdiff_t(e.offset),
                          bytes.begin() + std::ptrdiff_t(e.offset + e.size));
    return config;
}
Bytes SamplesOf(const test::Walked& walked, const Bytes& config) {
    Bytes samples;
    std::size_t records = 0;
    for (const Bytes& segment : walked.segments)
        if (segment == config && ++records == 1)
            continue;
        else
            samples.insert(samples.end(), segment.begin(), segment.end());
    EXPECT_EQ(records, 1u);
    return samples;
}

enum class Variant {
    AsMuxed,
    NoPasp,  // pasp renamed free: the stream's own aspect governs, tkhd still carries a display width
    Rotated, // a tkhd matrix that turns the picture
    Mpeg1,   // mp4v of object type 0x6A
};

struct MuxCase {
    const char* name;
    const char* source;  // in tests/data
    const char* options; // ffmpeg's output options
    const char* file;
    DeclaredAspect target;
    bool fragmented;
    bool tapt;
    Variant variant = Variant::AsMuxed;
};

// ffmpeg's MP4 keeps moov at the end unless asked, with esds; MOV adds tapt and glbl; fragments carry
// the samples in moof/mdat pairs after an empty moov.
const MuxCase MUX_CASES[] = {
    {"mp4_moov_last", "mpeg2_ps_4x3.mpg", "-c copy", "out.mp4", DeclaredAspect::Ratio16x9, false, false},
    {"mp4_faststart", "mpeg2_ps_4x3.mpg", "-c copy -movflags +faststart", "out.mp4",
     DeclaredAspect::Ratio16x9, false, false},
    {"mp4_fragmented", "mpeg2_ps_4x3.mpg", "-c copy -movflags frag_keyframe+empty_moov", "out.mp4",
     DeclaredAspect::Ratio16x9, true, false},
    {"mov_wide_to_4x3", "mpeg2_ts_16x9.ts", "-c copy", "out.mov", DeclaredAspect::Ratio4x3, false, true},
    {"mov_faststart", "mpeg2_ps_4x3.mpg", "-c copy -movflags +faststart", "out.mov",
     DeclaredAspect::Ratio16x9, false, true},
    {"mp4_wide_to_4x3", "mpeg2_ts_16x9.ts", "-c copy", "out.mp4", DeclaredAspect::Ratio4x3, false, false},
    {"mp4_without_pasp", "mpeg2_ps_4x3.mpg", "-c copy", "out.mp4", DeclaredAspect::Ratio16x9, false, false,
     Variant::NoPasp},
    {"mp4_rotated", "mpeg2_ps_4x3.mpg", "-c copy -metadata:s:v:0 rotate=90", "out.mp4",
     DeclaredAspect::Ratio16x9, false, false, Variant::Rotated},
    {"mp4_mpeg1", "mpeg1_vcd_4x3.m1v", "-c copy", "out.mp4", DeclaredAspect::Ratio16x9, false, false,
     Variant::Mpeg1},
    // AUDIO holds a sequence header in every frame: the audio track's samples are never searched.
    {"mp4_look_alikes_in_the_audio", "mpeg2_ps_4x3.mpg", "-i AUDIO -map 0:v -map 1:a -c copy", "out.mp4",
     DeclaredAspect::Ratio16x9, false, false},
    {"mov_look_alikes_in_the_audio", "mpeg2_ps_4x3.mpg", "-i AUDIO -map 0:v -map 1:a -c copy", "out.mov",
     DeclaredAspect::Ratio16x9, false, true},
};

class BmffMux : public testing::TestWithParam<MuxCase> {};

TEST_P(BmffMux, HandsTheVideoBytesAndItsSitesMakeEveryReaderShowTheTarget) {
    const MuxCase& c = GetParam();
    if (!test::HaveTool("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    test::TempDir dir;
    const std::string file = dir.File(c.file);
    std::string options = c.options;
    if (const std::size_t at = options.find("AUDIO"); at != std::string::npos) {
        ASSERT_TRUE(test::WriteLookAlikeAudio(dir.File("audio.mp2")));
        options.replace(at, 5, "'" + dir.File("audio.mp2") + "'");
    }
    ASSERT_TRUE(test::Shell("ffmpeg -nostdin -v error -y -i '" + test::DataFile(c.source) + "' " + options +
                            " '" + file + "'"));
    Bytes bytes = test::ReadAll(file);
    if (c.variant == Variant::NoPasp) {
        const auto pasp = std::search(bytes.begin(), bytes.end(), "pasp", "pasp" + 4);
        ASSERT_NE(pasp, bytes.end());
        std::copy_n("free", 4, pasp);
    }
    const BmffIndex index = IndexBmff(MemorySource(bytes));
    ASSERT_EQ(index.outcome, IndexOutcome::Indexed) << index.refusal;
    EXPECT_TRUE(LooksLikeBmff(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(index.codec, TrackCodec::Mpeg12);
    EXPECT_EQ(index.version, c.variant == Variant::Mpeg1 ? Mpeg12Version::Mpeg1 : Mpeg12Version::Mpeg2);
    EXPECT_EQ(index.fragmented, c.fragmented);
    EXPECT_EQ(index.clefWidth.has_value(), c.tapt);
    EXPECT_EQ(index.matrixNotIdentity, c.variant == Variant::Rotated);
    EXPECT_EQ(index.StreamGoverns(), c.variant == Variant::NoPasp);

    // Pieces in file order, across every buffer edge of an odd window, equal ffmpeg's demultiplexed
    // video, with the configuration record (the first sequence header and its extension) between breaks.
    const Bytes expected = test::Capture("ffmpeg -nostdin -v error -i '" + file + "' -map 0:v -c copy -f " +
                                         (c.variant == Variant::Mpeg1 ? "mpeg1video" : "mpeg2video") + " -");
    const Bytes config = ConfigOf(bytes, index);
    ASSERT_FALSE(config.empty());
    EXPECT_TRUE(test::SameBytes(config, Bytes(expected.begin(), expected.begin() + std::ssize(config))));
    for (const std::uint32_t window : {4093u, 655360u})
        EXPECT_TRUE(test::SameBytes(SamplesOf(WalkAll(bytes, index, window), config), expected)) << window;

    const std::vector<AspectSite> sites = index.SitesFor(c.target);
    if (c.variant == Variant::NoPasp) {
        ASSERT_EQ(sites.size(), 1u); // tkhd carried 384, the display width of 4:3
        EXPECT_STREQ(sites[0].what, "tkhd width");
    }
    const auto walk = [&](PayloadEvents& events) {
        ExtentWalk(index.extents, index.trackId).Walk(bytes.data(), std::uint32_t(bytes.size()), 0, events);
    };
    if (c.variant == Variant::Rotated)
        return; // players show it turned: the readers' aspect is not the picture's
    const std::string source = dir.File(std::string("in-") + c.file);
    test::WriteAll(source, bytes);
    const std::string muxed = dir.File(std::string("muxed-") + c.file);
    test::WriteAll(muxed, bytes);
    // MPEG-1's nearest pel code is within 3 % of the shape (1.815 for 16:9 at 352x288); all agree on it.
    const bool mpeg1 = c.variant == Variant::Mpeg1;
    EXPECT_GT(test::ConvertAndJudge(bytes, walk, sites, c.target, file, mpeg1, mpeg1 ? 0.05 : 0.01), 0u);
    // The engine's copy and its fix in place make exactly the bytes the readers judged.
    const ConversionMode mode =
        c.target == DeclaredAspect::Ratio16x9 ? ConversionMode::To16x9 : ConversionMode::To4x3;
    test::RecordingSink sink;
    RunReport report;
    ASSERT_EQ(RunConversion(source, dir.File("copy"), mode, sink, report), RunOutcome::Completed);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("copy")), bytes));
    ASSERT_EQ(FixInPlace(source, mode, sink, report), RunOutcome::Completed);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(source), bytes));
    EXPECT_TRUE(test::DecodesAlike(muxed, {dir.File("copy"), source}));
    // A second pass finds nothing left to do.
    const BmffIndex again = IndexBmff(MemorySource(bytes));
    for (const AspectSite& site : again.SitesFor(c.target))
        EXPECT_FALSE(site.Changes()) << site.what;
    EXPECT_EQ(again.Declared(), c.target);
}

INSTANTIATE_TEST_SUITE_P(Muxers, BmffMux, testing::ValuesIn(MUX_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// GStreamer's qtmux takes no MPEG-2, so its file is H.264: the walk must still give exactly the samples.
TEST(BmffIndex, QtmuxH264SamplesAreTheTrackBytes) {
    if (!test::HaveTool("gst-launch-1.0 --version") || !test::HaveTool("ffmpeg -version"))
        GTEST_SKIP() << "GStreamer or ffmpeg is missing";
    test::TempDir dir;
    const std::string file = dir.File("qt.mov");
    ASSERT_TRUE(test::Shell(
        "timeout 60 gst-launch-1.0 -q videotestsrc num-buffers=10 ! "
        "video/x-raw,width=352,height=288,pixel-aspect-ratio=12/11 ! x264enc ! h264parse ! "
        "qtmux name=m ! filesink location='" +
        file + "' audiotestsrc num-buffers=20 ! audioconvert ! lamemp3enc ! mpegaudioparse ! m."));
    Bytes bytes = test::ReadAll(file);
    const BmffIndex index = IndexBmff(MemorySource(bytes));
    ASSERT_EQ(index.outcome, IndexOutcome::Indexed) << index.refusal;
    EXPECT_EQ(index.codec, TrackCodec::H264);
    const Bytes avcC = ConfigOf(bytes, index);
    EXPECT_FALSE(avcC.empty());
    EXPECT_TRUE(
        test::SameBytes(SamplesOf(WalkAll(bytes, index, 1000), avcC),
                        test::Capture("ffmpeg -v error -i '" + file + "' -map 0:v -c copy -f data -")));
    const std::vector<AspectSite> sites = index.SitesFor(DeclaredAspect::Ratio16x9);
    ASSERT_FALSE(sites.empty());
    EXPECT_EQ(Bytes(sites[0].after, sites[0].after + 8), Bytes({0, 0, 0, 16, 0, 0, 0, 11})); // at 352x288
}

Bytes Be(std::uint64_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
using test::Cat;
Bytes Box(const char* type, const Bytes& body) {
    return Cat({Be(body.size() + 8), Bytes(type, type + 4), body});
}

// ftyp; mdat of two samples (a sequence header, 8 bytes); moov of one MPEG-2 track at 720x576 with
// glbl, pasp 16:15 and tkhd's width 768.
Bytes SmallMovie() {
    const Bytes header = test::SequenceHeader(0x23);
    const Bytes ftyp = Box("ftyp", Cat({Bytes{'i', 's', 'o', 'm'}, Be(0)}));
    const Bytes tkhd = Cat({Bytes(12, 0), Be(1), Bytes(24, 0), Be(0x10000), Bytes(12, 0), Be(0x10000),
                            Bytes(12, 0), Be(0x40000000), Be(768 << 16), Be(576 << 16)});
    const Bytes visual =
        Cat({Bytes(6, 0), Bytes{0, 1}, Bytes(16, 0), Bytes{0x02, 0xD0, 0x02, 0x40}, Bytes(50, 0)});
    const Bytes entry = Box("m2v1", Cat({visual, Box("glbl", header), Box("pasp", Cat({Be(16), Be(15)}))}));
    const Bytes stbl = Box("stbl", Cat({Box("stsd", Cat({Be(0), Be(1), entry})),
                                        Box("stsz", Cat({Be(0), Be(0), Be(2), Be(header.size()), Be(8)})),
                                        Box("stsc", Cat({Be(0), Be(1), Be(1), Be(2), Be(1)})),
                                        Box("stco", Cat({Be(0), Be(1), Be(ftyp.size() + 8)}))}));
    const Bytes minf =
        Box("minf", Cat({Box("dinf", Box("dref", Cat({Be(0), Be(1), Box("url ", Be(1))}))), stbl}));
    const Bytes hdlr = Box("hdlr", Cat({Be(0), Be(0), Bytes{'v', 'i', 'd', 'e'}, Bytes(12, 0)}));
    const Bytes trak = Box("trak", Cat({Box("tkhd", tkhd), Box("mdia", Cat({hdlr, minf}))}));
    return Cat({ftyp, Box("mdat", Cat({header, Bytes(8, 0x55)})), Box("moov", trak)});
}

// The index is read ahead of the data: a device or pipe is refused before anything is read.
TEST(BmffIndex, NeedsASeekableFile) {
    test::TempDir dir;
    test::WriteAll(dir.File("small.mp4"), SmallMovie());
    EXPECT_EQ(IndexBmff(io::OpenForSequentialRead(dir.File("small.mp4"))).outcome, IndexOutcome::Indexed);
    const BmffIndex device = IndexBmff(io::OpenForStreamRead("/dev/null"));
    EXPECT_EQ(device.outcome, IndexOutcome::Refused);
    EXPECT_EQ(device.refusal, "MP4 needs a seekable file");
}

// Where a box's size field lies, and a 32-bit field `at` bytes into the box put to `value`.
std::size_t Where(const Bytes& bytes, const char* type) {
    return std::size_t(std::search(bytes.begin(), bytes.end(), type, type + 4) - bytes.begin()) - 4;
}
void Put(Bytes& bytes, const char* type, std::size_t at, std::uint64_t value) {
    const Bytes b = Be(value);
    std::copy(b.begin(), b.end(), bytes.begin() + std::ptrdiff_t(Where(bytes, type) + at));
}

struct DamageCase {
    const char* name;
    void (*damage)(Bytes& bytes);
    IndexOutcome outcome;
    const char* refusal;
};

const DamageCase DAMAGE_CASES[] = {
    {"intact", [](Bytes&) {}, IndexOutcome::Indexed, ""},
    {"not_boxes", [](Bytes& b) { b[4] = 'x'; }, IndexOutcome::NotThisFormat, ""},
    {"moov_past_the_end", [](Bytes& b) { Put(b, "moov", 0, 0x7FFFFFF0); }, IndexOutcome::Refused,
     "MP4 structure is damaged (box runs past the end of the file)"},
    {"box_smaller_than_header", [](Bytes& b) { Put(b, "moov", 0, 4); }, IndexOutcome::Refused,
     "MP4 structure is damaged (box smaller than its header)"},
    {"zero_size_inside_moov", [](Bytes& b) { Put(b, "trak", 0, 0); }, IndexOutcome::Refused,
     "MP4 structure is damaged (moov)"},
    {"child_past_its_parent", [](Bytes& b) { Put(b, "stsz", 0, 0x1000); }, IndexOutcome::Refused,
     "MP4 structure is damaged (stbl)"},
    {"absurd_sample_count", [](Bytes& b) { Put(b, "stsz", 16, 0x10000000); }, IndexOutcome::Refused,
     "MP4 structure is damaged (stsz count past its box)"},
    {"absurd_stsc_count", [](Bytes& b) { Put(b, "stsc", 12, 0xFFFFFFFF); }, IndexOutcome::Refused,
     "MP4 structure is damaged (stsc count past its box)"},
    {"samples_in_moov", [](Bytes& b) { Put(b, "stco", 16, Where(b, "moov") + 8); }, IndexOutcome::Refused,
     "MP4 sample table points outside the media data"},
    {"samples_past_the_end", [](Bytes& b) { Put(b, "stco", 16, 0xFFFFFF00); }, IndexOutcome::Refused,
     "MP4 sample table points past the end of the file"},
    {"no_mdat", [](Bytes& b) { b[Where(b, "mdat") + 4] = 'f'; }, IndexOutcome::Refused,
     "MP4 sample table points outside the media data"},
    {"no_moov", [](Bytes& b) { b[Where(b, "moov") + 4] = 'x'; }, IndexOutcome::Refused,
     "MP4 index (moov) is missing"},
    {"no_video", [](Bytes& b) { b[Where(b, "hdlr") + 16] = 's'; }, IndexOutcome::Refused,
     "MP4 has no video track"},
    {"data_in_another_file", [](Bytes& b) { Put(b, "url ", 8, 0); }, IndexOutcome::Refused,
     "MP4 sample data in another file (dref)"},
    {"encrypted", [](Bytes& b) { std::copy_n("encv", 4, b.begin() + std::ptrdiff_t(Where(b, "m2v1") + 4)); },
     IndexOutcome::Refused, "MP4 video track is encrypted"},
    {"cut_in_moov", [](Bytes& b) { b.resize(b.size() - 10); }, IndexOutcome::Refused,
     "MP4 structure is damaged (box runs past the end of the file)"},
};

class BmffDamage : public testing::TestWithParam<DamageCase> {};

TEST_P(BmffDamage, RefusesOrIsNotMp4AndHandsNothingOver) {
    const DamageCase& c = GetParam();
    Bytes bytes = SmallMovie();
    c.damage(bytes);
    const BmffIndex index = IndexBmff(MemorySource(bytes));
    EXPECT_EQ(index.outcome, c.outcome);
    EXPECT_EQ(index.refusal, c.refusal);
    const test::Walked walked = WalkAll(bytes, index, 7);
    if (c.outcome != IndexOutcome::Indexed) {
        EXPECT_EQ(walked.segments, std::vector<Bytes>{{}});
        return;
    }
    // Intact: the samples, then moov's glbl header; pasp 16:15 to 64:45 and tkhd 768 to 1024.
    EXPECT_EQ(walked.segments, (std::vector<Bytes>{Cat({test::SequenceHeader(0x23), Bytes(8, 0x55)}),
                                                   test::SequenceHeader(0x23)}));
    const std::vector<AspectSite> sites = index.SitesFor(DeclaredAspect::Ratio16x9);
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(Bytes(sites[0].after, sites[0].after + 8), Cat({Be(64), Be(45)}));
    EXPECT_EQ(sites[0].declaredBefore, DeclaredAspect::Ratio4x3);
    EXPECT_EQ(Bytes(sites[1].after, sites[1].after + 4), Be(1024 << 16));
    EXPECT_FALSE(index.SitesFor(DeclaredAspect::Ratio4x3)[0].Changes());
}

INSTANTIATE_TEST_SUITE_P(Boxes, BmffDamage, testing::ValuesIn(DAMAGE_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace veltrane::container
