// H.264 and HEVC streams through the scanner and the walk: every SPS found and flipped wherever pieces,
// packets and buffers cut it, judged by a byte model and by ffmpeg.
#include "container/container_walk.h"
#include "container/mux_builder.h"
#include "conversion_run.h"
#include "in_place_fix.h"
#include "source_probe.h"
#include "test_support.h"
#include "video/h26x_scanner.h"
#include "video/length_nal_scanner.h"
#include "video/sps_rows.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>

namespace veltrane {
namespace {

using test::Bytes;

struct H26xStream {
    const char* name;
    const char* file; // a 4:3 raw stream of tests/data
    VideoCodec codec;
    std::uint8_t streamType; // what a PMT names it
};

const H26xStream kStreams[] = {
    {"H264", "h264_720x576_4x3.264", VideoCodec::H264, 0x1B},
    {"Hevc", "hevc_720x576_4x3.265", VideoCodec::Hevc, 0x24},
};

Bytes ReadData(const std::string& name) {
    return test::ReadAll(std::string(VELTRANE_TEST_DATA_DIR) + "/" + name);
}

struct Unit {
    std::size_t from; // the NAL header's offset
    std::size_t size;
};

// The SPS NAL units of a raw stream, found the plain way: a start code, the type, the next start code.
std::vector<Unit> SpsUnits(const Bytes& es, VideoCodec codec) {
    std::vector<Unit> units;
    for (std::size_t i = 0; i + 3 < es.size(); ++i) {
        const std::uint8_t type = codec == VideoCodec::H264 ? es[i + 3] & 0x1F : (es[i + 3] >> 1) & 0x3F;
        if (es[i] != 0 || es[i + 1] != 0 || es[i + 2] != 1 || type != (codec == VideoCodec::H264 ? 7 : 33))
            continue;
        std::size_t end = i + 3;
        while (end + 2 < es.size() && !(es[end] == 0 && es[end + 1] == 0 && es[end + 2] <= 1))
            ++end;
        units.push_back({i + 3, end - i - 3});
    }
    return units;
}

class Collect final : public HeaderSink {
public:
    void Found(const FoundHeader&) override { ++headers; }
    void FoundParameterSet(const FoundSps& sps) override { found.push_back(sps); }
    void StreamLost(VideoCodec, std::uint64_t offset) override { lost.push_back(offset); }

    int headers = 0;
    std::vector<std::uint64_t> lost;
    std::vector<FoundSps> found;
};

// The stream's bytes lie in one buffer between decoys (other streams' bytes, holding a start code and
// an SPS header of their own), and are searched in pieces of `piece` bytes: each SPS comes out whole,
// with every byte's place, however the pieces cut its start code and body.
TEST(H26xScanner, GathersEverySpsAcrossPiecesOfAnySize) {
    const Bytes decoy{0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x01, 0x42, 0x01};
    for (const H26xStream& s : kStreams) {
        const Bytes es = ReadData(s.file);
        const std::vector<Unit> units = SpsUnits(es, s.codec);
        ASSERT_EQ(units.size(), 1u) << s.name;
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{184}, es.size()}) {
            Bytes buffer;
            std::vector<std::size_t> place; // es offset -> buffer offset
            std::vector<std::pair<std::size_t, std::size_t>> pieces;
            for (std::size_t at = 0; at < es.size(); at += piece) {
                const std::size_t n = std::min(piece, es.size() - at);
                pieces.emplace_back(buffer.size(), n);
                for (std::size_t k = 0; k < n; ++k)
                    place.push_back(buffer.size() + k);
                buffer.insert(buffer.end(), es.begin() + static_cast<std::ptrdiff_t>(at),
                              es.begin() + static_cast<std::ptrdiff_t>(at + n));
                buffer.insert(buffer.end(), decoy.begin(), decoy.end());
            }
            WalkBuffer walk;
            walk.data = buffer.data();
            walk.base = 1000;
            Collect sink;
            H26xScanner scanner(s.codec);
            for (const auto& [at, n] : pieces)
                scanner.Search(walk, buffer.data() + at, static_cast<std::uint32_t>(n), sink, false);
            scanner.Settle(walk, sink);
            ASSERT_EQ(sink.found.size(), units.size()) << s.name << " in pieces of " << piece;
            const FoundSps& sps = sink.found[0];
            const Unit& unit = units[0];
            EXPECT_EQ(sps.codec, s.codec);
            EXPECT_FALSE(sps.cut);
            EXPECT_EQ(sps.bytes, Bytes(es.begin() + static_cast<std::ptrdiff_t>(unit.from),
                                       es.begin() + static_cast<std::ptrdiff_t>(unit.from + unit.size)));
            ASSERT_EQ(sps.offsets.size(), unit.size);
            ASSERT_EQ(sps.at.size(), unit.size);
            EXPECT_EQ(sps.nalOffset, 1000 + place[unit.from]);
            for (std::size_t k = 0; k < unit.size; ++k) {
                EXPECT_EQ(sps.offsets[k], 1000 + place[unit.from + k]) << s.name << " byte " << k;
                EXPECT_EQ(sps.at[k], buffer.data() + place[unit.from + k]) << s.name << " byte " << k;
            }
        }
    }
}

// The ends of the search: what no start code ends is handed over cut, a break hands over what there
// is, and a run of bytes longer than any SPS is let go rather than held.
TEST(H26xScanner, HandsOverCutUnitsAndLetsOverlongOnesGo) {
    struct Row {
        const char* name;
        Bytes stream;
        bool breakAfter; // the stream breaks after its bytes, and one more byte comes
        std::size_t found;
        bool cut;
    };
    Bytes overlong{0x00, 0x00, 0x01, 0x67};
    overlong.resize(4 + H26xScanner::MAX_SPS_SIZE + 8, 0x55);
    const Row rows[] = {
        {"EndsWithTheFile", {0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x1E}, false, 1, true},
        {"EndsByAStartCode", {0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x00, 0x00, 0x01, 0x68}, false, 1, false},
        {"StreamBreaks", {0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x1E}, true, 1, true},
        {"SubsetSps", {0x00, 0x00, 0x01, 0x6F, 0x53, 0x00, 0x00, 0x01, 0x09}, false, 1, false},
        {"NotAnSps", {0x00, 0x00, 0x01, 0x68, 0x64, 0x00, 0x00, 0x01, 0x09}, false, 0, false},
        {"ForbiddenBitSet", {0x00, 0x00, 0x01, 0xE7, 0x64, 0x00, 0x00, 0x01, 0x09}, false, 0, false},
        {"LongerThanAnySps", overlong, false, 0, false},
    };
    for (const Row& row : rows) {
        Bytes buffer = row.stream;
        buffer.push_back(0x77);
        WalkBuffer walk;
        walk.data = buffer.data();
        Collect sink;
        H26xScanner scanner(VideoCodec::H264);
        scanner.Search(walk, buffer.data(), static_cast<std::uint32_t>(row.stream.size()), sink, false);
        if (row.breakAfter) {
            scanner.Forget();
            EXPECT_TRUE(scanner.Waiting()) << row.name; // its bytes stay held until it is handed over
            scanner.Search(walk, buffer.data() + row.stream.size(), 1, sink, false);
        }
        scanner.Settle(walk, sink);
        EXPECT_FALSE(scanner.Waiting()) << row.name;
        ASSERT_EQ(sink.found.size(), row.found) << row.name;
        if (row.found > 0) {
            EXPECT_EQ(sink.found[0].cut, row.cut) << row.name;
            EXPECT_NE(sink.found[0].bytes.back(), 0x00) << row.name; // trailing zeros are no part of it
        }
    }
}

// NAL units behind big-endian lengths of `size` bytes.
Bytes LengthPrefixed(const std::vector<Bytes>& nals, std::size_t size) {
    Bytes out;
    for (const Bytes& nal : nals) {
        for (std::size_t k = size; k-- > 0;)
            out.push_back(static_cast<std::uint8_t>(k >= 4 ? 0 : nal.size() >> (8 * k)));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// Units behind lengths of each size the records allow, searched in pieces of any size: the SPS comes
// out whole with every byte's place, a start code and SPS header inside another unit are no SPS, and
// a length no stream can have stops the search, told once, until the stream breaks.
TEST(LengthNalScanner, FindsEachSpsByItsLengthAndStopsWhereTheLengthsAreLost) {
    for (const H26xStream& s : kStreams) {
        const Bytes es = ReadData(s.file);
        const Unit unit = SpsUnits(es, s.codec).at(0);
        const Bytes sps(es.begin() + std::ptrdiff_t(unit.from),
                        es.begin() + std::ptrdiff_t(unit.from + unit.size));
        const Bytes decoy{0x09, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x01, 0x42, 0x01, 0x00};
        Bytes slice(200, 0x5A);
        slice[0] = 0x41;
        struct Row {
            const char* name;
            std::vector<Bytes> before, after; // units on either side of the SPS
            std::size_t found;                // SPSs the search finds
            bool lost;
        };
        Bytes hugeSps = sps;
        hugeSps.resize(SpsGathering::MAX_SPS_SIZE + 1, 0x55);
        const Row rows[] = {
            {"AmongOtherUnits", {decoy, slice}, {decoy, sps}, 2, false},
            {"EmptyUnitsBetween", {{}, decoy}, {{}, sps}, 2, false},
            {"SpsTooLongToBeOne", {decoy}, {hugeSps, sps}, 1, true},
        };
        for (const Row& row : rows) {
            for (const std::uint8_t size : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{4}}) {
                std::vector<Bytes> nals = row.before;
                nals.push_back(sps);
                nals.insert(nals.end(), row.after.begin(), row.after.end());
                if (size == 1 &&
                    std::any_of(nals.begin(), nals.end(), [](const Bytes& n) { return n.size() > 255; }))
                    continue;
                const Bytes prefixed = LengthPrefixed(nals, size);
                const std::size_t spsAt = LengthPrefixed(row.before, size).size() + size;
                for (const std::uint32_t piece : {1u, 3u, 7u, 100000u}) {
                    const std::string what = std::string(s.name) + " " + row.name + " length " +
                                             std::to_string(size) + " piece " + std::to_string(piece);
                    Bytes stream = prefixed;
                    WalkBuffer walk;
                    walk.data = stream.data();
                    Collect sink;
                    std::unique_ptr<CodecScanner> scanner = MakeCodecScanner(s.codec, NalLengthField{size});
                    ASSERT_TRUE(scanner);
                    for (std::uint32_t at = 0; at < stream.size(); at += piece)
                        scanner->Search(walk, stream.data() + at,
                                        std::min<std::uint32_t>(piece, std::uint32_t(stream.size()) - at),
                                        sink, false);
                    scanner->Settle(walk, sink);
                    ASSERT_EQ(sink.found.size(), row.found) << what;
                    EXPECT_EQ(sink.lost.size(), row.lost ? 1u : 0u) << what;
                    EXPECT_EQ(sink.found[0].bytes, sps) << what;
                    EXPECT_FALSE(sink.found[0].cut) << what;
                    EXPECT_EQ(sink.found[0].nalOffset, spsAt) << what;
                    EXPECT_EQ(sink.found[0].at.back(), stream.data() + spsAt + sps.size() - 1) << what;
                    // After a break the search starts afresh with a length.
                    scanner->Forget();
                    const Bytes again = LengthPrefixed({sps}, size);
                    std::copy(again.begin(), again.end(), stream.begin());
                    scanner->Search(walk, stream.data(), std::uint32_t(again.size()), sink, false);
                    EXPECT_EQ(sink.found.size(), row.found + 1) << what;
                }
            }
        }
        EXPECT_FALSE(MakeCodecScanner(s.codec, NalLengthField{3})) << s.name;
        // A unit that runs on past its frame's end was a length misread: nothing of it is handed over.
        Bytes stream = LengthPrefixed({sps}, 4);
        WalkBuffer walk;
        walk.data = stream.data();
        Collect sink;
        LengthNalScanner scanner(s.codec, 4);
        scanner.Search(walk, stream.data(), std::uint32_t(stream.size() - 1), sink, false);
        scanner.SampleEnds(sink);
        scanner.Search(walk, stream.data() + stream.size() - 1, 1, sink, false);
        scanner.Settle(walk, sink);
        EXPECT_EQ(sink.lost, std::vector<std::uint64_t>{stream.size() - 1}) << s.name;
        EXPECT_TRUE(sink.found.empty()) << s.name;
    }
}

// What the walk of the raw stream changes, put where the multiplex carries each of its bytes.
Bytes Expected(const test::Mux& mux, const Bytes& es, const Bytes& flippedEs) {
    Bytes file = mux.file;
    const std::vector<std::size_t>& payload = mux.video.at(0);
    for (std::size_t k = 0; k < es.size(); ++k)
        file[payload[k]] = flippedEs[k];
    return file;
}

// Each SPS split across four transport packets (its start code too, and a PES start inside it), other
// streams' packets between them: flipped in place, byte for byte as in the raw stream, whatever the
// buffer; a flip to the shape it has changes nothing.
TEST(H26xWalk, FlipsAnSpsSplitAcrossTransportPackets) {
    for (const H26xStream& s : kStreams) {
        const Bytes es = ReadData(s.file);
        const Unit unit = SpsUnits(es, s.codec).at(0);
        for (const bool timestamped : {false, true}) {
            test::TransportOptions options;
            options.timestamped = timestamped;
            options.cuts = {unit.from - 2, unit.from + 1, unit.from + 9, unit.from + unit.size - 1};
            options.pesStarts = {unit.from + 5};
            std::mt19937 random(7);
            const test::Mux mux = test::BuildTransport(es, options, random, s.streamType);
            for (const ConversionMode mode : {ConversionMode::To16x9, ConversionMode::To4x3}) {
                const Bytes flippedEs = test::WalkInBuffers(es, mode, CHUNK_SIZE);
                std::size_t changed = 0;
                for (std::size_t k = 0; k < es.size(); ++k)
                    changed += es[k] != flippedEs[k];
                if (mode == ConversionMode::To16x9)
                    EXPECT_TRUE(changed >= 1 && changed <= 4) << s.name << ": " << changed << " bytes";
                else
                    EXPECT_EQ(changed, 0u) << s.name;
                const Bytes expected = Expected(mux, es, flippedEs);
                for (const std::size_t size : {std::size_t{16411}, std::size_t{CHUNK_SIZE}}) {
                    ContainerKind kind{};
                    EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, mode, size, &kind), expected))
                        << s.name << (timestamped ? " 192" : " 188") << " in buffers of " << size;
                    EXPECT_EQ(kind, timestamped ? ContainerKind::TransportStream192
                                                : ContainerKind::TransportStream188);
                }
            }
        }
    }
}

// The same in a program stream, the SPS split across PES packets: its codec named by a stream map, or
// told by its first start codes where there is none or the map's CRC is wrong; a map that names MPEG-2
// is believed, and the stream's bytes are left as they are.
TEST(H26xWalk, FlipsAnSpsInAProgramStreamByItsMapOrItsStartCodes) {
    struct Row {
        const char* name;
        std::uint8_t streamType; // 0: no map; 0xFF: the codec's own
        bool mapCrcBroken;
        bool flips;
    };
    const Row rows[] = {
        {"NoMap", 0x00, false, true},
        {"MapNamesTheCodec", 0xFF, false, true},
        {"MapWithABadCrcIsNotBelieved", 0x02, true, true},
        {"MapNamesMpeg2", 0x02, false, false},
    };
    for (const H26xStream& s : kStreams) {
        const Bytes es = ReadData(s.file);
        const Unit unit = SpsUnits(es, s.codec).at(0);
        const Bytes flippedEs = test::WalkInBuffers(es, ConversionMode::To16x9, CHUNK_SIZE);
        for (const Row& row : rows) {
            test::ProgramOptions options;
            options.cuts = {unit.from - 2, unit.from + 1, unit.from + unit.size - 1};
            options.streamType = row.streamType == 0xFF ? s.streamType : row.streamType;
            options.mapCrcBroken = row.mapCrcBroken;
            std::mt19937 random(11);
            const test::Mux mux = test::BuildProgram(es, options, random);
            const Bytes expected = row.flips ? Expected(mux, es, flippedEs) : mux.file;
            for (const std::size_t size : {std::size_t{16411}, std::size_t{CHUNK_SIZE}}) {
                ContainerKind kind{};
                EXPECT_TRUE(test::SameBytes(
                    test::WalkInBuffers(mux.file, ConversionMode::To16x9, size, &kind), expected))
                    << s.name << " " << row.name << " in buffers of " << size;
                EXPECT_EQ(kind, ContainerKind::ProgramStream);
            }
        }
    }
}

// A program map the walk cannot believe leaves the H.264 stream to its PES stream id, searched as MPEG
// video, its SPS unchanged; one it can, wherever among the entries it names the stream, has it flipped.
TEST(H26xWalk, BelievesOnlyAProgramMapThatHoldsTogether) {
    const Bytes es = ReadData(kStreams[0].file);
    const Bytes flippedEs = test::WalkInBuffers(es, ConversionMode::To16x9, CHUNK_SIZE);
    const Bytes h264{0x1B, 0xE1, 0x00, 0xF0, 0x00};
    const Bytes audio{0x0F, 0xE1, 0x01, 0xF0, 0x03, 0x0A, 0x01, 0x00}; // with a 3-byte descriptor
    Bytes audioThenH264 = audio;
    audioThenH264.insert(audioThenH264.end(), h264.begin(), h264.end());
    struct Row {
        const char* name;
        Bytes entries;
        bool flipped;
        bool crcWrong = false;
        std::uint32_t lengthBeyond = 0;  // declared past the bytes there
        std::uint16_t programInfo = 0;   // program_info_length, its bytes not there
        std::uint16_t firstEsInfo = 0x0; // the first entry's es_info_length where not 0
    };
    const Row rows[] = {
        {"Named", h264, true},
        {"NamedAfterAnAudioStream", audioThenH264, true},
        {"CrcWrong", h264, false, true},
        {"LongerThanItsPacket", h264, false, false, 160},
        {"UnknownStreamType", {0x06, 0xE1, 0x00, 0xF0, 0x00}, false},
        {"ProgramInfoPastTheEnd", h264, false, false, 0, 0x3FF},
        {"AudioInfoOverTheVideoEntry", audioThenH264, false, false, 0, 0, 0x3FF},
    };
    for (const Row& row : rows) {
        Bytes section{0x02,
                      0xB0,
                      0x00,
                      0x00,
                      0x01,
                      0xC1,
                      0x00,
                      0x00,
                      0xE1,
                      0x00,
                      static_cast<std::uint8_t>(0xF0 | (row.programInfo >> 8)),
                      static_cast<std::uint8_t>(row.programInfo)};
        Bytes entries = row.entries;
        if (row.firstEsInfo != 0) {
            entries[3] = static_cast<std::uint8_t>(0xF0 | (row.firstEsInfo >> 8));
            entries[4] = static_cast<std::uint8_t>(row.firstEsInfo);
        }
        section.insert(section.end(), entries.begin(), entries.end());
        const std::size_t length = section.size() - 3 + 4 + row.lengthBeyond;
        section[1] = static_cast<std::uint8_t>(0xB0 | (length >> 8));
        section[2] = static_cast<std::uint8_t>(length);
        std::mt19937 random(11);
        const test::Mux mux = test::BuildTransport(es, {}, random, 0x1B, {section, row.crcWrong});
        EXPECT_TRUE(test::SameBytes(test::WalkInBuffers(mux.file, ConversionMode::To16x9, CHUNK_SIZE),
                                    row.flipped ? Expected(mux, es, flippedEs) : mux.file))
            << row.name;
    }
}

class NoEdits final : public EditSink {
public:
    void Found(const Site& site) override { sites.push_back(site); }
    std::vector<Site> sites;
};

// An SPS a flip cannot rewrite in the same bits (1920x1080 square pixels to 4:3) refuses the run, with
// the bits it would take, and nothing is written: no copy, the file in place as it was. An SPS that
// could take the flip comes first, so a run that wrote as it went would have. A walk that only reports
// tells its shape and goes on.
TEST(H26xWalk, AnSpsThatCannotTakeTheFlipRefusesTheRunWithNothingWritten) {
    std::vector<std::uint8_t> nal;
    for (const test::SpsRow& row : test::LoadRows("h264")) {
        if (row.name == "At1920x1080SquareNeeds32BitsFor4x3")
            nal = row.nal;
    }
    ASSERT_FALSE(nal.empty());
    Bytes es{0x00, 0x00, 0x00, 0x01};
    es.insert(es.end(), nal.begin(), nal.end());
    es.insert(es.end(), {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
    NoEdits sites;
    ContainerWalk walk(sites);
    walk.Finish(es.data(), static_cast<std::uint32_t>(es.size()));
    EXPECT_FALSE(walk.RefusedBecause());
    ASSERT_EQ(sites.sites.size(), 1u);
    EXPECT_EQ(sites.sites[0].declared, DeclaredAspect::Ratio16x9);
    // It tells what a run either way would meet: to 16:9 nothing to do, to 4:3 a refusal in bits.
    EXPECT_EQ(sites.sites[0].refusalTo[static_cast<std::size_t>(ConversionMode::To16x9)],
              AspectRefusal::None);
    EXPECT_EQ(sites.sites[0].refusalTo[static_cast<std::size_t>(ConversionMode::To4x3)],
              AspectRefusal::NeedsAnotherCoding);
    EXPECT_EQ(sites.sites[0].bitsTo[static_cast<std::size_t>(ConversionMode::To4x3)], 32);

    Bytes file = ReadData("h264_720x576_4x3.264");
    file.insert(file.end(), es.begin(), es.end());
    test::TempDir dir;
    test::WriteAll(dir.File("in.264"), file);
    test::RecordingSink sink;
    RunReport report;
    EXPECT_EQ(RunConversion(dir.File("in.264"), dir.File("out.264"), ConversionMode::To4x3, sink, report),
              RunOutcome::Refused);
    EXPECT_NE(report.failure.detail.find("32 bits more"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(test::FsPath(dir.File("out.264"))));
    EXPECT_EQ(FixInPlace(dir.File("in.264"), ConversionMode::To16x9, sink, report), RunOutcome::Completed);
    const Bytes once = test::ReadAll(dir.File("in.264"));
    EXPECT_NE(once, file); // the first SPS flipped to 16:9; the second already is
    EXPECT_EQ(FixInPlace(dir.File("in.264"), ConversionMode::To4x3, sink, report), RunOutcome::Refused);
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("in.264")), once));
}

// The refused SPS in a transport stream whose program map comes only after more than a buffer-full of
// other packets: the fix in place cannot know from its first read that the stream is H.264, and must
// still leave the file as it was, the SPS before the refused one unpatched.
TEST(H26xWalk, ALateProgramMapStillLeavesARefusedFileUntouchedInPlace) {
    Bytes es = test::WalkInBuffers(ReadData("h264_720x576_4x3.264"), ConversionMode::To16x9, CHUNK_SIZE);
    for (const test::SpsRow& row : test::LoadRows("h264")) {
        if (row.name == "At1920x1080SquareNeeds32BitsFor4x3") {
            es.insert(es.end(), {0x00, 0x00, 0x00, 0x01});
            es.insert(es.end(), row.nal.begin(), row.nal.end());
        }
    }
    es.insert(es.end(), {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
    std::mt19937 random(5);
    const test::Mux mux = test::BuildTransport(es, {}, random, 0x1B);
    Bytes file;
    for (std::size_t at = 0; at < CHUNK_SIZE + 188 * 100; at += 188) {
        Bytes packet{0x47, 0x02, 0x00, 0x10};
        packet.resize(188, 0xFF);
        file.insert(file.end(), packet.begin(), packet.end());
    }
    file.insert(file.end(), mux.file.begin(), mux.file.end());
    test::TempDir dir;
    test::WriteAll(dir.File("late.ts"), file);
    test::RecordingSink sink;
    RunReport report;
    EXPECT_EQ(FixInPlace(dir.File("late.ts"), ConversionMode::To4x3, sink, report), RunOutcome::Refused);
    EXPECT_NE(report.failure.detail.find("32 bits more"), std::string::npos) << report.failure.detail;
    EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("late.ts")), file));
}

class AfdSites final : public EditSink {
public:
    void Found(const Site& site) override { changed += site.Changes() ? 1 : 0; }
    void CarriesAfd() override { ++afd; }
    int changed = 0;
    int afd = 0;
};

// An SEI before the first slice, as a broadcast puts one before every picture: AFD in ATSC/DVB's T.35
// message is told once, however often it comes, and the stream is flipped all the same; T.35 data that
// is no AFD, or AFD without its flag, is not.
TEST(H26xWalk, TellsOnceThatAStreamCarriesAfdAndFlipsIt) {
    struct Row {
        const char* name;
        VideoCodec codec;
        Bytes message; // payload_type, payload_size, payload
        bool afd;
    };
    const Row rows[] = {
        {"H264Afd", VideoCodec::H264, {0x04, 0x09, 0xB5, 0x00, 0x31, 'D', 'T', 'G', '1', 0x41, 0xF8}, true},
        {"HevcAfd", VideoCodec::Hevc, {0x04, 0x09, 0xB5, 0x00, 0x31, 'D', 'T', 'G', '1', 0x41, 0xF8}, true},
        {"AfterAnotherMessage",
         VideoCodec::H264,
         {0x05, 0x03, 0x11, 0x22, 0x33, 0x04, 0x09, 0xB5, 0x00, 0x31, 'D', 'T', 'G', '1', 0x41, 0xF8},
         true},
        {"FlagClear",
         VideoCodec::H264,
         {0x04, 0x09, 0xB5, 0x00, 0x31, 'D', 'T', 'G', '1', 0x01, 0xF8},
         false},
        {"Captions", VideoCodec::H264, {0x04, 0x09, 0xB5, 0x00, 0x31, 'G', 'A', '9', '4', 0x41, 0xF8}, false},
    };
    for (const Row& row : rows) {
        const H26xStream& s = row.codec == VideoCodec::H264 ? kStreams[0] : kStreams[1];
        const Bytes es = ReadData(s.file);
        const Unit unit = SpsUnits(es, s.codec).at(0);
        Bytes sei{0x00, 0x00, 0x01};
        if (row.codec == VideoCodec::H264)
            sei.push_back(0x06);
        else
            sei.insert(sei.end(), {0x4E, 0x01});
        sei.insert(sei.end(), row.message.begin(), row.message.end());
        sei.push_back(0x80);
        // After the SPS, and again at the end.
        Bytes file(es.begin(), es.begin() + static_cast<std::ptrdiff_t>(unit.from + unit.size));
        file.insert(file.end(), sei.begin(), sei.end());
        file.insert(file.end(), es.begin() + static_cast<std::ptrdiff_t>(unit.from + unit.size), es.end());
        file.insert(file.end(), sei.begin(), sei.end());
        AfdSites sink;
        ContainerWalk walk(sink, ConversionMode::To16x9);
        walk.Finish(file.data(), static_cast<std::uint32_t>(file.size()));
        EXPECT_EQ(sink.afd, row.afd ? 1 : 0) << row.name;
        EXPECT_EQ(sink.changed, 1) << row.name;
    }
}

// A raw stream is told by its start codes' NAL headers; an MPEG-2 stream cut to begin at a slice whose
// start code reads as an SEI or AUD is still MPEG-2, its sequence headers found.
TEST(H26xWalk, TellsRawStreamsFromMpegOnesCutAtASlice) {
    // From the first slice `code` on, with 70 KiB of bytes that hold no start code before the next
    // sequence header, so that only the NAL headers can tell.
    const auto from = [](const Bytes& es, std::uint8_t code) {
        const auto find = [&es](std::size_t at, std::uint8_t what) {
            while (at + 3 < es.size() &&
                   !(es[at] == 0 && es[at + 1] == 0 && es[at + 2] == 1 && es[at + 3] == what))
                ++at;
            return static_cast<std::ptrdiff_t>(at);
        };
        const std::ptrdiff_t slice = find(0, code);
        const std::ptrdiff_t next = find(static_cast<std::size_t>(slice), 0xB3);
        Bytes file(es.begin() + slice, es.begin() + next);
        file.insert(file.end(), 70 * 1024, 0xFF);
        file.insert(file.end(), es.begin() + next, es.end());
        return file;
    };
    const Bytes mpeg2 = ReadData("mpeg2_4x3.m2v");
    struct Row {
        const char* name;
        Bytes file;
        SiteKind kind;
        std::size_t sites;
    };
    const Row rows[] = {
        {"H264", ReadData("h264_720x576_4x3.264"), SiteKind::Sps, 1},
        {"Hevc", ReadData("hevc_720x576_4x3.265"), SiteKind::Sps, 1},
        {"Mpeg2FromSlice6", from(mpeg2, 0x06), SiteKind::SequenceHeader, 4},
        {"Mpeg2FromSlice9", from(mpeg2, 0x09), SiteKind::SequenceHeader, 4},
    };
    for (const Row& row : rows) {
        ASSERT_FALSE(row.file.empty()) << row.name;
        Bytes file = row.file;
        NoEdits sink;
        ContainerWalk walk(sink);
        walk.Finish(file.data(), static_cast<std::uint32_t>(file.size()));
        ASSERT_EQ(sink.sites.size(), row.sites) << row.name;
        for (const Site& site : sink.sites)
            EXPECT_EQ(site.kind, row.kind) << row.name;
    }
}

bool HaveFfmpeg() {
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0 &&
           std::system("ffprobe -version >/dev/null 2>&1") == 0;
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// Raw, ffmpeg's own .ts, .m2ts and program stream, and the transport stream that splits the SPS: a copy and a
// fix in place give the same bytes, 1 to 4 of them changed per SPS copy; ffprobe sees 16:11 (DAR 20:11), the
// pictures decode the same, the probe says 16:9, and flipped back the file is the original again.
TEST(H26xRealMedia, CopyAndInPlaceFlipShowTheNewShapeAndTheSamePictures) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg is missing";
    test::TempDir dir;
    for (const H26xStream& s : kStreams) {
        const std::string raw = std::string(VELTRANE_TEST_DATA_DIR) + "/" + s.file;
        const Bytes es = test::ReadAll(raw);
        const Unit unit = SpsUnits(es, s.codec).at(0);
        std::mt19937 random(3);
        test::TransportOptions options;
        options.cuts = {unit.from + 1, unit.from + 6, unit.from + unit.size - 2};
        test::WriteAll(dir.File("split.ts"), test::BuildTransport(es, options, random, s.streamType).file);
        const std::string remux =
            "ffmpeg -nostdin -v error -y -i " + Quoted(raw) + " -map 0:v -c copy -bsf:v setts=ts=N*3600 ";
        ASSERT_EQ(std::system((remux + "-f mpegts " + Quoted(dir.File("ffmpeg.ts"))).c_str()), 0);
        ASSERT_EQ(
            std::system((remux + "-f mpegts -mpegts_m2ts_mode 1 " + Quoted(dir.File("ffmpeg.m2ts"))).c_str()),
            0);
        // ffmpeg's program stream has no stream map: the stream's start codes tell its codec.
        ASSERT_EQ(std::system((remux + "-f vob " + Quoted(dir.File("ffmpeg.vob"))).c_str()), 0);
        for (const std::string& source : {raw, dir.File("split.ts"), dir.File("ffmpeg.ts"),
                                          dir.File("ffmpeg.m2ts"), dir.File("ffmpeg.vob")}) {
            const std::string what = std::string(s.name) + " " + source;
            const Bytes original = test::ReadAll(source);
            EXPECT_EQ(ProbeSourceAspect(source), ProbeOutcome::Aspect4x3) << what;
            const std::string copy = dir.File("copy");
            test::RecordingSink sink;
            ASSERT_EQ(RunConversion(source, copy, ConversionMode::To16x9, sink), RunOutcome::Completed)
                << what;
            const std::string inPlace = dir.File("in-place");
            test::WriteAll(inPlace, original);
            RunReport report;
            ASSERT_EQ(FixInPlace(inPlace, ConversionMode::To16x9, sink, report), RunOutcome::Completed)
                << what;
            const Bytes flipped = test::ReadAll(copy);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(inPlace), flipped)) << what;
            ASSERT_EQ(flipped.size(), original.size());
            std::size_t changed = 0;
            for (std::size_t k = 0; k < original.size(); ++k)
                changed += original[k] != flipped[k];
            EXPECT_GE(changed, report.headersRewritten) << what;
            EXPECT_LE(changed, 4 * report.headersRewritten) << what;
            EXPECT_GE(report.headersRewritten, 1u) << what;
            EXPECT_EQ(ProbeSourceAspect(copy), ProbeOutcome::Aspect16x9) << what;
            EXPECT_EQ(test::Output("ffprobe -v error -select_streams v:0 -show_entries "
                                   "stream=sample_aspect_ratio,display_aspect_ratio -of csv=p=0 " +
                                   Quoted(copy) + " | sort -u | grep ."),
                      "16:11,20:11\n")
                << what;
            const auto pictures = [](const std::string& path) {
                return test::Output("ffmpeg -nostdin -v error -i " + Quoted(path) +
                                    " -map 0:v -f framemd5 - | grep -v '^#'");
            };
            const auto before = pictures(source);
            ASSERT_TRUE(before && !before->empty()) << what;
            EXPECT_EQ(pictures(copy), before) << what;
            ASSERT_EQ(FixInPlace(inPlace, ConversionMode::To4x3, sink, report), RunOutcome::Completed)
                << what;
            EXPECT_TRUE(test::SameBytes(test::ReadAll(inPlace), original)) << what;
        }
    }
}

// A container's muxing of a raw test stream: from the raw itself, or from the MP4 ffmpeg makes of it.
struct H26xContainer {
    const char* name;
    const char* make; // a shell command: IN the raw stream, MP4 ffmpeg's MP4 of it, OUT the file
};

const H26xContainer kContainers[] = {
    {"mp4", "cp MP4 OUT"},
    {"mov", "ffmpeg -nostdin -v error -y -i MP4 -c copy -f mov OUT"},
    {"mkv", "ffmpeg -nostdin -v error -y -i MP4 -c copy -f matroska OUT"},
    {"mkvmerge", "mkvmerge -q -o OUT MP4"},
};

std::string Substituted(std::string command, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = command.find(key)) != std::string::npos;)
            command.replace(at, key.size(), Quoted(value));
    return command;
}

// Each SPS copy, in the avcC/hvcC record and in the frames, is flipped with the container's display
// fields: a copy and a fix in place give the same bytes, every reader shows the target, the stream
// pulled out of the container declares the new sample aspect, pictures and sound decode the same, and
// a flip back gives the stream's bytes again. 1920x1080 square pixels to 4:3 is refused, nothing written.
TEST(H26xRealMedia, ContainersFlipEverySpsCopyWithTheirDisplayFields) {
#ifdef _WIN32
    GTEST_SKIP() << "the field's tools run on the host";
#endif
    if (!HaveFfmpeg() || std::system("mkvmerge --version >/dev/null 2>&1") != 0 ||
        std::system("mpv --version >/dev/null 2>&1") != 0 ||
        std::system("mediainfo --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg, mkvmerge, mpv or MediaInfo is missing";
    test::TempDir dir;
    const auto text = [](const std::string& command) {
        const auto out = test::Output(command);
        return out ? *out : std::string("(failed)");
    };
    // A number, or a ratio as ffprobe writes it ("16:9").
    const auto aspect = [&](const std::string& command) {
        const std::string value = text(command);
        const std::size_t colon = value.find(':');
        return colon == std::string::npos ? std::atof(value.c_str())
                                          : std::atof(value.c_str()) / std::atof(value.c_str() + colon + 1);
    };
    for (const H26xStream& s : kStreams) {
        const std::string raw = std::string(VELTRANE_TEST_DATA_DIR) + "/" + s.file;
        const std::string mp4 = dir.File("base.mp4");
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -framerate 25 -i " + Quoted(raw) +
                               " -f lavfi -i sine=duration=1 -map 0 -map 1 -c:v copy -c:a aac -shortest " +
                               Quoted(mp4))
                                  .c_str()),
                  0);
        for (const H26xContainer& c : kContainers) {
            const std::string what = std::string(s.name) + " " + c.name;
            const std::string source = dir.File(std::string("in.") + c.name);
            ASSERT_EQ(std::system(Substituted(c.make, {{"IN", raw}, {"MP4", mp4}, {"OUT", source}}).c_str()),
                      0)
                << what;
            const Bytes original = test::ReadAll(source);
            const std::string copy = dir.File(std::string("copy.") + c.name);
            test::RecordingSink sink;
            RunReport report;
            ASSERT_EQ(RunConversion(source, copy, ConversionMode::To16x9, sink, report),
                      RunOutcome::Completed)
                << what;
            const std::string inPlace = dir.File(std::string("in-place.") + c.name);
            test::WriteAll(inPlace, original);
            RunReport inPlaceReport;
            ASSERT_EQ(FixInPlace(inPlace, ConversionMode::To16x9, sink, inPlaceReport), RunOutcome::Completed)
                << what;
            const Bytes flipped = test::ReadAll(copy);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(inPlace), flipped)) << what;
            ASSERT_EQ(flipped.size(), original.size()) << what;
            // The record's SPS and the one in the frames.
            EXPECT_GE(report.headersRewritten, 2u) << what;
            std::size_t changed = 0;
            for (std::size_t k = 0; k < original.size(); ++k)
                changed += original[k] != flipped[k];
            // 1 to 4 bytes an SPS, up to 8 a display field, and a CRC-32 over Tracks.
            EXPECT_LE(changed, 4 * report.headersRewritten + 8 * report.fieldsRewritten + 4) << what;

            // Matroska walks without an index: every SPS flips the same wherever a buffer's edge cuts it.
            if (std::string(c.name).starts_with("mkv")) {
                for (const std::size_t size : {std::size_t{16411}, std::size_t{65599}})
                    EXPECT_TRUE(
                        test::SameBytes(test::WalkInBuffers(original, ConversionMode::To16x9, size), flipped))
                        << what << " in buffers of " << size;
            }
            const std::string file = " " + Quoted(copy);
            EXPECT_NEAR(
                aspect("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
                       "-of csv=p=0" +
                       file),
                16.0 / 9, 0.01)
                << what;
            EXPECT_NEAR(aspect("mpv --no-config --vo=null --ao=null --frames=1 "
                               "--term-playing-msg='ASPECT=${video-params/aspect}'" +
                               file + " 2>/dev/null | sed -n 's/^ASPECT=//p'"),
                        16.0 / 9, 0.01)
                << what;
            EXPECT_NEAR(aspect("mediainfo --Inform='Video;%DisplayAspectRatio%'" + file), 16.0 / 9, 0.01)
                << what;
            // The stream as a decoder gets it, its first SPS the record's: 16:11 in every copy.
            const std::string stream =
                " -map 0:v -c copy -f " + std::string(s.codec == VideoCodec::H264 ? "h264" : "hevc");
            EXPECT_EQ(text("ffmpeg -nostdin -v error -i" + file + stream +
                           " - | ffprobe -v error -show_entries "
                           "stream=sample_aspect_ratio -of csv=p=0 - "),
                      "16:11\n")
                << what;
            const auto decoded = [&](const std::string& path, const char* map) {
                return text("ffmpeg -nostdin -v error -i " + Quoted(path) + " -map " + map +
                            " -f framemd5 - | grep -v '^#'");
            };
            EXPECT_EQ(decoded(copy, "0:v"), decoded(source, "0:v")) << what;
            EXPECT_EQ(decoded(copy, "0:a"), decoded(source, "0:a")) << what;

            ASSERT_EQ(FixInPlace(inPlace, ConversionMode::To4x3, sink, inPlaceReport), RunOutcome::Completed)
                << what;
            EXPECT_EQ(text("ffmpeg -nostdin -v error -i " + Quoted(inPlace) + stream + " -"),
                      text("ffmpeg -nostdin -v error -i " + Quoted(source) + stream + " -"))
                << what;
            EXPECT_NEAR(
                aspect("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
                       "-of csv=p=0 " +
                       Quoted(inPlace)),
                4.0 / 3, 0.01)
                << what;
        }
    }
    // Square pixels at 1920x1080 have no same-length way to 4:3.
    const std::string square = dir.File("square.mp4");
    ASSERT_EQ(
        std::system(
            ("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=1920x1080:duration=0.2 -c:v libx264 " +
             Quoted(square))
                .c_str()),
        0);
    for (const H26xContainer& c : {kContainers[0], kContainers[3]}) {
        const std::string source = dir.File(std::string("square-in.") + c.name);
        ASSERT_EQ(std::system(Substituted(c.make, {{"MP4", square}, {"OUT", source}}).c_str()), 0) << c.name;
        const Bytes original = test::ReadAll(source);
        test::RecordingSink sink;
        RunReport report;
        EXPECT_NE(RunConversion(source, dir.File("refused"), ConversionMode::To4x3, sink, report),
                  RunOutcome::Completed)
            << c.name;
        EXPECT_FALSE(std::filesystem::exists(test::FsPath(dir.File("refused")))) << c.name;
        EXPECT_NE(FixInPlace(source, ConversionMode::To4x3, sink, report), RunOutcome::Completed) << c.name;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(source), original)) << c.name;
    }
}

} // namespace
} // namespace veltrane
