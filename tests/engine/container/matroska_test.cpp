// Matroska and WebM: hand-built files for every block form and every refusal, and muxers' real files
// judged by ffmpeg, mpv and MediaInfo after the display size, the stream and the CRC-32s are patched.
#include "container/container_walk.h"
#include "container/ebml.h"
#include "container/matroska.h"
#include "conversion_run.h"
#include "in_place_fix.h"
#include "io/file_io.h"
#include "source_probe.h"
#include "stream_run.h"
#include "test_support.h"
#include "video/aspect_rule.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <set>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace veltrane {
namespace {

using test::Bytes;

// ---- a small EBML writer for hand-built files ----

Bytes Vint(std::uint64_t v, int length) {
    Bytes b(static_cast<std::size_t>(length));
    for (int i = length - 1; i >= 0; --i, v >>= 8)
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    b[0] |= static_cast<std::uint8_t>(0x80 >> (length - 1));
    return b;
}

Bytes Id(std::uint32_t id) {
    Bytes b;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((id >> shift) != 0)
            b.push_back(static_cast<std::uint8_t>(id >> shift));
    return b;
}

// An element; sizeLength 0 is the shortest, -1 the unknown size.
Bytes El(std::uint32_t id, const Bytes& data, int sizeLength = 0) {
    Bytes b = Id(id);
    Bytes size;
    if (sizeLength < 0)
        size = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    else {
        int n = sizeLength;
        while (n == 0 || (n < 8 && data.size() >= (std::uint64_t{1} << (7 * n)) - 1))
            n = n == 0 ? 1 : n + 1;
        size = Vint(data.size(), n);
    }
    b.insert(b.end(), size.begin(), size.end());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes Uint(std::uint32_t id, std::uint64_t v, int length = 1) {
    Bytes b(static_cast<std::size_t>(length));
    for (int i = length - 1; i >= 0; --i, v >>= 8)
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    return El(id, b);
}

Bytes Str(std::uint32_t id, const std::string& s) {
    return El(id, Bytes(s.begin(), s.end()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

// A master with a CRC-32 of its children first, as ffmpeg writes them.
Bytes Crc(std::uint32_t id, const Bytes& children) {
    const std::uint32_t crc = ebml::Crc32(children.data(), children.size());
    Bytes value = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                   static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
    return El(id, Cat({El(0xBF, value), children}));
}

struct Shape {
    const char* name;
    int lacing = 0;           // 0 none, 1 Xiph, 2 fixed, 3 EBML
    bool groups = false;      // BlockGroup/Block instead of SimpleBlock
    bool unknownSize = false; // Segment and Clusters of unknown size
    bool crc = false;         // CRC-32 in Tracks, the video TrackEntry and every Cluster
    int prefix = 0;           // bytes stripped from every frame
    std::string docType = "matroska";
    Bytes video;     // the Video element's children; default 720x576 shown 4:3
    Bytes encodings; // replaces the header stripping ContentEncodings
    bool tracksLast = false;
    int voidAfterTracks = 0; // bytes of a Void right after Tracks
    int seekPosition = 0;    // bytes of the SeekHead's position of Tracks; 0: no SeekHead
    int segmentSize = 8;     // bytes of the Segment's size field
    bool headVoid = true;    // a Void of 20 bytes before Tracks, after the SeekHead
    Bytes trailing;          // after the Segment
};

struct Built {
    Bytes file;
    Bytes stream; // the video track's frames, prefixes restored
};

// Frames of a synthetic MPEG-2 stream, a sequence header each, with audio blocks holding a look-alike
// sequence header between them.
Shape Form(const char* name, int lacing = 0, bool groups = false, bool unknownSize = false, bool crc = false,
           int prefix = 0, const char* docType = "matroska") {
    Shape s;
    s.name = name;
    s.lacing = lacing;
    s.groups = groups;
    s.unknownSize = unknownSize;
    s.crc = crc;
    s.prefix = prefix;
    s.docType = docType;
    return s;
}

Built Build(const Shape& s) {
    std::mt19937 random(7);
    std::vector<Bytes> frames;
    for (int i = 0; i < 24; ++i) {
        Bytes f = test::SequenceHeader(0x23);
        const std::size_t size = s.lacing == 2 ? 700 : 300 + static_cast<std::size_t>(i * 173 % 900);
        while (f.size() < size)
            f.push_back(static_cast<std::uint8_t>(0x10 + random() % 0xF0));
        frames.push_back(f);
    }
    Built built;
    const Bytes prefix(frames[0].begin(), frames[0].begin() + s.prefix);
    Bytes video =
        s.video.empty()
            ? Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2), Uint(0x54B0, 768, 2), Uint(0x54BA, 576, 2)})
            : s.video;
    Bytes encodings = s.encodings;
    if (encodings.empty() && s.prefix > 0)
        encodings = El(0x6D80, El(0x6240, El(0x5034, Cat({Uint(0x4254, 3), El(0x4255, prefix)}))));
    const Bytes entryChildren =
        Cat({Uint(0xD7, 1), Uint(0x83, 1), Str(0x86, "V_MPEG2"),
             El(0x63A2, Bytes(frames[0].begin(), frames[0].begin() + 8)), El(0xE0, video), encodings});
    const Bytes tracksChildren = Cat({s.crc ? Crc(0xAE, entryChildren) : El(0xAE, entryChildren),
                                      El(0xAE, Cat({Uint(0xD7, 2), Uint(0x83, 2), Str(0x86, "A_MPEG/L2")}))});
    const Bytes tracks = s.crc ? Crc(0x1654AE6B, tracksChildren) : El(0x1654AE6B, tracksChildren);
    Bytes clusters;
    for (std::size_t i = 0; i < frames.size();) {
        Bytes children = Uint(0xE7, i);
        // The audio's look-alike header must never reach the scanner.
        children = Cat({children, El(0xA3, Cat({{0x82, 0, 0, 0x80}, test::SequenceHeader(0x23)}))});
        for (int b = 0; b < 2 && i < frames.size(); ++b) {
            const std::size_t count = s.lacing == 0 ? 1 : std::min<std::size_t>(3, frames.size() - i);
            Bytes data = {0x81, 0, 0, static_cast<std::uint8_t>(0x80 | (count > 1 ? s.lacing << 1 : 0))};
            if (count > 1) {
                data.push_back(static_cast<std::uint8_t>(count - 1));
                for (std::size_t k = 0; k + 1 < count; ++k) {
                    const std::size_t n = frames[i + k].size() - static_cast<std::size_t>(s.prefix);
                    if (s.lacing == 1) {
                        for (std::size_t left = n;; left -= 255) {
                            data.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(left, 255)));
                            if (left < 255)
                                break;
                        }
                    } else if (s.lacing == 3) {
                        const std::int64_t prev =
                            k == 0 ? 0 : static_cast<std::int64_t>(frames[i + k - 1].size()) - s.prefix;
                        const Bytes v =
                            k == 0
                                ? Vint(n, 2)
                                : Vint(static_cast<std::uint64_t>(static_cast<std::int64_t>(n) - prev + 8191),
                                       2);
                        data.insert(data.end(), v.begin(), v.end());
                    }
                }
            }
            for (std::size_t k = 0; k < count; ++k, ++i) {
                data.insert(data.end(), frames[i].begin() + s.prefix, frames[i].end());
                built.stream.insert(built.stream.end(), frames[i].begin(), frames[i].end());
            }
            if (!s.groups)
                data[0] = 0x81, data = El(0xA3, data);
            else
                data = El(0xA0, El(0xA1, data));
            children = Cat({children, data});
        }
        clusters = Cat({clusters, s.unknownSize ? El(0x1F43B675, children, -1)
                                  : s.crc       ? Crc(0x1F43B675, children)
                                                : El(0x1F43B675, children)});
    }
    const Bytes after =
        s.voidAfterTracks > 0 ? El(0xEC, Bytes(static_cast<std::size_t>(s.voidAfterTracks), 0)) : Bytes();
    auto seekHead = [&](std::uint64_t position) {
        const Bytes seek =
            El(0x4DBB, Cat({El(0x53AB, {0x16, 0x54, 0xAE, 0x6B}), Uint(0x53AC, position, s.seekPosition)}));
        return s.seekPosition == 0 ? Bytes() : s.crc ? Crc(0x114D9B74, seek) : El(0x114D9B74, seek);
    };
    const std::size_t seekSize = seekHead(0).size();
    const Bytes headVoid = s.headVoid ? El(0xEC, Bytes(20, 0)) : Bytes();
    // Tracks after the Clusters, as a property editor or a late muxer leaves it, named by the SeekHead if
    // any.
    const Bytes segment =
        s.tracksLast && s.seekPosition == 0 ? Cat({clusters, tracks})
        : s.tracksLast
            ? Cat({seekHead(seekSize + headVoid.size() + clusters.size()), headVoid, clusters, tracks})
            : Cat({seekHead(seekSize + headVoid.size()), headVoid, tracks, after, clusters});
    built.file = Cat({El(0x1A45DFA3, Cat({Uint(0x4286, 1), Str(0x4282, s.docType)})),
                      El(0x18538067, segment, s.unknownSize ? -1 : s.segmentSize), s.trailing});
    return built;
}

// ---- a driver standing in for the engine's pump and MPEG scanner ----

struct Driver final : MatroskaEvents {
    Bytes& file;
    MatroskaWalker walker;
    ConversionMode mode;
    bool convert;
    ContainerCodec codec;
    Bytes stream, frames; // every byte handed; those outside CodecPrivate
    FileRange codecPrivate;
    std::set<std::uint64_t> changed; // every offset a patch or a fix-up wrote
    const char* damage = nullptr;
    int fixUps = 0;

    Driver(Bytes& f, const MatroskaHead& head, ConversionMode m, bool c)
        : file(f), walker(head, f.size()), mode(m), convert(c), codec(head.video[0].codec),
          codecPrivate(head.video[0].codecPrivate) {}

    void Patch(std::uint64_t offset, std::uint8_t value) {
        const std::uint8_t before = file[offset];
        if (before == value)
            return;
        file[offset] = value;
        changed.insert(offset);
        walker.NotePatched(offset, 1, &before, &value, *this);
    }
    void VideoPayload(std::uint64_t, std::uint8_t* piece, std::uint32_t size, std::uint64_t offset) override {
        for (std::uint32_t i = 0; i < size; ++i) {
            stream.push_back(piece[i]);
            Rewrite(piece[i], offset + i);
            if (offset + i < codecPrivate.offset || offset + i >= codecPrivate.offset + codecPrivate.size)
                frames.push_back(piece[i]);
        }
    }
    // Rewrites the aspect byte of a sequence header that ends with the byte just handed.
    void Rewrite(std::uint8_t& byte, std::uint64_t offset) {
        const std::size_t n = stream.size();
        if (!convert || n < 8 || stream[n - 8] != 0 || stream[n - 7] != 0 || stream[n - 6] != 1 ||
            stream[n - 5] != 0xB3)
            return;
        FoundHeader h;
        std::memcpy(h.sizes, &stream[n - 4], 3);
        h.mpeg1 = codec == ContainerCodec::Mpeg1;
        h.aspect = &byte;
        const std::uint8_t after = RewriteHeader(h, mode);
        Patch(offset, after);
        byte = stream.back() = after;
    }
    void FixUp(const ContainerPatch& p) override {
        ++fixUps;
        for (int i = 0; i < p.size; ++i) {
            EXPECT_EQ(file[p.offset + i], p.before[i]);
            file[p.offset + i] = p.after[i];
            changed.insert(p.offset + i);
        }
    }
    void Damaged(const char* reason) override { damage = reason; }

    // Windows of `window` bytes, each starting where the last one got to.
    void Walk(std::size_t window) {
        for (std::uint64_t pos = 0; !walker.Stopped();) {
            const std::size_t size = std::min<std::size_t>(window, file.size() - pos);
            const bool last = pos + size == file.size();
            const std::uint32_t reached =
                walker.Walk(file.data() + pos, 0, static_cast<std::uint32_t>(size), pos, last, *this);
            if (last)
                break;
            ASSERT_LT(window, std::size_t{1} << 20) << "no progress at " << pos;
            pos += reached;
            if (reached == 0)
                window *= 2;
        }
    }
};

// Every CRC-32 in the masters the walk and the head read, checked the slow way. Returns how many.
int CheckCrcs(const Bytes& f, std::size_t begin, std::size_t end, int depth = 0) {
    static const std::set<std::uint32_t> masters = {
        0x18538067, 0x1654AE6B, 0xAE, 0xE0, 0x1F43B675, 0xA0, 0x114D9B74, 0x1549A966, 0x1C53BB6B, 0x1254C367};
    int checked = 0;
    bool first = true;
    for (std::size_t pos = begin; pos < end && depth < 8;) {
        ebml::ElementHeader h;
        if (ebml::ReadElementHeader(f.data() + pos, end - pos, h) != ebml::ReadResult::Ok)
            break;
        const std::size_t at = pos + h.Length();
        const std::size_t stop = h.SizeKnown() ? std::min<std::size_t>(at + h.size, end) : end;
        if (first && h.id == 0xBF && h.size == 4) {
            std::uint32_t stored = 0;
            for (int i = 3; i >= 0; --i)
                stored = stored << 8 | f[at + static_cast<std::size_t>(i)];
            EXPECT_EQ(stored, ebml::Crc32(f.data() + at + 4, end - at - 4)) << "CRC-32 at " << at;
            ++checked;
        }
        first = false;
        if (masters.count(h.id) != 0)
            checked += CheckCrcs(f, at, stop, depth + 1);
        pos = stop;
    }
    return checked;
}

// Converts `file` (or only walks it) the way the engine will: sites, stream, fix-ups.
std::unique_ptr<Driver> Convert(Bytes& file, ConversionMode mode, std::size_t window, bool convert = true) {
    const MatroskaAnalysis a = AnalyseMatroska(
        file.data(), static_cast<std::uint32_t>(std::min<std::size_t>(file.size(), 655360)), file.size());
    EXPECT_EQ(a.verdict, MatroskaVerdict::Usable) << a.refusal;
    if (a.verdict != MatroskaVerdict::Usable)
        return nullptr;
    auto run = std::make_unique<Driver>(file, a.head, mode, convert);
    if (convert) {
        std::vector<ContainerSite> sites;
        const DeclaredAspect target =
            mode == ConversionMode::To16x9 ? DeclaredAspect::Ratio16x9 : DeclaredAspect::Ratio4x3;
        EXPECT_STREQ(MatroskaDisplaySites(a.head.video[0], target, sites), "");
        for (const ContainerSite& s : sites)
            for (int i = 0; i < s.size; ++i)
                run->Patch(s.offset + i, s.after[i]);
    }
    run->Walk(window);
    return run;
}

TEST(Matroska, HandBuiltFilesHandOnlyTheVideoFramesAndKeepEveryCrc) {
    const Shape rows[] = {
        Form("simple blocks"),
        Form("Xiph lacing", 1),
        Form("fixed lacing", 2),
        Form("EBML lacing", 3),
        Form("block groups, EBML lacing", 3, true),
        Form("unknown sizes", 0, false, true),
        Form("CRC-32 everywhere", 1, true, false, true),
        Form("CRC-32 and unknown-size clusters", 0, false, true, true),
        Form("header stripping of the start code", 3, false, false, true, 3),
        Form("header stripping past the aspect byte", 1, true, false, true, 8),
        Form("webm", 0, false, false, false, 0, "webm"),
    };
    for (const Shape& shape : rows) {
        SCOPED_TRACE(shape.name);
        const Built built = Build(shape);
        for (const std::size_t window :
             {std::size_t{655360}, std::size_t{4096}, std::size_t{97}, std::size_t{13}}) {
            SCOPED_TRACE(window);
            Bytes file = built.file;
            const auto walked = Convert(file, ConversionMode::To16x9, window, false);
            ASSERT_TRUE(walked);
            EXPECT_EQ(walked->damage, nullptr) << walked->damage;
            EXPECT_TRUE(test::SameBytes(walked->frames, built.stream));
            EXPECT_TRUE(file == built.file);

            const auto run = Convert(file, ConversionMode::To16x9, window);
            EXPECT_EQ(run->damage, nullptr);
            Bytes expected = built.stream;
            for (std::size_t i = 0; i + 8 <= expected.size(); ++i)
                if (expected[i] == 0 && expected[i + 1] == 0 && expected[i + 2] == 1 &&
                    expected[i + 3] == 0xB3)
                    expected[i + 7] = 0x33;
            EXPECT_TRUE(test::SameBytes(run->frames, expected));
            EXPECT_EQ(CheckCrcs(file, 0, file.size()) > 0, shape.crc);
            Bytes again = file;
            const auto back = Convert(again, ConversionMode::To4x3, window);
            EXPECT_TRUE(test::SameBytes(again, built.file));
        }
    }
}

TEST(Matroska, EveryRefusalAndEveryDamageWritesNothing) {
    Shape noDisplay = Form("no display size");
    noDisplay.video = Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2)});
    Shape narrow = Form("display width of one byte");
    narrow.video = Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2), Uint(0x54B0, 200, 1), Uint(0x54BA, 150, 1),
                        Uint(0x54B2, 1)});
    Shape crypt = Form("encrypted");
    crypt.encodings = El(0x6D80, El(0x6240, Cat({Uint(0x5033, 1), El(0x5035, Uint(0x47E1, 5))})));
    Shape zlib = Form("zlib");
    zlib.encodings = El(0x6D80, El(0x6240, El(0x5034, Uint(0x4254, 0))));
    Shape last = Form("tracks after the clusters");
    last.tracksLast = true;
    Shape lateSeek = last;
    lateSeek.seekPosition = 4;
    const Built plain = Build(Form("plain"));
    struct Row {
        const char* name;
        Bytes file;
        MatroskaVerdict verdict;
        const char* analysis; // the head's refusal
        const char* sites;    // the display size's refusal
        const char* walk;     // the walk's damage
    };
    Bytes cut(plain.file.begin(), plain.file.end() - 500);
    Bytes past = plain.file;
    past[past.size() - 200] = 0xFF; // a block's frame bytes: harmless
    Bytes badSize = plain.file;
    // The second cluster's size field, made to reach beyond the segment.
    const std::size_t cluster = [&] {
        std::size_t n = 0;
        for (std::size_t i = 0; i + 4 < badSize.size(); ++i)
            if (badSize[i] == 0x1F && badSize[i + 1] == 0x43 && badSize[i + 2] == 0xB6 &&
                badSize[i + 3] == 0x75 && ++n == 2)
                return i;
        return std::size_t{0};
    }();
    badSize[cluster + 4] = 0x08; // an 8-byte size field: 0x08 followed by the old bytes, far too big
    Bytes badDoc = plain.file;
    std::memcpy(
        std::search(badDoc.begin(), badDoc.end(), std::begin("matroska"), std::end("matroska") - 1).base(),
        "matroshk", 8);
    const Row rows[] = {
        {"no display size", Build(noDisplay).file, MatroskaVerdict::Usable, "",
         "Matroska track has no display size; give it one with mkvpropedit first", nullptr},
        {"display size with no room", Build(narrow).file, MatroskaVerdict::Usable, "", "", nullptr},
        {"encrypted", Build(crypt).file, MatroskaVerdict::Refused, "Matroska video track is encrypted", "",
         nullptr},
        {"zlib", Build(zlib).file, MatroskaVerdict::Refused, "Matroska video track is compressed", "",
         nullptr},
        {"tracks after the clusters", Build(last).file, MatroskaVerdict::Refused,
         "Matroska track list does not lie before the first cluster", "", nullptr},
        {"tracks after the clusters, named by the SeekHead", Build(lateSeek).file, MatroskaVerdict::Usable,
         "", "", nullptr},
        {"cut", cut, MatroskaVerdict::Refused, "Matroska segment reaches past the end of the file", "",
         nullptr},
        {"cluster past its segment", badSize, MatroskaVerdict::Usable, "", "",
         "Matroska element reaches past its parent"},
        {"another document type", badDoc, MatroskaVerdict::NotMatroska, "", "", nullptr},
        {"a cut EBML header", Bytes(plain.file.begin(), plain.file.begin() + 12),
         MatroskaVerdict::NotMatroska, "", "", nullptr},
        {"a cut segment header", Bytes(plain.file.begin(), plain.file.begin() + 30), MatroskaVerdict::Refused,
         "Matroska segment is damaged", "", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const MatroskaAnalysis a =
            AnalyseMatroska(row.file.data(), static_cast<std::uint32_t>(row.file.size()), row.file.size());
        EXPECT_EQ(a.verdict, row.verdict);
        EXPECT_STREQ(a.refusal, row.analysis);
        // Late tracks are read by the walk, from the file: the head names only where they lie.
        if (a.verdict == MatroskaVerdict::Usable && a.head.tracksLate) {
            EXPECT_TRUE(a.head.video.empty());
        }
        if (a.verdict != MatroskaVerdict::Usable || a.head.tracksLate)
            continue;
        std::vector<ContainerSite> sites;
        const char* refusal = MatroskaDisplaySites(a.head.video[0], DeclaredAspect::Ratio16x9, sites);
        if (std::strcmp(row.name, "display size with no room") == 0) {
            // Units 1 to 3 take the shape's own integers, which fit.
            EXPECT_STREQ(refusal, "");
            ASSERT_EQ(sites.size(), 2u);
            EXPECT_EQ(sites[0].after[0], 16);
            EXPECT_EQ(sites[1].after[0], 9);
        } else {
            EXPECT_STREQ(refusal, row.sites);
        }
        Bytes file = row.file;
        Driver run(file, a.head, ConversionMode::To16x9, false);
        run.Walk(4096);
        EXPECT_STREQ(run.damage == nullptr ? "" : run.damage, row.walk == nullptr ? "" : row.walk);
    }
}

// Damage anywhere: the walk may stop, but hands only bytes of the file and never hangs.
TEST(Matroska, DamagedBytesNeverLeadTheWalkOutOfTheFile) {
    const Built built = Build(Form("CRC-32, Xiph lacing, groups", 1, true, false, true, 3));
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        Bytes file = built.file;
        for (int k = 0; k < 3; ++k)
            file[random() % file.size()] = static_cast<std::uint8_t>(random());
        file.resize(file.size() - random() % 64);
        const MatroskaAnalysis a = AnalyseMatroska(file.data(), static_cast<std::uint32_t>(file.size()),
                                                   round % 2 == 0 ? file.size() : 0);
        if (a.verdict != MatroskaVerdict::Usable)
            continue;
        Driver run(file, a.head, ConversionMode::To16x9, false);
        run.Walk(97 + static_cast<std::size_t>(round));
        EXPECT_LE(run.frames.size(), file.size());
    }
}

// A track without a display size grows into the Void after Tracks, in the same number of bytes.
TEST(Matroska, MissingDisplaySizeGrowsIntoTheVoidAfterTracks) {
    struct Row {
        const char* name;
        int voidSize;
        bool crc;
        const char* refusal;
    };
    const Row rows[] = {
        {"a large Void", 400, false, ""},
        {"CRC-32s, a Void filled exactly", 8, true, ""},
        {"one byte would be left", 9, true, ""}, // taken by a longer size field
        {"a Void too small", 7, false,
         "Matroska track has no display size and no room for one; give it one "
         "with mkvpropedit first"},
        {"no Void", 0, false,
         "Matroska track has no display size and no room for one; give it one "
         "with mkvpropedit first"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shape shape = Form("grow", 1, false, false, row.crc, 3);
        shape.video = Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2)});
        shape.voidAfterTracks = row.voidSize;
        const Built built = Build(shape);
        Bytes file = built.file;
        const MatroskaAnalysis a =
            AnalyseMatroska(file.data(), static_cast<std::uint32_t>(file.size()), file.size());
        ASSERT_EQ(a.verdict, MatroskaVerdict::Usable);
        MatroskaGrowth growth;
        ASSERT_STREQ(PlanMatroskaGrowth(file.data(), static_cast<std::uint32_t>(file.size()), a.head, 1,
                                        DeclaredAspect::Ratio16x9, growth),
                     row.refusal);
        if (*row.refusal != '\0')
            continue;
        ASSERT_EQ(growth.before.size(), growth.after.size());
        EXPECT_TRUE(std::equal(growth.before.begin(), growth.before.end(),
                               file.begin() + static_cast<std::ptrdiff_t>(growth.offset)));
        std::copy(growth.after.begin(), growth.after.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(growth.offset));
        const auto run = Convert(file, ConversionMode::To16x9, 333);
        ASSERT_TRUE(run);
        EXPECT_EQ(run->damage, nullptr);
        EXPECT_EQ(run->frames.size(), built.stream.size());
        EXPECT_EQ(CheckCrcs(file, 0, file.size()) > 0, row.crc);
        const MatroskaAnalysis grown =
            AnalyseMatroska(file.data(), static_cast<std::uint32_t>(file.size()), file.size());
        EXPECT_EQ(grown.head.video[0].displayWidth.value, 1024u);
        EXPECT_EQ(grown.head.video[0].displayHeight.value, 576u);
        EXPECT_EQ(grown.head.video[0].prefix, Bytes({0, 0, 1}));
    }
}

// Without room in the head, a copy moves Tracks behind the Segment's last byte; in place it is refused.
// Every refusal writes nothing; a copy differs from the source only in the head and the aspect bytes.
TEST(Matroska, MissingDisplaySizeMovesTracksToTheEndOfACopy) {
    struct Row {
        const char* name;
        int seekPosition;
        bool crc = false;
        bool unknownSize = false;
        int prefix = 0;
        Bytes trailing;
        const char* refusal = "";
        bool headVoid = true;
    };
    const char* inPlace =
        "Matroska track has no display size and no room for one in place; convert to a copy";
    const Row rows[] = {
        {"a SeekHead", 4, false, false, 0, {}, "", true},
        {"CRC-32s everywhere, a stripped start code", 4, true, false, 3, {}, "", true},
        {"unknown sizes, the position's bytes just enough", 2, false, true, 0, {}, "", true},
        {"no SeekHead",
         0,
         false,
         false,
         0,
         {},
         "Matroska file has no seek entry for its track list; players would not find it moved",
         true},
        {"a one-byte seek position grown into the Void after the SeekHead", 1, true, false, 0, {}, "", true},
        {"a one-byte seek position, no Void after the SeekHead",
         1,
         false,
         false,
         0,
         {},
         "Matroska seek entry of the track list has no room for its new position",
         false},
        {"bytes after the Segment", 4, false, false, 0, El(0xEC, Bytes(10, 0)),
         "Matroska segment is not the last thing in the file; its track list cannot move to the end", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shape shape = Form("move", 3, false, row.unknownSize, row.crc, row.prefix);
        shape.video = Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2)});
        shape.seekPosition = row.seekPosition;
        shape.trailing = row.trailing;
        shape.headVoid = row.headVoid;
        const Bytes source = Build(shape).file;
        test::TempDir dir;
        const std::string path = dir.File("in.mkv"), copy = dir.File("out.mkv");
        test::WriteAll(path, source);
        test::RecordingSink sink;
        RunReport report;
        EXPECT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::Refused);
        EXPECT_EQ(report.failure.detail, inPlace);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(path), source));
        const RunOutcome outcome = RunConversion(path, copy, ConversionMode::To16x9, sink, report);
        if (*row.refusal != '\0') {
            EXPECT_EQ(outcome, RunOutcome::Refused);
            EXPECT_EQ(report.failure.detail, row.refusal);
            EXPECT_FALSE(std::filesystem::exists(copy));
            continue;
        }
        ASSERT_EQ(outcome, RunOutcome::Completed) << report.failure.detail;
        EXPECT_EQ(report.fieldsRewritten, 2u);
        const Bytes out = test::ReadAll(copy);
        ASSERT_GT(out.size(), source.size());
        MatroskaHead moved;
        ASSERT_TRUE(
            ReadMatroskaTracks(out.data() + source.size(), out.size() - source.size(), source.size(), moved));
        ASSERT_EQ(moved.video.size(), 1u);
        EXPECT_EQ(moved.video[0].displayWidth.value, 1024u);
        EXPECT_EQ(moved.video[0].displayHeight.value, 576u);
        EXPECT_EQ(moved.video[0].prefix, row.prefix == 0 ? Bytes() : Bytes({0, 0, 1}));
        EXPECT_EQ(CheckCrcs(out, 0, out.size()) > 0, row.crc);
        // The old Tracks is a Void of its own length, and nothing else moved: the walk of the copy's
        // source part, told where Tracks now lies, finds every frame where it was.
        const MatroskaAnalysis a =
            AnalyseMatroska(source.data(), static_cast<std::uint32_t>(source.size()), 0);
        ASSERT_EQ(a.verdict, MatroskaVerdict::Usable);
        EXPECT_EQ(out[a.head.tracks.offset], 0xEC);
        ebml::ElementHeader v;
        ASSERT_EQ(ebml::ReadElementHeader(out.data() + a.head.tracks.offset, 12, v), ebml::ReadResult::Ok);
        EXPECT_EQ(v.Length() + v.size, a.head.tracks.size);
        const Bytes cluster = {0x1F, 0x43, 0xB6, 0x75}, crcHeader = {0xBF, 0x84};
        const auto firstCluster = static_cast<std::size_t>(
            std::search(source.begin(), source.end(), cluster.begin(), cluster.end()) - source.begin());
        for (std::size_t i = 0; i < source.size(); ++i) {
            // A stripped prefix takes the start code from the frames: the 0xB3 is what is left of it.
            const bool aspect = i >= 4 && source[i - 4] == 0xB3;
            const auto at = source.begin() + static_cast<std::ptrdiff_t>(i);
            const bool crc = i >= 5 && std::search(at - 5, at, crcHeader.begin(), crcHeader.end()) != at;
            if (out[i] != source[i]) {
                EXPECT_TRUE(i < firstCluster || aspect || crc) << "unasked change at " << i;
            }
        }
    }
}

// The engine's walk over a file it reads from, in buffers of `window` bytes; patches behind the buffer
// written where they belong, as the run writes them.
Bytes WalkWithSource(const std::string& path, ConversionMode mode, std::size_t window) {
    // Patches that reach behind the buffer go in once everything else is written, as the run's do.
    struct Behind final : EditSink {
        std::vector<Patch> behind;
        void Put(const Patch& p) {
            if (p.behind)
                behind.push_back(p);
        }
        void Found(const Site& site) override {
            site.ForEachPatch([this](const Patch& p) { Put(p); });
        }
        void FixedUp(const Patch& p) override { Put(p); }
    } sink;
    const Bytes file = test::ReadAll(path);
    Bytes out;
    io::File source = io::OpenForSequentialRead(path);
    ContainerWalk walk(sink, mode, static_cast<std::uint32_t>(window));
    walk.ReadsFrom(source);
    Bytes held;
    for (std::size_t read = 0;;) {
        const std::size_t fresh = std::min(window - held.size(), file.size() - read);
        Bytes data = held;
        data.insert(data.end(), file.begin() + static_cast<std::ptrdiff_t>(read),
                    file.begin() + static_cast<std::ptrdiff_t>(read + fresh));
        read += fresh;
        const bool last = read == file.size() && fresh == 0;
        const std::uint32_t keep = last ? 0 : walk.Walk(data.data(), static_cast<std::uint32_t>(data.size()));
        if (last)
            walk.Finish(data.data(), static_cast<std::uint32_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end() - keep);
        held.assign(data.end() - keep, data.end());
        if (last || walk.Refused())
            break;
    }
    EXPECT_FALSE(walk.Refused()) << walk.RefusedBecause().value_or("");
    for (const Patch& p : sink.behind)
        std::copy_n(p.after.begin(), p.size, out.begin() + static_cast<std::ptrdiff_t>(p.offset));
    return out;
}

// Tracks after the Clusters, named only by the SeekHead: read from the file, its display size set when
// the walk reaches it, in a copy, in place and in buffers that cut it anywhere; flipped back to the source
// byte for byte. What cannot be done is refused with nothing written.
TEST(Matroska, LateTracksConvertThroughTheSeekHead) {
    struct Row {
        const char* name;
        bool crc = false;
        int prefix = 0;
        bool unknownSize = false;
        bool display = true; // the track has a display size
        std::size_t cut = 0; // bytes cut from the file's end
        const char* refusal = "";
    };
    const Row rows[] = {
        {"plain"},
        {"CRC-32s and header stripping", true, 3},
        {"unknown sizes", false, 0, true},
        {"no display size", false, 0, false, false, 0,
         "Matroska track has no display size; give it one with mkvpropedit first"},
        {"cut inside Tracks", true, 0, true, true, 5,
         "Matroska seek entry of the track list points to no track list"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shape shape = Form("late", 3, false, row.unknownSize, row.crc, row.prefix);
        shape.tracksLast = true;
        shape.seekPosition = 4;
        if (!row.display)
            shape.video = Cat({Uint(0xB0, 720, 2), Uint(0xBA, 576, 2)});
        Bytes source = Build(shape).file;
        source.resize(source.size() - row.cut);
        test::TempDir dir;
        const std::string path = dir.File("in.mkv"), copy = dir.File("out.mkv"), back = dir.File("back.mkv");
        test::WriteAll(path, source);
        test::RecordingSink sink;
        RunReport report;
        const RunOutcome outcome = RunConversion(path, copy, ConversionMode::To16x9, sink, report);
        if (*row.refusal != '\0') {
            EXPECT_EQ(outcome, RunOutcome::Refused);
            EXPECT_EQ(report.failure.detail, row.refusal);
            EXPECT_FALSE(std::filesystem::exists(copy));
            EXPECT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::Refused);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(path), source));
            continue;
        }
        ASSERT_EQ(outcome, RunOutcome::Completed) << report.failure.detail;
        EXPECT_EQ(report.fieldsRewritten, 1u); // the height stays
        const Bytes out = test::ReadAll(copy);
        ASSERT_EQ(out.size(), source.size());
        EXPECT_EQ(CheckCrcs(out, 0, out.size()) > 0, row.crc);
        // Nothing but the stream's aspect bytes, the display size in Tracks and the CRC-32s changes.
        const Bytes tracksId = {0x16, 0x54, 0xAE, 0x6B}, crcHeader = {0xBF, 0x84};
        const auto tracks = static_cast<std::size_t>(
            std::find_end(source.begin(), source.end(), tracksId.begin(), tracksId.end()) - source.begin());
        MatroskaHead head;
        ASSERT_TRUE(ReadMatroskaTracks(out.data() + tracks, out.size() - tracks, tracks, head));
        EXPECT_EQ(head.video[0].displayWidth.value, 1024u);
        EXPECT_EQ(head.video[0].displayHeight.value, 576u);
        for (std::size_t i = 0; i < source.size(); ++i) {
            const bool aspect = i >= 4 && source[i - 4] == 0xB3;
            const auto at = source.begin() + static_cast<std::ptrdiff_t>(i);
            const bool crc = i >= 5 && std::search(at - 5, at, crcHeader.begin(), crcHeader.end()) != at;
            const auto site = [i](const MatroskaField& f) { return i >= f.offset && i < f.offset + f.size; };
            if (out[i] != source[i]) {
                EXPECT_TRUE(aspect || crc || site(head.video[0].displayWidth) ||
                            site(head.video[0].displayHeight))
                    << "unasked change at " << i;
            }
        }
        // The walk gives the same bytes whatever buffers cut Tracks, its sites and its CRC-32s.
        for (std::size_t window = 61; window < 90; ++window)
            ASSERT_TRUE(test::SameBytes(WalkWithSource(path, ConversionMode::To16x9, window), out)) << window;
        ASSERT_EQ(RunConversion(copy, back, ConversionMode::To4x3, sink, report), RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(back), source));
        ASSERT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(path), out));
    }
#ifndef _WIN32
    // A pipe cannot be read at its end before its start.
    Shape shape = Form("late");
    shape.tracksLast = true;
    shape.seekPosition = 4;
    const Bytes late = Build(shape).file;
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        (void)!::write(ends[1], late.data(), late.size());
        ::close(ends[1]);
    });
    io::File pipe = io::OpenForStreamRead("/dev/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);
    test::TempDir dir;
    test::RecordingSink sink;
    RunReport report;
    EXPECT_EQ(RunStreamConversion(pipe, dir.File("out"), ConversionMode::To16x9, sink, report),
              RunOutcome::Refused);
    writer.join();
    EXPECT_EQ(report.failure.detail, "Matroska track list lies at the end: needs a seekable file");
    EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
#endif
}

TEST(Matroska, DisplaySizeForEachUnitAndPictureSize) {
    struct Row {
        std::uint64_t width, height, cropTop, unit, dw, dh;
        DeclaredAspect target;
        std::uint64_t wantW, wantH;
    };
    const Row rows[] = {
        {720, 576, 0, 0, 768, 576, DeclaredAspect::Ratio16x9, 1024, 576},
        {720, 480, 0, 0, 640, 480, DeclaredAspect::Ratio16x9, 853, 480},
        {720, 480, 0, 0, 853, 480, DeclaredAspect::Ratio4x3, 640, 480},
        {720, 576, 72, 0, 1024, 576, DeclaredAspect::Ratio4x3, 672, 504}, // cropped height rules
        {720, 576, 0, 3, 4, 3, DeclaredAspect::Ratio16x9, 16, 9},
        {720, 576, 0, 2, 16, 9, DeclaredAspect::Ratio4x3, 4, 3},
    };
    for (const Row& r : rows) {
        MatroskaVideoTrack t;
        t.pixelWidth = {true, 0, 2, r.width};
        t.pixelHeight = {true, 0, 2, r.height};
        t.cropTop = {r.cropTop != 0, 0, 1, r.cropTop};
        t.displayUnit = {r.unit != 0, 0, 1, r.unit};
        t.displayWidth = {true, 100, 2, r.dw};
        t.displayHeight = {true, 200, 2, r.dh};
        std::vector<ContainerSite> sites;
        ASSERT_STREQ(MatroskaDisplaySites(t, r.target, sites), "");
        ASSERT_EQ(sites.size(), 2u);
        EXPECT_EQ(sites[0].after[0] << 8 | sites[0].after[1], r.wantW) << r.width << "x" << r.height;
        EXPECT_EQ(sites[1].after[0] << 8 | sites[1].after[1], r.wantH);
        EXPECT_EQ(sites[0].declaredAfter, r.target);
    }
}

} // namespace
} // namespace veltrane

namespace veltrane {
namespace {

std::string Capture(const std::string& command) {
    std::string out;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char chunk[256];
    while (pipe && std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr)
        out += chunk;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

bool Have(const std::string& tool) {
    return std::system((tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Files as muxers write them, converted to 16:9 and back: what three readers show, that the walk hands
// exactly what ffmpeg extracts, that only the sites, the stream's aspect bytes and CRC-32s change.
TEST(Matroska, MuxersFilesShowTheTargetInEveryReader) {
    if (!Have("ffmpeg -version") || !Have("ffprobe -version"))
        GTEST_SKIP() << "ffmpeg is not installed";
    const std::string data = VELTRANE_TEST_DATA_DIR;
    struct Row {
        const char* name;
        const char* tool;
        std::string command; // makes OUT
        bool crcs;
        bool grow = false; // the display size removed, to be grown into the Void after Tracks
    };
    const std::string ps = "'" + data + "/mpeg2_ps_4x3.mpg'";
    const std::string vcd = "'" + data + "/mpeg1_vcd_4x3.m1v'";
    const Row rows[] = {
        {"ffmpeg", "ffmpeg -version", "ffmpeg -v error -fflags +genpts -i " + ps + " -map 0 -c copy OUT",
         true},
        {"ffmpeg, MPEG-1", "ffmpeg -version", "ffmpeg -v error -fflags +genpts -i " + vcd + " -c copy OUT",
         true},
        {"ffmpeg, look-alikes in the audio", "ffmpeg -version",
         "ffmpeg -v error -fflags +genpts -i " + ps + " -i AUDIO -map 0:v -map 1:a -c copy OUT", true},
        {"mkvmerge", "mkvmerge --version", "mkvmerge -q -o OUT " + ps, false},
        // mkvmerge laces the audio's frames, look-alikes and all.
        {"mkvmerge, look-alikes in laced audio", "mkvmerge --version",
         "mkvmerge -q -o OUT -A " + ps + " AUDIO", false},
        // Every frame's 00 00 01 stripped into ContentCompSettings.
        {"mkvmerge, header removal", "mkvmerge --version",
         "mkvmerge -q -o OUT --compression 0:mpeg4_p2 " + ps, false},
        {"mkvmerge, display size removed", "mkvpropedit --version",
         "mkvmerge -q -o OUT " + ps +
             " && mkvpropedit -q OUT --edit track:v1 --delete display-width --delete "
             "display-height",
         false, true},
        {"mkvmerge, MPEG-1", "mkvmerge --version", "mkvmerge -q -o OUT " + vcd, false},
        {"matroskamux", "gst-inspect-1.0 matroskamux",
         "gst-launch-1.0 -q filesrc location=" + ps +
             " ! mpegpsdemux name=d d. ! queue ! mpegvideoparse ! matroskamux name=m ! filesink location=OUT"
             " d. ! queue ! mpegaudioparse ! m.",
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!Have(row.tool))
            continue;
        test::TempDir dir;
        const std::string path = dir.File("in.mkv");
        std::string command = row.command;
        for (std::size_t at = command.find("OUT"); at != std::string::npos; at = command.find("OUT"))
            command.replace(at, 3, "'" + path + "'");
        if (const std::size_t at = command.find("AUDIO"); at != std::string::npos) {
            ASSERT_TRUE(test::WriteLookAlikeAudio(dir.File("audio.mp2")));
            command.replace(at, 5, "'" + dir.File("audio.mp2") + "'");
        }
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::string muxed = dir.File("muxed.mkv");
        test::WriteAll(muxed, test::ReadAll(path));
        Bytes original = test::ReadAll(path);
        if (row.grow) {
            const MatroskaAnalysis a = AnalyseMatroska(
                original.data(), static_cast<std::uint32_t>(original.size()), original.size());
            MatroskaGrowth growth;
            ASSERT_STREQ(PlanMatroskaGrowth(original.data(), static_cast<std::uint32_t>(original.size()),
                                            a.head, 1, DeclaredAspect::Ratio4x3, growth),
                         "");
            std::copy(growth.after.begin(), growth.after.end(),
                      original.begin() + static_cast<std::ptrdiff_t>(growth.offset));
        }
        ASSERT_EQ(std::system(("ffmpeg -v error -i '" + path + "' -map 0:v -c copy -f mpeg2video '" +
                               dir.File("v.m2v") + "'")
                                  .c_str()),
                  0);
        Bytes file = original;
        const auto walked = Convert(file, ConversionMode::To16x9, 65536, false);
        ASSERT_TRUE(walked);
        EXPECT_EQ(walked->damage, nullptr);
        EXPECT_TRUE(test::SameBytes(walked->frames, test::ReadAll(dir.File("v.m2v"))));

        const auto run = Convert(file, ConversionMode::To16x9, 65536);
        EXPECT_EQ(CheckCrcs(file, 0, file.size()) > 0, row.crcs);
        // The engine's copy and its fix in place make exactly these bytes, growth included.
        test::RecordingSink sink;
        RunReport report;
        ASSERT_EQ(RunConversion(path, dir.File("copy.mkv"), ConversionMode::To16x9, sink, report),
                  RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(dir.File("copy.mkv")), file));
        ASSERT_EQ(FixInPlace(path, ConversionMode::To16x9, sink, report), RunOutcome::Completed);
        EXPECT_TRUE(test::SameBytes(test::ReadAll(path), file));
        EXPECT_TRUE(test::DecodesAlike(muxed, {dir.File("copy.mkv"), path}));
        std::size_t differ = 0;
        for (std::size_t i = 0; i < file.size(); ++i)
            if (file[i] != original[i]) {
                ++differ;
                EXPECT_EQ(run->changed.count(i), 1u) << "unasked change at " << i;
            }
        EXPECT_GT(differ, 0u);
        const std::string out = dir.File("out.mkv");
        test::WriteAll(out, file);
        const bool mpeg1 = std::string(row.name).find("MPEG-1") != std::string::npos;
        EXPECT_EQ(Capture("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
                          "-of default=nw=1:nk=1 '" +
                          out + "'"),
                  "16:9");
        // MPEG-1's nearest pel aspect code has a shape of its own (1.815 at 352x288): MediaInfo shows it
        // as the original.
        if (Have("mediainfo --version")) {
            EXPECT_EQ(
                Capture("mediainfo --Inform='Video;%DisplayAspectRatio%|%DisplayAspectRatio_Original%' '" +
                        out + "'"),
                mpeg1 ? "1.778|1.815" : "1.778|");
        }
        if (Have("mpv --version")) {
            EXPECT_NE(Capture("mpv --no-config --vo=null --ao=null --frames=1 "
                              "--term-playing-msg='ASPECT=${video-params/aspect}' '" +
                              out + "' 2>/dev/null")
                          .find("ASPECT=1.77"),
                      std::string::npos);
        }
        if (!mpeg1) {
            const auto back = Convert(file, ConversionMode::To4x3, 65536);
            EXPECT_TRUE(test::SameBytes(file, original));
            // The engine's flip back in place gives the same bytes.
            ASSERT_EQ(FixInPlace(path, ConversionMode::To4x3, sink, report), RunOutcome::Completed);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(path), original));
        }
    }
}

// A muxer's file that declares square pixels and leaves no Void after Tracks: the copy moves Tracks to
// the end, and every reader shows the target, with pictures and audio packets as they were. The moved copy,
// and a file whose Tracks mkvpropedit moved, convert again, to a copy and in place, with Tracks read
// through the SeekHead.
TEST(Matroska, MovedTracksShowTheTargetInEveryReader) {
#ifdef _WIN32
    GTEST_SKIP() << "the host's tools cannot read the test's Windows paths";
#endif
    if (!Have("ffmpeg -version") || !Have("ffprobe -version"))
        GTEST_SKIP() << "ffmpeg is not installed";
    struct Row {
        const char* name;
        ConversionMode mode;
        bool byMkvpropedit; // Tracks moved by mkvpropedit, not by a first conversion
    };
    const Row rows[] = {
        {"to 16:9 and back", ConversionMode::To16x9, false},
        {"to 4:3 and back", ConversionMode::To4x3, false},
        {"moved by mkvpropedit, to 16:9", ConversionMode::To16x9, true},
    };
    const std::string ps = std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_ps_4x3.mpg";
    // What ffprobe, MediaInfo and mpv show, and that pictures and audio packets are those of `in`.
    const auto shows = [](const std::string& in, const std::string& out, ConversionMode mode) {
        const bool wide = mode == ConversionMode::To16x9;
        EXPECT_GT(CheckCrcs(test::ReadAll(out), 0, test::ReadAll(out).size()), 0);
        EXPECT_EQ(Capture("ffprobe -v error -select_streams v:0 -show_entries stream=display_aspect_ratio "
                          "-of default=nw=1:nk=1 '" +
                          out + "'"),
                  wide ? "16:9" : "4:3");
        for (const char* map : {"-map 0:v", "-map 0:a -c copy"}) {
            const std::string md5 =
                std::string("ffmpeg -v error -i '") + "FILE' " + map + " -f framemd5 - | grep -v '^#'";
            auto of = [&](const std::string& file) {
                std::string c = md5;
                c.replace(c.find("FILE"), 4, file);
                return Capture(c);
            };
            const std::string before = of(in);
            EXPECT_FALSE(before.empty());
            EXPECT_EQ(of(out), before) << map;
        }
        if (Have("mkvinfo --version")) {
            const std::string info = Capture("mkvinfo '" + out + "' 2>&1; echo exit=$?");
            EXPECT_NE(info.find("exit=0"), std::string::npos) << info;
            EXPECT_EQ(info.find("rror"), std::string::npos) << info;
        }
        if (Have("mediainfo --version")) {
            EXPECT_EQ(
                Capture("mediainfo --Inform='Video;%DisplayAspectRatio%|%DisplayAspectRatio_Original%' '" +
                        out + "'"),
                wide ? "1.778|" : "1.333|");
        }
        if (Have("mpv --version")) {
            EXPECT_NE(Capture("mpv --no-config --vo=null --ao=null --frames=1 "
                              "--term-playing-msg='ASPECT=${video-params/aspect}' '" +
                              out + "' 2>/dev/null")
                          .find(wide ? "ASPECT=1.77" : "ASPECT=1.33"),
                      std::string::npos);
        }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.byMkvpropedit && !Have("mkvpropedit --version"))
            continue;
        test::TempDir dir;
        const std::string in = dir.File("in.mkv"), out = dir.File("out.mkv");
        // 352x288 shown 11:9 has square pixels: ffmpeg writes no display size, and no Void after Tracks.
        ASSERT_EQ(std::system(("ffmpeg -v error -fflags +genpts -i '" + ps +
                               "' -map 0 -c copy -aspect 11:9 '" + in + "'")
                                  .c_str()),
                  0);
        test::RecordingSink sink;
        RunReport report;
        std::string moved = out;
        ConversionMode again =
            row.mode == ConversionMode::To16x9 ? ConversionMode::To4x3 : ConversionMode::To16x9;
        if (row.byMkvpropedit) {
            ASSERT_EQ(std::system(("mkvpropedit -q '" + in +
                                   "' --edit track:v1 --set display-width=384 --set display-height=288")
                                      .c_str()),
                      0);
            moved = in;
            again = row.mode;
        } else {
            const Bytes source = test::ReadAll(in);
            EXPECT_EQ(FixInPlace(in, row.mode, sink, report), RunOutcome::Refused);
            EXPECT_TRUE(test::SameBytes(test::ReadAll(in), source));
            ASSERT_EQ(RunConversion(in, out, row.mode, sink, report), RunOutcome::Completed)
                << report.failure.detail;
            EXPECT_GT(test::ReadAll(out).size(), source.size());
            shows(in, out, row.mode);
        }
        const Bytes late = test::ReadAll(moved);
        const MatroskaAnalysis a = AnalyseMatroska(late.data(), static_cast<std::uint32_t>(late.size()), 0);
        ASSERT_EQ(a.verdict, MatroskaVerdict::Usable);
        EXPECT_TRUE(a.head.tracksLate);
        // Converted again through the SeekHead: a copy, then the same bytes in place.
        const std::string flipped = dir.File("flipped.mkv");
        ASSERT_EQ(RunConversion(moved, flipped, again, sink, report), RunOutcome::Completed)
            << report.failure.detail;
        EXPECT_EQ(report.fieldsRewritten, 1u); // the height stays
        shows(in, flipped, again);
        ASSERT_EQ(FixInPlace(moved, again, sink, report), RunOutcome::Completed) << report.failure.detail;
        EXPECT_TRUE(test::SameBytes(test::ReadAll(moved), test::ReadAll(flipped)));
    }
}

} // namespace
} // namespace veltrane
