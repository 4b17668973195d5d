// The container walk against a reference model that knows, from the builder, which bytes are payload.
#include "container/container_walk.h"
#include "container/mux_builder.h"
#include "container/program_stream.h"
#include "conversion_run.h"
#include "header_scan.h"
#include "test_support.h"
#include "video/sequence_header.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

namespace veltrane {
namespace {

using test::Bytes;
using test::Mux;

constexpr ConversionMode kModes[] = {ConversionMode::To16x9, ConversionMode::To4x3};

// Small buffers put every kind of structure across an edge somewhere; the last is the run's own.
constexpr std::size_t kBufferSizes[] = {1031, 4099, CHUNK_SIZE};

std::uint8_t Convertible(ConversionMode mode) {
    return mode == ConversionMode::To16x9 ? 0x23 : 0x33;
}

std::size_t ChangedBytes(const Bytes& a, const Bytes& b) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        n += a[i] != b[i];
    return n;
}

struct MuxCase {
    const char* name;
    ContainerKind kind;
    Mux (*build)(const Bytes& es, std::mt19937& random);
};

Mux Transport188(const Bytes& es, std::mt19937& random) {
    test::TransportOptions options;
    options.cuts = test::CutEveryHeader(es);
    // Some cut headers also straddle two PES packets, and some PES packets start mid-header.
    int k = 0;
    for (const std::size_t cut : options.cuts) {
        if (k % 3 == 0)
            options.pesStarts.insert(cut);
        if (k++ % 4 == 1)
            options.pesStarts.insert(cut + 2);
    }
    return test::BuildTransport(es, options, random);
}

Mux Transport192(const Bytes& es, std::mt19937& random) {
    test::TransportOptions options;
    options.timestamped = true;
    options.cuts = test::CutEveryHeader(es);
    return test::BuildTransport(es, options, random);
}

Mux Program2(const Bytes& es, std::mt19937& random) {
    return test::BuildProgram(es, {false, test::CutEveryHeader(es)}, random);
}

Mux Program1(const Bytes& es, std::mt19937& random) {
    return test::BuildProgram(es, {true, test::CutEveryHeader(es)}, random);
}

const MuxCase kMuxCases[] = {
    {"Transport188", ContainerKind::TransportStream188, Transport188},
    {"Transport192", ContainerKind::TransportStream192, Transport192},
    {"Program", ContainerKind::ProgramStream, Program2},
    {"Mpeg1System", ContainerKind::ProgramStream, Program1},
};

// Thirteen headers, each cut after one to seven of its first eight bytes, with other streams' packets
// (holding decoy headers of their own) between the halves.
TEST(ContainerWalk, RewritesEveryCutHeaderWhereItsAspectByteReallyIs) {
    for (const MuxCase& c : kMuxCases) {
        for (const ConversionMode mode : kModes) {
            std::mt19937 random(42);
            const Bytes es = test::SyntheticVideo(13, Convertible(mode), true, 2500, random);
            const Mux mux = c.build(es, random);
            const Bytes expected = test::ReferenceMuxConversion(mux, mode);
            ASSERT_EQ(ChangedBytes(expected, mux.file), 13u) << c.name;
            // The plain byte search gets these files wrong: that is what the walk is for.
            ASSERT_NE(test::ReferenceConversion(mux.file, mode), expected) << c.name;
            for (const std::size_t size : kBufferSizes) {
                ContainerKind kind{};
                EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, mode, size, &kind), expected))
                    << c.name << " in buffers of " << size;
                EXPECT_EQ(kind, c.kind) << c.name;
            }
        }
    }
}

// Headers whole inside one payload are rewritten at the same byte as the plain search rewrites them.
TEST(ContainerWalk, AgreesWithThePlainSearchWhereNoHeaderIsCut) {
    for (const MuxCase& c : kMuxCases) {
        std::mt19937 random(5);
        const Bytes es = test::SyntheticVideo(9, 0x23, true, 900, random);
        const Mux mux =
            c.kind == ContainerKind::ProgramStream
                ? test::BuildProgram(es, {std::string(c.name) == "Mpeg1System", {}}, random)
                : test::BuildTransport(es, {c.kind == ContainerKind::TransportStream192, {}, {}}, random);
        const Bytes walked = test::WalkInBuffers(mux.file, ConversionMode::To16x9, CHUNK_SIZE);
        EXPECT_TRUE(test::SameBytes(walked, test::ReferenceMuxConversion(mux, ConversionMode::To16x9)))
            << c.name;
        // The plain search also rewrites the decoys in other streams; the walk only the video's.
        const Bytes raw = test::ReferenceConversion(mux.file, ConversionMode::To16x9);
        for (std::size_t i = 0; i < walked.size(); ++i) {
            if (walked[i] != mux.file[i]) {
                EXPECT_EQ(walked[i], raw[i]) << c.name << " at " << i;
            }
        }
    }
}

// A recording cut mid-packet or mid-pack: the stump before the first whole packet or pack header is
// searched as plain bytes, and the video stream starts afresh there.
TEST(ContainerWalk, SearchesTheStumpBeforeTheFirstWholePacketAsPlainBytes) {
    struct Case {
        const char* name;
        Mux whole;
        std::size_t drop;        // bytes cut off the front
        std::size_t firstPacket; // where the first whole packet or pack starts in the whole file
    };
    std::mt19937 random(9);
    const Bytes es = test::SyntheticVideo(6, 0x23, true, 1500, random);
    std::vector<Case> cases;
    for (const bool timestamped : {false, true}) {
        const std::size_t stride = timestamped ? 192 : 188;
        // Drop the PAT, the PMT and part of the audio packet, whose decoys are then plain bytes.
        cases.push_back({timestamped ? "Transport192" : "Transport188",
                         test::BuildTransport(es, {timestamped, {}, {}}, random), 2 * stride + 3,
                         3 * stride});
    }
    // Into the first video packet, past its first header: the stump holds the rest of that GOP's start.
    Mux program = test::BuildProgram(es, {false, {}}, random);
    const std::size_t drop = program.video[0].front() + 5;
    std::size_t pack = drop;
    while (!IsPackHeaderStart(program.file.data() + pack))
        ++pack;
    cases.push_back({"Program", std::move(program), drop, pack});

    for (const Case& c : cases) {
        Mux cut;
        cut.file.assign(c.whole.file.begin() + static_cast<std::ptrdiff_t>(c.drop), c.whole.file.end());
        cut.plain.push_back({0, c.firstPacket - c.drop});
        for (const auto& [stream, offsets] : c.whole.video) {
            for (const std::size_t offset : offsets) {
                if (offset >= c.firstPacket)
                    cut.video[stream].push_back(offset - c.drop);
            }
        }
        const Bytes expected = test::ReferenceMuxConversion(cut, ConversionMode::To16x9);
        ASSERT_GE(ChangedBytes(expected, cut.file), 5u) << c.name;
        // The container is judged from the first buffer-full, which must reach the first pack header.
        for (const std::size_t size : {std::size_t{4099}, std::size_t{CHUNK_SIZE}})
            EXPECT_TRUE(
                test::SameBytes(test::WalkInBuffers(cut.file, ConversionMode::To16x9, size), expected))
                << c.name << " in buffers of " << size;
    }
}

// Garbage where a packet or pack should start: plain bytes until the structure is back, and the
// video stream goes on after it.
TEST(ContainerWalk, SearchesLostStructureAsPlainBytesUntilItIsFoundAgain) {
    std::mt19937 random(11);
    Bytes garbage = test::DecoyPayload(1000, random);
    // Two sync bytes a stride apart, for either stride, with a third missing: one packet's worth of
    // rhythm is chance, not structure. Were it taken for a null packet, the header in it would be missed.
    for (const std::size_t sync : {100, 288, 292})
        garbage[sync] = 0x47;
    for (const std::size_t notSync : {476, 480, 484})
        garbage[notSync] = 0x00;
    const Bytes nullPacketHeader = {0x1F, 0xFF, 0x10};
    std::copy(nullPacketHeader.begin(), nullPacketHeader.end(), garbage.begin() + 101);
    const Bytes decoy = test::SequenceHeader(0x23);
    std::copy(decoy.begin(), decoy.end(), garbage.begin() + 120);
    const Bytes es = test::SyntheticVideo(8, 0x23, true, 2000, random);
    for (const MuxCase& c : kMuxCases) {
        const Mux mux = c.build(es, random);
        const bool transport = c.kind != ContainerKind::ProgramStream;
        const std::size_t stride = c.kind == ContainerKind::TransportStream192 ? 192 : 188;
        // Insert before a pack header past the middle, or after a null packet past the middle.
        std::size_t at = mux.file.size() / 2;
        std::size_t plainFrom = 0;
        if (transport) {
            at -= at % stride;
            const std::size_t prefix = stride - 188;
            while (
                !(mux.file[at - stride + prefix + 1] == 0x1F && mux.file[at - stride + prefix + 2] == 0xFF))
                at += stride;
            plainFrom = at - stride; // the packet before has no right follower any more
        } else {
            while (!IsPackHeaderStart(mux.file.data() + at))
                ++at;
            plainFrom = at;
        }
        Mux damaged;
        damaged.file = mux.file;
        damaged.file.insert(damaged.file.begin() + static_cast<std::ptrdiff_t>(at), garbage.begin(),
                            garbage.end());
        damaged.plain.push_back({plainFrom, at + garbage.size()});
        for (const auto& [stream, offsets] : mux.video) {
            for (const std::size_t offset : offsets)
                damaged.video[stream].push_back(offset < at ? offset : offset + garbage.size());
        }
        const Bytes expected = test::ReferenceMuxConversion(damaged, ConversionMode::To16x9);
        for (const std::size_t size : kBufferSizes)
            EXPECT_TRUE(
                test::SameBytes(test::WalkInBuffers(damaged.file, ConversionMode::To16x9, size), expected))
                << c.name << " in buffers of " << size;
    }
}

// Scrambled payload is ciphertext: a start code in it is chance, and a rewrite would corrupt it.
TEST(ContainerWalk, LeavesScrambledPacketsAlone) {
    for (const bool timestamped : {false, true}) {
        std::mt19937 random(21);
        const Bytes es = test::SyntheticVideo(12, 0x23, true, 900, random);
        Mux mux = test::BuildTransport(es, {timestamped, {}, {}}, random);
        const std::size_t stride = timestamped ? 192 : 188;
        const std::size_t prefix = stride - 188;
        std::size_t scrambled = 0;
        for (std::size_t at = 0; at + stride <= mux.file.size(); at += stride) {
            std::uint8_t* header = mux.file.data() + at + prefix;
            const bool video = (header[1] & 0x1F) == 0x01 && header[2] == 0x00;
            // Packets that start no PES packet, so that the clear ones around them still parse alike.
            const auto end = mux.file.begin() + static_cast<std::ptrdiff_t>(at + stride);
            const Bytes start = {0x00, 0x00, 0x01, 0xB3};
            if (!video || (header[1] & 0x40) != 0 ||
                std::search(mux.file.begin() + static_cast<std::ptrdiff_t>(at + prefix + 4), end - 8,
                            start.begin(), start.end()) == end - 8 ||
                scrambled++ % 2 != 0)
                continue;
            header[3] |= 0x80;
            for (auto& [stream, offsets] : mux.video)
                std::erase_if(offsets,
                              [&](std::size_t offset) { return offset >= at && offset < at + stride; });
        }
        ASSERT_GE(scrambled, 4u);
        const Bytes expected = test::ReferenceMuxConversion(mux, ConversionMode::To16x9);
        ASSERT_LT(ChangedBytes(expected, mux.file), 12u);
        EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, ConversionMode::To16x9, 4099), expected))
            << stride;
    }
}

class SiteList final : public ScanSink {
public:
    void Container(ContainerKind kind) override { kinds.push_back(kind); }
    void Header(const HeaderSite& site) override { sites.push_back(site); }
    std::vector<ContainerKind> kinds;
    std::vector<HeaderSite> sites;
};

// Through real files and the run's own buffer: the run, the model and the scan agree.
TEST(ContainerWalk, RunAndScanOfAMultiBufferTransportStreamMatchTheModel) {
    std::mt19937 random(3);
    const Bytes es = test::SyntheticVideo(300, 0x23, true, 4000, random);
    const Mux mux = Transport188(es, random);
    ASSERT_GT(mux.file.size(), 2 * CHUNK_SIZE);
    test::TempDir dir;
    test::WriteAll(dir.File("in.ts"), mux.file);
    test::RecordingSink sink;
    RunReport report;
    ASSERT_EQ(RunConversion(dir.File("in.ts"), dir.File("out.ts"), ConversionMode::To16x9, sink, report),
              RunOutcome::Completed);
    const Bytes expected = test::ReferenceMuxConversion(mux, ConversionMode::To16x9);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("out.ts")), expected));
    EXPECT_EQ(report.headersFound, 300u);
    EXPECT_EQ(report.headersRewritten, 300u);

    SiteList scan;
    ASSERT_EQ(ScanFile(dir.File("in.ts"), ConversionMode::To16x9, scan), RunOutcome::Completed);
    EXPECT_EQ(scan.kinds, std::vector<ContainerKind>{ContainerKind::TransportStream188});
    ASSERT_EQ(scan.sites.size(), 300u);
    Bytes patched = mux.file;
    for (const HeaderSite& site : scan.sites) {
        EXPECT_EQ(site.aspectByte, mux.file[site.aspectOffset]);
        EXPECT_FALSE(site.mpeg1);
        EXPECT_EQ(site.declared, DeclaredAspect::Ratio4x3);
        EXPECT_EQ(mux.file[site.headerOffset], 0x00);
        EXPECT_LT(site.headerOffset + 7, site.aspectOffset + 1);
        patched[site.aspectOffset] = site.rewritten;
    }
    EXPECT_TRUE(test::SameBytes(patched, expected));
    EXPECT_EQ(test::ReadAll(dir.File("in.ts")), mux.file);
}

} // namespace
} // namespace veltrane
