// The MP4 / MOV index and walk: real muxers' files give exactly the video track's bytes and, with their
// sites applied, show the target shape in every reader; damaged boxes refuse and hand nothing over.
#include "container/bmff_avi_media.h"
#include "container/bmff_index.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace veltrane::container {
namespace {

using test::Bytes;

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(const Bytes& bytes) : m_bytes(bytes) {}
    std::uint64_t Size() const override { return m_bytes.size(); }
    bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) const override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset)
            return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, data);
        return true;
    }

private:
    const Bytes& m_bytes;
};

BmffIndex IndexOf(const Bytes& bytes) {
    return IndexBmff(MemorySource(bytes));
}

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
};

void RenameBox(test::Bytes& bytes, const char* from, const char* to) {
    const auto it = std::search(bytes.begin(), bytes.end(), from, from + 4);
    ASSERT_NE(it, bytes.end());
    std::copy(to, to + 4, it);
}

class BmffMux : public testing::TestWithParam<MuxCase> {};

TEST_P(BmffMux, HandsTheVideoBytesAndItsSitesMakeEveryReaderShowTheTarget) {
    const MuxCase& c = GetParam();
    if (!test::HaveTool("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    test::TempDir dir;
    const std::string file = dir.File(c.file);
    ASSERT_TRUE(test::Shell("ffmpeg -nostdin -v error -y -i '" + test::DataFile(c.source) + "' " + c.options +
                            " '" + file + "'"));
    Bytes bytes = test::ReadAll(file);
    if (c.variant == Variant::NoPasp) {
        RenameBox(bytes, "pasp", "free");
        test::WriteAll(file, bytes);
    }
    const BmffIndex index = IndexOf(bytes);
    ASSERT_EQ(index.outcome, IndexOutcome::Indexed) << index.refusal;
    EXPECT_TRUE(LooksLikeBmff(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(index.codec, TrackCodec::Mpeg12);
    EXPECT_EQ(index.version, c.variant == Variant::Mpeg1 ? Mpeg12Version::Mpeg1 : Mpeg12Version::Mpeg2);
    EXPECT_EQ(index.fragmented, c.fragmented);
    EXPECT_EQ(index.clefWidth.has_value(), c.tapt);
    EXPECT_EQ(index.matrixNotIdentity, c.variant == Variant::Rotated);
    EXPECT_EQ(index.StreamGoverns(), c.variant == Variant::NoPasp);

    // Pieces in file order, across every buffer edge of an odd window, equal ffmpeg's demultiplexed
    // video; the configuration record is the stream's first sequence header and its extension.
    const Bytes expected = test::Capture("ffmpeg -nostdin -v error -i '" + file + "' -map 0:v -c copy -f " +
                                         (c.variant == Variant::Mpeg1 ? "mpeg1video" : "mpeg2video") + " -");
    for (const std::uint32_t window : {4093u, 655360u}) {
        const test::Walked walked = WalkAll(bytes, index, window);
        EXPECT_TRUE(test::SameBytes(walked.Samples(index.extents), expected)) << window;
        const Bytes config = walked.Config(index.extents);
        ASSERT_FALSE(config.empty());
        EXPECT_TRUE(test::SameBytes(
            config, Bytes(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(config.size()))));
        EXPECT_GE(walked.breaks, 1u);
    }

    const std::vector<AspectSite> sites = index.SitesFor(c.target);
    const test::Applied applied = test::ApplyWithHeaders(
        bytes,
        [&](PayloadEvents& events) {
            ExtentWalk(index.extents, index.trackId)
                .Walk(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0, events);
        },
        sites, c.target, index.version == Mpeg12Version::Mpeg1);
    EXPECT_GT(applied.headers, 0u);
    test::WriteAll(file, bytes);
    if (c.variant == Variant::NoPasp) {
        ASSERT_EQ(sites.size(), 1u); // tkhd carried 384, the display width of 4:3
        EXPECT_STREQ(sites[0].what, "tkhd width");
    }
    if (c.variant == Variant::Rotated)
        return; // players show it turned: the readers' aspect is not the picture's
    const test::Readers shown = test::AskReaders(file);
    const double want = c.target == DeclaredAspect::Ratio16x9 ? 16.0 / 9 : 4.0 / 3;
    // MPEG-1's nearest pel code is within 3 % of the shape (1.815 for 16:9 at 352x288); all agree on it.
    const double tolerance = c.variant == Variant::Mpeg1 ? want * 0.03 : 0.01;
    EXPECT_NEAR(shown.ffprobe, want, tolerance);
    EXPECT_NEAR(shown.mpv, want, tolerance);
    EXPECT_NEAR(shown.mediainfo, want, tolerance);
    EXPECT_NEAR(shown.mpv, shown.ffprobe, 0.01);
    EXPECT_TRUE(shown.mediainfoOriginal.empty()) << shown.mediainfoOriginal;
    // Only the sites and the aspect bytes changed: the copy is as long, and the second pass finds
    // nothing left to do.
    const BmffIndex again = IndexOf(bytes);
    for (const AspectSite& site : again.SitesFor(c.target))
        EXPECT_FALSE(site.Changes()) << site.what;
    EXPECT_EQ(again.Declared(), c.target);
}

INSTANTIATE_TEST_SUITE_P(Muxers, BmffMux, testing::ValuesIn(MUX_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// An MPEG-1 stream's pel code cannot state 16:9 or 4:3 exactly: pasp follows the code the header
// rewrite picks, as ffmpeg writes pasp for a stream of that code, so that container and stream agree.
TEST(BmffIndex, Mpeg1PaspFollowsThePelCodeAsFfmpegWritesIt) {
    if (!test::HaveTool("ffmpeg -version"))
        GTEST_SKIP() << "ffmpeg is missing";
    test::TempDir dir;
    for (const char* size : {"352x240", "352x288", "720x576"}) {
        BmffIndex index[2];
        Bytes files[2];
        const char* shapes[2] = {"4x3", "16x9"};
        for (int i = 0; i < 2; ++i) {
            const std::string file = dir.File(std::string(shapes[i]) + ".mp4");
            ASSERT_TRUE(test::Shell("ffmpeg -nostdin -v error -y -i '" +
                                    test::DataFile(std::string("mpeg1_") + size + "_" + shapes[i] + ".m1v") +
                                    "' -c copy '" + file + "'"));
            files[i] = test::ReadAll(file);
            index[i] = IndexOf(files[i]);
            ASSERT_EQ(index[i].version, Mpeg12Version::Mpeg1) << size;
            ASSERT_TRUE(index[i].paspH.has_value()) << size;
        }
        const DeclaredAspect targets[2] = {DeclaredAspect::Ratio4x3, DeclaredAspect::Ratio16x9};
        for (int i = 0; i < 2; ++i) {
            const AspectSite pasp = index[i].SitesFor(targets[1 - i])[0];
            const std::size_t at = static_cast<std::size_t>(index[1 - i].paspH->offset);
            EXPECT_EQ(Bytes(pasp.after, pasp.after + 8),
                      Bytes(files[1 - i].begin() + static_cast<std::ptrdiff_t>(at),
                            files[1 - i].begin() + static_cast<std::ptrdiff_t>(at + 8)))
                << size << " to " << shapes[1 - i];
            EXPECT_EQ(pasp.declaredBefore, targets[i]) << size;
        }
    }
}

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
    const BmffIndex index = IndexOf(bytes);
    ASSERT_EQ(index.outcome, IndexOutcome::Indexed) << index.refusal;
    EXPECT_EQ(index.codec, TrackCodec::H264);
    const test::Walked walked = WalkAll(bytes, index, 1000);
    EXPECT_TRUE(test::SameBytes(
        walked.Samples(index.extents),
        test::Capture("ffmpeg -nostdin -v error -i '" + file + "' -map 0:v -c copy -f data -")));
    EXPECT_FALSE(walked.Config(index.extents).empty()); // avcC
    ASSERT_TRUE(index.paspH.has_value());
    const std::vector<AspectSite> sites = index.SitesFor(DeclaredAspect::Ratio16x9);
    ASSERT_FALSE(sites.empty());
    EXPECT_EQ(sites[0].after[3], 16); // 16:11 at 352x288
    EXPECT_EQ(sites[0].after[7], 11);
}

// Box-level surgery on a small file built here: every damaged form refuses (or is not MP4 at all), and
// a refused index hands over nothing.
Bytes Box(const char* type, const Bytes& body) {
    Bytes box = {0,
                 0,
                 0,
                 0,
                 static_cast<std::uint8_t>(type[0]),
                 static_cast<std::uint8_t>(type[1]),
                 static_cast<std::uint8_t>(type[2]),
                 static_cast<std::uint8_t>(type[3])};
    const std::uint32_t size = static_cast<std::uint32_t>(body.size() + 8);
    for (int i = 0; i < 4; ++i)
        box[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    box.insert(box.end(), body.begin(), body.end());
    return box;
}
Bytes Be(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// ftyp, mdat of two samples (a sequence header and 8 bytes), moov with one MPEG-2 track, 720x576, pasp.
struct Model {
    Bytes sample = test::SequenceHeader(0x23);
    std::uint32_t stszCount = 2;
    std::uint32_t stcoOffset = 0; // 0: the mdat's body
    bool samplesInMoov = false;
    std::uint32_t stscRuns = 1;
    std::uint32_t drefFlags = 1;
    const char* mdatType = "mdat";
    const char* entry = "m2v1";

    Bytes Build() const {
        const Bytes ftyp = Box("ftyp", Cat({Be(0x69736f6d), Be(0), Be(0x69736f6d)}));
        const Bytes payload = Cat({sample, Bytes(8, 0x55)});
        const Bytes mdat = Box(mdatType, payload);
        const auto first = static_cast<std::uint32_t>(stcoOffset      ? stcoOffset
                                                      : samplesInMoov ? ftyp.size() + mdat.size() + 8
                                                                      : ftyp.size() + 8);
        Bytes tkhd = Bytes(84, 0);
        tkhd[15] = 1; // track 1
        for (const std::size_t at : {40u, 56u})
            tkhd[at + 1] = 1; // matrix 0x00010000 on the diagonal
        tkhd[72] = 0x40;
        tkhd[76] = 0x03; // width 768.0: the display width of 4:3
        tkhd[77] = 0x00;
        tkhd[80] = 0x02; // height 576.0
        tkhd[81] = 0x40;
        Bytes visual(78, 0);
        visual[7] = 1;                        // data reference 1
        visual[24] = 0x02, visual[25] = 0xD0; // 720
        visual[26] = 0x02, visual[27] = 0x40; // 576
        const Bytes entryBox =
            Box(entry, Cat({visual, Box("glbl", sample), Box("pasp", Cat({Be(16), Be(15)}))}));
        const Bytes stbl =
            Box("stbl", Cat({Box("stsd", Cat({Be(0), Be(1), entryBox})),
                             Box("stsz", Cat({Be(0), Be(0), Be(stszCount),
                                              Be(static_cast<std::uint32_t>(sample.size())), Be(8)})),
                             Box("stsc", Cat({Be(0), Be(stscRuns), Be(1), Be(2), Be(1)})),
                             Box("stco", Cat({Be(0), Be(1), Be(first)}))}));
        const Bytes dinf = Box("dinf", Box("dref", Cat({Be(0), Be(1), Box("url ", Be(drefFlags))})));
        const Bytes minf = Box("minf", Cat({dinf, stbl}));
        const Bytes hdlr = Box("hdlr", Cat({Be(0), Be(0), Be(0x76696465), Bytes(12, 0)}));
        const Bytes moov = Box("moov", Box("trak", Cat({Box("tkhd", tkhd), Box("mdia", Cat({hdlr, minf}))})));
        return Cat({ftyp, mdat, moov});
    }
};

struct DamageCase {
    const char* name;
    void (*damage)(Model& model, Bytes& bytes);
    IndexOutcome outcome;
    const char* refusal;
};

void PutBe(Bytes& bytes, std::size_t at, std::uint32_t v) {
    const Bytes b = Be(v);
    std::copy(b.begin(), b.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}
std::size_t Where(const Bytes& bytes, const char* type) {
    const auto it = std::search(bytes.begin(), bytes.end(), type, type + 4);
    return static_cast<std::size_t>(it - bytes.begin()) - 4; // the box's size field
}

const DamageCase DAMAGE_CASES[] = {
    {"intact", [](Model&, Bytes&) {}, IndexOutcome::Indexed, ""},
    {"not_boxes", [](Model&, Bytes& b) { b[4] = 'x'; }, IndexOutcome::NotThisFormat, ""},
    {"moov_past_the_end", [](Model&, Bytes& b) { PutBe(b, Where(b, "moov"), 0x7FFFFFF0); },
     IndexOutcome::Refused, "MP4 structure is damaged (box runs past the end of the file)"},
    {"box_smaller_than_header", [](Model&, Bytes& b) { PutBe(b, Where(b, "moov"), 4); },
     IndexOutcome::Refused, "MP4 structure is damaged (box smaller than its header)"},
    {"zero_size_inside_moov", [](Model&, Bytes& b) { PutBe(b, Where(b, "trak"), 0); }, IndexOutcome::Refused,
     "MP4 structure is damaged (moov)"},
    {"child_past_its_parent", [](Model&, Bytes& b) { PutBe(b, Where(b, "stsz"), 0x1000); },
     IndexOutcome::Refused, "MP4 structure is damaged (stbl)"},
    {"absurd_sample_count", [](Model& m, Bytes&) { m.stszCount = 0x10000000; }, IndexOutcome::Refused,
     "MP4 structure is damaged (stsz count past its box)"},
    {"absurd_stsc_count", [](Model& m, Bytes&) { m.stscRuns = 0xFFFFFFFF; }, IndexOutcome::Refused,
     "MP4 structure is damaged (stsc count past its box)"},
    {"samples_in_moov", [](Model& m, Bytes&) { m.samplesInMoov = true; }, IndexOutcome::Refused,
     "MP4 sample table points outside the media data"},
    {"samples_past_the_end", [](Model& m, Bytes&) { m.stcoOffset = 0xFFFFFF00; }, IndexOutcome::Refused,
     "MP4 sample table points past the end of the file"},
    {"no_mdat", [](Model& m, Bytes&) { m.mdatType = "free"; }, IndexOutcome::Refused,
     "MP4 sample table points outside the media data"},
    {"no_moov", [](Model&, Bytes& b) { b[Where(b, "moov") + 4] = 'x'; }, IndexOutcome::Refused,
     "MP4 index (moov) is missing"},
    {"no_video", [](Model&, Bytes& b) { b[Where(b, "hdlr") + 16] = 's'; }, IndexOutcome::Refused,
     "MP4 has no video track"},
    {"data_in_another_file", [](Model& m, Bytes&) { m.drefFlags = 0; }, IndexOutcome::Refused,
     "MP4 sample data in another file (dref)"},
    {"encrypted", [](Model& m, Bytes&) { m.entry = "encv"; }, IndexOutcome::Refused,
     "MP4 video track is encrypted"},
    {"cut_in_moov", [](Model&, Bytes& b) { b.resize(b.size() - 10); }, IndexOutcome::Refused,
     "MP4 structure is damaged (box runs past the end of the file)"},
};

class BmffDamage : public testing::TestWithParam<DamageCase> {};

TEST_P(BmffDamage, RefusesOrIsNotMp4AndHandsNothingOver) {
    const DamageCase& c = GetParam();
    Model model;
    Bytes probe = model.Build();
    c.damage(model, probe); // the model's own changes take effect on the rebuild
    Bytes bytes = model.Build();
    c.damage(model, bytes);
    const BmffIndex index = IndexOf(bytes);
    EXPECT_EQ(index.outcome, c.outcome);
    EXPECT_EQ(index.refusal, c.refusal);
    const test::Walked walked = WalkAll(bytes, index, 7);
    if (c.outcome != IndexOutcome::Indexed) {
        EXPECT_TRUE(walked.pieces.empty());
        return;
    }
    // The intact model: the samples, the glbl header, pasp 16:15 to 64:45 and tkhd 768 to 1024.
    EXPECT_EQ(walked.Samples(index.extents).size(), model.sample.size() + 8);
    EXPECT_TRUE(test::SameBytes(walked.Config(index.extents), model.sample));
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
